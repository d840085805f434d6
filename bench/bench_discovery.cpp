// UDP discovery under a burst: kxsim answers one broadcast as a thousand
// devices at once, and the enumerator must report every one of them. Runs
// only inside the private test network (bench/run.sh starts it through
// tests/support/kx_netns.sh); anywhere else it refuses to broadcast.

#include "discovery/KXBroadcastDeviceEnum.h"
#include "tests/support/KXPrivateNetwork.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QSet>
#include <QTimer>

#include <cstdio>

namespace {

constexpr int kDevices = 1000;
constexpr int kBurstLimitMs = 10000;
int g_lostRuns = 0;

// kxsim answering discovery as `devices` devices; false when it does not say
// that it listens.
bool startSim(QProcess& sim, int devices)
{
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(QStringLiteral(KXSIM_PATH),
              {"--port", "0", "--log-port", "0", "--udp-devices", QString::number(devices)});
    if (!sim.waitForStarted(10000))
        return false;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 10000) {
        while (sim.canReadLine()) {
            if (sim.readLine().startsWith("kxsim: udp "))
                return true;
        }
        sim.waitForReadyRead(1000);
    }
    return false;
}

void BM_DiscoveryBurst1000(benchmark::State& state)
{
    QString why;
    if (!kxInPrivateTestNetwork(&why)) {
        state.SkipWithError(qPrintable(why));
        return;
    }
    QProcess sim;
    if (!startSim(sim, kDevices)) {
        state.SkipWithError("kxsim did not start");
        return;
    }

    KXBroadcastDeviceEnum discovery;
    QSet<QString> seen;
    QEventLoop loop;
    QObject::connect(&discovery, &KXBroadcastDeviceEnum::deviceUpdated, &loop,
                     [&](const QString& id) {
                         seen.insert(id);
                         if (seen.size() == kDevices)
                             loop.quit();
                     });
    // A long echo interval: each round is the answers to one broadcast.
    if (!discovery.startScan(3600 * 1000)) {
        state.SkipWithError("no answer port");
        return;
    }
    bool first = true;
    int lost = 0;
    for (auto _ : state) {
        if (!first) {
            seen.clear();
            discovery.refreshScan();
        }
        first = false;
        QElapsedTimer clock;
        clock.start();
        QTimer::singleShot(kBurstLimitMs, &loop, &QEventLoop::quit);
        if (seen.size() < kDevices)
            loop.exec();
        state.SetIterationTime(clock.nsecsElapsed() / 1e9);
        lost += kDevices - seen.size();
        // Late answers of this round must not count for the next.
        QTimer::singleShot(200, &loop, &QEventLoop::quit);
        loop.exec();
    }
    state.counters["lost"] = lost;
    if (lost > 0) {
        ++g_lostRuns;
        state.SkipWithError(qPrintable(QStringLiteral("%1 answers lost").arg(lost)));
    }
    sim.terminate();
    sim.waitForFinished(5000);
}
BENCHMARK(BM_DiscoveryBurst1000)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_lostRuns > 0)
        std::fprintf(stderr, "bench_discovery: answers were lost in %d runs\n", g_lostRuns);
    return g_lostRuns > 0 ? 1 : 0;
}
