#include "driver/KXDriverTestUtil.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <atomic>
#include <climits>
#include <csignal>
#include <termios.h>
#include <thread>
#include <vector>

using namespace kxtest;

namespace {

// Lists into room for 64 records filled with 0xAA, offering `capacity`; the
// records listed, or "moved" when a byte past them changed.
template <typename List>
QByteArray listed(List list, int recordSize, int capacity)
{
    QByteArray records(64 * recordSize, char(0xAA));
    const int count = list(reinterpret_cast<uint8_t*>(records.data()), capacity);
    const QByteArray rest = records.mid(qMax(count, 0) * recordSize);
    if (count < 0 || count > capacity || rest.count(char(0xAA)) != rest.size())
        return "moved";
    return records.left(count * recordSize);
}

// A read that `reads` starts once `input` waits in the tty; `later` is sent
// once the read has taken it.
struct ReadCase
{
    bool until;         // kxds_read_until, else kxds_read_ex
    QByteArray pattern; // null: null pointer
    int length;
    uint32_t capacity;
    uint32_t timeMs; // below longReadMs: the read must take all of it
    QByteArray input;
    QByteArray later;
    QByteArray expected; // at least this comes; the rest stays for the next read
};

} // namespace

Q_DECLARE_METATYPE(ReadCase)

class tst_KXDataStreamDriver : public QObject
{
    Q_OBJECT

    // Each test has a handle and a pty that is port 1001.
    std::unique_ptr<Pty> m_pty;
    uint32_t m_handle = 0;

    bool openPty(const QByteArray& record = comRecord(1001))
    {
        uint32_t error = 0xFFFF;
        return kxds_open_com(m_handle, bytes(record), &error) == 1 && error == KXDS_ERROR_NONE;
    }

private slots:
    void init()
    {
        m_pty = std::make_unique<Pty>();
        qputenv("KXDS_EXTRA_PORTS", m_pty->path());
        m_handle = kxds_create();
    }
    void cleanup()
    {
        kxds_destory(m_handle);
        m_pty.reset();
        qunsetenv("KXDS_EXTRA_PORTS");
        qunsetenv("KXDS_EXTRA_USB");
    }

    void unusableHandle_data()
    {
        QTest::addColumn<uint32_t>("handle");
        QTest::addColumn<uint32_t>("expected");
        const uint32_t destroyed = kxds_create(), unopened = kxds_create();
        QVERIFY(destroyed != 0 && unopened != 0 && destroyed != unopened);
        kxds_destory(destroyed);
        QTest::newRow("zero") << 0u << uint32_t(KXDS_ERROR_BAD_HANDLE);
        QTest::newRow("destroyed") << destroyed << uint32_t(KXDS_ERROR_BAD_HANDLE);
        QTest::newRow("never opened") << unopened << uint32_t(KXDS_ERROR_NOT_OPEN);
    }
    void unusableHandle()
    {
        QFETCH(uint32_t, handle);
        QFETCH(uint32_t, expected);
        uint8_t buffer[16];
        uint32_t readError = 0xFFFF, untilError = 0xFFFF;
        QCOMPARE(kxds_read_ex(handle, buffer, 16, 10, 0, &readError) +
                     kxds_read_until(handle, buffer, 16, 10, 0, "\r", 1, &untilError),
                 0u);
        QCOMPARE(readError, expected);
        QCOMPARE(untilError, expected);
        QCOMPARE(kxds_write(handle, buffer, 16) + kxds_write(handle, buffer, 0), 0);
        QCOMPARE(kxds_is_open(handle), 0);
        QCOMPARE(kxds_clean(handle, INT_MIN), INT_MIN);
        if (expected == KXDS_ERROR_BAD_HANDLE) {
            QCOMPARE(kxds_open_com(handle, bytes(comRecord(1001)), &readError), 0);
            QCOMPARE(readError, expected);
            QCOMPARE(descriptorsOn(m_pty->path()), 1); // nothing opened behind it
        }
        kxds_close(handle);
        kxds_destory(handle);
        kxds_destory(handle); // twice is harmless
    }

