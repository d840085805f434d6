#include "KXDSDevice.h"

#include "KXDataStreamDriver.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace kxds {

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline`, rounded up so that a wait never ends
// before its time; 0 once it has passed.
int remainingMs(Clock::time_point deadline)
{
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero())
        return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

bool isTransient(int err)
{
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

// True when buffer[0, stored) holds the pattern; only the window that the
// bytes from `previous` on can complete is searched.
bool containsPattern(const uint8_t* buffer, size_t previous, size_t stored, const char* pattern,
                     size_t patternLength)
{
    if (stored < patternLength)
        return false;
    const size_t from = previous >= patternLength ? previous - patternLength + 1 : 0;
    return memmem(buffer + from, stored - from, pattern, patternLength) != nullptr;
}

} // namespace

std::shared_ptr<Device> Device::adopt(int fd, Kind kind)
{
    const int endFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (endFd < 0) {
        if (kind == Kind::Tty)
            ::ioctl(fd, TIOCNXCL);
        ::close(fd);
        return nullptr;
    }
    return std::shared_ptr<Device>(new Device(fd, endFd, kind));
}

Device::Device(int fd, int endFd, Kind kind) : fd_(fd), endFd_(endFd), kind_(kind) {}

Device::~Device()
{
    // Closing drops the lock; the exclusive flag would outlive us on a tty
    // that someone else keeps open.
    if (kind_ == Kind::Tty && !released_.load())
        ::ioctl(fd_, TIOCNXCL);
    ::close(fd_);
    ::close(endFd_);
}

void Device::shutdown()
{
    closed_.store(true);
    release();
    signalEnd();
}

void Device::markGone()
{
    gone_.store(true);
    release();
    signalEnd();
}

void Device::release()
{
    if (released_.exchange(true))
        return;
    if (kind_ == Kind::Tty) {
        ::ioctl(fd_, TIOCNXCL);
        // A poll still running on another thread keeps the open file alive
        // for a moment; unlocking first lets the port be reopened meanwhile.
        ::flock(fd_, LOCK_UN);
    }
    // Without /dev/null the descriptor stays until the last owner lets go.
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        ::dup3(null, fd_, O_CLOEXEC);
        ::close(null);
    }
}

void Device::signalEnd()
{
    const uint64_t one = 1;
    // The counter only has to become nonzero; a full counter is just as good.
    [[maybe_unused]] const ssize_t written = ::write(endFd_, &one, sizeof one);
}

bool Device::isOpen()
{
    if (closed_.load() || gone_.load())
        return false;
    pollfd p{fd_, static_cast<short>(POLLIN | (kind_ == Kind::Socket ? POLLRDHUP : 0)), 0};
    if (::poll(&p, 1, 0) < 0)
        return true; // an interrupted check says nothing about the device
    if (p.revents & (POLLHUP | POLLERR | POLLNVAL | POLLRDHUP)) {
        markGone();
        return false;
    }
    if (kind_ == Kind::Socket && (p.revents & POLLIN)) {
        char byte;
        if (::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0) {
            markGone();
            return false;
        }
    }
    // A close on another thread may have swapped the descriptor meanwhile.
    return !closed_.load() && !gone_.load();
}

long Device::readSome(uint8_t* buffer, size_t size)
{
    if (kind_ == Kind::Socket)
        return ::recv(fd_, buffer, size, MSG_DONTWAIT);
    return ::read(fd_, buffer, size);
}

long Device::writeSome(const uint8_t* data, size_t size)
{
    // A peer that has gone must give EPIPE, never SIGPIPE in the host.
    if (kind_ == Kind::Socket)
        return ::send(fd_, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    return ::write(fd_, data, size);
}

uint32_t Device::read(uint8_t* buffer, uint32_t capacity, uint32_t timeoutMs, const char* pattern,
                      size_t patternLength, int wakeFd, uint32_t& error)
{
    error = KXDS_ERROR_NONE;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const short events = POLLIN | (kind_ == Kind::Socket ? POLLRDHUP : 0);
    uint32_t stored = 0;
    while (stored < capacity) {
        if (closed_.load()) {
            error = KXDS_ERROR_NOT_OPEN;
            break;
        }
        if (gone_.load()) {
            error = KXDS_ERROR_IO;
            break;
        }
        // Taking the count is atomic, so one wake-up ends one read only.
        uint64_t wakes = 0;
        if (wakeFd >= 0 && ::read(wakeFd, &wakes, sizeof wakes) == sizeof wakes)
            break;
        const int waitMs = remainingMs(deadline);
        pollfd fds[3] = {{fd_, events, 0}, {endFd_, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        const int ready = ::poll(fds, wakeFd >= 0 ? 3 : 2, waitMs);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            error = KXDS_ERROR_IO;
            break;
        }
        if (fds[1].revents != 0 || (wakeFd >= 0 && fds[2].revents != 0))
            continue; // an end or a wake-up: the checks above decide
        if (ready == 0) {
            if (waitMs == 0)
                break;
            continue; // woke a little early; the deadline decides
        }
        const short revents = fds[0].revents;
        const bool hungUp = (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        const long got = readSome(buffer + stored, capacity - stored);
        if (got > 0) {
            const uint32_t previous = stored;
            stored += static_cast<uint32_t>(got);
            if (patternLength > 0 &&
                containsPattern(buffer, previous, stored, pattern, patternLength))
                break;
            continue;
        }
        const int err = got < 0 ? errno : 0;
        if (got < 0 && isTransient(err) && !hungUp)
            continue;
        // A tty in raw mode reads 0 when nothing is there, so only a socket
        // or a hang-up makes 0 mean the end; errors like EIO and ENODEV
        // mean the device went away. A close on another thread puts
        // /dev/null in place and is no such end.
        if (got == 0 && kind_ == Kind::Tty && !hungUp)
            continue;
        if (!closed_.load())
            markGone();
        // The checks at the top end the read.
    }
    return stored;
}

bool Device::write(const uint8_t* data, size_t size, uint32_t timeoutMs)
{
    std::lock_guard<std::mutex> lock(writeMutex_);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t written = 0;
    while (written < size) {
        if (closed_.load() || gone_.load())
            return false;
        const long n = writeSome(data + written, size - written);
        if (n > 0) {
            written += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && !isTransient(errno)) {
            if (!closed_.load())
                markGone(); // EPIPE, EIO, ENODEV, ECONNRESET: the link is broken
            return false;
        }
        const int waitMs = remainingMs(deadline);
        if (waitMs == 0)
            return false;
        pollfd fds[2] = {{fd_, POLLOUT, 0}, {endFd_, POLLIN, 0}};
        if (::poll(fds, 2, waitMs) < 0 && errno != EINTR)
            return false;
        // An end wakes the poll; the check at the top returns.
    }
    // Bytes that went to /dev/null after an end on another thread are lost.
    return !closed_.load() && !gone_.load();
}

void Device::discardInput()
{
    if (kind_ == Kind::Tty) {
        ::tcflush(fd_, TCIFLUSH);
        return;
    }
    // Bounded, so a peer that keeps sending cannot hold the caller forever.
    constexpr size_t maxDiscard = 16u << 20;
    uint8_t scratch[4096];
    for (size_t dropped = 0; dropped < maxDiscard;) {
        const long n = ::recv(fd_, scratch, sizeof scratch, MSG_DONTWAIT);
        if (n == 0 && !closed_.load())
            markGone();
        if (n <= 0)
            return;
        dropped += static_cast<size_t>(n);
    }
}

} // namespace kxds
