#include "KXSimPeers.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <signal.h>

using kxsimtest::kWaitMs;
using kxsimtest::SimProcess;

// Runs the real kxctl binary and checks what a user sees.
class tst_kxctl : public QObject
{
    Q_OBJECT

private slots:
    void encodes_data();
    void encodes();
    void decodes_data();
    void decodes();
    void encodeThenDecodeRoundTrips();
    void rejectsBadInput_data();
    void rejectsBadInput();
    void reportsTargetsThatDoNotOpen_data();
    void reportsTargetsThatDoNotOpen();
    void sendsToANetworkDevice_data();
    void sendsToANetworkDevice();
    void sendReportsMissingDevice();
    void sendsToTheSimulator_data();
    void sendsToTheSimulator();
    void sendPrintsJson();
    void sendReportsDeviceFaults_data();
    void sendReportsDeviceFaults();
    void sendsToTheOfflineDevice_data();
    void sendsToTheOfflineDevice();
    void sendsThroughTheDriver_data();
    void sendsThroughTheDriver();
    void monitorPrintsWhatTheDeviceSends_data();
    void monitorPrintsWhatTheDeviceSends();
    void monitorEndsWhenTheDeviceHangsUp();
    void logPrintsTheDeviceLog();

private:
    struct Result
    {
        int code;
        QString out;
        QString err;
    };
    static Result run(const QStringList& args);
    static QString tcp(quint16 port) { return QStringLiteral("tcp://127.0.0.1:%1").arg(port); }
    // The serial endpoint as a target of the given kind: com: or usb:.
    static QString serialTarget(const QString& kind, const SimProcess& sim, const QString& suffix)
    {
        return kind + sim.serialPaths.first() + suffix;
    }
};

namespace {

// kxctl monitor (or any kxctl) as a running child whose output is watched.
class Monitor
{
public:
    explicit Monitor(const QStringList& args)
    {
        QObject::connect(&process, &QProcess::readyReadStandardOutput, [this] {
            out += QString::fromLocal8Bit(process.readAllStandardOutput());
        });
        process.start(QStringLiteral(KXCTL_PATH), args);
    }
    ~Monitor()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(kWaitMs);
        }
    }

    // The lines printed, once there are `count` of them or kxctl has ended.
    QStringList lines(int count)
    {
        // The caller compares the lines; a short list tells what was missing.
        (void)QTest::qWaitFor([&] { return out.count(QLatin1Char('\n')) >= count || !running(); },
                              kWaitMs);
        return out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    // Exit code after the signal, or -1 for anything but a normal exit.
    int stopWith(int signalNumber)
    {
        ::kill(pid_t(process.processId()), signalNumber);
        return finished();
    }

    int finished()
    {
        (void)QTest::qWaitFor([&] { return !running(); }, kWaitMs);
        if (running() || process.exitStatus() != QProcess::NormalExit)
            return -1;
        return process.exitCode();
    }

    bool running() const { return process.state() != QProcess::NotRunning; }
    QString errors() { return QString::fromLocal8Bit(process.readAllStandardError()); }

    QProcess process;
    QString out;
};

QString hexOf(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toHex(' '));
}

} // namespace

tst_kxctl::Result tst_kxctl::run(const QStringList& args)
{
    QProcess process;
    process.start(QStringLiteral(KXCTL_PATH), args);
    if (!process.waitForFinished(30000))
        return {-1, QString(), QStringLiteral("kxctl did not finish")};
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromLocal8Bit(process.readAllStandardOutput()),
            QString::fromLocal8Bit(process.readAllStandardError())};
}

