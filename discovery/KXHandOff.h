#ifndef KXHANDOFF_H
#define KXHANDOFF_H

#include <QMutex>
#include <QMutexLocker>
#include <QSet>

// Objects handed to another thread by pointer in a queued signal, until the
// receiver takes them. Qt drops a queued call without freeing its pointer
// arguments when the receiver is destroyed first, or when the application
// ends with the call still queued; whatever the receiver never took is
// freed with this record.
template <typename T>
class KXHandOff
{
public:
    KXHandOff() = default;
    KXHandOff(const KXHandOff&) = delete;
    KXHandOff& operator=(const KXHandOff&) = delete;
    ~KXHandOff() { qDeleteAll(m_pending); }

    // Called before the signal is emitted.
    T* give(T* object)
    {
        QMutexLocker lock(&m_mutex);
        m_pending.insert(object);
        return object;
    }

    // Called by the receiver; from then on the object is the receiver's.
    void take(T* object)
    {
        QMutexLocker lock(&m_mutex);
        m_pending.remove(object);
    }

private:
    QMutex m_mutex;
    QSet<T*> m_pending;
};

#endif // KXHANDOFF_H
