#include "KXSimPeers.h"
#include "datastream/KXDataStreamInternal.h"
#include "offline/KXOffLineEngine.h"
#include "transport/KXSerialPortAdaptor.h"

#include <KXDataStream.h>

#include <QFile>
#include <QFileInfo>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using kxsimtest::SimClient;
using kxsimtest::SimProcess;

namespace {

constexpr int kWaitMs = kxsimtest::kWaitMs;
const QByteArray kTerminator(";\x03", 2);
// Always answered at once and changes nothing: marks the end of what came
// before it.
const QByteArray kMarker("SIMGAP*");

QByteArray hostFrame(int protocol, const QByteArray& text)
{
    return KXMakeDataStreamCmd('@' + text, EDataProtocol(protocol), true);
}

QByteArray deviceFrame(int protocol, const QByteArray& replyText)
{
    if (protocol == 1)
        return KXOffLineEngine::deviceFrame(replyText);
    const QByteArray payload = '@' + replyText + kTerminator;
    QByteArray frame("\x02\x07\0\0\0\0", 6);
    qToLittleEndian<quint32>(quint32(payload.size()), frame.data() + 2);
    return frame + payload;
}

// The reply the offline engine itself gives to `text`.
QByteArray engineReply(KXOffLineEngine& engine, int protocol, const QByteArray& text)
{
    QByteArray replyText;
    if (!engine.answerText(text, replyText))
        return QByteArray();
    return deviceFrame(protocol, replyText);
}

bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

KXSerialPortAdaptor::ComRecord comRecord(quint16 port)
{
    KXSerialPortAdaptor::ComRecord record{};
    qToLittleEndian<quint16>(port, record.data());
    qToLittleEndian<quint32>(115200, record.data() + 4);
    record[8] = 8;
    return record;
}

QByteArray readSerialFrame(KXSerialPortAdaptor& adaptor)
{
    QByteArray out;
    adaptor.read_until(out, kWaitMs, IDataStreamReadWrite::NoInterval, ";\x03", 2, nullptr);
    return out;
}

} // namespace

// Runs the real kxsim and talks to it as hosts do: raw TCP clients on the
// data and log ports, and the driver library on its pseudo-terminal.
class tst_kxsim : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void documentsEveryTriggerAndOption();
    void refusesBadCommandLines_data();
    void refusesBadCommandLines();
    void refusesToStartWithoutItsResources_data();
    void refusesToStartWithoutItsResources();
    void servesTheSampleDeviceByDefault();

    void answersLikeTheEngine_data();
    void answersLikeTheEngine();
    void cutsFramesHoweverTheStreamSplits_data();
    void cutsFramesHoweverTheStreamSplits();
    void sharesSettingsBetweenClients();
    void keepAliveIsNotAnsweredAndIdleProbeIs();

    void answersTriggers_data();
    void answersTriggers();
    void delaysReplies();
    void misbehavesOnFaults_data();
    void misbehavesOnFaults();
    void closesTheLink_data();
    void closesTheLink();

    void sendsUnsolicitedData_data();
    void sendsUnsolicitedData();
    void repliesDoNotWaitBehindUnsolicitedData();

    void answersTheLogQuery();
    void streamsTheLog_data();
    void streamsTheLog();

    void exitsCleanlyOnSignals_data();
    void exitsCleanlyOnSignals();
    void servesThePseudoTerminalThroughTheDriver();
    void hangsUpThePseudoTerminal();

private:
    bool startSim(const QStringList& extra = {}, bool serial = false);
    QStringList deviceArgs() const;
    QByteArray exchange(SimClient& client, int protocol, const QByteArray& text);

    QTemporaryDir m_dir;
    std::unique_ptr<SimProcess> m_sim;
    std::unique_ptr<KXOffLineEngine> m_engine; // the same device, answered locally
};

void tst_kxsim::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("pages")));
    QVERIFY(writeFile(m_dir.filePath(QStringLiteral("DeviceConfiguration.xml")),
                      "<DeviceConfiguration>\n"
                      " <Setting><CommandName>BEPLVL</CommandName><SettingsList>0-10</SettingsList>"
                      "<Default>3</Default><Minimum>0</Minimum><Maximum>10</Maximum></Setting>\n"
                      " <Setting><CommandName>BEPTON</CommandName>"
                      "<SettingsList>0:Low|1:High</SettingsList><Default>1</Default>"
                      "<Minimum>0</Minimum><Maximum>1</Maximum></Setting>\n"
                      " <Setting><CommandName>PRNQRY</CommandName><Default>KXSIM-TEST</Default>"
                      "</Setting>\n"
                      " <Setting><CommandName>DFMQCU</CommandName></Setting>\n"
                      "</DeviceConfiguration>\n"));
    QVERIFY(writeFile(m_dir.filePath(QStringLiteral("Offline.xml")),
                      "<offline><NotSupported/><Query><Item id=\"PRNQRY\"/></Query></offline>\n"));
    QVERIFY(writeFile(m_dir.filePath(QStringLiteral("pages/Page Global Settings.xml")),
                      "<Pages><Page><Group>"
                      "<Item Id=\"BEPLVL\" ControlType=\"SpinBox\"/>"
                      "<Item Id=\"BEPTON\" ControlType=\"ComboBox\"/>"
                      "</Group></Page></Pages>\n"));
}

