#include "KXFirmwareFormats.h"

#include <QtEndian>

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr int NfpHeaderSize = 1024;
constexpr int NfpChecksumOffset = 32;
constexpr int NfpDeviceTypeOffset = 44;
constexpr int NfpDateOffset = 48;
constexpr int NfpVersionOffset = 64;
constexpr int NfpHardwareOffset = 96;
constexpr int NfpLocalCountOffset = 248;
constexpr int NfpExtendedCountOffset = 252;
constexpr int NfpPartsOffset = 256;
constexpr int NfpPartEntrySize = 48;
// The continued checksum reads the file in pieces of this size.
constexpr int NfpCrcPiece = 4096;

quint32 readLe32(const char* p)
{
    return qFromLittleEndian<quint32>(p);
}

// The code of a part type, or 0 when the type is not allowed where it stands.
quint32 nfpPartCode(const char* type, bool extended)
{
    if (extended)
        return std::memcmp(type, "exfl", 4) == 0 ? 3 : 0;
    static const char* const localTypes[] = {"boot", "kern", "flah", "appl"};
    for (quint32 i = 0; i < 4; ++i) {
        if (std::memcmp(type, localTypes[i], 4) == 0)
            return i + 1;
    }
    return 0;
}

// The zero-terminated text of a header field of `size` bytes.
QByteArray headerText(const char* field, int size)
{
    return QByteArray(field, int(qstrnlen(field, uint(size))));
}

} // namespace

QString firmwareSuffix(const QString& fileName)
{
    const int dot = fileName.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? QString() : fileName.mid(dot + 1).toLower();
}

quint32 KernelInfoRecord::number(int offset) const
{
    return qFromLittleEndian<quint32>(bytes.data() + offset);
}

void KernelInfoRecord::setNumber(int offset, quint32 value)
{
    qToLittleEndian(value, bytes.data() + offset);
}

QString KernelInfoRecord::text(int offset) const
{
    const char* start = reinterpret_cast<const char*>(bytes.data() + offset);
    return QString::fromLatin1(start, int(qstrnlen(start, uint(Size - offset))));
}

void KernelInfoRecord::setText(int offset, const QByteArray& text, int capacity)
{
    const int length = std::min(int(text.size()), capacity - 1);
    std::memcpy(bytes.data() + offset, text.constData(), size_t(length));
    bytes[size_t(offset + length)] = 0;
}

KXNfpPart nfpPart(const KernelInfoRecord& record, int index)
{
    const int at = KernelInfoRecord::ProductInfo + index * KernelInfoRecord::PartEntrySize;
    KXNfpPart part;
    part.code = record.number(at);
    part.offset = record.number(at + 4);
    part.size = record.number(at + 8);
    part.extra = record.number(at + 12);
    return part;
}

bool validateNfpHeader(const QByteArray& fileData, KernelInfoRecord& out)
{
    out.bytes.fill(0);
    if (fileData.size() < NfpHeaderSize)
        return false;
    const char* header = fileData.constData();

    static const char marker[32] = "KXSFirmwarePackage";
    if (std::memcmp(header, marker, sizeof marker) != 0)
        return false;

    const quint32 localCount = readLe32(header + NfpLocalCountOffset);
    const quint32 extendedCount = readLe32(header + NfpExtendedCountOffset);
    // Summed in 64 bits so that huge counts cannot wrap into the range.
    const quint64 count = quint64(localCount) + extendedCount;
    if (count < 1 || count > quint64(KernelInfoRecord::MaxParts))
        return false;

    QByteArray headerCopy(header, NfpHeaderSize);
    std::memset(headerCopy.data() + NfpChecksumOffset, 0, 4);
    uLong crc = crc32(0L, Z_NULL, 0);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(headerCopy.constData()), NfpHeaderSize);

    KXNfpPart parts[KernelInfoRecord::MaxParts];
    quint64 lastEnd = 0;
    for (quint32 i = 0; i < quint32(count); ++i) {
        const char* entry = header + NfpPartsOffset + NfpPartEntrySize * int(i);
        KXNfpPart& part = parts[i];
        part.offset = readLe32(entry);
        part.size = readLe32(entry + 4);
        part.extra = readLe32(entry + 12);
        const quint64 end = quint64(part.offset) + part.size;
        if (part.size == 0 || end > quint64(fileData.size()))
            return false;
        part.code = nfpPartCode(entry + 8, i >= localCount);
        if (part.code == 0)
            return false;
        lastEnd = std::max(lastEnd, end);
    }
    if (lastEnd < quint64(NfpHeaderSize))
        return false;

    for (qint64 at = NfpHeaderSize; at < qint64(lastEnd); at += NfpCrcPiece) {
        const qint64 piece = std::min<qint64>(NfpCrcPiece, qint64(lastEnd) - at);
        crc = crc32(crc, reinterpret_cast<const Bytef*>(header + at), uInt(piece));
    }
    if (quint32(crc) != readLe32(header + NfpChecksumOffset))
        return false;

    out.setNumber(KernelInfoRecord::PackageKind, 3);
    out.setNumber(KernelInfoRecord::DeviceType, readLe32(header + NfpDeviceTypeOffset));
    out.setNumber(KernelInfoRecord::LocalParts, localCount);
    out.setNumber(KernelInfoRecord::ExtendedParts, extendedCount);
    out.setText(KernelInfoRecord::HardwareName, headerText(header + NfpHardwareOffset, 152), 32);
    out.setText(KernelInfoRecord::Version, headerText(header + NfpVersionOffset, 32), 32);
    out.setText(KernelInfoRecord::Date, headerText(header + NfpDateOffset, 16), 16);
    out.setNumber(KernelInfoRecord::Zero, 0);
    for (quint32 i = 0; i < quint32(count); ++i) {
        const KXNfpPart& part = parts[i];
        const int at = KernelInfoRecord::ProductInfo + int(i) * KernelInfoRecord::PartEntrySize;
        out.setNumber(at, part.code);
        out.setNumber(at + 4, part.offset);
        out.setNumber(at + 8, part.size);
        out.setNumber(at + 12, part.extra);
        if (part.code == 2) {
            out.setNumber(KernelInfoRecord::KernOffset, part.offset);
            out.setNumber(KernelInfoRecord::KernSize, part.size);
        }
    }
    return true;
}

std::array<KXImagePartEntry, KXImagePartTable::EntryCount>
readImagePartTable(const QByteArray& fileData)
{
    std::array<KXImagePartEntry, KXImagePartTable::EntryCount> entries{};
    if (fileData.size() < KXImagePartTable::Size)
        return entries;
    const char* table = fileData.constData() + fileData.size() - KXImagePartTable::Size;
    for (int i = 0; i < KXImagePartTable::EntryCount; ++i) {
        const char* raw = table + i * KXImagePartTable::EntrySize;
        KXImagePartEntry& entry = entries[size_t(i)];
        entry.offset = readLe32(raw);
        entry.size = readLe32(raw + 4);
        entry.type = QByteArray(raw + 8, 4);
        entry.flag = quint8(raw[12]);
        entry.extra = readLe32(raw + 40);
    }
    return entries;
}
