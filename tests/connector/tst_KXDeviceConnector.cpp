#include "connector/KXDeviceConnector.h"
#include "tools/KXSimPeers.h"

#include <KXDataStream.h>

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString kSample = QStringLiteral(KX_SOURCE_DIR "/examples/offline");

QByteArray command(const char* text, EDataProtocol protocol = DataProtocol7E01)
{
    return KXMakeDataStreamCmd(QByteArray(text), protocol, true);
}

// Collects callback calls: every request must be answered exactly once.
struct Answers
{
    struct Answer
    {
        QString msgid;
        int errcode;
        QByteArray data;
        QObject* context;
    };
    QList<Answer> calls;

    KXReplyCallback callback()
    {
        return [this](const QString& msgid, int errcode, const QByteArray& data, QObject* context) {
            calls.append({msgid, errcode, data, context});
        };
    }
    int count(const QString& msgid) const
    {
        int n = 0;
        for (const Answer& a : calls)
            n += a.msgid == msgid;
        return n;
    }
    const Answer* find(const QString& msgid) const
    {
        for (const Answer& a : calls) {
            if (a.msgid == msgid)
                return &a;
        }
        return nullptr;
    }
};

} // namespace

class tst_KXDeviceConnector : public QObject
{
    Q_OBJECT

private slots:
    void stoppedConnectorAnswersAtOnce();
    void refusesTransportOfAnotherKind();
    void answersOfflineRequests();
    void answersSynchronousRequests_data();
    void answersSynchronousRequests();
    void synchronousSendsBackToBack();
    void timeOutAndLateReplyAnswerOnce();
    void cancelsQueuedRequests();
    void disconnectEndsSynchronousWait();
    void timeOut7E01KeepsPositiveValues();
    void answersEveryRequestExactlyOnce();
    void talksToTheSimulator();
    void passesUnsolicitedDataOnInOrder();
    void writesKeepAliveAndIdleProbe();
    void decodesImagesThroughTheDevice();
};

void tst_KXDeviceConnector::stoppedConnectorAnswersAtOnce()
{
    KXDeviceConnector connector;
    Answers answers;
    QObject context;
    QCOMPARE(connector.sendBinaryMessage(command("QRYSYS*"), answers.callback(), &context, 1000),
             QString());
    QCOMPARE(answers.calls.size(), 1);
    QCOMPARE(answers.calls.first().errcode, int(KXDeviceConnector::ErrorNotRunning));
    QCOMPARE(answers.calls.first().context, &context);
    QByteArray reply = "stale";
    QCOMPARE(connector.sendBinaryMessage(command("QRYSYS*"), reply, 1000),
             int(KXDeviceConnector::ErrorNotRunning));
    QVERIFY(reply.isEmpty());
    QVERIFY(!connector.cancelRequest(QStringLiteral("0123"), true));
}

void tst_KXDeviceConnector::refusesTransportOfAnotherKind()
{
    KXDeviceConnector connector;
    QVERIFY(connector.openOffLineDevice(kSample + "/DeviceConfiguration.xml",
                                        kSample + "/Offline.xml"));
    QVERIFY(!connector.connectToDevice(QStringLiteral("127.0.0.1"), 1, false));
    QVERIFY(!connector.isRunning());
    QVERIFY(connector.openOffLineDevice(kSample + "/DeviceConfiguration.xml",
                                        kSample + "/Offline.xml"));
    QVERIFY(connector.isRunning());
    QVERIFY(connector.disconnectDevice());
    QVERIFY(!connector.isRunning());
}

