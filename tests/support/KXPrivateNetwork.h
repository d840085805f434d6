#ifndef KXPRIVATENETWORK_H
#define KXPRIVATENETWORK_H

// Guard for programs that broadcast: they run only where every
// broadcast-capable IPv4 address belongs to the private test network that
// tests/support/kx_netns.sh makes, so a program started by hand outside it
// refuses instead of broadcasting on a real network.

#include <QNetworkInterface>
#include <QString>

inline bool kxInPrivateTestNetwork(QString* why)
{
    const QHostAddress testNetwork(QStringLiteral("198.51.100.0"));
    for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces()) {
        for (const QNetworkAddressEntry& entry : interface.addressEntries()) {
            const QHostAddress ip = entry.ip();
            if (ip.protocol() != QAbstractSocket::IPv4Protocol || ip.isLoopback() ||
                entry.broadcast().isNull())
                continue;
            if (!ip.isInSubnet(testNetwork, 24)) {
                if (why)
                    *why = QStringLiteral("%1 on %2 is outside the private test network; run "
                                          "through tests/support/kx_netns.sh")
                               .arg(ip.toString(), interface.name());
                return false;
            }
        }
    }
    return true;
}

#endif // KXPRIVATENETWORK_H
