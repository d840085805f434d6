#ifndef KXDATASTREAMLOG_H
#define KXDATASTREAMLOG_H

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcDataStream)

#endif // KXDATASTREAMLOG_H
