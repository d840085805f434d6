#include <KXDataStream.h>

#include <QtTest>

namespace {

using VariantPairs = QList<QPair<QVariant, QVariant>>;

// "0-255,300-300" for ranges, "0:Off,1:On" for items.
QString joinPairs(const VariantPairs& pairs, QChar separator)
{
    QStringList out;
    for (const auto& pair : pairs)
        out.append(pair.first.toString() + separator + pair.second.toString());
    return out.join(QLatin1Char(','));
}

VariantPairs ranges(std::initializer_list<std::pair<const char*, const char*>> list)
{
    VariantPairs out;
    for (const auto& pair : list)
        out.append(qMakePair(QVariant(QString::fromLatin1(pair.first)),
                             QVariant(QString::fromLatin1(pair.second))));
    return out;
}

} // namespace

class tst_KXDataStreamValue : public QObject
{
    Q_OBJECT

private slots:
    void parsesValueDescriptions_data();
    void parsesValueDescriptions();
    void valueDescriptionAppends();
    void splitsKeyedValues_data();
    void splitsKeyedValues();
    void splitValuesCountsExistingEntries();
    void expandsRanges_data();
    void expandsRanges();
    void refusesRangesPastTheCap();
    void keepsValuesOfEarlierRangesOnFailure();
};

void tst_KXDataStreamValue::parsesValueDescriptions_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("ranges");
    QTest::addColumn<QString>("items");

    QTest::newRow("example") << "0-255|300_0:Off|1:On" << true << "0-255,300-300"
                             << "0:Off,1:On";
    QTest::newRow("single value") << "5" << true << "5-5"
                                  << "";
    QTest::newRow("underscore only") << "_" << false << ""
                                     << "";
    QTest::newRow("three pieces skipped") << "1-2-3" << false << ""
                                          << "";
    QTest::newRow("leading minus") << "-5" << true << "-5"
                                   << "";
    QTest::newRow("empty ranges skipped") << "|1|" << true << "1-1"
                                          << "";
    QTest::newRow("bad items skipped") << "0-9_a:b:c|x:y|z" << true << "0-9"
                                       << "x:y";
    QTest::newRow("items only") << "_1:On" << true << ""
                                << "1:On";
    QTest::newRow("second underscore ignored") << "1_a:b_c:d" << true << "1-1"
                                               << "a:b";
    QTest::newRow("empty") << "" << false << ""
                           << "";
}

void tst_KXDataStreamValue::parsesValueDescriptions()
{
    QFETCH(QString, text);
    QFETCH(bool, result);
    QFETCH(QString, ranges);
    QFETCH(QString, items);

    _tagDataStreamSubTagValue value;
    QCOMPARE(KXParseDataStreamValue(text, value), result);
    QCOMPARE(joinPairs(value.ranges, QLatin1Char('-')), ranges);
    QCOMPARE(joinPairs(value.items, QLatin1Char(':')), items);
}

void tst_KXDataStreamValue::valueDescriptionAppends()
{
    _tagDataStreamSubTagValue value;
    QVERIFY(KXParseDataStreamValue("1", value));
    // Nothing new, but the record already holds a range.
    QVERIFY(KXParseDataStreamValue("1-2-3", value));
    QVERIFY(KXParseDataStreamValue("2_k:v", value));
    QCOMPARE(joinPairs(value.ranges, QLatin1Char('-')), QString("1-1,2-2"));
    QCOMPARE(joinPairs(value.items, QLatin1Char(':')), QString("k:v"));
}

void tst_KXDataStreamValue::splitsKeyedValues_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("values");

    QTest::newRow("two keys") << "12A34B" << QStringList({"A", "B"}) << true << "A=12,B=34";
    QTest::newRow("lower-case text") << "12a34b" << QStringList({"A", "B"}) << true << "A=12,B=34";
    QTest::newRow("missing key") << "12A34B" << QStringList({"A", "B", "C"}) << false << "";
    QTest::newRow("match inside text")
        << "x:1W2H;" << QStringList({"W", "H"}) << true << "W=x:1,H=2";
    QTest::newRow("longer keys") << "640Wid480Hgt" << QStringList({"Wid", "Hgt"}) << true
                                 << "Wid=640,Hgt=480";
    QTest::newRow("value may not hold A-F")
        << "1F2A3B" << QStringList({"A", "B"}) << true << "A=2,B=3";
    QTest::newRow("key that is no group name") << "12A" << QStringList({"1"}) << false << "";
    QTest::newRow("duplicate keys") << "1A2A" << QStringList({"A", "A"}) << false << "";
    QTest::newRow("empty text") << "" << QStringList({"A"}) << false << "";
    QTest::newRow("no keys") << "12A" << QStringList() << false << "";
}

