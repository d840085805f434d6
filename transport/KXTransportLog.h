#ifndef KXTRANSPORTLOG_H
#define KXTRANSPORTLOG_H

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcTransport)

#endif // KXTRANSPORTLOG_H