void tst_kxsim::cleanup()
{
    // Every run must end cleanly, which also checks a sanitizer build's
    // child for leaks and errors.
    if (m_sim && m_sim->process().state() == QProcess::Running)
        QVERIFY2(m_sim->exitsOn(SIGTERM), qPrintable(m_sim->errors()));
    m_sim.reset();
    m_engine.reset();
}

QStringList tst_kxsim::deviceArgs() const
{
    return {QStringLiteral("--config"), m_dir.filePath(QStringLiteral("DeviceConfiguration.xml")),
            QStringLiteral("--offline"), m_dir.filePath(QStringLiteral("Offline.xml"))};
}

bool tst_kxsim::startSim(const QStringList& extra, bool serial)
{
    m_engine = std::make_unique<KXOffLineEngine>();
    if (!m_engine->loadFiles(m_dir.filePath(QStringLiteral("DeviceConfiguration.xml")),
                             m_dir.filePath(QStringLiteral("Offline.xml"))))
        return false;
    m_sim = std::make_unique<SimProcess>();
    const QStringList args = deviceArgs() +
                             QStringList{QStringLiteral("--port"), QStringLiteral("0"),
                                         QStringLiteral("--log-port"), QStringLiteral("0")} +
                             extra;
    if (m_sim->start(args, serial))
        return true;
    qWarning() << "kxsim did not start:" << m_sim->lines << m_sim->errors();
    return false;
}

QByteArray tst_kxsim::exchange(SimClient& client, int protocol, const QByteArray& text)
{
    client.send(hostFrame(protocol, text));
    return client.takeFrame();
}

// ---- command line and start-up

void tst_kxsim::documentsEveryTriggerAndOption()
{
    QProcess process;
    process.start(QStringLiteral(KXSIM_PATH), {QStringLiteral("--help")});
    QVERIFY(process.waitForFinished(kWaitMs));
    QCOMPARE(process.exitCode(), 0);
    const QString help = QString::fromLocal8Bit(process.readAllStandardOutput());
    const char* const words[] = {
        "--config",      "--offline",  "--bind",     "--port",    "--log-port", "--serial",
        "--serial-path", "--delay",    "--silent",   "--garbage", "--partial",  "--corrupt",
        "--close-after", "--barcodes", "--messages", "--mixed",   "--gap",      "--log-lines",
        "--log-stream",  "SIMDLY",     "SIMSIL",     "SIMGRB",    "SIMPRT",     "SIMCRP",
        "SIMCLA",        "SIMONE",     "SIMCLS",     "SIMBAR",    "SIMMSG",     "SIMMIX",
        "SIMGAP",        "SIMLGL",     "SIMLOG",     "SIMRST"};
    for (const char* word : words)
        QVERIFY2(help.contains(QLatin1String(word)), word);
}

void tst_kxsim::refusesBadCommandLines_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");

    QTest::newRow("unknown option") << QStringList{"--fast"} << "unknown argument";
    QTest::newRow("port out of range") << QStringList{"--port", "65536"} << "--port takes";
    QTest::newRow("negative delay") << QStringList{"--delay", "-1"} << "--delay takes";
    QTest::newRow("missing value") << QStringList{"--log-port"} << "needs a value";
    QTest::newRow("config alone") << QStringList{"--config", "x.xml"} << "go together";
    QTest::newRow("host name") << QStringList{"--bind", "example.com"} << "numeric IP";
    QTest::newRow("log stream too fast") << QStringList{"--log-stream", "1"} << "--log-stream";
}

void tst_kxsim::refusesBadCommandLines()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);

    QProcess process;
    process.start(QStringLiteral(KXSIM_PATH), args);
    QVERIFY(process.waitForFinished(kWaitMs));
    QCOMPARE(process.exitCode(), 2);
    QCOMPARE(process.readAllStandardOutput(), QByteArray());
    const QString error = QString::fromLocal8Bit(process.readAllStandardError());
    QVERIFY2(error.contains(message), qPrintable(error));
}

void tst_kxsim::refusesToStartWithoutItsResources_data()
{
    QTest::addColumn<QString>("what");
    QTest::newRow("missing configuration") << "config";
    QTest::newRow("data port taken") << "port";
    QTest::newRow("symlink path is a file") << "symlink";
}

