#include "discovery/BroadcastPparseRecvDataThread.h"

#include <QElapsedTimer>
#include <QMutexLocker>

#include <cstring>

STRU_UDPDATA::STRU_UDPDATA(const char* bytes, qint32 count)
{
    if (count < 1)
        return;
    length = count;
    data = new char[size_t(count)];
    memcpy(data, bytes, size_t(count));
}

BroadcastPparseRecvDataThread::BroadcastPparseRecvDataThread(QObject* parent) : QThread(parent) {}

BroadcastPparseRecvDataThread::~BroadcastPparseRecvDataThread()
{
    stop();
    wait();
    clear();
}

void BroadcastPparseRecvDataThread::enqueue(STRU_UDPDATA* record)
{
    QMutexLocker lock(&m_queueMutex);
    m_queue.append(record);
    m_queueChanged.wakeAll();
}

void BroadcastPparseRecvDataThread::clear()
{
    QList<STRU_UDPDATA*> records;
    {
        QMutexLocker lock(&m_queueMutex);
        records.swap(m_queue);
    }
    qDeleteAll(records);
}

int BroadcastPparseRecvDataThread::pendingCount() const
{
    QMutexLocker lock(&m_queueMutex);
    return m_queue.size();
}

void BroadcastPparseRecvDataThread::stop()
{
    QMutexLocker lock(&m_queueMutex);
    m_stop.store(true);
    m_queueChanged.wakeAll();
}

void BroadcastPparseRecvDataThread::run()
{
    QElapsedTimer clock;
    clock.start();
    QMutexLocker lock(&m_queueMutex);
    while (!m_stop.load()) {
        if (!m_queue.isEmpty()) {
            STRU_UDPDATA* record = m_queue.takeFirst();
            lock.unlock();
            emit signal_parseRecvData(m_handedOut.give(record));
            clock.restart();
            lock.relock();
            continue;
        }
        const qint64 untilTick = AliveTickMs - clock.elapsed();
        if (untilTick <= 0) {
            lock.unlock();
            emit signal_deviceAlive();
            clock.restart();
            lock.relock();
            continue;
        }
        m_queueChanged.wait(&m_queueMutex, quint64(untilTick));
    }
}
