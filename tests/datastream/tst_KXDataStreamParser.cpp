#include "datastream/KXCodecTestUtil.h"

#include <KXDataStream.h>

#include <QtTest>

using namespace kxtest;

class tst_KXDataStreamParser : public QObject
{
    Q_OBJECT

private slots:
    void parsesFrames_data()
    {
        // An empty tag list also means "not valid".
        const auto row = table<QByteArray, int, QString>();
        row("host 7E01", hostFrame("@DFMQCU;LUAQRY"), 1, "DFM{QCU=};LUA{QRY=}");
        row("device 0201 0000", textFrame("@DFMQCU\x06"), 1, "DFM{QCU=06}");
        row("device 0201 without 0000", bytes("\x02\x01\\x30001@DFMQCU;\x03"), -1, "");
        row("host 7E07", lengthFrame(0x7E07, "@DFMQCU"), 7, "DFM{QCU=}");
        row("device 0207", lengthFrame(0x0207, "@DFMQCU"), 7, "DFM{QCU=}");
        row("device 0208", lengthFrame(0x0208, "@RUNDAT1"), 8, "RUN{DAT=31}");
        row("host 7E08 does not exist", lengthFrame(0x7E08, "@RUNDAT1"), -1, "");
        row("host 7E09", lengthFrame(0x7E09, "@DFMQCU"), 9, "DFM{QCU=}");
        row("device 0209", lengthFrame(0x0209, "@DFMQCU"), 9, "DFM{QCU=}");
        row("nine bytes", hostFrame("@"), -1, "");
        row("ten bytes, prefix only", hostFrame("@;"), 1, "");
        row("terminator not at end", hostFrame("@DFMQCU") + "x", -1, "");
        row("unknown start", bytes("\x7F\x01\\x30000@DFMQCU;\x03"), -1, "");
        row("unknown protocol byte", bytes("\x7E\x02\\x30000@DFMQCU;\x03"), -1, "");
        row("bad prefix", hostFrame("!DFMQCU"), 1, "");
        row("'#' prefix", hostFrame("#DFMQCU"), 1, "DFM{QCU=}");
        row("empty", "", -1, "");
        row("repeated tag joins its first entry", textFrame("@DFMQCU;LUAQRY;DFMADD1"), 1,
            "DFM{QCU=,ADD=31};LUA{QRY=}");
        row("sub-tag items and values", textFrame("@QRYSYS\x06,VERV1.2\x06"), 1,
            "QRY{SYS=06,VER=56 31 2e 32 06}");
        row("bare tag yields nothing", textFrame("@DFM;LUAQRY"), 1, "LUA{QRY=}");
        row("empty commands and items dropped", textFrame("@;;DFMQCU,,ADD;;"), 1, "DFM{QCU=,ADD=}");
        row("short item rejected, rest kept", textFrame("@DFMQCU,AB,ADD"), 1, "DFM{QCU=,ADD=}");
        row("short command rejected", textFrame("@AB;DFMQCU"), 1, "DFM{QCU=}");
        row("special commands", textFrame("@*;DFMQCU;&"), 1, "{_=2a,_=26};DFM{QCU=}");
        row("special items", textFrame("@IMGGET*,JGT&,^"), 1, "IMG{GET=2a,JGT=26,_=5e}");
        row("two-byte special is no special", textFrame("@**;DFMQCU"), 1, "DFM{QCU=}");
        row("only a bare tag", textFrame("@DFM"), 1, "");
        row("protocol 7 keeps ';' and ',' in one item", lengthFrame(0x0207, "@IMGJGT1;2,3"), 7,
            "IMG{JGT=31 3b 32 2c 33}");
        row("high bytes stay bytes", textFrame("@DFMQCU\xe9\xff"), 1, "DFM{QCU=e9 ff}");

        // Past a few tags, repeated ones are found by another route.
        QByteArray text = "@";
        QStringList tags;
        for (int i = 0; i < 20; ++i) {
            text += QByteArray::number(100 + i) + "QRY;";
            tags += QString::number(100 + i) + (i == 0 || i == 19 ? "{QRY=,ADD=}" : "{QRY=}");
        }
        row("many tags", textFrame(text + "100ADD;119ADD"), 1, tags.join(';'));
    }