void tst_kxctl::encodes_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("hex");

    QTest::newRow("text envelope") << QStringList({"encode", "DFMQCU;LUAQRY"})
                                   << "7e 01 30 30 30 30 40 44 46 4d 51 43 55 3b 4c 55 41 51 52 "
                                      "59 3b 03";
    QTest::newRow("hash prefix") << QStringList({"encode", "--hash", "DFMQCU"})
                                 << "7e 01 30 30 30 30 23 44 46 4d 51 43 55 3b 03";
    QTest::newRow("length-prefixed") << QStringList({"encode", "--protocol", "7", "DFMQCU;"})
                                     << "7e 07 0a 00 00 00 40 44 46 4d 51 43 55 3b 03";
    QTest::newRow("length-prefixed with CRC")
        << QStringList({"encode", "--protocol", "7", "--crc", "@A"})
        << "7e 07 04 00 00 00 40 41 3b 03 52 d6";
    QTest::newRow("protocol 9 prefixes only")
        << QStringList({"encode", "--protocol", "9", "A"}) << "40 41";
}

void tst_kxctl::encodes()
{
    QFETCH(QStringList, args);
    QFETCH(QString, hex);

    const Result result = run(args);
    QCOMPARE(result.err, QString());
    QCOMPARE(result.code, 0);
    QCOMPARE(result.out.trimmed(), hex);
}

void tst_kxctl::decodes_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("code");
    QTest::addColumn<QStringList>("lines");

    QTest::newRow("device reply")
        << QStringList({"decode", "02 01 30 30 30 30 40 44 46 4d 51 43 55 31 32 06 2c 41 44 44 15 "
                                  "3b 4c 55 41 51 52 59 05 3b 03"})
        << 0
        << QStringList({"protocol: 1 (7E01, text envelope)", "direction: device", "valid: yes",
                        "tag DFM", "  QCU data=\"12\\x06\" [31 32 06] value=\"12\" result=ACK",
                        "  ADD data=\"\\x15\" [15] value=\"\" result=NAK", "tag LUA",
                        "  QRY data=\"\\x05\" [05] value=\"\" result=ENQ"});
    QTest::newRow("checked CRC") << QStringList({"decode", "--crc", "7e07040000004041 3b03 52d6"})
                                 << 3
                                 << QStringList({"crc: ok", "protocol: 7 (7E07, length-prefixed)",
                                                 "direction: host", "valid: no"});
    QTest::newRow("bad CRC") << QStringList({"decode", "--crc", "7e07040000004041 3b03 52d7"}) << 3
                             << QStringList({"crc: bad"});
    QTest::newRow("not a frame") << QStringList({"decode", "414243"}) << 3
                                 << QStringList({"protocol: -1 (not recognised)", "valid: no"});
}

void tst_kxctl::decodes()
{
    QFETCH(QStringList, args);
    QFETCH(int, code);
    QFETCH(QStringList, lines);

    const Result result = run(args);
    QCOMPARE(result.err, QString());
    QCOMPARE(result.out.trimmed().split(QLatin1Char('\n')), lines);
    QCOMPARE(result.code, code);
}

void tst_kxctl::encodeThenDecodeRoundTrips()
{
    const Result encoded = run({"encode", "--protocol", "7", "--crc", "IMGJGT1;2,3"});
    QCOMPARE(encoded.code, 0);
    const Result decoded = run({"decode", "--crc", encoded.out.trimmed()});
    QCOMPARE(decoded.code, 0);
    QVERIFY2(decoded.out.contains("  JGT data=\"1;2,3\""), qPrintable(decoded.out));
}

