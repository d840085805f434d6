#include "driver/KXDriverTestUtil.h"

#include "KXDataStreamDriver.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <climits>
#include <csignal>
#include <cstring>
#include <termios.h>
#include <thread>
#include <vector>

using namespace kxtest;

class tst_KXDataStreamDriver : public QObject
{
    Q_OBJECT

private:
    // Points KXDS_EXTRA_PORTS at `pty` and opens it as port 1001.
    bool openPty(uint32_t handle, const Pty& pty, const QByteArray& record = QByteArray());
    // Leaves a byte in the tty, starts `read` and returns once the read has
    // taken that byte, so the read is surely waiting inside the driver.
    void startWaitingRead(Pty& pty, std::unique_ptr<BackgroundRead>& read,
                          std::function<uint32_t(uint8_t*, uint32_t&)> call);

private slots:
    void cleanup();

    void libraryVersion();
    void handlesAreDistinctAndNonzero();
    void badHandleIsRefused_data();
    void badHandleIsRefused();
    void unopenedHandleReadsAsNotOpen();
    void nullPointersAreHarmless();

    void enumSerialPortsListsExtraPorts();
    void enumSerialPortsHonoursCapacity();
    void enumUsbListsExtraDevices();
    void detectSerialSettingsFillsDefaults();

    void openFailsWithErrorCode_data();
    void openFailsWithErrorCode();
    void transfersBothWays_data();
    void transfersBothWays();
    void emptyEntriesDoNotTakeANumber();
    void framingIsApplied_data();
    void framingIsApplied();
    void largeTransfersBothWays();
    void zeroSizeWriteSucceedsWhileOpen();

    void readUntilReturnsOnSplitPattern_data();
    void readUntilReturnsOnSplitPattern();
    void readUntilLooksOnlyAtBytesOfThisCall();
    void readWaitsWholeTimeForPartialData_data();
    void readWaitsWholeTimeForPartialData();
    void readReturnsWhenCapacityFills_data();
    void readReturnsWhenCapacityFills();
    void cleanDiscardsPendingInput_data();
    void cleanDiscardsPendingInput();

    void closeThenReopen();
    void openingAgainReplacesTheDevice();
    void hangUpEndsReadAndDevice_data();
    void hangUpEndsReadAndDevice();
    void closeFromAnotherThreadWakesRead_data();
    void closeFromAnotherThreadWakesRead();
    void handlesStayUsableWhileAnotherThreadEnumerates();

    void tcpRecordTalksToLoopbackServer();
    void tcpPeerCloseEndsReadAndDevice();
    void tcpWriteToClosedPeerRaisesNoSigpipe();

    void firmwareFunctionsAreUnsupported();
};

bool tst_KXDataStreamDriver::openPty(uint32_t handle, const Pty& pty, const QByteArray& record)
{
    qputenv("KXDS_EXTRA_PORTS", pty.path());
    uint32_t error = 0xFFFF;
    const QByteArray com = record.isEmpty() ? comRecord(KXDS_PORT_EXTRA_BASE) : record;
    return kxds_open_com(handle, bytes(com), &error) == 1 && error == KXDS_ERROR_NONE;
}

void tst_KXDataStreamDriver::startWaitingRead(Pty& pty, std::unique_ptr<BackgroundRead>& read,
                                              std::function<uint32_t(uint8_t*, uint32_t&)> call)
{
    QVERIFY(pty.send("x"));
    QTRY_COMPARE_WITH_TIMEOUT(pty.pendingInput(), 1, waitLimitMs);
    read.reset(new BackgroundRead(std::move(call)));
    QTRY_COMPARE_WITH_TIMEOUT(pty.pendingInput(), 0, waitLimitMs);
    QVERIFY(!read->isDone());
}

void tst_KXDataStreamDriver::cleanup()
{
    qunsetenv("KXDS_EXTRA_PORTS");
    qunsetenv("KXDS_EXTRA_USB");
}

void tst_KXDataStreamDriver::libraryVersion()
{
    QCOMPARE(kxds_get_lib_version(), 0x00010000u);
    QCOMPARE(kxds_get_lib_version(), KXDS_LIB_VERSION);
}

void tst_KXDataStreamDriver::handlesAreDistinctAndNonzero()
{
    QSet<uint32_t> handles;
    for (int i = 0; i < 100; ++i) {
        const uint32_t handle = kxds_create();
        QVERIFY(handle != 0);
        QVERIFY(!handles.contains(handle));
        handles.insert(handle);
    }
    for (const uint32_t handle : qAsConst(handles)) {
        kxds_destory(handle);
        kxds_destory(handle); // twice is harmless
        QCOMPARE(kxds_is_open(handle), 0);
    }
}

void tst_KXDataStreamDriver::badHandleIsRefused_data()
{
    QTest::addColumn<uint32_t>("handle");
    QTest::newRow("zero") << 0u;
    const uint32_t destroyed = kxds_create();
    kxds_destory(destroyed);
    QTest::newRow("destroyed") << destroyed;
    QTest::newRow("never made") << 0xFFFFFFF0u;
}

void tst_KXDataStreamDriver::badHandleIsRefused()
{
    QFETCH(uint32_t, handle);
    Pty pty;
    QVERIFY(pty.isValid());
    qputenv("KXDS_EXTRA_PORTS", pty.path());
    qputenv("KXDS_EXTRA_USB", pty.path());

    uint32_t error = 0xFFFF;
    QCOMPARE(kxds_open_com(handle, bytes(comRecord(KXDS_PORT_EXTRA_BASE)), &error), 0);
    QCOMPARE(error, uint32_t(KXDS_ERROR_BAD_HANDLE));
    error = 0xFFFF;
    const QByteArray usb = usbRecord(QString::fromLocal8Bit(pty.path()), KXDS_USB_TYPE_DATAPIPE);
    QCOMPARE(kxds_open_usb(handle, bytes(usb), 3, &error), 0);
    QCOMPARE(error, uint32_t(KXDS_ERROR_BAD_HANDLE));

    uint8_t buffer[16];
    error = 0xFFFF;
    QCOMPARE(kxds_read_ex(handle, buffer, sizeof buffer, 10, KXDS_NO_INTERVAL, &error), 0u);
    QCOMPARE(error, uint32_t(KXDS_ERROR_BAD_HANDLE));
    error = 0xFFFF;
    QCOMPARE(kxds_read_until(handle, buffer, sizeof buffer, 10, 0, "\r", 1, &error), 0u);
    QCOMPARE(error, uint32_t(KXDS_ERROR_BAD_HANDLE));
    QCOMPARE(kxds_write(handle, buffer, sizeof buffer), 0);
    QCOMPARE(kxds_is_open(handle), 0);
    QCOMPARE(kxds_clean(handle, 42), 42);
    kxds_close(handle);
    kxds_destory(handle);
    // Nothing of the device was opened behind the refused handle.
    QCOMPARE(descriptorsOn(pty.path()), 1);
}

