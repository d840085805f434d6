#include "KXConnectorLog.h"

Q_LOGGING_CATEGORY(lcConnector, "kx.connector")
