#include "KXFirmwareFormats.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>

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
    KXNfpHeader header;
    if (!kxReadNfpHeader(reinterpret_cast<const quint8*>(fileData.constData()),
                         size_t(fileData.size()), header))
        return false;

    out.setNumber(KernelInfoRecord::PackageKind, 3);
    out.setNumber(KernelInfoRecord::DeviceType, header.deviceType);
    out.setNumber(KernelInfoRecord::LocalParts, header.localParts);
    out.setNumber(KernelInfoRecord::ExtendedParts, header.extendedParts);
    out.setText(KernelInfoRecord::HardwareName, QByteArray::fromStdString(header.hardwareName), 32);
    out.setText(KernelInfoRecord::Version, QByteArray::fromStdString(header.version), 32);
    out.setText(KernelInfoRecord::Date, QByteArray::fromStdString(header.date), 16);
    out.setNumber(KernelInfoRecord::Zero, 0);
    const quint32 count = header.localParts + header.extendedParts;
    for (quint32 i = 0; i < count; ++i) {
        const KXNfpHeader::Part& part = header.parts[i];
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
    // A file shorter than the table has none, not one of zero bytes.
    if (fileData.size() < KXImagePartTable::Size)
        return entries;
    const auto table = kxReadImageTable(reinterpret_cast<const quint8*>(fileData.constData()),
                                        size_t(fileData.size()));
    for (size_t i = 0; i < entries.size(); ++i) {
        KXImagePartEntry& entry = entries[i];
        entry.offset = table[i].offset;
        entry.size = table[i].size;
        entry.type = QByteArray(table[i].type.data(), 4);
        entry.flag = table[i].flag;
        entry.extra = table[i].extra;
    }
    return entries;
}