void tst_kxctl::rejectsBadInput_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");

    QTest::newRow("odd hex") << QStringList({"decode", "7e0"}) << "bad hexadecimal";
    QTest::newRow("non-hex") << QStringList({"decode", "zz"}) << "bad hexadecimal";
    QTest::newRow("no frame") << QStringList({"decode"}) << "expected a frame";
    QTest::newRow("unknown option") << QStringList({"encode", "--fast", "A"}) << "unknown option";
    QTest::newRow("bad protocol") << QStringList({"encode", "--protocol", "2", "A"})
                                  << "--protocol takes";
    QTest::newRow("missing protocol value")
        << QStringList({"encode", "--protocol"}) << "--protocol takes";
    QTest::newRow("no text") << QStringList({"encode"}) << "expected one command text";
    QTest::newRow("crc without envelope")
        << QStringList({"encode", "--protocol", "9", "--crc", "A"}) << "--crc needs";
    QTest::newRow("unknown command") << QStringList({"frobnicate"}) << "unknown command";
    QTest::newRow("send without target") << QStringList({"send", "QRYSYS*"}) << "tcp://HOST:PORT";
    QTest::newRow("send to port 0")
        << QStringList({"send", "tcp://127.0.0.1:0", "A"}) << "tcp://HOST:PORT";
    QTest::newRow("send to port 70000")
        << QStringList({"send", "tcp://127.0.0.1:70000", "A"}) << "port from 1 to 65535";
    QTest::newRow("unknown target kind")
        << QStringList({"send", "serial:/dev/ttyS0", "A"}) << "bad target 'serial:/dev/ttyS0'";
    QTest::newRow("com without path") << QStringList({"send", "com:", "A"}) << "device path";
    QTest::newRow("com with a bad baud rate")
        << QStringList({"send", "com:/dev/ttyS0@fast", "A"}) << "baud rate";
    QTest::newRow("com with a bad framing")
        << QStringList({"send", "com:/dev/ttyS0@9600,9Z1", "A"}) << "framing 9Z1";
    QTest::newRow("usb path with a colon")
        << QStringList({"send", "usb:/dev/a:b", "A"}) << "must not contain ':'";
    QTest::newRow("offline with one file")
        << QStringList({"send", "offline:Offline.xml", "A"}) << "offline:CONFIG,OFFLINE";
    QTest::newRow("offline with protocol 7")
        << QStringList({"send", "offline:", "--protocol", "7", "A"}) << "protocol 1 only";
    QTest::newRow("send with a bad time-out")
        << QStringList({"send", "offline:", "--timeout", "0", "A"}) << "bad value for --timeout";
    QTest::newRow("monitor without target") << QStringList({"monitor"}) << "expected one target";
    QTest::newRow("monitor with a bad target")
        << QStringList({"monitor", "tcp://127.0.0.1"}) << "bad target";
    QTest::newRow("monitor --send without text")
        << QStringList({"monitor", "offline:", "--send"}) << "--send takes";
    QTest::newRow("log without target") << QStringList({"log"}) << "expected one target";
    QTest::newRow("log with a bad target") << QStringList({"log", "usb:"}) << "bad target";
}

void tst_kxctl::rejectsBadInput()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);

    const Result result = run(args);
    QCOMPARE(result.code, 2);
    QCOMPARE(result.out, QString());
    QVERIFY2(result.err.contains(message), qPrintable(result.err));
    QCOMPARE(result.err.count(QLatin1Char('\n')), 1); // one line
}

void tst_kxctl::reportsTargetsThatDoNotOpen_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");

    const QString missing = QStringLiteral("/nonexistent-kxctl-test");
    QTest::newRow("offline files missing")
        << QStringList({"send", "offline:" + missing + "/a.xml," + missing + "/b.xml", "A"})
        << "cannot load the offline device";
    // The driver is there (LD_LIBRARY_PATH), the device is not.
    QTest::newRow("com port missing")
        << QStringList({"send", "com:" + missing, "A"}) << "cannot open com:" + missing;
    QTest::newRow("usb device missing")
        << QStringList({"send", "usb:" + missing, "A"}) << "cannot open usb:" + missing;
    QTest::newRow("monitor of a missing port")
        << QStringList({"monitor", "com:" + missing}) << "cannot open com:";
    QTest::newRow("log of a missing device")
        << QStringList({"log", "offline:" + missing + "/a.xml," + missing + "/b.xml"})
        << "cannot load";
}

void tst_kxctl::reportsTargetsThatDoNotOpen()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);

    const Result result = run(args);
    QCOMPARE(result.code, 5);
    QCOMPARE(result.out, QString());
    QVERIFY2(result.err.contains(message), qPrintable(result.err));
    QVERIFY2(!result.err.contains("LD_LIBRARY_PATH"), qPrintable(result.err));
    QCOMPARE(result.err.count(QLatin1Char('\n')), 1);
}

