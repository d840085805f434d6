// get and set: settings by command name, in one framed command each run.

#include "KXCtlCommands.h"
#include "KXCtlDevice.h"
#include "KXCtlExchange.h"
#include "KXCtlReport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace {

constexpr int kDefaultTimeoutMs = 3000;

// One exchange of `texts` (command texts without prefix, such as SCNMOD* or
// SCNMOD2) and the report of each requested name's result. `names` are the
// command names the results are matched to, in order.
int exchangeSettings(const char* command, QStringList args, bool query, QString& out, QString& err)
{
    const bool json = args.removeAll(QStringLiteral("--json")) > 0;
    int timeoutMs = kDefaultTimeoutMs;
    QString error;
    KXCtlDevice device;
    QStringList names;
    QStringList texts;
    if (kxctlTakeTimeout(args, timeoutMs, error) && KXCtlDevice::parse(args, device, error)) {
        // A name is letters and digits: anything else would end or split the
        // command in the frame.
        static const QRegularExpression name(
            QRegularExpression::anchoredPattern(QStringLiteral("[A-Za-z0-9]+")));
        for (const QString& arg : qAsConst(args)) {
            const int equals = arg.indexOf(QLatin1Char('='));
            const QString setting = query ? arg : arg.left(equals);
            const QString value = query ? QString() : arg.mid(equals + 1);
            if (!name.match(setting).hasMatch() || (!query && equals < 0) ||
                value.contains(QLatin1Char(';')) || arg.startsWith(QLatin1String("--"))) {
                error =
                    query ? QStringLiteral("expected setting names such as SCNMOD, not %1").arg(arg)
                          : QStringLiteral("expected NAME=VALUE such as SCNMOD=2 (no ';' in "
                                           "the value), not %1")
                                .arg(arg);
                break;
            }
            names.append(setting.toUpper());
            texts.append(setting.toUpper() + (query ? QStringLiteral("*") : value));
        }
        if (error.isEmpty() && names.isEmpty())
            error = QStringLiteral("expected a device (%1) and at least one setting")
                        .arg(QLatin1String(KXCtlDevice::Forms));
    } else if (error.isEmpty()) {
        error = QStringLiteral("expected a device");
    }
    const auto document = [](const QJsonValue& code, const QString& message,
                             const QJsonArray& results) {
        const QJsonObject object{{"error", code}, {"message", message}, {"results", results}};
        return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) +
               QLatin1Char('\n');
    };
    if (!error.isEmpty()) {
        if (json)
            out = document(QJsonValue(), error, {});
        err = QStringLiteral("kxctl %1: %2").arg(QLatin1String(command), error);
        return KXCtlExitUsage;
    }
    if (!device.open(DevicePortData, error)) {
        if (json)
            out = document(KXCtlErrorNotRunning, error, {});
        err = QStringLiteral("kxctl %1: %2").arg(QLatin1String(command), error);
        return KXCtlExitNoLink;
    }
    const KXCtlResult result = kxctlExchange(
        device.id(), kxctlCommandFrame(texts.join(QLatin1Char(';')), DataProtocol7E01, false),
        timeoutMs);
    device.close();
    if (result.errcode != KXCtlErrorNone) {
        error = result.errorText(timeoutMs);
        if (json)
            out = document(result.errcode, error, {});
        err = QStringLiteral("kxctl %1: %2").arg(QLatin1String(command), error);
        return result.exitCode();
    }

    // Matched by name: the device answers in its own order, and a name it
    // does not answer at all counts as refused.
    const QJsonArray replied = kxctlReplyResults(result.reply);
    QJsonArray results;
    QStringList refused;
    for (const QString& setting : qAsConst(names)) {
        QJsonObject found{
            {"cmd", setting}, {"value", QString()}, {"result", QStringLiteral("NAK")}};
        for (const QJsonValue& entry : replied) {
            if (entry.toObject().value(QStringLiteral("cmd")).toString() == setting) {
                found = entry.toObject();
                break;
            }
        }
        results.append(found);
        const QString answer = found.value(QStringLiteral("result")).toString();
        if (answer != QLatin1String("ACK"))
            refused.append(setting + QLatin1Char(' ') + answer);
        if (!json)
            out += QStringLiteral("%1: %2 %3\n")
                       .arg(setting, found.value(QStringLiteral("value")).toString(), answer);
    }
    if (!refused.isEmpty())
        error = QStringLiteral("not taken: %1").arg(refused.join(QStringLiteral(", ")));
    if (json)
        out = document(KXCtlErrorNone, error, results);
    if (refused.isEmpty())
        return KXCtlExitOk;
    err = QStringLiteral("kxctl %1: %2").arg(QLatin1String(command), error);
    return KXCtlExitRefused;
}

} // namespace

int runGet(const QStringList& args, QString& out, QString& err)
{
    return exchangeSettings("get", args, true, out, err);
}

int runSet(const QStringList& args, QString& out, QString& err)
{
    return exchangeSettings("set", args, false, out, err);
}
