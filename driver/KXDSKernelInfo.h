#ifndef KXDSKERNELINFO_H
#define KXDSKERNELINFO_H

#include <cstdint>
#include <string>
#include <vector>

namespace kxds {

// The text after the last '.' of the file name in `path`, in lower case.
std::string suffixOf(const std::string& path);

// Reads a whole firmware file (at most 256 MiB). False with a KXDS_ERROR_*
// code in `error` when it cannot.
bool readFirmwareFile(const std::string& path, std::vector<uint8_t>& data, uint32_t& error);

// Fills the KXDS_KERNEL_INFO_RECORD_SIZE-byte `record` from the header of
// the "nfp" package held in `file`, after the checks the kit makes before a
// download; false, with the record untouched, when the header fails them.
bool readNfpRecord(const std::vector<uint8_t>& file, uint8_t* record);

// Fills the KXDS_KERNEL_INFO_RECORD_SIZE-byte `record` from the firmware
// file at `path`, by the kind its suffix names: an "nfp" package from its
// header, the image and package kinds from their information block (see
// KXUpgrade/FORMATS.md). Returns a KXDS_ERROR_* code; the record is only
// written on success.
uint32_t readKernelInfo(const std::string& path, uint8_t* record);

} // namespace kxds

#endif // KXDSKERNELINFO_H
