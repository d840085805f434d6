#include "discovery/KXDeviceInfo.h"
#include "discovery/KXSerialPortDeviceEnum.h"
#include "driver/KXDriverTestUtil.h"
#include "support/KXDebugLogging.h"
#include "support/KXUmockdevTestbed.h"
#include "tools/KXSimPeers.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <memory>

using kxsimtest::SimProcess;

namespace {

// A pass over a few pseudo-terminals takes well under a second.
constexpr int kPassLimitMs = 30000;

// One pass; the result, or null when none was emitted. `stopAfterStart`
// calls stopEnum() as soon as the thread runs.
std::unique_ptr<DSEnumDeviceSetting> runPass(KXSerialPortDeviceEnum& enumerator, int* signalCount,
                                             bool stopAfterStart = false)
{
    std::unique_ptr<DSEnumDeviceSetting> result;
    QObject receiver;
    // Queued, as the kit receives it: the result type must be registered.
    QObject::connect(&enumerator, &KXSerialPortDeviceEnum::deviceEnumEnd, &receiver,
                     [&](DSEnumDeviceSetting* pass) {
                         ++*signalCount;
                         result.reset(pass);
                     });
    enumerator.start();
    if (stopAfterStart)
        enumerator.stopEnum();
    if (!enumerator.wait(kPassLimitMs))
        return nullptr;
    QCoreApplication::processEvents();
    return result;
}

// Sets the line of a terminal as a previous user would have left it.
bool setLine(const QString& path, speed_t speed, bool twoStopBits)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios tio{};
    const bool set =
        fd >= 0 && ::tcgetattr(fd, &tio) == 0 && ::cfsetspeed(&tio, speed) == 0 &&
        ((tio.c_cflag = twoStopBits ? (tio.c_cflag | CSTOPB) : (tio.c_cflag & ~CSTOPB)),
         ::tcsetattr(fd, TCSANOW, &tio) == 0);
    if (fd >= 0)
        ::close(fd);
    return set;
}

} // namespace

// Whole passes through our driver library over kxsim's pseudo-terminals. An
// empty umockdev testbed hides the host's own serial ports (probing them
// would write to whatever is attached, such as a serial console), so a pass
// sees exactly the terminals each test adds.
class tst_KXSerialPortDeviceEnum : public QObject
{
    Q_OBJECT

    std::unique_ptr<kxtest::UmockdevTestbed> m_testbed;
    QTemporaryDir m_dir;

    // A kxsim serving a terminal behind a symlink named `name`.
    bool startSim(SimProcess& sim, const QString& name)
    {
        return sim.start({"--port", "0", "--log-port", "0", "--serial-path", m_dir.filePath(name)},
                         true);
    }

private slots:
    void initTestCase()
    {
        m_testbed = std::make_unique<kxtest::UmockdevTestbed>();
        if (!m_testbed->skipReason().isEmpty())
            QSKIP(qPrintable(m_testbed->skipReason()));
        QVERIFY(m_dir.isValid());
    }
    void cleanup()
    {
        qunsetenv("KXDS_EXTRA_PORTS");
        qunsetenv("KXDS_EXTRA_USB");
    }

    // Two serial ports, two USB data pipes and a port whose terminal is
    // gone, enumerated twice: the same serial devices, new USB identifiers.
    void findsEveryDeviceOnItsPort()
    {
        SimProcess sims[4];
        const QString names[4] = {"com1", "com2", "usb1", "usb2"};
        QStringList paths;
        for (int i = 0; i < 4; ++i) {
            QVERIFY2(startSim(sims[i], names[i]), qPrintable(sims[i].errors()));
            paths.append(m_dir.filePath(names[i]));
        }
        QVERIFY(setLine(paths[0], B9600, true));
        QVERIFY(setLine(paths[1], B19200, false));
        const QString gone = m_dir.filePath(QStringLiteral("gone"));
        {
            kxtest::PtyPeer closed;
            QVERIFY(QFile::link(closed.slavePath(), gone));
        }
        qputenv("KXDS_EXTRA_PORTS", QFile::encodeName(paths[0] + ':' + paths[1] + ':' + gone));
        qputenv("KXDS_EXTRA_USB", QFile::encodeName(paths[2] + ':' + paths[3]));

        KXSerialPortDeviceEnum enumerator;
        int signalCount = 0;
        for (int pass = 0; pass < 2; ++pass) {
            const std::unique_ptr<DSEnumDeviceSetting> result = runPass(enumerator, &signalCount);
            QVERIFY(result);
            QCOMPARE(signalCount, pass + 1);
            QCOMPARE(result->devices.size(), 4);
            const QString serial = result->devices.first()->info.value(KXInfoKey::SerialNumber);
            QVERIFY(!serial.isEmpty());
            // The USB counter runs on over passes: 1 and 2, then 3 and 4.
            const QString ids[4] = {serial + ":COM1001", serial + ":COM1002",
                                    serial + ":USB" + QString::number(2 * pass + 1),
                                    serial + ":USB" + QString::number(2 * pass + 2)};
            const QByteArray records[4] = {
                kxtest::comRecord(1001, 9600, 8, 2), kxtest::comRecord(1002, 19200),
                kxtest::usbRecord(paths[2]), kxtest::usbRecord(paths[3])};
            for (int i = 0; i < 4; ++i) {
                const DSDeviceSetting* setting = result->devices.value(ids[i]);
                QVERIFY2(setting, qPrintable(ids[i] + " missing"));
                const bool usb = i >= 2;
                QCOMPARE(setting->info.value(KXInfoKey::SerialNumber), serial);
                QVERIFY(!setting->info.value(KXInfoKey::ProductName).isEmpty());
                QCOMPARE(setting->info.value(KXInfoKey::DeviceType),
                         usb ? KXInfoKey::UsbDevice : KXInfoKey::SerialPortDevice);
                QCOMPARE(setting->info.value(KXInfoKey::Com),
                         usb ? QString() : QString::number(1001 + i));
                // A terminal's framing is unknown to the driver: kind 0.
                QCOMPARE(setting->info.value(KXInfoKey::ComType),
                         usb ? QString() : QStringLiteral("0"));
                QCOMPARE((usb ? setting->driverRecord : setting->serialSettings).toHex(' '),
                         records[i].toHex(' '));
                QCOMPARE((usb ? setting->serialSettings : setting->driverRecord), QByteArray());
                // No USB device is behind a terminal; a USB record names its node.
                QCOMPARE(setting->path, usb ? paths[i] : QString());
            }
        }
    }