void tst_kxctl::sendsToANetworkDevice_data()
{
    QTest::addColumn<QString>("protocol");
    QTest::addColumn<QByteArray>("expectedCommand");
    QTest::addColumn<QByteArray>("reply");

    // Barcode bytes ahead of the reply are reported apart from it, as the
    // monitor would show them.
    QTest::newRow("text envelope") << "1"
                                   << QByteArray("\x7E\x01"
                                                 "0000@QRYSYS*;\x03",
                                                 16)
                                   << QByteArray("scan\x02\x01"
                                                 "0000@QRYSYSKX\x06;\x03",
                                                 22);
    QTest::newRow("length-prefixed")
        << "7" << QByteArray("\x7E\x07\x0A\x00\x00\x00@QRYSYS*;\x03", 16)
        << QByteArray("\x02\x07\x0C\x00\x00\x00@QRYSYSKX\x06;\x03", 18);
}

void tst_kxctl::sendsToANetworkDevice()
{
    QFETCH(QString, protocol);
    QFETCH(QByteArray, expectedCommand);
    QFETCH(QByteArray, reply);

    QTcpServer device;
    QVERIFY(device.listen(QHostAddress::LocalHost, 0));
    QProcess kxctl;
    kxctl.start(QStringLiteral(KXCTL_PATH),
                {"send", QStringLiteral("tcp://127.0.0.1:%1").arg(device.serverPort()), "QRYSYS*",
                 "--protocol", protocol});
    QVERIFY(device.waitForNewConnection(10000));
    QTcpSocket* link = device.nextPendingConnection();
    QByteArray received;
    while (received.size() < expectedCommand.size() && link->waitForReadyRead(10000))
        received += link->readAll();
    QCOMPARE(received, expectedCommand);
    // The reply comes in two pieces, as it may over a network.
    link->write(reply.left(9));
    QVERIFY(link->waitForBytesWritten(5000));
    link->write(reply.mid(9));
    QVERIFY(link->waitForBytesWritten(5000));
    QVERIFY(kxctl.waitForFinished(10000));
    const QString out = QString::fromLocal8Bit(kxctl.readAllStandardOutput());
    QCOMPARE(kxctl.exitCode(), 0);
    const QStringList lines = out.split(QLatin1Char('\n'));
    QCOMPARE(lines.first(), "sent: " + hexOf(expectedCommand));
    const QString replyLine = "reply: " + hexOf(reply.mid(reply.indexOf('\x02')));
    QVERIFY2(lines.contains(replyLine), qPrintable(out));
    QVERIFY2(out.contains("  SYS data=\"KX\\x06\" [4b 58 06] value=\"KX\" result=ACK"),
             qPrintable(out));
    // Upstream bytes come before the reply, as they came from the device.
    if (reply.startsWith("scan"))
        QCOMPARE(lines.at(1), "barcode: scan [73 63 61 6e]");
    else
        QCOMPARE(lines.at(1), replyLine);
}

void tst_kxctl::sendReportsMissingDevice()
{
    QTcpServer device;
    QVERIFY(device.listen(QHostAddress::LocalHost, 0));
    const quint16 port = device.serverPort();
    // A device that accepts but never answers.
    const QString target = QStringLiteral("tcp://127.0.0.1:%1").arg(port);
    // Text that is no command is not sent at all.
    const Result invalid = run({"send", target, "X"});
    QCOMPARE(invalid.code, 6);
    QVERIFY2(invalid.err.contains("not a valid framed command (error -22)"),
             qPrintable(invalid.err));
    const Result silent = run({"send", target, "--timeout", "300", "QRYSYS*"});
    QCOMPARE(silent.code, 4);
    QVERIFY2(silent.err.contains("no reply within 300 ms (error -1)"), qPrintable(silent.err));
    device.close();
    const Result absent = run({"send", target, "QRYSYS*"});
    QCOMPARE(absent.code, 5);
    QVERIFY(absent.err.contains("cannot connect"));
    QCOMPARE(absent.err.count(QLatin1Char('\n')), 1);
}