void tst_KXDataStreamDriver::unopenedHandleReadsAsNotOpen()
{
    Handle handle;
    QVERIFY(handle.id != 0);
    uint8_t buffer[16];
    uint32_t error = 0xFFFF;
    QCOMPARE(kxds_read_ex(handle.id, buffer, sizeof buffer, 10, 0, &error), 0u);
    QCOMPARE(error, uint32_t(KXDS_ERROR_NOT_OPEN));
    error = 0xFFFF;
    QCOMPARE(kxds_read_until(handle.id, buffer, sizeof buffer, 10, 0, "\r", 1, &error), 0u);
    QCOMPARE(error, uint32_t(KXDS_ERROR_NOT_OPEN));
    QCOMPARE(kxds_write(handle.id, buffer, sizeof buffer), 0);
    QCOMPARE(kxds_write(handle.id, buffer, 0), 0);
    QCOMPARE(kxds_is_open(handle.id), 0);
    QCOMPARE(kxds_clean(handle.id, -3), -3);
    kxds_close(handle.id);
    kxds_close(handle.id);
}

void tst_KXDataStreamDriver::nullPointersAreHarmless()
{
    Pty pty;
    QVERIFY(pty.isValid());
    Handle handle;
    QVERIFY(openPty(handle.id, pty));

    uint32_t error = 0xFFFF;
    QCOMPARE(kxds_read_ex(handle.id, nullptr, 16, 10, 0, &error), 0u);
    QCOMPARE(error, uint32_t(KXDS_ERROR_BAD_ARGUMENT));
    error = 0xFFFF;
    QCOMPARE(kxds_read_until(handle.id, nullptr, 16, 10, 0, "x", 1, &error), 0u);
    QCOMPARE(error, uint32_t(KXDS_ERROR_BAD_ARGUMENT));
    QCOMPARE(kxds_write(handle.id, nullptr, 16), 0);
    QCOMPARE(kxds_open_com(handle.id, nullptr, nullptr), 0);
    QCOMPARE(kxds_open_usb(handle.id, nullptr, 3, nullptr), 0);

    QVERIFY(openPty(handle.id, pty));
    QVERIFY(pty.send("ab"));
    uint8_t buffer[2];
    // Null error pointer, null pattern, zero capacity.
    QCOMPARE(kxds_read_until(handle.id, buffer, 2, waitLimitMs, 0, nullptr, 5, nullptr), 2u);
    QCOMPARE(kxds_read_ex(handle.id, buffer, 0, waitLimitMs, 0, nullptr), 0u);
    QCOMPARE(kxds_read_ex(handle.id, nullptr, 0, waitLimitMs, 0, nullptr), 0u);

    QCOMPARE(kxds_enum_serial_ports(nullptr, 256), 0);
    QCOMPARE(kxds_enum_usb_device_ex(nullptr, 256, 14, 14, 14, 0, 0, 14), 0);
    QCOMPARE(kxds_detect_serial_settings(nullptr, 4, 100), 0);
    std::vector<uint8_t> records(KXDS_USB_RECORD_SIZE, 0);
    QCOMPARE(kxds_enum_serial_ports(records.data(), 0), 0);
    QCOMPARE(kxds_enum_serial_ports(records.data(), -1), 0);
    QCOMPARE(kxds_enum_usb_device_ex(records.data(), 0, 0, 0, 0, 0, 0, 0), 0);
    QCOMPARE(kxds_enum_usb_device_ex(records.data(), INT_MIN, 0, 0, 0, 0, 0, 0), 0);
    QCOMPARE(kxds_detect_serial_settings(records.data(), -5, 100), 0);
    QCOMPARE(kxds_detect_serial_settings(records.data(), 0, 100), 0);
}

void tst_KXDataStreamDriver::enumSerialPortsListsExtraPorts()
{
    Pty first, second;
    QVERIFY(first.isValid() && second.isValid());
    // 1001 first, 1002 missing (not listed), 1003 second.
    qputenv("KXDS_EXTRA_PORTS", first.path() + ":/nonexistent/kxds-port:" + second.path());

    std::vector<uint8_t> records(256 * KXDS_COM_RECORD_SIZE, 0xAA);
    const int count = kxds_enum_serial_ports(records.data(), 256);
    QVERIFY(count >= 2);
    QList<uint16_t> ports;
    for (int i = 0; i < count; ++i) {
        const KXDSComRecord record = comAt(records, i);
        ports.append(record.port);
        QCOMPARE(record.detectionKind, uint8_t(0));
        QCOMPARE(record.reserved1, uint8_t(0));
        QCOMPARE(record.baudRate, 0u);
        QCOMPARE(record.dataBits, uint8_t(0));
        QCOMPARE(record.stopBits, uint8_t(0));
        QCOMPARE(record.parity, uint8_t(0));
        QCOMPARE(record.reserved2, uint8_t(0));
        if (i > 0)
            QVERIFY2(ports[i - 1] < ports[i], "sorted by number, each once");
        QVERIFY(record.port >= KXDS_PORT_TTYS_BASE);
    }
    QCOMPARE(ports.mid(count - 2), (QList<uint16_t>{1001, 1003}));
    QVERIFY(!ports.contains(1002));
    // Records past the count stay untouched.
    QCOMPARE(records[size_t(count) * KXDS_COM_RECORD_SIZE], uint8_t(0xAA));

    // The host's own ports follow the node rule; ttyS only with a UART.
    for (const uint16_t port : qAsConst(ports)) {
        QString node;
        if (port < KXDS_PORT_TTYUSB_BASE)
            node = QStringLiteral("/dev/ttyS%1").arg(port - KXDS_PORT_TTYS_BASE);
        else if (port < KXDS_PORT_TTYACM_BASE)
            node = QStringLiteral("/dev/ttyUSB%1").arg(port - KXDS_PORT_TTYUSB_BASE);
        else if (port < KXDS_PORT_EXTRA_BASE)
            node = QStringLiteral("/dev/ttyACM%1").arg(port - KXDS_PORT_TTYACM_BASE);
        if (!node.isEmpty())
            QVERIFY2(QFileInfo::exists(node), qPrintable(node));
    }
}

