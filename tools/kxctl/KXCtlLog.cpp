#include "KXCtlCommands.h"
#include "KXCtlDevice.h"
#include "KXCtlExchange.h"
#include "KXCtlReport.h"
#include "KXCtlStopSignals.h"

namespace {

// A log is small; this only ends a device that announces more than it
// sends, or drips without end.
constexpr int kDefaultTimeoutMs = 30000;

} // namespace

int runLog(QStringList args, QString& err)
{
    int timeoutMs = kDefaultTimeoutMs;
    QString error;
    KXCtlDevice device;
    if (!kxctlTakeTimeout(args, timeoutMs, error) || !KXCtlDevice::parse(args, device, error) ||
        !args.isEmpty()) {
        if (error.isEmpty())
            error = QStringLiteral("expected one device (%1; tcp:// names the data port)")
                        .arg(QLatin1String(KXCtlDevice::Forms));
        err = QStringLiteral("kxctl log: %1").arg(error);
        return KXCtlExitUsage;
    }
    KXDeviceKit* kit = KXDeviceKit::Instance();
    QObject context;
    struct Detach
    {
        ~Detach() { KXCtlStopSignals::alarmAfter(0); }
    } detach;
    if (!KXCtlStopSignals::install(
            &context, [] {}, error)) {
        err = QStringLiteral("kxctl log: %1").arg(error);
        return KXCtlExitFailed;
    }
    // The time covers the opening too.
    KXCtlStopSignals::alarmAfter(timeoutMs);
    if (!device.open(DevicePortLog, error)) {
        err = QStringLiteral("kxctl log: %1").arg(error);
        return KXCtlExitNoLink;
    }
    bool endsWithNewline = true;
    qint64 received = 0;
    // The query runs on this thread and hands over the log piece by piece;
    // closing the log connection is what ends it early, after a stop
    // request or the time-out (a device that goes silent ends it by itself).
    bool stopped = false;
    QObject::connect(kit, &KXDeviceKit::logDataReceived, &context,
                     [&](const QString& id, const QByteArray& data) {
                         if (id != device.id() || stopped)
                             return;
                         if (!data.isEmpty()) {
                             kxctlPrint(data);
                             received += data.size();
                             endsWithNewline = data.endsWith('\n');
                         }
                         if (KXCtlStopSignals::requested() != 0) {
                             stopped = true;
                             device.close();
                         }
                     });
    const bool answered = KXCtlStopSignals::requested() == 0 && kit->logQuery(device.id());
    device.close();
    KXCtlStopSignals::alarmAfter(0);
    if (!endsWithNewline)
        kxctlPrint("\n");
    const int stopSignal = KXCtlStopSignals::requested();
    if (stopSignal == SIGALRM) {
        err = QStringLiteral("kxctl log: the log did not end within %1 ms (%2 bytes printed)")
                  .arg(timeoutMs)
                  .arg(received);
        return KXCtlExitNoReply;
    }
    // Stopped on request: what came so far is printed, as the monitor ends.
    if (stopSignal != 0)
        return KXCtlExitOk;
    if (!answered) {
        err = QStringLiteral("kxctl log: no log reply from %1").arg(device.text());
        return KXCtlExitNoReply;
    }
    return KXCtlExitOk;
}
