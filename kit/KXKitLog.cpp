#include "KXKitLog.h"

Q_LOGGING_CATEGORY(lcKit, "kx.kit")
