#include "KXConnectorPeers.h"

#include <KXDataStream.h>

#include <QRegularExpression>
#include <QtTest>

#include <future>
#include <memory>
#include <thread>
#include <vector>

using namespace kxconntest;

namespace {

const QString kSample = QStringLiteral(KX_SOURCE_DIR "/examples/offline");

bool openSample(KXDeviceConnector& connector)
{
    return connector.openOffLineDevice(kSample + "/DeviceConfiguration.xml",
                                       kSample + "/Offline.xml");
}

QString number(qint64 value)
{
    return QString::number(value);
}

} // namespace

// The connector's queue, callbacks, waiters and run loop, against the
// offline device and against devices scripted by the test.
class tst_KXDeviceConnector : public QObject
{
    Q_OBJECT

    PeerLink m_idle;
    qint64 m_probeAt = -1;

private slots:
    void initTestCase()
    {
        // The idle probe comes only after 10 s of silence: that link idles
        // while the other cases run (writesKeepAliveAndIdleProbe is last).
        QVERIFY(m_idle.open());
        m_idle.connector.startKeepAlive(1001);
        m_idle.peer.onFrame = [this](const QByteArray& frame) {
            if (frame == command("#INTERF*") && m_probeAt < 0)
                m_probeAt = m_idle.collector.clock.elapsed();
        };
    }

    void stoppedConnectorAnswersAtOnce()
    {
        KXDeviceConnector connector;
        QVERIFY(openSample(connector));
        // An opening of another transport kind fails and leaves it stopped.
        QVERIFY(!connector.connectToDevice(kLoopback, 1, false));
        QVERIFY(!connector.isRunning());
        CallbackLog answers;
        QObject context;
        QCOMPARE(
            connector.sendBinaryMessage(command("QRYSYS*"), answers.callback(), &context, 1000),
            QString());
        QCOMPARE(answers.calls.size(), 1);
        QCOMPARE(answers.code(QString()), int(KXDeviceConnector::ErrorNotRunning));
        QCOMPARE(answers.calls.first().context, &context);
        QByteArray reply = "stale";
        QCOMPARE(connector.sendBinaryMessage(command("QRYSYS*"), reply, 1000),
                 int(KXDeviceConnector::ErrorNotRunning));
        QVERIFY(reply.isEmpty());
        QVERIFY(!connector.cancelRequest(QStringLiteral("0123"), true));
        QVERIFY(openSample(connector));
        QVERIFY(connector.isRunning());
        QVERIFY(connector.disconnectDevice());
        QVERIFY(!connector.isRunning());
        // Only positive reply time-outs are taken; each setting returns the
        // one before.
        QCOMPARE(connector.setTimeOut_7E01(0), KXDeviceConnector::DefaultTimeOut7E01);
        QCOMPARE(connector.setTimeOut_7E01(-5), KXDeviceConnector::DefaultTimeOut7E01);
        QCOMPARE(connector.setTimeOut_7E01(1234), KXDeviceConnector::DefaultTimeOut7E01);
        QCOMPARE(connector.timeOut7E01(), 1234);
    }