void tst_kxsim::refusesToStartWithoutItsResources()
{
    QFETCH(QString, what);

    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
    const QString file = m_dir.filePath(QStringLiteral("a-file"));
    QVERIFY(writeFile(file, "x"));
    QStringList args = deviceArgs() + QStringList{"--port", "0", "--log-port", "0"};
    if (what == QLatin1String("config"))
        args[1] = m_dir.filePath(QStringLiteral("missing.xml"));
    else if (what == QLatin1String("port"))
        args[5] = QString::number(taken.serverPort());
    else
        args << "--serial-path" << file;

    QProcess process;
    process.start(QStringLiteral(KXSIM_PATH), args);
    QVERIFY(process.waitForFinished(kWaitMs));
    QCOMPARE(process.exitCode(), 1);
    QVERIFY(!process.readAllStandardError().isEmpty());
    QVERIFY(QFileInfo(file).isFile()); // never replaced
}

void tst_kxsim::servesTheSampleDeviceByDefault()
{
    const QString folder = QStringLiteral(KX_SAMPLE_DEVICE_DIR);
    KXOffLineEngine engine;
    QVERIFY(engine.loadFiles(folder + QLatin1String("/DeviceConfiguration.xml"),
                             folder + QLatin1String("/Offline.xml")));
    QVERIFY(!engine.settings().isEmpty());

    SimProcess sim;
    QVERIFY2(sim.start({"--port", "0", "--log-port", "0"}), qPrintable(sim.errors()));
    SimClient client;
    QVERIFY(client.connectTo(sim.dataPort));
    for (const QByteArray& text : {QByteArray("*"), QByteArray("^"), QByteArray("&")})
        QCOMPARE(exchange(client, 1, text), engineReply(engine, 1, text));
    QVERIFY2(sim.exitsOn(SIGTERM), qPrintable(sim.errors()));
}

// ---- answering

void tst_kxsim::answersLikeTheEngine_data()
{
    QTest::addColumn<int>("protocol");
    QTest::addColumn<QByteArrayList>("texts");
    QTest::addColumn<QByteArray>("firstReplyText");

    for (int protocol : {1, 7}) {
        const QByteArray p = QByteArray::number(protocol);
        QTest::newRow("query, p" + p)
            << protocol << QByteArrayList{"BEPLVL*"} << QByteArray("BEPLVL3\x06");
        QTest::newRow("set then query, p" + p)
            << protocol << QByteArrayList{"BEPLVL7", "BEPLVL*;BEPTON&"}
            << QByteArray("BEPLVL7\x06");
        QTest::newRow("out of range, p" + p)
            << protocol << QByteArrayList{"BEPLVL11", "BEPLVL*"} << QByteArray("BEPLVL11\x15");
        QTest::newRow("unknown, p" + p)
            << protocol << QByteArrayList{"ZZZQRY"} << QByteArray("ZZZQRY\x05");
        QTest::newRow("sub-tags, p" + p)
            << protocol << QByteArrayList{"BEPLVL^,TON*"} << QByteArray("BEPLVL0-10\x06,TON1\x06");
        QTest::newRow("query-only, p" + p) << protocol << QByteArrayList{"PRNQRYabc", "PRNQRY*"}
                                           << QByteArray("PRNQRYKXSIM-TEST\x06");
        QTest::newRow("all settings, p" + p)
            << protocol << QByteArrayList{"*", "^", "&", "BEPTON0", "*"} << QByteArray();
    }
}

void tst_kxsim::answersLikeTheEngine()
{
    QFETCH(int, protocol);
    QFETCH(QByteArrayList, texts);
    QFETCH(QByteArray, firstReplyText);

    QVERIFY(startSim());
    SimClient client;
    QVERIFY(client.connectTo(m_sim->dataPort));
    for (const QByteArray& text : texts) {
        const QByteArray reply = exchange(client, protocol, text);
        QCOMPARE(reply, engineReply(*m_engine, protocol, text));
        if (!firstReplyText.isEmpty() && &text == &texts.first())
            QCOMPARE(reply, deviceFrame(protocol, firstReplyText));
    }
}

void tst_kxsim::cutsFramesHoweverTheStreamSplits_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<bool>("byteByByte");
    QTest::addColumn<QByteArrayList>("replyTexts");

    const QByteArray set1 = hostFrame(1, "BEPLVL5");
    const QByteArray query1 = hostFrame(1, "BEPLVL*");
    const QByteArray query7 = hostFrame(7, "BEPLVL*;"); // declared length one past the payload
    const QByteArray set7 = hostFrame(7, "BEPTON0");    // declared length equal to the payload
    const QByteArrayList both{"BEPLVL5\x06", "BEPLVL5\x06"};

    QTest::newRow("p1 byte by byte") << set1 + query1 << true << both;
    QTest::newRow("p7 byte by byte")
        << set7 + query7 << true << QByteArrayList{"BEPTON0\x06", "BEPLVL3\x06"};
    QTest::newRow("joined in one write")
        << set1 + query7 + set7 + query1 << false
        << QByteArrayList{"BEPLVL5\x06", "BEPLVL5\x06", "BEPTON0\x06", "BEPLVL5\x06"};
    QTest::newRow("junk before and between")
        << QByteArray("junk\x7E\x02\x7E") + set1 + QByteArray("\x00\xFF~", 3) + query1 << false
        << both;
    QTest::newRow("cut-off frame before a whole one")
        << hostFrame(1, "BEPLVL9").left(10) + set1 + query1 << false << both;
    QTest::newRow("p7 with a CRC after it") << [&] {
        QByteArray frame = set7;
        appendDataStreamChecksum(frame, true);
        return frame + query1;
    }() << false << QByteArrayList{"BEPTON0\x06", "BEPLVL3\x06"};
    QTest::newRow("p7 header with an absurd length")
        << QByteArray("\x7E\x07\xFF\xFF\xFF\x7F", 6) + query1 << false
        << QByteArrayList{"BEPLVL3\x06"};
}

