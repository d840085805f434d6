#include "KXConnectorPeers.h"

#include <QElapsedTimer>
#include <QtTest>

using namespace kxconntest;

// The send paths against devices scripted byte by byte by the test.
class tst_KXDeviceConnectorPaths : public QObject
{
    Q_OBJECT

private slots:
    void cutsRepliesOutOfTheStream_data();
    void cutsRepliesOutOfTheStream();
    void repliesEndByTheirTimeLimits_data();
    void repliesEndByTheirTimeLimits();
    void rawPathWritesEverything();
};

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
    const QByteArray message = lengthFrame(8, "RUNDAT0042");
    const QByteArrayList none;
    QTest::newRow("text: reply in three reads")
        << text << QByteArrayList{textAnswer.left(4), textAnswer.mid(4, 6), textAnswer.mid(10)} << 0
        << textAnswer << QByteArray() << none;
    QTest::newRow("text: messages around the reply in one read")
        << text << QByteArrayList{message + textAnswer + "B2" + message} << 0 << textAnswer
        << QByteArray("B2") << QByteArrayList{message, message};
    // More than a held scan's worth without any header: all but the last 13
    // bytes (which may start the header) go on while the reply is awaited.
    QByteArray scans;
    for (int i = 0; scans.size() < 3000; ++i)
        scans += "SCAN-" + QByteArray::number(i).rightJustified(5, '0') + "\r\n";
    QTest::newRow("text: long run of scans before the reply")
        << text << QByteArrayList{scans, textAnswer} << 0 << textAnswer << scans << none;

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
    // A message cut short before the reply is held until its rest comes,
    // unless a successful run command drops what is held.
    const QByteArray held = lengthFrame(8, "RUNDATheld-message");
    QTest::newRow("length-prefixed: a message held meanwhile")
        << prefixed << QByteArrayList{held.left(20) + answer, held.mid(20)} << 0 << answer
        << QByteArray() << QByteArrayList{held};
    for (const QByteArray name : {"RUNSTX", "RUNONE"}) {
        const QByteArray run = lengthFrame(7, name + "\x06");
        QTest::newRow(qPrintable("length-prefixed: " + name + " drops the held message"))
            << command(name, DataProtocol7E07) << QByteArrayList{held.left(20) + run, held.mid(20)}
            << 0 << run << held.mid(20) << none;
    }
    // The frame ends three bytes early and so lacks its terminator.
    QTest::newRow("length-prefixed: length too short")
        << prefixed << QByteArrayList{lengthFrame(7, "SCNMOD0\x06", -3)}
        << int(KXDeviceConnector::ErrorBadReply) << QByteArray() << QByteArray("\x06;\x03", 3)
        << none;
    // No reply within the reply time-out: what came instead is passed on.
    const int noReply = KXDeviceConnector::ErrorNoReply;
    QTest::newRow("text: header without the rest")
        << text << QByteArrayList{textAnswer.left(13)} << noReply << QByteArray()
        << textAnswer.left(13) << none;
    QTest::newRow("text: garbage")
        << text << QByteArrayList{"\x7F garbage, no frame \x01"} << noReply << QByteArray()
        << QByteArray("\x7F garbage, no frame \x01") << none;
}

void tst_KXDeviceConnectorPaths::cutsRepliesOutOfTheStream()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArrayList, pieces);
    QFETCH(int, code);
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, upstream);
    QFETCH(QByteArrayList, messages);

    PeerLink link;
    QVERIFY(link.open());
    link.connector.setTimeOut_7E01(300);
    link.peer.onFrame = [&](const QByteArray& frame) {
        if (link.peer.frames.size() == 1)
            link.peer.sendPieces(pieces, 40);
        else
            link.peer.send(textReply(commandName(frame) + "0\x06"));
    };

    QByteArray got;
    QCOMPARE(link.connector.sendBinaryMessage(request, got, 5000), code);
    QCOMPARE(got, reply);
    // Nothing of this exchange spoils the next one.
    QCOMPARE(link.connector.sendBinaryMessage(command("BEPLVL*"), got, 5000), 0);
    QCOMPARE(got, textReply("BEPLVL0\x06"));
    // Written as queued: no checksum or other change.
    QCOMPARE(link.peer.frames, (QByteArrayList{request, command("BEPLVL*")}));
    QTRY_COMPARE(link.collector.barcodeBytes(), upstream);
    QTRY_COMPARE(link.collector.messages, messages);
}

void tst_KXDeviceConnectorPaths::repliesEndByTheirTimeLimits_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArrayList>("pieces"); // written 200 ms apart
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("atLeastMs");
    QTest::addColumn<int>("belowMs");

    const int noReply = KXDeviceConnector::ErrorNoReply;
    QTest::newRow("text: device stays silent")
        << command("SCNMOD*") << QByteArrayList() << noReply << 300 << 3000;
    // The extended data holds a terminator: only the length ends the reply.
    const QByteArray image = command("IMGTGT1T");
    const QByteArray head = textReply("IMGTGT1T00000020").chopped(2);
    const QByteArray data("IMAGE;\x03"
                          "0123456789ABCDEFGHIJKLMNOPQRS",
                          32);
    QTest::newRow("image: whole reply in two reads")
        << image << QByteArrayList{head + data.left(16), data.mid(16) + "\x06;\x03"} << 0 << 0
        << 4000;
    // 4096 bytes announced, 100 sent: the device has given up. Neither the
    // reply time-out nor the request's applies: only 5 s of silence.
    QTest::newRow("image: device falls silent after the header")
        << image << QByteArrayList{head.left(15) + "00001000" + QByteArray(100, 'x')} << noReply
        << 5000 << 15000;
    // A small frame waits 3 s of silence, not its 60 s time-out.
    QTest::newRow("length-prefixed: device stays silent")
        << command("SCNMOD*", DataProtocol7E07) << QByteArrayList() << noReply << 3000 << 9000;
}

void tst_KXDeviceConnectorPaths::repliesEndByTheirTimeLimits()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArrayList, pieces);
    QFETCH(int, code);
    QFETCH(int, atLeastMs);
    QFETCH(int, belowMs);

    PeerLink link;
    QVERIFY(link.open());
    link.connector.setTimeOut_7E01(300);
    link.peer.onFrame = [&](const QByteArray&) { link.peer.sendPieces(pieces, 200); };

    QElapsedTimer elapsed;
    elapsed.start();
    QByteArray reply;
    QCOMPARE(link.connector.sendBinaryMessage(request, reply, 60000), code);
    QVERIFY2(elapsed.elapsed() >= atLeastMs && elapsed.elapsed() < belowMs,
             qPrintable(QString::number(elapsed.elapsed())));
    QCOMPARE(reply, code == 0 ? pieces.join() : QByteArray());
    // Image material is never taken for a barcode.
    QVERIFY(link.collector.barcodes.isEmpty());
}

void tst_KXDeviceConnectorPaths::rawPathWritesEverything()
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

QTEST_GUILESS_MAIN(tst_KXDeviceConnectorPaths)
#include "tst_KXDeviceConnectorPaths.moc"
