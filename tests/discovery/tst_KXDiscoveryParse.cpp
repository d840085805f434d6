#include "datastream/KXCodecTestUtil.h"
#include "discovery/KXDiscoveryParse.h"

#include <QtTest>

using namespace kxtest;

namespace {

// A received datagram written out by hand, so that malformed ones can be made
// too: marker, fixed byte, kind, big-endian length (the payload's own plus
// `lengthDelta`), payload.
QByteArray datagram(quint8 kind, const QByteArray& payload, const char* marker = "TARVEN",
                    quint8 fixed = 0x10, int lengthDelta = 0)
{
    QByteArray out(marker);
    out.append(char(fixed)).append(char(kind));
    char length[4];
    qToBigEndian<quint32>(quint32(payload.size() + lengthDelta), length);
    return out.append(length, 4).append(payload);
}

KXDeviceInfoMap fields(const char* text)
{
    KXDeviceInfoMap map;
    const QStringList parts = QString::fromUtf8(text).split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (const QString& part : parts)
        map.insert(part.section(QLatin1Char('='), 0, 0), part.section(QLatin1Char('='), 1));
    return map;
}

const char kBaseWithGun[] =
    "Base Product Name=BS-1;Base Serial Number=B100;Base Firmware Version=2.0;"
    "Base MAC Address=BM;Base Ip Address=10.0.0.2;Base SubNetmask=255.0.0.0;"
    "Base Gateway Address=10.0.0.1;Base Use DHCP=0;Base Tcp Port Number=36520;"
    "Gun Product Name=GN-7;Gun Serial Number=G7;Gun Firmware Version=7.1;"
    "Gun AIBD Version=A3;";

} // namespace

Q_DECLARE_METATYPE(KXDiscoveryAnswer::Action)

class tst_KXDiscoveryParse : public QObject
{
    Q_OBJECT

private slots:
    void readsAnswers_data();
    void readsAnswers();
    void groupGateHoldsBackUndecidedGroups_data();
    void groupGateHoldsBackUndecidedGroups();
    void supplementAddsOnlyUnknownKeys();
};

void tst_KXDiscoveryParse::readsAnswers_data()
{
    using A = KXDiscoveryAnswer;
    // `info`: fields that must be in the map with these values; with `exact`
    // the map holds nothing else.
    const auto row = table<QByteArray, A::Action, QString, KXDeviceInfoMap, bool, int, QString>(
        {"bytes", "action", "id", "info", "exact", "result", "log"});
    const QByteArray twenty("Serial Number=123456");
    const QByteArray snMac("Serial Number=1;MAC Address=AB;");
    QCOMPARE(twenty.size(), 20);
    QCOMPARE(snMac.size(), 31);

    row("11 bytes", datagram(0x31, twenty).left(11), A::Ignore, "", {}, false, 0, "");
    row("lower-case marker, 20-byte payload", datagram(0x31, twenty, "tarven"), A::Store, "123456",
        fields("Serial Number=123456;MAC Address="), true, 0, "");
    row("one-digit serial, two-letter MAC", datagram(0x31, snMac), A::Store, "AB",
        fields("Serial Number=1;MAC Address=AB"), true, 0, "");
    row("19-byte payload", datagram(0x31, twenty.left(19)), A::Ignore, "", {}, false, 0, "");
    row("other marker", datagram(0x31, snMac, "TARVEM"), A::Ignore, "", {}, false, 0, "");
    row("length beyond the datagram", datagram(0x31, snMac, "TARVEN", 0x10, 1), A::Ignore, "", {},
        false, 0, "");
    row("bytes after the payload ignored", datagram(0x31, snMac, "TARVEN", 0x10, -2) + "X=1;",
        A::Store, "A", fields("Serial Number=1;MAC Address=A"), true, 0, "");
    row("only two-piece fields kept; no identifier", datagram(0x31, "A=1;B=2=3;;CCCCCCCCCCCC"),
        A::Ignore, "", fields("A=1"), true, 0,
        "KXBroadcastDeviceEnum device_id is empty! QMap((\"A\", \"1\"))");
    row("no field at all", datagram(0x31, "no fields in this text"), A::Ignore, "", {}, true, 0,
        "");
    row("product code copied", datagram(0x31, snMac + "Product Code=PC9;"), A::Store, "AB",
        fields("Product Code=PC9;PRNQRY=PC9"), false, 0, "");
    row("serial number without MAC", datagram(0x31, "Serial Number=S5;Ip Address=1.2.3.4"),
        A::Store, "S5", fields("Serial Number=S5;Ip Address=1.2.3.4;MAC Address="), true, 0, "");
    row("MAC without serial number", datagram(0x31, "MAC Address=M5;Ip Address=1.2.3.4"), A::Store,
        "M5", fields("MAC Address=M5;Ip Address=1.2.3.4;Serial Number="), true, 0, "");
    row("byte 6 not 0x10", datagram(0x31, snMac, "TARVEN", 0x11), A::Ignore, "AB", {}, false, 0,
        "");
    row("unknown kind", datagram(0x33, snMac), A::Ignore, "AB", {}, false, 0, "");
    row("supplement", datagram(0x3A, snMac + "Extra=1;"), A::Supplement, "AB", fields("Extra=1"),
        false, 0, "");

    // Results of the settings commands.
    row("network result", datagram(0x11, snMac + "Setting Result=7;Ret=3;"), A::NetworkChanged,
        "AB", {}, false, 7, QStringLiteral("修改网络设置结果为 : 1 AB 7"));
    row("network result from Ret", datagram(0x11, snMac + "Ret=3;"), A::NetworkChanged, "AB", {},
        false, 3, QStringLiteral("修改网络设置结果为 : 1 AB 3"));
    row("network result missing", datagram(0x11, snMac), A::Ignore, "AB", {}, false, 0, "");
    row("alias result not a number", datagram(0x61, snMac + "Ret=x;"), A::AliasChanged, "AB", {},
        false, 0, QStringLiteral("别名设置结果为 : 1 AB 0"));
    row("group result", datagram(0x41, snMac + "Ret=-2;"), A::NetworkGroup, "AB", {}, false, -2,
        QStringLiteral("组网结果为 : 1 AB -2"));
    row("group result without Ret", datagram(0x41, snMac), A::NetworkGroup, "AB",
        fields("Serial Number=1;MAC Address=AB;Ret="), true, 0,
        QStringLiteral("组网结果为 : 1 AB 0"));

    // Base stations: the identity comes from the base's fields.
    row("base reported as itself", datagram(0x32, QByteArray(kBaseWithGun) + "Base Som=1;"),
        A::Store, "BM",
        fields("Product Name=BS-1;Serial Number=B100;Firmware Version=2.0;MAC Address=BM;"
               "Ip Address=10.0.0.2;Tcp Port Number=36520;sub_DEVICEID=BM_G7;"
               "Hardware Version=;Log Port="),
        false, 0, "");
    row("base with a scanner", datagram(0x32, kBaseWithGun), A::Store, "BM",
        fields("Product Name=GN-7;Serial Number=G7;Firmware Version=7.1;Hardware Version=;"
               "MAC Address=BM;Ip Address=10.0.0.2;Gateway Address=10.0.0.1;Use DHCP=0;"
               "AIBD Version=A3;Gun Decoder Version=;Base Serial Number=B100"),
        false, 0, "");
    row("base without MAC: identifier from the base's serial number",
        datagram(0x32, QByteArray(kBaseWithGun).replace("Base MAC Address=BM;", "")), A::Store,
        "B100", fields("Serial Number=G7;MAC Address=;Base MAC Address="), false, 0, "");
    row("base without base fields has no identifier",
        datagram(0x32, "Serial Number=S1;MAC Address=M1;"), A::Ignore, "",
        fields("Serial Number=;MAC Address=;Base MAC Address="), false, 0,
        "KXBroadcastDeviceEnum device_id is empty! ");
}

