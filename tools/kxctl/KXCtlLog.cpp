#include "KXCtlCommands.h"
#include "KXCtlExchange.h"
#include "KXCtlReport.h"
#include "KXCtlStopSignals.h"
#include "KXCtlTarget.h"

#include "connector/KXDeviceConnector.h"

namespace {

// A log is small; this only ends a device that announces more than it
// sends, or drips without end.
constexpr int kDefaultTimeoutMs = 30000;

} // namespace

int runLog(QStringList args, QString& err)
{
    int timeoutMs = kDefaultTimeoutMs;
    QString error;
    if (!kxctlTakeTimeout(args, timeoutMs, error)) {
        err = QStringLiteral("kxctl log: %1").arg(error);
        return KXCtlExitUsage;
    }
    if (args.size() != 1 || args.first().startsWith(QLatin1String("--"))) {
        err = QStringLiteral("kxctl log: expected one target (%1; tcp:// names the log port)")
                  .arg(QLatin1String(KXCtlTarget::Forms));
        return KXCtlExitUsage;
    }
    KXCtlTarget target;
    if (!KXCtlTarget::parse(args.first(), target, error)) {
        err = QStringLiteral("kxctl log: %1").arg(error);
        return KXCtlExitUsage;
    }
    KXDeviceConnector connector;
    // The query holds this thread until it ends, so no event loop sees a
    // signal: the handler stops the query itself.
    KXCtlStopSignals::setLogQuery(&connector);
    struct Detach
    {
        ~Detach()
        {
            KXCtlStopSignals::alarmAfter(0);
            KXCtlStopSignals::setLogQuery(nullptr);
        }
    } detach;
    if (!KXCtlStopSignals::install(
            &connector, [] {}, error)) {
        err = QStringLiteral("kxctl log: %1").arg(error);
        return KXCtlExitFailed;
    }
    // The time covers the opening too.
    KXCtlStopSignals::alarmAfter(timeoutMs);
    // Set before the opening: the run loop must never read a log link,
    // whatever its port number.
    connector.setLogConnection(true);
    if (!target.open(connector, error)) {
        err = QStringLiteral("kxctl log: %1").arg(error);
        return KXCtlExitNoLink;
    }
    bool endsWithNewline = true;
    qint64 received = 0;
    // The query runs on this thread and hands over the log piece by piece.
    // A stop that came before it began is passed on here.
    QObject::connect(&connector, &KXDeviceConnector::logDataReceived, &connector,
                     [&](const QByteArray& data) {
                         if (KXCtlStopSignals::requested() != 0)
                             connector.stopLogQuery();
                         if (data.isEmpty())
                             return;
                         kxctlPrint(data);
                         received += data.size();
                         endsWithNewline = data.endsWith('\n');
                     });
    const bool answered = KXCtlStopSignals::requested() == 0 && connector.logQuery();
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
        err = QStringLiteral("kxctl log: no log reply from %1").arg(target.text);
        return KXCtlExitNoReply;
    }
    return KXCtlExitOk;
}