    void parsesFrames()
    {
        const auto [frame, protocol, tags] = fetch<QByteArray, int, QString>();

        const KXDataStreamParser parser(frame);
        QCOMPARE(int(parser.getProtocol()), protocol);
        QCOMPARE(dump(parser.getTagList()), tags);
        QCOMPARE(parser.isValid(), !tags.isEmpty());
        QCOMPARE(parser.getDataType(), DataTypeResponse);
    }

    void readsSpecialItems()
    {
        KXDataStreamParser parser(textFrame("@*;DFMQCU1,*"));
        // A named sub-tag under no tag has no mnemonic at all.
        parser.addSubTags(QString(), {{"QCU", "2"}});
        // The command "*" has neither tag nor name; "*" under DFM has a tag.
        QCOMPARE(parser.getAllCmds(), QStringList({QString(), "DFMQCU", "DFM"}));
        using Pairs = QList<QPair<QString, QByteArray>>;
        QCOMPARE(parser.getSubTagDatas(QString()),
                 Pairs({{QString(), "*"}, {"DFMQCU", "1"}, {"DFM", "*"}}));
        QCOMPARE(parser.getSubTagDatas("DFM").size(), 2);
        QVERIFY(parser.getSubTagDatas("LUA").isEmpty());
        QCOMPARE(parser.getTagMap(false).keys(), QStringList({"DFMQCU"}));
    }

    void tagMapKeepsAcknowledgedValues()
    {
        using Map = QMap<QString, QByteArray>;
        const KXDataStreamParser parser(
            textFrame("@DFMQCU\x06,ADD12\x15,SET\x05;LUAQRYv1\x06,NUL;DFMQCUlast\x06"));
        // Repeated mnemonics: the later one wins. Empty data is left out.
        QCOMPARE(parser.getTagMap(true), (Map{{"DFMQCU", "last"}, {"LUAQRY", "v1"}}));
        QCOMPARE(parser.getTagMap(false), (Map{{"DFMADD", "12\x15"},
                                               {"DFMQCU", "last\x06"},
                                               {"DFMSET", "\x05"},
                                               {"LUAQRY", "v1\x06"}}));
        // A bare ACK maps to empty data.
        QCOMPARE(KXDataStreamParser(textFrame("@DFMQCU\x06")).getTagMap(true),
                 (Map{{"DFMQCU", ""}}));
    }

    void looksUpSubTags()
    {
        const KXDataStreamParser parser(textFrame("@DFMQCUa,ADDb,QCUc;LUAQRYd"));
        QList<_tagDataStreamSubTag> subs;
        QVERIFY(parser.getSubTags("DFM", subs));
        QCOMPARE(subs.size(), 3);
        QVERIFY(!parser.getSubTags("DF", subs));
        QVERIFY(!parser.getSubTags("XYZ", subs));
        QCOMPARE(subs.size(), 3); // untouched by the failed look-ups

        _tagDataStreamSubTag sub{"keep", "keep"};
        QVERIFY(parser.getSubTagData("DFM", "QCU", sub));
        QCOMPARE(sub.data, QByteArray("a")); // the first of two
        QVERIFY(parser.getSubTagData("LUAQRY", sub));
        QCOMPARE(sub.data, QByteArray("d"));
        QVERIFY(!parser.getSubTagData("DFM", "XYZ", sub));
        QVERIFY(!parser.getSubTagData("@DFMQCU", sub));
        QCOMPARE(sub.subTag, QString("QRY"));
        QVERIFY(parser.exists("DFM", "ADD"));
        QVERIFY(!parser.exists("LUA", "ADD"));
    }

