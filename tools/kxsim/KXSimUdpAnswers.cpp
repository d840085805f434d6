#include "KXSimUdpAnswers.h"

#include "KXSimDevice.h"
#include "discovery/KXDeviceInfo.h"
#include "discovery/KXDiscoveryDatagram.h"

#include <QStringList>
#include <QtEndian>

namespace {

// A unit's plain information key and the names it goes by in a base
// station's answer; null where the answer has no such field.
struct UnitKey
{
    const char* plain;
    const char* base;
    const char* gun;
};

const UnitKey kUnitKeys[] = {
    {"Product Name", "Base Product Name", "Gun Product Name"},
    {"Serial Number", "Base Serial Number", "Gun Serial Number"},
    {"Bluetooth Module Firmware Version", "Base Bt Version", "Gun Bt Version"},
    {"Firmware Version", "Base Firmware Version", "Gun Firmware Version"},
    {"Hardware Version", "Base Hardware Version", "Gun Hardware Version"},
    {"Decoder Version", "Base Decoder Version", "Gun Decoder Version"},
    {"OEM Serial Number", "Base OEM Serial Number", "Gun OEM Serial Number"},
    {"Kernel Version", "Base kernel Version", "Gun kernel Version"},
    {"AIBD Version", nullptr, "Gun AIBD Version"},
    {"AIBD Model Version", nullptr, "Gun AIBD Model Version"},
    {"Manufacturing Date", nullptr, "Gun Manufacturing Date"},
    {"LightBoard Version", nullptr, "Gun LightBoard Version"},
    {"MAC Address", "Base MAC Address", nullptr},
    {"Use DHCP", "Base Use DHCP", nullptr},
    {"Ip Address", "Base Ip Address", nullptr},
    {"SubNetmask", "Base SubNetmask", nullptr},
    {"Gateway Address", "Base Gateway Address", nullptr},
    {"Tcp Port Number", "Base Tcp Port Number", "Gun Tcp Port Number"},
    {"Log Port", "Base Log Port", "Gun Log Port"},
    {"Is Connected To Configtool", "Base Is Connected To Configtool", nullptr},
};

// Text fields in the order they are set; a key set again keeps its place.
class Fields
{
public:
    void set(const QString& key, const QString& value)
    {
        const int at = m_keys.indexOf(key);
        if (at >= 0) {
            m_values[at] = value;
        } else {
            m_keys.append(key);
            m_values.append(value);
        }
    }
    void remove(const QString& key)
    {
        const int at = m_keys.indexOf(key);
        if (at >= 0) {
            m_keys.removeAt(at);
            m_values.removeAt(at);
        }
    }
    // "key=value;" each; ';' and '=' inside a key or value would make other
    // fields of it, so they become spaces.
    QByteArray text() const
    {
        QString text;
        for (int i = 0; i < m_keys.size(); ++i)
            text +=
                clean(m_keys.at(i)) + QLatin1Char('=') + clean(m_values.at(i)) + QLatin1Char(';');
        return text.toLocal8Bit();
    }

private:
    static QString clean(QString text)
    {
        return text.replace(QLatin1Char(';'), QLatin1Char(' '))
            .replace(QLatin1Char('='), QLatin1Char(' '));
    }

    QStringList m_keys;
    QStringList m_values;
};

// What `count` added to a MAC address gives; "-count" appended when the
// text is no MAC address.
QString macPlus(const QString& mac, int count)
{
    const QStringList bytes = mac.split(QLatin1Char(':'));
    quint64 value = 0;
    bool ok = bytes.size() == 6;
    for (const QString& byte : bytes) {
        bool byteOk = false;
        value = value << 8 | byte.toUInt(&byteOk, 16);
        ok = ok && byteOk && byte.size() == 2;
    }
    if (!ok)
        return mac + QStringLiteral("-%1").arg(count);
    value += quint64(count);
    QStringList out;
    for (int shift = 40; shift >= 0; shift -= 8)
        out.append(QStringLiteral("%1").arg((value >> shift) & 0xFF, 2, 16, QLatin1Char('0')));
    return out.join(QLatin1Char(':')).toUpper();
}

// The plain information of one unit: its system text, this face's
// identity, the network settings and kxsim's live state.
KXDeviceInfoMap unitInformation(const KXSimDevice& device, const KXSimUdpState& state,
                                const QString& systemText, const QString& serial,
                                const QString& mac)
{
    KXDeviceInfoMap info = KXInformationLines(device.settingValue(systemText));
    info.insert(QStringLiteral("Serial Number"), serial);
    info.insert(QStringLiteral("MAC Address"), mac);
    info.insert(QStringLiteral("Use DHCP"), device.settingValue(QStringLiteral("NETDEN")));
    info.insert(QStringLiteral("Ip Address"), state.ipAddress);
    info.insert(QStringLiteral("SubNetmask"), device.settingValue(QStringLiteral("NETSMK")));
    info.insert(QStringLiteral("Gateway Address"), device.settingValue(QStringLiteral("NETGIP")));
    info.insert(QStringLiteral("Tcp Port Number"), QString::number(state.dataPort));
    info.insert(QStringLiteral("Log Port"), QString::number(state.logPort));
    info.insert(QStringLiteral("Is Connected To Configtool"),
                state.connected ? QStringLiteral("1") : QStringLiteral("0"));
    return info;
}

} // namespace

