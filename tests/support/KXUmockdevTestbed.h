#ifndef KXUMOCKDEVTESTBED_H
#define KXUMOCKDEVTESTBED_H

// A umockdev testbed: while it lives, /sys and /dev (and so libudev and the
// driver library) show only the devices the test adds. Its tty nodes are
// pseudo-terminals. Works only in a process started under umockdev-wrapper
// (tests/support/kx_umockdev.sh), whose preload library redirects the
// paths; skipReason() says why a testbed cannot be had.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#ifdef KX_HAVE_UMOCKDEV
// GLib names a struct member "signals", which Qt defines as a keyword.
#pragma push_macro("signals")
#undef signals
#include <umockdev.h>
#pragma pop_macro("signals")
#endif

namespace kxtest {

class UmockdevTestbed
{
public:
    UmockdevTestbed()
    {
#ifdef KX_HAVE_UMOCKDEV
        // Without a dev folder of its own, /dev falls through to the host's.
        g_autofree gchar* root = umockdev_testbed_get_root_dir(m_testbed);
        QDir(QString::fromLocal8Bit(root)).mkpath(QStringLiteral("dev"));
#endif
    }
#ifdef KX_HAVE_UMOCKDEV
    ~UmockdevTestbed()
    {
        g_object_unref(m_testbed);
    }
#endif
    UmockdevTestbed(const UmockdevTestbed&) = delete;
    UmockdevTestbed& operator=(const UmockdevTestbed&) = delete;

    // Empty when the testbed is in place; otherwise why it is not.
    QString skipReason() const
    {
#ifdef KX_HAVE_UMOCKDEV
        // The host's /sys always has devices; the testbed's starts empty.
        return QDir(QStringLiteral("/sys/devices")).isEmpty()
                   ? QString()
                   : QStringLiteral("umockdev's preload is not active (run the test under "
                                    "umockdev-wrapper)");
#else
        return QStringLiteral("built without libumockdev (umockdev-1.0 not found)");
#endif
    }

    // Devices in umockdev's text format ("P: /devices/...", "E: KEY=VALUE",
    // "A: attribute=value", "L: link=target", a blank line between devices).
    bool add([[maybe_unused]] const QByteArray& devices)
    {
#ifdef KX_HAVE_UMOCKDEV
        g_autoptr(GError) error = nullptr;
        return umockdev_testbed_add_from_string(m_testbed, devices.constData(), &error);
#else
        return false;
#endif
    }

    // Sends a uevent ("add", "remove", ...) for a device added before, by
    // its /sys path, to every udev monitor of the processes in the testbed.
    void uevent([[maybe_unused]] const QByteArray& sysPath, [[maybe_unused]] const char* action)
    {
#ifdef KX_HAVE_UMOCKDEV
        umockdev_testbed_uevent(m_testbed, sysPath.constData(), action);
#endif
    }

    // The testbed's end of a terminal node (such as /dev/ttyACM0): what is
    // written there, the node's user reads. -1 when there is none.
    int terminal([[maybe_unused]] const char* node)
    {
#ifdef KX_HAVE_UMOCKDEV
        return umockdev_testbed_get_dev_fd(m_testbed, node);
#else
        return -1;
#endif
    }

private:
#ifdef KX_HAVE_UMOCKDEV
    UMockdevTestbed* m_testbed = umockdev_testbed_new();
#endif
};

// Devices in umockdev's text form, for UmockdevTestbed::add(); '@' in a path
// stands for the first USB bus, kUsbBus.
inline const QByteArray kUsbBus = "/devices/pci0000:00/0000:00:14.0/usb1";

inline QByteArray sysDevice(const char* path, const QByteArray& lines)
{
    return "P: " + QByteArray(path).replace('@', kUsbBus) + '\n' + lines + "\n\n";
}
inline QByteArray usbDevice(const char* path)
{
    return sysDevice(path, "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device");
}
// An interface bound to `driver`, with the link back to /sys/bus it has.
inline QByteArray usbInterface(const char* path, const QByteArray& driver)
{
    const QByteArray up =
        QByteArray("../").repeated(QByteArray(path).replace('@', kUsbBus).count('/'));
    return sysDevice(path, "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nE: DRIVER=" + driver +
                               "\nL: driver=" + up + "bus/usb/drivers/" + driver);
}
// A tty with device number `number`, its node named as the path ends, and
// DEVNAME as udev's events carry it.
inline QByteArray ttyDevice(const char* path, const char* number, const QByteArray& more = {})
{
    const QByteArray name = QByteArray(path).mid(QByteArray(path).lastIndexOf('/') + 1);
    return sysDevice(path, "N: " + name + "\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/" + name +
                               "\nA: dev=" + number + more);
}

// Leaves the line of the terminal at `path` as a previous user would have.
inline bool setLine(const QString& path, speed_t speed, bool twoStopBits)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios tio{};
    const bool set = fd >= 0 && ::tcgetattr(fd, &tio) == 0 && ::cfsetspeed(&tio, speed) == 0 &&
                     ((tio.c_cflag = twoStopBits ? tio.c_cflag | CSTOPB : tio.c_cflag & ~CSTOPB),
                      ::tcsetattr(fd, TCSANOW, &tio) == 0);
    if (fd >= 0)
        ::close(fd);
    return set;
}

} // namespace kxtest

#endif // KXUMOCKDEVTESTBED_H
