#include "datastream/KXCodecTestUtil.h"
#include "support/KXDebugLogging.h"

#include <KXDataStream.h>

#include <QtTest>

using namespace kxtest;

class tst_KXDataStreamReply : public QObject
{
    Q_OBJECT

private slots:
    // A name is a tag and a sub-tag, or a whole mnemonic as the tag.
    void looksUpParsedReplies_data()
    {
        const auto row = table<QString, QString, int, QByteArray, bool>(); // and whether it exists
        row("ENQ with value", "DFM", "QCU", 5, "Data", true);
        row("ACK alone", "DFM", "ADD", 6, "", true);
        row("NAK", "DFM", "SET", 21, "1", true);
        row("mnemonic with '@' as tag", "@DFMQCU", "", 5, "Data", true);
        row("mnemonic with '#' as tag", "#LUAQRY", "", 6, "v2", true);
        row("tag alone", "DFM", "", 21, "stale", true);
        row("absent sub-tag", "DFM", "XYZ", 21, "stale", false);
        row("sub-tag of another tag", "LUA", "ADD", 21, "stale", false);
        row("absent tag", "IMG", "GET", 21, "stale", false);
        row("empty data is NAK", "QRY", "SYS", 21, "", true);
        row("partial sub-tag never matches", "DFMQ", "", 21, "stale", false);
        row("extra characters", "DFMQCUX", "", 21, "stale", true);
    }

    void looksUpParsedReplies()
    {
        const auto [tag, subTag, result, value, exists] =
            fetch<QString, QString, int, QByteArray, bool>();
        const DataStreamTagList tags =
            tagList(bytes("DFMQCUData\x05,ADD\x06,SET1\x15,^;LUAQRYv2\x06;QRYSYS"));
        QByteArray out = "stale";
        QCOMPARE(int(KXGetDataStreamResult(tags, tag, out, subTag)), result);
        QCOMPARE(out, value);
        QCOMPARE(KXCheckTagsExists(tags, tag, subTag), exists);
    }

    void judgesRawReplies_data()
    {
        const auto row = table<QByteArray, int, QString, int, QByteArray>();
        const QByteArray text = textFrame("@QRYSYSabc\x06");
        row("protocol 1", text, 1, "QRYSYS", 6, "abc");
        row("protocol 1 without terminator", text.chopped(2), 1, "QRYSYS", 21, "stale");
        row("value runs to the first terminator", textFrame("@QRYSYS1\x06;\x03more\x06"), 1,
            "QRYSYS", 6, "1");
        row("protocol 7 runs to the end", lengthFrame(0x0207, "@IMGJGT1;\x03\x06"), 7, "IMGJGT", 6,
            "1;\x03");
        row("protocol 7 must end with terminator", lengthFrame(0x0207, "@IMGJGT1") + "x", 7,
            "IMGJGT", 21, "stale");
        // Plain text search: the sub-tag is found inside an earlier value, and
        // the value runs from there over the real sub-tag.
        row("first occurrence wins", textFrame("@QRYVERSYS\x15,SYSok\x06"), 1, "QRYSYS", 6,
            "\x15,SYSok");
        row("sub-tag after the tag", textFrame("@SYSQRYx\x06,SYSok\x06"), 1, "QRYSYS", 6, "ok");
        row("absent", text, 1, "DFMQCU", 21, "stale");
        row("short name", text, 1, "QRY", 21, "stale");
    }

    void judgesRawReplies()
    {
        const auto [reply, protocol, tag, result, value] =
            fetch<QByteArray, int, QString, int, QByteArray>();

        QByteArray out = "stale";
        QCOMPARE(int(KXGetDataStreamResult(reply, tag, out, QString(), EDataProtocol(protocol))),
                 result);
        QCOMPARE(out, value);
    }

    void readsValues()
    {
        const DataStreamTagList tags =
            tagList(bytes("QRYBRT0-255|300_0:Off\x06,MOD1\x15,ENQ1\x05;DFMQCU\xc3\xa9\x06"));
        _tagDataStreamSubTagValue value;
        QVERIFY(KXGetDataStreamValue(tags, "QRY", "BRT", value));
        QCOMPARE(value.ranges.size(), 2);
        QCOMPARE(value.items.first().second.toString(), QString("Off"));
        // Only acknowledged values are read.
        _tagDataStreamSubTagValue rejected;
        QVERIFY(!KXGetDataStreamValue(tags, "QRYMOD", QString(), rejected));
        QVERIFY(!KXGetDataStreamValue(tags, "QRYENQ", QString(), rejected));
        QVERIFY(rejected.ranges.isEmpty());
        // Values decode as UTF-8.
        QVERIFY(KXGetDataStreamValue(tags, "DFM", "QCU", value));
        QCOMPARE(value.ranges.last().first.toString(), QString::fromUtf8("\xc3\xa9"));

        const QMap<QString, QByteArray> map{{"DFMQCU", "1"}};
        QByteArray bytesValue = "stale";
        QVERIFY(!KXGetDataStreamValue(map, "DFMADD", bytesValue));
        QCOMPARE(bytesValue, QByteArray("stale"));
        QVERIFY(KXGetDataStreamValue(map, "DFMQCU", bytesValue));
        QCOMPARE(bytesValue, QByteArray("1"));
    }

