#ifndef KXSIMTCPLINK_H
#define KXSIMTCPLINK_H

#include "KXSimLink.h"

class QTcpSocket;

// A link over one accepted TCP connection. Writes go out without Nagle's
// delay, so separate writes tend to arrive as separate segments.
class KXSimTcpLink : public KXSimLink
{
    Q_OBJECT

public:
    // Takes ownership of the connected socket.
    explicit KXSimTcpLink(QTcpSocket* socket, QObject* parent = nullptr);

    void write(const QByteArray& bytes) override;
    void close() override;
    QString peerName() const override;

private:
    void onDisconnected();

    QTcpSocket* m_socket;
    bool m_closed = false;
};

#endif // KXSIMTCPLINK_H
