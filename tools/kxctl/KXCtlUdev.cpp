#include "KXCtlUdev.h"

#include <QRegularExpression>
#include <QSocketNotifier>

#include <libudev.h>

namespace {

// The kernel's names of USB devices: "usb1" for a root hub, "1-4" or
// "1-3.1" behind ports; an interface ("1-4:1.0") has a colon. A device's
// sysfs path lies below its parents', so the nearest USB device above a tty
// is the last such part of the tty's path. Read from the path rather than
// from the parents: when a tty is removed, its parents may be gone already.
bool isUsbDeviceName(const QStringRef& name)
{
    static const QRegularExpression pattern(
        QStringLiteral("^(usb[0-9]+|[0-9]+-[0-9]+(\\.[0-9]+)*)$"));
    return pattern.match(name).hasMatch();
}

QString text(const char* value)
{
    return value ? QString::fromUtf8(value) : QString();
}

} // namespace

KXCtlUdev::KXCtlUdev(QObject* parent) : QObject(parent) {}

KXCtlUdev::~KXCtlUdev()
{
    delete m_notifier;
    if (m_monitor)
        udev_monitor_unref(m_monitor);
    if (m_udev)
        udev_unref(m_udev);
}

bool KXCtlUdev::start(QString& error)
{
    m_udev = udev_new();
    // Events as udev has processed them: device nodes exist by then.
    m_monitor = m_udev ? udev_monitor_new_from_netlink(m_udev, "udev") : nullptr;
    if (!m_monitor ||
        udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "usb", "usb_device") < 0 ||
        udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "tty", nullptr) < 0 ||
        udev_monitor_enable_receiving(m_monitor) < 0) {
        error = QStringLiteral("cannot watch udev for devices coming and going");
        return false;
    }
    m_notifier = new QSocketNotifier(udev_monitor_get_fd(m_monitor), QSocketNotifier::Read);
    connect(m_notifier, &QSocketNotifier::activated, this, &KXCtlUdev::readEvents);
    return true;
}

QStringList KXCtlUdev::pathsOf(const QString& subsystem, const QString& syspath,
                               const QString& devnode)
{
    if (subsystem == QLatin1String("usb"))
        return {syspath};
    const QVector<QStringRef> parts = syspath.splitRef(QLatin1Char('/'));
    for (int i = parts.size() - 1; i > 0; --i) {
        if (isUsbDeviceName(parts.at(i))) {
            const QString usb = syspath.left(parts.at(i).position() + parts.at(i).size());
            return devnode.isEmpty() ? QStringList{usb} : QStringList{usb, devnode};
        }
    }
    return {};
}

void KXCtlUdev::readEvents()
{
    // The socket does not block: each readable signal is drained.
    while (udev_device* device = udev_monitor_receive_device(m_monitor)) {
        const QString action = text(udev_device_get_action(device));
        const QStringList paths =
            pathsOf(text(udev_device_get_subsystem(device)), text(udev_device_get_syspath(device)),
                    text(udev_device_get_devnode(device)));
        udev_device_unref(device);
        if (action != QLatin1String("add") && action != QLatin1String("remove"))
            continue;
        for (const QString& path : paths)
            emit deviceChanged(action == QLatin1String("add"), path);
    }
}
