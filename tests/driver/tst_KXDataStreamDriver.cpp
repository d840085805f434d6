#include "datastream/KXCodecTestUtil.h"
#include "driver/KXDriverTestUtil.h"
#include "tools/KXSimPeers.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <climits>
#include <csignal>
#include <sys/wait.h>
#include <termios.h>
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

// The error code of an opening (empty record: null pointer), or 0xBAD when
// the result disagrees with it.
uint32_t openError(uint32_t handle, const QByteArray& record, bool usb = false)
{
    uint32_t error = 0xFFFF;
    const uint8_t* data = record.isEmpty() ? nullptr : u8(record);
    const int opened =
        usb ? kxds_open_usb(handle, data, 7, &error) : kxds_open_com(handle, data, &error);
    return opened == (error == KXDS_ERROR_NONE) ? error : 0xBAD;
}

// What detection writes into a stale record for `port`: kind and framing are
// overwritten, a record past the count is not.
QByteArray detected(uint16_t port)
{
    const QByteArray stale(KXDS_COM_RECORD_SIZE, char(0xAA));
    QByteArray records = comRecord(port, 0xAAAAAAAA, 0xAA, 0xAA, 0xAA) + stale;
    records[2] = char(0xAA); // the detection kind
    const int count = kxds_detect_serial_settings(reinterpret_cast<uint8_t*>(records.data()), 1, 9);
    return count == 1 && records.endsWith(stale) ? records.left(stale.size()) : "moved";
}

} // namespace

class tst_KXDataStreamDriver : public QObject
{
    Q_OBJECT

    // Each test has a handle and a pty that is port 1001.
    std::unique_ptr<PtyPeer> m_pty;
    uint32_t m_handle = 0;

    bool openPty(const QByteArray& r = comRecord(1001)) { return openError(m_handle, r) == 0; }
    // The line settings of the pty, for comparison.
    QByteArray line() const
    {
        termios tio{};
        ::tcgetattr(m_pty->slave(), &tio);
        return QByteArray(reinterpret_cast<const char*>(&tio), sizeof tio);
    }

private slots:
    void init()
    {
        m_pty = std::make_unique<PtyPeer>();
        qputenv("KXDS_EXTRA_PORTS", m_pty->slavePath().toLocal8Bit());
        m_handle = kxds_create();
    }
    void cleanup()
    {
        kxds_destory(m_handle);
        qunsetenv("KXDS_EXTRA_USB");
    }

