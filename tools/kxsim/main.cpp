// kxsim: stand-alone device simulator for the device kit.

#include "KXSimDevice.h"
#include "KXSimLogEndpoint.h"
#include "KXSimOptions.h"
#include "KXSimSerialEndpoint.h"
#include "KXSimSignalWatcher.h"
#include "KXSimTcpEndpoint.h"
#include "KXSimUdpEndpoint.h"

#include <QCoreApplication>
#include <QHostAddress>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitStartFailed = 1;
constexpr int kExitUsage = 2;

void printLine(const QString& text)
{
    std::fprintf(stdout, "kxsim: %s\n", text.toLocal8Bit().constData());
    std::fflush(stdout);
}

int fail(const QString& text, int code)
{
    std::fprintf(stderr, "kxsim: %s\n", text.toLocal8Bit().constData());
    return code;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    KXSimOptions options;
    QString error;
    if (!options.parse(app.arguments().mid(1), error))
        return fail(error, kExitUsage);
    if (options.help) {
        std::fputs(KXSimOptions::usage(), stdout);
        return kExitOk;
    }
    if (options.configFile.isEmpty()) {
        const QStringList folders =
            KXSimOptions::sampleDeviceFolders(QCoreApplication::applicationDirPath());
        if (!options.findSampleDevice(folders))
            return fail(QStringLiteral("no sample device found in %1; give --config and --offline")
                            .arg(folders.join(QLatin1String(", "))),
                        kExitStartFailed);
    }

    KXSimSignalWatcher signalWatcher;
    if (!signalWatcher.install(error))
        return fail(error, kExitStartFailed);
    QObject::connect(&signalWatcher, &KXSimSignalWatcher::terminationRequested, &app,
                     [&app] { app.exit(kExitOk); });

    KXSimDevice device;
    const KXSimDevice::Greeting& greeting = options.greeting;
    if (!device.fitsOneFrame(greeting.barcodes, greeting.messages, greeting.mixed))
        return fail(QStringLiteral("--barcodes, --messages and --mixed ask for more than %1 "
                                   "bytes of data per link")
                        .arg(KXSimDevice::MaxDataPerFrame),
                    kExitUsage);
    if (!device.loadFiles(options.configFile, options.offlineFile))
        return fail(
            QStringLiteral("cannot load the device configuration %1").arg(options.configFile),
            kExitStartFailed);
    device.setUnits(options.units);
    if (!options.ifpCheck.isEmpty() &&
        !device.setQueryAnswer(QStringLiteral("IFPCHK"), options.ifpCheck))
        return fail(QStringLiteral("--ifp-check: the device files have no IFPCHK"), kExitUsage);
    device.faults() = options.faults;
    device.setGreeting(options.greeting);
    device.setGapMs(options.gapMs);
    device.addLogLines(options.logLines);
    device.setLogStreamMs(options.logStreamMs);
    device.boot() = options.boot;
    QObject::connect(&device, &KXSimDevice::bootEvent,
                     [](const QString& text) { printLine(QStringLiteral("boot ") + text); });

    const QHostAddress address(options.bindAddress);
    std::vector<std::unique_ptr<KXSimEndpoint>> endpoints;
    auto data = std::make_unique<KXSimTcpEndpoint>(device, address, options.dataPort);
    auto log = std::make_unique<KXSimLogEndpoint>(device, address, options.logPort);
    if (options.udp)
        endpoints.push_back(std::make_unique<KXSimUdpEndpoint>(device, options.udpPort,
                                                               options.udpDevices, *data, *log));
    // The TCP endpoints start first: discovery answers report their ports.
    endpoints.insert(endpoints.begin(), std::move(log));
    endpoints.insert(endpoints.begin(), std::move(data));
    if (options.serial)
        endpoints.push_back(std::make_unique<KXSimSerialEndpoint>(device, options.serialPath));

    for (const auto& endpoint : endpoints) {
        if (!endpoint->start(error))
            return fail(error, kExitStartFailed);
        QObject::connect(endpoint.get(), &KXSimEndpoint::descriptionChanged, &printLine);
        QObject::connect(endpoint.get(), &KXSimEndpoint::eventOccurred, &printLine);
    }
    for (const auto& endpoint : endpoints)
        printLine(endpoint->description());

    return app.exec();
}
