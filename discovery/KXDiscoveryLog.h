#ifndef KXDISCOVERYLOG_H
#define KXDISCOVERYLOG_H

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcDiscovery)

#endif // KXDISCOVERYLOG_H
