// CPU time of a process whose only work is one idle device connection:
// kxsim on loopback, a connector connected over TCP and no requests. Prints
// user plus system time over the measured span as a share of one core.

#include "KXBenchSim.h"

#include "connector/KXDeviceConnector.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QTimer>

#include <cstdio>
#include <sys/resource.h>

namespace {

constexpr int kDefaultSeconds = 10;

double cpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return double(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("kx.*.debug=false"));
    int seconds = kDefaultSeconds;
    if (argc > 1 && (seconds = QString::fromLocal8Bit(argv[1]).toInt()) <= 0) {
        std::fprintf(stderr, "usage: idle_cpu [SECONDS]   (default %d)\n", kDefaultSeconds);
        return 2;
    }

    KXBenchSim sim;
    if (!sim.start()) {
        std::fprintf(stderr, "idle_cpu: kxsim did not start\n");
        return 1;
    }
    KXDeviceConnector connector;
    if (!connector.connectToDevice(QStringLiteral("127.0.0.1"), sim.dataPort, false)) {
        std::fprintf(stderr, "idle_cpu: cannot connect to kxsim\n");
        return 1;
    }

    // The connection's start-up is not idle time.
    const double before = cpuSeconds();
    QElapsedTimer span;
    span.start();
    QTimer::singleShot(seconds * 1000, Qt::PreciseTimer, &app, &QCoreApplication::quit);
    app.exec();
    const double used = cpuSeconds() - before;
    const double wall = double(span.nsecsElapsed()) / 1e9;
    std::printf("idle_cpu: %.3f s CPU in %.2f s idle on TCP: %.2f%% of one core\n", used, wall,
                100.0 * used / wall);
    connector.disconnectDevice();
    sim.stop();
    return 0;
}