void tst_kxsim::cutsFramesHoweverTheStreamSplits()
{
    QFETCH(QByteArray, stream);
    QFETCH(bool, byteByByte);
    QFETCH(QByteArrayList, replyTexts);

    QVERIFY(startSim());
    SimClient client;
    QVERIFY(client.connectTo(m_sim->dataPort));
    if (byteByByte)
        client.sendByteByByte(stream);
    else
        client.send(stream);
    for (const QByteArray& replyText : replyTexts) {
        const QByteArray reply = client.takeFrame();
        const int protocol = reply.size() > 1 ? reply.at(1) : 0;
        QCOMPARE(reply, deviceFrame(protocol, replyText));
    }
    client.send(hostFrame(1, kMarker));
    QCOMPARE(client.takeUntilReplyTo(kMarker.left(6)), QByteArray()); // nothing else
}

void tst_kxsim::sharesSettingsBetweenClients()
{
    QVERIFY(startSim());
    SimClient first;
    SimClient second;
    QVERIFY(first.connectTo(m_sim->dataPort));
    QVERIFY(second.connectTo(m_sim->dataPort));
    QCOMPARE(exchange(first, 1, "BEPLVL8"), deviceFrame(1, "BEPLVL8\x06"));
    QCOMPARE(exchange(second, 7, "BEPLVL*"), deviceFrame(7, "BEPLVL8\x06"));
    QCOMPARE(exchange(second, 1, "BEPLVL2"), deviceFrame(1, "BEPLVL2\x06"));
    QCOMPARE(exchange(first, 1, "BEPLVL*"), deviceFrame(1, "BEPLVL2\x06"));
}

void tst_kxsim::keepAliveIsNotAnsweredAndIdleProbeIs()
{
    QVERIFY(startSim());
    SimClient client;
    QVERIFY(client.connectTo(m_sim->dataPort));
    const QByteArray keepAlive = KXMakeDataStreamCmd("KEPALV", DataProtocol7E07, true);
    QCOMPARE(keepAlive.mid(6, 7), QByteArray("#KEPALV"));
    client.send(keepAlive + keepAlive);
    QCOMPARE(exchange(client, 1, "BEPLVL*"), deviceFrame(1, "BEPLVL3\x06")); // first bytes back

    const QByteArray probe = KXMakeDataStreamCmd("#INTERF*", DataProtocol7E01, true);
    client.send(probe);
    QCOMPARE(client.takeFrame(), engineReply(*m_engine, 1, "INTERF*"));
    // A one-shot fault waits for a real command.
    QCOMPARE(exchange(client, 1, "SIMONEGRB"), deviceFrame(1, "SIMONEGRB1\x06"));
    client.send(probe + keepAlive);
    QCOMPARE(client.takeFrame(), engineReply(*m_engine, 1, "INTERF*"));
    client.send(hostFrame(1, "BEPLVL*") + hostFrame(1, kMarker));
    const QByteArray garbage = client.takeUntilReplyTo(kMarker.left(6));
    QVERIFY(!garbage.isEmpty());
    QVERIFY(!garbage.contains(kTerminator));
}

// ---- triggers and faults

