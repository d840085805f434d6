#ifndef KXBROADCASTSENDER_H
#define KXBROADCASTSENDER_H

#include <QList>
#include <QObject>

class QUdpSocket;

// Broadcasts discovery datagrams from every local IPv4 address that has a
// broadcast address, so that devices on every attached network hear them.
// Lives on the enumerator's thread. Everything it sends goes to
// 255.255.255.255:36510: run it only where that is wanted (tests run it in a
// private network namespace).
class KXBroadcastSender : public QObject
{
    Q_OBJECT

public:
    static constexpr int RequestCapacity = 2048;

    explicit KXBroadcastSender(QObject* parent = nullptr);
    ~KXBroadcastSender() override;

    // Rebuilds the socket list: one socket bound to each non-loopback IPv4
    // address with a broadcast address (interface flags are not consulted; a
    // socket that cannot bind is dropped).
    void initSockets();
    // Stores the discovery request for the current answer port.
    void buildDiscoveryRequest();
    // Broadcasts the stored request (an empty datagram before the first
    // buildDiscoveryRequest()).
    bool sendDiscoveryRequest();
    // Frames `payload` as a datagram of kind `kind` and broadcasts it. False
    // (and nothing sent) when the payload exceeds the 2036 bytes a frame
    // holds, or when a write fell short.
    bool sendCommand(uchar kind, const char* payload, int len);
    // Writes the datagram from every socket. True when every write took all
    // `len` bytes, and when there is no socket at all; every socket is tried.
    bool broadcast(const char* data, int len);

public slots:
    // Devices answer on the enumerator's socket, never on these.
    void OnReadFromUDPSocket();

private:
    void closeSockets();

    int m_requestLength = 0;
    char m_request[RequestCapacity] = {};
    QList<QUdpSocket*> m_sockets;
};

#endif // KXBROADCASTSENDER_H
