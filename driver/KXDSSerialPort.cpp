#include "KXDSSerialPort.h"

#include "KXDSSerialSpeed.h"
#include "KXDataStreamDriver.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace kxds {

namespace {

struct StandardRate
{
    uint32_t rate;
    speed_t speed;
};

constexpr StandardRate standardRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool standardSpeed(uint32_t rate, speed_t& speed)
{
    for (const StandardRate& entry : standardRates) {
        if (entry.rate == rate) {
            speed = entry.speed;
            return true;
        }
    }
    return false;
}

uint32_t rateOf(speed_t speed)
{
    for (const StandardRate& entry : standardRates) {
        if (entry.speed == speed)
            return entry.rate;
    }
    return 0;
}

tcflag_t characterSize(uint8_t dataBits)
{
    switch (dataBits) {
    case 5:
        return CS5;
    case 6:
        return CS6;
    case 7:
        return CS7;
    default:
        return CS8;
    }
}

tcflag_t parityFlags(uint8_t parity)
{
    switch (parity) {
    case 1:
        return PARENB | PARODD;
    case 2:
        return PARENB;
    case 3: // mark: the sticky parity bit is always 1
        return PARENB | CMSPAR | PARODD;
    case 4: // space: always 0
        return PARENB | CMSPAR;
    default:
        return 0;
    }
}

// The record's coding of a line's framing, the reverse of configure().
LineSettings decode(int fd, const termios& tio)
{
    LineSettings settings;
    const speed_t speed = ::cfgetospeed(&tio);
    // CBAUDEX alone is the kernel's "any rate" (BOTHER), kept apart.
    if (speed == CBAUDEX)
        settings.baudRate = customBaudRate(fd);
    else if (speed != B0)
        settings.baudRate = rateOf(speed);
    if (settings.baudRate == 0)
        settings.baudRate = KXDS_DEFAULT_BAUD_RATE;
    switch (tio.c_cflag & CSIZE) {
    case CS5:
        settings.dataBits = 5;
        break;
    case CS6:
        settings.dataBits = 6;
        break;
    case CS7:
        settings.dataBits = 7;
        break;
    default:
        settings.dataBits = 8;
        break;
    }
    settings.stopBits = (tio.c_cflag & CSTOPB) ? 2 : 0;
    if (!(tio.c_cflag & PARENB))
        settings.parity = 0;
    else if (tio.c_cflag & CMSPAR)
        settings.parity = (tio.c_cflag & PARODD) ? 3 : 4;
    else
        settings.parity = (tio.c_cflag & PARODD) ? 1 : 2;
    return settings;
}

// EBUSY: another user set TIOCEXCL, which binds everyone but root.
uint32_t openErrorOf(int err)
{
    return err == ENOENT  ? KXDS_ERROR_NOT_FOUND
           : err == EBUSY ? KXDS_ERROR_BUSY
                          : KXDS_ERROR_OPEN_FAILED;
}

uint32_t configure(int fd, const LineSettings& settings)
{
    termios tio;
    if (::tcgetattr(fd, &tio) != 0)
        return KXDS_ERROR_CONFIG_FAILED;
    ::cfmakeraw(&tio);
    tio.c_iflag &= ~(IXOFF | IXANY | INPCK);
    tio.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD | characterSize(settings.dataBits) | parityFlags(settings.parity);
    // Linux has no one and a half stop bits; two is the nearest.
    if (settings.stopBits != 0)
        tio.c_cflag |= CSTOPB;
    // Reads wait in poll(), so read() itself must never block.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;

    speed_t speed = B38400;
    const bool standard = standardSpeed(settings.baudRate, speed);
    if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0)
        return KXDS_ERROR_CONFIG_FAILED;
    if (::tcsetattr(fd, TCSANOW, &tio) != 0)
        return KXDS_ERROR_CONFIG_FAILED;
    if (!standard && !setCustomBaudRate(fd, settings.baudRate))
        return KXDS_ERROR_CONFIG_FAILED;
    return KXDS_ERROR_NONE;
}

} // namespace

bool isValidLineSettings(const LineSettings& settings)
{
    return settings.baudRate != 0 && settings.dataBits >= 5 && settings.dataBits <= 8 &&
           settings.stopBits <= 2 && settings.parity <= 4;
}

OpenResult openSerialPort(const std::string& path, const LineSettings& settings)
{
    OpenResult result;
    if (!isValidLineSettings(settings)) {
        result.error = KXDS_ERROR_BAD_ARGUMENT;
        return result;
    }
    // O_NONBLOCK: the open must not wait for carrier before CLOCAL is set.
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        result.error = openErrorOf(errno);
        return result;
    }
    const auto fail = [&](uint32_t error) {
        ::close(fd); // drops our lock, if taken
        result.error = error;
        return result;
    };
    if (!::isatty(fd))
        return fail(KXDS_ERROR_CONFIG_FAILED);
    // The lock binds root too and, held by the open file, another handle of
    // this process as well. It comes before the line settings, so that a
    // refused opening leaves the user's port as it was.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return fail(errno == EWOULDBLOCK ? KXDS_ERROR_BUSY : KXDS_ERROR_OPEN_FAILED);
    // Keeps out programs that open without locking (unless they run as root).
    ::ioctl(fd, TIOCEXCL);
    const uint32_t error = configure(fd, settings);
    if (error != KXDS_ERROR_NONE) {
        ::ioctl(fd, TIOCNXCL);
        return fail(error);
    }
    ::tcflush(fd, TCIFLUSH);
    result.device = Device::adopt(fd, Device::Kind::Tty);
    if (!result.device)
        result.error = KXDS_ERROR_OPEN_FAILED;
    return result;
}

uint32_t readLineSettings(const std::string& path, LineSettings& settings)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return openErrorOf(errno);
    uint32_t error = KXDS_ERROR_NONE;
    termios tio;
    // The lock keeps out our own openings elsewhere; taken and dropped
    // without a setting touched, it disturbs nobody.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        error = errno == EWOULDBLOCK ? KXDS_ERROR_BUSY : KXDS_ERROR_OPEN_FAILED;
    else if (::tcgetattr(fd, &tio) != 0)
        error = KXDS_ERROR_CONFIG_FAILED;
    else
        settings = decode(fd, tio);
    ::close(fd);
    return error;
}

} // namespace kxds