void tst_kxsim::answersTriggers_data()
{
    QTest::addColumn<int>("protocol");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("replyText");

    QTest::newRow("set") << 1 << QByteArray("SIMDLY25") << QByteArray("SIMDLY25\x06");
    QTest::newRow("query") << 1 << QByteArray("SIMGAP*") << QByteArray("SIMGAP100\x06");
    QTest::newRow("switch defaults to on")
        << 7 << QByteArray("SIMSIL,SIL*,SIL0") << QByteArray("SIMSIL1\x06,SIL1\x06,SIL0\x06");
    QTest::newRow("several commands")
        << 1 << QByteArray("SIMDLY5;SIMCLA*") << QByteArray("SIMDLY5\x06,CLA0\x06");
    QTest::newRow("one-shot") << 7 << QByteArray("SIMONEDLY20,ONESIL")
                              << QByteArray("SIMONEDLY20\x06,ONESIL1\x06");
    QTest::newRow("bad number") << 1 << QByteArray("SIMDLYabc") << QByteArray("SIMDLYabc\x15");
    QTest::newRow("bad switch") << 1 << QByteArray("SIMGRB2") << QByteArray("SIMGRB2\x15");
    QTest::newRow("bad one-shot") << 1 << QByteArray("SIMONEXYZ") << QByteArray("SIMONEXYZ\x15");
    QTest::newRow("close takes nothing") << 1 << QByteArray("SIMCLS5") << QByteArray("SIMCLS5\x15");
    QTest::newRow("unknown") << 1 << QByteArray("SIMXYZ1") << QByteArray("SIMXYZ\x05");
    QTest::newRow("device command among triggers")
        << 1 << QByteArray("SIMRST;BEPLVL9") << QByteArray("SIMRST\x06;BEPLVL\x05");
}

void tst_kxsim::answersTriggers()
{
    QFETCH(int, protocol);
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, replyText);

    QVERIFY(startSim());
    SimClient client;
    QVERIFY(client.connectTo(m_sim->dataPort));
    QCOMPARE(exchange(client, protocol, text), deviceFrame(protocol, replyText));
    // The device's own settings are untouched by trigger frames.
    QCOMPARE(exchange(client, 1, "SIMRST"), deviceFrame(1, "SIMRST\x06"));
    QCOMPARE(exchange(client, 1, "BEPLVL*"), deviceFrame(1, "BEPLVL3\x06"));
}

void tst_kxsim::delaysReplies()
{
    QVERIFY(startSim());
    SimClient client;
    QVERIFY(client.connectTo(m_sim->dataPort));
    QElapsedTimer timer;

    QCOMPARE(exchange(client, 1, "SIMDLY300"), deviceFrame(1, "SIMDLY300\x06"));
    for (int protocol : {1, 7}) {
        timer.start();
        QCOMPARE(exchange(client, protocol, "BEPLVL*"), deviceFrame(protocol, "BEPLVL3\x06"));
        QVERIFY2(timer.elapsed() >= 290, qPrintable(QString::number(timer.elapsed())));
    }

    QCOMPARE(exchange(client, 1, "SIMRST;SIMONEDLY1500"),
             deviceFrame(1, "SIMRST\x06,ONEDLY1500\x06"));
    timer.start();
    QCOMPARE(exchange(client, 1, "BEPLVL*"), deviceFrame(1, "BEPLVL3\x06"));
    QVERIFY2(timer.elapsed() >= 1490, qPrintable(QString::number(timer.elapsed())));
    timer.start();
    QCOMPARE(exchange(client, 1, "BEPLVL*"), deviceFrame(1, "BEPLVL3\x06"));
    QVERIFY2(timer.elapsed() < 1490, qPrintable(QString::number(timer.elapsed())));

    // Start-up option, the same fault.
    m_sim.reset();
    QVERIFY(startSim({"--delay", "300"}));
    SimClient late;
    QVERIFY(late.connectTo(m_sim->dataPort));
    timer.start();
    QCOMPARE(exchange(late, 7, "BEPLVL*"), deviceFrame(7, "BEPLVL3\x06"));
    QVERIFY2(timer.elapsed() >= 290, qPrintable(QString::number(timer.elapsed())));
}

void tst_kxsim::misbehavesOnFaults_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("trigger");
    QTest::addColumn<int>("protocol");
    // What each of two commands gets: ok, silent, garbage, partial, corrupt.
    QTest::addColumn<QStringList>("outcomes");

    const QStringList none;
    QTest::newRow("silent") << none << QByteArray("SIMSIL1") << 1
                            << QStringList{"silent", "silent"};
    QTest::newRow("silent once") << none << QByteArray("SIMONESIL") << 7
                                 << QStringList{"silent", "ok"};
    QTest::newRow("garbage") << none << QByteArray("SIMGRB1") << 1
                             << QStringList{"garbage", "garbage"};
    QTest::newRow("garbage once") << none << QByteArray("SIMONEGRB1") << 7
                                  << QStringList{"garbage", "ok"};
    QTest::newRow("partial") << none << QByteArray("SIMPRT1") << 7
                             << QStringList{"partial", "partial"};
    QTest::newRow("partial once") << none << QByteArray("SIMONEPRT") << 1
                                  << QStringList{"partial", "ok"};
    QTest::newRow("corrupt p7") << none << QByteArray("SIMCRP1") << 7
                                << QStringList{"corrupt", "corrupt"};
    QTest::newRow("corrupt leaves p1 alone")
        << none << QByteArray("SIMCRP1") << 1 << QStringList{"ok", "ok"};
    QTest::newRow("corrupt once") << none << QByteArray("SIMONECRP1") << 7
                                  << QStringList{"corrupt", "ok"};
    QTest::newRow("fault switched off")
        << none << QByteArray("SIMGRB1,GRB0") << 1 << QStringList{"ok", "ok"};
    QTest::newRow("reset") << none << QByteArray("SIMSIL1,PRT1;SIMRST") << 1
                           << QStringList{"ok", "ok"};
    QTest::newRow("--silent") << QStringList{"--silent"} << QByteArray() << 1
                              << QStringList{"silent", "silent"};
    QTest::newRow("--garbage") << QStringList{"--garbage"} << QByteArray() << 7
                               << QStringList{"garbage", "garbage"};
    QTest::newRow("--partial") << QStringList{"--partial"} << QByteArray() << 1
                               << QStringList{"partial", "partial"};
    QTest::newRow("--corrupt") << QStringList{"--corrupt"} << QByteArray() << 7
                               << QStringList{"corrupt", "corrupt"};
    QTest::newRow("--silent undone by reset")
        << QStringList{"--silent"} << QByteArray("SIMRST") << 7 << QStringList{"ok", "ok"};
}

