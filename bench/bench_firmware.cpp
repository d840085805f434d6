// Firmware block download over loopback TCP: the kit's download of a 4 MiB
// image to kxsim's boot loader at several block sizes, and the floor under
// it, the same stop-and-wait exchange of 517-byte frames and one-byte
// answers over a bare socket pair.

#include "KXBenchRawTcp.h"
#include "KXBenchSim.h"
#include "transport/KXNetworkAdaptor.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>

#include <benchmark/benchmark.h>

#include <cstring>

namespace {

constexpr int kImagePart = 4 * 1024 * 1024;

// One "kern" part of kImagePart bytes and the part table after it.
bool writeImage(const QString& path)
{
    QByteArray image(kImagePart, '\x5a');
    QByteArray table(368, '\0');
    qToLittleEndian<quint32>(0, table.data());
    qToLittleEndian<quint32>(kImagePart, table.data() + 4);
    std::memcpy(table.data() + 8, "kern", 4);
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(image + table) == image.size() + 368;
}

void BM_BlockDownloadTcp(benchmark::State& state)
{
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("firmware.bin"));
    KXBenchSim sim;
    KXNetworkAdaptor adaptor;
    if (!dir.isValid() || !writeImage(image) ||
        !sim.start(10000, {QStringLiteral("--bootloader")}) ||
        !adaptor.connect(QStringLiteral("127.0.0.1"), sim.dataPort, false)) {
        state.SkipWithError("no image or no kxsim boot loader");
        return;
    }
    adaptor.setFrameSize(int(state.range(0)));
    for (auto _ : state) {
        KXFirmwareProgress progress{};
        uint error = 0;
        if (!adaptor.update_firmware_file(image, &progress, 0, &error)) {
            state.SkipWithError("the download failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * kImagePart);
}
BENCHMARK(BM_BlockDownloadTcp)
    ->Arg(512)
    ->Arg(1024)
    ->Arg(4096)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2);

// 512 bytes of data per round trip, as a 512-byte block download moves.
void BM_RawStopAndWaitTcp(benchmark::State& state)
{
    kxbench::rawTcpRoundTrips(state, std::string(517, '\x5a'), std::string(1, '*'));
    state.SetBytesProcessed(state.iterations() * 512);
}
BENCHMARK(BM_RawStopAndWaitTcp)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
