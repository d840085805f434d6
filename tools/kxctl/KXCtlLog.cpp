#include "KXCtlCommands.h"
#include "KXCtlReport.h"
#include "KXCtlTarget.h"

#include "connector/KXDeviceConnector.h"

int runLog(const QStringList& args, QString& err)
{
    if (args.size() != 1 || args.first().startsWith(QLatin1String("--"))) {
        err = QStringLiteral("kxctl log: expected one target (%1; tcp:// names the log port)")
                  .arg(QLatin1String(KXCtlTarget::Forms));
        return KXCtlExitUsage;
    }
    KXCtlTarget target;
    QString error;
    if (!KXCtlTarget::parse(args.first(), target, error)) {
        err = QStringLiteral("kxctl log: %1").arg(error);
        return KXCtlExitUsage;
    }
    KXDeviceConnector connector;
    // Set before the opening: the run loop must never read a log link,
    // whatever its port number.
    connector.setLogConnection(true);
    if (!target.open(connector, error)) {
        err = QStringLiteral("kxctl log: %1").arg(error);
        return KXCtlExitNoLink;
    }
    bool endsWithNewline = true;
    // The query runs on this thread and hands over the log piece by piece.
    QObject::connect(&connector, &KXDeviceConnector::logDataReceived, &connector,
                     [&endsWithNewline](const QByteArray& data) {
                         if (data.isEmpty())
                             return;
                         kxctlPrint(data);
                         endsWithNewline = data.endsWith('\n');
                     });
    if (!connector.logQuery()) {
        err = QStringLiteral("kxctl log: no log reply from %1").arg(target.text);
        return KXCtlExitNoReply;
    }
    if (!endsWithNewline)
        kxctlPrint("\n");
    return KXCtlExitOk;
}
