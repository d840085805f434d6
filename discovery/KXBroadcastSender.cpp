#include "discovery/KXBroadcastSender.h"

#include "discovery/KXBroadcastDeviceEnum.h"
#include "discovery/KXDiscoveryDatagram.h"
#include "discovery/KXDiscoveryLog.h"

#include <QNetworkInterface>
#include <QUdpSocket>

#include <cstring>

KXBroadcastSender::KXBroadcastSender(QObject* parent) : QObject(parent) {}

KXBroadcastSender::~KXBroadcastSender()
{
    closeSockets();
}

void KXBroadcastSender::closeSockets()
{
    for (QUdpSocket* socket : qAsConst(m_sockets)) {
        socket->close();
        socket->deleteLater();
    }
    m_sockets.clear();
}

void KXBroadcastSender::initSockets()
{
    closeSockets();
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface& interface : interfaces) {
        const QList<QNetworkAddressEntry> entries = interface.addressEntries();
        for (const QNetworkAddressEntry& entry : entries) {
            const QHostAddress address = entry.ip();
            if (entry.broadcast().isNull() || address == QHostAddress(QHostAddress::LocalHost) ||
                address.protocol() != QAbstractSocket::IPv4Protocol)
                continue;
            auto* socket = new QUdpSocket(this);
            if (!socket->bind(address, 0)) {
                delete socket;
                continue;
            }
            qCDebug(lcDiscovery) << "bind ok" << address.toString() << socket->localPort();
            m_sockets.append(socket);
        }
    }
}

void KXBroadcastSender::buildDiscoveryRequest()
{
    const QByteArray request =
        KXDiscovery::makeDiscoveryRequest(quint16(KXBroadcastDeviceEnum::answerPort()));
    m_requestLength = request.size();
    memcpy(m_request, request.constData(), size_t(request.size()));
}

bool KXBroadcastSender::sendDiscoveryRequest()
{
    return broadcast(m_request, m_requestLength);
}

bool KXBroadcastSender::sendCommand(uchar kind, const char* payload, int len)
{
    if (len < 0 || len > KXDiscovery::MaxPayload) {
        qCWarning(lcDiscovery) << "KXBroadcastSender::sendCommand... payload of" << len
                               << "bytes refused, a datagram holds at most"
                               << KXDiscovery::MaxPayload;
        return false;
    }
    const QByteArray frame = KXDiscovery::makeDatagram(kind, QByteArray(payload, len));
    return broadcast(frame.constData(), frame.size());
}

bool KXBroadcastSender::broadcast(const char* data, int len)
{
    bool allWritten = true;
    for (QUdpSocket* socket : qAsConst(m_sockets)) {
        const qint64 written =
            socket->writeDatagram(data, len, QHostAddress::Broadcast, KXDiscovery::DevicePort);
        allWritten = allWritten && written == len;
    }
    return allWritten;
}

void KXBroadcastSender::OnReadFromUDPSocket() {}
