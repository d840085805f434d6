#ifndef KXFIRMWARELAYOUT_H
#define KXFIRMWARELAYOUT_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// The layouts of firmware files that both the kit and the driver library
// read: the "nfp" package header and the part table at the end of a plain
// image. Plain C++17 without Qt, since the driver library must not link
// it; pure functions on bytes.

// The header of an "nfp" package, once checked.
struct KXNfpHeader
{
    static constexpr size_t Size = 1024;
    static constexpr int MaxParts = 16;

    struct Part
    {
        uint32_t code = 0; // boot 1, kern 2, flah 3, appl 4; extended parts 3
        uint32_t offset = 0;
        uint32_t size = 0;
        uint32_t extra = 0;
    };

    uint32_t localParts = 0;
    uint32_t extendedParts = 0;
    uint32_t deviceType = 0;
    // Cut to leave room for a terminator in the information record's fields.
    std::string hardwareName;           // at most 31 bytes
    std::string version;                // at most 31 bytes
    std::string date;                   // at most 15 bytes
    std::array<Part, MaxParts> parts{}; // local parts first
};

// Checks the header of the "nfp" package held whole in `file` (marker, part
// count, part bounds and types, CRC-32) and fills `out`; false at the first
// failed check, with `out` unusable.
bool kxReadNfpHeader(const uint8_t* file, size_t size, KXNfpHeader& out);

// One entry of the part table at the end of a plain image (its last 368
// bytes, of which the first 304 are four entries of 76 bytes), as stored.
struct KXImageTableEntry
{
    static constexpr size_t TableSize = 368;
    static constexpr int Count = 4;
    static constexpr size_t Size = 76;

    uint32_t offset = 0;
    uint32_t size = 0;          // 0: empty entry
    std::array<char, 4> type{}; // as stored
    uint8_t flag = 0;           // not 0: taken whatever the type
    uint32_t extra = 0;         // meaningful for a "flah" entry with flag 0
};

// The four entries of the table at the end of `file`; all empty when the
// file is shorter than the table.
std::array<KXImageTableEntry, KXImageTableEntry::Count> kxReadImageTable(const uint8_t* file,
                                                                         size_t size);

#endif // KXFIRMWARELAYOUT_H
