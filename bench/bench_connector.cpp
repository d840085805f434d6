// Request round trips through the device connector: synchronous sends to the
// offline sample device and to kxsim on loopback, and a burst of
// asynchronous requests to kxsim; and the same request and reply over bare
// loopback sockets, the floor under the TCP figures.

#include "KXBenchRawTcp.h"
#include "KXBenchSim.h"

#include "connector/KXDeviceConnector.h"
#include "offline/KXOffLineEngine.h"

#include <KXDataStream.h>

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QLoggingCategory>

#include <memory>

namespace {

constexpr int kPipelineDepth = 1000;
constexpr int kReplyTimeoutMs = 5000;

const QByteArray& queryCommand()
{
    static const QByteArray frame = KXMakeDataStreamCmd("@DFMQCU*", DataProtocol7E01, true);
    return frame;
}

// One simulator for every TCP benchmark, started on first use: starting it
// is not what is measured. main() stops it while the application still runs.
std::unique_ptr<KXBenchSim> g_sim;

KXBenchSim* simulator()
{
    if (!g_sim) {
        g_sim = std::make_unique<KXBenchSim>();
        g_sim->start();
    }
    return g_sim->dataPort ? g_sim.get() : nullptr;
}

bool connectToSimulator(KXDeviceConnector& connector, benchmark::State& state)
{
    KXBenchSim* sim = simulator();
    if (!sim) {
        state.SkipWithError("kxsim did not start");
        return false;
    }
    if (!connector.connectToDevice(QStringLiteral("127.0.0.1"), sim->dataPort, false)) {
        state.SkipWithError("cannot connect to kxsim");
        return false;
    }
    return true;
}

void syncRoundTrips(benchmark::State& state, KXDeviceConnector& connector)
{
    QByteArray reply;
    for (auto _ : state) {
        const int errcode = connector.sendBinaryMessage(queryCommand(), reply, kReplyTimeoutMs);
        if (errcode != KXDeviceConnector::ErrorNone || reply.isEmpty()) {
            state.SkipWithError("request failed");
            break;
        }
        benchmark::DoNotOptimize(reply);
    }
}

void BM_SyncRoundTripOffline(benchmark::State& state)
{
    const QString folder = QStringLiteral(KX_SAMPLE_DEVICE_DIR);
    KXDeviceConnector connector;
    if (!connector.openOffLineDevice(folder + QLatin1String("/DeviceConfiguration.xml"),
                                     folder + QLatin1String("/Offline.xml"))) {
        state.SkipWithError("cannot open the sample device");
        return;
    }
    syncRoundTrips(state, connector);
}
BENCHMARK(BM_SyncRoundTripOffline)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_SyncRoundTripTcp(benchmark::State& state)
{
    KXDeviceConnector connector;
    if (connectToSimulator(connector, state))
        syncRoundTrips(state, connector);
}
BENCHMARK(BM_SyncRoundTripTcp)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The reply is what kxsim answers, made once by the engine it answers with.
void BM_RawTcpRoundTrip(benchmark::State& state)
{
    const QString folder = QStringLiteral(KX_SAMPLE_DEVICE_DIR);
    KXOffLineEngine engine;
    QByteArray reply;
    if (!engine.loadFiles(folder + QLatin1String("/DeviceConfiguration.xml"),
                          folder + QLatin1String("/Offline.xml")) ||
        !engine.answerFrame(queryCommand(), reply)) {
        state.SkipWithError("cannot answer from the sample device");
        return;
    }
    kxbench::rawTcpRoundTrips(state, queryCommand().toStdString(), reply.toStdString());
}
BENCHMARK(BM_RawTcpRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

// All requests queued at once; an iteration ends with the last callback.
void BM_AsyncPipelineTcp(benchmark::State& state)
{
    KXDeviceConnector connector;
    if (!connectToSimulator(connector, state))
        return;
    for (auto _ : state) {
        QEventLoop loop;
        int answered = 0;
        int failed = 0;
        const auto onReply = [&](const QString&, int errcode, const QByteArray&, QObject*) {
            if (errcode != KXDeviceConnector::ErrorNone)
                ++failed;
            if (++answered == kPipelineDepth)
                loop.quit();
        };
        for (int i = 0; i < kPipelineDepth; ++i)
            connector.sendBinaryMessage(queryCommand(), onReply, nullptr, 60000);
        if (answered < kPipelineDepth)
            loop.exec();
        if (failed > 0) {
            state.SkipWithError("requests failed");
            return;
        }
    }
    state.SetItemsProcessed(state.iterations() * kPipelineDepth);
}
BENCHMARK(BM_AsyncPipelineTcp)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("kx.*.debug=false"));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_sim.reset();
    return 0;
}
