#include "KXSimPeers.h"
#include "connector/KXDeviceConnector.h"
#include "datastream/KXCodecTestUtil.h"
#include "discovery/KXDeviceInfo.h"
#include "discovery/KXDiscoveryDatagram.h"

#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QSet>
#include <QTcpServer>
#include <QUdpSocket>
#include <QtTest>

#include <algorithm>
#include <memory>
#include <sys/socket.h>
#include <utility>

using namespace kxsimtest;
using kxtest::fetch;
using kxtest::table;

namespace {

const QHostAddress kHere(QStringLiteral("198.51.100.1")); // kxv0, where kxsim listens
const QString kSecond = QStringLiteral("198.51.100.7");   // added to kxv0 by the test
const QString kSample = QStringLiteral(KX_SOURCE_DIR "/examples/offline/");
const QByteArray kScanner("Serial Number=K73A2403180417;MAC Address=02:4B:58:73:04:17;");
const QByteArray kAcked("\x06;\x03", 3);

KXDeviceInfoMap fieldsOf(const QByteArray& datagram)
{
    QByteArray payload;
    return KXDiscovery::splitDatagram(datagram, nullptr, &payload)
               ? KXDiscovery::parseKeyValueText(QString::fromLocal8Bit(payload))
               : KXDeviceInfoMap();
}

// What is wrong with a discovery answer, numbered as kxsim --udp-malformed
// numbers it: 0 nothing.
int damageOf(const QByteArray& datagram)
{
    QByteArray payload;
    if (!datagram.startsWith("TARVEN"))
        return 1;
    if (!KXDiscovery::splitDatagram(datagram, nullptr, &payload))
        return 3;
    if (payload.size() < 20)
        return 2;
    const KXDeviceInfoMap fields = fieldsOf(datagram);
    return fields.value("Supp Gr") == "1" && !fields.contains("Gr En") ? 4 : 0;
}

// The kit's side: requests go out as broadcasts from kxv0's address, and
// answers come back to an answer port of its own.
class Kit
{
public:
    bool open()
    {
        if (!m_out.bind(kHere, 0) || !m_in.bind(QHostAddress(QHostAddress::AnyIPv4), 0))
            return false;
        // A thousand answers come at once: room for all (as root, past the
        // system's cap).
        const int size = 16 << 20;
        ::setsockopt(int(m_in.socketDescriptor()), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
        QObject::connect(&m_in, &QUdpSocket::readyRead, [this] {
            while (m_in.hasPendingDatagrams())
                received.append(m_in.receiveDatagram().data());
        });
        return true;
    }

    // A datagram of `kind` carrying `fields` and the answer port field, its
    // first bytes replaced by `head` (a damaged marker or fixed byte).
    void send(quint8 kind, const QByteArray& fields, const QByteArray& head = {})
    {
        QByteArray datagram = KXDiscovery::makeDatagram(
            kind, fields + "Answer Port=" + QByteArray::number(m_in.localPort()));
        sendDatagram(datagram.replace(0, head.size(), head));
    }
    void discover() { sendDatagram(KXDiscovery::makeDiscoveryRequest(m_in.localPort())); }

    // All that came, up to the next discovery answer.
    QByteArrayList takeUntilAnswer()
    {
        (void)QTest::qWaitFor(
            [&] {
                return std::any_of(received.cbegin(), received.cend(), [](const QByteArray& d) {
                    return d.size() > 7 && (d.at(7) == 0x31 || d.at(7) == 0x32);
                });
            },
            kWaitMs);
        return std::exchange(received, {});
    }

    bool hasPendingDatagrams() { return m_in.hasPendingDatagrams() || !received.isEmpty(); }

    QByteArrayList received;

private:
    void sendDatagram(const QByteArray& datagram)
    {
        m_out.writeDatagram(datagram, QHostAddress::Broadcast, KXDiscovery::DevicePort);
    }

    QUdpSocket m_out;
    QUdpSocket m_in;
};

// A discovery command and what becomes of it.
struct Command
{
    QStringList units; // kxsim's options
    quint8 kind;
    QByteArray fields;     // the answer port follows
    QByteArray result;     // the result field; empty: no answer
    QString after;         // fields of the next discovery answer
    QStringList listening; // "!": no data port there
    QString line;          // printed by kxsim
    QByteArray head;       // replaces the datagram's first bytes
    bool logPortTaken;     // at the second address, by the test
};

} // namespace

Q_DECLARE_METATYPE(Command)

// kxsim's discovery port, with the test as the kit: raw UDP sockets inside
// the private network namespace that tests/support/kx_netns.sh makes.
class tst_kxsimUdp : public QObject
{
    Q_OBJECT

    KXOffLineEngine m_sample;
    std::unique_ptr<SimProcess> m_sim;

