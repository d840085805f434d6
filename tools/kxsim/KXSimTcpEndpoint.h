#ifndef KXSIMTCPENDPOINT_H
#define KXSIMTCPENDPOINT_H

#include "KXSimEndpoint.h"

#include <QHostAddress>
#include <QTimer>

class KXSimDevice;
class KXSimLink;
class QSocketNotifier;
class QTcpServer;

// The data port: a TCP listener that gives every connection a session of its
// own on the shared device. Derived endpoints serve other sessions. At most
// MaxLinks connections are served at once; later ones are accepted and
// closed at once. Out of file descriptors, accepting pauses until a link
// closes or AcceptPauseMs has passed, and new connections wait in the
// listen backlog meanwhile.
class KXSimTcpEndpoint : public KXSimEndpoint
{
    Q_OBJECT

public:
    static constexpr int MaxLinks = 64;
    static constexpr int AcceptPauseMs = 200;

    // Port 0 picks a free port.
    KXSimTcpEndpoint(KXSimDevice& device, const QHostAddress& address, quint16 port,
                     QObject* parent = nullptr);

    bool start(QString& error) override;
    QString description() const override;

    QHostAddress address() const;
    quint16 port() const;
    int linkCount() const { return m_links; }

    // Moves the listener to `address`, same port, in two steps so that
    // several endpoints move together or not at all: prepareMove binds the
    // new listener (false, with a one-line reason, when it cannot), and
    // finishMove switches to it or drops it. Links already open stay.
    bool prepareMove(const QHostAddress& address, QString& error);
    void finishMove(bool commit);

protected:
    // The word in the description, such as "data".
    virtual QString role() const;
    // Serves one new connection; the session owns the link.
    virtual void startSession(KXSimLink* link);

    KXSimDevice& m_device;

private:
    void startAccepting();
    void acceptConnections();
    void onLinkClosed();

    QHostAddress m_address;
    quint16 m_port;
    QTcpServer* m_server;
    QTcpServer* m_moving = nullptr; // bound by prepareMove
    QSocketNotifier* m_acceptNotifier = nullptr;
    QTimer m_resumeTimer;
    int m_links = 0;
};

#endif // KXSIMTCPENDPOINT_H
