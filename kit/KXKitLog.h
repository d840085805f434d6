#ifndef KXKITLOG_H
#define KXKITLOG_H

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcKit)

#endif // KXKITLOG_H
