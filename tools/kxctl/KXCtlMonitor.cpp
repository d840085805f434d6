#include "KXCtlCommands.h"
#include "KXCtlExchange.h"
#include "KXCtlReport.h"
#include "KXCtlStopSignals.h"
#include "KXCtlTarget.h"
#include "KXCtlUdev.h"

#include "connector/KXDeviceConnector.h"

#include <QEventLoop>

#include <cstdio>

namespace {

constexpr int kDefaultSendTimeoutMs = 3000;

} // namespace

int runMonitor(QStringList args, QString& err)
{
    int sendTimeoutMs = kDefaultSendTimeoutMs;
    QString error;
    if (!kxctlTakeTimeout(args, sendTimeoutMs, error)) {
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
    if (positional.size() != 1) {
        err = QStringLiteral("kxctl monitor: expected one target (%1)")
                  .arg(QLatin1String(KXCtlTarget::Forms));
        return KXCtlExitUsage;
    }
    KXCtlTarget target;
    if (!KXCtlTarget::parse(positional.first(), target, error)) {
        err = QStringLiteral("kxctl monitor: %1").arg(error);
        return KXCtlExitUsage;
    }

    KXDeviceConnector connector;
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
    QObject::connect(&connector, &KXDeviceConnector::barcodeReceived, &loop,
                     [&print](const QByteArray& data) { print(true, data); });
    QObject::connect(&connector, &KXDeviceConnector::messageReceived, &loop,
                     [&print](const QByteArray& data) { print(false, data); });
    if (!target.open(connector, error)) {
        err = QStringLiteral("kxctl monitor: %1").arg(error);
        return KXCtlExitNoLink;
    }
    if (target.kind == KXCtlTarget::Kind::Tcp) {
        // The connection is opened without reconnection: a hang-up ends it.
        QObject::connect(connector.transport(), &IDataStreamReadWrite::connectChanged, &loop,
                         [&](bool connected) {
                             if (connected)
                                 return;
                             err = QStringLiteral("kxctl monitor: the device closed the link");
                             finish(KXCtlExitNoLink);
                         });
    }

    // USB devices and serial ports that come and go. The connection hears
    // of its own device, which lets it reopen one that comes back; the
    // notice is what KXDeviceKit::dbtDeviceArrival() hands on by path.
    KXCtlUdev udev;
    QObject::connect(
        &udev, &KXCtlUdev::deviceChanged, &loop, [&](bool arrived, const QString& path) {
            const bool ours = !target.path.isEmpty() && path == target.path;
            if (ours)
                connector.deviceArrival(arrived, !arrived);
            kxctlPrint(QStringLiteral("device %1: %2%3\n")
                           .arg(arrived ? QLatin1String("arrived") : QLatin1String("removed"), path,
                                !ours     ? QString()
                                : arrived ? QStringLiteral(" (the monitored device: reopening)")
                                          : QStringLiteral(" (the monitored device)"))
                           .toLocal8Bit());
        });
    if (!udev.start(error))
        std::fprintf(stderr, "kxctl monitor: %s\n", error.toLocal8Bit().constData());

    for (const QString& text : qAsConst(sends)) {
        if (finished >= 0)
            break;
        const KXCtlResult result = kxctlExchange(
            connector, kxctlCommandFrame(text, DataProtocol7E01, false), sendTimeoutMs);
        if (result.errcode != KXDeviceConnector::ErrorNone) {
            err = QStringLiteral("kxctl monitor: --send %1: %2")
                      .arg(text, result.errorText(sendTimeoutMs));
            return result.exitCode();
        }
    }
    return finished >= 0 ? finished : loop.exec();
}
