#include "datastream/KXCodecTestUtil.h"

#include <KXDataStream.h>

#include <QtTest>

using namespace kxtest;

class tst_KXDataStreamParser : public QObject
{
    Q_OBJECT

private slots:
    void recognisesEnvelopes_data();
    void recognisesEnvelopes();
    void parsesTagList_data();
    void parsesTagList();
    void readsSpecialItems();
    void tagMapKeepsAcknowledgedValues();
    void looksUpSubTags();
    void editsSubTagsInPlace();
    void setSubTagDatasStopsAtFirstFailure();
    void parsesTextWithoutHeader_data();
    void parsesTextWithoutHeader();
    void textWithoutHeaderKeepsStateWhenEmpty();
    void writesEditedListBack();
    void copiesAreIndependent();
};

void tst_KXDataStreamParser::recognisesEnvelopes_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<int>("protocol");
    QTest::addColumn<bool>("valid");

    QTest::newRow("host 7E01") << bytes("\x7E\x01"
                                        "0000@DFMQCU;\x03")
                               << 1 << true;
    QTest::newRow("device 0201 0000") << bytes("\x02\x01"
                                               "0000@DFMQCU\x06;\x03")
                                      << 1 << true;
    QTest::newRow("device 0201 without 0000") << bytes("\x02\x01"
                                                       "0001@DFMQCU;\x03")
                                              << -1 << false;
    QTest::newRow("host 7E07") << lengthFrame('\x7E', '\x07', "@DFMQCU") << 7 << true;
    QTest::newRow("device 0207") << lengthFrame('\x02', '\x07', "@DFMQCU\x06") << 7 << true;
    QTest::newRow("device 0208") << lengthFrame('\x02', '\x08', "@RUNDAT1") << 8 << true;
    QTest::newRow("host 7E08 does not exist")
        << lengthFrame('\x7E', '\x08', "@RUNDAT1") << -1 << false;
    QTest::newRow("host 7E09") << lengthFrame('\x7E', '\x09', "@DFMQCU") << 9 << true;
    QTest::newRow("device 0209") << lengthFrame('\x02', '\x09', "@DFMQCU") << 9 << true;
    QTest::newRow("nine bytes") << bytes("\x7E\x01"
                                         "0000@;\x03")
                                << -1 << false;
    QTest::newRow("ten bytes, prefix only") << bytes("\x7E\x01"
                                                     "0000@;;\x03")
                                            << 1 << false;
    QTest::newRow("no terminator") << bytes("\x7E\x01"
                                            "0000@DFMQCU;")
                                   << -1 << false;
    QTest::newRow("terminator not at end") << bytes("\x7E\x01"
                                                    "0000@DFMQCU;\x03x")
                                           << -1 << false;
    QTest::newRow("unknown start") << bytes("\x7F\x01"
                                            "0000@DFMQCU;\x03")
                                   << -1 << false;
    QTest::newRow("unknown protocol byte") << bytes("\x7E\x02"
                                                    "0000@DFMQCU;\x03")
                                           << -1 << false;
    QTest::newRow("bad prefix") << bytes("\x7E\x01"
                                         "0000!DFMQCU;\x03")
                                << 1 << false;
    QTest::newRow("empty") << QByteArray() << -1 << false;
}

void tst_KXDataStreamParser::recognisesEnvelopes()
{
    QFETCH(QByteArray, frame);
    QFETCH(int, protocol);
    QFETCH(bool, valid);

    const KXDataStreamParser parser(frame);
    QCOMPARE(int(parser.getProtocol()), protocol);
    QCOMPARE(parser.isValid(), valid);
    QCOMPARE(parser.getDataType(), DataTypeResponse);
    // An unrecognised frame keeps nothing, so toByteArray cannot echo it.
    if (protocol == -1)
        QVERIFY(parser.getTagList().isEmpty());
}

