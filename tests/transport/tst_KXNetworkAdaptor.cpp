#include "transport/KXNetworkAdaptor.h"
#include "transport/KXNetworkWorker.h"
#include "transport/KXTcpSocket.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include "support/KXReaderThread.h"

#include <atomic>
#include <cstring>
#include <future>
#include <memory>
#include <thread>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

using kxtest::finishesWithin;
using kxtest::onReaderThread;

namespace {

const QString kLoopback = QStringLiteral("127.0.0.1");
const QByteArray kTerminator(";\x03", 2);

} // namespace

class tst_KXNetworkAdaptor : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void frameSizeIsBounded_data();
    void frameSizeIsBounded();
    void refusesBadConnects_data();
    void refusesBadConnects();
    void connectsAndExchanges();
    void laterConnectKeepsFirstReconnectSetting();
    void readUntilWaitsForSplitPattern();
    void readDataTakesWhatItAsksFor();
    void unpatternedReadsTakeTheirWholeTime();
    void floodIsHeldBackNotLost();
    void closeAndDropEndTheLink();
    void reconnectsWhenServerReturns();
    void keepAliveIsSwitchedOn();
    void destructionEndsPendingRead();

private:
    // Connects m_adaptor to m_server and returns the server's side.
    QTcpSocket* connectPeer(bool reconnect = false);
    static void send(QTcpSocket* peer, const QByteArray& bytes);

    std::unique_ptr<QTcpServer> m_server;
    std::unique_ptr<KXNetworkAdaptor> m_adaptor;
    quint16 m_port = 0;
};

void tst_KXNetworkAdaptor::init()
{
    m_server = std::make_unique<QTcpServer>();
    QVERIFY(m_server->listen(QHostAddress::LocalHost, 0));
    m_port = m_server->serverPort();
    m_adaptor = std::make_unique<KXNetworkAdaptor>();
}

void tst_KXNetworkAdaptor::cleanup()
{
    m_adaptor.reset();
    m_server.reset();
}

QTcpSocket* tst_KXNetworkAdaptor::connectPeer(bool reconnect)
{
    if (!m_adaptor->connect(kLoopback, m_port, reconnect))
        return nullptr;
    if (!m_server->hasPendingConnections() && !m_server->waitForNewConnection(5000))
        return nullptr;
    return m_server->nextPendingConnection();
}

void tst_KXNetworkAdaptor::send(QTcpSocket* peer, const QByteArray& bytes)
{
    peer->write(bytes);
    QVERIFY(peer->waitForBytesWritten(5000));
}

void tst_KXNetworkAdaptor::frameSizeIsBounded_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("expected");
    QTest::newRow("zero") << 0 << 512;
    QTest::newRow("negative") << -5 << 512;
    QTest::newRow("one") << 1 << 1;
    QTest::newRow("4096") << 4096 << 4096;
    QTest::newRow("largest") << 4194304 << 4194304;
    QTest::newRow("above largest") << 5000000 << 4194304;
}

void tst_KXNetworkAdaptor::frameSizeIsBounded()
{
    QFETCH(int, size);
    QFETCH(int, expected);
    QCOMPARE(m_adaptor->frameSize(), 512);
    QCOMPARE(m_adaptor->portKind(), int(IDataStreamReadWrite::PortKindNetwork));
    m_adaptor->setFrameSize(size);
    QCOMPARE(m_adaptor->frameSize(), expected);
}

void tst_KXNetworkAdaptor::refusesBadConnects_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::newRow("empty host") << QString() << 36520;
    QTest::newRow("port 0") << kLoopback << 0;
}

void tst_KXNetworkAdaptor::refusesBadConnects()
{
    QFETCH(QString, host);
    QFETCH(int, port);
    QVERIFY(!m_adaptor->connect(host, quint16(port), false));
    QVERIFY(!m_adaptor->is_open());
    QVERIFY(!m_server->hasPendingConnections());
    // Safe on a transport that never connected.
    QVERIFY(m_adaptor->close());
}

