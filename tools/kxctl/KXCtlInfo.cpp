#include "KXCtlCommands.h"
#include "KXCtlDevice.h"
#include "KXCtlExchange.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {

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
    QString error;
    int timeoutMs = 4500;
    KXCtlDevice device;
    int code = KXCtlExitUsage;
    QJsonValue errcode; // null: nothing was asked
    KXDeviceInfoMap info;
    if (!kxctlTakeTimeout(args, timeoutMs, error) || !KXCtlDevice::parse(args, device, error)) {
    } else if (!args.isEmpty()) {
        error = QStringLiteral("unexpected %1").arg(args.first());
    } else if (device.open(DevicePortData, error)) {
        // What the kit found when it added or scanned the device is what the
        // device answered; other devices are asked for their system text.
        info = device.info();
        KXCtlResult result;
        result.errcode = KXCtlErrorNone;
        if (info.isEmpty())
            info = kxctlSystemInformation(device.id(), timeoutMs, result);
        device.close();
        code = result.exitCode();
        errcode = result.errcode;
        if (result.errcode != KXCtlErrorNone)
            error = result.errorText(timeoutMs);
    } else {
        code = KXCtlExitNoLink;
        errcode = KXCtlErrorNotRunning;
    }
    if (json)
        out = infoJson(errcode, error, info);
    else
        out = infoText(info);
    if (!error.isEmpty())
        err = QStringLiteral("kxctl info: %1").arg(error);
    return code;
}