void tst_KXDataStreamParser::parsesTagList_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QString>("tags");

    QTest::newRow("two commands") << textFrame("@DFMQCU;LUAQRY", false) << "DFM{QCU=};LUA{QRY=}";
    QTest::newRow("trailing ';' before terminator")
        << textFrame("@DFMQCU;LUAQRY;", false) << "DFM{QCU=};LUA{QRY=}";
    QTest::newRow("'#' prefix") << textFrame("#DFMQCU", false) << "DFM{QCU=}";
    QTest::newRow("repeated tag joins its first entry")
        << textFrame("@DFMQCU;LUAQRY;DFMADD1") << "DFM{QCU=,ADD=31};LUA{QRY=}";
    QTest::newRow("sub-tag items and values")
        << textFrame("@QRYSYS\x06,VERV1.2\x06") << "QRY{SYS=06,VER=56 31 2e 32 06}";
    QTest::newRow("bare tag yields nothing") << textFrame("@DFM;LUAQRY") << "LUA{QRY=}";
    QTest::newRow("empty commands and items dropped")
        << textFrame("@;;DFMQCU,,ADD;;") << "DFM{QCU=,ADD=}";
    QTest::newRow("short item rejected, rest kept")
        << textFrame("@DFMQCU,AB,ADD") << "DFM{QCU=,ADD=}";
    QTest::newRow("short command rejected") << textFrame("@AB;DFMQCU") << "DFM{QCU=}";
    QTest::newRow("special command") << textFrame("@*;DFMQCU") << "{_=2a};DFM{QCU=}";
    QTest::newRow("special items under a tag")
        << textFrame("@IMGGET*,JGT&,^") << "IMG{GET=2a,JGT=26,_=5e}";
    QTest::newRow("two-byte special is no special") << textFrame("@**;DFMQCU") << "DFM{QCU=}";
    QTest::newRow("only a bare tag") << textFrame("@DFM") << "";
    QTest::newRow("protocol 7 keeps ';' and ',' in one item")
        << lengthFrame('\x02', '\x07', "@IMGJGT1;2,3") << "IMG{JGT=31 3b 32 2c 33}";
    QTest::newRow("protocol 9 binary value")
        << lengthFrame('\x02', '\x09', bytes("@IMGGLI\\x00\x03;\x03\x06"))
        << "IMG{GLI=00 03 3b 03 06}";
    QTest::newRow("protocol 8 upstream message")
        << lengthFrame('\x02', '\x08', "@RUNDAT12345") << "RUN{DAT=31 32 33 34 35}";
    QTest::newRow("protocol 7 bare tag") << lengthFrame('\x02', '\x07', "@DFM") << "";
    QTest::newRow("high bytes stay bytes")
        << textFrame(bytes("@DFMQCU\xe9\xff")) << "DFM{QCU=e9 ff}";
}

void tst_KXDataStreamParser::parsesTagList()
{
    QFETCH(QByteArray, frame);
    QFETCH(QString, tags);

    const KXDataStreamParser parser(frame);
    QCOMPARE(dump(parser.getTagList()), tags);
    QCOMPARE(parser.isValid(), !tags.isEmpty());
}

void tst_KXDataStreamParser::readsSpecialItems()
{
    const KXDataStreamParser parser(textFrame("@*;DFMQCU1,*"));
    QVERIFY(parser.isValid());
    // The command "*" has neither tag nor name; "*" under DFM has a tag.
    QCOMPARE(parser.getAllCmds(), QStringList({QString(), "DFMQCU", "DFM"}));
    const auto pairs = parser.getSubTagDatas(QString());
    QCOMPARE(pairs.size(), 3);
    QCOMPARE(pairs.at(0), qMakePair(QString(), QByteArray("*")));
    QCOMPARE(pairs.at(2), qMakePair(QString("DFM"), QByteArray("*")));
    QCOMPARE(parser.getTagMap(false).keys(), QStringList({"DFMQCU"}));
    QCOMPARE(parser.getSubTagDatas("DFM").size(), 2);
    QVERIFY(parser.getSubTagDatas("LUA").isEmpty());
}

void tst_KXDataStreamParser::tagMapKeepsAcknowledgedValues()
{
    const KXDataStreamParser parser(
        textFrame(bytes("@DFMQCU\x06,ADD12\x15,SET\x05;LUAQRYv1\x06,NUL;DFMQCUlast\x06")));
    QVERIFY(parser.isValid());

    const QMap<QString, QByteArray> acked = parser.getTagMap(true);
    // Repeated mnemonics: the later one wins. Empty data is left out.
    QCOMPARE(acked.keys(), QStringList({"DFMQCU", "LUAQRY"}));
    QCOMPARE(acked.value("DFMQCU"), QByteArray("last"));
    QCOMPARE(acked.value("LUAQRY"), QByteArray("v1"));

    const QMap<QString, QByteArray> all = parser.getTagMap(false);
    QCOMPARE(all.keys(), QStringList({"DFMADD", "DFMQCU", "DFMSET", "LUAQRY"}));
    QCOMPARE(all.value("DFMADD"), bytes("12\x15"));
    QCOMPARE(all.value("DFMQCU"), bytes("last\x06"));

    const KXDataStreamParser single(textFrame(bytes("@DFMQCU\x06")));
    QCOMPARE(single.getTagMap(true).value("DFMQCU", "missing"), QByteArray());
    QCOMPARE(single.getTagMap(false).value("DFMQCU"), bytes("\x06"));
}

