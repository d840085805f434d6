#include "KXTransportChecks.h"
#include "transport/KXNetworkAdaptor.h"
#include "transport/KXNetworkWorker.h"
#include "transport/KXTcpSocket.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>

#include <memory>
#include <thread>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

using namespace kxtest;

namespace {

const QString kLoopback = QStringLiteral("127.0.0.1");

// The server's side of the link, playing the device.
struct TcpDevice
{
    QTcpSocket* socket = nullptr;

    bool write(const QByteArray& bytes)
    {
        return socket->write(bytes) == bytes.size() && socket->waitForBytesWritten(5000);
    }
    QByteArray read(int count)
    {
        QByteArray out;
        while (out.size() < count && (socket->bytesAvailable() || socket->waitForReadyRead(5000)))
            out += socket->read(count - out.size());
        return out;
    }
};

} // namespace

class tst_KXNetworkAdaptor : public QObject
{
    Q_OBJECT

    // Connects m_adaptor to m_server; m_device gets the server's side.
    bool connectPeer(bool reconnect = false)
    {
        if (!m_adaptor->connect(kLoopback, m_port, reconnect) ||
            (!m_server->hasPendingConnections() && !m_server->waitForNewConnection(5000)))
            return false;
        m_device.socket = m_server->nextPendingConnection();
        return m_device.socket;
    }
    std::unique_ptr<QTcpServer> m_server;
    std::unique_ptr<KXNetworkAdaptor> m_adaptor;
    TcpDevice m_device;
    quint16 m_port = 0;

private slots:
    void init()
    {
        m_server = std::make_unique<QTcpServer>();
        QVERIFY(m_server->listen(QHostAddress::LocalHost, 0));
        m_port = m_server->serverPort();
        m_adaptor = std::make_unique<KXNetworkAdaptor>();
    }
    void cleanup()
    {
        m_adaptor.reset();
        m_server.reset();
    }

    // Out-of-range sizes fall back to the default or are capped.
    void frameSizeIsBounded()
    {
        QCOMPARE(m_adaptor->frameSize(), 512);
        QCOMPARE(m_adaptor->portKind(), int(IDataStreamReadWrite::PortKindNetwork));
        const QPair<int, int> cases[] = {
            {0, 512}, {-5, 512}, {1, 1}, {4194304, 4194304}, {5000000, 4194304}};
        for (const auto& [size, expected] : cases) {
            m_adaptor->setFrameSize(size);
            QVERIFY2(m_adaptor->frameSize() == expected, qPrintable(QString::number(size)));
        }
    }

