#ifndef KXDSKERNELINFO_H
#define KXDSKERNELINFO_H

#include <cstdint>
#include <string>
#include <vector>

namespace kxds {

// One part of an "nfp" package as its header lists it.
struct NfpPart
{
    uint32_t offset = 0;
    uint32_t size = 0;
    std::string type; // four letters: "boot", "kern", "flah", "appl", "exfl"
    uint32_t extra = 0;
};

// The text after the last '.' of the file name in `path`, in lower case.
std::string suffixOf(const std::string& path);

// Reads a whole firmware file (at most 256 MiB). False with a KXDS_ERROR_*
// code in `error` when it cannot.
bool readFirmwareFile(const std::string& path, std::vector<uint8_t>& data, uint32_t& error);

// The parts of the "nfp" package held in `file`, local ones first, after
// checking marker, part count, bounds, types and the CRC-32; `local` gets
// the number of local parts.
bool readNfpParts(const std::vector<uint8_t>& file, std::vector<NfpPart>& parts, uint32_t& local);

// Fills the KXDS_KERNEL_INFO_RECORD_SIZE-byte `record` from the firmware
// file at `path`, by the kind its suffix names: an "nfp" package from its
// header, the image and package kinds from their information block (see
// KXUpgrade/FORMATS.md). Returns a KXDS_ERROR_* code; the record is only
// written on success.
uint32_t readKernelInfo(const std::string& path, uint8_t* record);

} // namespace kxds

#endif // KXDSKERNELINFO_H
