#include "KXDSDevice.h"

#include "KXDataStreamDriver.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
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
    const int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        ::close(fd);
        return nullptr;
    }
    return std::shared_ptr<Device>(new Device(fd, wakeFd, kind));
}

Device::Device(int fd, int wakeFd, Kind kind) : fd_(fd), wakeFd_(wakeFd), kind_(kind) {}

Device::~Device()
{
    ::close(fd_);
    ::close(wakeFd_);
}

void Device::shutdown()
{
    closed_.store(true);
    const uint64_t one = 1;
    // The counter only has to become nonzero; a full counter is just as good.
    [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
}

void Device::wakeReaders()
{
    wakePending_.store(true);
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
}

void Device::drainWake()
{
    if (closed_.load())
        return;
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = ::read(wakeFd_, &count, sizeof count);
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
    return true;
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
                      size_t patternLength, uint32_t& error)
{
    error = KXDS_ERROR_NONE;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const short events = POLLIN | (kind_ == Kind::Socket ? POLLRDHUP : 0);
    uint32_t stored = 0;
    // Only a read without a pattern (the poll between requests) may be cut
    // short; a read for a reply runs to its pattern or its time.
    const bool interruptible = patternLength == 0;
    while (stored < capacity) {
        if (closed_.load()) {
            error = KXDS_ERROR_NOT_OPEN;
            break;
        }
        if (interruptible && wakePending_.exchange(false))
            break;
        const int waitMs = remainingMs(deadline);
        pollfd fds[2] = {{fd_, events, 0}, {wakeFd_, POLLIN, 0}};
        const int ready = ::poll(fds, 2, waitMs);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            error = KXDS_ERROR_IO;
            break;
        }
        if (fds[1].revents != 0) {
            if (closed_.load()) {
                error = KXDS_ERROR_NOT_OPEN;
                break;
            }
            drainWake(); // a wake-up for an interruptible read; the loop decides
            continue;
        }
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
        // mean the device went away.
        if (got == 0 && kind_ == Kind::Tty && !hungUp)
            continue;
        markGone();
        error = KXDS_ERROR_IO;
        break;
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
            markGone(); // EPIPE, EIO, ENODEV, ECONNRESET: the link is broken
            return false;
        }
        const int waitMs = remainingMs(deadline);
        if (waitMs == 0)
            return false;
        pollfd fds[2] = {{fd_, POLLOUT, 0}, {wakeFd_, POLLIN, 0}};
        if (::poll(fds, 2, waitMs) < 0 && errno != EINTR)
            return false;
        if (fds[1].revents != 0) {
            if (closed_.load())
                return false;
            drainWake(); // a reader's wake-up does not concern writes
        }
    }
    return true;
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
        if (n == 0)
            markGone();
        if (n <= 0)
            return;
        dropped += static_cast<size_t>(n);
    }
}

} // namespace kxds