    bool startSim(const QStringList& extra, SimClient* link = nullptr)
    {
        m_sim = std::make_unique<SimProcess>();
        const QStringList args =
            QStringList{"--udp", "--port", "0", "--log-port", "0", "--bind", kHere.toString()} +
            QStringList{"--config", kSample + "DeviceConfiguration.xml", "--offline",
                        kSample + "Offline.xml"};
        // Once a command is answered, kxsim knows the link is there.
        return m_sim->start(args + extra) &&
               (!link || (link->connectTo(m_sim->dataPort, kHere) &&
                          link->exchange(1, "SIMGAP*").contains("SIMGAP")));
    }

    // The fields of `fields` ("key=value;...") that `actual` does not hold,
    // as "key=wanted (got ...)". Values "@data" and "@log" stand for kxsim's
    // ports, "@NAME" for the sample's setting NAME (joined by CR LF when
    // several are given with "+"), "(none)" for a missing key.
    QStringList mismatches(const KXDeviceInfoMap& actual, const QString& fields) const
    {
        QStringList wrong;
        const KXDeviceInfoMap expected = KXDiscovery::parseKeyValueText(fields);
        for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
            QStringList parts = it.value().split('+');
            for (QString& part : parts) {
                if (part == "@data" || part == "@log")
                    part = QString::number(part == "@data" ? m_sim->dataPort : m_sim->logPort);
                else if (part.startsWith('@'))
                    part = m_sample.setting(part.mid(1))->currentValue;
            }
            const QString got = actual.value(it.key(), QStringLiteral("(none)"));
            if (got != parts.join("\r\n"))
                wrong.append(it.key() + '=' + parts.join("\r\n") + " (got " + got + ')');
        }
        return wrong;
    }

private slots:
    void initTestCase()
    {
        // Broadcasts must never reach a real network.
        if (qgetenv("KX_IN_NETNS") != "1" ||
            !QNetworkInterface::interfaceFromName("kxv0").isValid())
            QSKIP("sends broadcasts: runs only through tests/support/kx_netns.sh");
        QCOMPARE(QProcess::execute("ip", {"addr", "add", kSecond + "/24", "dev", "kxv0"}), 0);
        QVERIFY(m_sample.loadFiles(kSample + "DeviceConfiguration.xml", kSample + "Offline.xml"));
    }

    void cleanup()
    {
        // One kxsim at a time: they would share the discovery port.
        if (m_sim && m_sim->process().state() == QProcess::Running)
            QVERIFY2(m_sim->exitsOn(SIGTERM), qPrintable(m_sim->errors()));
        m_sim.reset();
    }

    void speaksForItsUnits_data()
    {
        // kxsim's options, whether a host holds a data link, the kind and
        // fields of the discovery answer, and what the kit's query over TCP
        // finds.
        const auto row = table<QStringList, bool, int, QString, QString>();
        row("scanner", {}, false, 0x31,
            "Product Name=KX-7300;Serial Number=K73A2403180417;MAC Address=02:4B:58:73:04:17;"
            "Firmware Version=3.2.14;Hardware Version=B03;Product Code=@PRNQRY;"
            "Ip Address=198.51.100.1;SubNetmask=@NETSMK;Gateway Address=@NETGIP;"
            "Use DHCP=@NETDEN;Tcp Port Number=@data;Log Port=@log;"
            "Is Connected To Configtool=0;L Alias=@NETALS;Supp Gr=1;Gr En=0",
            "BaseState=0;Product Name=KX-7300;Serial Number=K73A2403180417;PRNQRY=@PRNQRY;"
            "AllInfos=@QRYSYS");
        row("base station", {"--base"}, true, 0x32,
            "Base Product Name=KX-B7300;Base Serial Number=K73B2403180052;"
            "Base MAC Address=02:4B:58:73:00:52;Base Bt Version=5.2.1;"
            "Base Ip Address=198.51.100.1;Base Tcp Port Number=@data;Base Log Port=@log;"
            "Base Is Connected To Configtool=1;Gun Product Name=(none);Product Name=(none)",
            "BaseState=1;Product Name=KX-B7300;Serial Number=K73B2403180052;PRNQRY=(none);"
            "AllInfos=@BASQSY");
        row("base station and scanner", {"--base", "--gun"}, false, 0x32,
            "Base Serial Number=K73B2403180052;Base Is Connected To Configtool=0;"
            "Gun Product Name=KX-7300;Gun Serial Number=K73A2403180417;"
            "Gun Firmware Version=3.2.14;Gun Manufacturing Date=2024-03-18;"
            "Gun Tcp Port Number=@data;Gun Log Port=@log",
            "BaseState=2;Product Name=KX-7300;Serial Number=K73A2403180417;PRNQRY=@PRNQRY;"
            "AllInfos=@QRYSYS+@BASQSY");
    }

