#include "datastream/KXCodecTestUtil.h"
#include "support/KXDebugLogging.h"

#include <KXDataStream.h>

#include <QtTest>

using namespace kxtest;

class tst_KXDataStreamReply : public QObject
{
    Q_OBJECT

private slots:
    void judgesParsedReplies_data();
    void judgesParsedReplies();
    void judgesRawReplies_data();
    void judgesRawReplies();
    void readsAcknowledgedValues();
    void readsValuesFromMaps();
    void checksTagsExist_data();
    void checksTagsExist();
    void updatesCacheWithAcknowledgedData();
    void comparesConfigurations();
    void compareAppendsAndCanUpdate();
    void checksAllCommandsAcknowledged_data();
    void checksAllCommandsAcknowledged();
    void logsEachTagWhileChecking();
    void findsImageCommands_data();
    void findsImageCommands();
};

void tst_KXDataStreamReply::judgesParsedReplies_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("tag");
    QTest::addColumn<QString>("subTag");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("value");

    const QByteArray reply =
        textFrame(bytes("@DFMQCUData\x05,ADD\x06,SET1\x15;LUAQRYv2\x06;QRYSYS"));
    QTest::newRow("ENQ with value") << reply << "DFM"
                                    << "QCU" << 5 << QByteArray("Data");
    QTest::newRow("ACK alone") << reply << "DFM"
                               << "ADD" << 6 << QByteArray();
    QTest::newRow("NAK") << reply << "DFM"
                         << "SET" << 21 << QByteArray("1");
    QTest::newRow("mnemonic with '@' as tag") << reply << "@DFMQCU"
                                              << "" << 5 << QByteArray("Data");
    QTest::newRow("mnemonic with '#' as tag") << reply << "#LUAQRY"
                                              << "" << 6 << QByteArray("v2");
    QTest::newRow("tag alone") << reply << "DFM"
                               << "" << 21 << QByteArray("stale");
    QTest::newRow("absent sub-tag") << reply << "DFM"
                                    << "XYZ" << 21 << QByteArray("stale");
    QTest::newRow("absent tag") << reply << "IMG"
                                << "GET" << 21 << QByteArray("stale");
    QTest::newRow("empty data is NAK") << reply << "QRY"
                                       << "SYS" << 21 << QByteArray();
}

void tst_KXDataStreamReply::judgesParsedReplies()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, tag);
    QFETCH(QString, subTag);
    QFETCH(int, result);
    QFETCH(QByteArray, value);

    const KXDataStreamParser parser(reply);
    QByteArray out = "stale";
    QCOMPARE(int(KXGetDataStreamResult(parser.getTagList(), tag, out, subTag)), result);
    QCOMPARE(out, value);
}

void tst_KXDataStreamReply::judgesRawReplies_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("protocol");
    QTest::addColumn<QString>("tag");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("value");

    const QByteArray text = textFrame(bytes("@QRYSYSabc\x06"));
    QTest::newRow("protocol 1") << text << 1 << "QRYSYS" << 6 << QByteArray("abc");
    QTest::newRow("protocol 1 without terminator")
        << text.chopped(2) << 1 << "QRYSYS" << 21 << QByteArray("stale");
    QTest::newRow("value runs to the first terminator") << textFrame(bytes("@QRYSYS1\x06;\x03"
                                                                           "more\x06"))
                                                        << 1 << "QRYSYS" << 6 << QByteArray("1");
    QTest::newRow("protocol 7 runs to the end")
        << lengthFrame('\x02', '\x07', bytes("@IMGJGT1;\x03\x06")) << 7 << "IMGJGT" << 6
        << bytes("1;\x03");
    QTest::newRow("protocol 7 must end with terminator")
        << lengthFrame('\x02', '\x07', "@IMGJGT1") + "x" << 7 << "IMGJGT" << 21
        << QByteArray("stale");
    // Plain text search: the sub-tag is found inside an earlier value, and
    // the value runs from there over the real sub-tag.
    QTest::newRow("first occurrence wins") << textFrame(bytes("@QRYVERSYS\x15,SYSok\x06")) << 1
                                           << "QRYSYS" << 6 << bytes("\x15,SYSok");
    QTest::newRow("absent") << text << 1 << "DFMQCU" << 21 << QByteArray("stale");
    QTest::newRow("short name") << text << 1 << "QRY" << 21 << QByteArray("stale");
}

void tst_KXDataStreamReply::judgesRawReplies()
{
    QFETCH(QByteArray, reply);
    QFETCH(int, protocol);
    QFETCH(QString, tag);
    QFETCH(int, result);
    QFETCH(QByteArray, value);

    QByteArray out = "stale";
    QCOMPARE(int(KXGetDataStreamResult(reply, tag, out, QString(), EDataProtocol(protocol))),
             result);
    QCOMPARE(out, value);
}

