#include "KXFwBuild.h"

#include "KXUpgrade/KXFirmwareFormats.h"

#include <QtEndian>

#include <zlib.h>

#include <algorithm>

namespace {

constexpr int NfpHeaderSize = 1024;
constexpr int NfpPartsOffset = 256;
constexpr int NfpPartEntrySize = 48;
constexpr int NfpMaxEntries = (NfpHeaderSize - NfpPartsOffset) / NfpPartEntrySize;

// Must match what the driver library looks for.
constexpr char InfoMarker[] = "KXFWINFO";
constexpr int InfoHeaderSize = 16;
constexpr int InfoPayloadSize = 224;

void putLe32(QByteArray& bytes, int offset, quint32 value)
{
    qToLittleEndian(value, bytes.data() + offset);
}

bool putText(QByteArray& bytes, int offset, int capacity, const QByteArray& text, const char* what,
             QString* error)
{
    if (text.size() >= capacity || text.contains('\0')) {
        if (error)
            *error = QStringLiteral("%1 takes at most %2 bytes")
                         .arg(QLatin1String(what))
                         .arg(capacity - 1);
        return false;
    }
    std::copy(text.begin(), text.end(), bytes.begin() + offset);
    return true;
}

quint32 crc32Of(const QByteArray& bytes, int from, int length)
{
    return quint32(crc32(crc32(0L, Z_NULL, 0),
                         reinterpret_cast<const Bytef*>(bytes.constData() + from), uInt(length)));
}

} // namespace

QByteArray kxfwBuildNfp(const KXFwNfp& nfp, QString* error)
{
    const int count = nfp.local.size() + nfp.extended.size();
    if (count > NfpMaxEntries) {
        if (error)
            *error = QStringLiteral("at most %1 parts fit the header").arg(NfpMaxEntries);
        return {};
    }
    QByteArray package(NfpHeaderSize, '\0');
    const QByteArray marker("KXSFirmwarePackage");
    std::copy(marker.begin(), marker.end(), package.begin());
    putLe32(package, 44, nfp.deviceType);
    if (!putText(package, 48, 16, nfp.date, "the date", error) ||
        !putText(package, 64, 32, nfp.version, "the version", error) ||
        !putText(package, 96, 152, nfp.hardware, "the hardware name", error))
        return {};
    putLe32(package, 248, quint32(nfp.local.size()));
    putLe32(package, 252, quint32(nfp.extended.size()));
    const QList<KXFwPart> parts = nfp.local + nfp.extended;
    for (int i = 0; i < parts.size(); ++i) {
        const int entry = NfpPartsOffset + NfpPartEntrySize * i;
        putLe32(package, entry, quint32(package.size()));
        putLe32(package, entry + 4, quint32(parts[i].data.size()));
        std::copy_n(parts[i].type.leftJustified(4, '\0', true).constData(), 4,
                    package.begin() + entry + 8);
        putLe32(package, entry + 12, parts[i].extra);
        package += parts[i].data;
    }
    kxfwResealNfp(package);
    return package;
}

void kxfwResealNfp(QByteArray& package)
{
    if (package.size() < NfpHeaderSize)
        return;
    putLe32(package, 32, 0);
    const quint32 local = qFromLittleEndian<quint32>(package.constData() + 248);
    const quint32 extended = qFromLittleEndian<quint32>(package.constData() + 252);
    const int entries = int(std::min<quint64>(quint64(local) + extended, NfpMaxEntries));
    qint64 lastEnd = NfpHeaderSize;
    for (int i = 0; i < entries; ++i) {
        const char* entry = package.constData() + NfpPartsOffset + NfpPartEntrySize * i;
        lastEnd = std::max<qint64>(lastEnd, qint64(qFromLittleEndian<quint32>(entry)) +
                                                qFromLittleEndian<quint32>(entry + 4));
    }
    lastEnd = std::min<qint64>(lastEnd, package.size());
    putLe32(package, 32, crc32Of(package, 0, int(lastEnd)));
}

QByteArray kxfwBuildInfoBlock(quint32 kind, const QList<KXFwInfoField>& fields, QString* error)
{
    QByteArray payload(InfoPayloadSize, '\0');
    putLe32(payload, KernelInfoRecord::PackageKind, kind);
    for (const KXFwInfoField& field : fields) {
        if (field.capacity == 0)
            putLe32(payload, field.offset, field.number);
        else if (!putText(payload, field.offset, field.capacity, field.text, "a field", error))
            return {};
    }
    QByteArray block(InfoHeaderSize, '\0');
    std::copy_n(InfoMarker, 8, block.begin());
    putLe32(block, 8, InfoPayloadSize);
    putLe32(block, 12, crc32Of(payload, 0, InfoPayloadSize));
    return block + payload;
}

QByteArray kxfwBuildImage(const QList<KXFwPart>& parts, const QByteArray& infoBlock, QString* error)
{
    if (parts.size() > KXImagePartTable::EntryCount) {
        if (error)
            *error = QStringLiteral("an image holds at most 4 parts");
        return {};
    }
    static const QList<QByteArray> knownTypes = {"boot", "kern", "appl", "flah"};
    QByteArray image;
    QByteArray table(KXImagePartTable::Size, '\0');
    for (int i = 0; i < parts.size(); ++i) {
        const int entry = KXImagePartTable::EntrySize * i;
        putLe32(table, entry, quint32(image.size()));
        putLe32(table, entry + 4, quint32(parts[i].data.size()));
        std::copy_n(parts[i].type.leftJustified(4, '\0', true).constData(), 4,
                    table.begin() + entry + 8);
        table[entry + 12] = knownTypes.contains(parts[i].type) ? '\0' : '\1';
        putLe32(table, entry + 40, parts[i].extra);
        image += parts[i].data;
    }
    return image + infoBlock + table;
}
