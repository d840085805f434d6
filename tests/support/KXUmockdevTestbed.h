#ifndef KXUMOCKDEVTESTBED_H
#define KXUMOCKDEVTESTBED_H

// A umockdev testbed: while it lives, /sys and /dev (and so libudev and the
// driver library) show only the devices the test adds. Its tty nodes are
// pseudo-terminals. Works only in a process started under umockdev-wrapper
// (tests/support/kx_umockdev.sh), whose preload library redirects the
// paths; skipReason() says why a testbed cannot be had.

#include <QByteArray>
#include <QDir>
#include <QString>

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
        m_testbed = umockdev_testbed_new();
        gchar* root = umockdev_testbed_get_root_dir(m_testbed);
        // Without a dev folder of its own, /dev falls through to the host's.
        QDir(QString::fromLocal8Bit(root)).mkpath(QStringLiteral("dev"));
        g_free(root);
#endif
    }
    ~UmockdevTestbed()
    {
#ifdef KX_HAVE_UMOCKDEV
        g_object_unref(m_testbed);
#endif
    }
    UmockdevTestbed(const UmockdevTestbed&) = delete;
    UmockdevTestbed& operator=(const UmockdevTestbed&) = delete;

    // Empty when the testbed is in place; otherwise why it is not.
    QString skipReason() const
    {
#ifdef KX_HAVE_UMOCKDEV
        // The host's /sys always has devices; the testbed's starts empty.
        if (!QDir(QStringLiteral("/sys/devices")).isEmpty())
            return QStringLiteral("umockdev's preload is not active (run the test under "
                                  "umockdev-wrapper)");
        return QString();
#else
        return QStringLiteral("built without libumockdev (umockdev-1.0 not found)");
#endif
    }

    // Devices in umockdev's text format ("P: /devices/...", "E: KEY=VALUE",
    // "A: attribute=value", "L: link=target", a blank line between devices).
    bool add(const QByteArray& devices)
    {
#ifdef KX_HAVE_UMOCKDEV
        GError* error = nullptr;
        const bool added = umockdev_testbed_add_from_string(m_testbed, devices.constData(), &error);
        if (error)
            g_error_free(error);
        return added;
#else
        Q_UNUSED(devices);
        return false;
#endif
    }

private:
#ifdef KX_HAVE_UMOCKDEV
    UMockdevTestbed* m_testbed = nullptr;
#endif
};

} // namespace kxtest

#endif // KXUMOCKDEVTESTBED_H
