#ifndef KXSIMLOG_H
#define KXSIMLOG_H

#include <QLoggingCategory>

// kxsim's own diagnostics; debug lines are off unless QT_LOGGING_RULES turns
// them on ("kx.sim.debug=true").
Q_DECLARE_LOGGING_CATEGORY(lcSim)

#endif // KXSIMLOG_H