void tst_KXDataStreamReply::readsAcknowledgedValues()
{
    const KXDataStreamParser parser(
        textFrame(bytes("@QRYBRT0-255|300_0:Off\x06,MOD1\x15;DFMQCU\xc3\xa9\x06")));
    _tagDataStreamSubTagValue value;
    QVERIFY(KXGetDataStreamValue(parser.getTagList(), "QRY", "BRT", value));
    QCOMPARE(value.ranges.size(), 2);
    QCOMPARE(value.items.size(), 1);
    QCOMPARE(value.items.first().second.toString(), QString("Off"));

    _tagDataStreamSubTagValue rejected;
    QVERIFY(!KXGetDataStreamValue(parser.getTagList(), "QRYMOD", QString(), rejected));
    QVERIFY(rejected.ranges.isEmpty());
    // Values decode as UTF-8.
    _tagDataStreamSubTagValue text;
    QVERIFY(KXGetDataStreamValue(parser.getTagList(), "DFM", "QCU", text));
    QCOMPARE(text.ranges.first().first.toString(), QString::fromUtf8("\xc3\xa9"));
}

void tst_KXDataStreamReply::readsValuesFromMaps()
{
    const QMap<QString, QByteArray> map{{"DFMQCU", "1"}, {"LUAQRY", QByteArray()}};
    QByteArray value = "stale";
    QVERIFY(KXGetDataStreamValue(map, "LUAQRY", value));
    QCOMPARE(value, QByteArray());
    QVERIFY(!KXGetDataStreamValue(map, "DFMADD", value));
    QCOMPARE(value, QByteArray());
    QVERIFY(KXGetDataStreamValue(map, "DFMQCU", value));
    QCOMPARE(value, QByteArray("1"));
}

void tst_KXDataStreamReply::checksTagsExist_data()
{
    QTest::addColumn<QString>("tag");
    QTest::addColumn<QString>("subTag");
    QTest::addColumn<bool>("exists");

    QTest::newRow("tag alone") << "DFM"
                               << "" << true;
    QTest::newRow("tag and sub-tag") << "DFM"
                                     << "ADD" << true;
    QTest::newRow("mnemonic") << "@LUAQRY"
                              << "" << true;
    QTest::newRow("sub-tag of another tag") << "LUA"
                                            << "ADD" << false;
    QTest::newRow("absent tag") << "IMG"
                                << "" << false;
    QTest::newRow("two characters") << "DF"
                                    << "" << false;
    QTest::newRow("partial sub-tag never matches") << "DFMQ"
                                                   << "" << false;
    QTest::newRow("extra characters ignored") << "DFMQCUX"
                                              << "" << true;
}

void tst_KXDataStreamReply::checksTagsExist()
{
    QFETCH(QString, tag);
    QFETCH(QString, subTag);
    QFETCH(bool, exists);

    const DataStreamTagList tags = tagList("DFMQCU,ADD;LUAQRY");
    QCOMPARE(KXCheckTagsExists(tags, tag, subTag), exists);
}

void tst_KXDataStreamReply::updatesCacheWithAcknowledgedData()
{
    DataStreamTagList cache = tagList("DFMQCU1");
    QVERIFY(!KXUpdateTags(cache, "DFM", bytes("2\x15"), "QCU"));
    QVERIFY(!KXUpdateTags(cache, "DFM", QByteArray(), "QCU"));
    QVERIFY(!KXUpdateTags(cache, "DFMQC", bytes("2\x06")));
    QCOMPARE(dump(cache), QString("DFM{QCU=31}"));

    QVERIFY(KXUpdateTags(cache, "DFM", bytes("2\x06"), "QCU"));
    QVERIFY(KXUpdateTags(cache, "#DFMADD", bytes("3\x06")));
    QVERIFY(KXUpdateTags(cache, "LUA", bytes("\x06"), "QRY"));
    QCOMPARE(dump(cache), QString("DFM{QCU=32 06,ADD=33 06};LUA{QRY=06}"));
}

void tst_KXDataStreamReply::comparesConfigurations()
{
    const DataStreamTagList wanted = tagList("DFMQCU1,ADD2");
    DataStreamTagList current = tagList("DFMQCU1");
    DataStreamTagList changed;
    DataStreamTagList missing;
    QVERIFY(!KXCompareTags(wanted, current, changed, missing, false));
    QVERIFY(changed.isEmpty());
    QCOMPARE(dump(missing), QString("DFM{ADD=32}"));

    DataStreamTagList none;
    QVERIFY(!KXCompareTags(DataStreamTagList(), current, changed, none, false));
    QVERIFY(none.isEmpty());
}

