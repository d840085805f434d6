#include "KXSimTcpEndpoint.h"

#include "KXSimLog.h"
#include "KXSimSession.h"
#include "KXSimTcpLink.h"

#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

KXSimTcpEndpoint::KXSimTcpEndpoint(KXSimDevice& device, const QHostAddress& address, quint16 port,
                                   QObject* parent)
    : KXSimEndpoint(parent), m_device(device), m_address(address), m_port(port),
      m_server(new QTcpServer(this))
{
    m_resumeTimer.setSingleShot(true);
    connect(&m_resumeTimer, &QTimer::timeout, this, [this] { m_acceptNotifier->setEnabled(true); });
}

bool KXSimTcpEndpoint::start(QString& error)
{
    if (!m_server->listen(m_address, m_port)) {
        error = QStringLiteral("cannot listen on %1 port %2: %3")
                    .arg(m_address.toString())
                    .arg(m_port)
                    .arg(m_server->errorString());
        return false;
    }
    startAccepting();
    return true;
}

void KXSimTcpEndpoint::startAccepting()
{
    // Qt's own accept loop retries at once when the process is out of file
    // descriptors, and so spins: the server only listens, we accept.
    m_server->pauseAccepting();
    m_acceptNotifier =
        new QSocketNotifier(m_server->socketDescriptor(), QSocketNotifier::Read, this);
    connect(m_acceptNotifier, &QSocketNotifier::activated, this,
            &KXSimTcpEndpoint::acceptConnections);
}

QHostAddress KXSimTcpEndpoint::address() const
{
    return m_server->serverAddress();
}

quint16 KXSimTcpEndpoint::port() const
{
    return m_server->serverPort();
}

bool KXSimTcpEndpoint::prepareMove(const QHostAddress& address, QString& error)
{
    delete m_moving;
    m_moving = new QTcpServer(this);
    if (m_moving->listen(address, m_server->serverPort()))
        return true;
    error = QStringLiteral("cannot listen on %1 port %2: %3")
                .arg(address.toString())
                .arg(m_server->serverPort())
                .arg(m_moving->errorString());
    delete m_moving;
    m_moving = nullptr;
    return false;
}

void KXSimTcpEndpoint::finishMove(bool commit)
{
    if (!m_moving)
        return;
    if (!commit) {
        delete m_moving;
        m_moving = nullptr;
        return;
    }
    m_resumeTimer.stop();
    delete m_acceptNotifier;
    delete m_server;
    m_server = m_moving;
    m_moving = nullptr;
    startAccepting();
    emit descriptionChanged(description());
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
    // Bounded, so that a stream of connections cannot hold the event loop.
    for (int i = 0; i < MaxLinks; ++i) {
        const int fd = ::accept4(int(m_server->socketDescriptor()), nullptr, nullptr,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            if (error == EINTR || error == ECONNABORTED)
                continue;
            if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
                // The connection waits in the listen backlog meanwhile.
                qCDebug(lcSim).noquote()
                    << QStringLiteral("%1 port: accepting paused: %2")
                           .arg(role(), QString::fromLocal8Bit(std::strerror(error)));
                m_acceptNotifier->setEnabled(false);
                m_resumeTimer.start(AcceptPauseMs);
            }
            return;
        }
        if (m_links >= MaxLinks) {
            qCDebug(lcSim).noquote()
                << QStringLiteral("%1 port: %2 links already, connection closed")
                       .arg(role())
                       .arg(MaxLinks);
            ::close(fd);
            continue;
        }
        auto* socket = new QTcpSocket;
        if (!socket->setSocketDescriptor(fd)) {
            delete socket;
            ::close(fd);
            continue;
        }
        ++m_links;
        auto* link = new KXSimTcpLink(socket);
        connect(link, &KXSimLink::closed, this, &KXSimTcpEndpoint::onLinkClosed);
        startSession(link);
    }
}

void KXSimTcpEndpoint::onLinkClosed()
{
    --m_links;
    // The socket lets go of its descriptor after this signal: try again on
    // the next pass of the event loop.
    if (m_acceptNotifier && !m_acceptNotifier->isEnabled())
        m_resumeTimer.start(0);
}