void tst_KXDeviceConnector::answersOfflineRequests()
{
    KXDeviceConnector connector;
    QVERIFY(connector.openOffLineDevice(kSample + "/DeviceConfiguration.xml",
                                        kSample + "/Offline.xml"));
    Answers answers;
    QObject context;
    const QString id =
        connector.sendBinaryMessage(command("SCNMOD*"), answers.callback(), &context, 5000);
    QCOMPARE(id.size(), 32);
    QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{32}$")).match(id).hasMatch());
    QTRY_COMPARE_WITH_TIMEOUT(answers.calls.size(), 1, 5000);
    const auto& answer = answers.calls.first();
    QCOMPARE(answer.msgid, id);
    QCOMPARE(answer.errcode, 0);
    QCOMPARE(answer.context, &context);
    QByteArray value;
    QCOMPARE(KXGetDataStreamResult(answer.data, QStringLiteral("SCNMOD"), value), DataResultAck);
    // The reply to an answered request cannot be cancelled any more.
    QVERIFY(!connector.cancelRequest(id, true));
}

void tst_KXDeviceConnector::answersSynchronousRequests_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("errcode");
    QTest::addColumn<bool>("hasReply");

    QTest::newRow("text envelope") << command("SCNMOD*;BUFQRY*") << 0 << true;
    QTest::newRow("not a valid command") << QByteArray("\x7E\x01"
                                                       "0000!SCNMOD;\x03",
                                                       15)
                                         << int(KXDeviceConnector::ErrorBadCommand) << false;
    // The offline device takes only text-envelope frames: the write fails.
    QTest::newRow("raw bytes") << QByteArray("raw") << int(KXDeviceConnector::ErrorWrite) << false;
    QTest::newRow("length-prefixed")
        << command("SCNMOD*", DataProtocol7E07) << int(KXDeviceConnector::ErrorWrite) << false;
}

void tst_KXDeviceConnector::answersSynchronousRequests()
{
    QFETCH(QByteArray, data);
    QFETCH(int, errcode);
    QFETCH(bool, hasReply);
    KXDeviceConnector connector;
    QVERIFY(connector.openOffLineDevice(kSample + "/DeviceConfiguration.xml",
                                        kSample + "/Offline.xml"));
    QByteArray reply;
    QCOMPARE(connector.sendBinaryMessage(data, reply, 5000), errcode);
    QCOMPARE(!reply.isEmpty(), hasReply);
    if (hasReply)
        QVERIFY(KXDataStreamParser(reply).isValid());
}

void tst_KXDeviceConnector::synchronousSendsBackToBack()
{
    // The offline device answers at once, often before the waiting caller has
    // entered its event loop; no answer may be lost.
    KXDeviceConnector connector;
    QVERIFY(connector.openOffLineDevice(kSample + "/DeviceConfiguration.xml",
                                        kSample + "/Offline.xml"));
    for (int i = 0; i < 500; ++i) {
        QByteArray reply;
        QCOMPARE(connector.sendBinaryMessage(command("SCNMOD*"), reply, 5000), 0);
        QVERIFY(!reply.isEmpty());
    }
}