    void updatesCacheWithAcknowledgedData()
    {
        DataStreamTagList cache = tagList("DFMQCU1");
        QVERIFY(!KXUpdateTags(cache, "DFM", bytes("2\x15"), "QCU"));
        QVERIFY(!KXUpdateTags(cache, "DFMQC", bytes("2\x06")));
        QCOMPARE(dump(cache), QString("DFM{QCU=31}"));

        QVERIFY(KXUpdateTags(cache, "DFM", bytes("2\x06"), "QCU"));
        QVERIFY(KXUpdateTags(cache, "#DFMADD", bytes("3\x06")));
        QVERIFY(KXUpdateTags(cache, "LUA", bytes("\x06"), "QRY"));
        QCOMPARE(dump(cache), QString("DFM{QCU=32 06,ADD=33 06};LUA{QRY=06}"));
    }

    void comparesConfigurations()
    {
        const DataStreamTagList wanted = tagList("DFMQCU1,ADD2;LUAQRY3;IMGGET4");
        DataStreamTagList current = tagList("DFMQCU9,ADD2;LUAQRY0,QRY3");
        DataStreamTagList changed = tagList("OLDTAG1");
        DataStreamTagList missing;

        QVERIFY(!KXCompareTags(wanted, current, changed, missing, false));
        QCOMPARE(dump(changed), QString("OLD{TAG=31};DFM{QCU=31};LUA{QRY=33}"));
        QCOMPARE(dump(missing), QString("IMG{GET=34}"));
        QCOMPARE(dump(current), QString("DFM{QCU=39,ADD=32};LUA{QRY=30,QRY=33}"));

        changed.clear();
        missing.clear();
        const DataStreamTagList present = tagList("DFMQCU1;LUAQRY3");
        QVERIFY(KXCompareTags(present, current, changed, missing, true));
        // Only the first sub-tag of a name is compared and updated.
        QCOMPARE(dump(current), QString("DFM{QCU=31,ADD=32};LUA{QRY=33,QRY=33}"));
        QCOMPARE(dump(changed), QString("DFM{QCU=31};LUA{QRY=33}"));
        QVERIFY(!KXCompareTags(DataStreamTagList(), current, changed, missing, false));
    }

    void checksAllCommandsAcknowledged_data()
    {
        const auto row = table<QByteArray, int, bool, QStringList>();
        row("bare NAK to DFMADD is accepted", textFrame("@DFMADD\x15,QCU\x06"), 1, true, {});
        row("bare NAK to DFMSET is accepted", textFrame("@DFMSET\x15"), 1, true, {});
        row("DFMADD with a value and NAK fails", textFrame("@DFMADD1\x15"), 1, false, {"DFMADD"});
        row("bare NAK to LUAADD fails", textFrame("@LUAADD\x15"), 1, false, {"LUAADD"});
        row("ENQ and empty data fail", textFrame("@QRYSYS\x05,VER;DFMQCU\x06"), 1, false,
            {"QRYSYS", "QRYVER"});
        row("invalid response", "junk", 1, false, {});
        row("command type is never judged", "junk", 0, true, {});
    }

    void checksAllCommandsAcknowledged()
    {
        const auto [reply, type, result, failed] = fetch<QByteArray, int, bool, QStringList>();

        const KXDataStreamParser parser(reply, EDataType(type));
        QList<QString> outFailed;
        QCOMPARE(parser.checkAllCmdAck(outFailed), result);
        QCOMPARE(QStringList(outFailed), failed);
    }

    void logsEachTagWhileChecking()
    {
        const kxtest::ScopedDebugLogging logging("kx.datastream");
        QTest::ignoreMessage(QtDebugMsg, "it.first=DFM");
        QTest::ignoreMessage(QtDebugMsg, "it.first=LUA");
        const KXDataStreamParser parser(textFrame(bytes("@DFMQCU\x06;LUAQRY\x06")));
        QList<QString> failed;
        QVERIFY(parser.checkAllCmdAck(failed));
    }
};

QTEST_GUILESS_MAIN(tst_KXDataStreamReply)
#include "tst_KXDataStreamReply.moc"
