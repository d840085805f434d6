#ifndef KXDEVICECONNECTOR_H
#define KXDEVICECONNECTOR_H

#include "transport/IDataStreamReadWrite.h"
#include "transport/KXFirmwareProgress.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHash>
#include <QList>
#include <QMap>
#include <QMutex>
#include <QPointer>
#include <QSharedPointer>
#include <QThread>
#include <QWaitCondition>

#include <array>
#include <atomic>
#include <functional>
#include <memory>

// Reply callback of an asynchronous request: message id, error code, reply
// frame and the context object given with the request (null when it is gone).
using KXReplyCallback = std::function<void(const QString& msgid, int errcode,
                                           const QByteArray& data, QObject* context)>;

// One open connection to one device. Its thread takes queued requests one at
// a time, sends them through the send path of their envelope, matches the
// reply, and between requests reads and dispatches what the device sends on
// its own. Every request ends in exactly one error code, delivered once.
class KXDeviceConnector : public QThread
{
    Q_OBJECT

public:
    // Error codes of a request.
    enum ErrorCode
    {
        ErrorNone = 0,
        ErrorNoReply = -1,    // no complete reply frame in time
        ErrorTimeout = -2,    // the caller's time-out ran out (asynchronous)
        ErrorNotRunning = -3, // the connector is stopped; nothing was sent
        ErrorCancelled = -5,
        ErrorWrite = -20,      // writing to the transport failed
        ErrorBadCommand = -22, // not a valid framed command
        ErrorBadReply = -23,   // the reply frame failed its check
        ErrorWaitEnded = -999, // a synchronous wait ended without a reply
    };

    static constexpr int DefaultRequestTimeout = 60000;
    static constexpr int DefaultTimeOut7E01 = 4500;
    static constexpr int ImageReplyTimeout = 60000;
    static constexpr int DefaultKeepAliveInterval = 10000;
    static constexpr quint16 LogPort = 36525;
    // Barcode, message and log bytes emitted but not yet taken by the
    // creating thread. Past this the connector stops reading what the device
    // sends on its own until the host catches up (the link's flow control
    // then holds the device back), so a device that floods a slow host
    // cannot exhaust its memory.
    static constexpr qint64 HostBacklogLimit = 32 * 1024 * 1024;
    // Id of the connector's own idle probe; its result is not emitted.
    static const QString IdleProbeId;

    explicit KXDeviceConnector(QObject* parent = nullptr);
    ~KXDeviceConnector() override;

    // Openings: each stops the connector and closes its transport first,
    // reuses a transport of its own kind and refuses another kind, and
    // starts the thread on success.
    bool connectToDevice(const QString& ip, quint16 port, bool isReconnectEnable);
    bool openDevice(const quint8* comRecord, uint* error);
    bool openDevice(const quint8* usbRecord, int mode, uint* error);
    bool openOffLineDevice(const QString& configFile, const QString& offlineFile);

    // Queues a framed command; the callback gets exactly one of the reply,
    // -2 (time-out), -3 (stopped: at once, with an empty id) or -5.
    QString sendBinaryMessage(const QByteArray& data, KXReplyCallback callback, QObject* context,
                              int timeout = DefaultRequestTimeout);
    // Queues a framed command and waits in a local event loop.
    int sendBinaryMessage(const QByteArray& data, QByteArray& reply,
                          int timeout = DefaultRequestTimeout);
    bool cancelRequest(const QString& msgid, bool notify = true);
    void cancelAllRequests();

    bool disconnectDevice();
    void discardAllMessages();
    int setTimeOut_7E01(int ms);
    int timeOut7E01() const { return m_timeOut7E01; }
    void deviceArrival(bool arrived, bool removedNotice);
    bool isDeviceRemoved() const { return m_removed; }
    void setLogConnection(bool on) { m_logConnection = on; }
    bool isLogConnection() const { return m_logConnection; }
    void setRfidDevice(bool on) { m_rfidDevice = on; }
    bool decodeImage(const QByteArray& image, int width, int height, QByteArray& out,
                     int* outLength);

    // Keepalive and the device log stream.
    void startKeepAlive(int interval);
    void stopKeepAlive();
    bool logQuery();
    // Ends a running logQuery() at its next read (within about 200 ms); it
    // returns true if the device had answered. Safe from any thread and from
    // a signal handler (it only stores an atomic flag).
    void stopLogQuery();
    void logRecv();
    void stopLogRecv();

    // Firmware (KXDeviceConnectorFirmware.cpp). Results of the check:
    enum CheckCode
    {
        CheckOk = 0,
        CheckQueryFailed = 600,     // time-out, no reply, discarded
        CheckWriteFailed = 601,     // writing a query failed (-20)
        CheckWriteIncomplete = 602, // a query ended with -21
        CheckBadReply = 603,        // a reply that does not parse, or -22
        CheckPrepareFailed = 604,   // the package could not be prepared
        CheckExpectsPackage = 610,  // the device takes packages, the file is none
        // any other value: the package's upgrade script refused the device
    };
    // Asks the device (QRYSYS, BASQSY, IFPCHK; BUFQRY on USB/serial links,
    // IFPCFG for package devices) and, for a package, lets its script judge.
    // Blocks the calling thread for up to five 60 s requests.
    int checkUpdateFirmwareInfo(const QString& fileName);
    // Stops the run loop and writes the file: a package through its handler,
    // anything else through the transport. False without a transport or while
    // an update runs. Blocks for the whole download.
    bool updateFirmwareFile(const QString& fileName, int type, uint* error);
    // Progress of the running update (stageValue 0 to 1000); false when none
    // runs. Any thread.
    bool getUpdateFirmwareState(int* part, int* partState, int* stage, int* stageValue) const;
    // The transport's block size (512 without a transport).
    int getFrameSize() const;
    // Below 1 means 512; capped at 4194304. Needs a transport.
    void setFrameSize(int size);

