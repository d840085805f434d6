#ifndef KXBENCHRAWTCP_H
#define KXBENCHRAWTCP_H

// The floor under the kit's TCP round trips: the same request and reply
// bytes over a bare loopback connection, plain POSIX sockets with blocking
// calls and no Qt or kit code, a peer thread answering each whole request.

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace kxbench {

// Reads exactly `size` bytes; false when the link ends first.
inline bool readFully(int fd, char* buffer, size_t size)
{
    for (size_t done = 0; done < size;) {
        const ssize_t n = ::read(fd, buffer + done, size - done);
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

inline bool writeFully(int fd, const std::string& bytes)
{
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

// One iteration: `request` written, `reply` read back whole.
inline void rawTcpRoundTrips(benchmark::State& state, const std::string& request,
                             const std::string& reply)
{
    const int on = 1;
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        state.SkipWithError("no loopback connection");
        ::close(client);
        ::close(listener);
        return;
    }
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

    std::thread peer([&] {
        const int fd = ::accept(listener, nullptr, nullptr);
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        std::string buffer(request.size(), '\0');
        while (readFully(fd, &buffer[0], buffer.size()) && writeFully(fd, reply)) {
        }
        ::close(fd);
    });
    std::string received(reply.size(), '\0');
    for (auto _ : state) {
        if (!writeFully(client, request) || !readFully(client, &received[0], received.size())) {
            state.SkipWithError("the loopback peer went away");
            break;
        }
        benchmark::DoNotOptimize(received.data());
    }
    ::shutdown(client, SHUT_WR); // the peer's read ends
    peer.join();
    ::close(client);
    ::close(listener);
}

} // namespace kxbench

#endif // KXBENCHRAWTCP_H
