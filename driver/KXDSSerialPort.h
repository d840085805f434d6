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

// The current line settings of the tty at `path`, read without changing
// anything and only when nobody holds the port (the same exclusive-open
// rules): opened non-blocking, locked, read and closed again. A line
// without a speed (B0) reads as KXDS_DEFAULT_BAUD_RATE. Returns
// KXDS_ERROR_NONE, or NOT_FOUND, BUSY, OPEN_FAILED, CONFIG_FAILED (not a
// tty).
uint32_t readLineSettings(const std::string& path, LineSettings& settings);

} // namespace kxds

#endif // KXDSSERIALPORT_H