    IDataStreamReadWrite* transport() const { return m_transport; }
    // The run loop is meant to run (the thread may still be ending).
    bool runLoopEnabled() const { return m_running; }
    KXFirmwareProgress& firmwareProgress() { return m_firmwareProgress; }
    bool isUpdating() const { return m_updating; }

signals:
    void replyMessageReceived(QString msgid, int errcode, QByteArray data);
    void messageReceived(QByteArray data);
    void barcodeReceived(QByteArray data);
    void logDataReceived(QByteArray data);
    void logDisconnect();
    void OnExit(int errcode);

public slots:
    void onReplyReceived(QString msgid, int errcode, QByteArray data);
    void onTimeout(QString msgid);

protected:
    void run() override;

private:
    struct Request
    {
        QString msgid;
        QByteArray data;
        int timeout = DefaultRequestTimeout;
        QPointer<QEventLoop> loop;
    };
    struct CallbackRecord
    {
        QMutex mutex;
        KXReplyCallback callback;
        QPointer<QObject> context;
        bool handled = false;
        bool cancelled = false;
    };
    struct Waiter
    {
        QMetaObject::Connection exitConnection;
        QMetaObject::Connection replyConnection;
        std::function<void(const int& errcode, const QByteArray& data)> onReply;
        std::function<void(const int& errcode)> onExit;
    };

    // Queue and thread control (KXDeviceConnector.cpp).
    void stopThread();
    void stopAndCloseTransport();
    bool startThread();
    template <typename Adaptor>
    Adaptor* transportOfKind();
    void enqueue(const Request& request);
    bool takeFirstRequest(Request& request);
    void removeQueuedRequest(const QString& msgid);
    void deliver(const QSharedPointer<CallbackRecord>& record, const QString& msgid, int errcode,
                 const QByteArray& data);
    QSharedPointer<CallbackRecord> takeCallbackRecord(const QString& msgid);
    void handleEx(const QString& msgid, int* errcode, QByteArray* reply, QEventLoop* loop);
    void finishWaiter(const QString& msgid, bool isReply, int errcode, const QByteArray& data);
    bool dropWaiter(const QString& msgid);
    void waitForWork(int ms);
    static QString newMessageId();

    // Send paths (KXDeviceConnectorSend.cpp): each writes the request, reads
    // and cuts out its reply and passes every other byte upstream.
    int sendText(const Request& request, int readSlice, QByteArray& reply);
    int sendLengthPrefixed(const Request& request, int readSlice, QByteArray& reply);
    int sendRaw(const Request& request, QByteArray& reply);
    bool readTextReply(int timeoutMs, int limitMs, int readSlice, const QString& specialCmd,
                       const QByteArray& specialParams, QByteArray& buffer);

    int firmwareQuery(const QString& name, const QByteArray& parameters, QByteArray& value);

    // Upstream data and keepalive (KXDeviceConnectorUpstream.cpp).
    bool dispatchUpStreamData(const QByteArray& data, bool checkRepeat);
    enum class HostData
    {
        Barcode,
        Message,
        Log,
    };
    void emitToHost(HostData kind, const QByteArray& data);
    bool hostBacklogFull() const;
    // On the creating thread, as each emitted chunk comes up there.
    void hostTook(qint64 bytes);
    // Waits up to `ms` while the backlog is full; the host taking enough
    // ends it early.
    void waitForHostBacklog(int ms);
    void keepAliveStep();
    void logConsumeLoop();

    std::atomic<bool> m_running{false};
    QMutex m_queueMutex;
    QWaitCondition m_queueChanged; // a request was queued: end an idle wait
    QList<Request> m_queue;
    std::unique_ptr<std::array<quint8, 512>> m_usbSettings;
    std::unique_ptr<std::array<quint8, 12>> m_comSettings;
    QElapsedTimer m_upstreamTimer;
    QByteArray m_upstreamBuffer;
    QByteArray m_lastUpstreamChunk;
    std::atomic<qint64> m_hostBacklog{0};
    QMutex m_backlogMutex;
    QWaitCondition m_backlogDrained; // the backlog went below its limit
    IDataStreamReadWrite* m_transport = nullptr;
    QElapsedTimer m_keepAliveTimer;
    std::atomic<bool> m_keepAliveEnabled{false};
    std::atomic<int> m_keepAliveInterval{DefaultKeepAliveInterval};
    std::atomic<bool> m_updating{false};
    KXFirmwareProgress m_firmwareProgress{};
    std::atomic<bool> m_logQueryRunning{false};
    std::atomic<bool> m_logQueryStop{false};
    std::atomic<bool> m_logRecvRunning{false};
    std::atomic<bool> m_logConnection{false};
    std::atomic<bool> m_reopenEnabled{false};
    std::atomic<bool> m_removed{false};
    std::atomic<bool> m_rfidDevice{false};
    std::atomic<bool> m_decoding{false};
    std::atomic<int> m_timeOut7E01{DefaultTimeOut7E01};
    QMap<QString, Waiter> m_waiters;
    QMutex m_waitersMutex;
    QMutex m_callbacksMutex;
    QHash<QString, QSharedPointer<CallbackRecord>> m_callbacks;
    QList<QByteArray> m_logChunks;
    qint64 m_logPendingBytes = 0; // bytes in m_logChunks, under the log mutex
    QMutex m_logMutex;
    QWaitCondition m_logCondition;
    QThread* m_consumerThread = nullptr;
    std::atomic<bool> m_consumeRunning{false};
};

#endif // KXDEVICECONNECTOR_H
