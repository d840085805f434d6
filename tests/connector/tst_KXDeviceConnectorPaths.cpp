#include "KXConnectorPeers.h"
#include "tools/KXSimPeers.h"

#include <QElapsedTimer>
#include <QtTest>

using namespace kxconntest;
using kxsimtest::SimProcess;

namespace {

const QString kHost = QStringLiteral("127.0.0.1");

bool startSim(SimProcess& sim, const QStringList& extra = {})
{
    return sim.start(QStringList{"--port", "0", "--log-port", "0"} + extra);
}

// A synchronous send that also reports how long it took.
int timedSend(KXDeviceConnector& connector, const QByteArray& data, QByteArray& reply,
              qint64& elapsedMs, int timeout = KXDeviceConnector::DefaultRequestTimeout)
{
    QElapsedTimer timer;
    timer.start();
    const int code = connector.sendBinaryMessage(data, reply, timeout);
    elapsedMs = timer.elapsed();
    return code;
}

QString describe(qint64 elapsedMs)
{
    return QStringLiteral("%1 ms").arg(elapsedMs);
}

} // namespace

// The send paths against peers that answer over TCP: a device scripted byte
// by byte by the test, and the kxsim simulator with its faults.
class tst_KXDeviceConnectorPaths : public QObject
{
    Q_OBJECT

private slots:
    // Scripted device.
    void cutsRepliesOutOfTheStream_data();
    void cutsRepliesOutOfTheStream();
    void passesUpstreamOnWhileNoHeaderCame();
    void imageRepliesEndOnlyBySilence_data();
    void imageRepliesEndOnlyBySilence();
    void lengthPrefixedGivesUpAfterReadEmptyTimeout();
    void runCommandsDropHeldUpstream_data();
    void runCommandsDropHeldUpstream();
    void rawPathWritesEverything();

    // Simulator.
    void failsOnDeviceFaults_data();
    void failsOnDeviceFaults();
    void keepsUnsolicitedDataApartFromReplies();
    void droppedLinkFailsWritesUntilReconnected_data();
    void droppedLinkFailsWritesUntilReconnected();
};

// ---- scripted device

void tst_KXDeviceConnectorPaths::cutsRepliesOutOfTheStream_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArrayList>("pieces"); // written 40 ms apart
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QByteArray>("upstream");
    QTest::addColumn<QByteArrayList>("messages");

    const QByteArray text = command("SCNMOD*");
    const QByteArray textAnswer = textReply("SCNMOD0\x06");
    const QByteArray scan = "6901234567892";
    const QByteArray message = lengthFrame(8, "RUNDAT0042");
    const QByteArrayList none;
    QTest::newRow("text: barcode before the reply")
        << text << QByteArrayList{scan + textAnswer} << 0 << textAnswer << scan << none;
    QTest::newRow("text: bytes on both sides") << text << QByteArrayList{"A1" + textAnswer + "B2"}
                                               << 0 << textAnswer << QByteArray("A1B2") << none;
    QTest::newRow("text: reply in three reads")
        << text << QByteArrayList{textAnswer.left(4), textAnswer.mid(4, 6), textAnswer.mid(10)} << 0
        << textAnswer << QByteArray() << none;
    QTest::newRow("text: messages around the reply in one read")
        << text << QByteArrayList{message + textAnswer + "B2" + message} << 0 << textAnswer
        << QByteArray("B2") << QByteArrayList{message, message};

    const QByteArray prefixed = command("SCNMOD*", DataProtocol7E07);
    const QByteArray answer = lengthFrame(7, "SCNMOD0\x06");
    const QByteArray longScan = "KX-SCAN-0001-ABCDEFGHIJ";
    QTest::newRow("length-prefixed: reply in three reads")
        << prefixed << QByteArrayList{answer.left(3), answer.mid(3, 9), answer.mid(12)} << 0
        << answer << QByteArray() << none;
    QTest::newRow("length-prefixed: barcode before the reply")
        << prefixed << QByteArrayList{longScan, answer} << 0 << answer << longScan << none;
    QTest::newRow("length-prefixed: messages around the reply in one read")
        << prefixed << QByteArrayList{message + answer + "B2" + message} << 0 << answer
        << QByteArray("B2") << QByteArrayList{message, message};
    // The frame ends three bytes early and so lacks its terminator.
    QTest::newRow("length-prefixed: length too short")
        << prefixed << QByteArrayList{lengthFrame(7, "SCNMOD0\x06", -3)}
        << int(KXDeviceConnector::ErrorBadReply) << QByteArray() << QByteArray("\x06;\x03", 3)
        << none;
}

