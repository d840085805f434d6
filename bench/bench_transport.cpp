// Round trip of one 64-byte command and its 64-byte reply through each real
// transport: TCP on loopback and the driver library on a pseudo-terminal,
// each against a peer that echoes what it gets; and the same over bare
// loopback sockets, the floor under the TCP figure.

#include "KXBenchRawTcp.h"

#include "transport/KXNetworkAdaptor.h"
#include "transport/KXSerialPortAdaptor.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QtEndian>

#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

const QByteArray kMessage = QByteArray(62, 'm') + QByteArray(";\x03", 2);

// Echoes everything read from `fd` back to it until `stop` is set or the fd
// fails.
void echoLoop(int fd, const std::atomic<bool>& stop)
{
    char buffer[4096];
    while (!stop) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, 50) <= 0)
            continue;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(fd, buffer + done, size_t(n - done));
            if (w <= 0)
                return;
            done += w;
        }
    }
}

void exchange(benchmark::State& state, IDataStreamReadWrite& transport)
{
    for (auto _ : state) {
        if (!transport.write(kMessage)) {
            state.SkipWithError("write failed");
            return;
        }
        QByteArray reply;
        reply.reserve(kMessage.size());
        while (reply.size() < kMessage.size()) {
            if (transport.read_until(reply, 1000, IDataStreamReadWrite::NoInterval, ";\x03", 2,
                                     nullptr) == 0) {
                state.SkipWithError("no reply");
                return;
            }
        }
        benchmark::DoNotOptimize(reply);
    }
}

void BM_TcpExchange(benchmark::State& state)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener, 1);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);

    std::atomic<bool> stop{false};
    std::thread peer([&] {
        const int fd = ::accept(listener, nullptr, nullptr);
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        echoLoop(fd, stop);
        ::close(fd);
    });
    {
        KXNetworkAdaptor adaptor;
        if (adaptor.connect(QStringLiteral("127.0.0.1"), ntohs(address.sin_port), false))
            exchange(state, adaptor);
        else
            state.SkipWithError("connect failed");
        stop = true;
    }
    peer.join();
    ::close(listener);
}
BENCHMARK(BM_TcpExchange)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_RawTcpRoundTrip(benchmark::State& state)
{
    kxbench::rawTcpRoundTrips(state, kMessage.toStdString(), kMessage.toStdString());
}
BENCHMARK(BM_RawTcpRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_PtyExchange(benchmark::State& state)
{
    int master = -1;
    int slave = -1;
    char name[128] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        state.SkipWithError("openpty failed");
        return;
    }
    termios tio{};
    ::tcgetattr(slave, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slave, TCSANOW, &tio);
    qputenv("KXDS_EXTRA_PORTS", name);

    std::atomic<bool> stop{false};
    std::thread peer([&] { echoLoop(master, stop); });
    {
        KXSerialPortAdaptor adaptor;
        KXSerialPortAdaptor::ComRecord record{};
        qToLittleEndian<quint16>(KXDS_PORT_EXTRA_BASE, record.data());
        qToLittleEndian<quint32>(115200, record.data() + 4);
        record[8] = 8;
        if (!adaptor.isLibraryLoaded())
            state.SkipWithError("libKXDataStream.so not found: set LD_LIBRARY_PATH");
        else if (!adaptor.openCom(record.data(), nullptr))
            state.SkipWithError("opening the pseudo-terminal failed");
        else
            exchange(state, adaptor);
        stop = true;
    }
    peer.join();
    ::close(master);
    ::close(slave);
}
BENCHMARK(BM_PtyExchange)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
