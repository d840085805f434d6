#include "KXTransportLog.h"

Q_LOGGING_CATEGORY(lcTransport, "kx.transport")
