#include "datastream/KXCodecTestUtil.h"

#include <KXDataStream.h>

#include <QtTest>

using namespace kxtest;

class tst_KXDataStreamMaker : public QObject
{
    Q_OBJECT

private slots:
    void writesCommandText();
    void refusesBadNamesAndDuplicates();
    void writesEnvelopes_data();
    void writesEnvelopes();
    void emptyMakerWritesNothing();
    void roundTripsThroughParser_data();
    void roundTripsThroughParser();
    void serializesOddEntries_data();
    void serializesOddEntries();
    void copiesAndMoves();
};

void tst_KXDataStreamMaker::writesCommandText()
{
    KXDataStreamMaker maker;
    QVERIFY(maker.add("DFM", QByteArray(), "QCU"));
    QVERIFY(maker.add("LUA", QByteArray(), "QRY"));
    QVERIFY(maker.addCmd("DFMADD", "1,2"));
    // Sub-tags join their tag's entry in the order added; data is not escaped.
    QCOMPARE(maker.toRawData(), QByteArray("DFMQCU,ADD1,2;LUAQRY;"));
    QCOMPARE(maker.toByteArray(true), textFrame("@DFMQCU,ADD1,2;LUAQRY", false));
    QCOMPARE(maker.toByteArray(false), textFrame("#DFMQCU,ADD1,2;LUAQRY", false));
}

void tst_KXDataStreamMaker::refusesBadNamesAndDuplicates()
{
    KXDataStreamMaker maker;
    QVERIFY(!maker.add(QString(), "x", "QCU"));
    QVERIFY(!maker.addCmd("DFMQC", "x"));
    QVERIFY(!maker.addCmd("DFMQCUX", "x"));
    QVERIFY(maker.addCmd("DFMQCU", QByteArray()));
    QVERIFY(!maker.addCmd("DFMQCU", "other"));
    QCOMPARE(maker.toRawData(), QByteArray("DFMQCU;"));
    QVERIFY(maker.addCmd("DFMQCU", QByteArray(), true));
    QCOMPARE(maker.toByteArray(true), textFrame("@DFMQCU,QCU", false));
}

void tst_KXDataStreamMaker::writesEnvelopes_data()
{
    QTest::addColumn<int>("protocol");
    QTest::addColumn<QByteArray>("frame");

    // The maker's text ends with ';', which the length field still counts.
    QTest::newRow("7E01") << 1 << textFrame("@DFMQCU1;LUAQRY", false);
    QTest::newRow("7E07") << 7 << lengthFrame('\x7E', '\x07', "@DFMQCU1;LUAQRY", 18);
    QTest::newRow("7E09 prefix only") << 9 << QByteArray("@DFMQCU1;LUAQRY;");
    QTest::newRow("none") << -1 << QByteArray("@DFMQCU1;LUAQRY;");
}

void tst_KXDataStreamMaker::writesEnvelopes()
{
    QFETCH(int, protocol);
    QFETCH(QByteArray, frame);

    KXDataStreamMaker maker{EDataProtocol(protocol)};
    maker.addCmd("DFMQCU", "1");
    maker.addCmd("LUAQRY", QByteArray());
    QCOMPARE(maker.toByteArray(true), frame);
    QCOMPARE(int(maker.protocol()), protocol);
}

void tst_KXDataStreamMaker::emptyMakerWritesNothing()
{
    const KXDataStreamMaker maker(DataProtocol7E07);
    QCOMPARE(maker.toByteArray(true), QByteArray());
    QCOMPARE(maker.toRawData(), QByteArray());
}

void tst_KXDataStreamMaker::roundTripsThroughParser_data()
{
    QTest::addColumn<int>("protocol");
    QTest::addColumn<QStringList>("cmds");
    QTest::addColumn<QByteArray>("data");

    QTest::newRow("7E01, three tags")
        << 1 << QStringList({"QRYSYS", "QRYVER", "DFMQCU", "LUAQRY"}) << QByteArray("12");
    QTest::newRow("7E01, binary value") << 1 << QStringList({"DFMSET"}) << bytes("\x01\xfe");
    QTest::newRow("7E07, one command with separators")
        << 7 << QStringList({"IMGJGT"}) << QByteArray("1;2,3");
}

void tst_KXDataStreamMaker::roundTripsThroughParser()
{
    QFETCH(int, protocol);
    QFETCH(QStringList, cmds);
    QFETCH(QByteArray, data);

    KXDataStreamMaker maker{EDataProtocol(protocol)};
    for (const QString& cmd : cmds)
        QVERIFY(maker.addCmd(cmd, data));
    const KXDataStreamParser parser(maker.toByteArray(true), DataTypeCommand);
    QVERIFY(parser.isValid());
    QCOMPARE(int(parser.getProtocol()), protocol);
    QCOMPARE(parser.getAllCmds(), cmds);
    for (const QString& cmd : cmds) {
        _tagDataStreamSubTag sub;
        QVERIFY(parser.getSubTagData(cmd, sub));
        QCOMPARE(sub.data, data);
    }
    QString special;
    QByteArray params;
    QStringList checked;
    QVERIFY(KXCheckDataStreamCmd(maker.toByteArray(true), special, params, &checked));
    QCOMPARE(checked, cmds);
}

void tst_KXDataStreamMaker::serializesOddEntries_data()
{
    QTest::addColumn<QString>("tag");
    QTest::addColumn<QString>("subTag");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("raw");

    // A tag that is not three letters long is written bare.
    QTest::newRow("long tag") << "DFMQCU"
                              << "X" << QByteArray("1") << QByteArray("DFMQCU;");
    QTest::newRow("nameless item") << "IMG" << QString() << QByteArray("*") << QByteArray("IMG*;");
    QTest::newRow("empty item dropped") << "IMG" << QString() << QByteArray() << QByteArray("IMG;");
}

void tst_KXDataStreamMaker::serializesOddEntries()
{
    QFETCH(QString, tag);
    QFETCH(QString, subTag);
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, raw);

    KXDataStreamMaker maker;
    QVERIFY(maker.add(tag, data, subTag));
    QCOMPARE(maker.toRawData(), raw);
    QCOMPARE(maker.toByteArray(true), textFrame("@" + raw.chopped(1), false));
}

void tst_KXDataStreamMaker::copiesAndMoves()
{
    KXDataStreamMaker original(DataProtocol7E07);
    original.addCmd("DFMQCU", "1");
    KXDataStreamMaker copy = original;
    copy.addCmd("LUAQRY", "2");
    QCOMPARE(original.toRawData(), QByteArray("DFMQCU1;"));
    QCOMPARE(copy.toRawData(), QByteArray("DFMQCU1;LUAQRY2;"));

    KXDataStreamMaker moved = std::move(copy);
    QCOMPARE(moved.protocol(), DataProtocol7E07);
    QCOMPARE(moved.toRawData(), QByteArray("DFMQCU1;LUAQRY2;"));
    KXDataStreamMaker assigned;
    assigned = std::move(moved);
    QCOMPARE(assigned.protocol(), DataProtocol7E07);
    QCOMPARE(assigned.tagList().size(), 2);
}

QTEST_GUILESS_MAIN(tst_KXDataStreamMaker)
#include "tst_KXDataStreamMaker.moc"