void tst_KXDeviceConnector::timeOutAndLateReplyAnswerOnce()
{
    kxsimtest::SimProcess sim;
    QVERIFY(sim.start({"--port", "0", "--log-port", "0", "--delay", "600"}));
    KXDeviceConnector connector;
    QVERIFY(connector.connectToDevice(QStringLiteral("127.0.0.1"), sim.dataPort, false));
    Answers answers;
    // The caller gives up after 150 ms; the reply comes 600 ms later and is
    // dropped.
    const QString id =
        connector.sendBinaryMessage(command("SCNMOD*"), answers.callback(), nullptr, 150);
    QTRY_COMPARE_WITH_TIMEOUT(answers.calls.size(), 1, 5000);
    QCOMPARE(answers.calls.first().errcode, int(KXDeviceConnector::ErrorTimeout));
    // A second request after the slow one still gets its own reply.
    const QString next =
        connector.sendBinaryMessage(command("BUFQRY*"), answers.callback(), nullptr, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(answers.count(next), 1, 10000);
    QCOMPARE(answers.find(next)->errcode, 0);
    QCOMPARE(answers.count(id), 1);
}

void tst_KXDeviceConnector::cancelsQueuedRequests()
{
    kxsimtest::SimProcess sim;
    QVERIFY(sim.start({"--port", "0", "--log-port", "0", "--silent"}));
    KXDeviceConnector connector;
    QVERIFY(connector.connectToDevice(QStringLiteral("127.0.0.1"), sim.dataPort, false));
    connector.setTimeOut_7E01(300);
    Answers answers;
    const QString first =
        connector.sendBinaryMessage(command("SCNMOD*"), answers.callback(), nullptr, 20000);
    const QString second =
        connector.sendBinaryMessage(command("SCNMOD*"), answers.callback(), nullptr, 20000);
    const QString third =
        connector.sendBinaryMessage(command("SCNMOD*"), answers.callback(), nullptr, 20000);
    QVERIFY(connector.cancelRequest(second, true));
    QVERIFY(!connector.cancelRequest(second, true));
    QCOMPARE(answers.count(second), 1);
    QCOMPARE(answers.find(second)->errcode, int(KXDeviceConnector::ErrorCancelled));
    // A silent device: no reply within the 300 ms reply time-out.
    QTRY_COMPARE_WITH_TIMEOUT(answers.count(first), 1, 5000);
    QCOMPARE(answers.find(first)->errcode, int(KXDeviceConnector::ErrorNoReply));
    connector.cancelAllRequests();
    QTest::qWait(800); // the third would have been answered by now
    QCOMPARE(answers.count(third), 0);
    QCOMPARE(answers.calls.size(), 2);
}

void tst_KXDeviceConnector::disconnectEndsSynchronousWait()
{
    kxsimtest::SimProcess sim;
    QVERIFY(sim.start({"--port", "0", "--log-port", "0", "--silent"}));
    KXDeviceConnector connector;
    QVERIFY(connector.connectToDevice(QStringLiteral("127.0.0.1"), sim.dataPort, false));
    connector.setTimeOut_7E01(20000);
    QTimer::singleShot(200, &connector, [&connector] { connector.disconnectDevice(); });
    QElapsedTimer elapsed;
    elapsed.start();
    QByteArray reply;
    QCOMPARE(connector.sendBinaryMessage(command("SCNMOD*"), reply, 20000),
             int(KXDeviceConnector::ErrorWaitEnded));
    QVERIFY(elapsed.elapsed() < 10000);
}

void tst_KXDeviceConnector::timeOut7E01KeepsPositiveValues()
{
    KXDeviceConnector connector;
    QCOMPARE(connector.setTimeOut_7E01(0), KXDeviceConnector::DefaultTimeOut7E01);
    QCOMPARE(connector.setTimeOut_7E01(-5), KXDeviceConnector::DefaultTimeOut7E01);
    QCOMPARE(connector.setTimeOut_7E01(1234), KXDeviceConnector::DefaultTimeOut7E01);
    QCOMPARE(connector.timeOut7E01(), 1234);
}

void tst_KXDeviceConnector::answersEveryRequestExactlyOnce()
{
    KXDeviceConnector connector;
    QVERIFY(connector.openOffLineDevice(kSample + "/DeviceConfiguration.xml",
                                        kSample + "/Offline.xml"));
    Answers answers;
    QRandomGenerator random(7);
    QStringList ids;
    const int total = 10000;
    const int cancelAllAt = total / 2;
    const int disconnectAt = total * 3 / 4;
    // Replies and time-outs reach this thread only through its event loop,
    // which does not run while the requests are queued; so every request
    // before cancelAllRequests is still open when it runs.
    for (int i = 0; i < total; ++i) {
        const int timeout = 1 + int(random.bounded(200));
        ids.append(
            connector.sendBinaryMessage(command("SCNMOD*"), answers.callback(), nullptr, timeout));
        if (random.bounded(10) == 0)
            connector.cancelRequest(ids.at(int(random.bounded(ids.size()))), true);
        if (i == cancelAllAt)
            connector.cancelAllRequests();
        if (i == disconnectAt)
            connector.disconnectDevice();
    }
    const auto answeredOnce = [&] {
        for (int i = cancelAllAt + 1; i <= disconnectAt; ++i) {
            if (answers.count(ids.at(i)) != 1)
                return false;
        }
        return true;
    };
    QTRY_VERIFY_WITH_TIMEOUT(answeredOnce(), 20000);
    for (int i = 0; i < total; ++i) {
        const QString& id = ids.at(i);
        if (i > disconnectAt) {
            QVERIFY(id.isEmpty()); // answered at once with -3
            continue;
        }
        const Answers::Answer* answer = answers.find(id);
        QVERIFY(answers.count(id) <= 1);
        if (i <= cancelAllAt) {
            // Told only when cancelled one by one before cancelAllRequests.
            QVERIFY(!answer || answer->errcode == KXDeviceConnector::ErrorCancelled);
        } else {
            // The request in flight when the connector stops ends with -1.
            const int code = answer->errcode;
            QVERIFY2(code == 0 || code == KXDeviceConnector::ErrorNoReply ||
                         code == KXDeviceConnector::ErrorTimeout ||
                         code == KXDeviceConnector::ErrorCancelled,
                     qPrintable(QString::number(code)));
        }
    }
    int notRunning = 0;
    for (const auto& call : answers.calls)
        notRunning += call.errcode == KXDeviceConnector::ErrorNotRunning;
    QCOMPARE(notRunning, total - disconnectAt - 1);
}

void tst_KXDeviceConnector::talksToTheSimulator()
{
    kxsimtest::SimProcess sim;
    QVERIFY(sim.start({"--port", "0", "--log-port", "0"}));
    KXDeviceConnector connector;
    QVERIFY(connector.connectToDevice(QStringLiteral("127.0.0.1"), sim.dataPort, false));
    QByteArray reply;
    QCOMPARE(connector.sendBinaryMessage(command("SCNMOD*"), reply, 5000), 0);
    QVERIFY(reply.startsWith(QByteArray("\x02\x01"
                                        "0000@SCNMOD",
                                        13)));
    QCOMPARE(connector.sendBinaryMessage(command("SCNMOD*", DataProtocol7E07), reply, 5000), 0);
    QVERIFY(reply.startsWith(QByteArray("\x02\x07", 2)));
    // A corrupted protocol-7 reply fails its check.
    QCOMPARE(connector.sendBinaryMessage(command("SIMONECRP1"), reply, 5000), 0);
    QCOMPARE(connector.sendBinaryMessage(command("SCNMOD*", DataProtocol7E07), reply, 5000),
             int(KXDeviceConnector::ErrorBadReply));
    // Raw data is written and not answered.
    QCOMPARE(connector.sendBinaryMessage(QByteArray("raw"), reply, 5000), 0);
    QVERIFY(reply.isEmpty());
}

void tst_KXDeviceConnector::passesUnsolicitedDataOnInOrder()
{
    QTcpServer device;
    QVERIFY(device.listen(QHostAddress::LocalHost, 0));
    KXDeviceConnector connector;
    QSignalSpy barcodes(&connector, &KXDeviceConnector::barcodeReceived);
    QSignalSpy messages(&connector, &KXDeviceConnector::messageReceived);
    QVERIFY(connector.connectToDevice(QStringLiteral("127.0.0.1"), device.serverPort(), false));
    QVERIFY(device.waitForNewConnection(5000));
    QTcpSocket* link = device.nextPendingConnection();
    QByteArray frame("\x02\x08\x0B\x00\x00\x00@RUNDAT42;\x03", 17);
    link->write("A-" + frame + "-B");
    QVERIFY(link->waitForBytesWritten(5000));
    QTRY_COMPARE_WITH_TIMEOUT(messages.count(), 1, 5000);
    QCOMPARE(messages.first().first().toByteArray(), frame);
    QTRY_COMPARE_WITH_TIMEOUT(barcodes.count(), 2, 5000);
    QCOMPARE(barcodes.at(0).first().toByteArray(), QByteArray("A-"));
    QCOMPARE(barcodes.at(1).first().toByteArray(), QByteArray("-B"));
    // A plain scan arriving in two chunks is emitted once.
    link->write("6901234");
    QVERIFY(link->waitForBytesWritten(5000));
    link->write("567892");
    QVERIFY(link->waitForBytesWritten(5000));
    QTRY_COMPARE_WITH_TIMEOUT(barcodes.count(), 3, 5000);
    QCOMPARE(barcodes.at(2).first().toByteArray(), QByteArray("6901234567892"));
}

void tst_KXDeviceConnector::writesKeepAliveAndIdleProbe()
{
    QTcpServer device;
    QVERIFY(device.listen(QHostAddress::LocalHost, 0));
    KXDeviceConnector connector;
    QVERIFY(connector.connectToDevice(QStringLiteral("127.0.0.1"), device.serverPort(), false));
    QVERIFY(device.waitForNewConnection(5000));
    QTcpSocket* link = device.nextPendingConnection();
    connector.startKeepAlive(1001);
    const QByteArray keepAlive = KXMakeDataStreamCmd("KEPALV", DataProtocol7E07, true);
    const QByteArray probe = KXMakeDataStreamCmd("#INTERF*", DataProtocol7E01, true);
    QByteArray received;
    QElapsedTimer elapsed;
    elapsed.start();
    while (!received.contains(probe) && elapsed.elapsed() < 20000) {
        if (link->waitForReadyRead(500))
            received += link->readAll();
    }
    // The probe comes after a little more than 10 s of silence; keepalives
    // every second before that.
    QVERIFY(received.contains(probe));
    QVERIFY(elapsed.elapsed() >= 9000);
    QVERIFY2(received.count(keepAlive) >= 5,
             qPrintable(QString::number(received.count(keepAlive))));
    connector.startKeepAlive(1000); // off
}

namespace {

// Reads exactly `size` bytes or fails.
bool readExactly(int fd, QByteArray& into, int size)
{
    into.clear();
    while (into.size() < size) {
        char buffer[8192];
        const ssize_t n = ::read(fd, buffer, size_t(qMin(int(sizeof buffer), size - into.size())));
        if (n <= 0)
            return false;
        into.append(buffer, int(n));
    }
    return true;
}

} // namespace

void tst_KXDeviceConnector::decodesImagesThroughTheDevice()
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    QCOMPARE(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    QCOMPARE(::listen(listener, 1), 0);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);

    const QByteArray image(20000, 'i');
    QByteArray seen; // every step the decoder saw, in order
    // The decoder's side of the exchange, step by step.
    std::thread decoder([&] {
        const int fd = ::accept(listener, nullptr, nullptr);
        QByteArray got;
        const auto answer = [fd](const QByteArray& bytes) {
            return ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
        };
        if (readExactly(fd, got, 3) && (seen += got.toHex() + ' ', answer("RDY0")) &&
            readExactly(fd, got, 11) && (seen += got.toHex() + ' ', answer("\x06")) &&
            readExactly(fd, got, image.size()) && (seen += "image ", answer("\x06")) &&
            readExactly(fd, got, 3) && (seen += got.toHex() + ' ', answer("RDY1")) &&
            readExactly(fd, got, 1) && (seen += got.toHex() + ' ', answer("DECODED")) &&
            readExactly(fd, got, 3)) {
            seen += got.toHex();
            answer(QByteArray("\x07\x00\x00\x00", 4));
        }
        readExactly(fd, got, 1); // until the kit hangs up
        ::close(fd);
    });

    {
        KXDeviceConnector connector;
        QVERIFY(
            connector.connectToDevice(QStringLiteral("127.0.0.1"), ntohs(address.sin_port), false));
        QByteArray out;
        int outLength = 0;
        QVERIFY(connector.decodeImage(image, 100, 200, out, &outLength));
        QCOMPARE(out, QByteArray("DECODED"));
        QCOMPARE(outLength, 7);
        // The run loop is back: the connector takes requests again.
        QVERIFY(connector.isRunning());
    }
    decoder.join();
    ::close(listener);
    // 100 x 200 = 20000 (0x4e20), then width 100 (0x64) and height 200 (0xc8).
    QCOMPARE(seen, QByteArray("1b9900 1b9901204e00006400c800 image 1b9902 06 1b9904"));
}

QTEST_GUILESS_MAIN(tst_KXDeviceConnector)
#include "tst_KXDeviceConnector.moc"