void tst_kxsim::misbehavesOnFaults()
{
    QFETCH(QStringList, options);
    QFETCH(QByteArray, trigger);
    QFETCH(int, protocol);
    QFETCH(QStringList, outcomes);

    QVERIFY(startSim(options));
    SimClient client;
    QVERIFY(client.connectTo(m_sim->dataPort));
    if (!trigger.isEmpty()) {
        const QByteArray ack = exchange(client, 1, trigger);
        QVERIFY2(ack.endsWith(QByteArray("\x06;\x03", 3)), ack.toHex(' ').constData());
    }

    const QByteArray commands[] = {"BEPLVL6", "BEPLVL*"};
    for (int i = 0; i < 2; ++i) {
        // The set takes effect whatever becomes of its reply.
        const QByteArray expected = deviceFrame(protocol, "BEPLVL6\x06");
        client.send(hostFrame(protocol, commands[i]) + hostFrame(1, kMarker));
        const QByteArray got = client.takeUntilReplyTo(kMarker.left(6));
        const QString& outcome = outcomes.at(i);
        if (outcome == QLatin1String("ok")) {
            QCOMPARE(got, expected);
        } else if (outcome == QLatin1String("silent")) {
            QCOMPARE(got, QByteArray());
        } else if (outcome == QLatin1String("garbage")) {
            QVERIFY(!got.isEmpty());
            QVERIFY(!got.contains('\x02'));
            QVERIFY(!got.contains(kTerminator));
        } else if (outcome == QLatin1String("partial")) {
            QVERIFY(got.size() > 0 && got.size() < expected.size());
            QCOMPARE(got, expected.left(got.size()));
        } else {
            QCOMPARE(got.size(), expected.size());
            QCOMPARE(got.left(got.size() - 2), expected.left(expected.size() - 2));
            QByteArray frame = got;
            QVERIFY(!checkDataStreamChecksum(frame, false));
        }
    }
}

void tst_kxsim::closesTheLink_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("trigger");
    QTest::addColumn<int>("repliesBeforeClose");

    QTest::newRow("close now") << QStringList() << QByteArray("SIMCLS") << 0;
    QTest::newRow("close after two") << QStringList() << QByteArray("SIMCLA2") << 2;
    QTest::newRow("--close-after 1") << QStringList{"--close-after", "1"} << QByteArray() << 1;
}

void tst_kxsim::closesTheLink()
{
    QFETCH(QStringList, options);
    QFETCH(QByteArray, trigger);
    QFETCH(int, repliesBeforeClose);

    QVERIFY(startSim(options));
    SimClient client;
    QVERIFY(client.connectTo(m_sim->dataPort));
    if (!trigger.isEmpty()) {
        client.send(hostFrame(1, trigger));
        if (repliesBeforeClose > 0)
            QVERIFY(client.takeFrame().endsWith(QByteArray("\x06;\x03", 3)));
    }
    for (int i = 0; i < repliesBeforeClose; ++i)
        QCOMPARE(exchange(client, 1, "BEPLVL*"), deviceFrame(1, "BEPLVL3\x06"));
    if (repliesBeforeClose > 0)
        client.send(hostFrame(1, "BEPLVL*")); // may or may not be read before the close
    QVERIFY(client.waitForDisconnect());
    QCOMPARE(client.received, QByteArray());

    // The device itself is fine: a new link is answered.
    SimClient next;
    QVERIFY(next.connectTo(m_sim->dataPort));
    QCOMPARE(exchange(next, 7, "BEPLVL*"), deviceFrame(7, "BEPLVL3\x06"));
}

// ---- unsolicited data