void tst_KXDeviceConnectorPaths::cutsRepliesOutOfTheStream()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArrayList, pieces);
    QFETCH(int, code);
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, upstream);
    QFETCH(QByteArrayList, messages);

    ScriptedPeer peer;
    QVERIFY(peer.listen());
    KXDeviceConnector connector;
    Collector collector(connector);
    QVERIFY(connector.connectToDevice(kHost, peer.port(), false));
    QVERIFY(peer.waitForLink());
    peer.onFrame = [&](const QByteArray&) { peer.sendPieces(pieces, 40); };

    QByteArray got;
    QCOMPARE(connector.sendBinaryMessage(request, got, 5000), code);
    QCOMPARE(got, reply);
    // Written as queued: no checksum or other change.
    QCOMPARE(peer.frames, QByteArrayList{request});
    QTRY_COMPARE(collector.barcodeBytes(), upstream);
    QTRY_COMPARE(collector.messages, messages);
}

void tst_KXDeviceConnectorPaths::passesUpstreamOnWhileNoHeaderCame()
{
    ScriptedPeer peer;
    QVERIFY(peer.listen());
    KXDeviceConnector connector;
    Collector collector(connector);
    QVERIFY(connector.connectToDevice(kHost, peer.port(), false));
    QVERIFY(peer.waitForLink());

    int code = 1;
    QByteArray reply;
    connector.sendBinaryMessage(
        command("SCNMOD*"),
        [&](const QString&, int errcode, const QByteArray& data, QObject*) {
            code = errcode;
            reply = data;
        },
        nullptr, 10000);
    QTRY_COMPARE(peer.frames.size(), 1);

    // More than a held scan's worth of bytes without any header: all but the
    // last 13 (which may start the header) go on before the reply comes.
    QByteArray scans;
    for (int i = 0; scans.size() < 3000; ++i)
        scans += "SCAN-" + QByteArray::number(i).rightJustified(5, '0') + "\r\n";
    peer.send(scans);
    QTRY_VERIFY(collector.barcodeBytes().size() >= 2048);
    QVERIFY(collector.barcodeBytes().size() <= scans.size() - 13);
    QCOMPARE(code, 1);

    const QByteArray answer = textReply("SCNMOD0\x06");
    peer.send(answer);
    QTRY_COMPARE(code, 0);
    QCOMPARE(reply, answer);
    QTRY_COMPARE(collector.barcodeBytes(), scans);
}

void tst_KXDeviceConnectorPaths::imageRepliesEndOnlyBySilence_data()
{
    QTest::addColumn<QByteArrayList>("pieces"); // written 200 ms apart
    QTest::addColumn<int>("code");
    QTest::addColumn<qint64>("atLeastMs");
    QTest::addColumn<qint64>("belowMs");

    // The extended data holds a terminator: only the length ends the reply.
    const QByteArray head("\x02\x01"
                          "0000@IMGTGT1T00000020",
                          23);
    const QByteArray data("IMAGE;\x03"
                          "0123456789ABCDEFGHIJKLMNOPQRS",
                          32);
    const QByteArray whole = head + data + "\x06;\x03";
    QTest::newRow("whole reply in two reads")
        << QByteArrayList{head + data.left(16), data.mid(16) + "\x06;\x03"} << 0 << qint64(0)
        << qint64(4000);
    // 4096 bytes announced, 100 sent: the device has given up.
    QTest::newRow("device falls silent after the header")
        << QByteArrayList{head.left(15) + "00001000" + QByteArray(100, 'x')}
        << int(KXDeviceConnector::ErrorNoReply) << qint64(5000) << qint64(15000);
}

