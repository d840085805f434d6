#include "KXFirmwareLayout.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t NfpChecksumOffset = 32;
constexpr size_t NfpDeviceTypeOffset = 44;
constexpr size_t NfpDateOffset = 48;
constexpr size_t NfpVersionOffset = 64;
constexpr size_t NfpHardwareOffset = 96;
constexpr size_t NfpLocalCountOffset = 248;
constexpr size_t NfpExtendedCountOffset = 252;
constexpr size_t NfpPartsOffset = 256;
constexpr size_t NfpPartEntrySize = 48;
// zlib takes at most 4 GiB - 1 per call; the checksum goes in pieces.
constexpr uint64_t NfpCrcPiece = 1u << 30;

uint32_t le32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The code of a part type, or 0 when the type is not allowed where it stands.
uint32_t nfpPartCode(const uint8_t* type, bool extended)
{
    if (extended)
        return std::memcmp(type, "exfl", 4) == 0 ? 3 : 0;
    static const char* const localTypes[] = {"boot", "kern", "flah", "appl"};
    for (uint32_t i = 0; i < 4; ++i) {
        if (std::memcmp(type, localTypes[i], 4) == 0)
            return i + 1;
    }
    return 0;
}

// The zero-terminated text of a header field of `size` bytes, cut to
// `capacity` - 1 bytes.
std::string headerText(const uint8_t* field, size_t size, size_t capacity)
{
    const char* text = reinterpret_cast<const char*>(field);
    return std::string(text, std::min(strnlen(text, size), capacity - 1));
}

} // namespace

bool kxReadNfpHeader(const uint8_t* file, size_t size, KXNfpHeader& out)
{
    if (size < KXNfpHeader::Size)
        return false;
    static const char marker[32] = "KXSFirmwarePackage";
    if (std::memcmp(file, marker, sizeof marker) != 0)
        return false;

    out.localParts = le32(file + NfpLocalCountOffset);
    out.extendedParts = le32(file + NfpExtendedCountOffset);
    // Summed in 64 bits so that huge counts cannot wrap into the range.
    const uint64_t count = uint64_t(out.localParts) + out.extendedParts;
    if (count < 1 || count > uint64_t(KXNfpHeader::MaxParts))
        return false;

    uint64_t lastEnd = 0;
    for (uint32_t i = 0; i < uint32_t(count); ++i) {
        const uint8_t* entry = file + NfpPartsOffset + NfpPartEntrySize * i;
        KXNfpHeader::Part& part = out.parts[i];
        part.offset = le32(entry);
        part.size = le32(entry + 4);
        part.extra = le32(entry + 12);
        const uint64_t end = uint64_t(part.offset) + part.size;
        if (part.size == 0 || end > size)
            return false;
        part.code = nfpPartCode(entry + 8, i >= out.localParts);
        if (part.code == 0)
            return false;
        lastEnd = std::max(lastEnd, end);
    }
    for (uint32_t i = uint32_t(count); i < uint32_t(KXNfpHeader::MaxParts); ++i)
        out.parts[i] = {};
    if (lastEnd < KXNfpHeader::Size)
        return false;

    // The checksum covers the header with its own field zeroed, then the
    // file up to the end of the last part.
    uint8_t header[KXNfpHeader::Size];
    std::memcpy(header, file, sizeof header);
    std::memset(header + NfpChecksumOffset, 0, 4);
    uLong crc = crc32(crc32(0L, Z_NULL, 0), header, uInt(sizeof header));
    for (uint64_t at = KXNfpHeader::Size; at < lastEnd; at += NfpCrcPiece)
        crc = crc32(crc, file + at, uInt(std::min(NfpCrcPiece, lastEnd - at)));
    if (uint32_t(crc) != le32(file + NfpChecksumOffset))
        return false;

    out.deviceType = le32(file + NfpDeviceTypeOffset);
    out.hardwareName = headerText(file + NfpHardwareOffset, 152, 32);
    out.version = headerText(file + NfpVersionOffset, 32, 32);
    out.date = headerText(file + NfpDateOffset, 16, 16);
    return true;
}

std::array<KXImageTableEntry, KXImageTableEntry::Count> kxReadImageTable(const uint8_t* file,
                                                                         size_t size)
{
    std::array<KXImageTableEntry, KXImageTableEntry::Count> entries{};
    if (size < KXImageTableEntry::TableSize)
        return entries;
    const uint8_t* table = file + size - KXImageTableEntry::TableSize;
    for (size_t i = 0; i < entries.size(); ++i) {
        const uint8_t* raw = table + i * KXImageTableEntry::Size;
        KXImageTableEntry& entry = entries[i];
        entry.offset = le32(raw);
        entry.size = le32(raw + 4);
        std::memcpy(entry.type.data(), raw + 8, 4);
        entry.flag = raw[12];
        entry.extra = le32(raw + 40);
    }
    return entries;
}
