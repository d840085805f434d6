#include "support/KXUmockdevTestbed.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QtTest>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

constexpr int kWaitMs = 10000;

using namespace kxtest;

// The scanner's port; its node has a serial port's device number: umockdev
// backs only those with a terminal that takes line settings.
const QByteArray kAcm = ttyDevice("@/1-2/1-2:1.0/tty/ttyACM0", "4:70");

// A scanner's CDC-ACM port (the monitored device, which the driver lists by
// itself), a USB-serial adapter behind a hub, an on-board UART, and a device
// whose uevents mark the end of each row.
const QByteArray kDevices = usbDevice("@") + usbDevice("@/1-2") +
                            usbInterface("@/1-2/1-2:1.0", "cdc_acm") + kAcm + usbDevice("@/1-3") +
                            usbDevice("@/1-3/1-3.1") +
                            ttyDevice("@/1-3/1-3.1/1-3.1:1.0/ttyUSB0/tty/ttyUSB0", "188:0") +
                            ttyDevice("/devices/platform/serial8250/tty/ttyS0", "4:64") +
                            usbDevice("@/1-8") + usbDevice("@/1-9");

QString sys(const char* path)
{
    return QString::fromLatin1("/sys" + QByteArray(path).replace('@', kUsbBus));
}

} // namespace

// kxctl monitor on the CDC-ACM port of a umockdev testbed, told of devices
// coming and going by simulated uevents.
class tst_kxctlUdev : public QObject
{
    Q_OBJECT

    std::unique_ptr<kxtest::UmockdevTestbed> m_testbed;
    QProcess m_kxctl;
    QByteArray m_out;

    // The lines printed up to the end marker's, which is left out.
    QStringList linesUntilMarker()
    {
        const QByteArray marker = ("device arrived: " + sys("@/1-9") + '\n').toUtf8();
        m_testbed->uevent(sys("@/1-9").toLatin1(), "add");
        (void)QTest::qWaitFor([&] { return m_out.contains(marker); }, kWaitMs);
        const int end = m_out.indexOf(marker);
        const QStringList lines = QString::fromUtf8(m_out.left(qMax(end, 0)))
                                      .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        m_out.remove(0, end < 0 ? m_out.size() : end + marker.size());
        return end < 0 ? QStringList{"(no end marker)"} + lines : lines;
    }

private slots:
    void initTestCase()
    {
        m_testbed = std::make_unique<kxtest::UmockdevTestbed>();
        if (!m_testbed->skipReason().isEmpty())
            QSKIP(qPrintable(m_testbed->skipReason()));
        QVERIFY(m_testbed->add(kDevices));
        connect(&m_kxctl, &QProcess::readyReadStandardOutput,
                [this] { m_out += m_kxctl.readAllStandardOutput(); });
        // The testbed's end of the scanner's terminal stays here: kxctl must
        // not hold it too, or closing it here would not hang up.
        QVERIFY(::fcntl(m_testbed->terminal("/dev/ttyACM0"), F_SETFD, FD_CLOEXEC) == 0);
        m_kxctl.start(QStringLiteral(KXCTL_PATH), {"monitor", "usb:/dev/ttyACM0"});
        // Repeated until kxctl watches: the uevents before that reach no
        // one. The end marker's then comes after all of them.
        QVERIFY(QTest::qWaitFor(
            [&] {
                m_testbed->uevent(sys("@/1-8").toLatin1(), "add");
                return m_out.contains("device arrived") || m_kxctl.state() == QProcess::NotRunning;
            },
            kWaitMs));
        QVERIFY2(m_kxctl.state() == QProcess::Running, m_kxctl.readAllStandardError());
        QVERIFY(!linesUntilMarker().contains("(no end marker)"));
    }

    void cleanupTestCase()
    {
        if (m_kxctl.state() == QProcess::NotRunning)
            return;
        m_kxctl.terminate();
        QVERIFY(m_kxctl.waitForFinished(kWaitMs));
        QCOMPARE(m_kxctl.exitCode(), 0);
        QCOMPARE(m_kxctl.readAllStandardError(), QByteArray());
    }