void tst_KXDataStreamReply::compareAppendsAndCanUpdate()
{
    const DataStreamTagList wanted = tagList("DFMQCU1,ADD2;LUAQRY3;IMGGET4");
    DataStreamTagList current = tagList("DFMQCU9,ADD2;LUAQRY0,QRY3");
    DataStreamTagList changed = tagList("OLDTAG1");
    DataStreamTagList missing;

    QVERIFY(!KXCompareTags(wanted, current, changed, missing, false));
    QCOMPARE(dump(changed), QString("OLD{TAG=31};DFM{QCU=31};LUA{QRY=33}"));
    QCOMPARE(dump(missing), QString("IMG{GET=34}"));
    QCOMPARE(dump(current), QString("DFM{QCU=39,ADD=32};LUA{QRY=30,QRY=33}"));

    DataStreamTagList changed2;
    DataStreamTagList missing2;
    const DataStreamTagList present = tagList("DFMQCU1;LUAQRY3");
    QVERIFY(KXCompareTags(present, current, changed2, missing2, true));
    // Only the first sub-tag of a name is compared and updated.
    QCOMPARE(dump(current), QString("DFM{QCU=31,ADD=32};LUA{QRY=33,QRY=33}"));
    QVERIFY(KXCompareTags(present, current, changed2, missing2, true));
    QCOMPARE(dump(changed2), QString("DFM{QCU=31};LUA{QRY=33}"));
}

void tst_KXDataStreamReply::checksAllCommandsAcknowledged_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QStringList>("failed");

    QTest::newRow("bare NAK to DFMADD is accepted")
        << textFrame(bytes("@DFMADD\x15,QCU\x06")) << 1 << true << QStringList();
    QTest::newRow("bare NAK to DFMSET is accepted")
        << textFrame(bytes("@DFMSET\x15")) << 1 << true << QStringList();
    QTest::newRow("DFMADD with a value and NAK fails")
        << textFrame(bytes("@DFMADD1\x15")) << 1 << false << QStringList({"DFMADD"});
    QTest::newRow("bare NAK to LUAADD fails")
        << textFrame(bytes("@LUAADD\x15")) << 1 << false << QStringList({"LUAADD"});
    QTest::newRow("ENQ and empty data fail") << textFrame(bytes("@QRYSYS\x05,VER;DFMQCU\x06")) << 1
                                             << false << QStringList({"QRYSYS", "QRYVER"});
    QTest::newRow("invalid response") << QByteArray("junk") << 1 << false << QStringList();
    QTest::newRow("command type is never judged")
        << QByteArray("junk") << 0 << true << QStringList();
}

void tst_KXDataStreamReply::checksAllCommandsAcknowledged()
{
    QFETCH(QByteArray, reply);
    QFETCH(int, type);
    QFETCH(bool, result);
    QFETCH(QStringList, failed);

    const KXDataStreamParser parser(reply, EDataType(type));
    QList<QString> outFailed;
    QCOMPARE(parser.checkAllCmdAck(outFailed), result);
    QCOMPARE(QStringList(outFailed), failed);
}

void tst_KXDataStreamReply::logsEachTagWhileChecking()
{
    const kxtest::ScopedDebugLogging logging("kx.datastream");
    QTest::ignoreMessage(QtDebugMsg, "it.first=DFM");
    QTest::ignoreMessage(QtDebugMsg, "it.first=LUA");
    const KXDataStreamParser parser(textFrame(bytes("@DFMQCU\x06;LUAQRY\x06")));
    QList<QString> failed;
    QVERIFY(parser.checkAllCmdAck(failed));
}

void tst_KXDataStreamReply::findsImageCommands_data()
{
    using Pairs = QList<QPair<QString, QByteArray>>;
    QTest::addColumn<Pairs>("cmds");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QString>("cmd");
    QTest::addColumn<QByteArray>("params");

    QTest::newRow("query form skipped")
        << Pairs({{"IMGGET", "*"}, {"IMGJGT", "1T"}}) << true << "IMGJGT" << QByteArray("1T");
    QTest::newRow("all query forms") << Pairs({{"IMGGET", "&"}, {"IMGTGT", "^"}}) << false
                                     << "untouched" << QByteArray("untouched");
    QTest::newRow("empty data counts")
        << Pairs({{"IMGBGT", ""}}) << true << "IMGBGT" << QByteArray();
    QTest::newRow("first image command wins")
        << Pairs({{"DFMQCU", "1"}, {"IMGGLI", "**"}, {"IMGGET", "2T"}}) << true << "IMGGLI"
        << QByteArray("**");
    QTest::newRow("not an image command") << Pairs({{"IMGXXX", "1"}, {"QRYSYS", "1"}}) << false
                                          << "untouched" << QByteArray("untouched");
}

void tst_KXDataStreamReply::findsImageCommands()
{
    using Pairs = QList<QPair<QString, QByteArray>>;
    QFETCH(Pairs, cmds);
    QFETCH(bool, found);
    QFETCH(QString, cmd);
    QFETCH(QByteArray, params);

    QString outCmd = "untouched";
    QByteArray outParams = "untouched";
    QCOMPARE(KXDataStreamParser::hasSpecialCmd(cmds, outCmd, outParams), found);
    QCOMPARE(outCmd, cmd);
    QCOMPARE(outParams, params);
}

QTEST_GUILESS_MAIN(tst_KXDataStreamReply)
#include "tst_KXDataStreamReply.moc"
