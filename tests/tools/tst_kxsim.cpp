#include "KXSimPeers.h"
#include "datastream/KXCodecTestUtil.h"
#include "datastream/KXDataStreamInternal.h"
#include "driver/KXDriverTestUtil.h"
#include "transport/KXSerialPortAdaptor.h"

#include <QFileInfo>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

using namespace kxsimtest;
using kxtest::fetch;
using kxtest::table;

namespace {

// Every byte a frame start that starts no frame.
const QByteArray kJunk(4 * 1024 * 1024, '\x7E');

const QByteArray kLevel3 = deviceFrame(1, "BEPLVL3\x06"); // the answer to BEPLVL*

// Unsolicited data as kxsim numbers it: B a barcode, M a message, C a
// corrupt message.
QByteArray unsolicited(const QByteArray& pieces)
{
    QByteArray bytes;
    int numbers[2] = {0, 0};
    for (char piece : pieces) {
        const QByteArray number =
            QByteArray::number(++numbers[piece != 'B']).rightJustified(4, '0');
        const QByteArray message = deviceFrame(8, "RUNDATKXSIM-MESSAGE-" + number);
        bytes += piece == 'B'   ? "KXSIM-BARCODE-" + number + "\r\n"
                 : piece == 'M' ? message
                                : message.chopped(2) + QByteArray(2, '\0');
    }
    return bytes;
}

bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// The pseudo-terminal through the driver library, as a host opens it.
bool openSerial(KXSerialPortAdaptor& adaptor, const QString& path)
{
    qputenv("KXDS_EXTRA_PORTS", path.toLocal8Bit());
    return adaptor.openCom(kxtest::u8(kxtest::comRecord(KXDS_PORT_EXTRA_BASE)), nullptr);
}

QByteArray serialExchange(KXSerialPortAdaptor& adaptor, int protocol, const QByteArray& text)
{
    QByteArray out;
    if (adaptor.write(hostFrame(protocol, text)))
        adaptor.read_until(out, kWaitMs, IDataStreamReadWrite::NoInterval, ";\x03", 2, nullptr);
    return out;
}

} // namespace

