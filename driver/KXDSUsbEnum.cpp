#include "KXDSUsbEnum.h"

#include "KXDSPortMap.h"
#include "KXDataStreamDriver.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <libudev.h>

namespace kxds {

namespace {

// True when the USB interface behind `tty` is driven by cdc_acm. The parent
// belongs to the tty and is released with it.
bool isCdcAcm(udev_device* tty)
{
    udev_device* interface =
        udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_interface");
    const char* driver = interface ? udev_device_get_driver(interface) : nullptr;
    return driver && std::strcmp(driver, "cdc_acm") == 0;
}

std::vector<std::string> findCdcAcmNodes()
{
    std::vector<std::string> nodes;
    udev* context = udev_new();
    if (!context)
        return nodes;
    udev_enumerate* enumerate = udev_enumerate_new(context);
    // cdc_acm always names its ttys ttyACM<n>; the driver check below is
    // what decides, the name only spares reading every other tty.
    if (enumerate && udev_enumerate_add_match_subsystem(enumerate, "tty") >= 0 &&
        udev_enumerate_add_match_sysname(enumerate, "ttyACM*") >= 0 &&
        udev_enumerate_scan_devices(enumerate) >= 0) {
        udev_list_entry* entry;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate))
        {
            udev_device* tty =
                udev_device_new_from_syspath(context, udev_list_entry_get_name(entry));
            if (!tty)
                continue;
            const char* node = udev_device_get_devnode(tty);
            if (node && isCdcAcm(tty))
                nodes.emplace_back(node);
            udev_device_unref(tty);
        }
    }
    udev_enumerate_unref(enumerate);
    udev_unref(context);
    // ttyACM2 before ttyACM10.
    std::sort(nodes.begin(), nodes.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    return nodes;
}

} // namespace

uint8_t usbDetectionKind(const std::string& ttyName)
{
    uint8_t kind = KXDS_DETECT_UNKNOWN;
    udev* context = ttyName.empty() ? nullptr : udev_new();
    if (!context)
        return kind;
    if (udev_device* tty =
            udev_device_new_from_subsystem_sysname(context, "tty", ttyName.c_str())) {
        // An adapter's tty hangs below its port on the usb-serial bus.
        if (isCdcAcm(tty))
            kind = KXDS_DETECT_CDC_ACM;
        else if (udev_device_get_parent_with_subsystem_devtype(tty, "usb-serial", nullptr))
            kind = KXDS_DETECT_USB_SERIAL;
        udev_device_unref(tty);
    }
    udev_unref(context);
    return kind;
}

std::vector<std::string> listUsbDataPipes()
{
    std::vector<std::string> nodes = findCdcAcmNodes();
    for (std::string& path : pathsFromEnvironment("KXDS_EXTRA_USB")) {
        if (std::find(nodes.begin(), nodes.end(), path) == nodes.end())
            nodes.push_back(std::move(path));
    }
    return nodes;
}

} // namespace kxds
