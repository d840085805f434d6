#ifndef KXCONNECTORLOG_H
#define KXCONNECTORLOG_H

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcConnector)

#endif // KXCONNECTORLOG_H