void tst_KXDeviceConnectorPaths::imageRepliesEndOnlyBySilence()
{
    QFETCH(QByteArrayList, pieces);
    QFETCH(int, code);
    QFETCH(qint64, atLeastMs);
    QFETCH(qint64, belowMs);

    ScriptedPeer peer;
    QVERIFY(peer.listen());
    KXDeviceConnector connector;
    Collector collector(connector);
    QVERIFY(connector.connectToDevice(kHost, peer.port(), false));
    QVERIFY(peer.waitForLink());
    // Neither this nor the request's time-out applies to image replies.
    connector.setTimeOut_7E01(300);
    peer.onFrame = [&](const QByteArray&) { peer.sendPieces(pieces, 200); };

    QByteArray reply;
    qint64 elapsed = 0;
    QCOMPARE(timedSend(connector, command("IMGTGT1T"), reply, elapsed, 60000), code);
    QVERIFY2(elapsed >= atLeastMs && elapsed < belowMs, qPrintable(describe(elapsed)));
    QCOMPARE(reply, code == 0 ? pieces.join() : QByteArray());
    // Image material is never taken for a barcode.
    QVERIFY(collector.barcodes.isEmpty());
}

void tst_KXDeviceConnectorPaths::lengthPrefixedGivesUpAfterReadEmptyTimeout()
{
    ScriptedPeer peer; // takes the request and stays silent
    QVERIFY(peer.listen());
    KXDeviceConnector connector;
    QVERIFY(connector.connectToDevice(kHost, peer.port(), false));
    QVERIFY(peer.waitForLink());

    // A small frame waits 3 s of silence, not its 60 s time-out.
    QByteArray reply;
    qint64 elapsed = 0;
    QCOMPARE(timedSend(connector, command("SCNMOD*", DataProtocol7E07), reply, elapsed, 60000),
             int(KXDeviceConnector::ErrorNoReply));
    QVERIFY2(elapsed >= 3000 && elapsed < 9000, qPrintable(describe(elapsed)));
    QVERIFY(reply.isEmpty());
}

void tst_KXDeviceConnectorPaths::runCommandsDropHeldUpstream_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("dropsHeld");

    QTest::newRow("RUNSTX") << QByteArray("RUNSTX") << QByteArray("RUNSTX\x06") << true;
    QTest::newRow("RUNONE") << QByteArray("RUNONE") << QByteArray("RUNONE\x06") << true;
    QTest::newRow("other command") << QByteArray("BEPLVL*") << QByteArray("BEPLVL3\x06") << false;
}

void tst_KXDeviceConnectorPaths::runCommandsDropHeldUpstream()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, answer);
    QFETCH(bool, dropsHeld);

    ScriptedPeer peer;
    QVERIFY(peer.listen());
    KXDeviceConnector connector;
    Collector collector(connector);
    QVERIFY(connector.connectToDevice(kHost, peer.port(), false));
    QVERIFY(peer.waitForLink());
    const QByteArray reply = lengthFrame(7, answer);
    peer.onFrame = [&](const QByteArray&) { peer.send(reply); };

    // A device message cut short is held until its rest comes; the request
    // is answered meanwhile.
    const QByteArray message = lengthFrame(8, "RUNDATheld-message");
    const int cut = 20;
    peer.send(message.left(cut));
    QByteArray got;
    QCOMPARE(connector.sendBinaryMessage(command(request, DataProtocol7E07), got, 5000), 0);
    QCOMPARE(got, reply);
    peer.send(message.mid(cut));
    if (dropsHeld) {
        QTRY_COMPARE(collector.barcodeBytes(), message.mid(cut));
        QVERIFY(collector.messages.isEmpty());
    } else {
        QTRY_COMPARE(collector.messages, QByteArrayList{message});
        QVERIFY(collector.barcodes.isEmpty());
    }
}

void tst_KXDeviceConnectorPaths::rawPathWritesEverything()
{
    ScriptedPeer peer;
    QVERIFY(peer.listen());
    KXDeviceConnector connector;
    QVERIFY(connector.connectToDevice(kHost, peer.port(), false));
    QVERIFY(peer.waitForLink());

    // No envelope: written in pieces, nothing read back.
    QByteArray data(25000, '\0');
    for (int i = 0; i < data.size(); ++i)
        data[i] = char('0' + i % 64);
    QByteArray reply = "stale";
    QCOMPARE(connector.sendBinaryMessage(data, reply, 5000), 0);
    QVERIFY(reply.isEmpty());
    QTRY_COMPARE(peer.received.size(), data.size());
    QCOMPARE(peer.received, data);
}

// ---- simulator

namespace {
enum Upstream
{
    NoUpstream,
    HalfReply,
    Garbage
};
} // namespace

