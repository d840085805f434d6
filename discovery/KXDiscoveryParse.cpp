#include "discovery/KXDiscoveryParse.h"

#include "discovery/KXDeviceInfo.h"
#include "discovery/KXDiscoveryDatagram.h"

#include <QDebug>

namespace KXDiscovery {

namespace {

using Pair = std::pair<const char*, const char*>;

// A base station reports its own values under "Base ..." keys.
const Pair BaseFields[] = {
    {"Base Product Name", "Product Name"},
    {"Base Serial Number", "Serial Number"},
    {"Base Bt Version", "Bluetooth Module Firmware Version"},
    {"Base Firmware Version", "Firmware Version"},
    {"Base Hardware Version", "Hardware Version"},
    {"Base Decoder Version", "Decoder Version"},
    {"Base OEM Serial Number", "OEM Serial Number"},
    {"Base kernel Version", "Kernel Version"},
    {"Base Use DHCP", "Use DHCP"},
    {"Base MAC Address", "MAC Address"},
    {"Base Ip Address", "Ip Address"},
    {"Base SubNetmask", "SubNetmask"},
    {"Base Gateway Address", "Gateway Address"},
    {"Base Tcp Port Number", "Tcp Port Number"},
    {"Base Log Port", "Log Port"},
    {"Base Is Connected To Configtool", "Is Connected To Configtool"},
};

// The scanner attached to a base station: its identity and versions, then
// the base's network values once more (the scanner is reached through the
// base).
const Pair GunFields[] = {
    {"Gun Product Name", "Product Name"},
    {"Gun Serial Number", "Serial Number"},
    {"Gun Bt Version", "Bluetooth Module Firmware Version"},
    {"Gun Firmware Version", "Firmware Version"},
    {"Gun Hardware Version", "Hardware Version"},
    {"Gun Decoder Version", "Decoder Version"},
    {"Gun OEM Serial Number", "OEM Serial Number"},
    {"Gun kernel Version", "Kernel Version"},
    {"Base Use DHCP", "Use DHCP"},
    {"Base MAC Address", "MAC Address"},
    {"Base Ip Address", "Ip Address"},
    {"Base SubNetmask", "SubNetmask"},
    {"Base Gateway Address", "Gateway Address"},
};

// Copied only when the scanner sends them (older scanners do not).
const Pair OptionalGunFields[] = {
    {"Gun AIBD Version", "AIBD Version"},
    {"Gun AIBD Model Version", "AIBD Model Version"},
    {"Gun Manufacturing Date", "Manufacturing Date"},
    {"Gun LightBoard Version", "LightBoard Version"},
};

QString key(const char* name)
{
    return QString::fromLatin1(name);
}

// A missing source key is entered empty, so the target becomes empty too.
void copyFields(KXDeviceInfoMap& info, const Pair* begin, const Pair* end)
{
    for (const Pair* pair = begin; pair != end; ++pair) {
        const QString value = info[key(pair->first)];
        info.insert(key(pair->second), value);
    }
}

void applyBaseFields(KXDeviceInfoMap& info)
{
    copyFields(info, std::begin(BaseFields), std::end(BaseFields));
}

void applyGunFields(KXDeviceInfoMap& info, const QString& deviceId)
{
    if (info.value(QStringLiteral("Base Som")) == QLatin1String("1")) {
        // The base is reported under its own identity; the scanner behind it
        // is named after it.
        const QString gunSerial = info[QStringLiteral("Gun Serial Number")];
        info.insert(KXInfoKey::SubDeviceId, deviceId + QLatin1Char('_') + gunSerial);
        return;
    }
    if (info.value(QStringLiteral("Gun Product Name")).isEmpty())
        return;
    copyFields(info, std::begin(GunFields), std::end(GunFields));
    for (const Pair& pair : OptionalGunFields) {
        const auto found = info.constFind(key(pair.first));
        if (found != info.constEnd())
            info.insert(key(pair.second), found.value());
    }
}

QString resultLine(const char* text, const KXDiscoveryAnswer& answer)
{
    return QString::fromUtf8(text) +
           QStringLiteral("%1 %2 %3").arg(answer.sn, answer.mac).arg(answer.result);
}

} // namespace

KXDiscoveryAnswer parseDiscoveryAnswer(const QByteArray& datagram)
{
    KXDiscoveryAnswer answer;
    QByteArray payload;
    if (!splitDatagram(datagram, &answer.code, &payload) || payload.size() < MinAnswerPayload)
        return answer;
    KXDeviceInfoMap& info = answer.info;
    info = parseKeyValueText(QString::fromLocal8Bit(payload));
    const auto productCode = info.constFind(KXInfoKey::ProductCode);
    if (productCode != info.constEnd())
        info.insert(KXInfoKey::PrnQry, productCode.value());
    if (info.isEmpty())
        return answer;

    const quint16 baseInfo = messageCode(KindBaseInfo);
    if (answer.code == baseInfo)
        applyBaseFields(info);
    answer.deviceId = makeDeviceId(info);
    if (answer.deviceId.isEmpty()) {
        QDebug(&answer.logLine).nospace() << "KXBroadcastDeviceEnum device_id is empty! " << info;
        return answer;
    }
    if (answer.code == baseInfo)
        applyGunFields(info, answer.deviceId);
    answer.sn = info[KXInfoKey::SerialNumber];
    answer.mac = info[KXInfoKey::MacAddress];

    switch (answer.code) {
    case messageCode(KindSetNetworkResult):
    case messageCode(KindSetAliasResult): {
        auto found = info.constFind(QStringLiteral("Setting Result"));
        if (found == info.constEnd())
            found = info.constFind(QStringLiteral("Ret"));
        if (found == info.constEnd())
            break;
        answer.result = found.value().toInt(nullptr, 10);
        const bool network = answer.code == messageCode(KindSetNetworkResult);
        answer.action =
            network ? KXDiscoveryAnswer::NetworkChanged : KXDiscoveryAnswer::AliasChanged;
        answer.logLine =
            resultLine(network ? "修改网络设置结果为 : " : "别名设置结果为 : ", answer);
        break;
    }
    case messageCode(KindSetGroupResult):
        answer.result = info[QStringLiteral("Ret")].toInt(nullptr, 10);
        answer.action = KXDiscoveryAnswer::NetworkGroup;
        answer.logLine = resultLine("组网结果为 : ", answer);
        break;
    case messageCode(KindDeviceInfo):
    case messageCode(KindBaseInfo):
        answer.action = KXDiscoveryAnswer::Store;
        break;
    case messageCode(KindSupplement):
        answer.action = KXDiscoveryAnswer::Supplement;
        break;
    default:
        break;
    }
    return answer;
}

bool passesGroupGate(const KXDeviceInfoMap& info)
{
    const auto supported = info.constFind(QStringLiteral("Supp Gr"));
    const bool groupSupported =
        supported != info.constEnd() && supported.value().toInt(nullptr, 10) == 1;
    return !groupSupported || info.contains(QStringLiteral("Gr En"));
}

void mergeSupplement(const KXDeviceInfoMap& stored, KXDeviceInfoMap& received)
{
    for (auto it = stored.constBegin(); it != stored.constEnd(); ++it)
        received.insert(it.key(), it.value());
}

} // namespace KXDiscovery
