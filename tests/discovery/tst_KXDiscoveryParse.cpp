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

KXDeviceInfoMap fields(const QString& text)
{
    KXDeviceInfoMap map;
    const QStringList parts = text.split(QLatin1Char(';'), Qt::SkipEmptyParts);
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

class tst_KXDiscoveryParse : public QObject
{
    Q_OBJECT

private slots:
    void readsAnswers_data()
    {
        // `outcome`: "action(identifier) result", then ": " and the line logged if
        // any. `info`: fields that must be in the map with these values; with
        // `exact` the map holds nothing else.
        const auto row =
            table<QByteArray, QString, QString, bool>({"bytes", "outcome", "info", "exact"});
        const QByteArray twenty("Serial Number=123456");
        const QByteArray snMac("Serial Number=1;MAC Address=AB;");
        QCOMPARE(twenty.size(), 20);

        row("11 bytes", datagram(0x31, twenty).left(11), "Ignore() 0", "", false);
        row("lower-case marker, 20-byte payload", datagram(0x31, twenty, "tarven"),
            "Store(123456) 0", "Serial Number=123456;MAC Address=", true);
        row("one-digit serial, two-letter MAC", datagram(0x31, snMac), "Store(AB) 0",
            "Serial Number=1;MAC Address=AB", true);
        row("19-byte payload", datagram(0x31, twenty.left(19)), "Ignore() 0", "", false);
        row("other marker", datagram(0x31, snMac, "TARVEM"), "Ignore() 0", "", false);
        row("length beyond the datagram", datagram(0x31, snMac, "TARVEN", 0x10, 1), "Ignore() 0",
            "", false);
        row("bytes after the payload ignored", datagram(0x31, snMac, "TARVEN", 0x10, -2) + "X=1;",
            "Store(A) 0", "Serial Number=1;MAC Address=A", true);
        row("only two-piece fields kept; no identifier", datagram(0x31, "A=1;B=2=3;;CCCCCCCCCCCC"),
            "Ignore() 0: KXBroadcastDeviceEnum device_id is empty! QMap((\"A\", \"1\"))", "A=1",
            true);
        row("no field at all", datagram(0x31, "no fields in this text"), "Ignore() 0", "", true);
        row("product code copied", datagram(0x31, snMac + "Product Code=PC9;"), "Store(AB) 0",
            "Product Code=PC9;PRNQRY=PC9", false);
        row("serial number without MAC", datagram(0x31, "Serial Number=S5;Ip Address=1.2.3.4"),
            "Store(S5) 0", "Serial Number=S5;Ip Address=1.2.3.4;MAC Address=", true);
        row("MAC without serial number", datagram(0x31, "MAC Address=M5;Ip Address=1.2.3.4"),
            "Store(M5) 0", "MAC Address=M5;Ip Address=1.2.3.4;Serial Number=", true);
        row("byte 6 not 0x10", datagram(0x31, snMac, "TARVEN", 0x11), "Ignore(AB) 0", "", false);
        row("unknown kind", datagram(0x33, snMac), "Ignore(AB) 0", "", false);
        row("supplement", datagram(0x3A, snMac + "Extra=1;"), "Supplement(AB) 0", "Extra=1", false);

        // Results of the settings commands.
        row("network result", datagram(0x11, snMac + "Setting Result=7;Ret=3;"),
            "NetworkChanged(AB) 7: 修改网络设置结果为 : 1 AB 7", "", false);
        row("network result from Ret", datagram(0x11, snMac + "Ret=3;"),
            "NetworkChanged(AB) 3: 修改网络设置结果为 : 1 AB 3", "", false);
        row("network result missing", datagram(0x11, snMac), "Ignore(AB) 0", "", false);
        row("alias result not a number", datagram(0x61, snMac + "Ret=x;"),
            "AliasChanged(AB) 0: 别名设置结果为 : 1 AB 0", "", false);
        row("group result", datagram(0x41, snMac + "Ret=-2;"),
            "NetworkGroup(AB) -2: 组网结果为 : 1 AB -2", "", false);
        row("group result without Ret", datagram(0x41, snMac),
            "NetworkGroup(AB) 0: 组网结果为 : 1 AB 0", "Serial Number=1;MAC Address=AB;Ret=", true);

        // Base stations: the identity comes from the base's fields.
        row("base reported as itself", datagram(0x32, QByteArray(kBaseWithGun) + "Base Som=1;"),
            "Store(BM) 0",
            "Product Name=BS-1;Serial Number=B100;Firmware Version=2.0;MAC Address=BM;"
            "Ip Address=10.0.0.2;Tcp Port Number=36520;sub_DEVICEID=BM_G7;Hardware Version=;Log "
            "Port=",
            false);
        row("base with a scanner", datagram(0x32, kBaseWithGun), "Store(BM) 0",
            "Product Name=GN-7;Serial Number=G7;Firmware Version=7.1;Hardware Version=;"
            "MAC Address=BM;Ip Address=10.0.0.2;Gateway Address=10.0.0.1;Use DHCP=0;"
            "AIBD Version=A3;Gun Decoder Version=;Base Serial Number=B100",
            false);
        row("base without MAC: identifier from the base's serial number",
            datagram(0x32, QByteArray(kBaseWithGun).replace("Base MAC Address=BM;", "")),
            "Store(B100) 0", "Serial Number=G7;MAC Address=;Base MAC Address=", false);
        // An outcome ending in a space gives only its beginning (the map's form
        // is Qt's).
        row("base without base fields has no identifier",
            datagram(0x32, "Serial Number=S1;MAC Address=M1;"),
            "Ignore() 0: KXBroadcastDeviceEnum device_id is empty! ",
            "Serial Number=;MAC Address=;Base MAC Address=", false);
    }
    void readsAnswers()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, outcome);
        QFETCH(QString, info);
        QFETCH(bool, exact);

        const KXDiscoveryAnswer a = KXDiscovery::parseDiscoveryAnswer(bytes);
        const char* const actions[] = {"Ignore",       "NetworkChanged", "AliasChanged",
                                       "NetworkGroup", "Store",          "Supplement"};
        const QString got =
            QStringLiteral("%1(%2) %3").arg(actions[a.action], a.deviceId).arg(a.result) +
            (a.logLine.isEmpty() ? QString() : ": " + a.logLine);
        if (outcome.endsWith(QLatin1Char(' ')))
            QVERIFY2(got.startsWith(outcome), qPrintable(got));
        else
            QCOMPARE(got, outcome);
        const KXDeviceInfoMap expected = fields(info);
        if (exact)
            QCOMPARE(a.info, expected);
        for (auto it = expected.constBegin(); it != expected.constEnd(); ++it)
            QCOMPARE(it.key() + '=' + a.info.value(it.key(), QStringLiteral("<absent>")),
                     it.key() + '=' + it.value());
    }
    void groupGateHoldsBackUndecidedGroups_data()
    {
        const auto row = table<KXDeviceInfoMap, bool>({"info", "reported"});
        row("no group fields", fields("MAC Address=M"), true);
        row("group support without Gr En", fields("Supp Gr=1"), false);
        row("group support with empty Gr En", fields("Supp Gr=1;Gr En="), true);
        row("group support with Gr En 0", fields("Supp Gr=1;Gr En=0"), true);
        row("no group support", fields("Supp Gr=0"), true);
        row("Supp Gr not a number", fields("Supp Gr=yes"), true);
    }
    void groupGateHoldsBackUndecidedGroups()
    {
        QFETCH(KXDeviceInfoMap, info);
        QFETCH(bool, reported);
        QCOMPARE(KXDiscovery::passesGroupGate(info), reported);
    }
    void supplementAddsOnlyUnknownKeys()
    {
        KXDeviceInfoMap received = fields("MAC Address=M;Ip Address=10.9.9.9;Extra=1");
        KXDiscovery::mergeSupplement(fields("MAC Address=M;Ip Address=10.0.0.5;Product Name=P"),
                                     received);
        QCOMPARE(received, fields("MAC Address=M;Ip Address=10.0.0.5;Product Name=P;Extra=1"));
    }
};

QTEST_GUILESS_MAIN(tst_KXDiscoveryParse)
#include "tst_KXDiscoveryParse.moc"