    // Lists the paths of KXDS_EXTRA_PORTS or KXDS_EXTRA_USB, then opens what
    // was listed and talks to it.
    void listOpenAndExchange_data()
    {
        const auto row = table<bool>();
        row("com", false);
        row("usb", true);
    }
    void listOpenAndExchange()
    {
        const bool usb = std::get<0>(fetch<bool>());
        PtyPeer second;
        // The second name goes beyond ASCII and the BMP: surrogates in records.
        QTemporaryDir dir;
        const QString secondName = dir.filePath(QStringLiteral("sc\u00e4nner-\u03a9-\U0001F600"));
        QVERIFY(QFile::link(second.slavePath(), secondName));
        const QString firstName = m_pty->slavePath(), missing = QStringLiteral("/nonexistent/kxds");
        // Empty entries take no number.
        qputenv(usb ? "KXDS_EXTRA_USB" : "KXDS_EXTRA_PORTS",
                QStringList({"", firstName, missing, "", secondName, ""}).join(':').toUtf8());
        const auto list = [usb](uint8_t* records, int capacity) {
            return usb ? kxds_enum_usb_device_ex(records, capacity, 14, 14, 14, 0, 0, 14)
                       : kxds_enum_serial_ports(records, capacity);
        };
        const int size = usb ? KXDS_USB_RECORD_SIZE : KXDS_COM_RECORD_SIZE;
        const QByteArray all = listed(list, size, 64);
        // Ports are numbered from 1001 and listed when they exist; USB paths
        // are all listed, as type-1 records zero apart from name and type.
        QVERIFY(all.endsWith(usb ? usbRecord(firstName) + usbRecord(missing) + usbRecord(secondName)
                                 : comRecord(1001, 0, 0) + comRecord(1003, 0, 0)));
        QCOMPARE(listed(list, size, all.size() / size - 1), all.left(all.size() - size));
        QCOMPARE(list(nullptr, 64), 0);
        // The host's ports too: ascending, each once.
        for (int i = size; !usb && i < all.size(); i += size)
            QVERIFY(qFromLittleEndian<uint16_t>(all.constData() + i) >
                    qFromLittleEndian<uint16_t>(all.constData() + i - size));

        // Each opening replaces the device before.
        QCOMPARE(openError(m_handle, usb ? usbRecord(firstName) : comRecord(1001), usb), 0u);
        QCOMPARE(descriptorsOn(ttyOf(firstName)), 2);
        QCOMPARE(openError(m_handle, usb ? usbRecord(secondName) : comRecord(1003), usb), 0u);
        QCOMPARE(descriptorsOn(ttyOf(firstName)), 1);
        QCOMPARE(kxds_write(m_handle, nullptr, 0), 1); // zero size: true while open
        QCOMPARE(kxds_write(m_handle, nullptr, 4), 0);
        uint32_t error = 0xFFFF;
        QCOMPARE(kxds_read_ex(m_handle, nullptr, 4, 0, 0, &error), 0u);
        QCOMPARE(error, uint32_t(KXDS_ERROR_BAD_ARGUMENT));

        // Every byte value passes untouched (no line editing, no
        // translation), and more than a pty buffers, so writes are partial.
        QByteArray payload;
        for (int i = 0; i < 256 * 1024; ++i)
            payload += char((i * 7 + i / 256) & 0xFF);
        auto written = onReaderThread(
            [&] { return kxds_write(m_handle, u8(payload), uint32_t(payload.size())); });
        QVERIFY(second.read(payload.size(), waitLimitMs) == payload);
        QCOMPARE(written.get(), 1);
        QVERIFY(second.write(payload.left(256)));
        QCOMPARE(startRead(m_handle, 'x', {}, 0, longReadMs, 256).get().data, payload.left(256));
    }

    void openFails_data()
    {
        const auto row = table<bool, QByteArray, uint32_t>(); // usb, record (empty: null), error
        const uint32_t badArgument = KXDS_ERROR_BAD_ARGUMENT, notFound = KXDS_ERROR_NOT_FOUND;
        // Ports 1001 to 1003 are a pty, a missing path and /dev/null, so only
        // the named field is wrong.
        row("com null", false, {}, badArgument);
        row("com baud 0", false, comRecord(1001, 0), badArgument);
        row("com data bits 4", false, comRecord(1001, 9600, 4), badArgument);
        row("com data bits 9", false, comRecord(1001, 9600, 9), badArgument);
        row("com stop bits 3", false, comRecord(1001, 9600, 8, 3), badArgument);
        row("com parity 5", false, comRecord(1001, 9600, 8, 0, 5), badArgument);
        row("com port 0", false, comRecord(0), notFound);
        row("com beyond list", false, comRecord(1004), notFound);
        row("com not a tty", false, comRecord(1003), KXDS_ERROR_CONFIG_FAILED);
        const QString loneSurrogate = "/" + QString(QChar(0xD864)) + "ev/null";
        const QString unterminated(KXDS_USB_NAME_MAX + 1, QLatin1Char('a'));
        row("usb null", true, {}, badArgument);
        row("usb type 2", true, usbRecord("/dev/null", 2), badArgument);
        row("usb empty name", true, usbRecord(""), badArgument);
        row("usb no terminator", true, usbRecord(unterminated), badArgument);
        row("usb lone surrogate", true, usbRecord(loneSurrogate), badArgument);
        row("tcp bad address", true, usbRecord("999.0.0.1", 11, 80), badArgument);
        row("tcp port 0", true, usbRecord("127.0.0.1", 11, 0), badArgument);
        // A port that was just free on loopback refuses the connection.
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        const QByteArray refused = usbRecord("127.0.0.1", 11, server.serverPort());
        server.close();
        row("tcp refused", true, refused, KXDS_ERROR_OPEN_FAILED);
    }
    // A failed opening leaves nothing open, not even what the handle had.
    void openFails()
    {
        const auto [usb, record, expected] = fetch<bool, QByteArray, uint32_t>();
        qputenv("KXDS_EXTRA_PORTS",
                m_pty->slavePath().toLocal8Bit() + ":/nonexistent/kxds:/dev/null");
        QVERIFY(openPty());
        QCOMPARE(openError(m_handle, record, usb), expected);
        QCOMPARE(kxds_is_open(m_handle), 0);
    }