void tst_KXNetworkAdaptor::connectsAndExchanges()
{
    QSignalSpy changes(m_adaptor.get(), &IDataStreamReadWrite::connectChanged);
    QTcpSocket* peer = connectPeer();
    QVERIFY(peer);
    QVERIFY(m_adaptor->is_open());
    QVERIFY(!m_adaptor->connect(kLoopback, m_port, false)); // already connected
    QTRY_COMPARE_WITH_TIMEOUT(changes.count(), 1, 5000);
    QCOMPARE(changes.first().first().toBool(), true);

    const QByteArray command = QByteArray("\x7E\x01"
                                          "0000@QRYSYS",
                                          12) +
                               kTerminator;
    QVERIFY(m_adaptor->write(command));
    QByteArray received;
    while (received.size() < command.size() && peer->waitForReadyRead(5000))
        received += peer->readAll();
    QCOMPARE(received, command);

    const QByteArray reply = QByteArray("\x02\x01"
                                        "0000@QRYSYSok\x06",
                                        15) +
                             kTerminator;
    send(peer, reply);
    QByteArray out = "kept:";
    QCOMPARE(
        m_adaptor->read_until(out, 5000, IDataStreamReadWrite::NoInterval, ";\x03", 2, nullptr),
        quint32(reply.size()));
    QCOMPARE(out, "kept:" + reply);
}

void tst_KXNetworkAdaptor::laterConnectKeepsFirstReconnectSetting()
{
    QTcpSocket* peer = connectPeer(false);
    QVERIFY(peer);
    QSignalSpy changes(m_adaptor.get(), &IDataStreamReadWrite::connectChanged);
    QVERIFY(m_adaptor->close());
    QTRY_VERIFY_WITH_TIMEOUT(!m_adaptor->is_open(), 5000);
    QVERIFY(m_adaptor->connect(kLoopback, m_port, true));
    QVERIFY(m_server->waitForNewConnection(5000));
    // The socket made by the first connect keeps reconnection off, so a
    // dropped link stays down.
    m_server->nextPendingConnection()->abort();
    QTRY_VERIFY_WITH_TIMEOUT(!m_adaptor->is_open(), 5000);
    QTest::qWait(KXTcpSocket::ReconnectIntervalMs + 1500);
    QVERIFY(!m_adaptor->is_open());
    QVERIFY(!m_server->hasPendingConnections());
}

void tst_KXNetworkAdaptor::readUntilWaitsForSplitPattern()
{
    QTcpSocket* peer = connectPeer();
    QVERIFY(peer);
    uint error = 12345;
    auto read = onReaderThread([&] {
        QByteArray out;
        m_adaptor->read_until(out, 10000, IDataStreamReadWrite::NoInterval, ";\x03", 2, &error);
        return out;
    });
    send(peer, "@DFMQCU\x06;");
    // Half the terminator is no terminator.
    QVERIFY(!finishesWithin(read, 100));
    QElapsedTimer elapsed;
    elapsed.start();
    send(peer, QByteArray("\x03tail", 5));
    QVERIFY(finishesWithin(read, 5000));
    QVERIFY2(elapsed.elapsed() < 2000, "the arriving bytes must wake the reader");
    const QByteArray out = read.get();
    // Everything up to the moment of return, possibly including the tail.
    QVERIFY(out.startsWith(QByteArray("@DFMQCU\x06;\x03", 10)));
    QCOMPARE(error, 12345u); // never written
}

void tst_KXNetworkAdaptor::readDataTakesWhatItAsksFor()
{
    QTcpSocket* peer = connectPeer();
    QVERIFY(peer);
    send(peer, "0123456789");
    quint8 buffer[16] = {};
    QCOMPARE(m_adaptor->read_data(buffer, 4, 5000), 4u);
    QCOMPARE(QByteArray(reinterpret_cast<char*>(buffer), 4), QByteArray("0123"));
    QCOMPARE(m_adaptor->read_data(buffer, 8, 300), 6u); // what came, after the time
    QCOMPARE(QByteArray(reinterpret_cast<char*>(buffer), 6), QByteArray("456789"));
    QCOMPARE(m_adaptor->read_data(buffer, 0, 1000), 0u);
    QCOMPARE(m_adaptor->read_data(nullptr, 4, 1000), 0u);

    // A single handshake byte is returned as soon as it is there.
    auto single = onReaderThread([&] {
        quint8 byte = 0;
        return m_adaptor->read_data(&byte, 1, 10000) == 1 ? int(byte) : -1;
    });
    QVERIFY(!finishesWithin(single, 50));
    send(peer, "\x06");
    QVERIFY(finishesWithin(single, 3000));
    QCOMPARE(single.get(), 6);
}

