#ifndef KXUPGRADELOG_H
#define KXUPGRADELOG_H

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcUpgrade)

#endif // KXUPGRADELOG_H