    // An opening applies the record's framing to a raw line and holds the
    // port: a second opening, from this process or another, is refused and
    // leaves line and input to the first user until it closes. Detection
    // changes nothing either; it reports a held port with baud rate 0, a free
    // one as its last user left it (a pty keeps eight data bits and no
    // parity bit, so speed and stop bits show).
    void openingSetsFramingAndHoldsThePort_data()
    {
        // Record, the c_cflag bits a pty keeps, who opens it too (com, usb or
        // process), and what detection reads once the port is free.
        const auto row = table<QByteArray, int, QString, QByteArray>();
        const auto com = [](uint32_t baudRate, uint8_t stopBits = 0, uint8_t parity = 0) {
            return comRecord(1001, baudRate, 8, stopBits, parity);
        };
        row("9600 none one", com(9600), B9600, "com", com(9600));
        row("odd", com(115200, 0, 1), B115200 | PARODD, "usb", com(115200));
        row("even two", com(19200, 2, 2), B19200 | CSTOPB, "com", com(19200, 2));
        row("1.5 as two", com(4800, 1), B4800 | CSTOPB, "process", com(4800, 2));
        row("mark", com(600, 0, 3), B600 | PARODD | CMSPAR, "com", com(600));
        row("space", com(57600, 0, 4), B57600 | CMSPAR, "com", com(57600));
        // CBAUDEX alone in the speed field is the kernel's "any rate" (BOTHER).
        row("14400 any rate", com(14400), CBAUDEX, "com", com(14400));
    }
    void openingSetsFramingAndHoldsThePort()
    {
        const auto [record, flags, second, detection] =
            fetch<QByteArray, int, QString, QByteArray>();
        // Start from the opposite of everything the driver must set.
        const tcflag_t local = ICANON | ECHO | ISIG | IEXTEN, input = ICRNL | IXON | IXOFF | ISTRIP;
        // Zero: tcgetattr leaves the tail of c_cc alone. VMIN is 1 already, as
        // raw mode has it.
        termios tio{};
        QCOMPARE(::tcgetattr(m_pty->slave(), &tio), 0);
        tio.c_cflag = (tio.c_cflag | CSTOPB | PARODD | CMSPAR | CRTSCTS) & ~CLOCAL;
        tio.c_lflag |= local;
        tio.c_iflag |= input;
        tio.c_oflag |= OPOST;
        tio.c_cc[VTIME] = 5;
        QCOMPARE(::tcsetattr(m_pty->slave(), TCSANOW, &tio), 0);
        QVERIFY(openPty(record));
        QCOMPARE(::tcgetattr(m_pty->slave(), &tio), 0);
        // Ptys force eight data bits and no parity bit, so data bits and
        // PARENB cannot be read back here.
        const tcflag_t control = CBAUD | CSTOPB | PARODD | CMSPAR | CLOCAL | CREAD | CRTSCTS;
        QCOMPARE(int(tio.c_cflag & control), flags | CLOCAL | CREAD);
        QCOMPARE((tio.c_lflag & local) | (tio.c_iflag & input) | (tio.c_oflag & OPOST) |
                     tio.c_cc[VMIN] | tio.c_cc[VTIME],
                 0u);

        const QByteArray opened = line();
        QVERIFY(m_pty->write("abc"));
        QTRY_COMPARE_WITH_TIMEOUT(m_pty->pendingInput(), 3, waitLimitMs);
        const uint32_t other = kxds_create();
        const auto destroyOther = qScopeGuard([other] { kxds_destory(other); });
        const bool usb = second == "usb";
        const QByteArray otherRecord =
            usb ? usbRecord(m_pty->slavePath()) : comRecord(1001, 2400, 7, 2, 2);
        uint32_t error = 0xFFFF;
        if (second != "process")
            error = openError(other, otherRecord, usb);
        else if (const pid_t child = ::fork(); child == 0)
            ::_exit(int(openError(other, otherRecord)));
        else if (int status = -1; ::waitpid(child, &status, 0) == child && WIFEXITED(status))
            error = uint32_t(WEXITSTATUS(status));
        QCOMPARE(error, uint32_t(KXDS_ERROR_BUSY));
        QCOMPARE(detected(1001), comRecord(1001, 0, 0));
        QCOMPARE(line(), opened);
        QCOMPARE(m_pty->pendingInput(), 3);
        // Waiting input is dropped by clean, and by an opening once the port
        // is free again, but not by detection.
        QCOMPARE(kxds_clean(m_handle, -7), -7);
        QCOMPARE(m_pty->pendingInput(), 0);
        QVERIFY(m_pty->write("old"));
        QTRY_COMPARE_WITH_TIMEOUT(m_pty->pendingInput(), 3, waitLimitMs);
        kxds_close(m_handle);
        const QByteArray closed = line();
        QCOMPARE(detected(1001), detection);
        QCOMPARE(line(), closed);
        QCOMPARE(m_pty->pendingInput(), 3);
        QCOMPARE(openError(other, otherRecord, usb), 0u);
        QCOMPARE(m_pty->pendingInput(), 0);
    }

