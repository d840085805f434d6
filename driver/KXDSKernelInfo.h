#ifndef KXDSKERNELINFO_H
#define KXDSKERNELINFO_H

#include <cstdint>
#include <string>

namespace kxds {

// Fills the KXDS_KERNEL_INFO_RECORD_SIZE-byte `record` from the firmware
// file at `path`, by the kind its suffix names: an "nfp" package from its
// header, the image and package kinds from their information block (see
// KXUpgrade/FORMATS.md). Returns a KXDS_ERROR_* code; the record is only
// written on success.
uint32_t readKernelInfo(const std::string& path, uint8_t* record);

} // namespace kxds

#endif // KXDSKERNELINFO_H
