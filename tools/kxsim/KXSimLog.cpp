#include "KXSimLog.h"

Q_LOGGING_CATEGORY(lcSim, "kx.sim", QtInfoMsg)
