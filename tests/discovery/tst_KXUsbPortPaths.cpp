#include "discovery/KXUsbPortPaths.h"
#include "driver/KXDataStreamDriver.h"
#include "support/KXUmockdevTestbed.h"

#include <QtTest>

#include <sys/file.h>

namespace {

using namespace kxtest;

// A USB tree as the kernel shows it: a scanner on its own CDC-ACM port, a
// USB-serial adapter behind a hub (its own usb_device is the nearest), a
// device with two ACM ports and a gadget tty the driver does not number, two
// on-board UARTs (the first the console), and a UART slot without hardware.
const QByteArray kDevices =
    usbDevice("@") + usbDevice("@/1-2") + usbInterface("@/1-2/1-2:1.0", "cdc_acm") +
    ttyDevice("@/1-2/1-2:1.0/tty/ttyACM0", "166:0") + usbDevice("@/1-3") +
    usbDevice("@/1-3/1-3.1") + usbInterface("@/1-3/1-3.1/1-3.1:1.0", "ftdi_sio") +
    sysDevice("@/1-3/1-3.1/1-3.1:1.0/ttyUSB0", "E: SUBSYSTEM=usb-serial\nE: DRIVER=ftdi_sio") +
    ttyDevice("@/1-3/1-3.1/1-3.1:1.0/ttyUSB0/tty/ttyUSB0", "188:0") + usbDevice("@/1-4") +
    usbInterface("@/1-4/1-4:1.0", "cdc_acm") + ttyDevice("@/1-4/1-4:1.0/tty/ttyACM1", "166:1") +
    usbInterface("@/1-4/1-4:1.2", "cdc_acm") + ttyDevice("@/1-4/1-4:1.2/tty/ttyACM2", "166:2") +
    ttyDevice("@/1-4/1-4:1.4/tty/ttyGS0", "240:0") +
    ttyDevice("/devices/platform/serial8250/tty/ttyS0", "4:64", "\nA: type=4") +
    ttyDevice("/devices/platform/serial8250/tty/ttyS1", "4:65", "\nA: type=4") +
    ttyDevice("/devices/platform/serial8250/tty/ttyS2", "4:66", "\nA: type=0") +
    ttyDevice("/devices/virtual/tty/console", "5:1", "\nA: active=tty0 ttyS0");

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
        QVERIFY(kxtest::setLine(QStringLiteral("/dev/ttyS1"), B9600, true));
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
        const QString sys = QString::fromLatin1("/sys" + kxtest::kUsbBus);
        const QMap<QString, QString> paths = kxUsbPortPaths();
        QCOMPARE(paths.keys(), (QStringList{"101", "201", "202", "203"}));
        QCOMPARE(paths.values(),
                 (QStringList{sys + "/1-3/1-3.1", sys + "/1-2", sys + "/1-4", sys + "/1-4"}));
    }

    // Per port: detection kind, baud rate, data and stop bits, parity.
    void detectsKindAndLine()
    {
        KXDSComRecord records[16] = {};
        const int count = kxds_enum_serial_ports(reinterpret_cast<uint8_t*>(records), 16);
        QCOMPARE(kxds_detect_serial_settings(reinterpret_cast<uint8_t*>(records), count, 100),
                 count);
        QStringList found;
        for (const KXDSComRecord& r : QVector<KXDSComRecord>(records, records + count))
            found << QString::asprintf("%d: %d %u %d %d %d", r.port, r.detectionKind, r.baudRate,
                                       r.dataBits, r.stopBits, r.parity);
        // ttyS2 has no UART and ttyGS0 is no port the driver knows. The
        // console is not used, nor is the CDC-ACM port another user holds;
        // the other on-board UART is as its line was left.
        QCOMPARE(found,
                 (QStringList{"1: 0 0 0 0 0", "2: 0 9600 8 2 0", "101: 8 38400 8 0 0",
                              "201: 1 38400 8 0 0", "202: 1 0 0 0 0", "203: 1 38400 8 0 0"}));
    }
};

QTEST_GUILESS_MAIN(tst_KXUsbPortPaths)
#include "tst_KXUsbPortPaths.moc"