void tst_KXDataStreamParser::looksUpSubTags()
{
    const KXDataStreamParser parser(textFrame("@DFMQCUa,ADDb,QCUc;LUAQRYd"));
    QList<_tagDataStreamSubTag> subs;
    QVERIFY(parser.getSubTags("DFM", subs));
    QCOMPARE(subs.size(), 3);
    QVERIFY(!parser.getSubTags("DF", subs));
    QVERIFY(!parser.getSubTags("DFMQ", subs));
    QVERIFY(!parser.getSubTags("XYZ", subs));
    QCOMPARE(subs.size(), 3); // untouched by the failed look-ups

    _tagDataStreamSubTag sub{"keep", "keep"};
    QVERIFY(parser.getSubTagData("DFM", "QCU", sub));
    QCOMPARE(sub.data, QByteArray("a")); // the first of two
    QVERIFY(parser.getSubTagData("LUAQRY", sub));
    QCOMPARE(sub.data, QByteArray("d"));
    QVERIFY(!parser.getSubTagData("DFM", "XYZ", sub));
    QVERIFY(!parser.getSubTagData("@DFMQCU", sub));
    QVERIFY(!parser.getSubTagData("DFMQC", sub));
    QCOMPARE(sub.subTag, QString("QRY"));
    QVERIFY(parser.exists("DFM"));
    QVERIFY(parser.exists("DFM", "ADD"));
    QVERIFY(!parser.exists("LUA", "ADD"));
}

void tst_KXDataStreamParser::editsSubTagsInPlace()
{
    KXDataStreamParser parser(textFrame("@DFMQCU1,ADD2;LUAQRY3"));
    QVERIFY(parser.setSubTagData("@DFMQCU", "x"));
    QVERIFY(parser.setSubTagData("#LUAQRY", "y"));
    QVERIFY(!parser.setSubTagData("DFMQC", "z"));
    QVERIFY(!parser.setSubTagData("DFMXYZ", "z")); // nothing is added
    QVERIFY(!parser.setSubTagData("XYZQCU", "z"));
    QCOMPARE(dump(parser.getTagList()), QString("DFM{QCU=78,ADD=32};LUA{QRY=79}"));
}

void tst_KXDataStreamParser::setSubTagDatasStopsAtFirstFailure()
{
    KXDataStreamParser parser(textFrame("@DFMQCU1,ADD2;LUAQRY3"));
    // Ascending key order: DFMADD, DFMQCU, DFMXYZ (fails), LUAQRY (not reached).
    const QMap<QString, QByteArray> edits{
        {"DFMQCU", "a"}, {"DFMADD", "b"}, {"DFMXYZ", "c"}, {"LUAQRY", "d"}};
    QVERIFY(!parser.setSubTagDatas(edits));
    QCOMPARE(dump(parser.getTagList()), QString("DFM{QCU=61,ADD=62};LUA{QRY=33}"));
    QVERIFY(parser.setSubTagDatas({{"LUAQRY", "e"}}));
    QCOMPARE(parser.getTagMap(false).value("LUAQRY"), QByteArray("e"));
}

void tst_KXDataStreamParser::parsesTextWithoutHeader_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("protocol");
    QTest::addColumn<bool>("result");
    QTest::addColumn<int>("protocolAfter");
    QTest::addColumn<QString>("tags");

    QTest::newRow("protocol 1 splits")
        << QByteArray("DFMQCU,ADD1;LUAQRY;") << 1 << true << 1 << "DFM{QCU=,ADD=31};LUA{QRY=}";
    QTest::newRow("protocol 1, only bare tags") << QByteArray("DFM;LUA") << 1 << false << 1 << "";
    // Another protocol keeps the stored one (-1 here): one command, one item.
    QTest::newRow("protocol 7 on a fresh parser")
        << QByteArray("IMGJGT1;2,3") << 7 << true << -1 << "IMG{JGT=31 3b 32 2c 33}";
    QTest::newRow("special command alone") << QByteArray("*") << 9 << true << -1 << "{_=2a}";
}

