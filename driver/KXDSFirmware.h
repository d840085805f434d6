#ifndef KXDSFIRMWARE_H
#define KXDSFIRMWARE_H

#include <cstdint>
#include <string>

namespace kxds {

class Device;

// Writes the firmware file at `path` to `device` in the device's boot-loader
// dialogue, the same one the kit speaks over TCP: an escape frame enters
// upgrade mode, each part is woken, announced, sent in CRC-32 checked blocks
// and programmed, and "@Exit" leaves. An "nfp" package (by its suffix, in
// any case) goes part by part from its header, anything else from the part
// table at the end of the image. `progress` is the 84-byte record of 21
// 32-bit words (may be null); it is filled as the kit's own download fills
// it. Blocks the calling thread until the dialogue ends. Returns a
// KXDS_ERROR_* code.
uint32_t writeFirmware(Device& device, const std::string& path, void* progress);

} // namespace kxds

#endif // KXDSFIRMWARE_H
