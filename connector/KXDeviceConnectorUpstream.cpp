#include "KXDeviceConnector.h"

#include "KXConnectorLog.h"

#include "datastream/KXDataStreamInternal.h"

#include <KXDataStream.h>

#include <QMutexLocker>
#include <QStringList>

#include <utility>

namespace {

// Bytes of one scan may arrive in several reads: hold them this long, or
// until there are this many, before emitting them as one barcode.
constexpr qint64 kBarcodeHoldMs = 60;
constexpr int kBarcodeHoldBytes = 2048;

// Upstream bytes that never form a device message are passed on as barcode
// data at the latest at this size.
constexpr int kUpstreamLimit = 10485760;

// Below this, a keepalive would flood the device; it means "off".
constexpr int kMinKeepAliveInterval = 1001;

constexpr uint kLogQueryReadMs = 200;
constexpr uint kLogRecvReadMs = 30;
// Log bytes read but not yet handed on by the consumer thread. Past this the
// reception stops reading until the consumer catches up, so a device that
// sends faster than the host takes its log cannot exhaust memory; the link's
// own flow control then holds the device back.
constexpr qint64 kLogPendingLimit = 16 * 1024 * 1024;
// Log query reply: 0x02 0x01 "0000" "@LOGQRY", then eight hexadecimal digits
// of the total length.
constexpr int kLogLengthOffset = 13;
constexpr int kLogLengthDigits = 8;
constexpr int kLogReplyHeaderSize = 21;

// The frames and lists below are never destroyed: connector threads keep
// running while the process exits and destroys function-local statics.
const QStringList& upstreamCommands()
{
    static const auto* cmds = new QStringList{QStringLiteral("RUNDAT")};
    return *cmds;
}

const QByteArray& keepAliveFrame()
{
    static const auto* frame =
        new QByteArray(KXMakeDataStreamCmd("KEPALV", DataProtocol7E07, true));
    return *frame;
}

const QByteArray& logQueryFrame()
{
    static const auto* frame = new QByteArray("\x7E\x01"
                                              "0000@LOGQRY;\x03",
                                              15);
    return *frame;
}

QString hexHead(const QByteArray& data, int n)
{
    return QString::fromLatin1(data.left(n).toHex());
}

QString hexTail(const QByteArray& data, int n)
{
    return QString::fromLatin1(data.right(n).toHex());
}

} // namespace

void KXDeviceConnector::emitToHost(HostData kind, const QByteArray& data)
{
    m_hostBacklog += data.size();
    switch (kind) {
    case HostData::Barcode:
        emit barcodeReceived(data);
        break;
    case HostData::Message:
        emit messageReceived(data);
        break;
    case HostData::Log:
        emit logDataReceived(data);
        break;
    }
}

bool KXDeviceConnector::hostBacklogFull() const
{
    return m_hostBacklog > HostBacklogLimit;
}

void KXDeviceConnector::hostTook(qint64 bytes)
{
    const qint64 before = m_hostBacklog.fetch_sub(bytes);
    // Only the step below the limit concerns a waiter.
    if (before > HostBacklogLimit && before - bytes <= HostBacklogLimit) {
        QMutexLocker locker(&m_backlogMutex);
        m_backlogDrained.wakeAll();
    }
}

void KXDeviceConnector::waitForHostBacklog(int ms)
{
    QMutexLocker locker(&m_backlogMutex);
    if (hostBacklogFull())
        m_backlogDrained.wait(&m_backlogMutex, ulong(ms));
}