    // A read that starts once `input` waits in the tty: kxds_read_ex ('x'),
    // kxds_read_until ('u', with pattern and length; a null pattern is a
    // null pointer) or kxds_read_poll ('p'), with a capacity and a time (below
    // longReadMs, the read must take all of it). `later` is sent, and a
    // wake-up given ('d'), once the read has taken the input; 'b' gives one
    // before the read starts. `expected` at least comes; the rest stays for
    // the next read.
    void reads_data()
    {
        const auto row = table<char, QByteArray, int, uint32_t, uint32_t, QByteArray, QByteArray,
                               QByteArray, char>();
        // `during` leaves room to give the wake-up while the read waits.
        const uint32_t whole = 200, during = 1500, longMs = longReadMs;
        // Partial data: the whole time, even with the pattern past the stored
        // bytes. An empty pattern is no pattern, however long it says it is.
        row("read_until null pattern", 'u', {}, 5, 64, whole, "abc", {}, "abc", 0);
        row("read_until negative length", 'u', "b", -1, 64, whole, "abc", {}, "abc", 0);
        row("zero time", 'x', {}, 0, 64, 0, "xy", {}, "xy", 0);
        // Early when the capacity fills.
        row("read_until capacity", 'u', "zz", 2, 4, longMs, "0123456789", {}, "0123", 0);
        // Early when the pattern completes across parts.
        row("split long", 'u', "<ACK>", 5, 64, longMs, "data<AC", "K>", "data<ACK>", 0);
        row("split zero byte", 'u', QByteArray("\0\1", 2), 2, 64, longMs, QByteArray("a\0", 2),
            "\1z", QByteArray("a\0\1", 3), 0);
        // A wake-up ends a poll only; other reads leave it to the next poll.
        row("wake before read_ex", 'x', {}, 0, 64, whole, "abc", {}, "abc", 'b');
        row("wake during read_until", 'u', "\r\n", 2, 64, during, "abc", {}, "abc", 'd');
        // A wake-up from before ends the poll before it reads anything.
        row("wake before read_poll", 'p', {}, 0, 64, longMs, "abc", {}, {}, 'b');
        row("wake during read_poll", 'p', {}, 0, 64, longMs, "abc", {}, "abc", 'd');
    }
    void reads()
    {
        const auto [function, pattern, length, capacity, timeMs, input, later, expected, wake] =
            fetch<char, QByteArray, int, uint32_t, uint32_t, QByteArray, QByteArray, QByteArray,
                  char>();
        QVERIFY(openPty() && m_pty->write(input));
        QTRY_COMPARE_WITH_TIMEOUT(m_pty->pendingInput(), input.size(), waitLimitMs);
        if (wake == 'b')
            kxds_wake_readers(m_handle);
        QElapsedTimer timer;
        timer.start();
        auto read = startRead(m_handle, function, pattern, length, timeMs, capacity);
        if (!later.isEmpty() || wake == 'd') {
            QTRY_COMPARE_WITH_TIMEOUT(m_pty->pendingInput(), 0, waitLimitMs);
            if (wake == 'd')
                kxds_wake_readers(m_handle);
            QVERIFY(m_pty->write(later));
        }
        const ReadResult result = read.get();
        const qint64 elapsed = timer.elapsed();
        QVERIFY2(result.data.startsWith(expected), result.data.toHex().constData());
        QCOMPARE(result.error, uint32_t(KXDS_ERROR_NONE));
        const qint64 minMs = timeMs < longReadMs ? timeMs : 0;
        QVERIFY2(elapsed >= minMs && elapsed < minMs + waitLimitMs / 2,
                 QByteArray::number(elapsed).constData());
        // A poll reads the rest. Only a poll takes a wake-up, and one wake-up
        // ends one poll: this one ends at once only when the read left one
        // behind (and then there is no rest).
        const bool pending = wake != 0 && function != 'p';
        const uint32_t pollMs = pending ? longReadMs : 300;
        timer.restart();
        const QByteArray rest = startRead(m_handle, 'p', {}, 0, pollMs, 64).get().data;
        QVERIFY2(pending ? timer.elapsed() < waitLimitMs / 2 : timer.elapsed() >= pollMs,
                 QByteArray::number(timer.elapsed()).constData());
        QCOMPARE(result.data + rest, input + later);
    }

