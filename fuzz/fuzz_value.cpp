// Value notations of device replies. Input layout:
//   byte 0          number of keys, modulo 5
//   per key         one byte n, then 1 + n % 3 bytes of key (Latin-1)
//   rest            the text (UTF-8), cut to kMaxTextLength characters
// The cut keeps the backtracking of the key pattern bounded.

#include "KXFuzz.h"

#include <KXDataStream.h>

namespace {

constexpr int kMaxKeys = 4;
constexpr int kMaxTextLength = 256;

bool isHexLetter(QChar c)
{
    const ushort u = c.unicode();
    return (u >= 'A' && u <= 'F') || (u >= 'a' && u <= 'f');
}

void checkValue(const QString& text)
{
    _tagDataStreamSubTagValue value;
    const bool parsed = KXParseDataStreamValue(text, value);
    KX_FUZZ_CHECK(parsed == (!value.ranges.isEmpty() || !value.items.isEmpty()));
    if (text.isEmpty())
        KX_FUZZ_CHECK(!parsed);
    // Appending to a filled record keeps what was there.
    const int ranges = value.ranges.size();
    const int items = value.items.size();
    KX_FUZZ_CHECK(KXParseDataStreamValue(text, value) == parsed);
    KX_FUZZ_CHECK(value.ranges.size() == 2 * ranges && value.items.size() == 2 * items);

    QList<qint64> ints;
    KXParseRangesToInt(value.ranges, ints);
    KX_FUZZ_CHECK(ints.size() <= KXMaxRangeValues);
}

void checkSplit(const QString& text, const QList<QString>& keys)
{
    QList<QPair<QString, QString>> values;
    const bool split = KXSplitValues(text, keys, values);
    if (!split) {
        KX_FUZZ_CHECK(values.isEmpty() || values.size() == keys.size());
        return;
    }
    KX_FUZZ_CHECK(values.size() == keys.size());
    for (int i = 0; i < keys.size(); ++i) {
        KX_FUZZ_CHECK(values.at(i).first == keys.at(i));
        const QString& part = values.at(i).second;
        KX_FUZZ_CHECK(!part.isEmpty());
        for (const QChar c : part)
            KX_FUZZ_CHECK(!isHexLetter(c));
        KX_FUZZ_CHECK(text.contains(keys.at(i), Qt::CaseInsensitive));
    }
    // Pairs already in the list make the count wrong: false, pairs appended.
    KX_FUZZ_CHECK(!KXSplitValues(text, keys, values));
    KX_FUZZ_CHECK(values.size() == 2 * keys.size());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    kxFuzzQuietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const uint8_t* p = data + 1;
    const uint8_t* end = data + size;
    QList<QString> keys;
    const int keyCount = data[0] % (kMaxKeys + 1);
    for (int i = 0; i < keyCount && p < end; ++i) {
        const size_t wanted = 1 + *p % 3;
        ++p;
        const size_t n = qMin<size_t>(wanted, size_t(end - p));
        keys.append(QString::fromLatin1(reinterpret_cast<const char*>(p), int(n)));
        p += n;
    }
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char*>(p), int(end - p)).left(kMaxTextLength);

    checkValue(text);
    checkSplit(text, keys);
    return 0;
}