bool KXDeviceConnector::dispatchUpStreamData(const QByteArray& data, bool checkRepeat)
{
    bool repeat = false;
    if (!data.isEmpty()) {
        if (checkRepeat) {
            repeat = data.size() == m_lastUpstreamChunk.size() && data == m_lastUpstreamChunk;
            m_lastUpstreamChunk = data;
        }
        m_upstreamBuffer.append(data);
        m_upstreamTimer.start();
    } else if (m_upstreamBuffer.isEmpty()) {
        m_upstreamTimer.start();
        return false;
    }

    const int pos = GetCmdResponsePos(m_upstreamBuffer, DataProtocol7E08, upstreamCommands());
    if (pos < 0) {
        // A repeated chunk is a new scan of the same code: emit it at once
        // rather than merge it with the previous one.
        if (checkRepeat && !repeat && m_upstreamTimer.elapsed() <= kBarcodeHoldMs &&
            m_upstreamBuffer.size() <= kBarcodeHoldBytes)
            return true;
        emitToHost(HostData::Barcode, m_upstreamBuffer);
        m_upstreamBuffer.clear();
        return true;
    }

    QByteArray before;
    QByteArray frame;
    QByteArray rest;
    // One read may carry several messages (a burst of scans): each is cut out
    // in turn, so none is passed on as barcode bytes.
    bool more = true;
    while (more && splitDataStreamFrame(m_upstreamBuffer, before, frame, rest)) {
        more = false;
        qCDebug(lcConnector).noquote()
            << "KXDeviceConnector::dispatchUpStreamData...7E08.2-1.." << before.size()
            << hexHead(before, 20) << hexTail(before, 20);
        qCDebug(lcConnector).noquote() << "KXDeviceConnector::dispatchUpStreamData...7E08.2-2.."
                                       << frame.size() << hexHead(frame, 20) << hexTail(frame, 20);
        qCDebug(lcConnector).noquote() << "KXDeviceConnector::dispatchUpStreamData...7E08.2-3.."
                                       << rest.size() << hexHead(rest, 20) << hexTail(rest, 20);
        if (!frame.isEmpty()) {
            if (checkDataStreamChecksum(frame, false)) {
                if (!before.isEmpty())
                    emitToHost(HostData::Barcode, before);
                emitToHost(HostData::Message, frame);
                m_upstreamBuffer.clear();
                if (GetCmdResponsePos(rest, DataProtocol7E08, upstreamCommands()) >= 0) {
                    m_upstreamBuffer = rest;
                    more = true;
                } else if (!rest.isEmpty()) {
                    emitToHost(HostData::Barcode, rest);
                }
            } else {
                const int dropped = m_upstreamBuffer.size();
                m_upstreamBuffer.clear();
                qCDebug(lcConnector).noquote()
                    << "KXDeviceConnector::dispatchUpStreamData...7E08.2-4.." << dropped;
            }
        } else if (!before.isEmpty()) {
            // The header declared an impossible length: pass on everything
            // through it so that the search starts after it next time.
            emitToHost(HostData::Barcode, before);
            m_upstreamBuffer.remove(0, before.size());
            qCDebug(lcConnector).noquote()
                << "KXDeviceConnector::dispatchUpStreamData...7E08.2-5.." << m_upstreamBuffer.size()
                << hexHead(before, 10) << hexTail(before, 10) << hexHead(m_upstreamBuffer, 20);
        }
        before.clear();
        frame.clear();
        rest.clear();
    }

    if (m_upstreamBuffer.size() > kUpstreamLimit) {
        qCDebug(lcConnector).noquote()
            << "KXDeviceConnector::dispatchUpStreamData...7E08.3.." << m_upstreamBuffer.size()
            << hexHead(m_upstreamBuffer, 20) << hexTail(m_upstreamBuffer, 20);
        emitToHost(HostData::Barcode, m_upstreamBuffer);
        m_upstreamBuffer.clear();
    }
    return true;
}

void KXDeviceConnector::keepAliveStep()
{
    if (!m_keepAliveEnabled || !m_transport)
        return;
    if (m_keepAliveTimer.isValid() && m_keepAliveTimer.elapsed() < m_keepAliveInterval)
        return;
    // A failed write leaves the timer as it is, so the next pass retries.
    if (m_transport->write(keepAliveFrame()))
        m_keepAliveTimer.start();
}

void KXDeviceConnector::startKeepAlive(int interval)
{
    m_keepAliveInterval = interval;
    if (interval < kMinKeepAliveInterval) {
        m_keepAliveEnabled = false;
        return;
    }
    // The timer is set before the flag, which the run loop reads first.
    m_keepAliveTimer.start();
    m_keepAliveEnabled = true;
}

void KXDeviceConnector::stopKeepAlive()
{
    m_keepAliveEnabled = false;
}