void tst_KXDataStreamDriver::enumSerialPortsHonoursCapacity()
{
    Pty first, second;
    QVERIFY(first.isValid() && second.isValid());
    qputenv("KXDS_EXTRA_PORTS", first.path() + ":" + second.path());

    std::vector<uint8_t> all(256 * KXDS_COM_RECORD_SIZE, 0);
    const int count = kxds_enum_serial_ports(all.data(), 256);
    QVERIFY(count >= 2);
    std::vector<uint8_t> fewer(256 * KXDS_COM_RECORD_SIZE, 0xAA);
    QCOMPARE(kxds_enum_serial_ports(fewer.data(), count - 1), count - 1);
    QVERIFY(
        std::equal(all.begin(), all.begin() + (count - 1) * KXDS_COM_RECORD_SIZE, fewer.begin()));
    QCOMPARE(fewer[size_t(count - 1) * KXDS_COM_RECORD_SIZE], uint8_t(0xAA));
}

void tst_KXDataStreamDriver::enumUsbListsExtraDevices()
{
    Pty first, second;
    QVERIFY(first.isValid() && second.isValid());
    // A name beyond ASCII, with a character outside the BMP: surrogates.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString secondName = dir.filePath(QStringLiteral("sc\u00e4nner-\u03a9-\U0001F600"));
    QVERIFY(QFile::link(QString::fromLocal8Bit(second.path()), secondName));
    qputenv("KXDS_EXTRA_USB", first.path() + "::" + secondName.toUtf8());

    std::vector<uint8_t> records(256 * KXDS_USB_RECORD_SIZE, 0xAA);
    const int count = kxds_enum_usb_device_ex(records.data(), 256, 14, 14, 14, 0, 0, 14);
    QVERIFY(count >= 2);
    QStringList names;
    for (int i = 0; i < count; ++i) {
        const uint8_t* record = records.data() + size_t(i) * KXDS_USB_RECORD_SIZE;
        QCOMPARE(record[KXDS_USB_TYPE_OFFSET], uint8_t(KXDS_USB_TYPE_DATAPIPE));
        const QString name = QString::fromUtf16(reinterpret_cast<const char16_t*>(record));
        QVERIFY(!name.isEmpty());
        names.append(name);
        // Everything after the terminator is zero, except the type byte.
        for (int k = (name.size() + 1) * 2; k < KXDS_USB_RECORD_SIZE; ++k) {
            if (k != KXDS_USB_TYPE_OFFSET)
                QCOMPARE(record[k], uint8_t(0));
        }
    }
    QCOMPARE(names.mid(count - 2), (QStringList{QString::fromLocal8Bit(first.path()), secondName}));

    std::vector<uint8_t> fewer(256 * KXDS_USB_RECORD_SIZE, 0xAA);
    QCOMPARE(kxds_enum_usb_device_ex(fewer.data(), count - 1, 0, 0, 0, 0, 0, 0), count - 1);
    QVERIFY(std::equal(records.begin(), records.begin() + (count - 1) * KXDS_USB_RECORD_SIZE,
                       fewer.begin()));
    QCOMPARE(fewer[size_t(count - 1) * KXDS_USB_RECORD_SIZE], uint8_t(0xAA));

    // The listed record opens the device.
    Handle handle;
    uint32_t error = 0xFFFF;
    const uint8_t* last = records.data() + size_t(count - 1) * KXDS_USB_RECORD_SIZE;
    QCOMPARE(kxds_open_usb(handle.id, last, 3, &error), 1);
    QCOMPARE(error, uint32_t(KXDS_ERROR_NONE));
    QVERIFY(second.send("usb"));
    uint8_t buffer[3];
    QCOMPARE(kxds_read_ex(handle.id, buffer, 3, waitLimitMs, 0, &error), 3u);
    QCOMPARE(QByteArray(reinterpret_cast<char*>(buffer), 3), QByteArray("usb"));
}

void tst_KXDataStreamDriver::detectSerialSettingsFillsDefaults()
{
    std::vector<uint8_t> records(4 * KXDS_COM_RECORD_SIZE, 0xAA);
    for (int i = 0; i < 4; ++i) {
        const QByteArray record = comRecord(uint16_t(1001 + i), 9600, 7, 2, 1);
        std::memcpy(records.data() + i * KXDS_COM_RECORD_SIZE, record.constData(), record.size());
        records[i * KXDS_COM_RECORD_SIZE + 2] = 5; // detection kind
    }
    QCOMPARE(kxds_detect_serial_settings(records.data(), 3, 100), 3);
    for (int i = 0; i < 3; ++i) {
        const KXDSComRecord record = comAt(records, i);
        QCOMPARE(record.port, uint16_t(1001 + i));
        QCOMPARE(record.detectionKind, uint8_t(0));
        QCOMPARE(record.baudRate, 115200u);
        QCOMPARE(record.dataBits, uint8_t(8));
        QCOMPARE(record.stopBits, uint8_t(0));
        QCOMPARE(record.parity, uint8_t(0));
    }
    // Only `count` records are touched.
    QCOMPARE(comAt(records, 3).baudRate, 9600u);
    QCOMPARE(comAt(records, 3).detectionKind, uint8_t(5));
}

void tst_KXDataStreamDriver::openFailsWithErrorCode_data()
{
    QTest::addColumn<bool>("usb");
    QTest::addColumn<QByteArray>("record"); // empty: null pointer
    QTest::addColumn<uint32_t>("expected");

    const uint32_t badArgument = KXDS_ERROR_BAD_ARGUMENT;
    const uint32_t notFound = KXDS_ERROR_NOT_FOUND;
    const uint32_t configFailed = KXDS_ERROR_CONFIG_FAILED;
    // The pty is always 1001, so only the named field is wrong.
    QTest::newRow("com null record") << false << QByteArray() << badArgument;
    QTest::newRow("com baud 0") << false << comRecord(1001, 0) << badArgument;
    QTest::newRow("com data bits 4") << false << comRecord(1001, 9600, 4) << badArgument;
    QTest::newRow("com data bits 9") << false << comRecord(1001, 9600, 9) << badArgument;
    QTest::newRow("com stop bits 3") << false << comRecord(1001, 9600, 8, 3) << badArgument;
    QTest::newRow("com parity 5") << false << comRecord(1001, 9600, 8, 0, 5) << badArgument;
    QTest::newRow("com port 0") << false << comRecord(0) << notFound;
    QTest::newRow("com ttyS99 without UART") << false << comRecord(100) << notFound;
    QTest::newRow("com ttyUSB99") << false << comRecord(200) << notFound;
    QTest::newRow("com ttyACM799") << false << comRecord(1000) << notFound;
    QTest::newRow("com extra beyond list") << false << comRecord(1004) << notFound;
    QTest::newRow("com extra path missing") << false << comRecord(1002) << notFound;
    QTest::newRow("com extra not a tty") << false << comRecord(1003) << configFailed;

    const auto usb = [](const char* name, uint8_t type = KXDS_USB_TYPE_DATAPIPE,
                        uint16_t port = 0) {
        return usbRecord(QString::fromUtf8(name), type, port);
    };
    QTest::newRow("usb null record") << true << QByteArray() << badArgument;
    QTest::newRow("usb type 0") << true << usb("/dev/null", 0) << badArgument;
    QTest::newRow("usb type 2") << true << usb("/dev/null", 2) << badArgument;
    QTest::newRow("usb empty name") << true << usb("") << badArgument;
    QTest::newRow("usb name without terminator")
        << true << usbRecord(QString(KXDS_USB_NAME_MAX + 1, QLatin1Char('a')), 1) << badArgument;
    QByteArray loneSurrogate = usb("/dev/null");
    loneSurrogate[2] = char(0x00);
    loneSurrogate[3] = char(0xD8);
    QTest::newRow("usb lone surrogate") << true << loneSurrogate << badArgument;
    QTest::newRow("usb missing node") << true << usb("/nonexistent/kxds-usb") << notFound;
    QTest::newRow("usb not a tty") << true << usb("/dev/null") << configFailed;
    QTest::newRow("tcp bad address") << true << usb("999.0.0.1", 11, 80) << badArgument;
    QTest::newRow("tcp host name") << true << usb("localhost", 11, 80) << badArgument;
    QTest::newRow("tcp port 0") << true << usb("127.0.0.1", 11, 0) << badArgument;

    // A port that was just free on loopback refuses the connection.
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    const quint16 closedPort = server.serverPort();
    server.close();
    QTest::newRow("tcp refused") << true << usb("127.0.0.1", 11, closedPort)
                                 << uint32_t(KXDS_ERROR_OPEN_FAILED);
}