    // A uevent for `path`; every line kxctl printed for it.
    void printsDevicesAsTheEnumerationNamesThem_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("action");
        QTest::addColumn<QStringList>("lines");

        const QString hub = sys("@/1-3/1-3.1");
        const QString acm = sys("@/1-2");
        QTest::newRow("a USB device arrives")
            << sys("@/1-3") << QByteArray("add") << QStringList{"device arrived: " + sys("@/1-3")};
        QTest::newRow("a USB device goes")
            << sys("@/1-3/1-3.1") << QByteArray("remove") << QStringList{"device removed: " + hub};
        QTest::newRow("a tty: its node and the USB device above it")
            << sys("@/1-3/1-3.1/1-3.1:1.0/ttyUSB0/tty/ttyUSB0") << QByteArray("add")
            << QStringList{"device arrived: " + hub, "device arrived: /dev/ttyUSB0"};
        QTest::newRow("the monitored device goes")
            << sys("@/1-2/1-2:1.0/tty/ttyACM0") << QByteArray("remove")
            << QStringList{"device removed: " + acm,
                           "device removed: /dev/ttyACM0 (the monitored device)"};
        QTest::newRow("the monitored device comes back")
            << sys("@/1-2/1-2:1.0/tty/ttyACM0") << QByteArray("add")
            << QStringList{"device arrived: " + acm,
                           "device arrived: /dev/ttyACM0 (the monitored device: reopening)"};
        QTest::newRow("a USB interface is no device")
            << sys("@/1-2/1-2:1.0") << QByteArray("add") << QStringList();
        QTest::newRow("a tty without USB has no path")
            << sys("/devices/platform/serial8250/tty/ttyS0") << QByteArray("remove")
            << QStringList();
        QTest::newRow("other actions are no arrival")
            << sys("@/1-3") << QByteArray("change") << QStringList();
    }

    void printsDevicesAsTheEnumerationNamesThem()
    {
        QFETCH(QString, path);
        QFETCH(QByteArray, action);
        QFETCH(QStringList, lines);

        m_testbed->uevent(path.toLatin1(), action.constData());
        QCOMPARE(linesUntilMarker(), lines);
    }

    // Unplugged and plugged back in: the monitor opens the new terminal
    // (the connection retries every 2 s) and reads from it again. umockdev
    // cannot make a node again under the same name, so the new device is a
    // terminal of the test's own behind the same node.
    void reopensTheMonitoredDeviceThatComesBack()
    {
        const QByteArray acm = sys("@/1-2/1-2:1.0/tty/ttyACM0").toLatin1();
        // Written again and again: the opening drops what came before it.
        const auto scan = [&](int terminal, const QByteArray& code) {
            QElapsedTimer since;
            return QTest::qWaitFor(
                [&] {
                    if (!since.isValid() || since.elapsed() > 200) {
                        since.start();
                        (void)::write(terminal, code.constData(), size_t(code.size()));
                    }
                    return m_out.contains("barcode: " + code);
                },
                kWaitMs);
        };
        const int old = m_testbed->terminal("/dev/ttyACM0");
        QVERIFY(old >= 0);
        QVERIFY2(scan(old, "BEFORE"), m_out.constData());

        // The old terminal hangs up; its descriptor stays umockdev's.
        const int nothing = ::open("/dev/null", O_RDWR);
        QVERIFY(::dup2(nothing, old) == old);
        ::close(nothing);
        m_testbed->uevent(acm, "remove");
        const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
        QVERIFY(terminal >= 0 && ::grantpt(terminal) == 0 && ::unlockpt(terminal) == 0);
        const QString node = qEnvironmentVariable("UMOCKDEV_DIR") + "/dev/ttyACM0";
        QVERIFY(QFile::remove(node) &&
                QFile::link(QString::fromLocal8Bit(::ptsname(terminal)), node));
        m_testbed->uevent(acm, "add");
        QVERIFY2(scan(terminal, "AFTER"), m_out.constData());
        ::close(terminal);
    }
};

QTEST_GUILESS_MAIN(tst_kxctlUdev)
#include "tst_kxctlUdev.moc"