void tst_KXDataStreamValue::splitsKeyedValues()
{
    QFETCH(QString, text);
    QFETCH(QStringList, keys);
    QFETCH(bool, result);
    QFETCH(QString, values);

    QList<QPair<QString, QString>> out;
    QCOMPARE(KXSplitValues(text, keys, out), result);
    QStringList joined;
    for (const auto& pair : out)
        joined.append(pair.first + QLatin1Char('=') + pair.second);
    QCOMPARE(joined.join(QLatin1Char(',')), values);
}

void tst_KXDataStreamValue::splitValuesCountsExistingEntries()
{
    QList<QPair<QString, QString>> out{{"old", "1"}};
    // The pairs are appended, but the list no longer has one entry per key.
    QVERIFY(!KXSplitValues("12A34B", {"A", "B"}, out));
    QCOMPARE(out.size(), 3);
    QCOMPARE(out.last(), qMakePair(QString("B"), QString("34")));
}

void tst_KXDataStreamValue::expandsRanges_data()
{
    QTest::addColumn<VariantPairs>("input");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QList<qint64>>("values");

    QTest::newRow("two ranges") << ranges({{"3", "5"}, {"7", "7"}}) << true
                                << QList<qint64>({3, 4, 5, 7});
    QTest::newRow("reversed range adds nothing") << ranges({{"5", "3"}}) << true << QList<qint64>();
    QTest::newRow("not a number") << ranges({{"1", "x"}}) << false << QList<qint64>();
    QTest::newRow("negative bound") << ranges({{"-1", "2"}}) << false << QList<qint64>();
    QTest::newRow("failure keeps earlier values")
        << ranges({{"1", "2"}, {"", "3"}}) << false << QList<qint64>({1, 2});
    // Bounds convert unsigned and compare signed: 2^64-1 reads as -1.
    QTest::newRow("largest unsigned compares as -1")
        << ranges({{"18446744073709551615", "0"}}) << true << QList<qint64>({-1, 0});
    QTest::newRow("span across the signed limit")
        << ranges({{"9223372036854775806", "9223372036854775807"}}) << true
        << QList<qint64>({9223372036854775806LL, 9223372036854775807LL});
    QTest::newRow("empty input") << VariantPairs() << true << QList<qint64>();
}

void tst_KXDataStreamValue::expandsRanges()
{
    QFETCH(VariantPairs, input);
    QFETCH(bool, result);
    QFETCH(QList<qint64>, values);

    QList<qint64> out;
    QCOMPARE(KXParseRangesToInt(input, out), result);
    QCOMPARE(out, values);
}

void tst_KXDataStreamValue::refusesRangesPastTheCap()
{
    QList<qint64> out;
    QVERIFY(KXParseRangesToInt(ranges({{"1", "1000000"}}), out));
    QCOMPARE(out.size(), int(KXMaxRangeValues));
    QCOMPARE(out.last(), qint64(1000000));

    out.clear();
    QVERIFY(!KXParseRangesToInt(ranges({{"0", "1000000"}}), out));
    QVERIFY(out.isEmpty());
    // The cap counts the whole call, not each range.
    QVERIFY(!KXParseRangesToInt(ranges({{"1", "600000"}, {"1", "600000"}}), out));
    QCOMPARE(out.size(), 600000);
    // Spans that overflow 64 bits fail cleanly instead of looping.
    out.clear();
    QVERIFY(!KXParseRangesToInt(ranges({{"9223372036854775808", "9223372036854775807"}}), out));
    QVERIFY(!KXParseRangesToInt(ranges({{"0", "9223372036854775807"}}), out));
    QVERIFY(out.isEmpty());
}

void tst_KXDataStreamValue::keepsValuesOfEarlierRangesOnFailure()
{
    QList<qint64> out{42};
    QVERIFY(!KXParseRangesToInt(ranges({{"1", "2"}, {"a", "b"}, {"3", "4"}}), out));
    QCOMPARE(out, QList<qint64>({42, 1, 2}));
}

QTEST_GUILESS_MAIN(tst_KXDataStreamValue)
#include "tst_KXDataStreamValue.moc"
