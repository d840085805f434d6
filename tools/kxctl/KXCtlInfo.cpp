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
    KXCtlDevice device;
    int code = KXCtlExitUsage;
    QJsonValue errcode; // null: nothing was asked
    KXDeviceInfoMap info;
    if (!KXCtlDevice::parse(args, device, error)) {
    } else if (!args.isEmpty()) {
        error = QStringLiteral("unexpected %1").arg(args.first());
    } else if (device.kind() != KXCtlDevice::Kind::Tcp &&
               device.kind() != KXCtlDevice::Kind::Scanned) {
        error = QStringLiteral("the kit has information on devices it added or found: give "
                               "tcp://HOST:PORT or a device id with --scan");
    } else if (device.open(DevicePortData, error)) {
        // Opened: what the kit found is what the device answered.
        info = device.info();
        device.close();
        code = KXCtlExitOk;
        errcode = KXCtlErrorNone;
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
