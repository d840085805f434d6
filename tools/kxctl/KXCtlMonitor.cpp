#include "KXCtlCommands.h"
#include "KXCtlExchange.h"
#include "KXCtlReport.h"
#include "KXCtlTarget.h"

#include "../kxsim/KXSimSignalWatcher.h"

#include "connector/KXDeviceConnector.h"

#include <QEventLoop>

namespace {

constexpr int kSendTimeoutMs = 3000;

} // namespace

int runMonitor(const QStringList& args, QString& err)
{
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
    QString error;
    if (!KXCtlTarget::parse(positional.first(), target, error)) {
        err = QStringLiteral("kxctl monitor: %1").arg(error);
        return KXCtlExitUsage;
    }

    // Installed first: a stop request must end the monitor cleanly from the
    // moment it can print anything.
    KXSimSignalWatcher stopSignals;
    if (!stopSignals.install(error)) {
        err = QStringLiteral("kxctl monitor: %1").arg(error);
        return KXCtlExitFailed;
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
    QObject::connect(&stopSignals, &KXSimSignalWatcher::terminationRequested, &loop,
                     [&finish] { finish(KXCtlExitOk); });
    // Connected before the opening: a device may send as soon as it is open.
    QObject::connect(&connector, &KXDeviceConnector::barcodeReceived, &loop,
                     [](const QByteArray& data) { kxctlPrintLine(kxctlUpstreamLine(true, data)); });
    QObject::connect(
        &connector, &KXDeviceConnector::messageReceived, &loop,
        [](const QByteArray& data) { kxctlPrintLine(kxctlUpstreamLine(false, data)); });
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

    for (const QString& text : qAsConst(sends)) {
        if (finished >= 0)
            break;
        QByteArray reply;
        const int errcode = kxctlExchange(
            connector, kxctlCommandFrame(text, DataProtocol7E01, false), kSendTimeoutMs, reply);
        if (errcode != KXDeviceConnector::ErrorNone) {
            err = QStringLiteral("kxctl monitor: --send %1: %2")
                      .arg(text, kxctlErrorText(errcode, kSendTimeoutMs));
            return kxctlExitCode(errcode);
        }
    }
    return finished >= 0 ? finished : loop.exec();
}
