#include "KXSimOutput.h"

#include "KXSimLink.h"
#include "KXSimLog.h"

KXSimOutput::KXSimOutput(KXSimLink* link, QObject* parent) : QObject(parent), m_link(link)
{
    m_clock.start();
    for (QTimer* timer : {&m_replyTimer, &m_dataTimer}) {
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
    }
    connect(&m_replyTimer, &QTimer::timeout, this, &KXSimOutput::writeReplies);
    connect(&m_dataTimer, &QTimer::timeout, this, &KXSimOutput::writeData);
    connect(link, &KXSimLink::written, this, &KXSimOutput::checkDrained);
}

void KXSimOutput::queueReply(const QByteArray& bytes, int delayMs)
{
    if (!admit(bytes.size()))
        return;
    m_replies.enqueue({m_clock.elapsed() + delayMs, bytes, false});
    writeReplies();
}

void KXSimOutput::queueClose()
{
    if (m_closed)
        return;
    m_replies.enqueue({m_clock.elapsed(), QByteArray(), true});
    writeReplies();
}

void KXSimOutput::queueData(const QByteArray& bytes, int gapMs, bool continued)
{
    if (!admit(bytes.size()))
        return;
    m_data.enqueue({gapMs, bytes, continued});
    if (m_data.size() == 1)
        writeData();
}

qint64 KXSimOutput::pendingBytes() const
{
    return m_queuedBytes + (m_link ? m_link->pendingBytes() : 0);
}

bool KXSimOutput::isBackedUp()
{
    if (pendingBytes() <= MaxPending)
        return false;
    m_watchDrain = true;
    return true;
}

bool KXSimOutput::admit(qint64 size)
{
    if (m_closed || !m_link)
        return false;
    const qint64 pending = pendingBytes();
    if (pending + size <= MaxPendingHard) {
        m_queuedBytes += size;
        return true;
    }
    qCDebug(lcSim).noquote() << QStringLiteral("dropped %1: %2 bytes of output pending")
                                    .arg(m_link->peerName())
                                    .arg(pending + size);
    m_closed = true;
    m_replies.clear();
    m_data.clear();
    m_queuedBytes = 0;
    m_replyTimer.stop();
    m_dataTimer.stop();
    m_link->drop();
    return false;
}

void KXSimOutput::writeReplies()
{
    while (!m_replies.isEmpty() && !m_closed && !m_midMessage) {
        const qint64 wait = m_replies.head().due - m_clock.elapsed();
        if (wait > 0) {
            m_replyTimer.start(int(wait));
            return;
        }
        const Reply reply = m_replies.dequeue();
        m_queuedBytes -= reply.bytes.size();
        if (!m_link)
            continue;
        if (reply.close) {
            m_closed = true;
            m_replies.clear();
            m_data.clear();
            m_queuedBytes = 0;
            m_dataTimer.stop();
            m_link->close();
            return;
        }
        m_link->write(reply.bytes);
    }
    checkDrained();
}

void KXSimOutput::writeData()
{
    while (!m_data.isEmpty() && !m_closed) {
        if (m_dataDue < 0)
            m_dataDue = m_clock.elapsed() + m_data.head().gapMs;
        const qint64 wait = m_dataDue - m_clock.elapsed();
        if (wait > 0) {
            m_dataTimer.start(int(wait));
            break;
        }
        m_dataDue = -1;
        const Data piece = m_data.dequeue();
        m_queuedBytes -= piece.bytes.size();
        if (m_link)
            m_link->write(piece.bytes);
        m_midMessage = piece.continued;
        if (!m_midMessage)
            writeReplies(); // a reply may have waited for the message to end
    }
    checkDrained();
}

void KXSimOutput::checkDrained()
{
    if (!m_watchDrain || m_closed || pendingBytes() > MaxPending)
        return;
    m_watchDrain = false;
    emit drained();
}
