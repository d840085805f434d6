#include "KXUpgradeLog.h"

Q_LOGGING_CATEGORY(lcUpgrade, "kx.upgrade")