void tst_kxsim::sendsUnsolicitedData_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("trigger");
    // B for a barcode, M for a message, in the order they must come.
    QTest::addColumn<QByteArray>("pieces");
    QTest::addColumn<bool>("corrupt");

    const QStringList fast{"--gap", "10"};
    QTest::newRow("barcodes") << fast << QByteArray("SIMBAR3") << QByteArray("BBB") << false;
    QTest::newRow("messages") << fast << QByteArray("SIMMSG2") << QByteArray("MM") << false;
    QTest::newRow("burst") << fast << QByteArray("SIMMIX2") << QByteArray("BMBM") << false;
    QTest::newRow("all three") << fast << QByteArray("SIMBAR1;SIMMSG1;SIMMIX1")
                               << QByteArray("BMBM") << false;
    QTest::newRow("corrupt messages")
        << fast << QByteArray("SIMCRP1;SIMMSG1") << QByteArray("M") << true;
    QTest::newRow("on connection")
        << QStringList{"--barcodes", "2", "--messages", "1", "--mixed", "1", "--gap", "10"}
        << QByteArray() << QByteArray("BBMBM") << false;
}

void tst_kxsim::sendsUnsolicitedData()
{
    QFETCH(QStringList, options);
    QFETCH(QByteArray, trigger);
    QFETCH(QByteArray, pieces);
    QFETCH(bool, corrupt);

    QVERIFY(startSim(options));
    SimClient client;
    QVERIFY(client.connectTo(m_sim->dataPort));
    if (!trigger.isEmpty()) {
        client.send(hostFrame(1, trigger));
        const QByteArray ack = client.takeFrame();
        QVERIFY2(ack.startsWith(QByteArray("\x02\x01"
                                           "0000@SIM",
                                           10)),
                 ack.toHex(' ').constData());
    }

    QByteArray& data = client.received;
    int barcodes = 0;
    int messages = 0;
    for (char piece : pieces) {
        if (piece == 'B') {
            const QByteArray expected =
                "KXSIM-BARCODE-" + QByteArray::number(++barcodes).rightJustified(4, '0') + "\r\n";
            QVERIFY(client.waitFor([&] { return data.size() >= expected.size(); }));
            QCOMPARE(data.left(expected.size()), expected);
            data.remove(0, expected.size());
        } else {
            QVERIFY(client.waitFor([&] { return kxsimtest::deviceFrameEnd(data, 0) > 0; }));
            QByteArray frame = data.left(kxsimtest::deviceFrameEnd(data, 0));
            data.remove(0, frame.size());
            QCOMPARE(frame.left(2), QByteArray("\x02\x08"));
            QCOMPARE(GetCmdResponsePos(frame, DataProtocol7E08, {"RUNDAT"}), 0);
            QCOMPARE(frame.mid(6, 25), "@RUNDATKXSIM-MESSAGE-" +
                                           QByteArray::number(++messages).rightJustified(4, '0'));
            QCOMPARE(checkDataStreamChecksum(frame, false), !corrupt);
        }
    }
    QCOMPARE(exchange(client, 1, kMarker), deviceFrame(1, "SIMGAP10\x06")); // nothing more
}

void tst_kxsim::repliesDoNotWaitBehindUnsolicitedData()
{
    QVERIFY(startSim({"--gap", "2000"}));
    SimClient client;
    QVERIFY(client.connectTo(m_sim->dataPort));
    QCOMPARE(exchange(client, 1, "SIMBAR2"), deviceFrame(1, "SIMBAR2\x06"));
    QCOMPARE(exchange(client, 7, "BEPLVL*"), deviceFrame(7, "BEPLVL3\x06"));
    QVERIFY(!client.received.contains("KXSIM-BARCODE-0002")); // still on its way
    QVERIFY(client.waitFor([&] { return client.received.contains("KXSIM-BARCODE-0002"); }));
}

// ---- log port

void tst_kxsim::answersTheLogQuery()
{
    QVERIFY(startSim({"--log-lines", "3000"}));
    SimClient client;
    QVERIFY(client.connectTo(m_sim->logPort));
    // Exactly the bytes the kit writes.
    client.send(QByteArray("\x7E\x01"
                           "0000@LOGQRY;\x03",
                           15));
    QVERIFY(client.waitFor([&] { return client.received.size() >= 21; }));
    QCOMPARE(client.received.left(13), QByteArray("\x02\x01"
                                                  "0000@LOGQRY",
                                                  13));
    bool ok = false;
    const int length = client.received.mid(13, 8).toInt(&ok, 16);
    QVERIFY(ok);
    QVERIFY2(length > 3000 * 40, qPrintable(QString::number(length)));
    QVERIFY(client.waitFor([&] { return client.received.size() >= 21 + length; }));
    const QByteArray log = client.received.mid(21);
    QCOMPARE(log.size(), length);
    QVERIFY(log.contains("status line"));
    QVERIFY(log.endsWith("\r\n"));

    // A later query sees what happened since: the command from a data link.
    SimClient data;
    QVERIFY(data.connectTo(m_sim->dataPort));
    QCOMPARE(exchange(data, 1, "BEPLVL*"), deviceFrame(1, "BEPLVL3\x06"));
    client.received.clear();
    client.send(QByteArray("\x7E\x01"
                           "0000@LOGQRY;\x03",
                           15));
    QVERIFY(client.waitFor([&] { return client.received.size() >= 21; }));
    const int newLength = client.received.mid(13, 8).toInt(&ok, 16);
    QVERIFY(newLength > length);
    QVERIFY(client.waitFor([&] { return client.received.size() >= 21 + newLength; }));
    QVERIFY(client.received.mid(21 + length).contains("BEPLVL*"));
    QCOMPARE(client.received.size(), 21 + newLength);
}

