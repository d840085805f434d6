// Broadcast scans and network settings through the kit's facade, against
// kxsim --udp devices inside the private network namespace of
// tests/support/kx_netns.sh. One kit per process: the test functions run in
// order on the same discovery.

#include "discovery/KXBroadcastDeviceEnum.h"
#include "kit/KXDeviceKitPrivate.h"
#include "kit/KXKitScanRecorder.h"
#include "support/KXDebugLogging.h"
#include "support/KXPrivateNetwork.h"
#include "tools/KXSimPeers.h"
#include "transport/KXDriverLibrary.h"

#include <QProcess>
#include <QtTest>

using kxsimtest::SimClient;
using kxsimtest::SimProcess;

namespace {

constexpr int kWaitMs = 10000;
const QString kHere = QStringLiteral("198.51.100.1");
const QString kMoved = QStringLiteral("198.51.100.7");
// The sample device: the scanner, and the base station with a scanner behind
// it, which reports itself and the scanner (under kHandheld).
const QString kSerial = QStringLiteral("K73A2403180417");
const QString kScannerMac = QStringLiteral("02:4B:58:73:04:17");
const QString kBaseMac = QStringLiteral("02:4B:58:73:00:52");
const QString kHandheld = kBaseMac + '_' + kSerial;

QString nameOf(const KXDeviceInfoMap& info)
{
    return info.value("Ip Address") + '_' + info.value("Product Name") + '(' +
           info.value("Serial Number") + ')';
}

int discoveries()
{
    return KXDeviceKit::Instance()->findChildren<KXBroadcastDeviceEnum*>().size();
}

} // namespace