void tst_kxctl::sendsToTheSimulator_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("described");

    QTest::newRow("text envelope")
        << QStringList() << "SCNMOD*;BEPDURxyz;ZZZQRY*"
        << QStringList({"tag SCN", "  MOD data=\"2\\x06\" [32 06] value=\"2\" result=ACK",
                        "tag BEP", "  DUR data=\"xyz\\x15\" [78 79 7a 15] value=\"xyz\" result=NAK",
                        "tag ZZZ", "  QRY data=\"\\x05\" [05] value=\"\" result=ENQ"});
    QTest::newRow("length-prefixed")
        << QStringList({"--protocol", "7"}) << "SCNMOD*"
        << QStringList({"protocol: 7 (7E07, length-prefixed)", "tag SCN",
                        "  MOD data=\"2\\x06\" [32 06] value=\"2\" result=ACK"});
}

void tst_kxctl::sendsToTheSimulator()
{
    QFETCH(QStringList, options);
    QFETCH(QString, text);
    QFETCH(QStringList, described);

    SimProcess sim;
    QVERIFY(sim.start({"--port", "0", "--log-port", "0"}));
    const Result result = run(QStringList({"send", tcp(sim.dataPort), text}) + options);
    QCOMPARE(result.err, QString());
    QCOMPARE(result.code, 0);
    for (const QString& line : described)
        QVERIFY2(result.out.split(QLatin1Char('\n')).contains(line), qPrintable(result.out));
}