    // Lists the paths of KXDS_EXTRA_PORTS or KXDS_EXTRA_USB, then opens what
    // was listed and talks to it.
    void listOpenAndExchange_data()
    {
        QTest::addColumn<bool>("usb");
        QTest::newRow("com") << false;
        QTest::newRow("usb") << true;
    }
    void listOpenAndExchange()
    {
        QFETCH(bool, usb);
        Pty& first = *m_pty;
        Pty second;
        // The second name goes beyond ASCII and the BMP: surrogates in records.
        QTemporaryDir dir;
        const QString secondName = dir.filePath(QStringLiteral("sc\u00e4nner-\u03a9-\U0001F600"));
        QVERIFY(QFile::link(QString::fromLocal8Bit(second.path()), secondName));
        const QString firstName = QString::fromLocal8Bit(first.path());
        const QString missing = QStringLiteral("/nonexistent/kxds");
        // Empty entries take no number.
        qputenv(usb ? "KXDS_EXTRA_USB" : "KXDS_EXTRA_PORTS", ":" + firstName.toUtf8() + ":" +
                                                                 missing.toUtf8() +
                                                                 "::" + secondName.toUtf8() + ":");
        const auto list = [usb](uint8_t* records, int capacity) {
            return usb ? kxds_enum_usb_device_ex(records, capacity, 14, 14, 14, 0, 0, 14)
                       : kxds_enum_serial_ports(records, capacity);
        };
        const int size = usb ? KXDS_USB_RECORD_SIZE : KXDS_COM_RECORD_SIZE;
        const QByteArray all = listed(list, size, 64);
        const int count = all.size() / size;
        // Ports are numbered from 1001 and listed when they exist; USB paths
        // are all listed, as type-1 records zero apart from name and type.
        QVERIFY(all.endsWith(usb ? usbRecord(firstName, 1) + usbRecord(missing, 1) +
                                       usbRecord(secondName, 1)
                                 : comRecord(1001, 0, 0) + comRecord(1003, 0, 0)));
        QCOMPARE(listed(list, size, count - 1), all.left(all.size() - size));
        QCOMPARE(listed(list, size, 0), QByteArray());
        QCOMPARE(list(nullptr, 64), 0);
        const auto portAt = [&](int i) {
            return qFromLittleEndian<uint16_t>(all.constData() + i * size);
        };
        for (int i = 1; !usb && i < count; ++i) // the host's ports too
            QVERIFY2(portAt(i) > portAt(i - 1), "ascending, each once");

        // Each opening replaces the device before. The error code of one,
        // or 0xBAD when the result disagrees with it.
        const auto open = [&](const QString& name, uint16_t port) {
            uint32_t error = 0xFFFF;
            const QByteArray record = usb ? usbRecord(name, 1) : comRecord(port);
            const int opened = usb ? kxds_open_usb(m_handle, bytes(record), 7, &error)
                                   : kxds_open_com(m_handle, bytes(record), &error);
            return opened == (error == KXDS_ERROR_NONE) ? error : 0xBAD;
        };
        QCOMPARE(open(firstName, 1001), 0u);
        QCOMPARE(descriptorsOn(first.path()), 2);
        QCOMPARE(open(secondName, 1003), 0u);
        QCOMPARE(descriptorsOn(first.path()), 1);
        QCOMPARE(kxds_write(m_handle, nullptr, 0), 1); // zero size: true while open
        QCOMPARE(kxds_write(m_handle, nullptr, 4), 0);
        uint32_t error = 0xFFFF;
        QCOMPARE(kxds_read_ex(m_handle, nullptr, 4, 0, 0, &error), 0u);
        QCOMPARE(error, uint32_t(KXDS_ERROR_BAD_ARGUMENT));

        // Every byte value passes untouched (no line editing, no
        // translation), and more than a pty buffers, so writes are partial.
        QByteArray payload(256 * 1024, '\0');
        for (int i = 0; i < payload.size(); ++i)
            payload[i] = char((i * 7 + i / 256) & 0xFF);
        std::atomic<int> written{-1};
        std::thread writer(
            [&] { written = kxds_write(m_handle, bytes(payload), uint32_t(payload.size())); });
        const QByteArray received = second.receive(payload.size());
        writer.join();
        QCOMPARE(written.load(), 1);
        QVERIFY(received == payload);
        QVERIFY(second.send(payload.left(256)));
        char back[256];
        QCOMPARE(
            kxds_read_ex(m_handle, reinterpret_cast<uint8_t*>(back), 256, longReadMs, 0, &error),
            256u);
        QCOMPARE(QByteArray(back, 256), payload.left(256));

        // A failed opening leaves nothing open.
        QCOMPARE(open(missing, 1002), uint32_t(KXDS_ERROR_NOT_FOUND));
        QCOMPARE(descriptorsOn(second.path()), 1);
        QCOMPARE(kxds_is_open(m_handle), 0);
    }

