#ifndef KXTCPSOCKET_H
#define KXTCPSOCKET_H

#include <QMetaObject>
#include <QTcpSocket>

class QTimer;

// A TCP socket that reconnects on its own while the link is down and turns
// on the operating system's keep-alive for connections it makes itself.
// Lives on the network worker's thread.
class KXTcpSocket : public QTcpSocket
{
    Q_OBJECT

public:
    static constexpr int ReconnectIntervalMs = 5000;
    static constexpr int ReconnectAbortDelayMs = 1000;
    static constexpr int KeepAliveIdleSeconds = 5;
    static constexpr int KeepAliveIntervalSeconds = 3;

    KXTcpSocket(QObject* parent, bool isReconnectEnable);
    ~KXTcpSocket() override;

    // Connects and waits up to `waitMs` (-1 without limit; 0 and below -1
    // do not wait). False at once for an empty host, port 0, or when
    // already connected. Keep-alive is switched on once connected.
    bool connectTo(const QString& host, quint16 port, int waitMs);
    // True when every byte was written; false unless connected.
    bool writeAll(const QByteArray& data);

    bool isReconnectEnabled() const { return m_isReconnectEnable; }
    // While paused, received bytes stay in the socket (at most
    // ReadBufferSize) and then in the kernel; resuming passes on what is
    // held at once.
    void setReadPaused(bool paused);

    static constexpr qint64 ReadBufferSize = 1024 * 1024;

signals:
    void connectChanged(bool connected);
    void binaryMessageReceived(QByteArray data);

private slots:
    void onConnected();
    void onDisconnected();
    void onErrorOccurred(QAbstractSocket::SocketError socketError);
    void onReconnect();
    void onReadyRead();

private:
    void enableKeepAlive();

    QString m_host;
    qint32 m_port = 0;
    QMetaObject::Connection m_disconnectedConnection;
    bool m_isReconnectEnable = false;
    QTimer* m_reconnectTimer = nullptr;
    bool m_readPaused = false;
};

#endif // KXTCPSOCKET_H