void tst_kxctl::sendPrintsJson()
{
    SimProcess sim;
    QVERIFY(sim.start({"--port", "0", "--log-port", "0"}));
    const Result result = run({"send", tcp(sim.dataPort), "--json", "SCNMOD*;BEPDURxyz;ZZZQRY*"});
    QCOMPARE(result.err, QString());
    QCOMPARE(result.code, 0);
    QJsonParseError error{};
    const QJsonObject object = QJsonDocument::fromJson(result.out.toUtf8(), &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(result.out.count(QLatin1Char('\n')), 1);
    QCOMPARE(object.value("error").toInt(-100), 0);
    QCOMPARE(object.value("sent").toString(), "7e0130303030405343"
                                              "4e4d4f442a3b4245504455527879"
                                              "7a3b5a5a5a5152592a3b03");
    const QByteArray reply = QByteArray::fromHex(object.value("reply").toString().toLatin1());
    QVERIFY2(reply.startsWith("\x02\x01"
                              "0000@SCNMOD2\x06"),
             reply.constData());
    QVERIFY(reply.endsWith(";\x03"));
    const auto entry = [](const char* cmd, const char* value, const char* outcome) {
        return QJsonObject{{"cmd", cmd}, {"value", value}, {"result", outcome}};
    };
    const QJsonArray expected{entry("SCNMOD", "2", "ACK"), entry("BEPDUR", "xyz", "NAK"),
                              entry("ZZZQRY", "", "ENQ")};
    QCOMPARE(object.value("results").toArray(), expected);

    // A failure still gives one object, with the error code and no reply.
    QCOMPARE(run({"send", tcp(sim.dataPort), "SIMSIL1"}).code, 0);
    const Result silent = run({"send", tcp(sim.dataPort), "--json", "--timeout", "300", "SCNMOD*"});
    QCOMPARE(silent.code, 4);
    QCOMPARE(silent.err.count(QLatin1Char('\n')), 1);
    const QJsonObject failed = QJsonDocument::fromJson(silent.out.toUtf8()).object();
    QCOMPARE(failed.value("error").toInt(), -1);
    QCOMPARE(failed.value("reply").toString(), QString(""));
    QCOMPARE(failed.value("results").toArray(), QJsonArray());
}

void tst_kxctl::sendReportsDeviceFaults_data()
{
    QTest::addColumn<QString>("trigger");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");

    QTest::newRow("silent device") << "SIMSIL1" << QStringList({"--timeout", "300"}) << 4
                                   << "no reply within 300 ms (error -1)";
    QTest::newRow("corrupt length-prefixed reply") << "SIMCRP1" << QStringList({"--protocol", "7"})
                                                   << 3 << "the reply failed its check (error -23)";
    QTest::newRow("garbage instead of a reply") << "SIMGRB1" << QStringList({"--timeout", "300"})
                                                << 4 << "no reply within 300 ms (error -1)";
}

void tst_kxctl::sendReportsDeviceFaults()
{
    QFETCH(QString, trigger);
    QFETCH(QStringList, options);
    QFETCH(int, code);
    QFETCH(QString, message);

    SimProcess sim;
    QVERIFY(sim.start({"--port", "0", "--log-port", "0"}));
    const Result armed = run({"send", tcp(sim.dataPort), trigger});
    QCOMPARE(armed.code, 0);
    QVERIFY2(armed.out.contains("result=ACK"), qPrintable(armed.out));
    const Result result = run(QStringList({"send", tcp(sim.dataPort), "SCNMOD*"}) + options);
    QCOMPARE(result.code, code);
    QVERIFY2(result.err.contains(message), qPrintable(result.err));
    QCOMPARE(result.err.count(QLatin1Char('\n')), 1);
    QVERIFY(result.out.startsWith("sent: "));
    QVERIFY(!result.out.contains("result=ACK"));
}

void tst_kxctl::sendsToTheOfflineDevice_data()
{
    QTest::addColumn<QString>("target");

    const QString folder = QStringLiteral(KX_SAMPLE_DEVICE_DIR);
    QTest::newRow("sample device") << "offline:";
    QTest::newRow("named files") << "offline:" + folder + "/DeviceConfiguration.xml," + folder +
                                        "/Offline.xml";
}

void tst_kxctl::sendsToTheOfflineDevice()
{
    QFETCH(QString, target);

    const Result result = run({"send", target, "SCNMOD*;ZZZQRY*"});
    QCOMPARE(result.err, QString());
    QCOMPARE(result.code, 0);
    QVERIFY2(result.out.contains("reply: 02 01 30 30 30 30 40 53 43 4e 4d 4f 44 32 06"),
             qPrintable(result.out));
    QVERIFY(result.out.contains("  MOD data=\"2\\x06\" [32 06] value=\"2\" result=ACK"));
    QVERIFY(result.out.contains("  QRY data=\"\\x05\" [05] value=\"\" result=ENQ"));
}

void tst_kxctl::sendsThroughTheDriver_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("suffix");

    QTest::newRow("com") << "com:"
                         << "";
    QTest::newRow("com with settings") << "com:"
                                       << "@115200,8N1";
    QTest::newRow("usb") << "usb:"
                         << "";
}

void tst_kxctl::sendsThroughTheDriver()
{
    QFETCH(QString, kind);
    QFETCH(QString, suffix);

    SimProcess sim;
    QVERIFY(sim.start({"--port", "0", "--log-port", "0", "--serial"}, true));
    const QString target = serialTarget(kind, sim, suffix);
    for (const char* text : {"SCNMOD*", "BEPDUR*"}) {
        const Result result = run({"send", target, QString::fromLatin1(text)});
        QCOMPARE(result.err, QString());
        QCOMPARE(result.code, 0);
        QVERIFY2(result.out.contains(QStringLiteral("tag %1").arg(QLatin1String(text, 3))),
                 qPrintable(result.out));
        QVERIFY(result.out.contains("result=ACK"));
    }
}

