#include "KXSimTcpLink.h"

#include "transport/KXSocketWrite.h"

#include <QHostAddress>
#include <QTcpSocket>

KXSimTcpLink::KXSimTcpLink(QTcpSocket* socket, QObject* parent)
    : KXSimLink(parent), m_socket(socket)
{
    m_socket->setParent(this);
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // Bounded, so that Qt stops reading from the system while we pause.
    m_socket->setReadBufferSize(ReadBufferSize);
    connect(m_socket, &QTcpSocket::readyRead, this, &KXSimTcpLink::readAvailable);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &KXSimLink::written);
    connect(m_socket, &QTcpSocket::disconnected, this, &KXSimTcpLink::onDisconnected);
    // A reset connection may end in an error without a disconnect.
    connect(m_socket, &QAbstractSocket::errorOccurred, this, [this] {
        if (m_socket->state() == QAbstractSocket::UnconnectedState)
            onDisconnected();
    });
}

void KXSimTcpLink::write(const QByteArray& bytes)
{
    if (m_closed || m_socket->state() != QAbstractSocket::ConnectedState)
        return;
    kxWriteToSocket(*m_socket, bytes);
}

qint64 KXSimTcpLink::pendingBytes() const
{
    return m_socket->bytesToWrite();
}

void KXSimTcpLink::setReadingPaused(bool paused)
{
    if (paused == m_paused)
        return;
    m_paused = paused;
    // Bytes read ahead while paused get no readyRead of their own; queued,
    // so that the session is not re-entered from its own call.
    if (!paused)
        QMetaObject::invokeMethod(this, &KXSimTcpLink::readAvailable, Qt::QueuedConnection);
}

void KXSimTcpLink::readAvailable()
{
    if (m_paused || m_closed)
        return;
    const QByteArray bytes = m_socket->readAll();
    if (!bytes.isEmpty())
        emit received(bytes);
}

void KXSimTcpLink::close()
{
    if (m_socket->state() == QAbstractSocket::UnconnectedState)
        onDisconnected();
    else
        m_socket->disconnectFromHost();
}

void KXSimTcpLink::drop()
{
    m_socket->abort();
    onDisconnected();
}

QString KXSimTcpLink::peerName() const
{
    return QStringLiteral("tcp %1:%2")
        .arg(m_socket->peerAddress().toString())
        .arg(m_socket->peerPort());
}

void KXSimTcpLink::onDisconnected()
{
    if (m_closed)
        return;
    m_closed = true;
    emit closed();
}
