#ifndef KXDEVICEKIT_H
#define KXDEVICEKIT_H

#include "KXDeviceKitGlobal.h"

#include <QMap>
#include <QString>

// Which of a device's two connections a call addresses. Any other value acts
// as DevicePortData when a connection is looked up.
enum EDevicePortType
{
    DevicePortData = 0, // commands, replies, barcodes, keepalive, firmware
    DevicePortLog = 1,  // the device log stream
};

// How a connect call reaches a device that an enumeration found.
enum EConnectType
{
    ConnectDefault = 0, // driver library for USB/serial, TCP for network devices
    ConnectDriver = 1,  // always through the driver library
    ConnectNetwork = 2, // TCP only, with the port from the device information
};

// Bit set for the scan operations; only ScanBroadcast is tested.
enum EScanType
{
    ScanBroadcast = 2, // UDP broadcast discovery of network devices
};

// Device information keyed by the kit's information keys.
typedef QMap<QString, QString> KXDeviceInfoMap;

#endif // KXDEVICEKIT_H