void tst_KXDataStreamDriver::openFailsWithErrorCode()
{
    QFETCH(bool, usb);
    QFETCH(QByteArray, record);
    QFETCH(uint32_t, expected);

    Pty pty;
    QVERIFY(pty.isValid());
    qputenv("KXDS_EXTRA_PORTS", pty.path() + ":/nonexistent/kxds-port:/dev/null");
    Handle handle;
    uint32_t error = 0xFFFF;
    const uint8_t* data = record.isEmpty() ? nullptr : bytes(record);
    const int opened =
        usb ? kxds_open_usb(handle.id, data, 3, &error) : kxds_open_com(handle.id, data, &error);
    QCOMPARE(opened, 0);
    QCOMPARE(error, expected);
    QCOMPARE(kxds_is_open(handle.id), 0);
    // A null error pointer is fine too.
    QCOMPARE(usb ? kxds_open_usb(handle.id, data, 3, nullptr)
                 : kxds_open_com(handle.id, data, nullptr),
             0);
}

void tst_KXDataStreamDriver::transfersBothWays_data()
{
    QTest::addColumn<bool>("usb");
    QTest::newRow("com record") << false;
    QTest::newRow("usb record") << true;
}

void tst_KXDataStreamDriver::transfersBothWays()
{
    QFETCH(bool, usb);
    Pty pty;
    QVERIFY(pty.isValid());
    Handle handle;
    uint32_t error = 0xFFFF;
    if (usb) {
        const QByteArray record =
            usbRecord(QString::fromLocal8Bit(pty.path()), KXDS_USB_TYPE_DATAPIPE);
        QCOMPARE(kxds_open_usb(handle.id, bytes(record), 7, &error), 1);
        QCOMPARE(error, uint32_t(KXDS_ERROR_NONE));
    } else {
        QVERIFY(openPty(handle.id, pty));
    }
    QCOMPARE(kxds_is_open(handle.id), 1);

    // Every byte value passes untouched: no line editing, no CR/LF or flow
    // control translation.
    const QByteArray all = allByteValues();
    QCOMPARE(kxds_write(handle.id, bytes(all), uint32_t(all.size())), 1);
    QCOMPARE(pty.receive(all.size()), all);

    QVERIFY(pty.send(all));
    std::vector<uint8_t> buffer(all.size());
    error = 0xFFFF;
    QCOMPARE(kxds_read_ex(handle.id, buffer.data(), uint32_t(buffer.size()), waitLimitMs,
                          KXDS_NO_INTERVAL, &error),
             uint32_t(all.size()));
    QCOMPARE(error, uint32_t(KXDS_ERROR_NONE));
    QCOMPARE(QByteArray(reinterpret_cast<char*>(buffer.data()), int(buffer.size())), all);
}

void tst_KXDataStreamDriver::emptyEntriesDoNotTakeANumber()
{
    Pty first, second;
    QVERIFY(first.isValid() && second.isValid());
    Handle handle;
    // Port 1002 is the second non-empty entry.
    qputenv("KXDS_EXTRA_PORTS", ":" + first.path() + "::" + second.path() + ":");
    uint32_t error = 0xFFFF;
    QCOMPARE(kxds_open_com(handle.id, bytes(comRecord(1002)), &error), 1);
    QVERIFY(second.send("two"));
    uint8_t buffer[3];
    QCOMPARE(kxds_read_ex(handle.id, buffer, 3, waitLimitMs, 0, &error), 3u);
    QCOMPARE(QByteArray(reinterpret_cast<char*>(buffer), 3), QByteArray("two"));
    QCOMPARE(descriptorsOn(first.path()), 1);
    QCOMPARE(descriptorsOn(second.path()), 2);
}

void tst_KXDataStreamDriver::framingIsApplied_data()
{
    QTest::addColumn<uint32_t>("baudRate");
    QTest::addColumn<int>("stopBits");
    QTest::addColumn<int>("parity");
    QTest::addColumn<bool>("twoStopBits");
    QTest::addColumn<bool>("oddOrMark");
    QTest::addColumn<bool>("stickParity");
    QTest::addColumn<uint32_t>("speedBits");

    // CBAUDEX alone in the speed field is the kernel's "any rate" (BOTHER).
    const uint32_t anyRate = CBAUDEX;
    QTest::newRow("9600 none one") << 9600u << 0 << 0 << false << false << false << uint32_t(B9600);
    QTest::newRow("115200 odd") << 115200u << 0 << 1 << false << true << false << uint32_t(B115200);
    QTest::newRow("19200 even two")
        << 19200u << 2 << 2 << true << false << false << uint32_t(B19200);
    QTest::newRow("one and a half as two")
        << 4800u << 1 << 0 << true << false << false << uint32_t(B4800);
    QTest::newRow("mark") << 38400u << 0 << 3 << false << true << true << uint32_t(B38400);
    QTest::newRow("space") << 57600u << 0 << 4 << false << false << true << uint32_t(B57600);
    QTest::newRow("921600") << 921600u << 0 << 0 << false << false << false << uint32_t(B921600);
    QTest::newRow("14400 any rate") << 14400u << 0 << 0 << false << false << false << anyRate;
}