namespace KXSimUdp {

QVector<KXSimUdpFace> faces(const KXSimDevice& device, int count)
{
    const KXDeviceInfoMap scanner =
        KXInformationLines(device.settingValue(QStringLiteral("QRYSYS")));
    const QString scannerMac = device.settingValue(QStringLiteral("NETMAC"));
    KXSimUdpFace self{scanner.value(QStringLiteral("Serial Number")),
                      scannerMac.isEmpty() ? scanner.value(QStringLiteral("MAC Address"))
                                           : scannerMac,
                      QString()};
    if (device.units().base) {
        const KXDeviceInfoMap base =
            KXInformationLines(device.settingValue(QStringLiteral("BASQSY")));
        self.gunSerial = device.units().scanner ? self.serial : QString();
        self.serial = base.value(QStringLiteral("Serial Number"));
        self.mac = base.value(QStringLiteral("MAC Address"));
    }

    QVector<KXSimUdpFace> faces{self};
    for (int i = 1; i < count; ++i) {
        const QString suffix = QStringLiteral("-%1").arg(i, 4, 10, QLatin1Char('0'));
        faces.append({self.serial + suffix, macPlus(self.mac, i),
                      self.gunSerial.isEmpty() ? QString() : self.gunSerial + suffix});
    }
    return faces;
}

QByteArray discoveryAnswer(const KXSimDevice& device, const KXSimUdpState& state,
                           const KXSimUdpFace& face, int malformation)
{
    Fields fields;
    const bool base = device.units().base;
    if (base) {
        const KXDeviceInfoMap baseInfo =
            unitInformation(device, state, QStringLiteral("BASQSY"), face.serial, face.mac);
        const KXDeviceInfoMap gunInfo =
            device.units().scanner ? unitInformation(device, state, QStringLiteral("QRYSYS"),
                                                     face.gunSerial, QString())
                                   : KXDeviceInfoMap();
        for (const UnitKey& key : kUnitKeys) {
            const QString plain = QLatin1String(key.plain);
            if (key.base && baseInfo.contains(plain))
                fields.set(QLatin1String(key.base), baseInfo.value(plain));
        }
        for (const UnitKey& key : kUnitKeys) {
            const QString plain = QLatin1String(key.plain);
            if (key.gun && gunInfo.contains(plain))
                fields.set(QLatin1String(key.gun), gunInfo.value(plain));
        }
        if (device.units().baseSom)
            fields.set(QStringLiteral("Base Som"), QStringLiteral("1"));
    } else {
        const KXDeviceInfoMap info =
            unitInformation(device, state, QStringLiteral("QRYSYS"), face.serial, face.mac);
        for (auto it = info.cbegin(); it != info.cend(); ++it)
            fields.set(it.key(), it.value());
        fields.set(QStringLiteral("Product Code"), device.settingValue(QStringLiteral("PRNQRY")));
    }
    fields.set(QStringLiteral("L Alias"), device.settingValue(QStringLiteral("NETALS")));
    fields.set(QStringLiteral("Supp Gr"), QStringLiteral("1"));
    fields.set(QStringLiteral("Gr En"), QString::number(int(state.groupEnabled)));
    fields.set(QStringLiteral("Gr Id"), QString::number(state.groupId));
    if (malformation == GroupWithoutEnable)
        fields.remove(QStringLiteral("Gr En"));

    const quint8 kind = base ? KXDiscovery::KindBaseInfo : KXDiscovery::KindDeviceInfo;
    QByteArray payload = fields.text();
    if (malformation == ShortPayload)
        payload.truncate(MinPayload - 1);
    QByteArray datagram = KXDiscovery::makeDatagram(kind, payload);
    if (malformation == WrongMarker && !datagram.isEmpty())
        datagram[5] = 'X';
    if (malformation == LengthPastEnd && !datagram.isEmpty())
        qToBigEndian<quint32>(quint32(payload.size() + 1), datagram.data() + 8);
    return datagram;
}

QByteArray resultAnswer(quint8 kind, const QString& resultKey, int result, const QString& serial,
                        const QString& mac)
{
    Fields fields;
    fields.set(resultKey, QString::number(result));
    fields.set(QStringLiteral("Serial Number"), serial);
    fields.set(QStringLiteral("MAC Address"), mac);
    QByteArray payload = fields.text();
    // Empty fields carry nothing; they only make up the length.
    if (payload.size() < MinPayload)
        payload.append(QByteArray(MinPayload - payload.size(), ';'));
    return KXDiscovery::makeDatagram(kind, payload);
}

} // namespace KXSimUdp
