#ifndef KXDSUSBENUM_H
#define KXDSUSBENUM_H

#include <string>
#include <vector>

namespace kxds {

// Device nodes of the CDC-ACM scanners udev knows (ttys whose USB interface
// is driven by cdc_acm), ordered by number, followed by the paths of
// KXDS_EXTRA_USB. Without udev (a container, say) only the latter.
std::vector<std::string> listUsbDataPipes();

} // namespace kxds

#endif // KXDSUSBENUM_H
