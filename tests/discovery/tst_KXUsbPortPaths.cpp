#include "discovery/KXUsbPortPaths.h"
#include "driver/KXDataStreamDriver.h"
#include "support/KXUmockdevTestbed.h"

#include <QtTest>

#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

namespace {

const QByteArray kUsb = "/devices/pci0000:00/0000:00:14.0/usb1";

// A USB tree as the kernel shows it: a scanner on its own CDC-ACM port, a
// USB-serial adapter behind a hub, a device with two ACM ports and a gadget
// tty, two on-board UARTs (the first the console), and a UART slot without
// hardware.
const QByteArray kDevices =
    "P: " + kUsb +
    "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n\n"
    // The scanner.
    "P: " +
    kUsb +
    "/1-2\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n\n"
    "P: " +
    kUsb +
    "/1-2/1-2:1.0\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n"
    "E: DRIVER=cdc_acm\nL: driver=../../../../../../bus/usb/drivers/cdc_acm\n\n"
    "P: " +
    kUsb +
    "/1-2/1-2:1.0/tty/ttyACM0\nN: ttyACM0\nE: SUBSYSTEM=tty\nA: dev=166:0\n\n"
    // The adapter behind a hub: its own usb_device is the nearest.
    "P: " +
    kUsb +
    "/1-3\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n\n"
    "P: " +
    kUsb +
    "/1-3/1-3.1\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n\n"
    "P: " +
    kUsb +
    "/1-3/1-3.1/1-3.1:1.0\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n"
    "E: DRIVER=ftdi_sio\nL: driver=../../../../../../../bus/usb/drivers/ftdi_sio\n\n"
    "P: " +
    kUsb +
    "/1-3/1-3.1/1-3.1:1.0/ttyUSB0\nE: SUBSYSTEM=usb-serial\nE: DRIVER=ftdi_sio\n\n"
    "P: " +
    kUsb +
    "/1-3/1-3.1/1-3.1:1.0/ttyUSB0/tty/ttyUSB0\nN: ttyUSB0\nE: SUBSYSTEM=tty\n"
    "A: dev=188:0\n\n"
    // Two ACM ports and a gadget tty, which the driver does not number.
    "P: " +
    kUsb +
    "/1-4\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n\n"
    "P: " +
    kUsb +
    "/1-4/1-4:1.0\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n"
    "E: DRIVER=cdc_acm\nL: driver=../../../../../../bus/usb/drivers/cdc_acm\n\n"
    "P: " +
    kUsb +
    "/1-4/1-4:1.0/tty/ttyACM1\nN: ttyACM1\nE: SUBSYSTEM=tty\nA: dev=166:1\n\n"
    "P: " +
    kUsb +
    "/1-4/1-4:1.2\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n"
    "E: DRIVER=cdc_acm\nL: driver=../../../../../../bus/usb/drivers/cdc_acm\n\n"
    "P: " +
    kUsb +
    "/1-4/1-4:1.2/tty/ttyACM2\nN: ttyACM2\nE: SUBSYSTEM=tty\nA: dev=166:2\n\n"
    "P: " +
    kUsb +
    "/1-4/1-4:1.4/tty/ttyGS0\nN: ttyGS0\nE: SUBSYSTEM=tty\nA: dev=240:0\n\n"
    // On-board UARTs.
    "P: /devices/platform/serial8250/tty/ttyS0\nN: ttyS0\nE: SUBSYSTEM=tty\nA: dev=4:64\n"
    "A: type=4\n\n"
    "P: /devices/platform/serial8250/tty/ttyS1\nN: ttyS1\nE: SUBSYSTEM=tty\nA: dev=4:65\n"
    "A: type=4\n\n"
    "P: /devices/platform/serial8250/tty/ttyS2\nN: ttyS2\nE: SUBSYSTEM=tty\nA: dev=4:66\n"
    "A: type=0\n\n"
    "P: /devices/virtual/tty/console\nN: console\nE: SUBSYSTEM=tty\nA: dev=5:1\n"
    "A: active=tty0 ttyS0\n\n";

QString sysPath(const char* below)
{
    return QString::fromLatin1("/sys" + kUsb + below);
}

} // namespace

