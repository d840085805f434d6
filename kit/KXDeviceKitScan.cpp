#include "KXDeviceKitPrivate.h"

// Placeholder bodies until this part of the registry is written.

void KXDeviceKitPrivate::onSerialPortDeviceEnumEnd(DSEnumDeviceSetting* /*pDeviceSetting*/) {}

int KXDeviceKitPrivate::enumDevicesUsbAndNet(QStringList& /*names*/)
{
    return -1;
}

bool KXDeviceKitPrivate::startDeviceScan(EScanType /*type*/, int /*interval*/)
{
    return false;
}

bool KXDeviceKitPrivate::stopDeviceScan(EScanType /*type*/)
{
    return false;
}

bool KXDeviceKitPrivate::refreshDeviceScan(EScanType /*type*/)
{
    return false;
}

void KXDeviceKitPrivate::pauseBroadcastDeviceEnum(bool /*pause*/) {}

void KXDeviceKitPrivate::pauseBroadcastDeviceCheckOffLine(bool /*pause*/) {}

void KXDeviceKitPrivate::setRefreshTime(int /*seconds*/) {}

void KXDeviceKitPrivate::setDelayEnumTime(int /*ms*/) {}

void KXDeviceKitPrivate::setCheckDeviceAliveTime(int /*seconds*/) {}