    // A handle without a usable device: unknown, never opened, or its device
    // ended (perhaps under a read waiting on another thread), which lets the
    // tty go at once. Every function then fails or does nothing.
    void unusableHandle_data()
    {
        // How it ends (zero: handle 0; empty: never opened), the pattern of
        // a read waiting meanwhile (null: none) and the error of later reads.
        const auto row = table<QString, QByteArray, uint32_t>();
        const uint32_t io = KXDS_ERROR_IO, notOpen = KXDS_ERROR_NOT_OPEN;
        const uint32_t badHandle = KXDS_ERROR_BAD_HANDLE;
        row("hang-up, read_ex", "hang-up", "", io);
        row("hang-up, no read", "hang-up", {}, io);
        row("close, read_ex", "close", "", notOpen);
        row("destroy, read_until", "destroy", "\r\n", badHandle);
        row("never opened", "", {}, notOpen);
        row("zero", "zero", {}, badHandle);
    }
    void unusableHandle()
    {
        const auto [end, pattern, laterError] = fetch<QString, QByteArray, uint32_t>();
        const uint32_t handle = end == "zero" ? 0 : m_handle;
        const dev_t tty = ttyOf(m_pty->slavePath());
        if (end != "zero" && !end.isEmpty())
            QVERIFY(openPty() && kxds_is_open(m_handle) == 1);
        std::future<ReadResult> read;
        if (!pattern.isNull()) {
            // Once the read has taken the byte, it surely waits in the driver.
            QVERIFY(m_pty->write("x"));
            QTRY_COMPARE_WITH_TIMEOUT(m_pty->pendingInput(), 1, waitLimitMs);
            read = startRead(m_handle, pattern.isEmpty() ? 'x' : 'u', pattern, pattern.size());
            QTRY_COMPARE_WITH_TIMEOUT(m_pty->pendingInput(), 0, waitLimitMs);
        }
        if (end == "hang-up")
            m_pty->closeMaster(); // and the test's own slave
        else if (end == "close")
            kxds_close(m_handle);
        else if (end == "destroy")
            kxds_destory(m_handle);
        // A read that the end does not wake takes all its time and ends without an error.
        const uint32_t readError = end == "hang-up" ? KXDS_ERROR_IO : KXDS_ERROR_NOT_OPEN;
        if (read.valid())
            QCOMPARE(read.get().text(), "x/" + QByteArray::number(readError));
        QCOMPARE(kxds_is_open(handle), 0);
        // Nothing of the driver's stays on the tty, even before a close.
        QCOMPARE(descriptorsOn(tty), m_pty->slave() >= 0 ? 1 : 0);
        kxds_wake_readers(handle); // nothing to wake; the poll still fails
        for (const char function : {'x', 'u', 'p'})
            QCOMPARE(startRead(handle, function, "\r", 1, 10, 16).get().text(),
                     "/" + QByteArray::number(laterError));
        QCOMPARE(kxds_write(handle, u8("x"), 1) + kxds_write(handle, u8("x"), 0), 0);
        QCOMPARE(kxds_clean(handle, INT_MIN), INT_MIN);
        if (laterError == KXDS_ERROR_BAD_HANDLE) {
            QCOMPARE(openError(handle, comRecord(1001)), laterError);
            QCOMPARE(descriptorsOn(tty), 1); // nothing opened behind it
        }
        kxds_close(handle);
        kxds_destory(handle); // cleanup() destroys it again, which is harmless
    }