void tst_KXDataStreamDriver::framingIsApplied()
{
    QFETCH(uint32_t, baudRate);
    QFETCH(int, stopBits);
    QFETCH(int, parity);
    QFETCH(bool, twoStopBits);
    QFETCH(bool, oddOrMark);
    QFETCH(bool, stickParity);
    QFETCH(uint32_t, speedBits);

    Pty pty;
    QVERIFY(pty.isValid());
    // Start from the opposite of everything the driver must set.
    termios before;
    QCOMPARE(::tcgetattr(pty.slave(), &before), 0);
    before.c_cflag |= CSTOPB | PARODD | CMSPAR | CRTSCTS;
    before.c_cflag &= ~(CLOCAL);
    before.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    before.c_iflag |= ICRNL | IXON | IXOFF | ISTRIP;
    before.c_oflag |= OPOST;
    before.c_cc[VMIN] = 1;
    before.c_cc[VTIME] = 5;
    QCOMPARE(::tcsetattr(pty.slave(), TCSANOW, &before), 0);

    Handle handle;
    QVERIFY(
        openPty(handle.id, pty, comRecord(1001, baudRate, 8, uint8_t(stopBits), uint8_t(parity))));
    termios tio;
    QCOMPARE(::tcgetattr(pty.slave(), &tio), 0);
    // Ptys force eight data bits and no parity bit, so data bits and PARENB
    // cannot be read back here; the bits a pty keeps can.
    QCOMPARE(bool(tio.c_cflag & CSTOPB), twoStopBits);
    QCOMPARE(bool(tio.c_cflag & PARODD), oddOrMark);
    QCOMPARE(bool(tio.c_cflag & CMSPAR), stickParity);
    QCOMPARE(uint32_t(tio.c_cflag & CBAUD), speedBits);
    QVERIFY(tio.c_cflag & CLOCAL);
    QVERIFY(tio.c_cflag & CREAD);
    QVERIFY(!(tio.c_cflag & CRTSCTS));
    QVERIFY(!(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)));
    QVERIFY(!(tio.c_iflag & (ICRNL | IXON | IXOFF | ISTRIP)));
    QVERIFY(!(tio.c_oflag & OPOST));
    QCOMPARE(int(tio.c_cc[VMIN]), 0);
    QCOMPARE(int(tio.c_cc[VTIME]), 0);
}

void tst_KXDataStreamDriver::largeTransfersBothWays()
{
    Pty pty;
    QVERIFY(pty.isValid());
    Handle handle;
    QVERIFY(openPty(handle.id, pty));

    // Far more than a pty buffers, so writes are partial and must wait.
    QByteArray payload;
    for (int i = 0; i < 256 * 1024; ++i)
        payload.append(char((i * 7 + i / 251) & 0xFF));

    std::atomic<int> written{-1};
    std::thread writer(
        [&] { written = kxds_write(handle.id, bytes(payload), uint32_t(payload.size())); });
    const QByteArray received = pty.receive(payload.size());
    writer.join();
    QCOMPARE(written.load(), 1);
    QCOMPARE(received.size(), payload.size());
    QVERIFY(received == payload);

    std::vector<uint8_t> buffer(payload.size());
    uint32_t error = 0xFFFF;
    std::thread sender([&] { pty.send(payload); });
    QElapsedTimer timer;
    timer.start();
    const uint32_t count =
        kxds_read_ex(handle.id, buffer.data(), uint32_t(buffer.size()), longReadMs, 0, &error);
    sender.join();
    QCOMPARE(count, uint32_t(payload.size()));
    QVERIFY(timer.elapsed() < earlyMs);
    QVERIFY(QByteArray(reinterpret_cast<char*>(buffer.data()), payload.size()) == payload);
}

void tst_KXDataStreamDriver::zeroSizeWriteSucceedsWhileOpen()
{
    Pty pty;
    QVERIFY(pty.isValid());
    Handle handle;
    QCOMPARE(kxds_write(handle.id, nullptr, 0), 0);
    QVERIFY(openPty(handle.id, pty));
    QCOMPARE(kxds_write(handle.id, nullptr, 0), 1);
    const uint8_t byte = 'z';
    QCOMPARE(kxds_write(handle.id, &byte, 0), 1);
    QCOMPARE(kxds_write(handle.id, &byte, 1), 1);
    QCOMPARE(pty.receive(1), QByteArray("z"));
    pty.closeMaster();
    QCOMPARE(kxds_write(handle.id, &byte, 0), 0);
}

void tst_KXDataStreamDriver::readUntilReturnsOnSplitPattern_data()
{
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<QByteArray>("pattern");

    QTest::newRow("CR LF split") << QByteArray("ID:123\r") << QByteArray("\nrest")
                                 << QByteArray("\r\n");
    QTest::newRow("long pattern split")
        << QByteArray("data<AC") << QByteArray("K>") << QByteArray("<ACK>");
    QTest::newRow("pattern only in second")
        << QByteArray("abc") << QByteArray("de\x03") << QByteArray("\x03");
    QTest::newRow("pattern with zero byte")
        << QByteArray("a\0", 2) << QByteArray("\x01z", 2) << QByteArray("\0\x01", 2);
}

void tst_KXDataStreamDriver::readUntilReturnsOnSplitPattern()
{
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, second);
    QFETCH(QByteArray, pattern);

    Pty pty;
    QVERIFY(pty.isValid());
    Handle handle;
    QVERIFY(openPty(handle.id, pty));

    // The first part is taken by the waiting read before the second is sent.
    QVERIFY(pty.send(first));
    QTRY_COMPARE_WITH_TIMEOUT(pty.pendingInput(), first.size(), waitLimitMs);
    const uint32_t id = handle.id;
    BackgroundRead read([id, pattern](uint8_t* buffer, uint32_t& error) {
        return kxds_read_until(id, buffer, BackgroundRead::capacity, longReadMs, KXDS_NO_INTERVAL,
                               pattern.constData(), pattern.size(), &error);
    });
    QTRY_COMPARE_WITH_TIMEOUT(pty.pendingInput(), 0, waitLimitMs);
    QVERIFY(!read.isDone());
    QVERIFY(pty.send(second));

    QTRY_VERIFY_WITH_TIMEOUT(read.isDone(), waitLimitMs);
    QCOMPARE(read.result(), first + second);
    QCOMPARE(read.error(), uint32_t(KXDS_ERROR_NONE));
    QVERIFY2(read.elapsedMs() < earlyMs, QByteArray::number(read.elapsedMs()));
}

