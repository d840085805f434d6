#ifndef KXCODECTESTUTIL_H
#define KXCODECTESTUTIL_H

// Helpers for the codec tests: frames written as readable text with escapes,
// and a compact dump of tag lists to compare against.

#include <KXDataStream.h>

#include <QByteArray>
#include <QString>
#include <QtEndian>

namespace kxtest {

// Bytes from text in which "\xNN" stands for one byte; everything else is
// taken literally. Lets table rows read like the frames they describe.
inline QByteArray bytes(const char* text)
{
    QByteArray out;
    for (const char* p = text; *p; ++p) {
        if (p[0] == '\\' && p[1] == 'x' && p[2] && p[3]) {
            out.append(char(QByteArray(p + 2, 2).toInt(nullptr, 16)));
            p += 3;
        } else {
            out.append(*p);
        }
    }
    return out;
}

inline QByteArray terminated(const QByteArray& text)
{
    return text + QByteArray(";\x03", 2);
}

// Protocol 1 frame around prefixed text: host (0x7E) or device (0x02).
inline QByteArray textFrame(const QByteArray& prefixedText, bool fromDevice = true)
{
    return QByteArray(fromDevice ? "\x02\x01"
                                   "0000"
                                 : "\x7E\x01"
                                   "0000",
                      6) +
           terminated(prefixedText);
}

// Length-prefixed frame whose length field is the payload size (the device
// form). `declared` overrides the length field.
inline QByteArray lengthFrame(char start, char protocol, const QByteArray& prefixedText,
                              qint64 declared = -1)
{
    const QByteArray payload = terminated(prefixedText);
    char length[4];
    qToLittleEndian<quint32>(quint32(declared < 0 ? payload.size() : declared), length);
    QByteArray frame;
    frame.append(start).append(protocol).append(length, 4).append(payload);
    return frame;
}

// "DFM{QCU=06,ADD=31 2c 32};LUA{QRY=}": tags in order, sub-tag data in hex.
// A nameless special item shows as "_".
inline QString dump(const DataStreamTagList& tags)
{
    QStringList entries;
    for (const auto& entry : tags) {
        QStringList subs;
        for (const _tagDataStreamSubTag& sub : entry.second) {
            const QString name = sub.subTag.isEmpty() ? QStringLiteral("_") : sub.subTag;
            subs.append(name + QLatin1Char('=') + QString::fromLatin1(sub.data.toHex(' ')));
        }
        entries.append(entry.first + QLatin1Char('{') + subs.join(QLatin1Char(',')) +
                       QLatin1Char('}'));
    }
    return entries.join(QLatin1Char(';'));
}

inline DataStreamTagList tagList(const QByteArray& bareText)
{
    KXDataStreamParser parser;
    parser.setDataWithoutHeader(bareText, DataProtocol7E01);
    return parser.getTagList();
}

} // namespace kxtest

#endif // KXCODECTESTUTIL_H