    void openFails_data()
    {
        QTest::addColumn<bool>("usb");
        QTest::addColumn<QByteArray>("record"); // empty: null pointer
        QTest::addColumn<uint32_t>("expected");
        const uint32_t badArgument = KXDS_ERROR_BAD_ARGUMENT, notFound = KXDS_ERROR_NOT_FOUND;
        const uint32_t configFailed = KXDS_ERROR_CONFIG_FAILED;
        // Ports 1001 to 1003 are a pty, a missing path and /dev/null, so only
        // the named field is wrong.
        QTest::newRow("com null") << false << QByteArray() << badArgument;
        QTest::newRow("com baud 0") << false << comRecord(1001, 0) << badArgument;
        QTest::newRow("com data bits 4") << false << comRecord(1001, 9600, 4) << badArgument;
        QTest::newRow("com data bits 9") << false << comRecord(1001, 9600, 9) << badArgument;
        QTest::newRow("com stop bits 3") << false << comRecord(1001, 9600, 8, 3) << badArgument;
        QTest::newRow("com parity 5") << false << comRecord(1001, 9600, 8, 0, 5) << badArgument;
        QTest::newRow("com port 0") << false << comRecord(0) << notFound;
        QTest::newRow("com beyond list") << false << comRecord(1004) << notFound;
        QTest::newRow("com path missing") << false << comRecord(1002) << notFound;
        QTest::newRow("com not a tty") << false << comRecord(1003) << configFailed;

        const auto usb = [](const char* name, uint8_t type = 1, uint16_t port = 0) {
            return usbRecord(QString::fromUtf8(name), type, port);
        };
        QByteArray loneSurrogate = usb("/dev/null");
        loneSurrogate[3] = char(0xD8);
        const QString unterminated(KXDS_USB_NAME_MAX + 1, QLatin1Char('a'));
        QTest::newRow("usb null") << true << QByteArray() << badArgument;
        QTest::newRow("usb type 2") << true << usb("/dev/null", 2) << badArgument;
        QTest::newRow("usb empty name") << true << usb("") << badArgument;
        QTest::newRow("usb no terminator") << true << usbRecord(unterminated, 1) << badArgument;
        QTest::newRow("usb lone surrogate") << true << loneSurrogate << badArgument;
        QTest::newRow("usb missing node") << true << usb("/nonexistent/kxds") << notFound;
        QTest::newRow("usb not a tty") << true << usb("/dev/null") << configFailed;
        QTest::newRow("tcp bad address") << true << usb("999.0.0.1", 11, 80) << badArgument;
        QTest::newRow("tcp port 0") << true << usb("127.0.0.1", 11, 0) << badArgument;
        // A port that was just free on loopback refuses the connection.
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        const QByteArray refused = usb("127.0.0.1", 11, server.serverPort());
        server.close();
        QTest::newRow("tcp refused") << true << refused << uint32_t(KXDS_ERROR_OPEN_FAILED);
    }
    void openFails()
    {
        QFETCH(bool, usb);
        QFETCH(QByteArray, record);
        QFETCH(uint32_t, expected);
        qputenv("KXDS_EXTRA_PORTS", m_pty->path() + ":/nonexistent/kxds:/dev/null");
        uint32_t error = 0xFFFF;
        const uint8_t* data = record.isEmpty() ? nullptr : bytes(record);
        QCOMPARE(usb ? kxds_open_usb(m_handle, data, 3, &error)
                     : kxds_open_com(m_handle, data, &error),
                 0);
        QCOMPARE(error, expected);
        QCOMPARE(kxds_is_open(m_handle), 0);
    }

