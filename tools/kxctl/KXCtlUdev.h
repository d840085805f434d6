#ifndef KXCTLUDEV_H
#define KXCTLUDEV_H

#include <QObject>
#include <QStringList>

struct udev;
struct udev_monitor;
class QSocketNotifier;

// Watches udev for USB devices and serial ports that come and go, and names
// each one as the device enumeration does, so that the notice reaches the
// connection opened on it (KXDeviceKit::dbtDeviceArrival).
class KXCtlUdev : public QObject
{
    Q_OBJECT

public:
    explicit KXCtlUdev(QObject* parent = nullptr);
    ~KXCtlUdev() override;
    KXCtlUdev(const KXCtlUdev&) = delete;
    KXCtlUdev& operator=(const KXCtlUdev&) = delete;

    // Starts watching on the thread's event loop; false with a one-line
    // reason when udev cannot be watched.
    bool start(QString& error);

    // The paths one event names: for a USB device its sysfs path; for a tty
    // the sysfs path of the nearest USB device above it (a serial port's
    // path) and then its node (a USB data pipe's path). A tty without a USB
    // device above it names nothing: the enumeration gives it no path.
    static QStringList pathsOf(const QString& subsystem, const QString& syspath,
                               const QString& devnode);

signals:
    // Once per path of a device that was added (`arrived`) or removed.
    void deviceChanged(bool arrived, const QString& path);

private:
    void readEvents();

    udev* m_udev = nullptr;
    udev_monitor* m_monitor = nullptr;
    QSocketNotifier* m_notifier = nullptr;
};

#endif // KXCTLUDEV_H