void tst_KXDiscoveryParse::readsAnswers()
{
    QFETCH(QByteArray, bytes);
    QFETCH(KXDiscoveryAnswer::Action, action);
    QFETCH(QString, id);
    QFETCH(KXDeviceInfoMap, info);
    QFETCH(bool, exact);
    QFETCH(int, result);
    QFETCH(QString, log);

    const KXDiscoveryAnswer answer = KXDiscovery::parseDiscoveryAnswer(bytes);
    QCOMPARE(answer.action, action);
    QCOMPARE(answer.deviceId, id);
    QCOMPARE(answer.result, result);
    // A log ending in a space gives only its beginning (the map's form is
    // Qt's).
    if (log.endsWith(QLatin1Char(' ')))
        QVERIFY2(answer.logLine.startsWith(log), qPrintable(answer.logLine));
    else
        QCOMPARE(answer.logLine, log);
    if (exact)
        QCOMPARE(answer.info, info);
    for (auto it = info.constBegin(); it != info.constEnd(); ++it) {
        QVERIFY2(answer.info.contains(it.key()), qPrintable(it.key()));
        QCOMPARE(answer.info.value(it.key()), it.value());
    }
}

void tst_KXDiscoveryParse::groupGateHoldsBackUndecidedGroups_data()
{
    const auto row = table<KXDeviceInfoMap, bool>({"info", "reported"});
    row("no group fields", fields("MAC Address=M"), true);
    row("group support without Gr En", fields("Supp Gr=1"), false);
    row("group support with empty Gr En", fields("Supp Gr=1;Gr En="), true);
    row("group support with Gr En 0", fields("Supp Gr=1;Gr En=0"), true);
    row("no group support", fields("Supp Gr=0"), true);
    row("Supp Gr not a number", fields("Supp Gr=yes"), true);
}

void tst_KXDiscoveryParse::groupGateHoldsBackUndecidedGroups()
{
    QFETCH(KXDeviceInfoMap, info);
    QFETCH(bool, reported);
    QCOMPARE(KXDiscovery::passesGroupGate(info), reported);
}

void tst_KXDiscoveryParse::supplementAddsOnlyUnknownKeys()
{
    KXDeviceInfoMap received = fields("MAC Address=M;Ip Address=10.9.9.9;Extra=1");
    KXDiscovery::mergeSupplement(fields("MAC Address=M;Ip Address=10.0.0.5;Product Name=P"),
                                 received);
    QCOMPARE(received, fields("MAC Address=M;Ip Address=10.0.0.5;Product Name=P;Extra=1"));
}

QTEST_GUILESS_MAIN(tst_KXDiscoveryParse)
#include "tst_KXDiscoveryParse.moc"