    void framingIsApplied_data()
    {
        QTest::addColumn<QByteArray>("record");
        QTest::addColumn<uint32_t>("expected"); // the c_cflag bits a pty keeps
        QTest::newRow("9600 none one") << comRecord(1001, 9600) << uint32_t(B9600);
        QTest::newRow("odd") << comRecord(1001, 115200, 8, 0, 1) << uint32_t(B115200 | PARODD);
        QTest::newRow("even two") << comRecord(1001, 19200, 8, 2, 2) << uint32_t(B19200 | CSTOPB);
        QTest::newRow("1.5 as two") << comRecord(1001, 4800, 8, 1) << uint32_t(B4800 | CSTOPB);
        QTest::newRow("mark") << comRecord(1001, 600, 8, 0, 3) << uint32_t(B600 | PARODD | CMSPAR);
        QTest::newRow("space") << comRecord(1001, 57600, 8, 0, 4) << uint32_t(B57600 | CMSPAR);
        // CBAUDEX alone in the speed field is the kernel's "any rate" (BOTHER).
        QTest::newRow("14400 any rate") << comRecord(1001, 14400) << uint32_t(CBAUDEX);
    }
    void framingIsApplied()
    {
        QFETCH(QByteArray, record);
        QFETCH(uint32_t, expected);
        // Start from the opposite of everything the driver must set.
        termios tio;
        QCOMPARE(::tcgetattr(m_pty->slave(), &tio), 0);
        tio.c_cflag = (tio.c_cflag | CSTOPB | PARODD | CMSPAR | CRTSCTS) & ~CLOCAL;
        tio.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
        tio.c_iflag |= ICRNL | IXON | IXOFF | ISTRIP;
        tio.c_oflag |= OPOST;
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 5;
        QCOMPARE(::tcsetattr(m_pty->slave(), TCSANOW, &tio), 0);

        QVERIFY(openPty(record));
        QCOMPARE(::tcgetattr(m_pty->slave(), &tio), 0);
        // Ptys force eight data bits and no parity bit, so data bits and
        // PARENB cannot be read back here.
        QCOMPARE(uint32_t(tio.c_cflag & (CBAUD | CSTOPB | PARODD | CMSPAR)), expected);
        QCOMPARE(tio.c_cflag & (CLOCAL | CREAD | CRTSCTS), tcflag_t(CLOCAL | CREAD));
        QCOMPARE(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
        QCOMPARE(tio.c_iflag & (ICRNL | IXON | IXOFF | ISTRIP), 0u);
        QCOMPARE(tio.c_oflag & OPOST, 0u);
        QCOMPARE(tio.c_cc[VMIN] + tio.c_cc[VTIME], 0);
    }

    void reads_data()
    {
        QTest::addColumn<ReadCase>("c");
        const auto row = [](const char* name, const ReadCase& c) { QTest::newRow(name) << c; };
        const uint32_t whole = 200, longMs = longReadMs;
        // Partial data: the whole time, even with the pattern past the stored bytes.
        row("read_ex", {false, {}, 0, 64, whole, "abc", {}, "abc"});
        row("read_until null pattern", {true, {}, 5, 64, whole, "abc", {}, "abc"});
        row("read_until negative length", {true, "x", -4, 64, whole, "abc", {}, "abc"});
        row("read_until pattern absent", {true, "\r\n", 2, 64, whole, "abc", {}, "abc"});
        row("zero time", {false, {}, 0, 64, 0, "xy", {}, "xy"});
        // Early when the capacity fills.
        row("read_until capacity", {true, "zz", 2, 4, longMs, "0123456789", {}, "0123"});
        // Early when the pattern completes across parts.
        row("split CR LF", {true, "\r\n", 2, 64, longMs, "ID:1\r", "\nrest", "ID:1\r\n"});
        row("split long", {true, "<ACK>", 5, 64, longMs, "data<AC", "K>", "data<ACK>"});
        row("split zero byte", {true, QByteArray("\0\1", 2), 2, 64, longMs, QByteArray("a\0", 2),
                                "\1z", QByteArray("a\0\1", 3)});
    }
    void reads()
    {
        QFETCH(ReadCase, c);
        QVERIFY(openPty());
        QVERIFY(m_pty->send(c.input));
        QTRY_COMPARE_WITH_TIMEOUT(m_pty->pendingInput(), c.input.size(), waitLimitMs);
        const char* pattern = c.pattern.isNull() ? nullptr : c.pattern.constData();
        QElapsedTimer timer;
        timer.start();
        std::future<ReadResult> read = inBackground([&](uint8_t* buffer, uint32_t& error) {
            return c.until ? kxds_read_until(m_handle, buffer, c.capacity, c.timeMs, 0, pattern,
                                             c.length, &error)
                           : kxds_read_ex(m_handle, buffer, c.capacity, c.timeMs, 100000, &error);
        });
        if (!c.later.isEmpty()) {
            QTRY_COMPARE_WITH_TIMEOUT(m_pty->pendingInput(), 0, waitLimitMs);
            QVERIFY(!isReady(read, 0));
            QVERIFY(m_pty->send(c.later));
        }
        QVERIFY(isReady(read, int(c.timeMs) + waitLimitMs));
        const qint64 elapsed = timer.elapsed();
        const ReadResult result = read.get();
        QVERIFY2(result.data.startsWith(c.expected), result.data.toHex().constData());
        QCOMPARE(result.error, uint32_t(KXDS_ERROR_NONE));
        const qint64 minMs = c.timeMs < longReadMs ? c.timeMs : 0;
        QVERIFY2(elapsed >= minMs && elapsed < minMs + waitLimitMs / 2,
                 QByteArray::number(elapsed).constData());
        uint8_t rest[64];
        const uint32_t more = kxds_read_ex(m_handle, rest, sizeof rest, 0, 0, nullptr);
        QCOMPARE(result.data + QByteArray(reinterpret_cast<char*>(rest), int(more)),
                 c.input + c.later);
    }

    void oldInputIsDropped()
    {
        QVERIFY(openPty());
        // The tty stays raw, so waiting input counts; opening drops it, and
        // so does clean, which leaves the device working.
        for (const bool clean : {false, true}) {
            QVERIFY(m_pty->send("old"));
            QTRY_COMPARE_WITH_TIMEOUT(m_pty->pendingInput(), 3, waitLimitMs);
            if (clean)
                QCOMPARE(kxds_clean(m_handle, -7), -7);
            else
                QVERIFY(openPty());
            QCOMPARE(m_pty->pendingInput(), 0);
        }
        QVERIFY(m_pty->send("new"));
        QCOMPARE(longRead(m_handle, "new").get().data, QByteArray("new"));
    }

    // The device ends, perhaps under a read waiting on another thread.
    void endingWakesRead_data()
    {
        QTest::addColumn<QString>("end");
        QTest::addColumn<QByteArray>("pattern"); // null: no waiting read
        QTest::addColumn<uint32_t>("readError");
        QTest::addColumn<uint32_t>("laterError");
        const uint32_t io = KXDS_ERROR_IO, notOpen = KXDS_ERROR_NOT_OPEN;
        QTest::newRow("hang-up, read_ex") << "hang-up" << QByteArray("") << io << io;
        QTest::newRow("hang-up, no read") << "hang-up" << QByteArray() << io << io;
        QTest::newRow("close, read_ex") << "close" << QByteArray("") << notOpen << notOpen;
        QTest::newRow("destroy, read_until")
            << "destroy" << QByteArray("\r\n") << notOpen << uint32_t(KXDS_ERROR_BAD_HANDLE);
    }
    void endingWakesRead()
    {
        QFETCH(QString, end);
        QFETCH(QByteArray, pattern);
        QFETCH(uint32_t, readError);
        QFETCH(uint32_t, laterError);
        QVERIFY(openPty());
        QCOMPARE(kxds_is_open(m_handle), 1);
        std::future<ReadResult> read;
        if (!pattern.isNull()) {
            // Once the read has taken the byte, it surely waits in the driver.
            QVERIFY(m_pty->send("x"));
            QTRY_COMPARE_WITH_TIMEOUT(m_pty->pendingInput(), 1, waitLimitMs);
            read = longRead(m_handle, pattern);
            QTRY_COMPARE_WITH_TIMEOUT(m_pty->pendingInput(), 0, waitLimitMs);
            QVERIFY(!isReady(read, 0));
        }
        if (end == QLatin1String("hang-up"))
            m_pty->closeMaster();
        else if (end == QLatin1String("close"))
            kxds_close(m_handle);
        else
            kxds_destory(m_handle);
        if (read.valid()) {
            QVERIFY(isReady(read));
            const ReadResult result = read.get();
            QCOMPARE(result.data, QByteArray("x"));
            QCOMPARE(result.error, readError);
        }
        QCOMPARE(kxds_is_open(m_handle), 0);
        uint8_t buffer[4];
        uint32_t error = 0xFFFF;
        QCOMPARE(kxds_read_ex(m_handle, buffer, 4, longReadMs, 0, &error), 0u);
        QCOMPARE(error, laterError);
        QCOMPARE(kxds_write(m_handle, buffer, 4) + kxds_write(m_handle, buffer, 0), 0);
        // Once the reader has let go, so has the driver.
        if (end != QLatin1String("hang-up"))
            QCOMPARE(descriptorsOn(m_pty->path()), 1);
    }

    void handlesStayUsableWhileAnotherThreadEnumerates()
    {
        qputenv("KXDS_EXTRA_USB", m_pty->path());
        std::atomic<bool> stop{false};
        std::atomic<int> passes{0};
        std::thread enumerator([&] {
            std::vector<uint8_t> usb(16 * KXDS_USB_RECORD_SIZE), com(64 * KXDS_COM_RECORD_SIZE);
            for (; !stop; ++passes) {
                kxds_enum_usb_device_ex(usb.data(), 16, 14, 14, 14, 0, 0, 14);
                kxds_detect_serial_settings(com.data(), kxds_enum_serial_ports(com.data(), 64), 0);
                kxds_destory(kxds_create());
            }
        });
        const auto joinEnumerator = qScopeGuard([&] { // however the test ends
            stop = true;
            enumerator.join();
        });
        for (int round = 0; round < 30; ++round) {
            uint32_t error = 0xFFFF;
            QCOMPARE(kxds_open_com(m_handle, bytes(comRecord(1001)), &error), 1);
            QCOMPARE(kxds_write(m_handle, bytes("ping"), 4), 1);
            QCOMPARE(m_pty->receive(4), QByteArray("ping"));
            QVERIFY(m_pty->send("pong"));
            uint8_t buffer[4];
            QCOMPARE(kxds_read_until(m_handle, buffer, 4, waitLimitMs, 0, "ng", 2, &error), 4u);
            kxds_close(m_handle);
        }
        QTRY_VERIFY_WITH_TIMEOUT(passes > 0, waitLimitMs);
    }

    // A type-11 record talks to a loopback peer, which then closes or resets.
    void tcpExchange_data()
    {
        QTest::addColumn<bool>("reset");
        QTest::newRow("peer closes under a read") << false;
        QTest::newRow("peer resets, writes go on") << true;
    }
    void tcpExchange()
    {
        QFETCH(bool, reset);
        const auto previousSigpipe = std::signal(SIGPIPE, SIG_DFL); // one would end the test
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        const QByteArray record = usbRecord(QStringLiteral("127.0.0.1"), 11, server.serverPort());
        QCOMPARE(kxds_open_usb(m_handle, bytes(record), 3, nullptr), 1);
        QVERIFY(server.waitForNewConnection(waitLimitMs));
        QTcpSocket* peer = server.nextPendingConnection();

        QByteArray all(256, '\0');
        for (int i = 0; i < 256; ++i)
            all[i] = char(i);
        QCOMPARE(kxds_write(m_handle, bytes(all), 256), 1);
        QByteArray received;
        QTRY_VERIFY_WITH_TIMEOUT((received += peer->readAll()).size() >= 256, waitLimitMs);
        QCOMPARE(received, all);
        peer->write("answer\r\nmore");
        QVERIFY(peer->waitForBytesWritten(waitLimitMs));
        std::future<ReadResult> read = longRead(m_handle, "\r\n");
        QVERIFY(isReady(read));
        QVERIFY(read.get().data.startsWith("answer\r\n"));
        QCOMPARE(kxds_clean(m_handle, 0), 0); // drops the rest, keeps the link
        QCOMPARE(kxds_is_open(m_handle), 1);

        if (reset) {
            peer->abort();
            // The first writes may still be taken; once the reset is in, they fail.
            QTRY_COMPARE_WITH_TIMEOUT(kxds_write(m_handle, bytes("ping"), 4), 0, waitLimitMs);
        } else {
            read = longRead(m_handle);
            peer->write("last");
            QVERIFY(peer->waitForBytesWritten(waitLimitMs));
            peer->disconnectFromHost();
            QVERIFY(isReady(read));
            const ReadResult last = read.get();
            QCOMPARE(last.data, QByteArray("last"));
            QCOMPARE(last.error, uint32_t(KXDS_ERROR_IO));
        }
        QCOMPARE(kxds_is_open(m_handle), 0);
        QCOMPARE(kxds_write(m_handle, bytes("ping"), 4), 0);
        std::signal(SIGPIPE, previousSigpipe);
    }

    void functionsWithoutDevice()
    {
        // Detection does not probe: default framing and kind 0 in `count` records.
        QByteArray records = comRecord(1001, 9600, 7, 2, 1).repeated(2);
        records[2] = 5; // detection kind
        QCOMPARE(kxds_detect_serial_settings(reinterpret_cast<uint8_t*>(records.data()), 1, 9), 1);
        QCOMPARE(records, comRecord(1001) + comRecord(1001, 9600, 7, 2, 1));
        QCOMPARE(kxds_detect_serial_settings(nullptr, 4, 100), 0);

        const char16_t file[] = u"/nonexistent/firmware.bin";
        uint32_t error = 0xFFFF, error1 = 0xFFFF;
        QCOMPARE(kxds_update_firmware_file(m_handle, file, 30, nullptr, 0, &error), 0);
        QCOMPARE(kxds_update_firmware_file_1(m_handle, file, 1, 30, nullptr, 0, &error1), 0);
        QCOMPARE(error, uint32_t(KXDS_ERROR_UNSUPPORTED));
        QCOMPARE(error1, uint32_t(KXDS_ERROR_UNSUPPORTED));
        std::vector<uint8_t> info(KXDS_KERNEL_INFO_RECORD_SIZE, 0);
        QCOMPARE(kxds_get_kernel_info(file, info.data(), int(info.size())), 0);
        QCOMPARE(kxds_get_lib_version(), 0x00010000u);
    }
};

QTEST_GUILESS_MAIN(tst_KXDataStreamDriver)
#include "tst_KXDataStreamDriver.moc"