void tst_KXDeviceConnectorPaths::failsOnDeviceFaults_data()
{
    QTest::addColumn<QByteArray>("trigger");
    QTest::addColumn<int>("protocol");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("upstream");

    const int noReply = KXDeviceConnector::ErrorNoReply;
    QTest::newRow("silent") << QByteArray("SIMONESIL1") << 1 << noReply << int(NoUpstream);
    QTest::newRow("partial frame") << QByteArray("SIMONEPRT1") << 1 << noReply << int(HalfReply);
    QTest::newRow("garbage") << QByteArray("SIMONEGRB1") << 1 << noReply << int(Garbage);
    QTest::newRow("corrupt length-prefixed")
        << QByteArray("SIMCRP1") << 7 << int(KXDeviceConnector::ErrorBadReply) << int(NoUpstream);
}

void tst_KXDeviceConnectorPaths::failsOnDeviceFaults()
{
    QFETCH(QByteArray, trigger);
    QFETCH(int, protocol);
    QFETCH(int, code);
    QFETCH(int, upstream);

    SimProcess sim;
    QVERIFY(startSim(sim));
    KXDeviceConnector connector;
    Collector collector(connector);
    QVERIFY(connector.connectToDevice(kHost, sim.dataPort, false));
    connector.setTimeOut_7E01(300);

    const QByteArray request = command("SCNMOD*", EDataProtocol(protocol));
    QByteArray good;
    QCOMPARE(connector.sendBinaryMessage(request, good, 5000), 0);
    QByteArray reply;
    QCOMPARE(connector.sendBinaryMessage(command(trigger), reply, 5000), 0);

    qint64 elapsed = 0;
    QCOMPARE(timedSend(connector, request, reply, elapsed, 60000), code);
    QVERIFY(reply.isEmpty());
    if (code == KXDeviceConnector::ErrorNoReply) // after the 300 ms reply time-out
        QVERIFY2(elapsed >= 300 && elapsed < 3000, qPrintable(describe(elapsed)));

    // What came instead of a reply is passed on.
    switch (upstream) {
    case NoUpstream:
        break;
    case HalfReply:
        QTRY_VERIFY(!collector.barcodes.isEmpty());
        QCOMPARE(collector.barcodeBytes(), good.left(collector.barcodeBytes().size()));
        QVERIFY(collector.barcodeBytes().size() < good.size());
        break;
    case Garbage:
        QTRY_VERIFY(!collector.barcodes.isEmpty());
        QVERIFY(!collector.barcodeBytes().contains('\x02'));
        QVERIFY(!collector.barcodeBytes().contains(kTerminator));
        break;
    }

    // The device answers properly again.
    QCOMPARE(connector.sendBinaryMessage(command("SIMRST"), reply, 5000), 0);
    QCOMPARE(connector.sendBinaryMessage(request, reply, 5000), 0);
    QCOMPARE(reply, good);
    if (upstream == NoUpstream)
        QVERIFY(collector.barcodes.isEmpty());
    QVERIFY(collector.messages.isEmpty());
}

