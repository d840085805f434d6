#ifndef BROADCASTPPARSERECVDATATHREAD_H
#define BROADCASTPPARSERECVDATATHREAD_H

#include "KXHandOff.h"

#include <QList>
#include <QMetaType>
#include <QMutex>
#include <QThread>
#include <QWaitCondition>

#include <atomic>

// One received datagram on its way from the socket to the parser. The record
// owns its bytes.
struct STRU_UDPDATA
{
    qint32 length = 0;    // bytes in `data`; 0 for an empty datagram
    char* data = nullptr; // heap copy, null when `length` is 0

    STRU_UDPDATA() = default;
    STRU_UDPDATA(const char* bytes, qint32 count);
    ~STRU_UDPDATA() { delete[] data; }
    STRU_UDPDATA(const STRU_UDPDATA&) = delete;
    STRU_UDPDATA& operator=(const STRU_UDPDATA&) = delete;
};

Q_DECLARE_METATYPE(STRU_UDPDATA*)

// The queue between receiving and parsing: records are appended on the
// enumerator's thread and handed back to it, first in first out, through a
// queued signal, one per record. Whoever receives the signal owns the record.
// While no record comes for AliveTickMs, the thread emits signal_deviceAlive
// so that the offline check runs even when every device is silent.
class BroadcastPparseRecvDataThread : public QThread
{
    Q_OBJECT

public:
    static constexpr int AliveTickMs = 5000;

    explicit BroadcastPparseRecvDataThread(QObject* parent = nullptr);
    ~BroadcastPparseRecvDataThread() override;

    // Takes ownership of `record`. Any thread.
    void enqueue(STRU_UDPDATA* record);
    // Destroys the records still queued. Any thread.
    void clear();
    // Records queued and not yet handed on.
    int pendingCount() const;
    // Asks run() to end at once; queued records stay until clear().
    void stop();
    bool isStopping() const { return m_stop.load(); }
    // The receiver of signal_parseRecvData takes the record: it is the
    // receiver's to free from then on. Records handed on and never taken
    // are freed with this thread object.
    void take(STRU_UDPDATA* record) { m_handedOut.take(record); }

signals:
    void signal_parseRecvData(STRU_UDPDATA* pInfo);
    void signal_deviceAlive();

protected:
    // Sleeps on a wait condition until a record comes, the alive tick is due
    // or a stop is asked (no polling: a burst is handed on as fast as the
    // receiver takes it, and an idle kit does not wake every few ms).
    void run() override;

private:
    mutable QMutex m_queueMutex;
    QWaitCondition m_queueChanged;
    QList<STRU_UDPDATA*> m_queue;
    std::atomic<bool> m_stop{false};
    KXHandOff<STRU_UDPDATA> m_handedOut;
};

#endif // BROADCASTPPARSERECVDATATHREAD_H