    // An unplugged scanner: kxsim hangs up its pty and makes a new one under
    // the same name. The old node is let go at once, the new one opens.
    void hangUpLetsTheNodeGo()
    {
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("port"));
        kxsimtest::SimProcess sim;
        QVERIFY(sim.start({"--port", "0", "--log-port", "0", "--serial-path", link}, true));
        qputenv("KXDS_EXTRA_PORTS", link.toLocal8Bit());
        const dev_t oldTty = ttyOf(sim.serialPaths.first());
        const QByteArray hangUp = hostFrame("@SIMCLS"), query = hostFrame("@QRYSYS*");
        QVERIFY(openPty() && kxds_write(m_handle, u8(hangUp), uint32_t(hangUp.size())));
        QCOMPARE(startRead(m_handle).get().error, uint32_t(KXDS_ERROR_IO));
        QCOMPARE(kxds_is_open(m_handle), 0);
        QCOMPARE(descriptorsOn(oldTty), 0);
        QTRY_COMPARE_WITH_TIMEOUT(sim.serialPaths.size(), 2, waitLimitMs);
        QVERIFY(openPty() && kxds_write(m_handle, u8(query), uint32_t(query.size())));
        const QByteArray reply = startRead(m_handle, 'u', ";\x03", 2).get().data;
        QCOMPARE(reply.left(13), textFrame("@QRYSYS").left(13));
    }

    // A type-11 record talks to a loopback peer, which closes under a read;
    // on a second link it resets, and writes go on until they fail.
    void tcpExchange()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        const QByteArray record = usbRecord("127.0.0.1", 11, server.serverPort());
        QCOMPARE(openError(m_handle, record, true), 0u);
        QVERIFY(server.waitForNewConnection(waitLimitMs));
        QTcpSocket* peer = server.nextPendingConnection();
        QCOMPARE(kxds_write(m_handle, u8("ping"), 4), 1);
        QVERIFY(peer->waitForReadyRead(waitLimitMs) && peer->readAll() == "ping");
        peer->write("answer\r\nmore");
        QVERIFY(peer->waitForBytesWritten(waitLimitMs));
        // Room for the answer only, so the rest waits for clean.
        QCOMPARE(startRead(m_handle, 'u', "\r\n", 2, longReadMs, 8).get().data, "answer\r\n");
        QCOMPARE(kxds_clean(m_handle, 0), 0); // drops the rest, keeps the link
        QCOMPARE(kxds_is_open(m_handle), 1);
        std::future<ReadResult> read = startRead(m_handle);
        peer->write("last");
        QVERIFY(peer->waitForBytesWritten(waitLimitMs));
        peer->disconnectFromHost();
        QCOMPARE(read.get().text(), "last/" + QByteArray::number(KXDS_ERROR_IO));
        QCOMPARE(kxds_is_open(m_handle) + kxds_write(m_handle, u8("ping"), 4), 0);

        // Qt ignores SIGPIPE once it has written; from here one would end the test.
        const auto previousSigpipe = std::signal(SIGPIPE, SIG_DFL);
        const auto restoreSigpipe = qScopeGuard([&] { std::signal(SIGPIPE, previousSigpipe); });
        QCOMPARE(openError(m_handle, record, true), 0u);
        QVERIFY(server.waitForNewConnection(waitLimitMs));
        server.nextPendingConnection()->abort();
        // The first writes may still be taken; once the reset is in, they fail.
        QTRY_COMPARE_WITH_TIMEOUT(kxds_write(m_handle, u8("ping"), 4), 0, waitLimitMs);
        QCOMPARE(kxds_is_open(m_handle), 0);
    }

    void functionsWithoutDevice()
    {
        // Detection reads a line without a speed as the default, and a port
        // that is not there with baud rate 0.
        termios tio{};
        QCOMPARE(::tcgetattr(m_pty->slave(), &tio) + ::cfsetospeed(&tio, B0), 0);
        QCOMPARE(::tcsetattr(m_pty->slave(), TCSANOW, &tio), 0);
        QCOMPARE(detected(1001), comRecord(1001));
        QCOMPARE(detected(1002), comRecord(1002, 0, 0));
        QCOMPARE(kxds_detect_serial_settings(nullptr, 4, 100), 0);
        QByteArray record = comRecord(1001);
        QCOMPARE(kxds_detect_serial_settings(reinterpret_cast<uint8_t*>(record.data()), 0, 100), 0);

        const char16_t file[] = u"/nonexistent/firmware.bin";
        // Firmware goes to an open device only.
        uint32_t error = 0xFFFF, error1 = 0xFFFF;
        QCOMPARE(kxds_update_firmware_file(m_handle, file, 30, nullptr, 0, &error), 0);
        QCOMPARE(kxds_update_firmware_file_1(0, file, 1, 30, nullptr, 0, &error1), 0);
        QCOMPARE(error, uint32_t(KXDS_ERROR_NOT_OPEN));
        QCOMPARE(error1, uint32_t(KXDS_ERROR_BAD_HANDLE));
        std::vector<uint8_t> info(KXDS_KERNEL_INFO_RECORD_SIZE, 0);
        uint32_t infoError = 0xFFFF;
        QCOMPARE(kxds_get_kernel_info(file, info.data(), &infoError), 0);
        QCOMPARE(infoError, uint32_t(KXDS_ERROR_NOT_FOUND));
        QCOMPARE(kxds_get_lib_version(), 0x00010000u);
    }
};

QTEST_GUILESS_MAIN(tst_KXDataStreamDriver)
#include "tst_KXDataStreamDriver.moc"
