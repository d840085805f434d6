#include "KXDataStreamLog.h"

Q_LOGGING_CATEGORY(lcDataStream, "kx.datastream")
