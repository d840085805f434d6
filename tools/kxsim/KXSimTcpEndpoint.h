#ifndef KXSIMTCPENDPOINT_H
#define KXSIMTCPENDPOINT_H

#include "KXSimEndpoint.h"

#include <QHostAddress>

class KXSimDevice;
class KXSimLink;
class QTcpServer;

// The data port: a TCP listener that gives every connection a session of its
// own on the shared device. Derived endpoints serve other sessions.
class KXSimTcpEndpoint : public KXSimEndpoint
{
    Q_OBJECT

public:
    // Port 0 picks a free port.
    KXSimTcpEndpoint(KXSimDevice& device, const QHostAddress& address, quint16 port,
                     QObject* parent = nullptr);

    bool start(QString& error) override;
    QString description() const override;

protected:
    // The word in the description, such as "data".
    virtual QString role() const;
    // Serves one new connection; the session owns the link.
    virtual void startSession(KXSimLink* link);

    KXSimDevice& m_device;

private:
    void acceptConnections();

    QHostAddress m_address;
    quint16 m_port;
    QTcpServer* m_server;
};

#endif // KXSIMTCPENDPOINT_H
