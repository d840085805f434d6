#include "KXSimPeers.h"
#include "datastream/KXCodecTestUtil.h"
#include "upgrade/KXFirmwareImages.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <signal.h>

using namespace kxsimtest;
using kxtest::fetch;
using kxtest::table;

namespace {

// Where the kit looks for a network device's log when the device does not
// tell.
constexpr quint16 kDefaultLogPort = 36525;

QString tcp(quint16 port)
{
    return QStringLiteral("tcp://127.0.0.1:%1").arg(port);
}

QString hexOf(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toHex(' '));
}

// The one error line contains `part`; an empty `part` means no error output.
void checkErrorLine(const QString& err, const QString& part)
{
    QVERIFY2(part.isEmpty() ? err.isEmpty() : err.contains(part), qPrintable(err));
    QCOMPARE(err.count(QLatin1Char('\n')), part.isEmpty() ? 0 : 1);
    QVERIFY2(!err.contains("LD_LIBRARY_PATH"), qPrintable(err)); // the driver is there
}

// Answers the log query with a length it never reaches: a line every 50 ms.
void dripLog(QTcpSocket* link)
{
    QObject::connect(link, &QTcpSocket::readyRead, link, [link] {
        link->readAll();
        link->write("\x02\x01"
                    "0000@LOGQRYFFFFFFFF");
        auto* timer = new QTimer(link);
        QObject::connect(timer, &QTimer::timeout, link, [link, n = 0]() mutable {
            link->write(QByteArray::number(++n).rightJustified(6, '0') + " drip\r\n");
        });
        timer->start(50);
    });
}

} // namespace

