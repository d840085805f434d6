#ifndef KXDEVICESETTING_H
#define KXDEVICESETTING_H

#include "KXDeviceKit.h"

#include <QByteArray>
#include <QMap>
#include <QMetaType>
#include <QString>
#include <QtEndian>

// The device name of a driver record: UTF-16 text from its first byte up to
// a terminating zero. For a USB device it is the device's node, the path by
// which the operating system reports it coming and going.
inline QString kxDriverRecordName(const quint8* record, int size = 512)
{
    QString name;
    for (int at = 0; at + 1 < size; at += 2) {
        const quint16 unit = qFromLittleEndian<quint16>(record + at);
        if (unit == 0)
            break;
        name.append(QChar(unit));
    }
    return name;
}

// One known device: its information and what is needed to open it again.
// The records are owned copies, so a setting outlives the pass that made it.
struct DSDeviceSetting
{
    QByteArray driverRecord;   // the driver's 512-byte USB/TCP record, or empty
    QByteArray serialSettings; // the driver's 12-byte COM record, or empty
    KXDeviceInfoMap info;
    QString path; // operating-system path of the USB device, or empty

    const quint8* driverRecordData() const
    {
        return driverRecord.isEmpty() ? nullptr
                                      : reinterpret_cast<const quint8*>(driverRecord.constData());
    }
    const quint8* serialSettingsData() const
    {
        return serialSettings.isEmpty()
                   ? nullptr
                   : reinterpret_cast<const quint8*>(serialSettings.constData());
    }
};

typedef QMap<QString, DSDeviceSetting*> DSDeviceSettingMap;

// The result of one USB/serial enumeration pass. Whoever receives it owns it
// and the settings in it; settings still in the map die with it (take them
// out to keep them).
struct DSEnumDeviceSetting
{
    DSDeviceSettingMap devices;

    DSEnumDeviceSetting() = default;
    DSEnumDeviceSetting(const DSEnumDeviceSetting&) = delete;
    DSEnumDeviceSetting& operator=(const DSEnumDeviceSetting&) = delete;
    ~DSEnumDeviceSetting() { qDeleteAll(devices); }

    // Enters `setting` under `id`; one already there is replaced and freed.
    void insert(const QString& id, DSDeviceSetting* setting)
    {
        DSDeviceSetting* old = devices.value(id, nullptr);
        if (old != setting)
            delete old;
        devices.insert(id, setting);
    }
};

Q_DECLARE_METATYPE(DSDeviceSetting*)
Q_DECLARE_METATYPE(DSEnumDeviceSetting*)

#endif // KXDEVICESETTING_H