    void connectsExchangesAndCloses()
    {
        QVERIFY(m_adaptor->close()); // safe before any connect
        QVERIFY(!m_adaptor->write("before connect"));
        m_server->close(); // nobody listens yet
        QVERIFY(!m_adaptor->connect(kLoopback, m_port, false));
        QVERIFY(!m_adaptor->is_open());
        QVERIFY(m_server->listen(QHostAddress::LocalHost, m_port));
        QSignalSpy changes(m_adaptor.get(), &IDataStreamReadWrite::connectChanged);
        QVERIFY(connectPeer());
        QVERIFY(m_adaptor->is_open());
        QVERIFY(!m_adaptor->connect(kLoopback, m_port, false)); // already connected
        QTRY_COMPARE_WITH_TIMEOUT(changes.count(), 1, 5000);
        QCOMPARE(changes.first().first().toBool(), true);
        checkExchangeAndReads(*m_adaptor, m_device, 12345); // the error word is never written
        QVERIFY(!m_adaptor->write(QByteArray()));

        QVERIFY(m_adaptor->close());
        QTRY_VERIFY_WITH_TIMEOUT(!m_adaptor->is_open(), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(changes.count(), 2, 5000);
        QCOMPARE(changes.at(1).first().toBool(), false);
        QVERIFY(!m_adaptor->write("after close"));
    }

    // The device writes far more than the transport may hold while nobody
    // reads; TCP must hold it back, and every byte must still arrive.
    void floodIsHeldBackNotLost()
    {
        QVERIFY(connectPeer());
        constexpr int total = 48 * 1024 * 1024;
        const int fd = int(m_device.socket->socketDescriptor());
        std::thread writer([fd] {
            QByteArray block(64 * 1024, Qt::Uninitialized);
            for (int sent = 0, n = 0; sent < total; sent += n) {
                n = qMin(block.size(), total - sent);
                for (int i = 0; i < n; ++i)
                    block[i] = char((sent + i) % 251);
                // A minute for the reader; after a failed check nobody reads.
                pollfd p{fd, POLLOUT, 0};
                if (::poll(&p, 1, 60000) != 1 ||
                    (n = int(::send(fd, block.constData(), size_t(n), MSG_NOSIGNAL))) < 0)
                    return;
            }
        });
        // Joined on every way out, a failed check included.
        const std::unique_ptr<std::thread, void (*)(std::thread*)> joiner(
            &writer, [](std::thread* t) { t->join(); });
        QTest::qWait(500);
        QByteArray chunk;
        m_adaptor->read_ex(chunk, 0, 0, nullptr);
        QVERIFY2(chunk.size() <= KXNetworkWorker::ReceiveLimit + 2 * KXTcpSocket::ReadBufferSize,
                 qPrintable(QString::number(chunk.size())));
        QElapsedTimer elapsed;
        elapsed.start();
        qint64 received = 0;
        do {
            for (int i = 0; i < chunk.size(); i += 4099)
                QCOMPARE(chunk.at(i), char((received + i) % 251));
            received += chunk.size();
            chunk.clear();
            m_adaptor->read_until(chunk, 30, kNoInterval, ";\x03", 2, nullptr);
        } while (received < total && elapsed.elapsed() < 60000);
        QCOMPARE(received, qint64(total));
    }

    // A write that the system cannot take at once while the device does not
    // read: the rest waits in the socket, and a later write, even once the
    // device has made room, must queue behind it.
    void writesPastWhatTheSystemTakesArriveInOrder()
    {
        KXTcpSocket socket(nullptr, false);
        QVERIFY(socket.connectTo(kLoopback, m_port, 1000));
        QVERIFY(m_server->waitForNewConnection(5000));
        m_device.socket = m_server->nextPendingConnection();
        QByteArray sent(32 * 1024 * 1024 + 3, Qt::Uninitialized);
        for (int i = 0; i < sent.size(); ++i)
            sent[i] = char(i % 251);
        const int split = sent.size() - 1000;
        QVERIFY(socket.writeAll(sent.left(split)));
        QVERIFY(socket.bytesToWrite() > 0);
        // Read without running the event loop, so nothing of the rest moves.
        QByteArray received = m_device.read(1024 * 1024);
        QVERIFY(socket.writeAll(sent.mid(split)));
        connect(m_device.socket, &QTcpSocket::readyRead,
                [&] { received += m_device.socket->readAll(); });
        QTRY_VERIFY_WITH_TIMEOUT(received.size() >= sent.size(), 20000);
        QVERIFY(received == sent);
    }

    void reconnectsOnlyIfTheFirstConnectAsked_data()
    {
        QTest::addColumn<bool>("reconnect");
        QTest::newRow("asked") << true;
        QTest::newRow("asked only by a later connect") << false;
    }
    void reconnectsOnlyIfTheFirstConnectAsked()
    {
        QFETCH(bool, reconnect);
        QSignalSpy changes(m_adaptor.get(), &IDataStreamReadWrite::connectChanged);
        QVERIFY(connectPeer(reconnect));
        if (!reconnect) {
            // The socket made by the first connect keeps its setting.
            QVERIFY(m_adaptor->close());
            QTRY_VERIFY_WITH_TIMEOUT(!m_adaptor->is_open(), 5000);
            QVERIFY(connectPeer(true));
        }
        QTRY_COMPARE_WITH_TIMEOUT(changes.count(), reconnect ? 1 : 3, 5000);
        changes.clear();
        // The device goes away entirely, then comes back on the same port.
        m_server->close();
        m_device.socket->abort();
        QTRY_COMPARE_WITH_TIMEOUT(changes.count(), 1, 5000);
        QCOMPARE(changes.at(0).first().toBool(), false);
        QVERIFY(!m_adaptor->is_open());
        QVERIFY(!m_adaptor->write("after drop"));
        QVERIFY(m_server->listen(QHostAddress::LocalHost, m_port));
        if (reconnect) {
            QTRY_COMPARE_WITH_TIMEOUT(changes.count(), 2, KXTcpSocket::ReconnectIntervalMs + 5000);
            QCOMPARE(changes.at(1).first().toBool(), true);
            QVERIFY(m_adaptor->is_open());
            QVERIFY(m_server->hasPendingConnections() || m_server->waitForNewConnection(5000));
        } else {
            QTest::qWait(KXTcpSocket::ReconnectIntervalMs + 1500);
            QVERIFY(!m_adaptor->is_open());
            QVERIFY(!m_server->hasPendingConnections());
        }
    }

    void keepAliveAndNoDelayAreSwitchedOn()
    {
        KXTcpSocket socket(nullptr, false);
        QVERIFY(socket.connectTo(kLoopback, m_port, 1000));
        const int fd = int(socket.socketDescriptor());
        int on = 0, idle = 0, interval = 0, noDelay = 0;
        socklen_t size = sizeof(int);
        QCOMPARE(::getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, &size) +
                     ::getsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, &size) +
                     ::getsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, &size) +
                     ::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, &size),
                 0);
        QCOMPARE(QVector<int>({on, idle, interval, noDelay != 0}), QVector<int>({1, 5, 3, 1}));
    }

    void destructionEndsPendingRead()
    {
        QVERIFY(connectPeer());
        auto read = onReaderThread([&] {
            QByteArray out;
            return m_adaptor->read_until(out, 20000, kNoInterval, ";\x03", 2, nullptr);
        });
        QVERIFY(!finishesWithin(read, 50));
        QElapsedTimer elapsed;
        elapsed.start();
        m_adaptor.reset();
        QVERIFY(elapsed.elapsed() < 5000);
        QCOMPARE(read.get(), quint32(0));
    }
};

QTEST_GUILESS_MAIN(tst_KXNetworkAdaptor)
#include "tst_KXNetworkAdaptor.moc"