void tst_KXDataStreamDriver::readUntilLooksOnlyAtBytesOfThisCall()
{
    Pty pty;
    QVERIFY(pty.isValid());
    Handle handle;
    QVERIFY(openPty(handle.id, pty));

    // Left from an earlier call: the pattern stands beyond what arrives now.
    uint8_t buffer[32];
    std::memset(buffer, 0, sizeof buffer);
    std::memcpy(buffer + 3, "\r\n", 2);
    QVERIFY(pty.send("ab"));
    QTRY_COMPARE_WITH_TIMEOUT(pty.pendingInput(), 2, waitLimitMs);
    QElapsedTimer timer;
    timer.start();
    uint32_t error = 0xFFFF;
    QCOMPARE(kxds_read_until(handle.id, buffer, sizeof buffer, 200, 0, "\r\n", 2, &error), 2u);
    QVERIFY(timer.elapsed() >= 200);
    QCOMPARE(error, uint32_t(KXDS_ERROR_NONE));
}

void tst_KXDataStreamDriver::readWaitsWholeTimeForPartialData_data()
{
    QTest::addColumn<int>("kind"); // 0 read_ex, 1 read_until
    QTest::addColumn<QByteArray>("pattern");
    QTest::addColumn<int>("patternLength");
    QTest::addColumn<uint32_t>("interval");

    QTest::newRow("read_ex") << 0 << QByteArray() << 0 << KXDS_NO_INTERVAL;
    QTest::newRow("read_ex interval ignored") << 0 << QByteArray() << 0 << 100000u;
    QTest::newRow("read_until empty pattern") << 1 << QByteArray("") << 0 << 0u;
    QTest::newRow("read_until negative length") << 1 << QByteArray("x") << -4 << 0u;
    QTest::newRow("read_until pattern absent") << 1 << QByteArray("\r\n") << 2 << 0u;
}

void tst_KXDataStreamDriver::readWaitsWholeTimeForPartialData()
{
    QFETCH(int, kind);
    QFETCH(QByteArray, pattern);
    QFETCH(int, patternLength);
    QFETCH(uint32_t, interval);

    Pty pty;
    QVERIFY(pty.isValid());
    Handle handle;
    QVERIFY(openPty(handle.id, pty));
    QVERIFY(pty.send("abc"));
    QTRY_COMPARE_WITH_TIMEOUT(pty.pendingInput(), 3, waitLimitMs);

    constexpr uint32_t limitMs = 250;
    uint8_t buffer[64];
    uint32_t error = 0xFFFF;
    QElapsedTimer timer;
    timer.start();
    const uint32_t count =
        kind == 0 ? kxds_read_ex(handle.id, buffer, sizeof buffer, limitMs, interval, &error)
                  : kxds_read_until(handle.id, buffer, sizeof buffer, limitMs, interval,
                                    pattern.constData(), patternLength, &error);
    const qint64 elapsed = timer.elapsed();
    QCOMPARE(count, 3u);
    QCOMPARE(QByteArray(reinterpret_cast<char*>(buffer), 3), QByteArray("abc"));
    QCOMPARE(error, uint32_t(KXDS_ERROR_NONE));
    QVERIFY2(elapsed >= limitMs, QByteArray::number(elapsed));
    QVERIFY2(elapsed < limitMs + earlyMs, QByteArray::number(elapsed));
}

void tst_KXDataStreamDriver::readReturnsWhenCapacityFills_data()
{
    QTest::addColumn<int>("kind"); // 0 read_ex, 1 read_until
    QTest::newRow("read_ex") << 0;
    QTest::newRow("read_until, pattern never comes") << 1;
}

void tst_KXDataStreamDriver::readReturnsWhenCapacityFills()
{
    QFETCH(int, kind);
    Pty pty;
    QVERIFY(pty.isValid());
    Handle handle;
    QVERIFY(openPty(handle.id, pty));
    QVERIFY(pty.send("0123456789"));

    const auto readFour = [&](uint8_t* buffer, uint32_t capacity, uint32_t& error) {
        return kind == 0
                   ? kxds_read_ex(handle.id, buffer, capacity, longReadMs, 0, &error)
                   : kxds_read_until(handle.id, buffer, capacity, longReadMs, 0, "zz", 2, &error);
    };
    uint8_t buffer[10];
    uint32_t error = 0xFFFF;
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(readFour(buffer, 4, error), 4u);
    QCOMPARE(QByteArray(reinterpret_cast<char*>(buffer), 4), QByteArray("0123"));
    // The rest stays for the next read.
    QCOMPARE(readFour(buffer, 6, error), 6u);
    QCOMPARE(QByteArray(reinterpret_cast<char*>(buffer), 6), QByteArray("456789"));
    QCOMPARE(error, uint32_t(KXDS_ERROR_NONE));
    QVERIFY2(timer.elapsed() < earlyMs, QByteArray::number(timer.elapsed()));
    // Zero time still hands over what is already there.
    QVERIFY(pty.send("xy"));
    QTRY_COMPARE_WITH_TIMEOUT(pty.pendingInput(), 2, waitLimitMs);
    QCOMPARE(kxds_read_ex(handle.id, buffer, sizeof buffer, 0, 0, &error), 2u);
}

void tst_KXDataStreamDriver::cleanDiscardsPendingInput_data()
{
    QTest::addColumn<int>("value");
    QTest::newRow("0") << 0;
    QTest::newRow("1") << 1;
    QTest::newRow("-7") << -7;
    QTest::newRow("INT_MAX") << INT_MAX;
    QTest::newRow("INT_MIN") << INT_MIN;
}

void tst_KXDataStreamDriver::cleanDiscardsPendingInput()
{
    QFETCH(int, value);
    Pty pty;
    QVERIFY(pty.isValid());
    Handle handle;
    QVERIFY(openPty(handle.id, pty));
    QVERIFY(pty.send("stale"));
    QTRY_COMPARE_WITH_TIMEOUT(pty.pendingInput(), 5, waitLimitMs);

    QCOMPARE(kxds_clean(handle.id, value), value);
    QCOMPARE(pty.pendingInput(), 0);
    QVERIFY(pty.send("fresh"));
    uint8_t buffer[5];
    uint32_t error = 0xFFFF;
    QCOMPARE(kxds_read_ex(handle.id, buffer, 5, waitLimitMs, 0, &error), 5u);
    QCOMPARE(QByteArray(reinterpret_cast<char*>(buffer), 5), QByteArray("fresh"));
}

