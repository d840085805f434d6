#ifndef KXDEVICEINFO_H
#define KXDEVICEINFO_H

#include "KXDeviceKit.h"

#include <QPointer>
#include <QString>

class KXDeviceConnector;

// Information keys that the kit itself reads or writes. Devices may send
// further keys; they are carried along unchanged.
namespace KXInfoKey {
inline const QString ProductName = QStringLiteral("Product Name");
inline const QString SerialNumber = QStringLiteral("Serial Number");
inline const QString FirmwareVersion = QStringLiteral("Firmware Version");
inline const QString MacAddress = QStringLiteral("MAC Address");
inline const QString IpAddress = QStringLiteral("Ip Address");
inline const QString TcpPort = QStringLiteral("Tcp Port Number");
inline const QString LogPort = QStringLiteral("Log Port");
inline const QString ProductCode = QStringLiteral("Product Code");
inline const QString PrnQry = QStringLiteral("PRNQRY");
inline const QString BaseState = QStringLiteral("BaseState");
inline const QString AllInfos = QStringLiteral("AllInfos");
inline const QString NviSupport = QStringLiteral("NVI SUPPORT");
inline const QString Rfid = QStringLiteral("rfid");
inline const QString DeviceType = QStringLiteral("Device Type");
inline const QString Com = QStringLiteral("COM");
inline const QString ComType = QStringLiteral("COM Type");
inline const QString SubDeviceId = QStringLiteral("sub_DEVICEID");
inline const QString UsbDevice = QStringLiteral("USB Device");
inline const QString SerialPortDevice = QStringLiteral("SerialPort Device");
} // namespace KXInfoKey

// Fills `info` by asking the device behind an open connector: the scanner,
// base-station, network, NVI and RFID requests, one after the other, each
// waiting up to 60 s for its reply. Keys already in `info` stay unless a
// request overwrites them. Returns false when the connector is gone or when
// neither the scanner nor the base station answered; true otherwise. Blocks
// the calling thread (never the connector's own).
bool KXQueryDeviceInfo(QPointer<KXDeviceConnector> connector, KXDeviceInfoMap& info);

// "Key: value" lines, as a device writes its system text: the key keeps its
// spaces (it is the device's own text), the value is trimmed, and lines
// without ':' carry nothing.
KXDeviceInfoMap KXInformationLines(const QString& text);

// The identifier under which the kit knows a device:
// - USB devices: serial number, ":USB" and the next value of a process-wide
//   counter (so every enumeration gives a new identifier);
// - serial devices: serial number, ":COM" and the "COM" value;
// - network devices: the MAC address, or the serial number without one.
// Safe from any thread.
QString makeDeviceId(const KXDeviceInfoMap& info);

#endif // KXDEVICEINFO_H