    void editsSubTagsInPlace()
    {
        KXDataStreamParser parser(textFrame("@DFMQCU1,ADD2;LUAQRY3"), DataTypeCommand);
        QVERIFY(parser.setSubTagData("@DFMQCU", "x"));
        QVERIFY(parser.setSubTagData("#LUAQRY", "y"));
        QVERIFY(!parser.setSubTagData("DFMQC", "z"));
        QVERIFY(!parser.setSubTagData("DFMXYZ", "z")); // nothing is added
        QCOMPARE(dump(parser.getTagList()), QString("DFM{QCU=78,ADD=32};LUA{QRY=79}"));
        // Ascending key order: DFMADD, DFMQCU, DFMXYZ (fails), LUAQRY (not reached).
        QVERIFY(!parser.setSubTagDatas(
            {{"DFMQCU", "a"}, {"DFMADD", "b"}, {"DFMXYZ", "c"}, {"LUAQRY", "d"}}));
        QCOMPARE(dump(parser.getTagList()), QString("DFM{QCU=61,ADD=62};LUA{QRY=79}"));
        QVERIFY(parser.setSubTagDatas({{"LUAQRY", "e"}}));

        // A copy takes new sub-tags: a new DFM sub-tag joins the parsed
        // entry, a new tag gets its own. The original stays as it was.
        KXDataStreamParser copy(parser);
        QCOMPARE(copy.getDataType(), DataTypeCommand);
        QVERIFY(copy.addSubTags("DFM", {{"SET", "3"}}));
        QVERIFY(copy.addSubTags("IMG", {{"GET", ""}}));
        QCOMPARE(dump(copy.getTagList()),
                 QString("DFM{QCU=61,ADD=62,SET=33};LUA{QRY=65};IMG{GET=}"));
        QCOMPARE(dump(parser.getTagList()), QString("DFM{QCU=61,ADD=62};LUA{QRY=65}"));
    }

    void parsesTextWithoutHeader_data()
    {
        // `frame` is parsed first, if there is one.
        const auto row = table<QByteArray, QByteArray, int, bool, bool, int, QString>();
        const QByteArray p1 = textFrame("@DFMQCU");
        row("protocol 1 splits", "", "DFMQCU,ADD1;LUAQRY;", 1, true, true, 1,
            "DFM{QCU=,ADD=31};LUA{QRY=}");
        row("protocol 1, only bare tags", "", "DFM;LUA", 1, false, false, 1, "");
        // Another protocol keeps the stored one (-1 here): one command, one item.
        row("protocol 7 on a fresh parser", "", "IMGJGT1;2,3", 7, true, true, -1,
            "IMG{JGT=31 3b 32 2c 33}");
        row("special command alone", "", "*", 9, true, true, -1, "{_=2a}");
        // No command at all: false, the list is cleared, the valid flag stays.
        row("nothing left", p1, ";;", 1, false, true, 1, "");
        // After a protocol 1 frame, items are still split under another protocol.
        row("stored protocol 1 splits items", p1, "DFMQCU,ADD", 7, true, true, 1, "DFM{QCU=,ADD=}");
    }

    void parsesTextWithoutHeader()
    {
        const auto [frame, text, protocol, result, valid, protocolAfter, tags] =
            fetch<QByteArray, QByteArray, int, bool, bool, int, QString>();

        KXDataStreamParser parser(frame);
        QCOMPARE(parser.setDataWithoutHeader(text, EDataProtocol(protocol)), result);
        QCOMPARE(parser.isValid(), valid);
        QCOMPARE(int(parser.getProtocol()), protocolAfter);
        QCOMPARE(dump(parser.getTagList()), tags);
    }

    void writesEditedListBack()
    {
        KXDataStreamParser parser(textFrame(bytes("@DFMQCU\x06,ADD12\x06;LUAQRY\x06")));
        QVERIFY(parser.setSubTagData("DFMQCU", "9"));
        // Device frames are written back in the host envelope.
        QCOMPARE(parser.toByteArray(true), hostFrame(bytes("@DFMQCU9,ADD12\x06;LUAQRY\x06")));
        QCOMPARE(parser.toByteArray(false), hostFrame(bytes("#DFMQCU9,ADD12\x06;LUAQRY\x06")));
        QCOMPARE(parser.toRawData(), bytes("DFMQCU9,ADD12\x06;LUAQRY\x06;"));

        // An empty list still makes "@;"; without a protocol there is no envelope,
        // under protocol 1 the trailing ';' gives way to the terminator.
        QCOMPARE(KXDataStreamParser().toByteArray(true), QByteArray("@;"));
        KXDataStreamParser emptyText;
        emptyText.setDataWithoutHeader(";", DataProtocol7E01);
        QCOMPARE(emptyText.toByteArray(true), hostFrame("@"));

        const KXDataStreamParser seven(lengthFrame(0x0207, "@IMGJGT1;2"));
        QCOMPARE(seven.toByteArray(true), lengthFrame(0x7E07, "@IMGJGT1;2", 13));
    }
};

QTEST_GUILESS_MAIN(tst_KXDataStreamParser)
#include "tst_KXDataStreamParser.moc"