void tst_KXDataStreamDriver::closeThenReopen()
{
    Pty pty;
    QVERIFY(pty.isValid());
    Handle handle;
    for (int round = 0; round < 3; ++round) {
        QVERIFY(openPty(handle.id, pty));
        QCOMPARE(kxds_is_open(handle.id), 1);
        QCOMPARE(descriptorsOn(pty.path()), 2);
        QVERIFY(pty.send("hi"));
        uint8_t buffer[2];
        uint32_t error = 0xFFFF;
        QCOMPARE(kxds_read_ex(handle.id, buffer, 2, waitLimitMs, 0, &error), 2u);

        kxds_close(handle.id);
        QCOMPARE(kxds_is_open(handle.id), 0);
        // The driver's descriptor is gone; only the test's own remains.
        QCOMPARE(descriptorsOn(pty.path()), 1);
        QCOMPARE(kxds_read_ex(handle.id, buffer, 2, 10, 0, &error), 0u);
        QCOMPARE(error, uint32_t(KXDS_ERROR_NOT_OPEN));
        QCOMPARE(kxds_write(handle.id, buffer, 2), 0);
    }
}

void tst_KXDataStreamDriver::openingAgainReplacesTheDevice()
{
    Pty first, second;
    QVERIFY(first.isValid() && second.isValid());
    qputenv("KXDS_EXTRA_PORTS", first.path() + ":" + second.path());
    Handle handle;
    uint32_t error = 0xFFFF;
    QCOMPARE(kxds_open_com(handle.id, bytes(comRecord(1001)), &error), 1);
    QCOMPARE(descriptorsOn(first.path()), 2);
    QCOMPARE(kxds_open_com(handle.id, bytes(comRecord(1002)), &error), 1);
    QCOMPARE(descriptorsOn(first.path()), 1);
    QCOMPARE(descriptorsOn(second.path()), 2);

    QCOMPARE(kxds_write(handle.id, bytes("2nd"), 3), 1);
    QCOMPARE(second.receive(3), QByteArray("2nd"));

    // A failed opening leaves nothing open either.
    QCOMPARE(kxds_open_com(handle.id, bytes(comRecord(1005)), &error), 0);
    QCOMPARE(error, uint32_t(KXDS_ERROR_NOT_FOUND));
    QCOMPARE(descriptorsOn(second.path()), 1);
    QCOMPARE(kxds_is_open(handle.id), 0);
}

void tst_KXDataStreamDriver::hangUpEndsReadAndDevice_data()
{
    QTest::addColumn<bool>("pendingRead");
    QTest::newRow("read waiting") << true;
    QTest::newRow("no read") << false;
}

void tst_KXDataStreamDriver::hangUpEndsReadAndDevice()
{
    QFETCH(bool, pendingRead);
    Pty pty;
    QVERIFY(pty.isValid());
    Handle handle;
    QVERIFY(openPty(handle.id, pty));
    QCOMPARE(kxds_is_open(handle.id), 1);

    std::unique_ptr<BackgroundRead> read;
    if (pendingRead) {
        const uint32_t id = handle.id;
        startWaitingRead(pty, read, [id](uint8_t* buffer, uint32_t& error) {
            return kxds_read_ex(id, buffer, BackgroundRead::capacity, longReadMs, 0, &error);
        });
        if (QTest::currentTestFailed())
            return;
    }
    pty.closeMaster();
    if (pendingRead) {
        QTRY_VERIFY_WITH_TIMEOUT(read->isDone(), waitLimitMs);
        QCOMPARE(read->result(), QByteArray("x"));
        QCOMPARE(read->error(), uint32_t(KXDS_ERROR_IO));
        QVERIFY(read->elapsedMs() < earlyMs);
    }
    QCOMPARE(kxds_is_open(handle.id), 0);
    uint8_t buffer[4];
    uint32_t error = 0xFFFF;
    QCOMPARE(kxds_read_ex(handle.id, buffer, 4, longReadMs, 0, &error), 0u);
    QCOMPARE(error, uint32_t(KXDS_ERROR_IO));
    QCOMPARE(kxds_write(handle.id, buffer, 4), 0);
}

void tst_KXDataStreamDriver::closeFromAnotherThreadWakesRead_data()
{
    QTest::addColumn<bool>("destroy");
    QTest::addColumn<bool>("readUntil");
    QTest::newRow("close, read_ex") << false << false;
    QTest::newRow("close, read_until") << false << true;
    QTest::newRow("destroy, read_ex") << true << false;
    QTest::newRow("destroy, read_until") << true << true;
}

void tst_KXDataStreamDriver::closeFromAnotherThreadWakesRead()
{
    QFETCH(bool, destroy);
    QFETCH(bool, readUntil);
    Pty pty;
    QVERIFY(pty.isValid());
    const uint32_t handle = kxds_create();
    QVERIFY(openPty(handle, pty));

    std::unique_ptr<BackgroundRead> read;
    startWaitingRead(pty, read, [handle, readUntil](uint8_t* buffer, uint32_t& error) {
        return readUntil
                   ? kxds_read_until(handle, buffer, BackgroundRead::capacity, longReadMs, 0,
                                     "\r\n", 2, &error)
                   : kxds_read_ex(handle, buffer, BackgroundRead::capacity, longReadMs, 0, &error);
    });
    if (QTest::currentTestFailed()) {
        kxds_destory(handle);
        return;
    }
    if (destroy)
        kxds_destory(handle);
    else
        kxds_close(handle);

    QTRY_VERIFY_WITH_TIMEOUT(read->isDone(), waitLimitMs);
    QCOMPARE(read->result(), QByteArray("x"));
    QCOMPARE(read->error(), uint32_t(KXDS_ERROR_NOT_OPEN));
    QVERIFY(read->elapsedMs() < earlyMs);
    read.reset();
    // The reader held the last reference; with it gone, so is the descriptor.
    QCOMPARE(descriptorsOn(pty.path()), 1);
    QCOMPARE(kxds_is_open(handle), 0);
    uint32_t error = 0xFFFF;
    QCOMPARE(kxds_open_com(handle, bytes(comRecord(1001)), &error), destroy ? 0 : 1);
    QCOMPARE(error, destroy ? uint32_t(KXDS_ERROR_BAD_HANDLE) : uint32_t(KXDS_ERROR_NONE));
    kxds_destory(handle);
}

