#include "KXDiscoveryLog.h"

Q_LOGGING_CATEGORY(lcDiscovery, "kx.discovery")