void tst_kxctl::monitorPrintsWhatTheDeviceSends_data()
{
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QStringList>("monitorArgs");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<int>("stopSignal");

    const QString barcode1 =
        "barcode: KXSIM-BARCODE-0001\\x0d\\x0a [" + hexOf("KXSIM-BARCODE-0001\r\n") + "]";
    const QString barcode2 =
        "barcode: KXSIM-BARCODE-0002\\x0d\\x0a [" + hexOf("KXSIM-BARCODE-0002\r\n") + "]";
    const QString message1 =
        "message: " +
        hexOf(QByteArray("\x02\x08\x1b\x00\x00\x00@RUNDATKXSIM-MESSAGE-0001;\x03", 33));
    // The trigger answers on the link that sent it: the monitor's own.
    QTest::newRow("triggered on tcp, SIGINT")
        << QStringList() << "tcp" << QStringList({"--send", "SIMBAR1,MSG1"})
        << QStringList({barcode1, message1}) << SIGINT;
    QTest::newRow("sent on connection, SIGTERM")
        << QStringList({"--barcodes", "2", "--gap", "250"}) << "tcp" << QStringList()
        << QStringList({barcode1, barcode2}) << SIGTERM;
    QTest::newRow("triggered on a serial port")
        << QStringList({"--serial"}) << "com:" << QStringList({"--send", "SIMBAR1"})
        << QStringList({barcode1}) << SIGINT;
}

void tst_kxctl::monitorPrintsWhatTheDeviceSends()
{
    QFETCH(QStringList, simArgs);
    QFETCH(QString, kind);
    QFETCH(QStringList, monitorArgs);
    QFETCH(QStringList, expected);
    QFETCH(int, stopSignal);

    SimProcess sim;
    QVERIFY(sim.start(QStringList({"--port", "0", "--log-port", "0"}) + simArgs,
                      simArgs.contains("--serial")));
    const QString target =
        kind == QLatin1String("tcp") ? tcp(sim.dataPort) : serialTarget(kind, sim, QString());
    Monitor monitor(QStringList({"monitor", target}) + monitorArgs);
    QCOMPARE(monitor.lines(expected.size()), expected);
    QCOMPARE(monitor.stopWith(stopSignal), 0);
    QCOMPARE(monitor.errors(), QString());
    QCOMPARE(monitor.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts), expected);
}

void tst_kxctl::monitorEndsWhenTheDeviceHangsUp()
{
    SimProcess sim;
    QVERIFY(sim.start({"--port", "0", "--log-port", "0"}));
    Monitor monitor({"monitor", tcp(sim.dataPort), "--send", "SIMBAR1"});
    QCOMPARE(monitor.lines(1).size(), 1);
    sim.stop();
    QCOMPARE(monitor.finished(), 5);
    const QString errors = monitor.errors();
    QVERIFY2(errors.contains("closed the link"), qPrintable(errors));
    QCOMPARE(errors.count(QLatin1Char('\n')), 1);
}

void tst_kxctl::logPrintsTheDeviceLog()
{
    SimProcess sim;
    QVERIFY(sim.start({"--port", "0", "--log-port", "0"}));
    QCOMPARE(run({"send", tcp(sim.dataPort), "SCNMOD*"}).code, 0);
    const Result result = run({"log", tcp(sim.logPort)});
    QCOMPARE(result.err, QString());
    QCOMPARE(result.code, 0);
    const QStringList lines = result.out.split(QStringLiteral("\r\n"));
    const QRegularExpression command(
        QStringLiteral("^\\d{6} command from tcp 127\\.0\\.0\\.1:\\d+: SCNMOD\\*$"));
    QVERIFY2(lines.indexOf(command) >= 0, qPrintable(result.out));
    QVERIFY(result.out.startsWith("000001 device files "));
    QVERIFY(result.out.endsWith("\r\n"));

    // Nothing listens on the log port of a stopped simulator.
    sim.stop();
    const Result closed = run({"log", tcp(sim.logPort)});
    QCOMPARE(closed.code, 5);
    QVERIFY2(closed.err.contains("cannot connect"), qPrintable(closed.err));
}

QTEST_GUILESS_MAIN(tst_kxctl)
#include "tst_kxctl.moc"