    void answersOfflineRequests_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("errcode");
        QTest::newRow("text envelope") << command("SCNMOD*") << 0;
        QTest::newRow("not a valid command")
            << command("SCNMOD*").replace('#', '!') << int(KXDeviceConnector::ErrorBadCommand);
        // The offline device takes only text-envelope frames: the write fails.
        QTest::newRow("raw bytes") << QByteArray("raw") << int(KXDeviceConnector::ErrorWrite);
        QTest::newRow("length-prefixed")
            << command("SCNMOD*", DataProtocol7E07) << int(KXDeviceConnector::ErrorWrite);
    }
    void answersOfflineRequests()
    {
        QFETCH(QByteArray, data);
        QFETCH(int, errcode);
        KXDeviceConnector connector;
        QVERIFY(openSample(connector));

        CallbackLog answers;
        QObject context;
        const QString id = connector.sendBinaryMessage(data, answers.callback(), &context, 5000);
        QVERIFY2(QRegularExpression(QStringLiteral("^[0-9a-f]{32}$")).match(id).hasMatch(),
                 qPrintable(id));
        QTRY_COMPARE(answers.calls.size(), 1);
        const CallbackLog::Call answer = answers.calls.first();
        QCOMPARE(answer.msgid, id);
        QCOMPARE(answer.errcode, errcode);
        QCOMPARE(answer.context, &context);
        QVERIFY(!connector.cancelRequest(id, true)); // answered already
        QByteArray value;
        QCOMPARE(KXGetDataStreamResult(answer.data, QStringLiteral("SCNMOD"), value) ==
                     DataResultAck,
                 errcode == 0);

        // A context that is gone by the time of the answer is not passed on.
        auto* doomed = new QObject;
        const QString late = connector.sendBinaryMessage(data, answers.callback(), doomed, 5000);
        delete doomed;
        QTRY_COMPARE(answers.count(late), 1);
        QCOMPARE(answers.calls.last().context, nullptr);

        // Waiting callers get the same. The device answers at once, often
        // before the caller has entered its event loop; no answer may be lost.
        for (int i = 0; i < 200; ++i) {
            QByteArray reply;
            QCOMPARE(connector.sendBinaryMessage(data, reply, 5000), errcode);
            QCOMPARE(reply, answer.data);
        }
    }

    void answersRequestsFromManyThreads()
    {
        KXDeviceConnector connector;
        QVERIFY(openSample(connector));
        CallbackLog answers;
        constexpr int kThreads = 4;
        QStringList ids;
        // Each round starts from an emptied queue: the first requests into an
        // empty queue are where unguarded appends collide most.
        for (int round = 0; round < 50; ++round) {
            connector.discardAllMessages();
            std::vector<QStringList> sent(kThreads);
            std::vector<std::unique_ptr<QThread>> senders;
            std::atomic<int> ready{0};
            for (int t = 0; t < kThreads; ++t) {
                senders.emplace_back(QThread::create([&, t] {
                    for (++ready; ready < kThreads;) // all start at once
                        QThread::yieldCurrentThread();
                    for (int i = 0; i < 4; ++i)
                        sent[t].append(connector.sendBinaryMessage(
                            command("SCNMOD*"), answers.callback(), nullptr, kWaitMs));
                }));
                senders.back()->start();
            }
            for (int t = 0; t < kThreads; ++t) {
                QVERIFY(senders[t]->wait(kWaitMs));
                ids += sent[t];
            }
            // All answered before the next round empties the queue.
            QVERIFY(QTest::qWaitFor([&] { return answers.calls.size() >= ids.size(); }, kWaitMs));
        }
        QCOMPARE(answers.calls.size(), ids.size());
        for (const QString& id : qAsConst(ids))
            QCOMPARE(answers.codes(id), QVector<int>{0});
    }

    // A request that ended early leaves nothing behind: the late reply to
    // one that timed out reaches no other caller, and cancelled ones are
    // never written.
    void endedRequestsTouchNoOther()
    {
        PeerLink link;
        QVERIFY(link.open());
        const QByteArray first = command("SCNMOD*");
        link.answerAllBut(first);
        CallbackLog answers;
        const auto send = [&](const char* text, int timeout = 20000) {
            return link.connector.sendBinaryMessage(command(text), answers.callback(), nullptr,
                                                    timeout);
        };
        const QString timedOut = send("SCNMOD*", 150);
        QTRY_COMPARE(answers.code(timedOut), int(KXDeviceConnector::ErrorTimeout));
        // Its reply comes while a synchronous caller waits for its own: the
        // one is dropped, the other not taken for it.
        QTimer::singleShot(0, &link.peer, [&] { link.peer.send(textReply("SCNMOD0\x06")); });
        QByteArray reply;
        QCOMPARE(link.connector.sendBinaryMessage(command("BEPLVL*"), reply, 5000), 0);
        QCOMPARE(reply, textReply("BEPLVL0\x06"));
        QCOMPARE(answers.calls.size(), 1);

        send("SCNMOD*");
        // The run loop now waits for that reply; the others stay queued.
        QTRY_COMPARE(link.peer.frames.size(), 3);
        const QString notified = send("BEPLVL*");
        send("QRYSYS*");
        QVERIFY(link.connector.cancelRequest(notified, true));
        QVERIFY(!link.connector.cancelRequest(notified, true));
        QCOMPARE(answers.code(notified), int(KXDeviceConnector::ErrorCancelled));
        // Cancels the rest, the request being sent too, and tells no one.
        link.connector.cancelAllRequests();
        link.peer.send(textReply("SCNMOD0\x06"));
        const QString next = send("BUFQRY*");
        QTRY_COMPARE(answers.code(next), 0);
        QCOMPARE(answers.calls.size(), 3);
        QCOMPARE(link.peer.frames.mid(2), (QByteArrayList{first, command("BUFQRY*")}));
    }

    void disconnectEndsSynchronousWait()
    {
        PeerLink link;
        QVERIFY(link.open());
        link.connector.setTimeOut_7E01(20000);
        link.peer.onFrame = [&](const QByteArray&) { link.connector.disconnectDevice(); };
        QElapsedTimer elapsed;
        elapsed.start();
        QByteArray reply;
        QCOMPARE(link.connector.sendBinaryMessage(command("SCNMOD*"), reply, 20000),
                 int(KXDeviceConnector::ErrorWaitEnded));
        QVERIFY2(elapsed.elapsed() < 10000, qPrintable(number(elapsed.elapsed())));
    }

    void holdsTheChunksOfOneScan_data()
    {
        QTest::addColumn<QByteArrayList>("pieces"); // written 20 ms apart
        QTest::addColumn<QByteArrayList>("barcodes");
        QTest::addColumn<QByteArrayList>("messages");
        QTest::addColumn<int>("atLeastMs"); // from the last piece to the last barcode
        // Held 60 ms after the last chunk, then emitted at the next empty poll.
        QTest::newRow("scan in two chunks")
            << QByteArrayList{"6901234", "567892"} << QByteArrayList{"6901234567892"}
            << QByteArrayList() << 55;
        const QByteArray message = lengthFrame(8, "RUNDAT42");
        QTest::newRow("message between scans")
            << QByteArrayList{"A-" + message + "-B"} << QByteArrayList{"A-", "-B"}
            << QByteArrayList{message} << 0;
    }
    void holdsTheChunksOfOneScan()
    {
        QFETCH(QByteArrayList, pieces);
        QFETCH(QByteArrayList, barcodes);
        QFETCH(QByteArrayList, messages);
        QFETCH(int, atLeastMs);
        PeerLink link;
        QVERIFY(link.open());
        const Collector& collector = link.collector;
        qint64 lastSentAt = -1;
        for (int i = 0; i < pieces.size(); ++i) {
            QTimer::singleShot(i * 20, &link.peer, [&, i] {
                lastSentAt = collector.clock.elapsed();
                link.peer.send(pieces.at(i));
            });
        }
        QTRY_COMPARE(collector.barcodes.size(), barcodes.size());
        QCOMPARE(collector.barcodes, barcodes);
        QCOMPARE(collector.messages, messages);
        const qint64 after = collector.lastBarcodeAt - lastSentAt;
        QVERIFY2(after >= atLeastMs && after < 400, qPrintable(number(after)));
    }

    void emitsARepeatedScanAtOnce()
    {
        // The same bytes read again are the same code scanned again, not more
        // of the first scan: they are not held. Held bytes wait more than
        // 60 ms; the best of three rounds stays well below that even on a
        // busy machine.
        PeerLink link;
        QVERIFY(link.open());
        const Collector& collector = link.collector;
        QByteArrayList expected;
        qint64 fastest = 1000;
        for (int round = 0; round < 3; ++round) {
            const QByteArray scan = "690123456789" + QByteArray::number(round);
            for (int copy = 0; copy < 2; ++copy) {
                const qint64 sentAt = collector.clock.elapsed();
                link.peer.send(scan);
                expected.append(scan);
                QTRY_COMPARE(collector.barcodes, expected);
                if (copy == 1)
                    fastest = qMin(fastest, collector.lastBarcodeAt - sentAt);
            }
        }
        QVERIFY2(fastest < 55, qPrintable(number(fastest)));
    }

    void decodesImagesThroughTheDevice()
    {
        const QByteArray image(20000, 'i');
        // The decoder's side: how many bytes it takes at each step, and its
        // answer.
        const QList<QPair<int, QByteArray>> steps{
            {3, "RDY0"}, {11, "\x06"},   {image.size(), "\x06"},
            {3, "RDY1"}, {1, "DECODED"}, {3, QByteArray("\x07\x00\x00\x00", 4)}};
        QByteArray seen; // every step the decoder saw, in order
        std::promise<quint16> listening;
        std::thread decoder([&] {
            QTcpServer server;
            server.listen(QHostAddress::LocalHost);
            listening.set_value(server.serverPort());
            if (!server.waitForNewConnection(kWaitMs))
                return;
            QTcpSocket* link = server.nextPendingConnection();
            for (const auto& [size, answer] : steps) {
                while (link->bytesAvailable() < size && link->waitForReadyRead(kWaitMs)) {
                }
                const QByteArray got = link->read(size);
                if (got.size() < size)
                    break;
                seen += (size == image.size() ? QByteArray("image") : got.toHex()) + ' ';
                link->write(answer);
                link->waitForBytesWritten(kWaitMs);
            }
            link->waitForDisconnected(kWaitMs); // until the kit hangs up
        });
        {
            KXDeviceConnector connector;
            QVERIFY(connector.connectToDevice(kLoopback, listening.get_future().get(), false));
            QByteArray out;
            int outLength = 0;
            QVERIFY(connector.decodeImage(image, 100, 200, out, &outLength));
            QCOMPARE(out, QByteArray("DECODED"));
            QCOMPARE(outLength, 7);
            // The run loop is back: the connector takes requests again.
            QVERIFY(connector.isRunning());
        }
        decoder.join();
        // 100 x 200 = 20000 (0x4e20), then width 100 (0x64) and height 200 (0xc8).
        QCOMPARE(seen, QByteArray("1b9900 1b9901204e00006400c800 image 1b9902 06 1b9904 "));
    }

    void writesKeepAliveAndIdleProbe()
    {
        // The probe comes after a little more than 10 s of silence;
        // keepalives every second before that.
        QTRY_VERIFY_WITH_TIMEOUT(m_probeAt >= 0, 20000);
        QVERIFY2(m_probeAt >= 9000, qPrintable(number(m_probeAt)));
        const int keepAlives =
            int(m_idle.peer.frames.count(KXMakeDataStreamCmd("KEPALV", DataProtocol7E07, true)));
        QVERIFY2(keepAlives >= 5, qPrintable(number(keepAlives)));
        m_idle.connector.startKeepAlive(1000); // off
    }
};

QTEST_GUILESS_MAIN(tst_KXDeviceConnector)
#include "tst_KXDeviceConnector.moc"
