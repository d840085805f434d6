#ifndef KXSIMUDPENDPOINT_H
#define KXSIMUDPENDPOINT_H

#include "KXSimEndpoint.h"
#include "KXSimUdpAnswers.h"

#include <QHash>
#include <QHostAddress>
#include <QTimer>

#include <deque>
#include <netinet/in.h>

class KXSimDevice;
class KXSimTcpEndpoint;
class QSocketNotifier;

// The discovery port: answers the kit's discovery requests as the device
// (or as many devices, see faces) and takes its network, group, alias and
// blink commands. Answers go only to the sender's address, at the answer
// port its datagram names; kxsim never broadcasts.
//
// Caps: datagrams that are not well formed (marker, length, message code,
// answer port) or longer than the kit's 2048-byte frame are ignored; one
// datagram makes at most one answer per face and at most one move of the
// TCP listeners; an alias takes at most MaxAliasLength characters; answers
// waiting for the socket are held to MaxQueued datagrams, and a discovery
// request whose answers would not fit is ignored whole. A full socket
// buffer is waited out (write readiness), never spun on.
class KXSimUdpEndpoint : public KXSimEndpoint
{
    Q_OBJECT

public:
    static constexpr quint16 DefaultPort = 36510;
    static constexpr int MaxDevices = 10000;
    static constexpr int MaxQueued = 65536;
    static constexpr int MaxAliasLength = 64;
    static constexpr int ReadsPerPass = 64;

    // `data` and `log` are the TCP endpoints whose ports and address the
    // answers report and that a network command moves.
    KXSimUdpEndpoint(KXSimDevice& device, quint16 port, int devices, KXSimTcpEndpoint& data,
                     KXSimTcpEndpoint& log, QObject* parent = nullptr);
    ~KXSimUdpEndpoint() override;

    bool start(QString& error) override;
    QString description() const override;

private:
    struct Outgoing
    {
        sockaddr_in to;
        QByteArray datagram;
    };

    void readDatagrams();
    void handleDatagram(const QByteArray& datagram, const sockaddr_in& from);
    void answerDiscovery(sockaddr_in to);
    int changeNetwork(const KXDeviceInfoMap& fields);
    int changeGroup(const KXDeviceInfoMap& fields);
    int changeAlias(const KXDeviceInfoMap& fields);
    // The face that a command's "Serial Number" and "MAC Address" name; -1
    // for none.
    int findFace(const KXDeviceInfoMap& fields) const;
    KXSimUdpState state(const QHostAddress& asker) const;
    void queue(const sockaddr_in& to, const QByteArray& datagram);
    void flush();

    KXSimDevice& m_device;
    quint16 m_port;
    int m_devices;
    KXSimTcpEndpoint& m_data;
    KXSimTcpEndpoint& m_log;
    int m_fd = -1;
    QSocketNotifier* m_readNotifier = nullptr;
    QSocketNotifier* m_writeNotifier = nullptr;
    QTimer m_retryTimer; // the kernel was out of buffers: try again shortly
    QVector<KXSimUdpFace> m_faces;
    QHash<QString, int> m_faceByMac; // upper-case MAC address -> face
    bool m_groupEnabled = false;
    int m_groupId = 0;
    std::deque<Outgoing> m_queue;
};

#endif // KXSIMUDPENDPOINT_H
