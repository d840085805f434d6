// kxctl's network commands (scan, list, add, net) as a child process against
// a kxsim scanner and a kxsim base station with a scanner behind it, both
// answering discovery inside the private network namespace of
// tests/support/kx_netns.sh.

#include "support/KXPrivateNetwork.h"
#include "tools/KXSimPeers.h"

#include <QtTest>

#include <csignal>

using kxsimtest::kRunMs;
using kxsimtest::Kxctl;
using kxsimtest::SimProcess;

namespace {

const QString kHere = QStringLiteral("198.51.100.1");
// The sample device as kxsim serves it: the scanner, and the base station
// (its own serial and MAC) with that scanner behind it.
const char kScanner[] = "02:4B:58:73:04:17";
const char kScannerSerial[] = "K73A2403180417";
const char kBase[] = "02:4B:58:73:00:52";
const char kBaseSerial[] = "K73B2403180052";

// The rows of commandsReachTheDevices.
void addRows();

} // namespace

class tst_kxctlNet : public QObject
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
        QVERIFY(m_base.start(common + QStringList{"--base", "--gun", "--base-som"}));
    }

    // Each row runs kxctl once: its exit code, patterns its standard output
    // must match (each a whole line), and a line kxsim must print for it.
    void commandsReachTheDevices_data() { addRows(); }
    void commandsReachTheDevices()
    {
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QStringList, lines);
        QFETCH(QString, simLine);
        QFETCH(int, stopSignal);
        args.replaceInStrings(QStringLiteral("%PORT%"), QString::number(m_scanner.dataPort));
        Kxctl kxctl(args);
        if (stopSignal) // both devices shown, then the signal: the scan ends with its end line
            QVERIFY(
                QTest::qWaitFor([&] { return kxctl.out.count("\"event\":\"new\"") >= 2; }, kRunMs));
        QVERIFY2(kxctl.finished(stopSignal) == exitCode, qPrintable(kxctl.errors()));
        const QString& out = kxctl.out;
        for (const QString& line : qAsConst(lines)) {
            const QRegularExpression pattern('^' + line + '$', QRegularExpression::MultilineOption);
            QVERIFY2(pattern.match(out).hasMatch(), qPrintable(line + "\nnot in:\n" + out));
        }
        if (!simLine.isEmpty())
            QVERIFY(QTest::qWaitFor(
                [&] { return m_scanner.lines.contains(simLine) || m_base.lines.contains(simLine); },
                kxsimtest::kWaitMs));
    }

private:
    SimProcess m_scanner;
    SimProcess m_base;
};

namespace {

// moc loses its way in the rows' raw strings inside the class, so they
// live here.
void addRows()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QString>("simLine");
    QTest::addColumn<int>("stopSignal"); // sent once the first device is shown
    const QString scanner = QLatin1String(kScanner);
    const QString base = QLatin1String(kBase);
    const QString quotedScanner = QRegularExpression::escape(scanner);
    const QString quotedBase = QRegularExpression::escape(base);
    const QString event = QStringLiteral(
        R"(\{"address":"198\.51\.100\.1","error":0,"event":"new","firmware":"[^"]+",)"
        R"("id":"%1","info":\{.*%2.*\},"kind":"%3","port":"\d+","product":"%4",)"
        R"("serial":"%5"\})");
    QTest::newRow("scan --json: a scanner, a base station with its scanner")
        << QStringList{"scan", "--broadcast", "--json", "--seconds", "1"} << 0
        << QStringList{event.arg(quotedScanner, R"("MAC Address":")" + quotedScanner,
                                 "Network Scanner", "KX-7300", kScannerSerial),
                       event.arg(quotedBase,
                                 R"("sub_DEVICEID":")" + quotedBase + '_' + kScannerSerial,
                                 "Base Station", "KX-B7300", kBaseSerial),
                       R"(\{"devices":2,"error":0,"event":"end","message":""\})"}
        << QString() << 0;
    QTest::newRow("scan table")
        << QStringList{"scan", "--broadcast", "--seconds", "1"} << 0
        << QStringList{"EVENT +ID +KIND +PRODUCT +SERIAL +FIRMWARE +ADDRESS +PORT",
                       "new +" + quotedScanner + " +Network Scanner +KX-7300 +" + kScannerSerial +
                           R"( +\S+ +198\.51\.100\.1 +\d+)",
                       R"(2 device\(s\))"}
        << QString() << 0;
    QTest::newRow("scan stopped by SIGINT")
        << QStringList{"scan", "--broadcast", "--json", "--seconds", "600"} << 0
        << QStringList{R"(\{"devices":2,"error":0,"event":"end","message":""\})"} << QString()
        << int(SIGINT);
    QTest::newRow("scan usage") << QStringList{"scan", "--seconds", "0"} << 2 << QStringList()
                                << QString() << 0;
    QTest::newRow("list after a broadcast scan")
        << QStringList{"list", "--broadcast", "--seconds", "1"} << 0
        << QStringList{R"(198\.51\.100\.1_KX-7300\(K73A2403180417\))",
                       R"(198\.51\.100\.1_KX-B7300\(K73B2403180052\))"}
        << QString() << 0;
    QTest::newRow("add") << QStringList{"add", kHere + ":%PORT%", "--json"} << 0
                         << QStringList{R"(\{"error":0,"id":"K73A2403180417","info":\{.*)"
                                        R"("Serial Number":"K73A2403180417".*\},"message":""\})"}
                         << QString() << 0;
    QTest::newRow("add: nothing listens")
        << QStringList{"add", kHere + ":1"} << 5 << QStringList() << QString() << 0;
    QTest::newRow("net ip") << QStringList{"net",           "ip",        scanner,
                                           "--ip",          kHere,       "--mask",
                                           "255.255.255.0", "--gateway", "198.51.100.254"}
                            << 0 << QStringList{"ip " + quotedScanner + " K73A2403180417: result 0"}
                            << "kxsim: network K73A2403180417 " + scanner + ": result 0" << 0;
    QTest::newRow("net alias by serial number")
        << QStringList{"net", "alias", kScannerSerial, "Till 3", "--json"} << 0
        << QStringList{R"(\{"error":0,"id":")" + quotedScanner + R"(","message":"","result":0\})"}
        << "kxsim: alias K73A2403180417 " + scanner + ": result 0" << 0;
    QTest::newRow("net alias refused")
        << QStringList{"net", "alias", base, QString(300, 'x'), "--json"} << 7
        << QStringList{R"(\{"error":0,"id":")" + quotedBase + R"(","message":".*","result":1\})"}
        << QString() << 0;
    QTest::newRow("net group refused")
        << QStringList{"net", "group", scanner, "Gr Id=999"} << 7 << QStringList()
        << "kxsim: group K73A2403180417 " + scanner + ": result 1" << 0;
    QTest::newRow("net blink") << QStringList{"net", "blink", base} << 0
                               << QStringList{"blink " + quotedBase + " K73B2403180052: sent"}
                               << "kxsim: blink K73B2403180052 " + base << 0;
    QTest::newRow("net: no such device")
        << QStringList{"net", "blink", "00:00:00:00:00:01", "--seconds", "1", "--json"} << 5
        << QStringList{R"(\{"error":-3,"id":"","message":".*","result":null\})"} << QString() << 0;
    QTest::newRow("net ip usage") << QStringList{"net", "ip", scanner, "--ip", kHere} << 2
                                  << QStringList() << QString() << 0;
}

} // namespace

QTEST_GUILESS_MAIN(tst_kxctlNet)
#include "tst_kxctlNet.moc"
