#ifndef KXDSPORTMAP_H
#define KXDSPORTMAP_H

#include <cstdint>
#include <string>
#include <vector>

namespace kxds {

// The colon-separated paths of an environment variable, read at each call;
// empty entries are skipped and do not take a number.
std::vector<std::string> pathsFromEnvironment(const char* name);

// Device node of a COM port number; empty when the number maps to nothing.
// ttyS<n> maps only when its hardware is present (see serialHardwarePresent).
std::string portPath(uint16_t port);

// The kernel's name of a port's tty ("ttyACM3" for 204); empty for the
// paths of KXDS_EXTRA_PORTS and for numbers that map to nothing.
std::string portTtyName(uint16_t port);

// True when the tty named `ttyName` is an active kernel console (as the
// system's own serial console is): writing there would reach the console.
bool isKernelConsole(const std::string& ttyName);

// The port numbers that exist now, ascending.
std::vector<uint16_t> listSerialPorts();

// The 8250 driver registers ttyS0 to ttyS<nr_uarts - 1> whether or not a UART
// answers; the serial core reports the detected UART kind in
// /sys/class/tty/ttyS<n>/type, and 0 there (or no such file) means none.
bool serialHardwarePresent(unsigned index);

} // namespace kxds

#endif // KXDSPORTMAP_H
