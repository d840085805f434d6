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
    // Bytes read ahead from the host while nobody takes them; past that the
    // host's data waits in the system.
    static constexpr qint64 ReadBufferSize = 64 * 1024;

    // Takes ownership of the connected socket.
    explicit KXSimTcpLink(QTcpSocket* socket, QObject* parent = nullptr);

    void write(const QByteArray& bytes) override;
    qint64 pendingBytes() const override;
    void setReadingPaused(bool paused) override;
    void close() override;
    void drop() override;
    QString peerName() const override;

private:
    void readAvailable();
    void onDisconnected();

    QTcpSocket* m_socket;
    bool m_paused = false;
    bool m_closed = false;
};

#endif // KXSIMTCPLINK_H
