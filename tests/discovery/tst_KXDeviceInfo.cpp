// The device information query against devices scripted by the test.

#include "connector/KXConnectorPeers.h"
#include "datastream/KXCodecTestUtil.h"
#include "discovery/KXDeviceInfo.h"

#include <QtTest>

using namespace kxconntest;

namespace {

typedef QMap<QByteArray, QByteArray> Script; // request name -> reply text

const QByteArray kScanner = "QRYSYSProduct Name: KX-1\r\nSerial Number: S1\x06"
                            ",PDNProduct Name:  KX-1 \r\n\r\nno colon here\x06"
                            ",PSNSerial Number :S1\r\nSerial Number: S1\x06"
                            ",FWVFirmware Version: 1.0\x06;PRNQRYKX1\r\n-A\x06";
const QByteArray kScannerRefused = "QRYSYS\x15,PDN\x15,PSN\x15,FWV\x15;PRNQRY\x15";
const QByteArray kBase = "BASQSYBase system\x06,QSNProduct Name: BS-9\r\nSerial Number: B9\x06"
                         ",QHNHardware Version: H2\x06,QFWFirmware Version: 9.9\x06";

// A scanner with every probe answered, but for `changes`.
Script scanner(const Script& changes = {})
{
    Script script{{"QRYSYS", kScanner},
                  {"BASQSY", "BASQSY\x15"},
                  {"NETDEN", "NETDEN1\x06,LPA36520\x06,SMK255.255.255.0\x06,GIP10.0.0.1\x06"},
                  {"NVIENA", "NVIENA1\x06"},
                  {"URFDCH", "URFDCH\x06"}};
    script.insert(changes);
    return script;
}

} // namespace

class tst_KXDeviceInfo : public QObject
{
    Q_OBJECT

private slots:
    void query_data()
    {
        // `expected`: "key=value" fields to check, ';' between them; the
        // value "<absent>" for a key that must not be there.
        const auto row = kxtest::table<Script, bool, QString>({"script", "found", "expected"});
        // The space before ':' belongs to the key.
        row("scanner", scanner(), true,
            "Product Name=KX-1;Serial Number=S1;Serial Number =S1;Firmware Version=1.0;"
            "PRNQRY=KX1-A;BaseState=0;AllInfos=Product Name: KX-1\r\nSerial Number: S1;NETDEN=1;"
            "NETLPA=36520;NETSMK=255.255.255.0;NETGIP=10.0.0.1;NVI SUPPORT=1;rfid=1;"
            "Hardware Version=<absent>;Earlier=kept");
        row("base station alone", scanner({{"QRYSYS", kScannerRefused}, {"BASQSY", kBase}}), true,
            "Product Name=BS-9;Serial Number=B9;Firmware Version=9.9;BaseState=1;"
            "AllInfos=Base system;Hardware Version=<absent>;PRNQRY=<absent>");
        row("base station with scanner", scanner({{"BASQSY", kBase}}), true,
            "Product Name=KX-1;Serial Number=S1;BaseState=2;"
            "AllInfos=Product Name: KX-1\r\nSerial Number: S1\r\nBase system");
        row("one network refusal drops all four, NVI value 0",
            scanner({{"NETDEN", "NETDEN1\x06,LPA36520\x15,SMK255.255.255.0\x06,GIP10.0.0.1\x06"},
                     {"NVIENA", "NVIENA0\x06"},
                     {"URFDCH", "URFDCH\x15"}}),
            true, "BaseState=0;NETDEN=<absent>;NETGIP=<absent>;NVI SUPPORT=<absent>;rfid=<absent>");
        row("neither scanner nor base", scanner({{"QRYSYS", kScannerRefused}}), false,
            "BaseState=<absent>;NVI SUPPORT=<absent>");
        // Each request ends at its reply time-out.
        row("silent device", Script(), false,
            "Earlier=kept;Product Name=<absent>;BaseState=<absent>;AllInfos=<absent>;"
            "NETDEN=<absent>");
    }
    void query()
    {
        QFETCH(Script, script);
        QFETCH(bool, found);
        QFETCH(QString, expected);

        PeerLink link;
        QVERIFY(link.open());
        if (script.isEmpty())
            link.connector.setTimeOut_7E01(200);
        QByteArrayList asked;
        link.peer.onFrame = [&](const QByteArray& frame) {
            const QByteArray name = commandName(frame);
            asked.append(name);
            if (script.contains(name))
                link.peer.send(textReply(script.value(name)));
        };

        KXDeviceInfoMap info{{"Earlier", "kept"}};
        QCOMPARE(KXQueryDeviceInfo(&link.connector, info), found);
        for (const QString& field : expected.split(QLatin1Char(';'))) {
            const QString key = field.section(QLatin1Char('='), 0, 0);
            QCOMPARE(key + '=' + info.value(key, QStringLiteral("<absent>")), field);
        }
        // One request after the other; the probes only when a device answered.
        const QByteArrayList all{"QRYSYS", "BASQSY", "NETDEN", "NVIENA", "URFDCH"};
        QCOMPARE(asked, found ? all : all.mid(0, 3));
    }

    void goneConnector()
    {
        KXDeviceInfoMap info{{"Earlier", "kept"}};
        QVERIFY(!KXQueryDeviceInfo(QPointer<KXDeviceConnector>(), info));
        QCOMPARE(info, (KXDeviceInfoMap{{"Earlier", "kept"}}));
    }
};

QTEST_MAIN(tst_KXDeviceInfo)
#include "tst_KXDeviceInfo.moc"
