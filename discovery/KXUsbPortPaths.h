#ifndef KXUSBPORTPATHS_H
#define KXUSBPORTPATHS_H

#include <QMap>
#include <QString>

// The USB devices behind the serial ports, so that a device arrival or
// removal can be routed to the connection on that port.
//
// Maps each port number in decimal ("204" for ttyACM3), numbered as the
// driver library numbers them (ttyS<n> n+1, ttyUSB<n> 101+n, ttyACM<n>
// 201+n), to the sysfs path of the nearest USB device (subsystem "usb",
// devtype "usb_device") above its tty, such as
// "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2". That is the syspath a udev
// monitor reports for the USB device's add and remove events, and the text a
// host passes to the kit's device-arrival call. Ports without a USB device
// behind them (on-board UARTs, pseudo-terminals) are not in the map; without
// udev the map is empty. Reads sysfs through libudev only; safe from any
// thread.
QMap<QString, QString> kxUsbPortPaths();

#endif // KXUSBPORTPATHS_H
