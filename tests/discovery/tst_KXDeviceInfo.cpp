// The device information query against devices scripted by the test, and
// the identifier rule.

#include "connector/KXConnectorPeers.h"
#include "discovery/KXDeviceInfo.h"

#include <QtTest>

using namespace kxconntest;

namespace {

typedef QMap<QByteArray, QByteArray> Script; // request name -> reply text

const QByteArray kScanner = "QRYSYS"
                            "Product Name: KX-1\r\nSerial Number: S1\x06"
                            ",PDN"
                            "Product Name:  KX-1 \r\n\r\nno colon here\x06"
                            ",PSN"
                            "Serial Number :S1\r\nSerial Number: S1\x06"
                            ",FWV"
                            "Firmware Version: 1.0\x06"
                            ";PRNQRY"
                            "KX1\r\n-A\x06";
const QByteArray kScannerRefused = "QRYSYS\x15,PDN\x15,PSN\x15,FWV\x15;PRNQRY\x15";
const QByteArray kBase = "BASQSY"
                         "Base system\x06"
                         ",QSN"
                         "Product Name: BS-9\r\nSerial Number: B9\x06"
                         ",QHN"
                         "Hardware Version: H2\x06"
                         ",QFW"
                         "Firmware Version: 9.9\x06";
const QByteArray kNetwork = "NETDEN1\x06,LPA36520\x06,SMK255.255.255.0\x06,GIP10.0.0.1\x06";

Script scannerScript()
{
    return {{"QRYSYS", kScanner},
            {"BASQSY", "BASQSY\x15"},
            {"NETDEN", kNetwork},
            {"NVIENA", "NVIENA1\x06"},
            {"URFDCH", "URFDCH\x06"}};
}

} // namespace

class tst_KXDeviceInfo : public QObject
{
    Q_OBJECT

private slots:
    void query_data();
    void query();
    void silentDeviceGivesNothing();
    void goneConnector();
    void deviceIds();
};

void tst_KXDeviceInfo::query_data()
{
    QTest::addColumn<Script>("script");
    QTest::addColumn<bool>("found");
    QTest::addColumn<KXDeviceInfoMap>("expected"); // keys to check; "<absent>" for none

    const QString absent = QStringLiteral("<absent>");
    const KXDeviceInfoMap scanner{
        {"Product Name", "KX-1"},
        {"Serial Number", "S1"},
        {"Serial Number ", "S1"}, // the space before ':' belongs to the key
        {"Firmware Version", "1.0"},
        {"PRNQRY", "KX1-A"},
        {"BaseState", "0"},
        {"AllInfos", "Product Name: KX-1\r\nSerial Number: S1"},
        {"NETDEN", "1"},
        {"NETLPA", "36520"},
        {"NETSMK", "255.255.255.0"},
        {"NETGIP", "10.0.0.1"},
        {"NVI SUPPORT", "1"},
        {"rfid", "1"},
        {"Hardware Version", absent},
        {"Earlier", "kept"},
    };
    QTest::newRow("scanner") << scannerScript() << true << scanner;

    Script base = scannerScript();
    base["QRYSYS"] = kScannerRefused;
    base["BASQSY"] = kBase;
    QTest::newRow("base station alone")
        << base << true
        << KXDeviceInfoMap{{"Product Name", "BS-9"},    {"Serial Number", "B9"},
                           {"Firmware Version", "9.9"}, {"BaseState", "1"},
                           {"AllInfos", "Base system"}, {"Hardware Version", absent},
                           {"PRNQRY", absent}};

    Script both = scannerScript();
    both["BASQSY"] = kBase;
    QTest::newRow("base station with scanner")
        << both << true
        << KXDeviceInfoMap{{"Product Name", "KX-1"},
                           {"Serial Number", "S1"},
                           {"BaseState", "2"},
                           {"AllInfos", "Product Name: KX-1\r\nSerial Number: S1\r\nBase system"}};

    Script refusals = scannerScript();
    refusals["NETDEN"] = "NETDEN1\x06,LPA36520\x15,SMK255.255.255.0\x06,GIP10.0.0.1\x06";
    refusals["NVIENA"] = "NVIENA0\x06";
    refusals["URFDCH"] = "URFDCH\x15";
    QTest::newRow("one network refusal drops all four, NVI value 0")
        << refusals << true
        << KXDeviceInfoMap{{"BaseState", "0"},
                           {"NETDEN", absent},
                           {"NETGIP", absent},
                           {"NVI SUPPORT", absent},
                           {"rfid", absent}};

    Script nothing = scannerScript();
    nothing["QRYSYS"] = kScannerRefused;
    QTest::newRow("neither scanner nor base")
        << nothing << false << KXDeviceInfoMap{{"BaseState", absent}, {"NVI SUPPORT", absent}};
}