// Reads without a pattern gather what comes for their whole time, even when
// bytes are there from the start. Only the poll between requests is ended
// early, by a wake-up; one nobody polls for waits for the next poll.
void tst_KXNetworkAdaptor::unpatternedReadsTakeTheirWholeTime()
{
    QTcpSocket* peer = connectPeer();
    QVERIFY(peer);
    send(peer, "barcode");
    m_adaptor->wakeReaders();
    QElapsedTimer elapsed;
    elapsed.start();
    QByteArray out = "x";
    QCOMPARE(m_adaptor->read_ex(out, 200, IDataStreamReadWrite::NoInterval, nullptr), quint32(7));
    QVERIFY(elapsed.elapsed() >= 190);
    QCOMPARE(out, QByteArray("xbarcode"));
    send(peer, "abc");
    QCOMPARE(m_adaptor->read_until(out, 200, IDataStreamReadWrite::NoInterval, nullptr, 0, nullptr),
             quint32(3));
    QVERIFY(elapsed.elapsed() >= 380);
    QCOMPARE(m_adaptor->read_ex(out, 0, 0, nullptr), quint32(0));
    elapsed.restart();
    m_adaptor->read_poll(out, 20000);
    QVERIFY(elapsed.elapsed() < 5000);

    auto poll = onReaderThread([&] {
        QByteArray bytes;
        return m_adaptor->read_poll(bytes, 20000);
    });
    QVERIFY(!finishesWithin(poll, 50));
    m_adaptor->wakeReaders();
    QVERIFY(finishesWithin(poll, 5000));
    QCOMPARE(poll.get(), quint32(0));
}

void tst_KXNetworkAdaptor::floodIsHeldBackNotLost()
{
    QTcpSocket* peer = connectPeer();
    QVERIFY(peer);
    // The device writes far more than the transport may hold while nobody
    // reads; TCP must hold it back, and every byte must still arrive.
    constexpr int total = 48 * 1024 * 1024;
    const int fd = int(peer->socketDescriptor());
    std::thread writer([fd] {
        QByteArray block(64 * 1024, Qt::Uninitialized);
        QElapsedTimer limit;
        limit.start();
        for (int sent = 0; sent < total && limit.elapsed() < 60000;) {
            for (int i = 0; i < block.size(); ++i)
                block[i] = char((sent + i) % 251);
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            const ssize_t n = ::send(fd, block.constData(), size_t(block.size()), MSG_NOSIGNAL);
            if (n < 0)
                return;
            sent += int(n);
            if (n < block.size())
                std::memmove(block.data(), block.constData() + n, size_t(block.size() - n));
        }
    });
    // Joined on every way out, a failed check included.
    const std::unique_ptr<std::thread, void (*)(std::thread*)> joiner(
        &writer, [](std::thread* t) { t->join(); });
    QTest::qWait(500);
    QByteArray first;
    m_adaptor->read_ex(first, 0, 0, nullptr);
    QVERIFY2(first.size() <= KXNetworkWorker::ReceiveLimit + 2 * KXTcpSocket::ReadBufferSize,
             qPrintable(QString::number(first.size())));
    qint64 received = first.size();
    bool inOrder = true;
    const auto check = [&inOrder](const QByteArray& bytes, qint64 offset) {
        for (int i = 0; i < bytes.size(); i += 4099)
            inOrder = inOrder && bytes.at(i) == char((offset + i) % 251);
    };
    check(first, 0);
    QElapsedTimer elapsed;
    elapsed.start();
    while (received < total && elapsed.elapsed() < 60000) {
        QByteArray chunk;
        m_adaptor->read_until(chunk, 30, IDataStreamReadWrite::NoInterval, ";\x03", 2, nullptr);
        check(chunk, received);
        received += chunk.size();
    }
    QCOMPARE(received, qint64(total));
    QVERIFY(inOrder);
}