    // The two ways the kit learns about a device: discovery, and the
    // information query over the data link.
    void speaksForItsUnits()
    {
        const auto [units, connected, kind, answer, information] =
            fetch<QStringList, bool, int, QString, QString>();

        SimClient link;
        QVERIFY(startSim(units, connected ? &link : nullptr));
        Kit kit;
        QVERIFY(kit.open());
        kit.discover();
        const QByteArrayList datagrams = kit.takeUntilAnswer();
        QCOMPARE(datagrams.size(), 1);
        QCOMPARE(int(datagrams.first().at(7)), kind);
        QCOMPARE(damageOf(datagrams.first()), 0);

        KXDeviceConnector connector;
        QVERIFY(connector.connectToDevice(kHere.toString(), m_sim->dataPort, false));
        KXDeviceInfoMap info;
        QElapsedTimer clock;
        clock.start();
        QVERIFY(KXQueryDeviceInfo(&connector, info));
        // Refusals come at once: one unanswered request alone would take 60 s.
        QVERIFY2(clock.elapsed() < 30000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(mismatches(fieldsOf(datagrams.first()), answer) +
                     mismatches(info, information + ";NETDEN=@NETDEN;NETLPA=@NETLPA;NETSMK=@NETSMK;"
                                                    "NETGIP=@NETGIP;NVI SUPPORT=1;rfid=1"),
                 QStringList());
    }

    void takesCommands_data()
    {
        QTest::addColumn<Command>("c");
        const auto row =
            [](const char* name, const QStringList& units, quint8 kind, const QByteArray& fields,
               const QByteArray& result, const QString& after, const QStringList& listening = {},
               const QString& line = {}, const QByteArray& head = {}, bool logPortTaken = false) {
                QTest::newRow(name) << Command{units,     kind, fields, result,      after,
                                               listening, line, head,   logPortTaken};
            };
        const QByteArray to7 =
            kScanner + "Device Use DHCP=0;Device IP Address=" + kSecond.toLatin1() +
            ";Device SubNetmask=255.255.0.0;Device Gateway Address=198.51.100.254;";
        const QStringList stays{"198.51.100.1", "!" + kSecond};
        const QString unchanged = "Ip Address=198.51.100.1;SubNetmask=255.255.255.0;L Alias=Lane 1";
        const QByteArray dock7 = kScanner + "P Alias=Dock 7;";
        row("network: a new address", {}, 0x10, to7, "Setting Result=0",
            "Ip Address=" + kSecond + ";SubNetmask=255.255.0.0;Gateway Address=198.51.100.254",
            {kSecond, "!198.51.100.1"}, "kxsim: data tcp " + kSecond);
        row("network: an address not here", {}, 0x10, QByteArray(to7).replace(".7;", ".9;"),
            "Setting Result=2", unchanged, stays);
        // Both listeners move, or neither.
        row("network: the log port taken there", {}, 0x10, to7, "Setting Result=2", unchanged,
            stays, {}, {}, true);
        row("network: a bad mask", {}, 0x10, QByteArray(to7).replace("0.0;", "0.300;"),
            "Setting Result=1", unchanged, stays);
        row("network: DHCP", {}, 0x10, QByteArray(to7).replace("DHCP=0", "DHCP=1"),
            "Setting Result=0", "Use DHCP=1;Ip Address=198.51.100.1", stays);
        row("network: another device", {}, 0x10, QByteArray(to7).replace("04:17", "04:18"), "",
            unchanged, stays);
        row("alias: too long", {}, 0x60, kScanner + "P Alias=" + QByteArray(65, 'x') + ';',
            "Setting Result=1", unchanged);
        row("alias: another serial number", {}, 0x60, QByteArray(dock7).replace("0417;", "0418;"),
            "", unchanged);
        row("group: a bad id", {}, 0x40, kScanner + "Gr Id=300;", "Ret=1", "Gr Id=0");
        // Behind a base station the kit names the device by the scanner's
        // serial number and the base station's MAC address.
        const QByteArray behindBase = QByteArray(dock7).replace("04:17", "00:52");
        row("base station and scanner: alias", {"--base", "--gun"}, 0x60, behindBase,
            "Setting Result=0", "L Alias=Dock 7");
        row("base station alone: not its serial", {"--base"}, 0x60, behindBase, "",
            "L Alias=Lane 1");
        // Not well formed: ignored.
        row("wrong marker", {}, 0x60, dock7, "", unchanged, {}, {}, "TARVEX");
        row("wrong fixed byte", {}, 0x60, dock7, "", unchanged, {}, {}, "TARVEN\x11");
    }

    void takesCommands()
    {
        QFETCH(Command, c);

        QVERIFY(startSim(c.units));
        QTcpServer squatter;
        QVERIFY(!c.logPortTaken || squatter.listen(QHostAddress(kSecond), m_sim->logPort));
        Kit kit;
        QVERIFY(kit.open());
        kit.send(c.kind, c.fields, c.head);
        kit.discover(); // answered after the command
        const QByteArrayList datagrams = kit.takeUntilAnswer();
        QCOMPARE(datagrams.size(), c.result.isEmpty() ? 1 : 2);
        if (!c.result.isEmpty()) {
            const QByteArray& reply = datagrams.first();
            QCOMPARE(reply.left(8), QByteArray("TARVEN\x10") + char(c.kind + 1));
            QVERIFY(reply.size() >= 12 + 20);
            const KXDeviceInfoMap sent = KXDiscovery::parseKeyValueText(c.fields);
            const KXDeviceInfoMap got = fieldsOf(reply);
            const QList<QByteArray> pair = c.result.split('=');
            QCOMPARE(
                (QStringList{got.value(pair.at(0)), got.value("Serial Number"),
                             got.value("MAC Address")}),
                (QStringList{pair.at(1), sent.value("Serial Number"), sent.value("MAC Address")}));
        }
        QCOMPARE(mismatches(fieldsOf(datagrams.last()), c.after), QStringList());
        for (const QString& address : c.listening) {
            const bool expected = !address.startsWith('!');
            const QString host = expected ? address : address.mid(1);
            QCOMPARE(SimClient().connectTo(m_sim->dataPort, QHostAddress(host)), expected);
            QVERIFY(!expected || SimClient().connectTo(m_sim->logPort, QHostAddress(host)));
        }
        if (!c.line.isEmpty())
            QTRY_VERIFY_WITH_TIMEOUT(!m_sim->lines.filter(c.line).isEmpty(), kWaitMs);
    }

    void answersAsManyDevices()
    {
        QVERIFY(startSim({"--udp-devices", "1000"}));
        Kit kit;
        QVERIFY(kit.open());
        kit.discover();
        QTRY_COMPARE_WITH_TIMEOUT(kit.received.size(), 1000, kWaitMs);
        QSet<QString> identities; // each serial number and MAC address once
        for (const QByteArray& datagram : qAsConst(kit.received))
            identities << "SN " + fieldsOf(datagram).value("Serial Number")
                       << "MAC " + fieldsOf(datagram).value("MAC Address");
        QCOMPARE(identities.size(), 2000);
        // Each answers under its own identity.
        const KXDeviceInfoMap last = fieldsOf(kit.received.last());
        const QByteArray identity = "Serial Number=" + last.value("Serial Number").toLatin1() +
                                    ";MAC Address=" + last.value("MAC Address").toLatin1() + ';';
        kit.received.clear();
        kit.send(0x60, identity + "P Alias=Dock 7;");
        QTRY_COMPARE_WITH_TIMEOUT(kit.received.size(), 1, kWaitMs);
        QCOMPARE(fieldsOf(kit.received.first()).value("MAC Address"), last.value("MAC Address"));
    }

    void misbehavesOnRequest_data()
    {
        // kxsim's options, a trigger over the data link, and the damage as
        // damageOf() tells it (-1: no answer).
        const auto row = table<QStringList, QByteArray, int>();
        row("--udp-malformed 1", {"--udp-malformed", "1"}, {}, 1);
        row("--udp-malformed 3", {"--udp-malformed", "3"}, {}, 3);
        row("SIMUMF2", {}, "SIMUMF2", 2);
        row("SIMUMF4", {}, "SIMUMF4", 4);
        row("reset", {"--udp-malformed", "4"}, "SIMRST", 0);
        row("--udp-silent", {"--udp-silent"}, {}, -1);
        row("silence off", {"--udp-silent"}, "SIMUSL0", 0);
    }

    void misbehavesOnRequest()
    {
        const auto [options, trigger, damage] = fetch<QStringList, QByteArray, int>();

        SimClient link;
        SimClient log;
        QVERIFY(startSim(options, &link) && log.connectTo(m_sim->logPort, kHere));
        QVERIFY(trigger.isEmpty() || link.exchange(1, trigger).endsWith(kAcked));
        Kit kit;
        QVERIFY(kit.open());
        if (damage < 0) {
            // Silent: the request is taken and dropped; once kxsim says so,
            // an answer would be here already.
            kit.discover();
            QTRY_VERIFY_WITH_TIMEOUT(log.queryLog().contains("ignored: silent"), kWaitMs);
            QVERIFY(!kit.hasPendingDatagrams());
            QVERIFY(link.exchange(1, "SIMUSL0").endsWith(kAcked));
        }
        kit.discover();
        QTRY_VERIFY_WITH_TIMEOUT(!kit.received.isEmpty(), kWaitMs);
        QCOMPARE(damageOf(kit.received.first()), qMax(damage, 0));
    }
};

QTEST_GUILESS_MAIN(tst_kxsimUdp)
#include "tst_kxsimUdp.moc"