void tst_KXDataStreamParser::parsesTextWithoutHeader()
{
    QFETCH(QByteArray, text);
    QFETCH(int, protocol);
    QFETCH(bool, result);
    QFETCH(int, protocolAfter);
    QFETCH(QString, tags);

    KXDataStreamParser parser;
    QCOMPARE(parser.setDataWithoutHeader(text, EDataProtocol(protocol)), result);
    QCOMPARE(parser.isValid(), result);
    QCOMPARE(int(parser.getProtocol()), protocolAfter);
    QCOMPARE(dump(parser.getTagList()), tags);
}

void tst_KXDataStreamParser::textWithoutHeaderKeepsStateWhenEmpty()
{
    KXDataStreamParser parser(textFrame("@DFMQCU,ADD"));
    QVERIFY(parser.isValid());
    // No command at all: false, the list is cleared, the valid flag stays.
    QVERIFY(!parser.setDataWithoutHeader(";;", DataProtocol7E01));
    QVERIFY(parser.isValid());
    QVERIFY(parser.getTagList().isEmpty());

    // A parser that came from a protocol 1 frame keeps splitting items even
    // when the text is handed over under another protocol.
    QVERIFY(parser.setDataWithoutHeader("DFMQCU,ADD", DataProtocol7E07));
    QCOMPARE(dump(parser.getTagList()), QString("DFM{QCU=,ADD=}"));
    QCOMPARE(parser.getProtocol(), DataProtocol7E01);
}

void tst_KXDataStreamParser::writesEditedListBack()
{
    KXDataStreamParser parser(textFrame(bytes("@DFMQCU\x06,ADD12\x06;LUAQRY\x06")));
    QVERIFY(parser.setSubTagData("DFMQCU", "9"));
    // Device frames are written back in the host envelope.
    QCOMPARE(parser.toByteArray(true), textFrame(bytes("@DFMQCU9,ADD12\x06;LUAQRY\x06"), false));
    QCOMPARE(parser.toByteArray(false), textFrame(bytes("#DFMQCU9,ADD12\x06;LUAQRY\x06"), false));
    QCOMPARE(parser.toRawData(), bytes("DFMQCU9,ADD12\x06;LUAQRY\x06;"));

    const KXDataStreamParser reparsed(parser.toByteArray(true));
    QCOMPARE(dump(reparsed.getTagList()), dump(parser.getTagList()));

    // An empty list still makes "@;"; without a protocol there is no envelope,
    // under protocol 1 the trailing ';' gives way to the terminator.
    const KXDataStreamParser empty;
    QCOMPARE(empty.toByteArray(true), QByteArray("@;"));
    KXDataStreamParser emptyText;
    emptyText.setDataWithoutHeader(";", DataProtocol7E01);
    QCOMPARE(emptyText.toByteArray(true), textFrame("@", false));

    const KXDataStreamParser seven(lengthFrame('\x02', '\x07', "@IMGJGT1;2"));
    QCOMPARE(seven.toByteArray(true), lengthFrame('\x7E', '\x07', "@IMGJGT1;2", 13));
}

void tst_KXDataStreamParser::copiesAreIndependent()
{
    KXDataStreamParser original(textFrame("@DFMQCU1"), DataTypeCommand);
    KXDataStreamParser copy(original);
    QVERIFY(copy.setSubTagData("DFMQCU", "2"));
    QCOMPARE(original.getTagMap(false).value("DFMQCU"), QByteArray("1"));
    QCOMPARE(copy.getDataType(), DataTypeCommand);
    QCOMPARE(copy.getProtocol(), DataProtocol7E01);

    KXDataStreamParser assigned;
    assigned = copy;
    QCOMPARE(assigned.getTagMap(false).value("DFMQCU"), QByteArray("2"));
    // The copy still knows its tags: a new DFM sub-tag joins the entry.
    QVERIFY(assigned.addSubTags("DFM", {{"ADD", "3"}}));
    QCOMPARE(dump(assigned.getTagList()), QString("DFM{QCU=32,ADD=33}"));
    QCOMPARE(dump(copy.getTagList()), QString("DFM{QCU=32}"));
}

QTEST_GUILESS_MAIN(tst_KXDataStreamParser)
#include "tst_KXDataStreamParser.moc"
