#ifndef KXDSTCP_H
#define KXDSTCP_H

#include "KXDSDevice.h"

#include <cstdint>
#include <string>

namespace kxds {

// Connects to an IPv4 address in dotted form, waiting at most
// KXDS_TCP_CONNECT_TIMEOUT_MS. Errors: BAD_ARGUMENT (address, port 0),
// OPEN_FAILED (refused, unreachable, timed out).
OpenResult openTcpConnection(const std::string& address, uint16_t port);

} // namespace kxds

#endif // KXDSTCP_H
