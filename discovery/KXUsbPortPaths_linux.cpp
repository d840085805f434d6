#include "discovery/KXUsbPortPaths.h"

#include "driver/KXDataStreamDriver.h"

#include <libudev.h>

#include <algorithm>
#include <memory>

namespace {

struct NameRule
{
    QLatin1String prefix;
    int base;  // port number of index 0
    int count; // indexes that fit before the next family
};

// The driver library's numbering of the kernel's tty names.
const NameRule kNameRules[] = {
    {QLatin1String("ttyS"), KXDS_PORT_TTYS_BASE, KXDS_PORT_TTYUSB_BASE - KXDS_PORT_TTYS_BASE},
    {QLatin1String("ttyUSB"), KXDS_PORT_TTYUSB_BASE, KXDS_PORT_TTYACM_BASE - KXDS_PORT_TTYUSB_BASE},
    {QLatin1String("ttyACM"), KXDS_PORT_TTYACM_BASE, KXDS_PORT_EXTRA_BASE - KXDS_PORT_TTYACM_BASE},
};

// The port number of a tty name, or 0 for names the driver does not number.
int portNumberOf(const QString& ttyName)
{
    // Plain decimal as the kernel writes it: no sign, no leading zero. (No
    // static pattern: the enumeration thread may run while the process exits
    // and destroys statics.)
    for (const NameRule& rule : kNameRules) {
        if (!ttyName.startsWith(rule.prefix))
            continue;
        const QStringRef digits = ttyName.midRef(rule.prefix.size());
        const bool plain = !digits.isEmpty() && digits.size() <= 4 &&
                           (digits.size() == 1 || digits.at(0) != QLatin1Char('0')) &&
                           std::all_of(digits.begin(), digits.end(), [](QChar c) {
                               return c >= QLatin1Char('0') && c <= QLatin1Char('9');
                           });
        if (plain && digits.toInt() < rule.count)
            return rule.base + digits.toInt();
    }
    return 0;
}

struct UdevDeleter
{
    void operator()(udev* context) const { udev_unref(context); }
    void operator()(udev_enumerate* enumerate) const { udev_enumerate_unref(enumerate); }
    void operator()(udev_device* device) const { udev_device_unref(device); }
};
template <typename T>
using UdevPtr = std::unique_ptr<T, UdevDeleter>;

} // namespace

QMap<QString, QString> kxUsbPortPaths()
{
    QMap<QString, QString> paths;
    const UdevPtr<udev> context(udev_new());
    if (!context)
        return paths;
    const UdevPtr<udev_enumerate> enumerate(udev_enumerate_new(context.get()));
    if (!enumerate || udev_enumerate_add_match_subsystem(enumerate.get(), "tty") < 0 ||
        udev_enumerate_scan_devices(enumerate.get()) < 0)
        return paths;
    udev_list_entry* entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get()))
    {
        const UdevPtr<udev_device> tty(
            udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
        if (!tty)
            continue;
        const int port = portNumberOf(QString::fromUtf8(udev_device_get_sysname(tty.get())));
        // The nearest one: a hub above it is a usb_device too. The parent
        // belongs to the tty and goes with it.
        udev_device* usb =
            udev_device_get_parent_with_subsystem_devtype(tty.get(), "usb", "usb_device");
        if (port > 0 && usb)
            paths.insert(QString::number(port), QString::fromUtf8(udev_device_get_syspath(usb)));
    }
    return paths;
}
