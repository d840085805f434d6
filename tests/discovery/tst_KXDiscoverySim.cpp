// Discovery end to end: the kit's enumerator against kxsim --udp devices,
// inside the private network namespace of tests/support/kx_netns.sh.

#include "discovery/KXBroadcastDeviceEnum.h"
#include "support/KXPrivateNetwork.h"
#include "tools/KXSimPeers.h"

#include <QProcess>
#include <QtTest>

using kxsimtest::SimClient;
using kxsimtest::SimProcess;

namespace {

constexpr int kWaitMs = 10000;
const QString kHere = QStringLiteral("198.51.100.1");
const QString kMoved = QStringLiteral("198.51.100.7");
// The sample device: the scanner, and the base station that a scanner with
// the same identity sits behind.
const QString kSerial = QStringLiteral("K73A2403180417");
const QString kScannerMac = QStringLiteral("02:4B:58:73:04:17");
const QString kBaseMac = QStringLiteral("02:4B:58:73:00:52");

struct Recorder
{
    explicit Recorder(KXBroadcastDeviceEnum& discovery)
    {
        QObject::connect(
            &discovery, &KXBroadcastDeviceEnum::deviceUpdated,
            [this](const QString& id, const KXDeviceInfoMap& info) { devices.insert(id, info); });
        QObject::connect(&discovery, &KXBroadcastDeviceEnum::deviceOffLine,
                         [this](const QString& id) { offline.append(id); });
        const auto result = [this](const char* kind) {
            return [this, kind](const QString& sn, const QString& mac, int code) {
                results.append(QStringLiteral("%1 %2 %3 %4").arg(kind, sn, mac).arg(code));
            };
        };
        QObject::connect(&discovery, &KXBroadcastDeviceEnum::deviceNetworkChanged,
                         result("network"));
        QObject::connect(&discovery, &KXBroadcastDeviceEnum::deviceAliasChanged, result("alias"));
        QObject::connect(&discovery, &KXBroadcastDeviceEnum::deviceNetworkGroup, result("group"));
    }

    QMap<QString, KXDeviceInfoMap> devices; // latest report of each
    QStringList offline;
    QStringList results;
};

QByteArray scannerFields()
{
    return QStringLiteral("Serial Number=%1;MAC Address=%2;").arg(kSerial, kScannerMac).toUtf8();
}

QByteArray answerPort(bool endWithSemicolon = false)
{
    return "Answer Port=" + QByteArray::number(KXBroadcastDeviceEnum::answerPort()) +
           (endWithSemicolon ? ";" : "");
}

} // namespace

