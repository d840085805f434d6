#ifndef KXDSUSBENUM_H
#define KXDSUSBENUM_H

#include <cstdint>
#include <string>
#include <vector>

namespace kxds {

// Device nodes of the CDC-ACM scanners udev knows (ttys whose USB interface
// is driven by cdc_acm), ordered by number, followed by the paths of
// KXDS_EXTRA_USB. Without udev (a container, say) only the latter.
std::vector<std::string> listUsbDataPipes();

// The detection kind of the tty named `ttyName` (KXDS_DETECT_*), from the
// device udev finds behind it: a CDC-ACM interface, a USB-serial adapter, or
// neither (also without udev).
uint8_t usbDetectionKind(const std::string& ttyName);

} // namespace kxds

#endif // KXDSUSBENUM_H