    // The delay before a pass: 1 to 19999 ms in steps of 100 ms, which a
    // stop ends without any result.
    void waitsTheStartDelay_data()
    {
        QTest::addColumn<int>("delayMs");
        QTest::addColumn<bool>("stop");
        QTest::addColumn<int>("atLeastMs");
        QTest::addColumn<int>("belowMs");
        QTest::newRow("250: two steps") << 250 << false << 200 << kPassLimitMs;
        QTest::newRow("99: no step") << 99 << false << 0 << 5000;
        QTest::newRow("20000: no wait") << 20000 << false << 0 << 5000;
        QTest::newRow("stopped during 19999") << 19999 << true << 0 << 5000;
    }
    void waitsTheStartDelay()
    {
        QFETCH(int, delayMs);
        QFETCH(bool, stop);
        QFETCH(int, atLeastMs);
        QFETCH(int, belowMs);
        const kxtest::ScopedDebugLogging logging("kx.discovery");
        const QRegularExpression start(QStringLiteral(
            "^KXSerialPortDeviceEnum::run\\(\\)\\.\\.\\.start\\.\\.\\. \\[Thread\\]: \\d+$"));
        const QRegularExpression end(QStringLiteral(
            "^KXSerialPortDeviceEnum::run\\(\\)\\.\\.\\.end\\.\\.\\. \\[Thread\\]: \\d+$"));
        QTest::ignoreMessage(QtDebugMsg, start);
        if (!stop)
            QTest::ignoreMessage(QtDebugMsg, end);

        KXSerialPortDeviceEnum enumerator;
        enumerator.setDelayEnumTime(delayMs);
        QElapsedTimer clock;
        clock.start();
        int signalCount = 0;
        const std::unique_ptr<DSEnumDeviceSetting> result = runPass(enumerator, &signalCount, stop);
        const qint64 took = clock.elapsed();
        QVERIFY(enumerator.isFinished());
        QCOMPARE(signalCount, stop ? 0 : 1);
        if (!stop)
            QVERIFY(result && result->devices.isEmpty());
        QVERIFY2(took >= atLeastMs && took < belowMs, qPrintable(QString::number(took)));
    }

    // kxctl enum runs one pass and prints it; under the same testbed, as
    // the environment passes on.
    void kxctlPrintsThePass()
    {
        SimProcess sim;
        QVERIFY(startSim(sim, QStringLiteral("kxctl")));
        const QString path = m_dir.filePath(QStringLiteral("kxctl"));
        QVERIFY(setLine(path, B57600, false));
        qputenv("KXDS_EXTRA_PORTS", QFile::encodeName(path));
        qputenv("KXDS_EXTRA_USB", QFile::encodeName(path + ".missing"));
        QProcess kxctl;
        kxctl.start(QStringLiteral(KXCTL_PATH), {"enum", "--json"});
        QVERIFY(kxctl.waitForFinished(kPassLimitMs));
        QCOMPARE(kxctl.exitCode(), 0);
        const QJsonObject object = QJsonDocument::fromJson(kxctl.readAllStandardOutput()).object();
        QCOMPARE(object.value("error").toInt(-99), 0);
        const QJsonArray devices = object.value("devices").toArray();
        QCOMPARE(devices.size(), 1);
        const QJsonObject device = devices.first().toObject();
        const QString serial = device.value("serial").toString();
        QVERIFY(!serial.isEmpty());
        QCOMPARE(device.value("id").toString(), serial + ":COM1001");
        QCOMPARE(device.value("kind").toString(), KXInfoKey::SerialPortDevice);
        QCOMPARE(device.value("port").toInt(), 1001);
        QCOMPARE(device.value("comType").toString(), QStringLiteral("0"));
        QCOMPARE(device.value("framing").toString(), QStringLiteral("57600 8N1"));
        QCOMPARE(device.value("info").toObject().value(KXInfoKey::Com).toString(),
                 QStringLiteral("1001"));
        QVERIFY(!device.value("product").toString().isEmpty());
        QVERIFY(!device.value("firmware").toString().isEmpty());
    }
};

QTEST_GUILESS_MAIN(tst_KXSerialPortDeviceEnum)
#include "tst_KXSerialPortDeviceEnum.moc"