class tst_KXDiscoverySim : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QString why;
        if (!kxInPrivateTestNetwork(&why))
            QSKIP(qPrintable(why));
        const QStringList common{"--udp", "--bind", kHere, "--port", "0", "--log-port", "0"};
        QVERIFY(m_scanner.start(common));
        QVERIFY(m_base.start(common + QStringList{"--base", "--gun"}));
        m_discovery.setTimeSource([this] { return m_now; });
        QVERIFY(m_discovery.startScan(100));
        // Added once the kit has made its sender sockets: one more would
        // carry every command a second time.
        QCOMPARE(QProcess::execute("ip", {"addr", "add", kMoved + "/32", "dev", "lo"}), 0);
    }

    // One scanner and one base station with a scanner behind it.
    void findsEveryDevice()
    {
        QVERIFY(QTest::qWaitFor([this] { return m_seen.devices.size() == 2; }, kWaitMs));
        const KXDeviceInfoMap scanner = m_seen.devices.value(kScannerMac);
        QCOMPARE(scanner.value("Serial Number"), kSerial);
        QCOMPARE(scanner.value("Ip Address"), kHere);
        QCOMPARE(scanner.value("Tcp Port Number"), QString::number(m_scanner.dataPort));
        QCOMPARE(scanner.value("PRNQRY"), scanner.value("Product Code"));
        // The base station is known by its own address, and shows the
        // scanner's identity with the base's network values.
        const KXDeviceInfoMap base = m_seen.devices.value(kBaseMac);
        QCOMPARE(base.value("Serial Number"), kSerial);
        QCOMPARE(base.value("Product Name"), scanner.value("Product Name"));
        QCOMPARE(base.value("Base Product Name"), QStringLiteral("KX-B7300"));
        QCOMPARE(base.value("MAC Address"), kBaseMac);
    }

    // Each command reaches the device it names (the base station, sharing
    // the scanner's serial number, ignores them) and its result comes back.
    void settingsCommandsChangeTheDevice()
    {
        const QByteArray alias = scannerFields() + "P Alias=Dock 7;" + answerPort();
        QVERIFY(m_discovery.sendAlias(alias.constData(), alias.size()));
        const QByteArray group = scannerFields() + "Gr En=1;Gr Id=3;" + answerPort(true);
        QVERIFY(m_discovery.sendNetworkGroup(group.constData(), group.size()));
        const QByteArray network = scannerFields() +
                                   "Device Use DHCP=0;Device IP Address=" + kMoved.toUtf8() +
                                   ";Device SubNetmask=255.255.255.0;Device Gateway Address="
                                   "198.51.100.254;" +
                                   answerPort();
        QVERIFY(m_discovery.sendNetworkSettings(network.constData(), network.size()));
        const QByteArray blink = scannerFields() + "Blink Status=1;" + answerPort();
        QVERIFY(m_discovery.sendBlink(blink.constData(), blink.size()));

        const QString who = kSerial + ' ' + kScannerMac + ' ';
        QVERIFY(QTest::qWaitFor([this] { return m_seen.results.size() >= 3; }, kWaitMs));
        QTest::qWait(200); // nothing more may come
        QCOMPARE(m_seen.results,
                 (QStringList{"alias " + who + '0', "group " + who + '0', "network " + who + '0'}));
        QVERIFY(QTest::qWaitFor(
            [this] {
                return m_scanner.lines.contains("kxsim: blink " + kSerial + ' ' + kScannerMac);
            },
            kWaitMs));

        // The next answers carry the new settings, and the data port has
        // moved to the new address.
        QVERIFY(QTest::qWaitFor(
            [this] { return m_seen.devices.value(kScannerMac).value("Ip Address") == kMoved; },
            kWaitMs));
        const KXDeviceInfoMap scanner = m_seen.devices.value(kScannerMac);
        QCOMPARE(scanner.value("L Alias"), QStringLiteral("Dock 7"));
        QCOMPARE(scanner.value("Gr En"), QStringLiteral("1"));
        SimClient client;
        QVERIFY(client.connectTo(m_scanner.dataPort, QHostAddress(kMoved)));
        QCOMPARE(m_seen.devices.value(kBaseMac).value("Ip Address"), kHere);
    }

    // A device that stops answering goes offline once the clock has moved
    // past the alive time; the one that still answers stays.
    void silencedDeviceGoesOffline()
    {
        SimClient client;
        QVERIFY(client.connectTo(m_base.dataPort, QHostAddress(kHere)));
        QVERIFY(!client.exchange(1, "SIMUSL1").isEmpty());
        m_discovery.setCheckAliveTime(6);
        m_now += 7;
        QVERIFY(QTest::qWaitFor([this] { return !m_seen.offline.isEmpty(); }, kWaitMs));
        QTest::qWait(300); // several echoes: the scanner keeps answering
        QCOMPARE(m_seen.offline, QStringList{kBaseMac});
    }

private:
    SimProcess m_scanner;
    SimProcess m_base;
    int m_now = 12 * 3600;
    KXBroadcastDeviceEnum m_discovery;
    Recorder m_seen{m_discovery};
};

QTEST_MAIN(tst_KXDiscoverySim)
#include "tst_KXDiscoverySim.moc"
