#include "datastream/KXCodecTestUtil.h"
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

#include <memory>

using kxsimtest::SimProcess;
using kxtest::comRecord;
using kxtest::usbRecord;

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

    // Two serial ports, two USB data pipes and a terminal that is gone (as
    // a port and as a data pipe), enumerated twice: the same serial devices,
    // new USB identifiers. Then kxctl scan runs one pass of its own and
    // prints it, under the same testbed as the environment passes on.
    void findsEveryDeviceOnItsPort()
    {
        SimProcess sims[4];
        QStringList paths;
        // Each kxsim serves a terminal behind a symlink of that name.
        for (const char* name : {"com1", "com2", "usb1", "usb2"}) {
            SimProcess& sim = sims[paths.size()];
            paths.append(m_dir.filePath(name));
            QVERIFY2(
                sim.start({"--port", "0", "--log-port", "0", "--serial-path", paths.last()}, true),
                qPrintable(sim.errors()));
        }
        QVERIFY(kxtest::setLine(paths[0], B9600, true));
        QVERIFY(kxtest::setLine(paths[1], B19200, false));
        const QString gone = m_dir.filePath(QStringLiteral("gone"));
        QVERIFY(QFile::link(kxtest::PtyPeer().slavePath(), gone));
        qputenv("KXDS_EXTRA_PORTS", QFile::encodeName(paths[0] + ':' + paths[1] + ':' + gone));
        qputenv("KXDS_EXTRA_USB", QFile::encodeName(gone + ':' + paths[2] + ':' + paths[3]));

        KXSerialPortDeviceEnum enumerator;
        int signalCount = 0;
        KXDeviceInfoMap info; // of the first device, on COM1001
        for (int pass = 0; pass < 2; ++pass) {
            const std::unique_ptr<DSEnumDeviceSetting> result = runPass(enumerator, &signalCount);
            QVERIFY(result && !result->devices.isEmpty());
            QCOMPARE(signalCount, pass + 1);
            // Per device: identifier, COM, COM Type, path, COM and USB records.
            QStringList found;
            for (auto it = result->devices.cbegin(); it != result->devices.cend(); ++it) {
                const DSDeviceSetting* s = it.value();
                QVERIFY(!s->info.value(KXInfoKey::ProductName).isEmpty());
                found << it.key() + '|' + s->info.value(KXInfoKey::Com) + '|' +
                             s->info.value(KXInfoKey::ComType) + '|' + s->path + '|' +
                             s->serialSettings.toHex() + '|' + s->driverRecord.toHex();
            }
            info = result->devices.first()->info;
            const QString serial = info.value(KXInfoKey::SerialNumber);
            // A terminal's framing is unknown to the driver (COM Type 0) and
            // no USB device is behind it; a USB record names its node. The
            // USB counter runs on over passes: 1 and 2, then 3 and 4.
            const QString usb = serial + ":USB%1|||%2||";
            QCOMPARE(found,
                     (QStringList{
                         serial + ":COM1001|1001|0||" + comRecord(1001, 9600, 8, 2).toHex() + '|',
                         serial + ":COM1002|1002|0||" + comRecord(1002, 19200).toHex() + '|',
                         usb.arg(2 * pass + 1).arg(paths[2]) + usbRecord(paths[2]).toHex(),
                         usb.arg(2 * pass + 2).arg(paths[3]) + usbRecord(paths[3]).toHex()}));
        }

        kxsimtest::Kxctl kxctl({"scan", "--json"});
        QCOMPARE(kxctl.finished(), 0);
        QList<QByteArray> lines = kxctl.out.toUtf8().split('\n');
        QCOMPARE(lines.size(), 6); // four devices, the end and the final line end
        const QString serial = info.value(KXInfoKey::SerialNumber);
        QCOMPARE(QJsonDocument::fromJson(lines.at(3)).object().value("id").toString(),
                 serial + ":USB2");
        QCOMPARE(lines.at(4), QByteArray(R"({"devices":4,"error":0,"event":"end","message":""})"));
        QJsonObject device = QJsonDocument::fromJson(lines.first()).object();
        QCOMPARE(device.take("info").toObject().value(KXInfoKey::Com).toString(),
                 QStringLiteral("1001"));
        QCOMPARE(QString::fromUtf8(QJsonDocument(device).toJson(QJsonDocument::Compact)),
                 QStringLiteral(
                     R"({"address":"","error":0,"event":"new","firmware":"%1","id":"%2:COM1001",)"
                     R"("kind":"SerialPort Device","port":"COM1001","product":"%3","serial":"%2"})")
                     .arg(info.value(KXInfoKey::FirmwareVersion), serial,
                          info.value(KXInfoKey::ProductName)));
    }

    // The delay before a pass: 1 to 19999 ms in steps of 100 ms, which a
    // stop ends without any result.
    void waitsTheStartDelay_data()
    {
        const auto row =
            kxtest::table<int, bool, int, int>({"delayMs", "stop", "atLeastMs", "belowMs"});
        row("250: two steps", 250, false, 200, kPassLimitMs);
        row("99: no step", 99, false, 0, 5000);
        row("20000: no wait", 20000, false, 0, 5000);
        row("stopped during 19999", 19999, true, 0, 5000);
    }
    void waitsTheStartDelay()
    {
        QFETCH(int, delayMs);
        QFETCH(bool, stop);
        QFETCH(int, atLeastMs);
        QFETCH(int, belowMs);
        const kxtest::ScopedDebugLogging logging("kx.discovery");
        const QString line = QStringLiteral(
            "^KXSerialPortDeviceEnum::run\\(\\)\\.\\.\\.%1\\.\\.\\. \\[Thread\\]: \\d+$");
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(line.arg("start")));
        if (!stop)
            QTest::ignoreMessage(QtDebugMsg, QRegularExpression(line.arg("end")));
        KXSerialPortDeviceEnum enumerator;
        enumerator.setDelayEnumTime(delayMs);
        QElapsedTimer clock;
        clock.start();
        int signalCount = 0;
        const std::unique_ptr<DSEnumDeviceSetting> result = runPass(enumerator, &signalCount, stop);
        const qint64 took = clock.elapsed();
        QVERIFY(enumerator.isFinished());
        QCOMPARE(signalCount, stop ? 0 : 1);
        QVERIFY(stop || (result && result->devices.isEmpty()));
        QVERIFY2(took >= atLeastMs && took < belowMs, qPrintable(QString::number(took)));
    }
};

QTEST_GUILESS_MAIN(tst_KXSerialPortDeviceEnum)
#include "tst_KXSerialPortDeviceEnum.moc"
