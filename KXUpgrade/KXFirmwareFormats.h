#ifndef KXFIRMWAREFORMATS_H
#define KXFIRMWAREFORMATS_H

#include "KXFirmwareLayout.h"

#include <QByteArray>
#include <QString>

#include <array>

// Firmware file kinds, the package information record and the "nfp" package
// header. Pure functions on bytes: no I/O here.

// The text after the last '.' of `fileName`, in lower case ("" without one).
QString firmwareSuffix(const QString& fileName);

// The 4832-byte information record that the driver library fills from a
// package file (kxds_get_kernel_info) and that validateNfpHeader fills from
// an "nfp" header. Numbers are 32-bit little-endian, texts zero-terminated
// Latin-1.
struct KernelInfoRecord
{
    static constexpr int Size = 4832;
    // Fields by offset.
    static constexpr int KernOffset = 0;
    static constexpr int KernSize = 4;
    static constexpr int PackageKind = 8; // 1 to 5; "nfp" is 3
    static constexpr int HardwareName = 12;
    static constexpr int Version = 44;
    static constexpr int ImageDate = 68;
    static constexpr int Date = 76;
    static constexpr int SpecialInfo = 84;
    static constexpr int Zero = 92;
    static constexpr int DeviceType = 96;
    static constexpr int LocalParts = 100;
    static constexpr int ExtendedParts = 104;
    static constexpr int ProductInfo = 108; // "nfp": the part list, 16 bytes per part
    static constexpr int Efp2CpuModel = 120;
    static constexpr int EfpCpuModel = 128;
    static constexpr int Efp2Blocks = 220;
    static constexpr int PartEntrySize = 16; // code, offset, size, extra
    static constexpr int MaxParts = 16;

    std::array<quint8, Size> bytes{};

    quint32 number(int offset) const;
    void setNumber(int offset, quint32 value);
    // The Latin-1 text at `offset`, up to its zero byte (or the record's end).
    QString text(int offset) const;
    // Copies `text` to `offset`, cut to `capacity` - 1 bytes, zero-terminated.
    void setText(int offset, const QByteArray& text, int capacity);
    quint8* data() { return bytes.data(); }
    const quint8* data() const { return bytes.data(); }
};

// One part of an "nfp" package as the part list holds it.
struct KXNfpPart
{
    quint32 code = 0; // boot 1, kern 2, flah 3, appl 4; extended parts 3
    quint32 offset = 0;
    quint32 size = 0;
    quint32 extra = 0;
};

// Part `index` of the part list of a record filled by validateNfpHeader.
KXNfpPart nfpPart(const KernelInfoRecord& record, int index);

// Checks the header of an "nfp" package held whole in `fileData` (marker,
// part count, part bounds and types, CRC-32) and fills `out`; false at the
// first failed check, with `out` zero-filled or partly filled.
bool validateNfpHeader(const QByteArray& fileData, KernelInfoRecord& out);

// The part table at the end of a plain firmware image: its last 368 bytes,
// of which the first 304 are four entries of 76 bytes.
struct KXImagePartTable
{
    static constexpr int Size = int(KXImageTableEntry::TableSize);
    static constexpr int EntryCount = KXImageTableEntry::Count;
    static constexpr int EntrySize = int(KXImageTableEntry::Size);
};

// One entry of an image's part table as stored. Which entries count (empty
// ones, unknown types, a late "boot") and whether `extra` is used is for the
// reader to decide.
struct KXImagePartEntry
{
    quint32 offset = 0;
    quint32 size = 0;  // 0: empty entry
    QByteArray type;   // 4 bytes as stored
    quint8 flag = 0;   // not 0: taken whatever the type
    quint32 extra = 0; // the raw word; meaningful for a "flah" entry with flag 0
};

// The four entries of the part table at the end of `fileData`; all empty
// when the data is shorter than the table.
std::array<KXImagePartEntry, KXImagePartTable::EntryCount>
readImagePartTable(const QByteArray& fileData);

#endif // KXFIRMWAREFORMATS_H
