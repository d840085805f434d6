#include "KXDeviceKitPrivate.h"

#include "KXKitLog.h"

#include "discovery/KXBroadcastDeviceEnum.h"
#include "discovery/KXDiscoveryDatagram.h"

namespace {

using SendFn = bool (KXBroadcastDeviceEnum::*)(const char*, int);

QString field(const KXDeviceInfoMap& info, const char* key)
{
    return info.value(QString::fromLatin1(key));
}

// Hands `payload` to `send` of the discovery. A text that cannot fit one
// datagram is refused here, so that the host learns it from the result and
// the log rather than from a device that never answers.
bool sendPayload(KXBroadcastDeviceEnum* discovery, SendFn send, const QByteArray& payload,
                 const char* operation)
{
    if (payload.size() > KXDiscovery::MaxPayload) {
        qCWarning(lcKit).nospace()
            << operation << "... text of " << payload.size() << " bytes exceeds the "
            << KXDiscovery::MaxPayload << "-byte limit";
        return false;
    }
    return (discovery->*send)(payload.constData(), payload.size());
}

QString answerPort()
{
    return QString::number(KXBroadcastDeviceEnum::answerPort());
}

} // namespace

// Each command fills the device's values in one step, so that a value that
// looks like a placeholder stays as it is, and then the answer port.

int KXDeviceKitPrivate::changeDeviceNetwork(const KXDeviceInfoMap& info)
{
    if (!m_broadcastEnum)
        return -3;
    const QString text =
        QStringLiteral("Serial Number=%1;MAC Address=%2;Device Use DHCP=%3;Device IP Address=%4;"
                       "Device SubNetmask=%5;Device Gateway Address=%6;Answer Port=%7")
            .arg(field(info, "Serial Number"), field(info, "MAC Address"), field(info, "Use DHCP"),
                 field(info, "Ip Address"), field(info, "SubNetmask"),
                 field(info, "Gateway Address"))
            .arg(answerPort());
    const bool sent = sendPayload(m_broadcastEnum, &KXBroadcastDeviceEnum::sendNetworkSettings,
                                  text.toUtf8(), "KXDeviceKitPrivate::changeDeviceNetwork");
    qCDebug(lcKit) << "KXDeviceKitPrivate::changeDeviceNetwork..." << info << sent;
    return sent ? 0 : -1;
}

int KXDeviceKitPrivate::changeDeviceAlias(const KXDeviceInfoMap& info)
{
    if (!m_broadcastEnum)
        return -3;
    // The caller's alias key is "L Alias"; the device takes it as "P Alias".
    const QString text =
        QStringLiteral("Serial Number=%1;MAC Address=%2;P Alias=%3;Answer Port=%4")
            .arg(field(info, "Serial Number"), field(info, "MAC Address"), field(info, "L Alias"))
            .arg(answerPort());
    const bool sent = sendPayload(m_broadcastEnum, &KXBroadcastDeviceEnum::sendAlias,
                                  text.toLocal8Bit(), "KXDeviceKitPrivate::changeDeviceAlias");
    qCDebug(lcKit) << "KXDeviceKitPrivate::changeDeviceAlias..." << info << sent;
    return sent ? 0 : -1;
}

int KXDeviceKitPrivate::blinkNotify(const KXDeviceInfoMap& info)
{
    if (!m_broadcastEnum)
        return -3;
    const QString text =
        QStringLiteral("Serial Number=%1;MAC Address=%2;Blink Status=1;Answer Port=%3")
            .arg(field(info, "Serial Number"), field(info, "MAC Address"))
            .arg(answerPort());
    const bool sent = sendPayload(m_broadcastEnum, &KXBroadcastDeviceEnum::sendBlink, text.toUtf8(),
                                  "KXDeviceKitPrivate::blinkNotify");
    qCDebug(lcKit) << "KXDeviceKitPrivate::blinkNotify..." << info << sent;
    return sent ? 0 : -1;
}

int KXDeviceKitPrivate::setDeviceNetworkGroup(QString group)
{
    if (!m_broadcastEnum)
        return -3;
    // The caller ends its fields with ";", so the port field ends with one
    // too.
    const QString text = group + QStringLiteral("Answer Port=") + answerPort() + QLatin1Char(';');
    const bool sent = sendPayload(m_broadcastEnum, &KXBroadcastDeviceEnum::sendNetworkGroup,
                                  text.toLocal8Bit(), "KXDeviceKitPrivate::setDeviceNetworkGroup");
    return sent ? 0 : -1;
}