class tst_kitScan : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QString why;
        if (!kxInPrivateTestNetwork(&why))
            QSKIP(qPrintable(why));
        QVERIFY2(!QLibrary(KXDriver::libraryName()).load(),
                 "a driver is reachable: the scans would probe this machine's ports");
        const QStringList common{"--udp", "--bind", kHere, "--port", "0", "--log-port", "0"};
        QVERIFY(m_scanner.start(common));
        QVERIFY(m_base.start(common + QStringList{"--base", "--gun", "--base-som"}));
    }

    // A scanner, and a base station with a scanner behind it. The alive time
    // set before the first scan is kept for its discovery
    // (silencedDeviceGoesOffline).
    void broadcastScanFindsDevices()
    {
        m_kit->setCheckDeviceAliveTime(6);
        QVERIFY(m_kit->startDeviceScan(ScanBroadcast, 200));
        QCOMPARE(discoveries(), 1);
        QVERIFY(QTest::qWaitFor([this] { return m_seen.devices.size() >= 2; }, kWaitMs));
        QTest::qWait(300); // several echoes
        QCOMPARE(m_seen.devices.keys(), (QStringList{kBaseMac, kScannerMac}));
        QCOMPARE(m_seen.devices.value(kScannerMac).value("Ip Address"), kHere);
        // The scanner behind the base gets no signal of its own but is
        // reachable through the base's address.
        QVERIFY(m_kit->connectToDevice(kHandheld, ConnectNetwork, false, DevicePortData));
        QVERIFY(m_kit->isConnected(kHandheld));
        QVERIFY(m_kit->disconnectFromDeviceEx(kHandheld, DevicePortData));
        // Added once the discovery has its sender sockets: one more would
        // carry every command a second time.
        QCOMPARE(QProcess::execute("ip", {"addr", "add", kMoved + "/32", "dev", "lo"}), 0);
    }

    // Each command reaches the scanner and its result comes back; the alias
    // arrives whole, non-ASCII characters included.
    void settingsCommandsReachTheDevice()
    {
        const KXDeviceInfoMap scanner{{"Serial Number", kSerial}, {"MAC Address", kScannerMac}};
        const QString alias = QString::fromUtf8("Kasse S\u00fcd \u00bd");
        KXDeviceInfoMap info = scanner;
        info.insert("L Alias", alias);
        QCOMPARE(m_kit->changeDeviceAlias(info), 0);
        const QString fields = "Serial Number=" + kSerial + ";MAC Address=" + kScannerMac + ';';
        QCOMPARE(m_kit->setDeviceNetworkGroup(fields + "Gr En=1;Gr Id=3;"), 0);
        info = scanner;
        info.insert({{"Use DHCP", "0"},
                     {"Ip Address", kMoved},
                     {"SubNetmask", "255.255.255.0"},
                     {"Gateway Address", "198.51.100.254"}});
        QCOMPARE(m_kit->changeDeviceNetwork(info), 0);
        {
            const kxtest::ScopedDebugLogging logging("kx.kit");
            QTest::ignoreMessage(QtDebugMsg, "KXDeviceKitPrivate::blinkNotify... QMap((\"MAC "
                                             "Address\", \"02:4B:58:73:04:17\")(\"Serial "
                                             "Number\", \"K73A2403180417\")) true");
            QCOMPARE(m_kit->blinkNotify(scanner), 0);
        }

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
        QVERIFY(QTest::qWaitFor(
            [this] { return m_seen.devices.value(kScannerMac).value("Ip Address") == kMoved; },
            kWaitMs));
        QCOMPARE(m_seen.devices.value(kScannerMac).value("L Alias"), alias);
        QCOMPARE(m_seen.devices.value(kScannerMac).value("Gr Id"), QStringLiteral("3"));
        QCOMPARE(m_seen.devices.value(kScannerMac).value("Gr En"), QStringLiteral("1"));
    }

    // A text fills at most one datagram's payload; a longer one is refused
    // before anything is sent.
    void settingsTextsFitOneDatagram_data()
    {
        QTest::addColumn<int>("over");
        QTest::newRow("at the limit") << 0;
        QTest::newRow("one byte over") << 1;
    }
    void settingsTextsFitOneDatagram()
    {
        QFETCH(int, over);
        const int portField = QByteArray("Answer Port=;").size() +
                              QByteArray::number(KXBroadcastDeviceEnum::answerPort()).size();
        const QString group = "Gr Id=" + QString(2036 - 7 - portField + over, 'x') + ';';
        if (over)
            QTest::ignoreMessage(QtWarningMsg,
                                 "KXDeviceKitPrivate::setDeviceNetworkGroup... text of 2037 bytes "
                                 "exceeds the 2036-byte limit");
        QCOMPARE(m_kit->setDeviceNetworkGroup(group), over ? -1 : 0);
        KXDeviceInfoMap info{{"L Alias", QString(2036, 'x')}};
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("changeDeviceAlias\\.\\.\\. text of "
                                                              "\\d+ bytes exceeds"));
        QCOMPARE(m_kit->changeDeviceAlias(info), -1);
    }

    // IPv4 devices by address, and among those sharing one the later id
    // first; devices without an IPv4 address are not listed. Devices sharing
    // the kxsim address and those without an IPv4 address are entered here as
    // discovery would.
    void listsNetworkDevicesByAddress()
    {
        const auto enter = [this](const QString& id, const QString& ip) {
            const KXDeviceInfoMap info{{"Ip Address", ip}, {"Product Name", id}};
            return QMetaObject::invokeMethod(m_kit->findChild<KXDeviceKitPrivate*>(),
                                             "OnBroadcastDeviceUpdated", Q_ARG(QString, id),
                                             Q_ARG(KXDeviceInfoMap, info));
        };
        for (const QString& id : QStringList{"00-before", "zz-after"})
            QVERIFY(enter(id, kHere));
        QVERIFY(enter("v6", "fe80::1"));
        QVERIFY(enter("no-address", ""));
        QStringList names{"left from before"};
        QCOMPARE(m_kit->enumDevicesUsbAndNet(names), 5);
        const QString scannerName = nameOf(m_seen.devices.value(kScannerMac));
        const QString handheldName = kHere + "_KX-7300(" + kSerial + ')';
        // The scanner has moved to kMoved (settingsCommandsReachTheDevice).
        QCOMPARE(names, (QStringList{kHere + "_zz-after()", handheldName,
                                     nameOf(m_seen.devices.value(kBaseMac)), kHere + "_00-before()",
                                     scannerName}));

        QVERIFY(m_kit->connectToDevice_Cmd("kitscan-by-name", scannerName));
        QVERIFY(m_kit->isConnected("kitscan-by-name"));
        QVERIFY(m_kit->disconnectFromDeviceEx("kitscan-by-name", DevicePortData));
    }

    // A scan without the broadcast bit forgets every network device, a
    // connected one too; a broadcast scan keeps (and reports at once) those
    // connected over TCP, on the one discovery.
    void rescanKeepsConnectedDevices()
    {
        QVERIFY(m_kit->connectToDevice(kScannerMac, ConnectNetwork, false, DevicePortData));
        QStringList names;
        QVERIFY(m_kit->startDeviceScan(EScanType(1), 200));
        QCOMPARE(m_kit->enumDevicesUsbAndNet(names), 0);
        // The discovery runs on and reports them again.
        m_seen.clear();
        QVERIFY(QTest::qWaitFor([this] { return m_seen.devices.contains(kScannerMac); }, kWaitMs));
        m_seen.clear();
        QVERIFY(m_kit->startDeviceScan(ScanBroadcast, 200));
        QCOMPARE(m_seen.updated, QStringList{kScannerMac});
        QCOMPARE(m_kit->enumDevicesUsbAndNet(names), 1);
        QCOMPARE(discoveries(), 1);
        QVERIFY(QTest::qWaitFor([this] { return m_seen.devices.contains(kBaseMac); }, kWaitMs));
        QVERIFY(m_kit->disconnectFromDeviceEx(kScannerMac, DevicePortData));
    }

    // A device that stops answering goes offline after the alive time given
    // before the first scan (6 s, not the default 120 s); the other stays.
    void silencedDeviceGoesOffline()
    {
        SimClient client;
        QVERIFY(client.connectTo(m_base.dataPort, QHostAddress(kHere)));
        QVERIFY(!client.exchange(1, "SIMUSL1").isEmpty());
        QVERIFY(QTest::qWaitFor([this] { return !m_seen.offline.isEmpty(); }, 3 * kWaitMs));
        QTest::qWait(300); // several echoes: the scanner keeps answering
        QCOMPARE(m_seen.offline, QStringList{kBaseMac});
    }

private:
    KXDeviceKit* m_kit = KXDeviceKit::Instance();
    kxtest::KitScanRecorder m_seen{m_kit};
    SimProcess m_scanner;
    SimProcess m_base;
};

QTEST_MAIN(tst_kitScan)
#include "tst_kitScan.moc"
