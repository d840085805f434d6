#include "KXCtlCommands.h"
#include "KXCtlExchange.h"
#include "KXCtlReport.h"
#include "KXCtlStopSignals.h"

#include "discovery/KXBroadcastDeviceEnum.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include <cstdio>

namespace {

constexpr quint32 kDefaultSeconds = 10;
constexpr quint32 kMaxSeconds = 86400;
constexpr int kEchoIntervalMs = 3000;

QByteArray jsonLine(const QString& event, const QString& id, const KXDeviceInfoMap* info,
                    const QJsonValue& error = 0, const QString& message = QString())
{
    QJsonObject object{{QStringLiteral("event"), event}, {QStringLiteral("error"), error}};
    if (!id.isEmpty())
        object.insert(QStringLiteral("id"), id);
    if (info) {
        QJsonObject fields;
        for (auto it = info->constBegin(); it != info->constEnd(); ++it)
            fields.insert(it.key(), it.value());
        object.insert(QStringLiteral("info"), fields);
    }
    if (!message.isEmpty())
        object.insert(QStringLiteral("message"), message);
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

QByteArray textLines(const QString& event, const QString& id, const KXDeviceInfoMap* info)
{
    QString text = event + QLatin1Char(' ') + id + QLatin1Char('\n');
    if (info) {
        for (auto it = info->constBegin(); it != info->constEnd(); ++it)
            text += QStringLiteral("  %1: %2\n").arg(it.key(), it.value());
    }
    return text.toLocal8Bit();
}

// "--name VALUE" taken out of `args`; false with a reason for a bad value.
bool takeCount(QStringList& args, const char* name, quint32 min, quint32& value, QString& error)
{
    const int at = args.indexOf(QLatin1String(name));
    if (at < 0)
        return true;
    quint32 number = 0;
    if (at + 1 >= args.size() || !kxctlParseCount(args.at(at + 1), kMaxSeconds, number) ||
        number < min) {
        error = QStringLiteral("%1 takes seconds from %2 to %3")
                    .arg(QLatin1String(name))
                    .arg(min)
                    .arg(kMaxSeconds);
        return false;
    }
    value = number;
    args.erase(args.begin() + at, args.begin() + at + 2);
    return true;
}

} // namespace

int runDiscover(QStringList args, QString& err)
{
    const bool json = args.removeAll(QStringLiteral("--json")) > 0;
    quint32 seconds = kDefaultSeconds;
    quint32 aliveSeconds = KXBroadcastDeviceEnum::DefaultAliveTime;
    QString error;
    if (!takeCount(args, "--seconds", 1, seconds, error) ||
        !takeCount(args, "--alive", 6, aliveSeconds, error)) {
        err = QStringLiteral("kxctl discover: %1").arg(error);
        return KXCtlExitUsage;
    }
    if (!args.isEmpty()) {
        err = QStringLiteral("kxctl discover: unexpected argument %1").arg(args.first());
        return KXCtlExitUsage;
    }

    KXBroadcastDeviceEnum discovery;
    discovery.setCheckAliveTime(int(aliveSeconds));
    QEventLoop loop;
    if (!KXCtlStopSignals::install(
            &loop, [&loop] { loop.exit(KXCtlExitOk); }, error)) {
        err = QStringLiteral("kxctl discover: %1").arg(error);
        return KXCtlExitFailed;
    }
    // Devices answer every echo; only what is new or changed is printed.
    QHash<QString, KXDeviceInfoMap> shown;
    const auto print = [json](const QString& event, const QString& id,
                              const KXDeviceInfoMap* info) {
        kxctlPrint(json ? jsonLine(event, id, info) : textLines(event, id, info));
    };
    QObject::connect(&discovery, &KXBroadcastDeviceEnum::deviceUpdated, &loop,
                     [&](const QString& id, const KXDeviceInfoMap& info) {
                         const auto known = shown.constFind(id);
                         if (known != shown.constEnd() && known.value() == info)
                             return;
                         print(known == shown.constEnd() ? QStringLiteral("found")
                                                         : QStringLiteral("updated"),
                               id, &info);
                         shown.insert(id, info);
                     });
    QObject::connect(&discovery, &KXBroadcastDeviceEnum::deviceOffLine, &loop,
                     [&](const QString& id) {
                         print(QStringLiteral("offline"), id, nullptr);
                         shown.remove(id);
                     });

    if (!discovery.startScan(kEchoIntervalMs)) {
        err = QStringLiteral("kxctl discover: no free answer port up to %1")
                  .arg(KXBroadcastDeviceEnum::answerPort() - 2);
        if (json)
            kxctlPrint(jsonLine(QStringLiteral("error"), QString(), nullptr, -1, err));
        return KXCtlExitNoLink;
    }
    if (!json)
        std::fprintf(stderr, "kxctl discover: answers on UDP port %d for %u s\n",
                     KXBroadcastDeviceEnum::answerPort(), seconds);
    QTimer::singleShot(int(seconds) * 1000, &loop, [&loop] { loop.exit(KXCtlExitOk); });
    return loop.exec();
}