// Runs the real kxsim and talks to it as hosts do: raw TCP clients on the
// data and log ports, and the driver library on its pseudo-terminal.
class tst_kxsim : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<SimProcess> m_sim;

    // Starts kxsim on the test device with free ports, and connects `client`
    // to its data port.
    bool startSim(const QStringList& extra = {}, SimClient* client = nullptr,
                  const QStringList& wrapper = {})
    {
        m_sim = std::make_unique<SimProcess>();
        m_sim->wrapper = wrapper;
        const QStringList args = QStringList{"--port", "0", "--log-port", "0"} +
                                 QStringList{"--config", m_dir.filePath("DeviceConfiguration.xml"),
                                             "--offline", m_dir.filePath("Offline.xml")};
        return m_sim->start(args + extra, extra.contains("--serial")) &&
               (!client || client->connectTo(m_sim->dataPort));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(writeFile(m_dir.filePath(QStringLiteral("Offline.xml")), "<offline/>"));
        QVERIFY(writeFile(
            m_dir.filePath(QStringLiteral("DeviceConfiguration.xml")),
            "<DeviceConfiguration><Setting><CommandName>BEPLVL</CommandName><SettingsList>0-10"
            "</SettingsList><Default>3</Default><Minimum>0</Minimum><Maximum>10</Maximum></Setting>"
            "<Setting><CommandName>BEPTON</CommandName><SettingsList>0:Low|1:High</SettingsList>"
            "<Default>1</Default><Minimum>0</Minimum><Maximum>1</Maximum></Setting>"
            "<Setting><CommandName>BASQSY</CommandName><Default>base</Default></Setting>"
            "</DeviceConfiguration>"));
        // kxsim's memory is measured: keep a sanitizer build's store of freed
        // blocks small.
        qputenv("ASAN_OPTIONS", qgetenv("ASAN_OPTIONS") + ":quarantine_size_mb=8");
    }

    void cleanup()
    {
        // Every run must end cleanly, which also checks a sanitizer build's
        // child for leaks and errors.
        if (m_sim && m_sim->process().state() == QProcess::Running)
            QVERIFY2(m_sim->exitsOn(SIGTERM), qPrintable(m_sim->errors()));
        m_sim.reset();
    }

    // ---- command line and start-up

    void handlesItsCommandLine_data()
    {
        // The arguments ("@name": a file in the test folder), the exit code,
        // and words that must each be in what kxsim prints.
        const auto row = table<QStringList, int, QString>();
        row("help", {"--help"}, 0,
            "--config --offline --base --gun --bind --port --log-port --serial --serial-path "
            "--delay --silent --garbage --partial --corrupt --close-after "
            "--barcodes --messages --mixed --gap --log-lines --log-stream SIMDLY "
            "SIMSIL SIMGRB SIMPRT SIMCRP SIMCLA SIMONE SIMCLS SIMBAR SIMMSG SIMMIX "
            "SIMGAP SIMLGL SIMLOG SIMRST --udp --udp-port --udp-devices --udp-silent "
            "--udp-malformed SIMUSL SIMUMF");
        row("unknown option", {"--fast"}, 2, "unknown argument");
        row("port out of range", {"--port", "65536"}, 2, "--port takes");
        row("negative delay", {"--delay", "-1"}, 2, "--delay takes");
        row("missing value", {"--log-port"}, 2, "needs a value");
        row("config alone", {"--config", "x.xml"}, 2, "go together");
        row("gun alone", {"--gun"}, 2, "--gun goes with --base");
        row("no devices", {"--udp-devices", "0"}, 2, "--udp-devices");
        row("host name", {"--bind", "example.com"}, 2, "numeric IP");
        row("log stream too fast", {"--log-stream", "1"}, 2, "--log-stream");
        row("greeting past 4 MiB", {"--barcodes", "100000", "--mixed", "100000"}, 2,
            "data per link");
        row("missing configuration", {"--config", "@missing.xml", "--offline", "@Offline.xml"}, 1,
            "cannot load");
        row("data port taken", {"--port", "@taken"}, 1, "cannot listen");
        row("symlink path is a file",
            {"--port", "0", "--log-port", "0", "--serial-path", "@a-file"}, 1, "not a symlink");
    }

    void handlesItsCommandLine()
    {
        auto [args, exitCode, words] = fetch<QStringList, int, QString>();

        QTcpServer taken;
        QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
        const QString file = m_dir.filePath(QStringLiteral("a-file"));
        QVERIFY(writeFile(file, "x"));
        for (QString& arg : args) {
            if (arg.startsWith(QLatin1Char('@')))
                arg = arg == QLatin1String("@taken") ? QString::number(taken.serverPort())
                                                     : m_dir.filePath(arg.mid(1));
        }
        QProcess process;
        process.start(QStringLiteral(KXSIM_PATH), args);
        QVERIFY(process.waitForFinished(kWaitMs));
        QCOMPARE(process.exitCode(), exitCode);
        const QByteArray out = process.readAllStandardOutput();
        const QByteArray err = process.readAllStandardError();
        QCOMPARE(exitCode ? out : err, QByteArray()); // usage on stdout, errors on stderr
        for (const QString& word : words.split(QLatin1Char(' ')))
            QVERIFY2((exitCode ? err : out).contains(word.toLocal8Bit()), qPrintable(word));
        QVERIFY(QFileInfo(file).isFile()); // never replaced
    }

    // ---- answering, faults, hanging up

    void answers()
    {
        // Each command, then its reply text, alternately in protocol 1 and 7: as
        // given, "" as the offline engine answers (it sees every command, to stay
        // in step), "-" for none.
        const QByteArrayList exchanges{
            "BEPLVL*", "BEPLVL3\x06", "BEPLVL7", "BEPLVL7\x06", "BEPLVL*;BEPTON&", "",
            "BEPLVL^,TON*", "BEPLVL0-10\x06,TON1\x06", "*", "", "^", "", "&", "", "BEPTON0", "",
            "*", "",
            // Triggers: name, value in force and ACK, ENQ or NAK, per command.
            "SIMDLY25", "SIMDLY25\x06", "SIMGAP*", "SIMGAP100\x06", "SIMSIL,SIL*,SIL0",
            "SIMSIL1\x06,SIL1\x06,SIL0\x06", "SIMDLY5;SIMCLA*", "SIMDLY5\x06,CLA0\x06",
            "SIMONEDLY20,ONESIL", "SIMONEDLY20\x06,ONESIL1\x06",
            // The idle probe is answered and leaves a one-shot fault for the next
            // command; the keep-alive is not answered.
            "#INTERF*", "", "#KEPALV", "-", "BEPTON*", "-",
            // More triggers.
            "SIMDLYabc", "SIMDLYabc\x15", "SIMGRB2", "SIMGRB2\x15", "SIMONEXYZ", "SIMONEXYZ\x15",
            "SIMCLS5", "SIMCLS5\x15", "SIMXYZ1", "SIMXYZ\x05",
            // The engine never sees a trigger frame, not even a device command in it.
            "SIMRST;BEPLVL9", "SIMRST\x06;BEPLVL\x05", "BEPLVL*", "BEPLVL7\x06",
            // A scanner refuses the base station's queries and answers the rest.
            "BASQSY;BEPLVL*,TON*", "BASQSY\x15;BEPLVL7\x06;BEPTON0\x06"};

        KXOffLineEngine engine; // the same device
        QVERIFY(engine.loadFiles(m_dir.filePath(QStringLiteral("DeviceConfiguration.xml")),
                                 m_dir.filePath(QStringLiteral("Offline.xml"))));
        SimClient client;
        QVERIFY(startSim({}, &client));
        for (int i = 0; i < exchanges.size(); i += 2) {
            const int protocol = i % 4 ? 7 : 1;
            const QByteArray& text = exchanges.at(i);
            const QByteArray& expected = exchanges.at(i + 1);
            QByteArray engineText;
            engine.answerText(text.startsWith('#') ? text.mid(1) : text, engineText);
            if (expected == "-") // a reply would show up as the next one
                client.send(hostFrame(protocol, text));
            else
                QCOMPARE(client.exchange(protocol, text),
                         deviceFrame(protocol, expected.isEmpty() ? engineText : expected));
        }
    }

    void misbehavesOnFaults_data()
    {
        // kxsim's options, a trigger, the protocol, and what each of two
        // commands gets: Ok, Silent, Garbage, Partial, Corrupt, Delayed by
        // `delayMs` (an Ok reply then comes sooner), or its reply and then a
        // hang-up (eXit).
        const auto add = table<QStringList, QByteArray, int, QByteArray, int>();
        const auto row = [&add](const char* name, const QStringList& options, const char* trigger,
                                int protocol, const char* outcomes, int delayMs = 0) {
            add(name, options, trigger, protocol, outcomes, delayMs);
        };
        row("silent", {}, "SIMSIL1", 1, "SS");
        row("silent once", {}, "SIMONESIL", 7, "SO");
        row("garbage", {}, "SIMGRB1", 1, "GG");
        row("garbage once", {}, "SIMONEGRB1", 7, "GO");
        row("partial", {}, "SIMPRT1", 7, "PP");
        row("partial once", {}, "SIMONEPRT", 1, "PO");
        row("corrupt p7", {}, "SIMCRP1", 7, "CC");
        row("corrupt leaves p1 alone", {}, "SIMCRP1", 1, "OO");
        row("corrupt once", {}, "SIMONECRP1", 7, "CO");
        row("delay", {}, "SIMDLY300", 1, "DD", 300);
        row("delay once", {}, "SIMONEDLY1500", 7, "DO", 1500);
        row("fault switched off", {}, "SIMGRB1,GRB0", 1, "OO");
        row("reset", {}, "SIMSIL1,PRT1;SIMRST", 1, "OO");
        row("--silent", {"--silent"}, "", 1, "SS");
        row("--garbage", {"--garbage"}, "", 7, "GG");
        row("--partial", {"--partial"}, "", 1, "PP");
        row("--corrupt", {"--corrupt"}, "", 7, "CC");
        row("--delay", {"--delay", "300"}, "", 7, "DD", 300);
        row("--silent undone by reset", {"--silent"}, "SIMRST", 7, "OO");
        row("close after two", {}, "SIMCLA2", 7, "OX");
        row("--close-after 1", {"--close-after", "1"}, "", 1, "X");
    }

    void misbehavesOnFaults()
    {
        const auto [options, trigger, protocol, outcomes, delayMs] =
            fetch<QStringList, QByteArray, int, QByteArray, int>();

        SimClient client;
        QVERIFY(startSim(options, &client));
        QVERIFY(trigger.isEmpty() || client.exchange(1, trigger).endsWith("\x06;\x03"));
        // The set takes effect whatever becomes of its reply.
        const QByteArray reply = deviceFrame(protocol, "BEPLVL6\x06");
        const QByteArray shaped[] = {
            reply, reply, {}, reply.left(reply.size() / 2), reply.chopped(2) + QByteArray(2, '\0')};
        for (int i = 0; i < outcomes.size(); ++i) {
            QElapsedTimer timer;
            timer.start();
            const char outcome = outcomes.at(i);
            const QByteArray command = hostFrame(protocol, i ? "BEPLVL*" : "BEPLVL6");
            if (outcome == 'X') { // the marker is never read
                client.send(command + hostFrame(1, kMarker));
                QVERIFY(client.waitForDisconnect());
                QCOMPARE(client.received, reply);
                client.received.clear(); // the device itself is fine
                QVERIFY(client.connectTo(m_sim->dataPort));
                QCOMPARE(client.exchange(1, "BEPLVL*"), deviceFrame(1, "BEPLVL6\x06"));
                break;
            }
            const QByteArray got = client.sendMarked(command);
            if (outcome == 'G') // bytes that hold no frame
                QVERIFY(!got.isEmpty() && !got.contains('\x02') && !got.contains(";\x03"));
            else
                QCOMPARE(got, shaped[QByteArray("ODSPC").indexOf(outcome)]);
            if (delayMs > 0)
                QVERIFY2(outcome == 'D' ? timer.elapsed() >= delayMs - 10
                                        : timer.elapsed() < delayMs,
                         qPrintable(QStringLiteral("%1 ms").arg(timer.elapsed())));
        }
    }

    // ---- unsolicited data and the log

    // Frames however the stream splits them, unsolicited data after the
    // reply to its trigger.
    void sendsWhatAStreamAsksFor_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<bool>("byteByByte");
        QTest::addColumn<QByteArray>("expected"); // all that kxsim sends, exactly

        const auto row = [](const char* name, const QStringList& options, const QByteArray& stream,
                            const QByteArray& expected, bool byteByByte = false) {
            QTest::newRow(name) << options << stream << byteByByte << expected;
        };
        const QByteArray set1 = hostFrame(1, "BEPLVL5");
        const QByteArray query1 = hostFrame(1, "BEPLVL*");
        const QByteArray query7 = hostFrame(7, "BEPLVL*;"); // declared length one past the payload
        const QByteArray set7 = hostFrame(7, "BEPTON0");    // declared length equal to the payload
        const QByteArray level5 = deviceFrame(1, "BEPLVL5\x06");
        const QByteArray tone7 = deviceFrame(7, "BEPTON0\x06");
        QByteArray withCrc = set7;
        appendDataStreamChecksum(withCrc, true);
        row("p1 byte by byte", {}, set1 + query1, level5 + level5, true);
        row("p7 byte by byte", {}, set7 + query7, tone7 + deviceFrame(7, "BEPLVL3\x06"), true);
        row("joined in one write", {}, set1 + query7 + set7 + query1,
            level5 + deviceFrame(7, "BEPLVL5\x06") + tone7 + level5);
        row("junk before and between", {},
            "junk\x7E\x02\x7E" + set1 + QByteArray("\x00\xFF~", 3) + query1, level5 + level5);
        row("cut-off frame before a whole one", {},
            hostFrame(1, "BEPLVL9").left(10) + set1 + query1, level5 + level5);
        row("p7 with a CRC after it", {}, withCrc + query1, tone7 + kLevel3);
        row("p7 header with an absurd length", {}, hexThen("7E07FFFFFF7F", "") + query1, kLevel3);
        row("4 MiB of junk", {}, kJunk + query1, kLevel3);

        const auto triggered = [&row](const char* name, const QStringList& options,
                                      const QByteArray& trigger, const QByteArray& replyText,
                                      const QByteArray& pieces) {
            row(name, options, hostFrame(1, trigger),
                deviceFrame(1, replyText) + unsolicited(pieces));
        };
        const QStringList fast{"--gap", "10"};
        triggered("messages", fast, "SIMMSG2", "SIMMSG2\x06", "MM");
        triggered("burst", fast, "SIMMIX2", "SIMMIX2\x06", "BMBM");
        triggered("all three", fast, "SIMBAR1;SIMMSG1;SIMMIX1", "SIMBAR1\x06,MSG1\x06,MIX1\x06",
                  "BMBM");
        triggered("corrupt messages", fast, "SIMCRP1;SIMMSG1", "SIMCRP1\x06,MSG1\x06", "C");
        row("on connection", {"--barcodes", "2", "--messages", "1", "--mixed", "1", "--gap", "10"},
            {}, unsolicited("BBMBM"));
        // Replies do not wait behind unsolicited data.
        row("replies first", {"--gap", "2000"}, hostFrame(1, "SIMBAR2") + hostFrame(7, "BEPLVL*"),
            deviceFrame(1, "SIMBAR2\x06") + deviceFrame(7, "BEPLVL3\x06") + unsolicited("BB"));
        // At most 4 MiB a frame, each piece as long as the last number makes
        // it: 50000 pairs fit, 100000 do not; an item past it changes nothing.
        const QStringList now{"--gap", "0"};
        triggered("4 KB of SIMMIX", now, "SIMMIX50000" + QByteArray(",MIX50000").repeated(400),
                  "SIMMIX50000\x06" + QByteArray(",MIX50000\x15").repeated(400),
                  QByteArray("BM").repeated(50000));
        triggered("every kind counts", now, "SIMBAR100000,MSG60000,MIX1",
                  "SIMBAR100000\x06,MSG60000\x15,MIX1\x06", QByteArray(100001, 'B') + 'M');
        triggered("log lines count", now, "SIMLGL60000,LGL60000", "SIMLGL60000\x06,LGL60000\x15",
                  "");
    }

    void sendsWhatAStreamAsksFor()
    {
        QFETCH(QStringList, options);
        QFETCH(QByteArray, stream);
        QFETCH(bool, byteByByte);
        QFETCH(QByteArray, expected);

        SimClient client;
        QVERIFY(startSim(options, &client));
        const double cpu = m_sim->cpuSeconds();
        for (int i = 0; i < stream.size(); i += byteByByte ? 1 : stream.size())
            client.send(stream.mid(i, byteByByte ? 1 : -1));
        QVERIFY(client.waitFor([&] { return client.received.size() >= expected.size(); }));
        QCOMPARE(client.received, expected);
        client.received.clear();
        QCOMPARE(client.sendMarked(), QByteArray()); // nothing more
        // Each byte read is looked at a bounded number of times (rows that
        // have kxsim make data are left out).
        const double used = m_sim->cpuSeconds() - cpu;
        QVERIFY2(!options.isEmpty() || used < 1.0, qPrintable(QStringLiteral("%1 s").arg(used)));
    }

    void servesTheLog()
    {
        SimClient data;
        SimClient log;
        QVERIFY(startSim({"--log-lines", "3000", "--log-stream", "20"}, &data) &&
                log.connectTo(m_sim->logPort));
        // Streamed from the start: a tick line every 20 ms, and every event.
        QVERIFY(log.waitFor([&] { return log.received.count("tick\r\n") >= 3; }));
        QCOMPARE(data.exchange(1, "SIMLOG0"), deviceFrame(1, "SIMLOG0\x06"));
        QVERIFY(log.waitFor([&] { return log.received.contains("SIMLOG0"); })); // the last one

        const QByteArray first = log.queryLog();
        QVERIFY2(first.size() > 3000 * 40, first.left(40).constData());
        QVERIFY(first.contains("status line") && first.endsWith("\r\n"));
        // A later query sees what happened since: the command from a data link.
        QCOMPARE(data.exchange(1, "BEPLVL*"), kLevel3);
        const QByteArray second = log.queryLog();
        QVERIFY(second.startsWith(first) && second.mid(first.size()).contains("BEPLVL*"));

        QCOMPARE(data.exchange(1, "SIMLOG20"), deviceFrame(1, "SIMLOG20\x06"));
        QCOMPARE(data.exchange(1, "BEPTON*"), deviceFrame(1, "BEPTON1\x06"));
        QVERIFY(log.waitFor([&] { return log.received.count("tick\r\n") >= 3; }));
        QVERIFY(log.received.contains("BEPTON*"));
    }

    // ---- hosts that ask too much

    void holdsBackClientsThatDoNotRead_data()
    {
        QTest::addColumn<bool>("logPort");
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("answer"); // how each answer starts

        QTest::newRow("log queries")
            << true << hexThen("7E01", "0000@LOGQRY;\x03") << hexThen("0201", "0000@LOGQRY");
        QTest::newRow("data triggers")
            << false << hostFrame(1, "SIMMIX1000") << deviceFrame(1, "SIMMIX1000\x06");
    }

    void holdsBackClientsThatDoNotRead()
    {
        QFETCH(bool, logPort);
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, answer);

        // 1000 answers of about 60 KB each, asked for in one write.
        QVERIFY(startSim({"--log-lines", "1000", "--gap", "0"}));
        const qint64 before = m_sim->rssKiB();
        QTcpSocket client;
        client.setReadBufferSize(4096); // and reads nothing for now
        client.connectToHost(QHostAddress::LocalHost, logPort ? m_sim->logPort : m_sim->dataPort);
        QVERIFY(client.waitForConnected(kWaitMs));
        const qint64 taken = m_sim->bytesRead();
        client.write(request.repeated(1000));
        client.flush();
        // Once kxsim has read the requests, a later link is answered after it
        // has dealt with them.
        QTRY_VERIFY_WITH_TIMEOUT(m_sim->bytesRead() >= taken + 1000 * request.size(), kWaitMs);
        SimClient probe;
        QVERIFY(probe.connectTo(m_sim->dataPort));
        QCOMPARE(probe.exchange(1, "BEPLVL*"), kLevel3);
        const qint64 growth = m_sim->rssKiB() - before;
        QVERIFY2(growth < 48 * 1024, qPrintable(QStringLiteral("%1 KiB").arg(growth)));

        // Every request is answered once the client reads.
        int answers = 0;
        QByteArray tail; // may hold the start of an answer
        const auto read = [&] {
            const QByteArray chunk = tail + client.readAll();
            answers += int(chunk.count(answer));
            tail = chunk.right(answer.size() - 1);
        };
        connect(&client, &QTcpSocket::readyRead, read);
        read();
        QTRY_COMPARE_WITH_TIMEOUT(answers, 1000, 6 * kWaitMs);
        QVERIFY(m_sim->exitsOn(SIGINT)); // SIGTERM is what cleanup() sends
    }

    void survivesMoreConnectionsThanItServes_data()
    {
        const auto row = table<QStringList, int>({"wrapper", "clients"});
        row("64 links a port", {}, 66);
        // Without a free descriptor a sanitizer build cannot check dynamic types
        // and takes every such check as failed: those checks are off here.
        const QString suppressions = m_dir.filePath(QStringLiteral("no-type-checks.supp"));
        QVERIFY(writeFile(suppressions, "vptr:*\n"));
        const QString ubsan =
            "UBSAN_OPTIONS=" + qgetenv("UBSAN_OPTIONS") + ":suppressions=" + suppressions;
        row("out of descriptors", {"env", ubsan, "prlimit", "--nofile=32"}, 40);
    }

    void survivesMoreConnectionsThanItServes()
    {
        QFETCH(QStringList, wrapper);
        QFETCH(int, clients);

        QVERIFY(startSim({}, nullptr, wrapper));
        const int idleFiles = m_sim->openFiles();
        std::vector<std::unique_ptr<SimClient>> links;
        for (int i = 0; i < clients; ++i) {
            links.push_back(std::make_unique<SimClient>());
            QVERIFY(links.back()->connectTo(m_sim->dataPort));
        }
        if (wrapper.isEmpty()) {
            // Later connections are closed at once; the 64th is served.
            QVERIFY(links.at(64)->waitForDisconnect() && links.at(65)->waitForDisconnect());
            QCOMPARE(links.at(63)->exchange(1, "BEPLVL*"), kLevel3);
        } else {
            // Out of descriptors, it waits for one instead of retrying at once.
            QTRY_VERIFY_WITH_TIMEOUT(m_sim->openFiles() >= 32, kWaitMs);
            const double cpu = m_sim->cpuSeconds();
            QTest::qWait(2000);
            const double used = m_sim->cpuSeconds() - cpu;
            QVERIFY2(used < 0.25, qPrintable(QStringLiteral("%1 s in 2 s").arg(used)));
        }
        links.clear();
        QTRY_VERIFY_WITH_TIMEOUT(m_sim->openFiles() <= idleFiles, kWaitMs);
        SimClient late;
        QVERIFY(late.connectTo(m_sim->dataPort));
        QCOMPARE(late.exchange(1, "BEPLVL*"), kLevel3);
    }

    // ---- the serial endpoint and the end

    void servesThePseudoTerminalThroughTheDriver()
    {
        const QString link = m_dir.filePath(QStringLiteral("serial-link"));
        SimClient client;
        QVERIFY(startSim({"--serial", "--serial-path", link}, &client));
        KXSerialPortAdaptor adaptor;
        QVERIFY(adaptor.isLibraryLoaded() && openSerial(adaptor, m_sim->serialPaths.first()));
        QCOMPARE(serialExchange(adaptor, 1, "BEPLVL4"), deviceFrame(1, "BEPLVL4\x06"));
        QCOMPARE(serialExchange(adaptor, 7, "BEPLVL*;"), deviceFrame(7, "BEPLVL4\x06"));
        // One device behind every endpoint.
        QCOMPARE(client.exchange(1, "BEPLVL*"), deviceFrame(1, "BEPLVL4\x06"));

        // A hang-up makes a new pseudo-terminal, announced and linked.
        adaptor.close();
        QVERIFY(openSerial(adaptor, link) && adaptor.write(hostFrame(1, "SIMCLS")));
        QTRY_VERIFY_WITH_TIMEOUT(!adaptor.is_open(), kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(m_sim->serialPaths.size(), 2, kWaitMs);
        QCOMPARE(QFileInfo(link).symLinkTarget(), m_sim->serialPaths.at(1));
        QVERIFY(adaptor.open());
        QCOMPARE(serialExchange(adaptor, 1, "BEPLVL*"), deviceFrame(1, "BEPLVL4\x06"));
        adaptor.close();

        // Ends at once on SIGTERM, even in a flood, and removes its symlink.
        client.send(kJunk + kJunk);
        QVERIFY(m_sim->exitsOn(SIGTERM));
        QVERIFY(!QFileInfo(link).isSymLink() && client.waitForDisconnect());
    }
};

QTEST_GUILESS_MAIN(tst_kxsim)
#include "tst_kxsim.moc"
