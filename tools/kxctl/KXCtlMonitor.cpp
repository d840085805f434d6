#include "KXCtlCommands.h"
#include "KXCtlDevice.h"
#include "KXCtlExchange.h"
#include "KXCtlReport.h"
#include "KXCtlStopSignals.h"
#include "KXCtlUdev.h"

#include <QEventLoop>

#include <cstdio>

namespace {

constexpr int kDefaultSendTimeoutMs = 3000;

} // namespace

int runMonitor(QStringList args, QString& err)
{
    int sendTimeoutMs = kDefaultSendTimeoutMs;
    QString error;
    KXCtlDevice device;
    if (!kxctlTakeTimeout(args, sendTimeoutMs, error) || !KXCtlDevice::parse(args, device, error)) {
        err = QStringLiteral("kxctl monitor: %1").arg(error);
        return KXCtlExitUsage;
    }
    QStringList positional;
    QStringList sends;
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args.at(i);
        if (arg == QLatin1String("--send") && i + 1 < args.size() && !args.at(i + 1).isEmpty()) {
            sends.append(args.at(++i));
        } else if (arg.startsWith(QLatin1String("--"))) {
            err = arg == QLatin1String("--send")
                      ? QStringLiteral("kxctl monitor: --send takes a command text")
                      : QStringLiteral("kxctl monitor: unknown option %1").arg(arg);
            return KXCtlExitUsage;
        } else {
            positional.append(arg);
        }
    }
    if (!positional.isEmpty()) {
        err = QStringLiteral("kxctl monitor: expected one device (%1)")
                  .arg(QLatin1String(KXCtlDevice::Forms));
        return KXCtlExitUsage;
    }

    KXDeviceKit* kit = KXDeviceKit::Instance();
    QEventLoop loop;
    // Remembered as well as sent to the loop: a request that comes while a
    // --send waits would otherwise be lost before the loop runs.
    int finished = -1;
    const auto finish = [&](int code) {
        if (finished < 0)
            finished = code;
        loop.exit(finished);
    };
    // Installed before the opening: a stop request must end the monitor
    // cleanly from the moment it can print anything.
    if (!KXCtlStopSignals::install(
            &loop, [&finish] { finish(KXCtlExitOk); }, error)) {
        err = QStringLiteral("kxctl monitor: %1").arg(error);
        return KXCtlExitFailed;
    }
    // Connected before the opening: a device may send as soon as it is open.
    // Each arrival is printed and dropped; nothing is kept. Arrivals already
    // queued when a stop comes are dropped too.
    const auto print = [&](bool barcode, const QByteArray& data) {
        if (finished >= 0)
            return;
        kxctlPrintUpstream(barcode, data);
        if (KXCtlStopSignals::requested() != 0)
            finish(KXCtlExitOk);
    };
    QObject::connect(kit, &KXDeviceKit::barcodeReceived, &loop,
                     [&](const QString& id, const QByteArray& data) {
                         if (id == device.id())
                             print(true, data);
                     });
    QObject::connect(kit, &KXDeviceKit::messageReceived, &loop,
                     [&](const QString& id, const QByteArray& data) {
                         if (id == device.id())
                             print(false, data);
                     });
    if (!device.open(DevicePortData, error)) {
        err = QStringLiteral("kxctl monitor: %1").arg(error);
        return KXCtlExitNoLink;
    }
    // The connection is opened without reconnection: a hang-up ends it.
    QObject::connect(kit, &KXDeviceKit::deviceConnectChanged, &loop,
                     [&](const QString& id, bool connected) {
                         if (connected || id != device.id() || finished >= 0)
                             return;
                         err = QStringLiteral("kxctl monitor: the device closed the link");
                         finish(KXCtlExitNoLink);
                     });

    // USB devices and serial ports that come and go, handed to the kit by
    // path as the operating system names them; the kit tells the connection
    // whose device it is, which reopens a device that comes back. Whether it
    // was ours shows in the connection's removed flag.
    KXCtlUdev udev;
    QObject::connect(
        &udev, &KXCtlUdev::deviceChanged, &loop, [&](bool arrived, const QString& path) {
            const bool wasRemoved = kit->isDeviceRemove(device.id());
            kit->dbtDeviceArrival(arrived, !arrived, path);
            const bool ours = wasRemoved != kit->isDeviceRemove(device.id());
            kxctlPrint(QStringLiteral("device %1: %2%3\n")
                           .arg(arrived ? QLatin1String("arrived") : QLatin1String("removed"), path,
                                !ours     ? QString()
                                : arrived ? QStringLiteral(" (the monitored device: reopening)")
                                          : QStringLiteral(" (the monitored device)"))
                           .toLocal8Bit());
        });
    if (!udev.start(error))
        std::fprintf(stderr, "kxctl monitor: %s\n", error.toLocal8Bit().constData());

    int code = -1;
    for (const QString& text : qAsConst(sends)) {
        if (finished >= 0)
            break;
        const KXCtlResult result = kxctlExchange(
            device.id(), kxctlCommandFrame(text, DataProtocol7E01, false), sendTimeoutMs);
        if (result.errcode != KXCtlErrorNone) {
            err = QStringLiteral("kxctl monitor: --send %1: %2")
                      .arg(text, result.errorText(sendTimeoutMs));
            code = result.exitCode();
            break;
        }
    }
    if (code < 0)
        code = finished >= 0 ? finished : loop.exec();
    // Marked finished first: the closing below reports the link down too.
    finish(code);
    device.close();
    return code;
}
