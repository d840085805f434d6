#include "KXConnectorPeers.h"

#include <QElapsedTimer>
#include <QtTest>

using namespace kxconntest;

namespace {

// One request against a device that answers it with `pieces`, written
// `gapMs` apart, and what the connector makes of them.
struct Exchange
{
    QByteArray request;
    QByteArrayList pieces;
    int gapMs;
    int code;
    QByteArray reply;
    QByteArray upstream; // passed on as barcodes
    QByteArrayList messages;
    int atLeastMs; // the time the request takes
    int belowMs;
};

} // namespace

Q_DECLARE_METATYPE(Exchange)

// The send paths against devices scripted byte by byte by the test.
class tst_KXDeviceConnectorPaths : public QObject
{
    Q_OBJECT

private slots:
    void cutsRepliesOutOfTheStream_data()
    {
        QTest::addColumn<Exchange>("exchange");
        // By default the pieces come 40 ms apart, and the time the request
        // takes is not what the row is about.
        const auto row = [](const QByteArray& name, const QByteArray& request,
                            const QByteArrayList& pieces, int code, const QByteArray& reply,
                            const QByteArray& upstream = {}, const QByteArrayList& messages = {},
                            int gapMs = 40, int atLeastMs = 0, int belowMs = 5000) {
            QTest::newRow(name.constData()) << Exchange{
                request, pieces, gapMs, code, reply, upstream, messages, atLeastMs, belowMs};
        };
        const QByteArray text = command("SCNMOD*");
        const QByteArray textAnswer = textReply("SCNMOD0\x06");
        const QByteArray message = lengthFrame(8, "RUNDAT0042");
        row("text: reply in three reads", text,
            {textAnswer.left(4), textAnswer.mid(4, 6), textAnswer.mid(10)}, 0, textAnswer);
        row("text: messages around the reply in one read", text,
            {message + textAnswer + "B2" + message}, 0, textAnswer, "B2", {message, message});
        // More than a held scan's worth without any header: all but the last
        // 13 bytes (which may start the header) go on while the reply is
        // awaited.
        QByteArray scans;
        for (int i = 0; scans.size() < 3000; ++i)
            scans += "SCAN-" + QByteArray::number(i).rightJustified(5, '0') + "\r\n";
        row("text: long run of scans before the reply", text, {scans, textAnswer}, 0, textAnswer,
            scans);

        const QByteArray prefixed = command("SCNMOD*", DataProtocol7E07);
        const QByteArray answer = lengthFrame(7, "SCNMOD0\x06");
        const QByteArray scan = "KX-SCAN-0001-ABCDEFGHIJ";
        row("length-prefixed: reply in three reads", prefixed,
            {answer.left(3), answer.mid(3, 9), answer.mid(12)}, 0, answer);
        row("length-prefixed: barcode before the reply", prefixed, {scan, answer}, 0, answer, scan);
        row("length-prefixed: messages around the reply in one read", prefixed,
            {message + answer + "B2" + message}, 0, answer, "B2", {message, message});
        // A message cut short before the reply is held until its rest comes,
        // unless a successful run command drops what is held.
        const QByteArray held = lengthFrame(8, "RUNDATheld-message");
        row("length-prefixed: a message held meanwhile", prefixed,
            {held.left(20) + answer, held.mid(20)}, 0, answer, {}, {held});
        for (const QByteArray name : {"RUNSTX", "RUNONE"}) {
            const QByteArray run = lengthFrame(7, name + "\x06");
            row("length-prefixed: " + name + " drops the held message",
                command(name, DataProtocol7E07), {held.left(20) + run, held.mid(20)}, 0, run,
                held.mid(20));
        }
        // The frame ends three bytes early and so lacks its terminator.
        row("length-prefixed: length too short", prefixed, {lengthFrame(7, "SCNMOD0\x06", -3)},
            KXDeviceConnector::ErrorBadReply, {}, QByteArray("\x06;\x03", 3));
        // No reply within the reply time-out: what came instead is passed on.
        const int noReply = KXDeviceConnector::ErrorNoReply;
        row("text: header without the rest", text, {textAnswer.left(13)}, noReply, {},
            textAnswer.left(13));
        const QByteArray garbage = "\x7F garbage, no frame \x01";
        row("text: garbage", text, {garbage}, noReply, {}, garbage);
        // Silence: the reply time-out ends it, not the request's.
        row("text: device stays silent", text, {}, noReply, {}, {}, {}, 0, 300, 3000);
        // The extended data holds a terminator: only the length ends the
        // reply. Image material is never taken for a barcode.
        const QByteArray image = command("IMGTGT1T");
        const QByteArray head = textReply("IMGTGT1T00000020").chopped(2);
        const QByteArray data("IMAGE;\x03"
                              "0123456789ABCDEFGHIJKLMNOPQRS",
                              32);
        const QByteArrayList pieces{head + data.left(16), data.mid(16) + "\x06;\x03"};
        row("image: whole reply in two reads", image, pieces, 0, pieces.join(), {}, {}, 200, 0,
            4000);
        // 4096 bytes announced, 100 sent: the device has given up. Neither
        // the reply time-out nor the request's applies: only 5 s of silence.
        row("image: device falls silent after the header", image,
            {head.left(15) + "00001000" + QByteArray(100, 'x')}, noReply, {}, {}, {}, 0, 5000,
            15000);
        // A small frame waits 3 s of silence, not its 60 s time-out.
        row("length-prefixed: device stays silent", prefixed, {}, noReply, {}, {}, {}, 0, 3000,
            9000);
    }
    void cutsRepliesOutOfTheStream()
    {
        QFETCH(Exchange, exchange);
        PeerLink link;
        QVERIFY(link.open());
        link.connector.setTimeOut_7E01(300);
        link.peer.onFrame = [&](const QByteArray& frame) {
            if (link.peer.frames.size() == 1)
                link.peer.sendPieces(exchange.pieces, exchange.gapMs);
            else
                link.peer.send(textReply(commandName(frame) + "0\x06"));
        };

        QElapsedTimer elapsed;
        elapsed.start();
        QByteArray got;
        QCOMPARE(link.connector.sendBinaryMessage(exchange.request, got, 60000), exchange.code);
        QVERIFY2(elapsed.elapsed() >= exchange.atLeastMs && elapsed.elapsed() < exchange.belowMs,
                 qPrintable(QString::number(elapsed.elapsed())));
        QCOMPARE(got, exchange.reply);
        // Nothing of this exchange spoils the next one.
        QCOMPARE(link.connector.sendBinaryMessage(command("BEPLVL*"), got, 5000), 0);
        QCOMPARE(got, textReply("BEPLVL0\x06"));
        // Written as queued: no checksum or other change.
        QCOMPARE(link.peer.frames, (QByteArrayList{exchange.request, command("BEPLVL*")}));
        QTRY_COMPARE(link.collector.barcodeBytes(), exchange.upstream);
        QTRY_COMPARE(link.collector.messages, exchange.messages);
    }

    void rawPathWritesEverything()
    {
        PeerLink link;
        QVERIFY(link.open());
        // No envelope: written in pieces, nothing read back.
        QByteArray data(25000, '\0');
        for (int i = 0; i < data.size(); ++i)
            data[i] = char('0' + i % 64);
        QByteArray reply = "stale";
        QCOMPARE(link.connector.sendBinaryMessage(data, reply, 5000), 0);
        QVERIFY(reply.isEmpty());
        QTRY_COMPARE(link.peer.received.size(), data.size());
        QCOMPARE(link.peer.received, data);
    }
};

QTEST_GUILESS_MAIN(tst_KXDeviceConnectorPaths)
#include "tst_KXDeviceConnectorPaths.moc"
