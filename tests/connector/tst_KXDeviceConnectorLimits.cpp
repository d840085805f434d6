#include "KXConnectorPeers.h"

#include "support/KXReaderThread.h"

#include <QElapsedTimer>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

using namespace kxconntest;

namespace {

// Peak resident memory of this process, in MiB.
qint64 peakRssMiB()
{
    rusage usage{};
    return ::getrusage(RUSAGE_SELF, &usage) == 0 ? usage.ru_maxrss / 1024 : -1;
}

// Under AddressSanitizer freed memory sits in its quarantine.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KX_TEST_ASAN
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(KX_TEST_ASAN)
constexpr bool kMemoryIsMeasurable = false;
#else
constexpr bool kMemoryIsMeasurable = true;
#endif

// A device that sends `prefix` once connected and then bytes without any
// frame as fast as the link takes them, until the host hangs up.
class FloodingDevice
{
public:
    explicit FloodingDevice(const QByteArray& prefix)
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof address;
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(m_listener, 1);
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        m_thread = std::thread([this, prefix] { run(prefix); });
    }
    ~FloodingDevice()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_listener);
    }

    quint16 port = 0;
    std::atomic<qint64> sent{0};

private:
    void run(const QByteArray& prefix)
    {
        pollfd accepting{m_listener, POLLIN, 0};
        while (!m_stop && ::poll(&accepting, 1, 50) <= 0) {
        }
        if (m_stop)
            return;
        const int fd = ::accept(m_listener, nullptr, nullptr);
        const QByteArray flood(64 * 1024, 'x');
        QByteArray pending = prefix + flood;
        while (!m_stop) {
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const ssize_t n = ::send(fd, pending.constData(), size_t(pending.size()),
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno != EAGAIN)
                break;
            if (n > 0) {
                sent += n;
                pending = pending.mid(int(n)) + flood.left(int(n));
            }
        }
        ::close(fd);
    }

    int m_listener = -1;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

} // namespace

class tst_KXDeviceConnectorLimits : public QObject
{
    Q_OBJECT

private slots:
    void wakeUpIsNotLeftForTheNextReader_data()
    {
        QTest::addColumn<bool>("decode");
        QTest::newRow("log query") << false;
        QTest::newRow("image decode") << true;
    }

    // Every queued request wakes the run loop's poll; a log link never polls, so
    // the wake-up is still pending when the link changes hands. The next
    // reader's reads must still wait their full time.
    void wakeUpIsNotLeftForTheNextReader()
    {
        QFETCH(bool, decode);
        ScriptedPeer peer;
        QVERIFY(peer.listen());
        peer.onFrame = [&peer](const QByteArray& frame) {
            if (frame.contains("QRYSYS"))
                peer.send(textReply("QRYSYSKX-7300\x06"));
            else if (frame.contains("LOGQRY"))
                QTimer::singleShot(60, &peer,
                                   [&peer] { peer.send(textReply("LOGQRY00000004LOG!")); });
        };
        KXDeviceConnector connector;
        Collector collector(connector);
        connector.setLogConnection(true);
        QVERIFY(connector.connectToDevice(kLoopback, peer.port(), false));
        QByteArray reply;
        QCOMPARE(connector.sendBinaryMessage(command("@QRYSYS"), reply, kWaitMs), 0);

        QElapsedTimer elapsed;
        elapsed.start();
        if (decode) {
            // The device never answers: the first step waits its 300 ms.
            QByteArray out;
            QVERIFY(!connector.decodeImage(QByteArray(16, 'i'), 4, 4, out, nullptr));
            QVERIFY2(elapsed.elapsed() >= 290, qPrintable(QString::number(elapsed.elapsed())));
        } else {
            // On a thread of its own: this one plays the device.
            auto query = kxtest::onReaderThread([&] { return connector.logQuery(); });
            QTRY_VERIFY_WITH_TIMEOUT(kxtest::finishesWithin(query, 0), kWaitMs);
            QVERIFY(query.get());
            QTRY_COMPARE(collector.logBytes(), QByteArray("LOG!\x3B\x03", 6));
        }
    }

