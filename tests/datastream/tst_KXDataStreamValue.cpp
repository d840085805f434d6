#include "datastream/KXCodecTestUtil.h"

#include <KXDataStream.h>

#include <QtTest>

#include <numeric>

using namespace kxtest;

namespace {

using VariantPairs = QList<QPair<QVariant, QVariant>>;
using Values = QList<qint64>;

// "0-255,300-300" for ranges, "0:Off,1:On" for items.
QString joinPairs(const VariantPairs& pairs, QChar separator)
{
    QStringList out;
    for (const auto& pair : pairs)
        out.append(pair.first.toString() + separator + pair.second.toString());
    return out.join(QLatin1Char(','));
}

// Ranges from "low:high low:high".
VariantPairs ranges(const QString& text)
{
    VariantPairs out;
    for (const QString& range : text.split(' '))
        out.append(qMakePair(QVariant(range.section(':', 0, 0)), QVariant(range.section(':', 1))));
    return out;
}

// 42, then every value from `low` to `high`.
Values after42(qint64 low, qint64 high)
{
    QVector<qint64> values(int(high - low + 2), 42);
    std::iota(values.begin() + 1, values.end(), low);
    return values.toList();
}

} // namespace

class tst_KXDataStreamValue : public QObject
{
    Q_OBJECT

private slots:
    void parsesValueDescriptions_data()
    {
        const auto row = table<QString, bool, QString, QString>();
        row("example", "0-255|300_0:Off|1:On", true, "0-255,300-300", "0:Off,1:On");
        row("single value", "5", true, "5-5", "");
        row("underscore only", "_", false, "", "");
        row("three pieces skipped", "1-2-3", false, "", "");
        row("leading minus", "-5", true, "-5", "");
        row("empty ranges skipped", "|1|", true, "1-1", "");
        row("bad items skipped", "0-9_a:b:c|x:y|z", true, "0-9", "x:y");
        row("items only", "_1:On", true, "", "1:On");
        row("second underscore ignored", "1_a:b_c:d", true, "1-1", "a:b");
        row("empty", "", false, "", "");
    }

    void parsesValueDescriptions()
    {
        const auto [text, result, rangeText, itemText] = fetch<QString, bool, QString, QString>();

        _tagDataStreamSubTagValue value;
        QCOMPARE(KXParseDataStreamValue(text, value), result);
        QCOMPARE(joinPairs(value.ranges, QLatin1Char('-')), rangeText);
        QCOMPARE(joinPairs(value.items, QLatin1Char(':')), itemText);

        // Parsing appends, and a record that holds a range already is refused
        // only for empty text.
        _tagDataStreamSubTagValue held;
        held.ranges = ranges("1:1");
        QCOMPARE(KXParseDataStreamValue(text, held), !text.isEmpty());
        QCOMPARE(joinPairs(held.ranges, QLatin1Char('-')),
                 joinPairs(ranges("1:1") + value.ranges, QLatin1Char('-')));
        QCOMPARE(joinPairs(held.items, QLatin1Char(':')), itemText);
    }

    void splitsKeyedValues_data()
    {
        const auto row = table<QString, QStringList, bool, QString>();
        row("two keys", "12A34B", {"A", "B"}, true, "A=12,B=34");
        row("lower-case text", "12a34b", {"A", "B"}, true, "A=12,B=34");
        row("missing key", "12A34B", {"A", "B", "C"}, false, "");
        row("match inside text", "x:1W2H;", {"W", "H"}, true, "W=x:1,H=2");
        row("longer keys", "640Wid480Hgt", {"Wid", "Hgt"}, true, "Wid=640,Hgt=480");
        row("value may not hold A-F", "1F2A3B", {"A", "B"}, true, "A=2,B=3");
        row("key that is no group name", "12A", {"1"}, false, "");
        row("duplicate keys", "1A2A", {"A", "A"}, false, "");
        row("empty text", "", {"A"}, false, "");
        row("no keys", "12A", {}, false, "");
    }

    void splitsKeyedValues()
    {
        const auto [text, keys, result, values] = fetch<QString, QStringList, bool, QString>();

        QList<QPair<QString, QString>> out;
        QCOMPARE(KXSplitValues(text, keys, out), result);
        QStringList joined;
        for (const auto& pair : out)
            joined.append(pair.first + QLatin1Char('=') + pair.second);
        QCOMPARE(joined.join(QLatin1Char(',')), values);

        // The pairs are appended, so a list that held entries before never
        // ends with one entry per key.
        QList<QPair<QString, QString>> extended{{"old", "1"}};
        QVERIFY(!KXSplitValues(text, keys, extended));
        QCOMPARE(extended.size(), 1 + out.size());
    }

    void expandsRanges_data()
    {
        // Every row appends to a list that already holds 42.
        const auto row = table<VariantPairs, bool, Values>();
        row("two ranges", ranges("3:5 7:7"), true, {42, 3, 4, 5, 7});
        row("reversed range adds nothing", ranges("5:3"), true, {42});
        row("not a number", ranges("1:x"), false, {42});
        row("negative bound", ranges("-1:2"), false, {42});
        row("earlier values stay", ranges("1:2 :3 4:4"), false, {42, 1, 2});
        // Bounds convert unsigned and compare signed: 2^64-1 reads as -1.
        row("largest unsigned compares as -1", ranges("18446744073709551615:0"), true, {42, -1, 0});
        row("span across the signed limit", ranges("9223372036854775806:9223372036854775807"), true,
            {42, 9223372036854775806LL, 9223372036854775807LL});
        row("empty input", {}, true, {42});
        // Spans that overflow 64 bits fail cleanly instead of looping.
        row("span of 2^64", ranges("9223372036854775808:9223372036854775807"), false, {42});
        row("span of 2^63", ranges("0:9223372036854775807"), false, {42});
        // The cap counts the values of the whole call, not of each range.
        row("as many as allowed", ranges("1:1000000"), true, after42(1, 1000000));
        row("one too many", ranges("0:1000000"), false, {42});
        row("too many in two ranges", ranges("1:600000 1:600000"), false, after42(1, 600000));
    }

    void expandsRanges()
    {
        const auto [input, result, values] = fetch<VariantPairs, bool, Values>();
        Values out{42};
        QCOMPARE(KXParseRangesToInt(input, out), result);
        QCOMPARE(out, values);
    }
};

QTEST_GUILESS_MAIN(tst_KXDataStreamValue)
#include "tst_KXDataStreamValue.moc"
