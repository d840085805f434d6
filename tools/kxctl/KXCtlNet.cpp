#include "KXCtlCommands.h"
#include "KXCtlExchange.h"
#include "KXCtlReport.h"
#include "KXCtlScan.h"
#include "KXCtlStopSignals.h"

#include <KXDeviceKit.h>

#include <QEventLoop>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

namespace {

constexpr quint32 kDefaultFindSeconds = 5;
constexpr int kDefaultAnswerMs = 3000;

using ResultSignal = void (KXDeviceKit::*)(QString, QString, int);

// One settings command: the result signal it waits for (none for blink).
struct NetCommand
{
    const char* name;
    ResultSignal result;
};

const NetCommand kNetCommands[] = {
    {"ip", &KXDeviceKit::deviceNetworkChanged},
    {"alias", &KXDeviceKit::deviceAliasChanged},
    {"group", &KXDeviceKit::deviceNetworkGroup},
    {"blink", nullptr},
};

// "--name VALUE" taken out of `args`; empty when absent. False when the
// value is missing.
bool takeOption(QStringList& args, const char* name, QString& value)
{
    const int at = args.indexOf(QLatin1String(name));
    if (at < 0)
        return true;
    if (at + 1 >= args.size())
        return false;
    value = args.at(at + 1);
    args.erase(args.begin() + at, args.begin() + at + 2);
    return true;
}

bool isIpv4(const QString& text)
{
    const QHostAddress address(text);
    return address.protocol() == QAbstractSocket::IPv4Protocol &&
           address.toString() == text; // no short forms such as "10.1"
}

// The new settings of `net ip` entered into `info` (the device's own
// values); false with a reason.
bool takeNetworkSettings(QStringList& args, KXDeviceInfoMap& info, QString& error)
{
    QString ip, mask, gateway, dhcp = QStringLiteral("off");
    if (!takeOption(args, "--ip", ip) || !takeOption(args, "--mask", mask) ||
        !takeOption(args, "--gateway", gateway) || !takeOption(args, "--dhcp", dhcp)) {
        error = QStringLiteral("an option lacks its value");
        return false;
    }
    if (dhcp != QLatin1String("on") && dhcp != QLatin1String("off")) {
        error = QStringLiteral("--dhcp takes on or off");
        return false;
    }
    // With DHCP the address options may be left out; the device's own
    // values then go along.
    const bool useDhcp = dhcp == QLatin1String("on");
    const struct
    {
        const char* option;
        const QString& text;
        const char* key;
    } fields[] = {{"--ip", ip, "Ip Address"},
                  {"--mask", mask, "SubNetmask"},
                  {"--gateway", gateway, "Gateway Address"}};
    for (const auto& field : fields) {
        if (field.text.isEmpty() && useDhcp)
            continue;
        if (!isIpv4(field.text)) {
            error = field.text.isEmpty()
                        ? QStringLiteral("%1 is needed without --dhcp on").arg(field.option)
                        : QStringLiteral("%1 takes an IPv4 address, not %2")
                              .arg(field.option, field.text);
            return false;
        }
        info.insert(QLatin1String(field.key), field.text);
    }
    info.insert(QStringLiteral("Use DHCP"), useDhcp ? QStringLiteral("1") : QStringLiteral("0"));
    return true;
}

QByteArray resultJson(const QJsonValue& error, const QString& message, const QString& id,
                      const QJsonValue& result)
{
    const QJsonObject object{{QStringLiteral("error"), error},
                             {QStringLiteral("message"), message},
                             {QStringLiteral("id"), id},
                             {QStringLiteral("result"), result}};
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

} // namespace

int runNet(QStringList args, QString& out, QString& err)
{
    const bool json = args.removeAll(QStringLiteral("--json")) > 0;
    const QString name = args.isEmpty() ? QString() : args.takeFirst();
    const NetCommand* command = nullptr;
    for (const NetCommand& candidate : kNetCommands) {
        if (name == QLatin1String(candidate.name))
            command = &candidate;
    }
    const QString prefix = QStringLiteral("kxctl net %1: ").arg(name);
    quint32 seconds = kDefaultFindSeconds;
    int timeoutMs = kDefaultAnswerMs;
    KXDeviceInfoMap settings;
    QString error;
    if (!command)
        error = QStringLiteral("expected ip, alias, group or blink");
    else if (kxctlTakeSeconds(args, seconds, error) && kxctlTakeTimeout(args, timeoutMs, error) &&
             (name != QLatin1String("ip") || takeNetworkSettings(args, settings, error))) {
        const int operands = name == QLatin1String("alias") || name == QLatin1String("group");
        if (args.size() != 1 + operands)
            error = args.size() > 1 + operands
                        ? QStringLiteral("unexpected argument %1").arg(args.at(1 + operands))
                        : QStringLiteral("expected DEVICE%1").arg(operands ? " TEXT" : "");
    }
    if (!error.isEmpty()) {
        err = prefix + error;
        if (json)
            out = QString::fromUtf8(resultJson(QJsonValue(), err, QString(), QJsonValue()));
        return KXCtlExitUsage;
    }
    const QString device = args.first();
    const QString text = args.value(1);

    QString id;
    KXDeviceInfoMap info;
    const int found = kxctlFindNetworkDevice(device, seconds, id, info, error);
    if (found != KXCtlExitOk || id.isEmpty()) {
        err = prefix + error;
        if (json)
            out =
                QString::fromUtf8(resultJson(found == KXCtlExitOk ? 0 : -3, err, id, QJsonValue()));
        return found;
    }

    KXDeviceKit* kit = KXDeviceKit::Instance();
    const QString serial = info.value(QStringLiteral("Serial Number"));
    const QString mac = info.value(QStringLiteral("MAC Address"));
    QEventLoop loop;
    int answer = 0;
    bool answered = false;
    if (command->result)
        QObject::connect(kit, command->result, &loop,
                         [&](const QString& sn, const QString& deviceMac, int result) {
                             if (sn != serial || deviceMac.compare(mac, Qt::CaseInsensitive) != 0)
                                 return;
                             answered = true;
                             answer = result;
                             loop.quit();
                         });
    if (!KXCtlStopSignals::install(
            &loop, [&loop] { loop.quit(); }, error)) {
        err = prefix + error;
        return KXCtlExitFailed;
    }

    const KXDeviceInfoMap addressee{{QStringLiteral("Serial Number"), serial},
                                    {QStringLiteral("MAC Address"), mac}};
    int errcode = -1; // what the kit's send gave, then -2 when no answer came
    if (name == QLatin1String("ip")) {
        KXDeviceInfoMap change = info; // the device's values where none are given
        for (auto it = settings.cbegin(); it != settings.cend(); ++it)
            change.insert(it.key(), it.value());
        errcode = kit->changeDeviceNetwork(change);
    } else if (name == QLatin1String("alias")) {
        KXDeviceInfoMap change = addressee;
        change.insert(QStringLiteral("L Alias"), text);
        errcode = kit->changeDeviceAlias(change);
    } else if (name == QLatin1String("group")) {
        // The device takes its own fields, then the caller's, each ending in ';'.
        QString fields =
            QStringLiteral("Serial Number=%1;MAC Address=%2;%3").arg(serial, mac, text);
        if (!fields.endsWith(QLatin1Char(';')))
            fields += QLatin1Char(';');
        errcode = kit->setDeviceNetworkGroup(fields);
    } else {
        errcode = kit->blinkNotify(addressee);
    }

    int code = KXCtlExitOk;
    QString message;
    QJsonValue result;
    if (errcode != 0) {
        code = KXCtlExitFailed;
        message = prefix + QStringLiteral("the broadcast was not sent (%1)").arg(errcode);
    } else if (command->result) {
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        if (!KXCtlStopSignals::requested())
            loop.exec();
        if (answered) {
            result = answer;
            if (answer != 0) {
                code = KXCtlExitRefused;
                message = prefix +
                          QStringLiteral("%1 refused the setting (result %2)").arg(id).arg(answer);
            }
        } else if (KXCtlStopSignals::requested()) {
            message = prefix + QStringLiteral("stopped before %1 answered").arg(id);
        } else {
            code = KXCtlExitNoReply;
            errcode = -2;
            message = prefix +
                      QStringLiteral("%1 did not answer within %2 ms (-2)").arg(id).arg(timeoutMs);
        }
    }
    kit->stopDeviceScan(ScanBroadcast);

    if (json)
        out = QString::fromUtf8(resultJson(errcode, message, id, result));
    else if (code == KXCtlExitOk && message.isEmpty())
        out = command->result ? QStringLiteral("%1 %2 %3: result 0\n").arg(name, id, serial)
                              : QStringLiteral("%1 %2 %3: sent\n").arg(name, id, serial);
    err = message;
    return code;
}