    void floodingDeviceEndsRequestsInTime_data()
    {
        QTest::addColumn<QByteArray>("prefix");
        QTest::addColumn<int>("protocol");
        QTest::addColumn<int>("expected");
        QTest::newRow("text, no frame") << QByteArray() << int(DataProtocol7E01) << -1;
        QTest::newRow("text, endless reply") << QByteArray("\x02\x01"
                                                           "0000@QRYSYS")
                                             << int(DataProtocol7E01) << -1;
        QTest::newRow("length-prefixed, no frame") << QByteArray() << int(DataProtocol7E07) << -1;
        // The longest frame a length field allows, never terminated: it fails
        // its check once complete.
        QTest::newRow("length-prefixed, endless reply")
            << QByteArray("\x02\x07\xF9\xFF\xFF\x00@QRYSYS", 14) << int(DataProtocol7E07) << -23;
    }

    // A device that never stops sending must not keep a request, or memory,
    // without bound: the request ends with its code within its time limits.
    void floodingDeviceEndsRequestsInTime()
    {
        QFETCH(QByteArray, prefix);
        QFETCH(int, protocol);
        QFETCH(int, expected);
        constexpr int replyTimeoutMs = 1000;   // text requests
        constexpr int requestTimeoutMs = 3000; // length-prefixed requests
        FloodingDevice device(prefix);
        KXDeviceConnector connector;
        connector.setTimeOut_7E01(replyTimeoutMs);
        QVERIFY(connector.connectToDevice(kLoopback, device.port, false));

        QElapsedTimer elapsed;
        elapsed.start();
        QByteArray reply;
        const int errcode = connector.sendBinaryMessage(command("@QRYSYS", EDataProtocol(protocol)),
                                                        reply, requestTimeoutMs);
        const qint64 took = elapsed.elapsed();
        QCOMPARE(errcode, expected);
        const int limit = protocol == DataProtocol7E01 ? replyTimeoutMs : requestTimeoutMs;
        QVERIFY2(took < limit + 2000, qPrintable(QString::number(took)));
        // The device must really have flooded (or the request ended before
        // its time limit). An instrumented build reads too slowly for that
        // on a loaded machine, so only plain builds ask it.
        if (kMemoryIsMeasurable)
            QVERIFY2(
                device.sent > 64 * 1024 * 1024 || took < limit,
                qPrintable(QStringLiteral("%1 bytes in %2 ms").arg(device.sent.load()).arg(took)));
        if (kMemoryIsMeasurable)
            QVERIFY2(peakRssMiB() < 128, qPrintable(QString::number(peakRssMiB())));
    }

    void floodReachesASlowHostInBoundedMemory_data()
    {
        QTest::addColumn<bool>("logLink");
        QTest::newRow("barcodes between requests") << false;
        QTest::newRow("log reception") << true;
    }

    // What the device sends on its own reaches the host as barcodes (or log
    // data on a log link). A host that is busy for a while takes none of it
    // meanwhile: the connector must stop reading rather than pile it up.
    void floodReachesASlowHostInBoundedMemory()
    {
        QFETCH(bool, logLink);
        FloodingDevice device{QByteArray()};
        KXDeviceConnector connector;
        qint64 hostBytes = 0;
        QObject counter;
        const auto count = [&](const QByteArray& data) { hostBytes += data.size(); };
        connect(&connector, &KXDeviceConnector::barcodeReceived, &counter, count);
        connect(&connector, &KXDeviceConnector::logDataReceived, &counter, count);
        connector.setLogConnection(logLink);
        QVERIFY(connector.connectToDevice(kLoopback, device.port, false));
        std::thread reception;
        if (logLink)
            reception = std::thread([&connector] { connector.logRecv(); });
        QThread::msleep(1500); // the host thread takes no events
        QTRY_VERIFY_WITH_TIMEOUT(hostBytes > 256 * 1024 * 1024, 60000);
        if (kMemoryIsMeasurable)
            QVERIFY2(peakRssMiB() < 128, qPrintable(QString::number(peakRssMiB())));
        connector.stopLogRecv();
        if (reception.joinable())
            reception.join();
        QVERIFY(connector.disconnectDevice());
    }
};

QTEST_GUILESS_MAIN(tst_KXDeviceConnectorLimits)
#include "tst_KXDeviceConnectorLimits.moc"
