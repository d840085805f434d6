#include "KXSimOutput.h"

#include "KXSimLink.h"

KXSimOutput::KXSimOutput(KXSimLink* link, QObject* parent) : QObject(parent), m_link(link)
{
    m_clock.start();
    for (QTimer* timer : {&m_replyTimer, &m_dataTimer}) {
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
    }
    connect(&m_replyTimer, &QTimer::timeout, this, &KXSimOutput::writeReplies);
    connect(&m_dataTimer, &QTimer::timeout, this, &KXSimOutput::writeData);
}

void KXSimOutput::queueReply(const QByteArray& bytes, int delayMs)
{
    if (m_closed)
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
    if (m_closed)
        return;
    m_data.enqueue({gapMs, bytes, continued});
    if (m_data.size() == 1)
        writeData();
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
        if (!m_link)
            continue;
        if (reply.close) {
            m_closed = true;
            m_replies.clear();
            m_data.clear();
            m_dataTimer.stop();
            m_link->close();
            return;
        }
        m_link->write(reply.bytes);
    }
}

void KXSimOutput::writeData()
{
    while (!m_data.isEmpty() && !m_closed) {
        if (m_dataDue < 0)
            m_dataDue = m_clock.elapsed() + m_data.head().gapMs;
        const qint64 wait = m_dataDue - m_clock.elapsed();
        if (wait > 0) {
            m_dataTimer.start(int(wait));
            return;
        }
        m_dataDue = -1;
        const Data piece = m_data.dequeue();
        if (m_link)
            m_link->write(piece.bytes);
        m_midMessage = piece.continued;
        if (!m_midMessage)
            writeReplies(); // a reply may have waited for the message to end
    }
}