// Runs the real kxctl binary and checks what a user sees.
class tst_kxctl : public QObject
{
    Q_OBJECT

private slots:
    // One run each. In `args`, %data is kxsim's data port as a target,
    // %com and %usb its pseudo-terminal; kxsim runs (with `simArgs`) only
    // for rows that name it or give it arguments. `out` is every line kxctl
    // prints, exactly. With a `stop`, kxctl runs until it has printed `out`
    // and is then sent that signal, or (-1) kxsim stops.
    void commandLines_data()
    {
        const auto add = table<QStringList, QStringList, int, QStringList, QString, int>();
        const auto row = [&add](const char* name, const QStringList& args, int code,
                                const QStringList& out, const QString& err = QString(),
                                const QStringList& simArgs = {},
                                int stop = 0) { add(name, simArgs, args, code, out, err, stop); };
        const auto usage = [&row](const char* name, const QStringList& args, const char* message) {
            row(name, args, 2, {}, message);
        };
        row("encode text envelope", {"encode", "DFMQCU;LUAQRY"}, 0,
            {"7e 01 30 30 30 30 40 44 46 4d 51 43 55 3b 4c 55 41 51 52 59 3b 03"});
        row("encode hash prefix", {"encode", "--hash", "DFMQCU"}, 0,
            {"7e 01 30 30 30 30 23 44 46 4d 51 43 55 3b 03"});
        row("encode length-prefixed", {"encode", "--protocol", "7", "DFMQCU;"}, 0,
            {"7e 07 0a 00 00 00 40 44 46 4d 51 43 55 3b 03"});
        row("encode with CRC", {"encode", "--protocol", "7", "--crc", "@A"}, 0,
            {"7e 07 04 00 00 00 40 41 3b 03 52 d6"});
        row("encode protocol 9 prefixes only", {"encode", "--protocol", "9", "A"}, 0, {"40 41"});
        row("decode device reply",
            {"decode", "02 01 30 30 30 30 40 44 46 4d 51 43 55 31 32 06 2c 41 44 44 15 3b 4c 55 "
                       "41 51 52 59 05 3b 03"},
            0,
            {"protocol: 1 (7E01, text envelope)", "direction: device", "valid: yes", "tag DFM",
             "  QCU data=\"12\\x06\" [31 32 06] value=\"12\" result=ACK",
             "  ADD data=\"\\x15\" [15] value=\"\" result=NAK", "tag LUA",
             "  QRY data=\"\\x05\" [05] value=\"\" result=ENQ"});
        row("decode checked CRC", {"decode", "--crc", "7e07040000004041 3b03 52d6"}, 3,
            {"crc: ok", "protocol: 7 (7E07, length-prefixed)", "direction: host", "valid: no"});
        row("decode bad CRC", {"decode", "--crc", "7e07040000004041 3b03 52d7"}, 3, {"crc: bad"});
        row("decode no frame", {"decode", "414243"}, 3,
            {"protocol: -1 (not recognised)", "valid: no"});

        usage("odd hex", {"decode", "7e0"}, "bad hexadecimal");
        usage("non-hex", {"decode", "zz"}, "bad hexadecimal");
        usage("decode nothing", {"decode"}, "expected a frame");
        usage("unknown option", {"encode", "--fast", "A"}, "unknown option");
        usage("bad protocol", {"encode", "--protocol", "2", "A"}, "--protocol takes");
        usage("encode nothing", {"encode"}, "expected one command text");
        usage("crc without envelope", {"encode", "--protocol", "9", "--crc", "A"}, "--crc needs");
        usage("crc with the text envelope", {"encode", "--crc", "A"}, "--crc needs protocol 7");
        usage("unknown command", {"frobnicate"}, "unknown command");
        usage("send without target", {"send", "QRYSYS*"}, "tcp://HOST:PORT");
        usage("port 0", {"send", "tcp://127.0.0.1:0", "A"}, "port from 1 to 65535");
        usage("port 70000", {"send", "tcp://127.0.0.1:70000", "A"}, "port from 1 to 65535");
        usage("port with a sign", {"send", "tcp://127.0.0.1:+80", "A"}, "port from 1 to 65535");
        usage("port with a blank", {"send", "tcp://127.0.0.1: 80", "A"}, "port from 1 to 65535");
        usage("unknown target kind", {"send", "serial:/dev/ttyS0", "A"}, "bad device 'serial:");
        usage("com without path", {"send", "com:", "A"}, "device path");
        usage("baud rate with a sign", {"send", "com:/dev/ttyS0@+9600", "A"}, "baud rate");
        usage("bad framing", {"send", "com:/dev/ttyS0@9600,9Z1", "A"}, "framing 9Z1");
        usage("framing with a line end", {"send", "com:/dev/ttyS0@9600,8N1\n", "A"},
              "framing 8N1\\x0a");
        usage("backup without page files", {"backup", "offline:", "--pages", "/nonexistent"},
              "no settings page files in /nonexistent");
        usage("restore of no backup", {"restore", "offline:", KXCTL_PATH},
              "is not a settings backup");
        usage("usb path with a colon", {"send", "usb:/dev/a:b", "A"}, "must not contain ':'");
        usage("offline with one file", {"send", "offline:Offline.xml", "A"},
              "offline:CONFIG,OFFLINE");
        usage("offline with protocol 7", {"send", "offline:", "--protocol", "7", "A"},
              "protocol 1 only");
        usage("time-out 0", {"send", "offline:", "--timeout", "0", "A"}, "--timeout takes");
        usage("time-out past an hour", {"send", "offline:", "--timeout", "2147483000", "A"},
              "--timeout takes milliseconds from 1 to 3600000");
        usage("monitor without target", {"monitor"}, "expected a device");
        usage("monitor with a bad target", {"monitor", "tcp://127.0.0.1"}, "bad device");
        usage("monitor --send without text", {"monitor", "offline:", "--send"}, "--send takes");
        usage("monitor with a bad time-out", {"monitor", "offline:", "--timeout", "x"},
              "--timeout takes");
        usage("info without target", {"info"}, "expected a device");
        usage("update without file", {"update", "offline:"}, "and a firmware file");
        usage("log without target", {"log"}, "expected a device");
        usage("log with a bad target", {"log", "usb:"}, "bad device");
        usage("log with a bad time-out", {"--timeout", "-5", "log", "offline:"}, "--timeout takes");
        usage("get without names", {"get", "offline:"}, "at least one setting");
        usage("set without a value", {"set", "offline:", "SCNMOD"}, "expected NAME=VALUE");
        usage("set with a separator in the value", {"set", "offline:", "SCNMOD=1;X"},
              "no ';' in the value");

        const QString missing = QStringLiteral("/nonexistent-kxctl-test");
        const QString missingFiles = "offline:" + missing + "/a.xml," + missing + "/b.xml";
        row("offline files missing", {"send", missingFiles, "A"}, 5, {},
            "cannot load the offline device");
        row("com port missing", {"send", "com:" + missing, "A"}, 5, {},
            "cannot open com:" + missing);
        row("usb device missing", {"send", "usb:" + missing, "A"}, 5, {},
            "cannot open usb:" + missing);
        row("monitor of a missing port", {"monitor", "com:" + missing}, 5, {}, "cannot open com:");
        row("log of the offline device", {"log", "offline:"}, 5, {}, "has no log");
        // Devices the kit did not add or scan answer with their system text.
        row("info of the offline device", {"info", "offline:"}, 0,
            {"Decoder Version: 7.6.2", "Firmware Version: 3.2.14", "Hardware Version: B03",
             "Kernel Version: 4.19.111", "MAC Address: 02:4B:58:73:04:17",
             "Manufacturing Date: 2024-03-18", "OEM Serial Number: OEM7300-000417",
             "Product Code: KX7300-USB-ETH", "Product Name: KX-7300",
             "Serial Number: K73A2403180417"});
        row("device id found by a scan", {"get", "K73A2403180417:COM1001", "--scan", "SCNMOD"}, 0,
            {"SCNMOD: 2 ACK"}, "", {"--serial"});
        row("scan that finds no such id", {"info", "NO-SUCH-DEVICE", "--scan"}, 5, {},
            "no device NO-SUCH-DEVICE found by the scan");
        row("network device that does not answer", {"info", "%data"}, 5, {},
            "did not answer the information query", {"--silent"});

        // protocol 1 .. MOD's ACK
        const QStringList scnMod{"protocol: 1 (7E01, text envelope)", "direction: device",
                                 "valid: yes", "tag SCN",
                                 "  MOD data=\"2\\x06\" [32 06] value=\"2\" result=ACK"};
        const QStringList scnZzz =
            QStringList{
                "sent: 7e 01 30 30 30 30 40 53 43 4e 4d 4f 44 2a 3b 5a 5a 5a 51 52 59 2a 3b 03",
                "reply: 02 01 30 30 30 30 40 53 43 4e 4d 4f 44 32 06 3b 5a 5a 5a 51 52 59 05 "
                "3b 03"} +
            scnMod + QStringList{"tag ZZZ", "  QRY data=\"\\x05\" [05] value=\"\" result=ENQ"};
        const QString folder = QStringLiteral(KX_SAMPLE_DEVICE_DIR);
        row("sample device", {"send", "offline:", "SCNMOD*;ZZZQRY*"}, 0, scnZzz);
        row("offline device from its files",
            {"--timeout", "2000", "send",
             "offline:" + folder + "/DeviceConfiguration.xml," + folder + "/Offline.xml",
             "SCNMOD*;ZZZQRY*"},
            0, scnZzz);
        // Too short to be recognised as a frame: not sent raw, where the
        // offline device would refuse the write (-20) and a network device
        // would seem to take it (0).
        row("offline text that is no command", {"send", "offline:", ";"}, 6, {},
            "not a valid framed command (error -22)");
        row("network text that is no command", {"send", "%data", ";"}, 6, {},
            "not a valid framed command (error -22)");

        const QString sent = "sent: 7e 01 30 30 30 30 40 53 43 4e 4d 4f 44 2a 3b 03";
        const QStringList scn =
            QStringList{sent, "reply: 02 01 30 30 30 30 40 53 43 4e 4d 4f 44 32 06 3b 03"} + scnMod;
        row("network device, length-prefixed", {"send", "%data", "SCNMOD*", "--protocol", "7"}, 0,
            QStringList{"sent: 7e 07 0a 00 00 00 40 53 43 4e 4d 4f 44 2a 3b 03",
                        "reply: 02 07 0b 00 00 00 40 53 43 4e 4d 4f 44 32 06 3b 03",
                        "protocol: 7 (7E07, length-prefixed)"} +
                scnMod.mid(1));
        row("com", {"send", "%com", "SCNMOD*"}, 0, scn, "", {"--serial"});
        row("com with settings", {"send", "%com@115200,8N1", "SCNMOD*"}, 0, scn, "", {"--serial"});
        row("usb", {"send", "%usb", "SCNMOD*"}, 0, scn, "", {"--serial"});
        row("corrupt length-prefixed reply", {"send", "%data", "SCNMOD*", "--protocol", "7"}, 3,
            {"sent: 7e 07 0a 00 00 00 40 53 43 4e 4d 4f 44 2a 3b 03"},
            "the reply failed its check (error -23)", {"--corrupt"});
        row("garbage instead of a reply", {"send", "%com", "SCNMOD*", "--timeout", "300"}, 4,
            {sent, "barcode: \\xa5Zkxsim garbage\\xff\\xfe [a5 5a 6b 78 73 69 6d 20 67 61 72 62 61 "
                   "67 65 ff fe]"},
            "no reply within 300 ms (error -1)", {"--serial", "--garbage"});
        // Without watching the link, both would wait out the reply time-out
        // and report silence (exit 4).
        row("hang-up in the middle of a reply",
            {"monitor", "%data", "--send", "SIMONEPRT1", "--send", "SIMCLA1", "--send", "SCNMOD*",
             "--timeout", "20000"},
            5, {}, "--send SCNMOD*: the device closed the link (error -999)");
        row("hang-up, as JSON", {"send", "%data", "--json", "SIMCLS", "--timeout", "20000"}, 5,
            {R"j({"error":-999,"message":"the device closed the link (error -999)","reply":"",)j"
             R"j("results":[],"sent":"7e01303030304053494d434c533b03"})j"},
            "the device closed the link");

        // Sent by the device as the link opens: reported apart from the reply,
        // as the monitor would show it (the first went to the link that the
        // kit added the device on).
        row("data before the reply", {"send", "%data", "SCNMOD*"}, 0,
            QStringList{
                sent, "barcode: KXSIM-BARCODE-0002\\x0d\\x0a [4b 58 53 49 4d 2d 42 41 52 43 4f 44 "
                      "45 2d 30 30 30 32 0d 0a]"} +
                scn.mid(1),
            "", {"--barcodes", "1", "--gap", "0"});
        row("get over the network", {"get", "%data", "SCNMOD", "ZZZQRY"}, 7,
            {"SCNMOD: 2 ACK", "ZZZQRY:  ENQ"}, "not taken: ZZZQRY ENQ");
        row("set refused", {"set", "offline:", "SCNMOD=9", "BEPDUR=100"}, 7,
            {"SCNMOD: 9 NAK", "BEPDUR: 100 ACK"}, "not taken: SCNMOD NAK");
        row("set as JSON", {"set", "%com", "SCNMOD=1", "--json"}, 0,
            {R"j({"error":0,"message":"","results":[{"cmd":"SCNMOD","result":"ACK","value":"1"}]})j"},
            "", {"--serial"});

        // JSON: one object in every outcome.
        row("JSON reply", {"send", "%data", "--json", "SCNMOD*;BEPDURxyz;ZZZQRY*"}, 0,
            {R"j({"error":0,"message":"","reply":"0201303030304053434e4d4f4432063b42455044)j"
             R"j(555278797a153b5a5a5a515259053b03","results":[{"cmd":"SCNMOD","result":"ACK",)j"
             R"j("value":"2"},{"cmd":"BEPDUR","result":"NAK","value":"xyz"},{"cmd":"ZZZQRY",)j"
             R"j("result":"ENQ","value":""}],"sent":"7e01303030304053434e4d4f442a3b424550445552)j"
             R"j(78797a3b5a5a5a5152592a3b03"})j"});
        row("JSON of a silent device", {"send", "%com", "--json", "--timeout", "300", "SCNMOD*"}, 4,
            {R"j({"error":-1,"message":"no reply within 300 ms (error -1)","reply":"",)j"
             R"j("results":[],"sent":"7e01303030304053434e4d4f442a3b03"})j"},
            "no reply within 300 ms (error -1)", {"--serial", "--silent"});
        row("JSON of a target that does not open",
            {"send", "--json", "offline:/nonexistent-kxctl/a,/nonexistent-kxctl/b", "SCNMOD*"}, 5,
            {R"j({"error":-3,"message":"cannot load the offline device /nonexistent-kxctl/a and )j"
             R"j(/nonexistent-kxctl/b","reply":"","results":[],)j"
             R"j("sent":"7e01303030304053434e4d4f442a3b03"})j"},
            "cannot load the offline device");
        row("JSON of a usage error", {"send", "--json", "offline:", "--bogus", "A"}, 2,
            {R"j({"error":null,"message":"unknown option --bogus","reply":"","results":[],)j"
             R"j("sent":""})j"},
            "unknown option --bogus");

        const auto barcode = [](int n) {
            const QByteArray text = "KXSIM-BARCODE-000" + QByteArray::number(n);
            return QStringLiteral("barcode: %1\\x0d\\x0a [%2]")
                .arg(QString::fromLatin1(text), hexOf(text + "\r\n"));
        };
        const QString message1 =
            "message: " +
            hexOf(QByteArray("\x02\x08\x1b\x00\x00\x00@RUNDATKXSIM-MESSAGE-0001;\x03", 33));
        // The trigger answers on the link that sent it: the monitor's own.
        row("monitor triggered on tcp, SIGINT", {"monitor", "%data", "--send", "SIMBAR1,MSG1"}, 0,
            {barcode(1), message1}, "", {}, SIGINT);
        row("monitor of data sent as the link starts, SIGTERM",
            {"monitor", "%com", "--send", "SIMGAP*"}, 0, {barcode(1), barcode(2)}, "",
            {"--serial", "--barcodes", "2", "--gap", "250"}, SIGTERM);
        row("monitor triggered on a serial port", {"monitor", "%com", "--send", "SIMBAR1"}, 0,
            {barcode(1)}, "", {"--serial"}, SIGINT);
        row("monitor of a device that hangs up", {"monitor", "%data", "--send", "SIMBAR1"}, 5,
            {barcode(1)}, "the device closed the link", {}, -1);
    }

    void commandLines()
    {
        auto [simArgs, args, code, out, err, stop] =
            fetch<QStringList, QStringList, int, QStringList, QString, int>();

        SimProcess sim;
        if (!args.filter(QStringLiteral("%")).isEmpty() || !simArgs.isEmpty()) {
            QVERIFY(sim.start(QStringList{"--port", "0", "--log-port", "0"} + simArgs,
                              simArgs.contains("--serial")));
            const QString pty = sim.serialPaths.value(0);
            // For the scan's serial pass, where the pseudo-terminal is the
            // driver's first extra port.
            qputenv("KXDS_EXTRA_PORTS", QFile::encodeName(pty));
            args.replaceInStrings("%data", tcp(sim.dataPort))
                .replaceInStrings("%com", "com:" + pty)
                .replaceInStrings("%usb", "usb:" + pty);
        }
        Kxctl kxctl(args);
        if (stop != 0)
            QCOMPARE(kxctl.lines(out.size()), out);
        if (stop < 0)
            sim.stop();
        QCOMPARE(kxctl.finished(qMax(stop, 0)), code);
        QCOMPARE(linesOf(kxctl.out), out);
        checkErrorLine(kxctl.errors(), err);
    }

    void sendKeepsABoundedReportOfAFlood()
    {
        SimProcess sim;
        QVERIFY(sim.start({"--port", "0", "--log-port", "0", "--serial", "--silent", "--barcodes",
                           "20000", "--gap", "0"},
                          true));
        Kxctl kxctl({"send", "com:" + sim.serialPaths.value(0), "QRYSYS*", "--timeout", "1500"});
        QCOMPARE(kxctl.finished(), 4);
        // 64 KiB shown, at four characters a byte, then a count of the rest.
        QVERIFY2(kxctl.out.size() < 300 * 1024, qPrintable(QString::number(kxctl.out.size())));
        const QStringList lines = linesOf(kxctl.out);
        QVERIFY(lines.first().startsWith("sent: "));
        const QRegularExpression count(QStringLiteral(
            "^not shown: [1-9]\\d* more bytes in [1-9]\\d* more barcodes or messages$"));
        QVERIFY2(count.match(lines.last()).hasMatch(), qPrintable(lines.last()));
    }

    // The information the kit found when it added the device, and its log
    // from the log port the kit takes by default (the information query does
    // not tell it).
    void infoAndLogOfANetworkDevice()
    {
        SimProcess sim;
        if (!sim.start({"--port", "0", "--log-port", QString::number(kDefaultLogPort)}))
            QSKIP("the default log port is taken on this machine");
        Kxctl info({"info", tcp(sim.dataPort)});
        QCOMPARE(info.finished(), 0);
        QVERIFY2(linesOf(info.out).contains("Serial Number: K73A2403180417"), qPrintable(info.out));
        QVERIFY2(
            linesOf(info.out).contains(QStringLiteral("Tcp Port Number: %1").arg(sim.dataPort)),
            qPrintable(info.out));
        Kxctl log({"log", tcp(sim.dataPort)});
        QCOMPARE(log.finished(), 0);
        const QRegularExpression command(QStringLiteral(
            "^\\d{6} command from tcp 127\\.0\\.0\\.1:\\d+: QRYSYS,PDN,PSN,FWV;PRNQRY$"));
        QVERIFY2(log.out.split(QStringLiteral("\r\n")).indexOf(command) >= 0, qPrintable(log.out));
        QVERIFY(log.out.startsWith("000001 device files "));
        QVERIFY(log.out.endsWith("\r\n"));
        checkErrorLine(log.errors(), "");
    }

    // The check, then the download into kxsim's boot loader: one JSON line
    // per event, and the parts arrive whole; a device that takes packages
    // only refuses a plain image with 610. A stop request during the
    // download waits for its end.
    void updateWritesFirmware_data()
    {
        // kxsim's options, the signal sent once progress shows, kxctl's exit
        // code, how its first line starts, and what its error output holds.
        const auto row = table<QStringList, int, int, QString, QString>();
        const QString checked = R"({"code":0,"error":null,"event":"check",)";
        row("image", {}, 0, 0, checked, {});
        row("device of packages", {"--ifp-check", "IFP1"}, 0, 8,
            R"({"code":610,"error":610,"event":"check",)", "the check refused the file: 610");
        row("SIGINT while programming is slow", {"--boot-fault", "slow"}, SIGINT, 0, checked,
            "stopping after the download ends");
    }
    void updateWritesFirmware()
    {
        const auto [simArgs, stop, code, first, err] =
            fetch<QStringList, int, int, QString, QString>();
        QTemporaryDir dir;
        QVector<kxfwtest::ImagePart> parts = kxfwtest::parseParts("appl:5000 boot:700");
        const QString file = kxfwtest::writeFirmware(dir.path(), "bin", parts);
        QVERIFY(!file.isEmpty());
        SimProcess sim;
        QVERIFY(sim.start(
            QStringList{"--port", "0", "--log-port", "0", "--firmware-out", dir.path()} + simArgs));
        Kxctl kxctl({"update", tcp(sim.dataPort), file, "--json"});
        if (stop != 0)
            QVERIFY2(kxctl.lines(2).value(1).contains("\"progress\""), qPrintable(kxctl.out));
        QCOMPARE(kxctl.finished(stop), code);
        const QStringList lines = linesOf(kxctl.out);
        QVERIFY2(lines.value(0).startsWith(first), qPrintable(kxctl.out));
        const QString errors = kxctl.errors();
        QVERIFY2(err.isEmpty() ? errors.isEmpty() : errors.contains(err), qPrintable(errors));
        if (code != 0)
            return;
        QCOMPARE(lines.last(), QStringLiteral(R"({"error":null,"event":"done","ok":true})"));
        QFile boot(dir.filePath("0-boot.bin")), appl(dir.filePath("1-appl.bin"));
        QVERIFY(boot.open(QIODevice::ReadOnly) && appl.open(QIODevice::ReadOnly));
        QCOMPARE(boot.readAll(), parts[1].data);
        QCOMPARE(appl.readAll(), parts[0].data);
    }

    void logOfADeviceThatNeverEnds_data()
    {
        QTest::addColumn<int>("stop"); // a signal, or 0: the time-out ends it
        QTest::newRow("time-out") << 0;
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGINT") << SIGINT;
    }

    // kxsim answers the information query; the log comes from a peer on the
    // default log port that never reaches the length it announced.
    void logOfADeviceThatNeverEnds()
    {
        QFETCH(int, stop);

        SimProcess sim;
        QVERIFY(sim.start({"--port", "0", "--log-port", "0"}));
        QTcpServer server;
        if (!server.listen(QHostAddress::LocalHost, kDefaultLogPort))
            QSKIP("the default log port is taken on this machine");
        QObject::connect(&server, &QTcpServer::newConnection, [&server] {
            while (QTcpSocket* link = server.nextPendingConnection())
                dripLog(link);
        });
        const QStringList timeout{"--timeout", "1500"};
        Kxctl kxctl(QStringList{"log", tcp(sim.dataPort)} + (stop ? QStringList() : timeout));
        // What came before the end is printed, each line whole.
        QCOMPARE(kxctl.lines(2).mid(0, 2), QStringList({"000001 drip\r", "000002 drip\r"}));
        QCOMPARE(kxctl.finished(stop), stop ? 0 : 4);
        checkErrorLine(kxctl.errors(), stop ? "" : "the log did not end within 1500 ms");
        QVERIFY2(kxctl.out.endsWith(" drip\r\n"), qPrintable(kxctl.out));
    }

    // The settings clone against one kxsim (with `simArgs`): a backup, then
    // `change` sent to the device, the backup file edited (`edit`: pairs of
    // texts to replace), and a restore with `options`. `after` is the
    // device's reply to BEPDUR*;INTBAU* once the restore has run.
    void backupAndRestore_data()
    {
        // kxsim's options, what the backup lists as refused, the change sent
        // to the device, the edit, the restore's options, its exit code,
        // output and error output, and the device's reply afterwards.
        const auto row = table<QStringList, QStringList, QByteArray, QStringList, QStringList, int,
                               QStringList, QString, QByteArray>();
        const QByteArray restored("BEPDUR80\x06;INTBAU7\x06");
        const QByteArray change("BEPDUR120;INTBAU3");
        const QStringList written{"restored: 86 settings written, 0 differ"};
        const QStringList otherProduct{"\"Product Name\": \"KX-7300\"",
                                       "\"Product Name\": \"KX-9\""};
        row("a changed setting is restored", {}, {}, change, {}, {}, 0, written, {}, restored);
        row("a refused value is reported", {}, {}, "INTBAU3",
            {"\"BEPDUR\": \"80\"", "\"BEPDUR\": \"500\""}, {}, 7,
            {"differs: BEPDUR wanted \"500\" got \"80\" (NAK)",
             "restored: 86 settings written, 1 differ"},
            "kxctl restore: 1 settings refused or differ", restored);
        row("another product needs --force", {}, {}, change, otherProduct, {}, 7, {},
            "the backup is of a \"KX-9\", the device is a \"KX-7300\"; nothing written",
            "BEPDUR120\x06;INTBAU3\x06");
        row("another product with --force", {}, {}, change, otherProduct, {"--force"}, 0, written,
            "restoring anyway (--force)", restored);
        // A base station alone refuses the scanner's identity; a restore
        // leaves such text-only settings alone.
        row("refused settings are listed", {"--base"},
            {"PRNQRY", "QRYFWV", "QRYPDN", "QRYPSN", "QRYSYS"}, change, {}, {}, 0, written, {},
            restored);
    }

    void backupAndRestore()
    {
        const auto [simArgs, refused, change, edit, options, code, out, err, after] =
            fetch<QStringList, QStringList, QByteArray, QStringList, QStringList, int, QStringList,
                  QString, QByteArray>();

        SimProcess sim;
        QVERIFY(sim.start(QStringList{"--port", "0", "--log-port", "0"} + simArgs));
        SimClient client;
        QVERIFY(client.connectTo(sim.dataPort));
        Kxctl backup({"backup", tcp(sim.dataPort)});
        QCOMPARE(backup.finished(), 0);
        checkErrorLine(backup.errors(), QString());
        // The device's identity first, then every page in order, each
        // setting either with its value or refused.
        const QJsonObject document = QJsonDocument::fromJson(backup.out.toUtf8()).object();
        QCOMPARE(document.keys(), QStringList({"device", "pages"}));
        QCOMPARE(document["device"]["Serial Number"].toString(),
                 simArgs.isEmpty() ? "K73A2403180417" : "K73B2403180052");
        const QJsonArray pages = document["pages"].toArray();
        QCOMPARE(pages.size(), 12);
        QCOMPARE(pages.first()["page"].toString(), "Page Exposure Settings");
        QCOMPARE(pages.last()["page"].toString(), "OCR");
        QStringList allRefused;
        for (const QJsonValue& page : pages) {
            for (const QJsonValue& name : page["refused"].toArray())
                allRefused.append(name.toString());
        }
        QCOMPARE(allRefused, refused);
        QCOMPARE(pages.at(1)["settings"]["BEPDUR"].toString(), "80");

        QCOMPARE(client.exchange(1, change).isEmpty(), false);
        QString text = backup.out;
        for (int i = 0; i + 1 < edit.size(); i += 2)
            text.replace(edit.at(i), edit.at(i + 1));
        QTemporaryDir dir;
        QFile file(dir.filePath("settings.json"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(text.toUtf8()) > 0);
        file.close();
        Kxctl restore(QStringList{"restore", tcp(sim.dataPort), file.fileName()} + options);
        QCOMPARE(restore.finished(), code);
        QCOMPARE(linesOf(restore.out), out);
        checkErrorLine(restore.errors(), err);
        QCOMPARE(client.exchange(1, "BEPDUR*;INTBAU*"), deviceFrame(1, after));
    }
};

QTEST_GUILESS_MAIN(tst_kxctl)
#include "tst_kxctl.moc"
