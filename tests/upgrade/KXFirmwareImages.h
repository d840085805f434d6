#ifndef KXFIRMWAREIMAGES_H
#define KXFIRMWAREIMAGES_H

// Firmware images made up by tests: the parts one after another, then the
// 368-byte part table of four 76-byte entries.

#include <QByteArray>
#include <QRandomGenerator>
#include <QStringList>
#include <QtEndian>

#include <cstring>

namespace kxfwtest {

struct ImagePart
{
    QByteArray type;
    quint32 size = 0;
    quint32 extra = 0;
    bool anyType = false; // the table's flag: taken whatever its type
    QByteArray data;
};

// "appl:1000 flah:600:7 *kern:200": type, size, extra; '*' sets the flag.
inline QVector<ImagePart> parseParts(const QString& spec)
{
    QVector<ImagePart> parts;
    for (const QString& token : spec.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        ImagePart part;
        part.anyType = token.startsWith(QLatin1Char('*'));
        const QStringList fields = token.mid(part.anyType ? 1 : 0).split(QLatin1Char(':'));
        part.type = fields.value(0).toLatin1();
        part.size = fields.value(1).toUInt();
        part.extra = fields.value(2).toUInt();
        parts.append(part);
    }
    return parts;
}

// Fills each part with its own bytes and returns the image; with
// `fileSize` the gap before the table is padded up to it.
inline QByteArray buildImage(QVector<ImagePart>& parts, qint64 fileSize = 0)
{
    constexpr int kTable = 368, kEntry = 76;
    QRandomGenerator random(parts.size());
    QByteArray image;
    QByteArray table(kTable, '\0');
    Q_ASSERT(parts.size() <= 4);
    for (int i = 0; i < parts.size(); ++i) {
        ImagePart& part = parts[i];
        part.data.resize(int(part.size));
        for (char& c : part.data)
            c = char(random.bounded(256));
        char* entry = table.data() + i * kEntry;
        qToLittleEndian<quint32>(quint32(image.size()), entry);
        qToLittleEndian<quint32>(part.size, entry + 4);
        std::memcpy(entry + 8, part.type.constData(), size_t(qMin(4, int(part.type.size()))));
        entry[12] = part.anyType ? 1 : 0;
        qToLittleEndian<quint32>(part.extra, entry + 40);
        image += part.data;
    }
    if (fileSize > image.size() + kTable)
        image.append(int(fileSize - image.size() - kTable), '\xee');
    return image + table;
}

} // namespace kxfwtest

#endif // KXFIRMWAREIMAGES_H
