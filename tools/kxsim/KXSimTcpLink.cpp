#include "KXSimTcpLink.h"

#include <QHostAddress>
#include <QTcpSocket>

KXSimTcpLink::KXSimTcpLink(QTcpSocket* socket, QObject* parent)
    : KXSimLink(parent), m_socket(socket)
{
    m_socket->setParent(this);
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(m_socket, &QTcpSocket::readyRead, this, [this] { emit received(m_socket->readAll()); });
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
    m_socket->write(bytes);
    m_socket->flush();
}

void KXSimTcpLink::close()
{
    if (m_socket->state() == QAbstractSocket::UnconnectedState)
        onDisconnected();
    else
        m_socket->disconnectFromHost();
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
