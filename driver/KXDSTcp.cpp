#include "KXDSTcp.h"

#include "KXDataStreamDriver.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kxds {

namespace {

// Waits for a non-blocking connect to finish; 0 or the socket's errno.
int waitForConnect(int fd)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(KXDS_TCP_CONNECT_TIMEOUT_MS);
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return ETIMEDOUT;
        pollfd p{fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return errno;
        if (ready == 0)
            continue;
        int soError = 0;
        socklen_t length = sizeof soError;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &length) != 0)
            return errno;
        return soError;
    }
}

} // namespace

OpenResult openTcpConnection(const std::string& address, uint16_t port)
{
    OpenResult result;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    if (port == 0 || ::inet_pton(AF_INET, address.c_str(), &peer.sin_addr) != 1) {
        result.error = KXDS_ERROR_BAD_ARGUMENT;
        return result;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        result.error = KXDS_ERROR_OPEN_FAILED;
        return result;
    }
    int err = 0;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0)
        err = errno == EINPROGRESS ? waitForConnect(fd) : errno;
    if (err != 0) {
        ::close(fd);
        result.error = KXDS_ERROR_OPEN_FAILED;
        return result;
    }
    // Scanner commands are small and answered one by one.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    result.device = Device::adopt(fd, Device::Kind::Socket);
    if (!result.device)
        result.error = KXDS_ERROR_OPEN_FAILED;
    return result;
}

} // namespace kxds