void tst_KXNetworkAdaptor::closeAndDropEndTheLink()
{
    QVERIFY(!m_adaptor->write("before connect"));
    QSignalSpy changes(m_adaptor.get(), &IDataStreamReadWrite::connectChanged);
    QTcpSocket* peer = connectPeer();
    QVERIFY(peer);
    QVERIFY(!m_adaptor->write(QByteArray()));
    QVERIFY(m_adaptor->close());
    QTRY_VERIFY_WITH_TIMEOUT(!m_adaptor->is_open(), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(changes.count(), 2, 5000);
    QCOMPARE(changes.at(1).first().toBool(), false);
    QVERIFY(m_adaptor->close()); // again, on a closed link
    QVERIFY(!m_adaptor->write("after close"));

    // The device drops the link.
    peer = connectPeer();
    QVERIFY(peer);
    peer->abort();
    QTRY_VERIFY_WITH_TIMEOUT(!m_adaptor->is_open(), 5000);
    QVERIFY(!m_adaptor->write("after drop"));
}

void tst_KXNetworkAdaptor::reconnectsWhenServerReturns()
{
    QSignalSpy changes(m_adaptor.get(), &IDataStreamReadWrite::connectChanged);
    QTcpSocket* peer = connectPeer(true);
    QVERIFY(peer);
    QTRY_COMPARE_WITH_TIMEOUT(changes.count(), 1, 5000);
    // The device goes away entirely, then comes back on the same port.
    m_server->close();
    peer->abort();
    QTRY_COMPARE_WITH_TIMEOUT(changes.count(), 2, 5000);
    QCOMPARE(changes.at(1).first().toBool(), false);
    QVERIFY(m_server->listen(QHostAddress::LocalHost, m_port));
    QTRY_COMPARE_WITH_TIMEOUT(changes.count(), 3, KXTcpSocket::ReconnectIntervalMs + 5000);
    QCOMPARE(changes.at(2).first().toBool(), true);
    QVERIFY(m_adaptor->is_open());
    QVERIFY(m_server->hasPendingConnections() || m_server->waitForNewConnection(5000));
}

void tst_KXNetworkAdaptor::keepAliveIsSwitchedOn()
{
    KXTcpSocket socket(nullptr, false);
    QVERIFY(socket.connectTo(kLoopback, m_port, 1000));
    const int fd = int(socket.socketDescriptor());
    int value = 0;
    socklen_t size = sizeof(value);
    QCOMPARE(::getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &value, &size), 0);
    QCOMPARE(value, 1);
    QCOMPARE(::getsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &value, &size), 0);
    QCOMPARE(value, 5);
    QCOMPARE(::getsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &value, &size), 0);
    QCOMPARE(value, 3);
    QVERIFY(!socket.connectTo(kLoopback, m_port, 1000)); // already connected
}

void tst_KXNetworkAdaptor::destructionEndsPendingRead()
{
    QVERIFY(connectPeer());
    auto untilRead = onReaderThread([&] {
        QByteArray out;
        return m_adaptor->read_until(out, 20000, IDataStreamReadWrite::NoInterval, ";\x03", 2,
                                     nullptr);
    });
    QVERIFY(!finishesWithin(untilRead, 50));
    QElapsedTimer elapsed;
    elapsed.start();
    m_adaptor.reset();
    QVERIFY(finishesWithin(untilRead, 5000));
    QVERIFY(elapsed.elapsed() < 5000);
    QCOMPARE(untilRead.get(), quint32(0));
}

QTEST_GUILESS_MAIN(tst_KXNetworkAdaptor)
#include "tst_KXNetworkAdaptor.moc"
