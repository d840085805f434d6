#include "KXTcpSocket.h"

#include "KXSocketWrite.h"
#include "KXTransportLog.h"

#include <QNetworkProxy>
#include <QTimer>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

KXTcpSocket::KXTcpSocket(QObject* parent, bool isReconnectEnable)
    : QTcpSocket(parent), m_isReconnectEnable(isReconnectEnable)
{
    qRegisterMetaType<QAbstractSocket::SocketError>();
    // Devices sit on the local network; a system proxy would only get in
    // the way.
    setProxy(QNetworkProxy::NoProxy);
    // Bounded, so that a paused reader leaves the rest in the kernel.
    setReadBufferSize(ReadBufferSize);
    connect(this, &QTcpSocket::connected, this, &KXTcpSocket::onConnected);
    m_disconnectedConnection =
        connect(this, &QTcpSocket::disconnected, this, &KXTcpSocket::onDisconnected);
    connect(this, &QTcpSocket::errorOccurred, this, &KXTcpSocket::onErrorOccurred);
    connect(this, &QTcpSocket::readyRead, this, &KXTcpSocket::onReadyRead);
    if (m_isReconnectEnable) {
        m_reconnectTimer = new QTimer(this);
        m_reconnectTimer->setInterval(ReconnectIntervalMs);
        connect(m_reconnectTimer, &QTimer::timeout, this, &KXTcpSocket::onReconnect);
    }
}

KXTcpSocket::~KXTcpSocket()
{
    // Closing emits disconnected; that must not start a reconnection.
    m_isReconnectEnable = false;
    if (m_reconnectTimer) {
        m_reconnectTimer->stop();
        m_reconnectTimer->disconnect(this);
    }
    close();
}

bool KXTcpSocket::connectTo(const QString& host, quint16 port, int waitMs)
{
    if (host.isEmpty() || port == 0 || state() == ConnectedState)
        return false;
    m_host = host;
    m_port = port;
    connectToHost(host, port, ReadWrite, AnyIPProtocol);
    if (waitMs == -1 || waitMs >= 1)
        waitForConnected(waitMs);
    if (state() != ConnectedState)
        return false;
    enableKeepAlive();
    return true;
}

void KXTcpSocket::enableKeepAlive()
{
    const qintptr fd = socketDescriptor();
    if (fd < 0)
        return;
    // A silent network device is noticed after about 5 s plus a few probes
    // 3 s apart. Failures only cost the early notice, so they are ignored.
    const int on = 1;
    const int idle = KeepAliveIdleSeconds;
    const int interval = KeepAliveIntervalSeconds;
    ::setsockopt(int(fd), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
    ::setsockopt(int(fd), IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle));
    ::setsockopt(int(fd), IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(interval));
}

bool KXTcpSocket::writeAll(const QByteArray& data)
{
    if (state() != ConnectedState || data.isEmpty())
        return false;
    return kxWriteToSocket(*this, data);
}

void KXTcpSocket::onConnected()
{
    qCDebug(lcTransport) << "KXTcpSocket::onConnected...";
    // Every exchange is a small request and a short answer; Nagle's
    // algorithm would only hold requests back.
    setSocketOption(LowDelayOption, 1);
    if (m_isReconnectEnable && m_reconnectTimer)
        m_reconnectTimer->stop();
    emit connectChanged(true);
}

void KXTcpSocket::onDisconnected()
{
    emit connectChanged(false);
    if (m_isReconnectEnable && m_reconnectTimer)
        m_reconnectTimer->start();
}

void KXTcpSocket::onErrorOccurred(QAbstractSocket::SocketError socketError)
{
    qCDebug(lcTransport) << "KXTcpSocket::onErrorOccurred:" << socketError << m_host << m_port;
}

void KXTcpSocket::onReconnect()
{
    if (!isValid())
        return;
    qCDebug(lcTransport) << "this->state()=" << state();
    if (state() != UnconnectedState) {
        abort();
        QTimer::singleShot(ReconnectAbortDelayMs, this,
                           [this] { connectTo(m_host, quint16(m_port), -2); });
        return;
    }
    qCDebug(lcTransport) << "KXTcpSocket::onReconnect()..." << m_host << m_port;
    connectTo(m_host, quint16(m_port), -2);
}

void KXTcpSocket::setReadPaused(bool paused)
{
    m_readPaused = paused;
    if (!paused && bytesAvailable() > 0)
        onReadyRead();
}

void KXTcpSocket::onReadyRead()
{
    if (m_readPaused)
        return;
    const QByteArray data = readAll();
    if (!data.isEmpty())
        emit binaryMessageReceived(data);
}
