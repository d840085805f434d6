#ifndef KXDSSERIALPORT_H
#define KXDSSERIALPORT_H

#include "KXDSDevice.h"

#include <cstdint>
#include <string>

namespace kxds {

// Framing of a serial line, as the COM record carries it.
struct LineSettings
{
    uint32_t baudRate = 115200;
    uint8_t dataBits = 8; // 5 to 8
    uint8_t stopBits = 0; // 0 one, 1 one and a half (opened as two), 2 two
    uint8_t parity = 0;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
};

bool isValidLineSettings(const LineSettings& settings);

// Opens a tty exclusively (flock and TIOCEXCL) in raw, non-blocking mode
// with the given framing and drops stale input. Errors: NOT_FOUND, BUSY
// (in use; its settings untouched), OPEN_FAILED, CONFIG_FAILED,
// BAD_ARGUMENT.
OpenResult openSerialPort(const std::string& path, const LineSettings& settings);

} // namespace kxds

#endif // KXDSSERIALPORT_H