void tst_KXDeviceConnectorPaths::keepsUnsolicitedDataApartFromReplies()
{
    SimProcess sim;
    QVERIFY(startSim(sim, {"--gap", "5"}));
    KXDeviceConnector connector;
    Collector collector(connector);
    QVERIFY(connector.connectToDevice(kHost, sim.dataPort, false));

    // The replies as they come without unsolicited data.
    const QByteArray requests[] = {command("SCNMOD*"), command("SCNMOD*", DataProtocol7E07)};
    QByteArray expected[2];
    for (int i = 0; i < 2; ++i) {
        QCOMPARE(connector.sendBinaryMessage(requests[i], expected[i], 5000), 0);
        QVERIFY(expected[i].contains("@SCNMOD") && expected[i].endsWith("\x06;\x03"));
    }

    // Barcodes one by one, messages in two pieces, then both in one burst;
    // each numbered in the order it is sent.
    const int each = 10;
    QByteArray reply;
    QCOMPARE(connector.sendBinaryMessage(command("SIMBAR10;SIMMSG10;SIMMIX10"), reply, 5000), 0);
    QVERIFY(reply.endsWith(QByteArray("\x06;\x03", 3)));
    QByteArray barcodes;
    for (int i = 1; i <= 2 * each; ++i)
        barcodes += "KXSIM-BARCODE-" + QByteArray::number(i).rightJustified(4, '0') + "\r\n";
    const auto allArrived = [&] {
        return collector.messages.size() == 2 * each && collector.barcodeBytes() == barcodes;
    };

    // Requests keep being answered while the unsolicited data comes.
    int sent = 0;
    for (; !allArrived() && sent < 2000; ++sent) {
        QCOMPARE(connector.sendBinaryMessage(requests[sent % 2], reply, 5000), 0);
        QCOMPARE(reply, expected[sent % 2]);
    }
    QVERIFY2(sent >= 10, qPrintable(QString::number(sent)));
    QTRY_VERIFY2(allArrived(), qPrintable(QStringLiteral("%1 messages, barcode bytes: %2")
                                              .arg(collector.messages.size())
                                              .arg(QString::fromLatin1(collector.barcodeBytes()))));
    for (int i = 0; i < collector.messages.size(); ++i) {
        const QByteArray& message = collector.messages.at(i);
        QCOMPARE(message.left(2), QByteArray("\x02\x08"));
        QCOMPARE(message.mid(6, 25),
                 "@RUNDATKXSIM-MESSAGE-" + QByteArray::number(i + 1).rightJustified(4, '0'));
        QVERIFY(message.endsWith(kTerminator));
    }
}

void tst_KXDeviceConnectorPaths::droppedLinkFailsWritesUntilReconnected_data()
{
    QTest::addColumn<bool>("simulator"); // else the scripted device
    QTest::addColumn<bool>("reconnect");
    QTest::newRow("simulator hangs up, link reconnects") << true << true;
    QTest::newRow("scripted device closes, no reconnection") << false << false;
}

void tst_KXDeviceConnectorPaths::droppedLinkFailsWritesUntilReconnected()
{
    QFETCH(bool, simulator);
    QFETCH(bool, reconnect);

    SimProcess sim;
    ScriptedPeer peer;
    if (simulator) {
        QVERIFY(startSim(sim));
    } else {
        QVERIFY(peer.listen());
        peer.onFrame = [&](const QByteArray&) { peer.send(textReply("SCNMOD2\x06")); };
    }
    KXDeviceConnector connector;
    QVERIFY(connector.connectToDevice(kHost, simulator ? sim.dataPort : peer.port(), reconnect));
    connector.setTimeOut_7E01(300);
    IDataStreamReadWrite* transport = connector.transport();
    QList<bool> changes;
    connect(transport, &IDataStreamReadWrite::connectChanged, this,
            [&](bool connected) { changes.append(connected); });

    const QByteArray request = command("SCNMOD*");
    QByteArray first;
    QCOMPARE(connector.sendBinaryMessage(request, first, 5000), 0);
    QByteArray reply;
    if (simulator) {
        QCOMPARE(connector.sendBinaryMessage(command("SIMCLS"), reply, 5000),
                 int(KXDeviceConnector::ErrorNoReply)); // hangs up instead of answering
    } else {
        QVERIFY(peer.link);
        peer.link->close();
    }
    QTRY_VERIFY(!transport->is_open());
    QCOMPARE(connector.sendBinaryMessage(request, reply, 5000), int(KXDeviceConnector::ErrorWrite));
    QCOMPARE(connector.sendBinaryMessage(command("SCNMOD*", DataProtocol7E07), reply, 5000),
             int(KXDeviceConnector::ErrorWrite));
    QCOMPARE(connector.sendBinaryMessage(QByteArray("raw"), reply, 5000),
             int(KXDeviceConnector::ErrorWrite));
    if (!reconnect)
        return;

    // The transport tries again every 5 s.
    QTRY_VERIFY_WITH_TIMEOUT(transport->is_open(), 15000);
    // The first connection may still be reported too; then the loss and
    // the return.
    QTRY_VERIFY(changes.contains(false) && changes.endsWith(true));
    QCOMPARE(changes.mid(changes.indexOf(false)), (QList<bool>{false, true}));
    QCOMPARE(connector.sendBinaryMessage(request, reply, 5000), 0);
    QCOMPARE(reply, first);
}

QTEST_GUILESS_MAIN(tst_KXDeviceConnectorPaths)
#include "tst_KXDeviceConnectorPaths.moc"
