#ifndef KXCODECTESTUTIL_H
#define KXCODECTESTUTIL_H

// Helpers for the codec tests: frames written as readable text with escapes,
// and a compact dump of tag lists to compare against.

#include <KXDataStream.h>

#include <QByteArray>
#include <QString>
#include <QTest>
#include <QtEndian>

#include <array>
#include <tuple>
#include <utility>

namespace kxtest {

// Names of unnamed columns, by position.
inline const char* columnName(size_t i)
{
    static const char* const names[] = {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"};
    return names[i];
}

// Declares one column per type and gives back a function that adds a row:
// `const auto row = table<QByteArray, int>();` then `row("name", "@DFMQCU", 1);`.
// Values convert to the column types on the way in, so rows can be written
// with plain literals. Unnamed columns are read back in order with fetch().
template <typename... T>
auto table(const std::array<const char*, sizeof...(T)>& names = {})
{
    size_t i = 0;
    ((QTest::addColumn<T>(names[i] ? names[i] : columnName(i)), ++i), ...);
    return [](const char* name, const T&... values) { (QTest::newRow(name) << ... << values); };
}

template <typename... T, size_t... I>
std::tuple<T...> fetchColumns(std::index_sequence<I...>)
{
    return {*static_cast<T*>(QTest::qData(columnName(I), qMetaTypeId<T>()))...};
}

// The current row of a table<T...>() with unnamed columns:
// `const auto [frame, protocol] = fetch<QByteArray, int>();`.
template <typename... T>
std::tuple<T...> fetch()
{
    return fetchColumns<T...>(std::index_sequence_for<T...>());
}

// Bytes from text in which "\xNN" stands for one byte; everything else is
// taken literally. Lets table rows read like the frames they describe.
inline QByteArray bytes(const char* text)
{
    QByteArray out = text;
    for (int i = 0; (i = out.indexOf("\\x", i)) >= 0; ++i)
        out.replace(i, 4, QByteArray::fromHex(out.mid(i + 2, 2)));
    return out;
}

// Protocol 1 frame around prefixed text: device (0x02) or host (0x7E).
inline QByteArray textFrame(const QByteArray& prefixedText, bool fromDevice = true)
{
    return QByteArray(fromDevice ? "\x02\x01" : "\x7E\x01") + "0000" + prefixedText + ";\x03";
}

inline QByteArray hostFrame(const QByteArray& prefixedText)
{
    return textFrame(prefixedText, false);
}

// Length-prefixed frame whose length field is the payload size (the device
// form). `kind` is start byte and protocol, such as 0x0207; `declared`
// overrides the length field.
inline QByteArray lengthFrame(int kind, const QByteArray& prefixedText, qint64 declared = -1)
{
    const QByteArray payload = prefixedText + ";\x03";
    char header[6] = {char(kind >> 8), char(kind)};
    qToLittleEndian<quint32>(quint32(declared < 0 ? payload.size() : declared), header + 2);
    return QByteArray(header, 6) + payload;
}

// "DFM{QCU=06,ADD=31 2c 32};LUA{QRY=}": tags in order, sub-tag data in hex.
// A nameless special item shows as "_".
inline QString dump(const DataStreamTagList& tags)
{
    QStringList entries;
    for (const auto& entry : tags) {
        QStringList subs;
        for (const _tagDataStreamSubTag& sub : entry.second)
            subs.append((sub.subTag.isEmpty() ? "_" : sub.subTag) + '=' + sub.data.toHex(' '));
        entries.append(entry.first + '{' + subs.join(',') + '}');
    }
    return entries.join(';');
}

inline DataStreamTagList tagList(const QByteArray& bareText)
{
    KXDataStreamParser parser;
    parser.setDataWithoutHeader(bareText, DataProtocol7E01);
    return parser.getTagList();
}

} // namespace kxtest

#endif // KXCODECTESTUTIL_H