// The udev side of USB serial ports, against a umockdev testbed: the kit's
// map from port to USB device path, and the driver's detection kinds.
class tst_KXUsbPortPaths : public QObject
{
    Q_OBJECT

    std::unique_ptr<kxtest::UmockdevTestbed> m_testbed;
    int m_holder = -1; // keeps ttyACM1 locked, as another user would

private slots:
    void initTestCase()
    {
        m_testbed = std::make_unique<kxtest::UmockdevTestbed>();
        if (!m_testbed->skipReason().isEmpty())
            QSKIP(qPrintable(m_testbed->skipReason()));
        QVERIFY(m_testbed->add(kDevices));
        // The testbed's ttys are pseudo-terminals: a line setting sticks.
        const int uart = ::open("/dev/ttyS1", O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(uart >= 0);
        termios tio{};
        QCOMPARE(::tcgetattr(uart, &tio), 0);
        ::cfsetspeed(&tio, B9600);
        tio.c_cflag |= CSTOPB;
        QCOMPARE(::tcsetattr(uart, TCSANOW, &tio), 0);
        ::close(uart);
        m_holder = ::open("/dev/ttyACM1", O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(m_holder >= 0 && ::flock(m_holder, LOCK_EX | LOCK_NB) == 0);
    }
    void cleanupTestCase()
    {
        if (m_holder >= 0)
            ::close(m_holder);
    }

    // Each numbered tty to the nearest USB device above it; the rest left out.
    void mapsPortsToTheirUsbDevice()
    {
        const QMap<QString, QString> expected{
            {"101", sysPath("/1-3/1-3.1")},
            {"201", sysPath("/1-2")},
            {"202", sysPath("/1-4")},
            {"203", sysPath("/1-4")},
        };
        QCOMPARE(kxUsbPortPaths(), expected);
    }

    void detectsKindAndLine_data()
    {
        QTest::addColumn<int>("port");
        QTest::addColumn<QByteArray>("expected"); // kind, baud rate, data and stop bits, parity
        QTest::newRow("on-board UART: as its line is set") << 2 << QByteArray("0 9600 8 2 0");
        QTest::newRow("the kernel console: not used") << 1 << QByteArray("0 0 0 0 0");
        QTest::newRow("USB-serial adapter") << 101 << QByteArray("8 38400 8 0 0");
        QTest::newRow("CDC-ACM") << 201 << QByteArray("1 38400 8 0 0");
        QTest::newRow("CDC-ACM, held by another user") << 202 << QByteArray("1 0 0 0 0");
        QTest::newRow("CDC-ACM, second interface") << 203 << QByteArray("1 38400 8 0 0");
    }
    void detectsKindAndLine()
    {
        QFETCH(int, port);
        QFETCH(QByteArray, expected);
        KXDSComRecord records[16] = {};
        const int count = kxds_enum_serial_ports(reinterpret_cast<uint8_t*>(records), 16);
        QVector<int> ports;
        for (int i = 0; i < count; ++i)
            ports.append(records[i].port);
        // ttyS2 has no UART; ttyGS0 is no port the driver knows.
        QCOMPARE(ports, QVector<int>({1, 2, 101, 201, 202, 203}));
        QCOMPARE(kxds_detect_serial_settings(reinterpret_cast<uint8_t*>(records), count, 100),
                 count);
        const KXDSComRecord& record = records[ports.indexOf(port)];
        QCOMPARE(QByteArray::number(record.detectionKind) + ' ' +
                     QByteArray::number(record.baudRate) + ' ' +
                     QByteArray::number(record.dataBits) + ' ' +
                     QByteArray::number(record.stopBits) + ' ' + QByteArray::number(record.parity),
                 expected);
    }
};

QTEST_GUILESS_MAIN(tst_KXUsbPortPaths)
#include "tst_KXUsbPortPaths.moc"
