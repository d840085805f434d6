#include "KXSimLogSession.h"

#include "KXSimDevice.h"
#include "KXSimFrames.h"
#include "KXSimLink.h"

KXSimLogSession::KXSimLogSession(KXSimDevice& device, KXSimLink* link, QObject* parent)
    : QObject(parent), m_device(device), m_link(link), m_output(link)
{
    link->setParent(this);
    connect(link, &KXSimLink::received, this, &KXSimLogSession::onReceived);
    connect(link, &KXSimLink::closed, this, &KXSimLogSession::finished);
    connect(&device, &KXSimDevice::logLineAdded, this,
            [this](const QByteArray& line) { m_output.queueReply(line); });
    connect(&m_output, &KXSimOutput::drained, this, &KXSimLogSession::takeFrames,
            Qt::QueuedConnection);
}

void KXSimLogSession::onReceived(const QByteArray& bytes)
{
    m_reader.append(bytes);
    takeFrames();
}

void KXSimLogSession::takeFrames()
{
    KXSimHostFrame frame;
    while (!m_output.isBackedUp() && m_reader.takeFrame(frame)) {
        // The kit writes "@LOGQRY;" before the terminator; other frames mean
        // nothing on this port.
        if (frame.text == "LOGQRY" || frame.text == "LOGQRY;")
            answerLogQuery();
    }
    // A client that queries faster than it reads waits until it has read.
    m_link->setReadingPaused(m_output.isBackedUp());
}

void KXSimLogSession::answerLogQuery()
{
    const QByteArray log = m_device.logText();
    QByteArray piece = simLogReplyHeader(quint32(log.size()));
    for (int offset = 0; offset < log.size(); offset += ChunkSize) {
        piece += log.mid(offset, ChunkSize);
        m_output.queueReply(piece);
        piece.clear();
    }
    if (!piece.isEmpty())
        m_output.queueReply(piece);
}