bool KXDeviceConnector::logQuery()
{
    if (!m_transport || m_logQueryRunning)
        return false;

    {
        QMutexLocker locker(&m_queueMutex);
        m_queue.clear();
    }
    // The run loop must not read the link while the log is being fetched.
    m_running = false;
    wait(200UL);
    m_logQueryStop = false;
    m_logQueryRunning = true;

    if (!m_transport->write(logQueryFrame())) {
        m_logQueryRunning = false;
        return false;
    }

    QByteArray chunk;
    quint32 count =
        m_transport->read_ex(chunk, kLogQueryReadMs, IDataStreamReadWrite::NoInterval, nullptr);
    if (count == 0) {
        m_logQueryRunning = false;
        return false;
    }

    bool ok = false;
    qint64 announced = chunk.mid(kLogLengthOffset, kLogLengthDigits).toLongLong(&ok, 16);
    if (!ok)
        announced = 0;
    emitToHost(HostData::Log, chunk.mid(kLogReplyHeaderSize));
    qint64 total = count;
    while (total <= announced && !m_logQueryStop) {
        chunk.clear();
        count =
            m_transport->read_ex(chunk, kLogQueryReadMs, IDataStreamReadWrite::NoInterval, nullptr);
        if (count == 0)
            break;
        emitToHost(HostData::Log, chunk);
        total += count;
    }

    m_logQueryRunning = false;
    return true;
}

void KXDeviceConnector::logRecv()
{
    if (!m_transport)
        return;
    m_logRecvRunning = true;

    {
        QMutexLocker locker(&m_logMutex);
        if (!m_consumerThread) {
            m_consumeRunning = true;
            m_consumerThread = QThread::create([this] { logConsumeLoop(); });
            m_consumerThread->start(QThread::InheritPriority);
        }
    }

    bool linkClosed = false;
    while (m_logRecvRunning) {
        QByteArray chunk;
        if (m_transport->read_ex(chunk, kLogRecvReadMs, IDataStreamReadWrite::NoInterval, nullptr) >
            0) {
            QMutexLocker locker(&m_logMutex);
            m_logChunks.append(chunk);
            m_logPendingBytes += chunk.size();
            m_logCondition.wakeAll();
            while (m_logPendingBytes > kLogPendingLimit && m_logRecvRunning && m_consumeRunning)
                m_logCondition.wait(&m_logMutex, kLogRecvReadMs);
        } else if (!m_transport->is_open()) {
            linkClosed = true;
            break;
        }
    }

    if (linkClosed)
        emit logDisconnect();
}

void KXDeviceConnector::logConsumeLoop()
{
    QMutexLocker locker(&m_logMutex);
    // A consumer that stopLogRecv has already detached leaves even when a
    // new reception has set consumeRunning again meanwhile.
    const auto active = [this] {
        return m_consumeRunning && m_consumerThread == QThread::currentThread();
    };
    while (active()) {
        while (m_logChunks.isEmpty() && active())
            m_logCondition.wait(&m_logMutex);
        if (!active())
            break;
        const QByteArray chunk = m_logChunks.takeFirst();
        m_logPendingBytes -= chunk.size();
        m_logCondition.wakeAll(); // a reception held back by the limit may go on
        locker.unlock();
        qCDebug(lcConnector) << "logConsumeLoop   =====   " << chunk;
        emitToHost(HostData::Log, chunk);
        // A host that falls behind holds the consumer, then the reception.
        while (hostBacklogFull() && m_consumeRunning)
            waitForHostBacklog(kLogRecvReadMs);
        locker.relock();
    }
    m_logChunks.clear();
    m_logPendingBytes = 0;
}

void KXDeviceConnector::stopLogQuery()
{
    m_logQueryStop = true;
}

void KXDeviceConnector::stopLogRecv()
{
    m_logRecvRunning = false;
    QThread* consumer = nullptr;
    {
        QMutexLocker locker(&m_logMutex);
        m_consumeRunning = false;
        m_logCondition.wakeAll();
        consumer = std::exchange(m_consumerThread, nullptr);
    }
    // Joined outside the mutex: the consumer needs it to leave its loop.
    if (consumer) {
        consumer->wait();
        delete consumer;
    }
}
