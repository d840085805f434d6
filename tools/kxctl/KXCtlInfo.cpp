#include "KXCtlCommands.h"
#include "KXCtlExchange.h"
#include "KXCtlTarget.h"

#include "connector/KXDeviceConnector.h"
#include "discovery/KXDeviceInfo.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {

constexpr int kDefaultReplyMs = KXDeviceConnector::DefaultTimeOut7E01;

QString infoJson(const QJsonValue& error, const QString& message, const KXDeviceInfoMap& info)
{
    QJsonObject map;
    for (auto it = info.cbegin(); it != info.cend(); ++it)
        map.insert(it.key(), it.value());
    const QJsonObject document{{"error", error}, {"message", message}, {"info", map}};
    return QString::fromUtf8(QJsonDocument(document).toJson(QJsonDocument::Compact)) +
           QLatin1Char('\n');
}

// "Key: value" per line; a value of several lines continues indented.
QString infoText(const KXDeviceInfoMap& info)
{
    QString text;
    for (auto it = info.cbegin(); it != info.cend(); ++it) {
        QString value = it.value();
        value.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        value.replace(QLatin1Char('\n'), QStringLiteral("\n    "));
        text += it.key() + QStringLiteral(": ") + value + QLatin1Char('\n');
    }
    return text;
}

} // namespace

int runInfo(const QStringList& arguments, QString& out, QString& err)
{
    QStringList args = arguments;
    const bool json = args.removeAll(QStringLiteral("--json")) > 0;
    int replyMs = kDefaultReplyMs;
    QString error;
    KXCtlTarget target;
    int code = KXCtlExitUsage;
    QJsonValue errcode; // null: nothing was asked
    KXDeviceInfoMap info;
    if (!kxctlTakeTimeout(args, replyMs, error)) {
    } else if (args.size() != 1 || args.first().startsWith(QLatin1String("--"))) {
        error = QStringLiteral("expected one target (%1)").arg(QLatin1String(KXCtlTarget::Forms));
    } else if (KXCtlTarget::parse(args.first(), target, error)) {
        KXDeviceConnector connector;
        if (!target.open(connector, error)) {
            code = KXCtlExitNoLink;
            errcode = KXDeviceConnector::ErrorNotRunning;
        } else {
            connector.setTimeOut_7E01(replyMs);
            if (KXQueryDeviceInfo(&connector, info)) {
                code = KXCtlExitOk;
                errcode = KXDeviceConnector::ErrorNone;
            } else {
                code = KXCtlExitNoReply;
                errcode = KXDeviceConnector::ErrorNoReply;
                error = QStringLiteral("the device answered neither the scanner nor the base "
                                       "station information request");
            }
        }
    }
    if (json)
        out = infoJson(errcode, error, info);
    else
        out = infoText(info);
    if (!error.isEmpty())
        err = QStringLiteral("kxctl info: %1").arg(error);
    return code;
}
