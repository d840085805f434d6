#ifndef KXNETWORKWORKER_H
#define KXNETWORKWORKER_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>

#include <condition_variable>
#include <mutex>

class KXTcpSocket;

// Owns the TCP socket on a thread of its own and gathers everything received
// into one buffer. Connects, disconnects and writes run on that thread
// (blocking-queued from the adaptor); the reads run on the caller's thread
// against the buffer and are woken by the arriving bytes.
class KXNetworkWorker : public QObject
{
    Q_OBJECT

public:
    explicit KXNetworkWorker(QObject* parent = nullptr);
    ~KXNetworkWorker() override;

    // Socket state for is_open; read from the caller's thread.
    bool isConnected() const;

    // At most this many received bytes wait for a reader; past it the socket
    // stops reading and TCP flow control holds the device back.
    static constexpr int ReceiveLimit = 4 * 1024 * 1024;

    // Makes the waiting (or the next) read_poll return at once.
    void wakeReaders();
    // read_ex that a wake-up ends early: the connector's poll between
    // requests.
    QByteArray read_poll(uint reponse_time);
    // Ends every waiting read, refuses new ones and returns once no reader
    // is inside any more. Called before the worker goes away.
    void shutdownReaders();

public slots:
    bool connect_to_tcp(QString ip, quint16 port, bool isReconnectEnable = true);
    bool disconnect_from_host();
    bool write(QByteArray data);
    QByteArray read_ex(uint reponse_time, uint interval, uint* error);
    QByteArray read_until(uint reponse_time, uint interval, QByteArray pat, uint* error);
    uint read_data(quint8* pszBuffer, int nBuffer, uint reponse_time);
    // Deletes the socket on this thread, before the thread ends.
    void releaseSocket();

signals:
    void connectChanged(bool connected);

private slots:
    void OnBinaryMessageReceived(QByteArray data);

private:
    // Readers register under the mutex so that shutdown can wait for them.
    bool enterRead();
    void leaveRead();
    QByteArray readFor(uint reponse_time, bool wakeable);
    // Under the mutex: takes the whole buffer, which makes room for more.
    QByteArray takeBuffer();
    // Under the mutex: lets a paused socket read again once there is room.
    void requestResume();
    void resumeReading();

    // Not QMutex and QWaitCondition: Qt 5 wakes a waiter while holding the
    // condition's own lock, so every wake-up would cost the reader a second
    // one.
    std::mutex m_mutex;
    QByteArray m_buffer;
    QElapsedTimer m_elapsed;
    KXTcpSocket* m_socket = nullptr;

    std::condition_variable m_changed; // bytes arrived, a wake-up, or shutdown
    std::condition_variable m_readersGone;
    int m_readers = 0;
    bool m_shutdown = false;
    bool m_wakePending = false;
    bool m_readPaused = false;   // the socket holds back; set on the worker thread
    bool m_resumePosted = false; // a resumeReading is on its way
};

#endif // KXNETWORKWORKER_H
