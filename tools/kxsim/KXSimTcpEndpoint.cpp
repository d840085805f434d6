#include "KXSimTcpEndpoint.h"

#include "KXSimSession.h"
#include "KXSimTcpLink.h"

#include <QTcpServer>
#include <QTcpSocket>

KXSimTcpEndpoint::KXSimTcpEndpoint(KXSimDevice& device, const QHostAddress& address, quint16 port,
                                   QObject* parent)
    : KXSimEndpoint(parent), m_device(device), m_address(address), m_port(port),
      m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &KXSimTcpEndpoint::acceptConnections);
}

bool KXSimTcpEndpoint::start(QString& error)
{
    if (m_server->listen(m_address, m_port))
        return true;
    error = QStringLiteral("cannot listen on %1 port %2: %3")
                .arg(m_address.toString())
                .arg(m_port)
                .arg(m_server->errorString());
    return false;
}

QString KXSimTcpEndpoint::description() const
{
    const QHostAddress address = m_server->serverAddress();
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(address.toString())
                             : address.toString();
    return QStringLiteral("%1 tcp %2:%3").arg(role(), host).arg(m_server->serverPort());
}

QString KXSimTcpEndpoint::role() const
{
    return QStringLiteral("data");
}

void KXSimTcpEndpoint::startSession(KXSimLink* link)
{
    auto* session = new KXSimSession(m_device, link, KXSimSession::Greet::Now, this);
    connect(session, &KXSimSession::finished, session, &QObject::deleteLater);
}

void KXSimTcpEndpoint::acceptConnections()
{
    while (QTcpSocket* socket = m_server->nextPendingConnection())
        startSession(new KXSimTcpLink(socket));
}
