#include "datastream/KXCodecTestUtil.h"

#include <KXDataStream.h>

#include <QtTest>

using namespace kxtest;

class tst_KXDataStreamMaker : public QObject
{
    Q_OBJECT

private slots:
    void writesCommandTextAndRefusesBadNames()
    {
        KXDataStreamMaker maker;
        QCOMPARE(maker.toByteArray(true), QByteArray()); // nothing added, nothing written
        QCOMPARE(maker.toRawData(), QByteArray());
        QVERIFY(maker.add("DFM", QByteArray(), "QCU"));
        QVERIFY(maker.add("LUA", QByteArray(), "QRY"));
        QVERIFY(maker.addCmd("DFMADD", "1,2"));
        QVERIFY(maker.add("LUA", QByteArray(), QString())); // an empty item is left out
        // Sub-tags join their tag's entry in the order added; data is not escaped.
        QCOMPARE(maker.toRawData(), QByteArray("DFMQCU,ADD1,2;LUAQRY;"));
        QCOMPARE(maker.toByteArray(true), hostFrame("@DFMQCU,ADD1,2;LUAQRY"));
        QCOMPARE(maker.toByteArray(false), hostFrame("#DFMQCU,ADD1,2;LUAQRY"));

        QVERIFY(!maker.add(QString(), "x", "QCU"));
        QVERIFY(!maker.addCmd("DFMQC", "x"));
        QVERIFY(!maker.addCmd("DFMQCUX", "x"));
        QVERIFY(!maker.addCmd("DFMADD", "other")); // already there
        QCOMPARE(maker.toRawData(), QByteArray("DFMQCU,ADD1,2;LUAQRY;"));
        QVERIFY(maker.addCmd("DFMADD", "3", true));
        QCOMPARE(maker.toRawData(), QByteArray("DFMQCU,ADD1,2,ADD3;LUAQRY;"));
    }

    void writesEnvelopes_data()
    {
        const auto row = table<int, QByteArray>();
        // The maker's text ends with ';', which the length field still counts.
        // Values are bytes, written as they are.
        row("7E01", 1, hostFrame("@DFMQCU\x01\xfe;LUAQRY"));
        row("7E07", 7, lengthFrame(0x7E07, "@DFMQCU\x01\xfe;LUAQRY", 19));
        row("7E09 prefix only", 9, "@DFMQCU\x01\xfe;LUAQRY;");
        row("none", -1, "@DFMQCU\x01\xfe;LUAQRY;");
    }

    void writesEnvelopes()
    {
        const auto [protocol, frame] = fetch<int, QByteArray>();

        KXDataStreamMaker maker{EDataProtocol(protocol)};
        maker.addCmd("DFMQCU", "\x01\xfe");
        maker.addCmd("LUAQRY", QByteArray());
        QCOMPARE(maker.toByteArray(true), frame);
        QCOMPARE(int(maker.protocol()), protocol);
    }

    void serializesOddEntries_data()
    {
        const auto row = table<QString, QString, QByteArray, QByteArray>();
        // A tag that is not three letters long is written bare.
        row("long tag", "DFMQCU", "X", "1", "DFMQCU;");
        row("nameless item", "IMG", "", "*", "IMG*;");
        row("empty item dropped", "IMG", "", "", "IMG;");
    }

    void serializesOddEntries()
    {
        const auto [tag, subTag, data, raw] = fetch<QString, QString, QByteArray, QByteArray>();

        KXDataStreamMaker maker;
        QVERIFY(maker.add(tag, data, subTag));
        QCOMPARE(maker.toRawData(), raw);
        QCOMPARE(maker.toByteArray(true), hostFrame("@" + raw.chopped(1)));
    }
};

QTEST_GUILESS_MAIN(tst_KXDataStreamMaker)
#include "tst_KXDataStreamMaker.moc"