void tst_kxsim::streamsTheLog_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("trigger");
    QTest::newRow("--log-stream") << QStringList{"--log-stream", "20"} << QByteArray();
    QTest::newRow("SIMLOG") << QStringList() << QByteArray("SIMLOG20");
}

void tst_kxsim::streamsTheLog()
{
    QFETCH(QStringList, options);
    QFETCH(QByteArray, trigger);

    QVERIFY(startSim(options));
    SimClient log;
    QVERIFY(log.connectTo(m_sim->logPort));
    SimClient data;
    QVERIFY(data.connectTo(m_sim->dataPort));
    if (!trigger.isEmpty())
        QCOMPARE(exchange(data, 1, trigger), deviceFrame(1, trigger + '\x06'));
    QCOMPARE(exchange(data, 1, "BEPLVL*"), deviceFrame(1, "BEPLVL3\x06"));
    QVERIFY(log.waitFor([&] { return log.received.count("tick\r\n") >= 3; }));
    QVERIFY(log.received.contains("BEPLVL*")); // events stream too
}

// ---- life cycle and the serial endpoint

void tst_kxsim::exitsCleanlyOnSignals_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void tst_kxsim::exitsCleanlyOnSignals()
{
    QFETCH(int, signalNumber);

    const QString link = m_dir.filePath(QStringLiteral("exit-link"));
    QVERIFY(startSim({"--serial-path", link}, true));
    QCOMPARE(QFileInfo(link).symLinkTarget(), m_sim->serialPaths.first());
    SimClient client;
    QVERIFY(client.connectTo(m_sim->dataPort));
    QVERIFY(m_sim->exitsOn(signalNumber));
    QVERIFY(!QFileInfo(link).isSymLink());
    QVERIFY(client.waitForDisconnect());
}

void tst_kxsim::servesThePseudoTerminalThroughTheDriver()
{
    QVERIFY(startSim({"--serial"}, true));
    qputenv("KXDS_EXTRA_PORTS", m_sim->serialPaths.first().toLocal8Bit());
    KXSerialPortAdaptor adaptor;
    QVERIFY(adaptor.isLibraryLoaded());
    QVERIFY(adaptor.openCom(comRecord(KXDS_PORT_EXTRA_BASE).data(), nullptr));

    QVERIFY(adaptor.write(hostFrame(1, "BEPLVL4")));
    QCOMPARE(readSerialFrame(adaptor), deviceFrame(1, "BEPLVL4\x06"));
    QVERIFY(adaptor.write(hostFrame(7, "BEPLVL*;")));
    QCOMPARE(readSerialFrame(adaptor), deviceFrame(7, "BEPLVL4\x06"));

    // One device behind every endpoint.
    SimClient client;
    QVERIFY(client.connectTo(m_sim->dataPort));
    QCOMPARE(exchange(client, 1, "BEPLVL*"), deviceFrame(1, "BEPLVL4\x06"));
    adaptor.close();
}

void tst_kxsim::hangsUpThePseudoTerminal()
{
    const QString link = m_dir.filePath(QStringLiteral("hang-up-link"));
    QVERIFY(startSim({"--serial-path", link}, true));
    qputenv("KXDS_EXTRA_PORTS", link.toLocal8Bit());
    KXSerialPortAdaptor adaptor;
    QVERIFY(adaptor.openCom(comRecord(KXDS_PORT_EXTRA_BASE).data(), nullptr));
    QVERIFY(adaptor.write(hostFrame(1, "SIMCLS")));
    QTRY_VERIFY_WITH_TIMEOUT(!adaptor.is_open(), kWaitMs);

    // A new pseudo-terminal, announced and linked.
    QTRY_COMPARE_WITH_TIMEOUT(m_sim->serialPaths.size(), 2, kWaitMs);
    QCOMPARE(QFileInfo(link).symLinkTarget(), m_sim->serialPaths.at(1));
    QVERIFY(adaptor.open());
    QVERIFY(adaptor.write(hostFrame(1, "BEPLVL*")));
    QCOMPARE(readSerialFrame(adaptor), deviceFrame(1, "BEPLVL3\x06"));
    adaptor.close();
}

QTEST_GUILESS_MAIN(tst_kxsim)
#include "tst_kxsim.moc"
