#ifndef KXFIRMWAREIMAGES_H
#define KXFIRMWAREIMAGES_H

// Firmware files made up by tests. Images: the parts one after another,
// then the 368-byte part table of four 76-byte entries. "nfp" packages: the
// 1024-byte header with its part entries and CRC-32, then the parts.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QStringList>
#include <QtEndian>

#include <zlib.h>

#include <algorithm>
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
inline QVector<ImagePart> parseParts(const QString& text)
{
    QVector<ImagePart> parts;
    for (const QString& token : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
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

inline void fillParts(QVector<ImagePart>& parts)
{
    QRandomGenerator random(parts.size());
    for (ImagePart& part : parts) {
        part.data.resize(int(part.size));
        for (char& c : part.data)
            c = char(random.bounded(256));
    }
}

// Fills each part with its own bytes and returns the image; with
// `fileSize` the gap before the table is padded up to it.
inline QByteArray buildImage(QVector<ImagePart>& parts, qint64 fileSize = 0)
{
    constexpr int kTable = 368, kEntry = 76;
    fillParts(parts);
    QByteArray image;
    QByteArray table(kTable, '\0');
    Q_ASSERT(parts.size() <= 4);
    for (int i = 0; i < parts.size(); ++i) {
        const ImagePart& part = parts[i];
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

// Fills each part with its own bytes and returns the package: local parts
// first, then the "exfl" ones as extended parts.
inline QByteArray buildPackage(QVector<ImagePart>& parts)
{
    constexpr int kHeader = 1024;
    fillParts(parts);
    char header[kHeader] = {};
    std::memcpy(header, "KXSFirmwarePackage", 18);
    qToLittleEndian<quint32>(7, header + 44);
    std::memcpy(header + 48, "2026-12-06", 10);
    std::memcpy(header + 64, "V1.0.0", 6);
    std::memcpy(header + 96, "KX-TEST", 7);
    quint32 local = 0;
    for (const ImagePart& part : parts)
        local += part.type != "exfl";
    qToLittleEndian<quint32>(local, header + 248);
    qToLittleEndian<quint32>(quint32(parts.size()) - local, header + 252);
    QByteArray body;
    for (int i = 0; i < parts.size(); ++i) {
        char* entry = header + 256 + 48 * i;
        qToLittleEndian<quint32>(quint32(kHeader + body.size()), entry);
        qToLittleEndian<quint32>(parts[i].size, entry + 4);
        std::memcpy(entry + 8, parts[i].type.constData(), 4);
        qToLittleEndian<quint32>(parts[i].extra, entry + 12);
        body += parts[i].data;
    }
    uLong crc = ::crc32(0, reinterpret_cast<const Bytef*>(header), kHeader);
    crc = ::crc32(crc, reinterpret_cast<const Bytef*>(body.constData()), uInt(body.size()));
    qToLittleEndian<quint32>(quint32(crc), header + 32);
    return QByteArray(header, kHeader) + body;
}

// Writes the parts as a file named firmware.SUFFIX in `folder`: an "nfp"
// package for that suffix (any case), an image otherwise. The file's path,
// or empty when it cannot be written.
inline QString writeFirmware(const QString& folder, const QString& suffix,
                             QVector<ImagePart>& parts, qint64 fileSize = 0)
{
    const bool package = suffix.compare(QLatin1String("nfp"), Qt::CaseInsensitive) == 0;
    const QByteArray bytes = package ? buildPackage(parts) : buildImage(parts, fileSize);
    QFile file(QDir(folder).filePath(QStringLiteral("firmware.") + suffix));
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() ? file.fileName()
                                                                                : QString();
}

// kxsim's boot-loader events among its output lines.
inline QStringList bootEvents(const QStringList& lines)
{
    const QString prefix = QStringLiteral("kxsim: boot ");
    QStringList events;
    for (const QString& line : lines) {
        if (line.startsWith(prefix))
            events << line.mid(prefix.size());
    }
    return events;
}

// Checks that every part kxsim reports taking ("part INDEX TYPE ...") was
// written to `received` byte for byte as in `parts`; the first part that was
// not, or an empty text.
inline QString partMismatch(const QString& received, const QStringList& events,
                            const QVector<ImagePart>& parts)
{
    for (const QString& event : events) {
        const QStringList words = event.split(QLatin1Char(' '));
        if (words.value(0) != QLatin1String("part"))
            continue;
        const QString type = words.value(2).left(4);
        QFile part(QDir(received).filePath(words.value(1) + QLatin1Char('-') + type + ".bin"));
        if (!part.open(QIODevice::ReadOnly))
            return QStringLiteral("%1: nothing written").arg(event);
        const QByteArray data = part.readAll();
        // Extended parts are announced as "flah".
        const bool found = std::any_of(parts.begin(), parts.end(), [&](const ImagePart& p) {
            const QByteArray sent = p.type == "exfl" ? QByteArray("flah") : p.type;
            return sent == type.toLatin1() && p.data == data;
        });
        if (!found)
            return QStringLiteral("%1: bytes differ").arg(event);
    }
    return QString();
}

} // namespace kxfwtest

#endif // KXFIRMWAREIMAGES_H