void tst_KXDataStreamDriver::handlesStayUsableWhileAnotherThreadEnumerates()
{
    Pty pty;
    QVERIFY(pty.isValid());
    qputenv("KXDS_EXTRA_PORTS", pty.path());
    qputenv("KXDS_EXTRA_USB", pty.path());

    std::atomic<bool> stop{false};
    std::atomic<int> passes{0};
    std::thread enumerator([&] {
        std::vector<uint8_t> usb(16 * KXDS_USB_RECORD_SIZE);
        std::vector<uint8_t> com(256 * KXDS_COM_RECORD_SIZE);
        while (!stop) {
            kxds_enum_usb_device_ex(usb.data(), 16, 14, 14, 14, 0, 0, 14);
            const int n = kxds_enum_serial_ports(com.data(), 256);
            kxds_detect_serial_settings(com.data(), n, 100);
            const uint32_t spare = kxds_create();
            kxds_destory(spare);
            ++passes;
        }
    });
    Handle handle;
    for (int round = 0; round < 30; ++round) {
        uint32_t error = 0xFFFF;
        QCOMPARE(kxds_open_com(handle.id, bytes(comRecord(1001)), &error), 1);
        QCOMPARE(kxds_write(handle.id, bytes("ping"), 4), 1);
        QCOMPARE(pty.receive(4), QByteArray("ping"));
        QVERIFY(pty.send("pong"));
        uint8_t buffer[4];
        QCOMPARE(kxds_read_until(handle.id, buffer, 4, waitLimitMs, 0, "ng", 2, &error), 4u);
        kxds_close(handle.id);
    }
    QTRY_VERIFY_WITH_TIMEOUT(passes > 0, waitLimitMs);
    stop = true;
    enumerator.join();
}

void tst_KXDataStreamDriver::tcpRecordTalksToLoopbackServer()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    Handle handle;
    uint32_t error = 0xFFFF;
    const QByteArray record =
        usbRecord(QStringLiteral("127.0.0.1"), KXDS_USB_TYPE_TCP, server.serverPort());
    QCOMPARE(kxds_open_usb(handle.id, bytes(record), 3, &error), 1);
    QCOMPARE(error, uint32_t(KXDS_ERROR_NONE));
    QVERIFY(server.waitForNewConnection(waitLimitMs));
    QTcpSocket* peer = server.nextPendingConnection();
    QVERIFY(peer);
    QCOMPARE(kxds_is_open(handle.id), 1);

    const QByteArray all = allByteValues();
    QCOMPARE(kxds_write(handle.id, bytes(all), uint32_t(all.size())), 1);
    QByteArray received;
    QTRY_VERIFY_WITH_TIMEOUT((received += peer->readAll()).size() >= all.size(), waitLimitMs);
    QCOMPARE(received, all);

    peer->write("answer\r\nmore");
    QVERIFY(peer->waitForBytesWritten(waitLimitMs));
    uint8_t buffer[64];
    QElapsedTimer timer;
    timer.start();
    const uint32_t count =
        kxds_read_until(handle.id, buffer, sizeof buffer, longReadMs, 0, "\r\n", 2, &error);
    QVERIFY(timer.elapsed() < earlyMs);
    QVERIFY(QByteArray(reinterpret_cast<char*>(buffer), int(count)).startsWith("answer\r\n"));
    QCOMPARE(error, uint32_t(KXDS_ERROR_NONE));
    // The rest, if it came apart, then nothing.
    kxds_clean(handle.id, 0);
    QCOMPARE(kxds_is_open(handle.id), 1);

    peer->disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(kxds_is_open(handle.id), 0, waitLimitMs);
    QCOMPARE(kxds_write(handle.id, bytes(all), 4), 0);
}

void tst_KXDataStreamDriver::tcpPeerCloseEndsReadAndDevice()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    Handle handle;
    const QByteArray record =
        usbRecord(QStringLiteral("127.0.0.1"), KXDS_USB_TYPE_TCP, server.serverPort());
    QCOMPARE(kxds_open_usb(handle.id, bytes(record), 3, nullptr), 1);
    QVERIFY(server.waitForNewConnection(waitLimitMs));
    QTcpSocket* peer = server.nextPendingConnection();
    QVERIFY(peer);

    const uint32_t id = handle.id;
    BackgroundRead read([id](uint8_t* buffer, uint32_t& error) {
        return kxds_read_ex(id, buffer, BackgroundRead::capacity, longReadMs, 0, &error);
    });
    peer->write("last");
    QVERIFY(peer->waitForBytesWritten(waitLimitMs));
    peer->disconnectFromHost();
    QTRY_VERIFY_WITH_TIMEOUT(read.isDone(), waitLimitMs);
    QCOMPARE(read.result(), QByteArray("last"));
    QCOMPARE(read.error(), uint32_t(KXDS_ERROR_IO));
    QVERIFY(read.elapsedMs() < earlyMs);
    QCOMPARE(kxds_is_open(handle.id), 0);
}

void tst_KXDataStreamDriver::tcpWriteToClosedPeerRaisesNoSigpipe()
{
    // With the default action a SIGPIPE would end this process.
    const auto previous = std::signal(SIGPIPE, SIG_DFL);
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    Handle handle;
    const QByteArray record =
        usbRecord(QStringLiteral("127.0.0.1"), KXDS_USB_TYPE_TCP, server.serverPort());
    QCOMPARE(kxds_open_usb(handle.id, bytes(record), 3, nullptr), 1);
    QVERIFY(server.waitForNewConnection(waitLimitMs));
    QTcpSocket* peer = server.nextPendingConnection();
    QVERIFY(peer);
    peer->abort();

    // The first writes may still be taken; once the reset is in, they fail.
    QTRY_COMPARE_WITH_TIMEOUT(kxds_write(handle.id, bytes("ping"), 4), 0, waitLimitMs);
    QCOMPARE(kxds_write(handle.id, bytes("ping"), 4), 0);
    QCOMPARE(kxds_is_open(handle.id), 0);
    std::signal(SIGPIPE, previous);
}

void tst_KXDataStreamDriver::firmwareFunctionsAreUnsupported()
{
    Handle handle;
    uint8_t progress[KXDS_PROGRESS_RECORD_SIZE] = {};
    const char16_t file[] = u"/nonexistent/firmware.bin";
    uint32_t error = 0xFFFF;
    QCOMPARE(kxds_update_firmware_file(handle.id, file, 30, progress, 0, &error), 0);
    QCOMPARE(error, uint32_t(KXDS_ERROR_UNSUPPORTED));
    error = 0xFFFF;
    QCOMPARE(kxds_update_firmware_file_1(handle.id, file, 1, 30, progress, 0, &error), 0);
    QCOMPARE(error, uint32_t(KXDS_ERROR_UNSUPPORTED));
    QCOMPARE(kxds_update_firmware_file(0, nullptr, 30, nullptr, 0, nullptr), 0);
    QCOMPARE(kxds_update_firmware_file_1(0, nullptr, 1, 30, nullptr, 0, nullptr), 0);

    std::vector<uint8_t> info(KXDS_KERNEL_INFO_RECORD_SIZE, 0);
    QCOMPARE(kxds_get_kernel_info(file, info.data(), int(info.size())), 0);
    QCOMPARE(kxds_get_kernel_info(nullptr, nullptr, 0), 0);
}

QTEST_GUILESS_MAIN(tst_KXDataStreamDriver)
#include "tst_KXDataStreamDriver.moc"
