#ifndef KXDSSERIALSPEED_H
#define KXDSSERIALSPEED_H

#include <cstdint>

namespace kxds {

// Sets any bit rate (BOTHER) on a configured tty, for rates that have no B
// constant such as 14400 or 56000. Kept apart because the kernel's termios2
// header cannot share a file with <termios.h>.
bool setCustomBaudRate(int fd, uint32_t baudRate);

// The output bit rate of a tty set with any rate (BOTHER); 0 when it cannot
// be read.
uint32_t customBaudRate(int fd);

} // namespace kxds

#endif // KXDSSERIALSPEED_H
