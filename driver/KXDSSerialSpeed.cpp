#include "KXDSSerialSpeed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace kxds {

bool setCustomBaudRate(int fd, uint32_t baudRate)
{
    struct termios2 settings;
    if (::ioctl(fd, TCGETS2, &settings) != 0)
        return false;
    // Output and input speed both from c_ospeed / c_ispeed.
    settings.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    settings.c_ispeed = baudRate;
    settings.c_ospeed = baudRate;
    return ::ioctl(fd, TCSETS2, &settings) == 0;
}

uint32_t customBaudRate(int fd)
{
    struct termios2 settings;
    return ::ioctl(fd, TCGETS2, &settings) == 0 ? settings.c_ospeed : 0;
}

} // namespace kxds