void tst_KXDeviceInfo::query()
{
    QFETCH(Script, script);
    QFETCH(bool, found);
    QFETCH(KXDeviceInfoMap, expected);

    PeerLink link;
    QVERIFY(link.open());
    QByteArrayList asked;
    link.peer.onFrame = [&](const QByteArray& frame) {
        const QByteArray name = commandName(frame);
        asked.append(name);
        if (script.contains(name))
            link.peer.send(textReply(script.value(name)));
    };

    KXDeviceInfoMap info{{"Earlier", "kept"}};
    QCOMPARE(KXQueryDeviceInfo(&link.connector, info), found);
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (it.value() == QLatin1String("<absent>"))
            QVERIFY2(!info.contains(it.key()), qPrintable(it.key()));
        else
            QCOMPARE(info.value(it.key(), QStringLiteral("<absent>")), it.value());
    }
    // One request after the other; the probes only when a device answered.
    const QByteArrayList all{"QRYSYS", "BASQSY", "NETDEN", "NVIENA", "URFDCH"};
    QCOMPARE(asked, found ? all : all.mid(0, 3));
}

void tst_KXDeviceInfo::silentDeviceGivesNothing()
{
    PeerLink link;
    QVERIFY(link.open());
    link.connector.setTimeOut_7E01(200);
    KXDeviceInfoMap info;
    QVERIFY(!KXQueryDeviceInfo(&link.connector, info));
    QVERIFY(info.isEmpty());
    QCOMPARE(link.peer.frames.size(), 3);
}

void tst_KXDeviceInfo::goneConnector()
{
    KXDeviceInfoMap info{{"Earlier", "kept"}};
    QVERIFY(!KXQueryDeviceInfo(QPointer<KXDeviceConnector>(), info));
    QCOMPARE(info, (KXDeviceInfoMap{{"Earlier", "kept"}}));
}

void tst_KXDeviceInfo::deviceIds()
{
    const KXDeviceInfoMap serial{
        {"Serial Number", "S"}, {"Device Type", "SerialPort Device"}, {"COM", "7"}};
    QCOMPARE(makeDeviceId(serial), QStringLiteral("S:COM7"));
    QCOMPARE(makeDeviceId({{"Serial Number", "S"}, {"MAC Address", ""}}), QStringLiteral("S"));
    QCOMPARE(makeDeviceId({{"Serial Number", "S"}, {"MAC Address", "M"}}), QStringLiteral("M"));
    QCOMPARE(makeDeviceId({}), QString());

    // The USB counter is process-wide and never reset: two devices seen
    // twice get four identifiers.
    const KXDeviceInfoMap usb{{"Serial Number", "U"}, {"Device Type", "USB Device"}};
    QStringList ids;
    for (int pass = 0; pass < 4; ++pass)
        ids << makeDeviceId(usb);
    QCOMPARE(ids, (QStringList{"U:USB1", "U:USB2", "U:USB3", "U:USB4"}));
}

QTEST_MAIN(tst_KXDeviceInfo)
#include "tst_KXDeviceInfo.moc"
