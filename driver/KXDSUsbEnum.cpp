#include "KXDSUsbEnum.h"

#include "KXDSPortMap.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <libudev.h>

namespace kxds {

namespace {

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
            // The parent belongs to the tty and is released with it.
            udev_device* interface =
                udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_interface");
            const char* driver = interface ? udev_device_get_driver(interface) : nullptr;
            const char* node = udev_device_get_devnode(tty);
            if (driver && node && std::strcmp(driver, "cdc_acm") == 0)
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
