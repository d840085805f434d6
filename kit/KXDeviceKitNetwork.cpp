#include "KXDeviceKitPrivate.h"

// Placeholder bodies until this part of the registry is written.

int KXDeviceKitPrivate::changeDeviceNetwork(const KXDeviceInfoMap& /*info*/)
{
    return -1;
}

int KXDeviceKitPrivate::changeDeviceAlias(const KXDeviceInfoMap& /*info*/)
{
    return -1;
}

int KXDeviceKitPrivate::blinkNotify(const KXDeviceInfoMap& /*info*/)
{
    return -1;
}

int KXDeviceKitPrivate::setDeviceNetworkGroup(QString /*group*/)
{
    return -1;
}
