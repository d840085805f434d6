#include "KXNetworkWorker.h"

#include "KXTcpSocket.h"
#include "KXTransportLog.h"

#include <QThread>

#include <chrono>
#include <cstring>

namespace {

// How long a connect waits for the link.
constexpr int kConnectWaitMs = 1000;

std::chrono::steady_clock::time_point deadlineAfter(uint ms)
{
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

bool hasExpired(std::chrono::steady_clock::time_point deadline)
{
    return std::chrono::steady_clock::now() >= deadline;
}

} // namespace

KXNetworkWorker::KXNetworkWorker(QObject* parent) : QObject(parent) {}

KXNetworkWorker::~KXNetworkWorker()
{
    qCDebug(lcTransport) << "KXNetworkWorker::~KXNetworkWorker()...";
    delete m_socket;
}

bool KXNetworkWorker::isConnected() const
{
    const KXTcpSocket* socket = m_socket;
    return socket && socket->state() == QAbstractSocket::ConnectedState;
}

bool KXNetworkWorker::connect_to_tcp(QString ip, quint16 port, bool isReconnectEnable)
{
    qCDebug(lcTransport) << "KXNetworkWorker::connect_to_tcp..." << QThread::currentThreadId();
    if (!m_socket) {
        auto* socket = new KXTcpSocket(nullptr, isReconnectEnable);
        connect(socket, &KXTcpSocket::connectChanged, this, &KXNetworkWorker::connectChanged);
        connect(socket, &KXTcpSocket::binaryMessageReceived, this,
                &KXNetworkWorker::OnBinaryMessageReceived);
        m_socket = socket;
    }
    return m_socket->connectTo(ip, port, kConnectWaitMs);
}

bool KXNetworkWorker::disconnect_from_host()
{
    if (m_socket)
        m_socket->disconnectFromHost();
    return true;
}

bool KXNetworkWorker::write(QByteArray data)
{
    return m_socket && m_socket->writeAll(data);
}

void KXNetworkWorker::releaseSocket()
{
    delete m_socket;
    m_socket = nullptr;
}

void KXNetworkWorker::OnBinaryMessageReceived(QByteArray data)
{
    {
        const std::lock_guard<std::mutex> locker(m_mutex);
        m_buffer.append(data);
        // A device that sends faster than the connector reads is held back
        // by TCP itself: the socket stops reading until a reader makes room.
        if (m_buffer.size() >= ReceiveLimit && m_socket && !m_readPaused) {
            m_readPaused = true;
            m_socket->setReadPaused(true);
        }
    }
    // Woken after unlocking: a reader woken under the lock would at once
    // block on it again, one more round trip between the threads.
    m_changed.notify_all();
}

void KXNetworkWorker::resumeReading()
{
    {
        const std::lock_guard<std::mutex> locker(m_mutex);
        m_resumePosted = false;
        if (!m_readPaused || m_buffer.size() >= ReceiveLimit)
            return;
        m_readPaused = false;
    }
    // Delivers what the socket holds already, through OnBinaryMessageReceived.
    if (m_socket)
        m_socket->setReadPaused(false);
}

void KXNetworkWorker::requestResume()
{
    if (m_readPaused && !m_resumePosted && m_buffer.size() < ReceiveLimit) {
        m_resumePosted = true;
        QMetaObject::invokeMethod(this, &KXNetworkWorker::resumeReading, Qt::QueuedConnection);
    }
}

void KXNetworkWorker::wakeReaders()
{
    {
        const std::lock_guard<std::mutex> locker(m_mutex);
        m_wakePending = true;
    }
    m_changed.notify_all();
}

void KXNetworkWorker::shutdownReaders()
{
    std::unique_lock<std::mutex> locker(m_mutex);
    m_shutdown = true;
    m_changed.notify_all();
    while (m_readers > 0)
        m_readersGone.wait(locker);
}

bool KXNetworkWorker::enterRead()
{
    if (m_shutdown)
        return false;
    ++m_readers;
    m_elapsed.restart();
    return true;
}

void KXNetworkWorker::leaveRead()
{
    if (--m_readers == 0 && m_shutdown)
        m_readersGone.notify_all();
}

QByteArray KXNetworkWorker::takeBuffer()
{
    QByteArray data;
    data.swap(m_buffer);
    requestResume();
    return data;
}

uint KXNetworkWorker::read_data(quint8* pszBuffer, int nBuffer, uint reponse_time)
{
    if (nBuffer < 1 || !pszBuffer)
        return 0;
    std::unique_lock<std::mutex> locker(m_mutex);
    if (!enterRead())
        return 0;
    const auto deadline = deadlineAfter(reponse_time);
    while (m_buffer.size() < nBuffer && !m_shutdown && !hasExpired(deadline))
        m_changed.wait_until(locker, deadline);
    const int count = qMin(nBuffer, m_buffer.size());
    if (count > 0) {
        std::memcpy(pszBuffer, m_buffer.constData(), size_t(count));
        m_buffer.remove(0, count);
        requestResume();
    }
    leaveRead();
    return uint(count);
}

QByteArray KXNetworkWorker::read_ex(uint reponse_time, uint interval, uint* error)
{
    Q_UNUSED(interval) // the arriving bytes wake us; there is no polling step
    Q_UNUSED(error)
    return readFor(reponse_time, false);
}

QByteArray KXNetworkWorker::read_poll(uint reponse_time)
{
    return readFor(reponse_time, true);
}

QByteArray KXNetworkWorker::readFor(uint reponse_time, bool wakeable)
{
    std::unique_lock<std::mutex> locker(m_mutex);
    if (!enterRead())
        return QByteArray();
    // The whole time is waited out even when bytes come early: upstream
    // data is gathered in batches of one poll. Only the poll between
    // requests may be ended early, by a wake-up; every other read (a log
    // query, the image decode exchange) waits its full time.
    const auto deadline = deadlineAfter(reponse_time);
    while (!(wakeable && m_wakePending) && !m_shutdown && !hasExpired(deadline))
        m_changed.wait_until(locker, deadline);
    if (wakeable)
        m_wakePending = false;
    const QByteArray data = takeBuffer();
    leaveRead();
    return data;
}

QByteArray KXNetworkWorker::read_until(uint reponse_time, uint interval, QByteArray pat,
                                       uint* error)
{
    if (pat.isEmpty())
        return read_ex(reponse_time, interval, error);
    std::unique_lock<std::mutex> locker(m_mutex);
    if (!enterRead())
        return QByteArray();
    const auto deadline = deadlineAfter(reponse_time);
    // Only bytes that arrived since the last look can complete the pattern.
    int searchFrom = 0;
    while (!m_shutdown) {
        if (m_buffer.indexOf(pat, searchFrom) >= 0 || hasExpired(deadline))
            break;
        searchFrom = qMax(0, m_buffer.size() - pat.size() + 1);
        m_changed.wait_until(locker, deadline);
    }
    const QByteArray data = takeBuffer();
    leaveRead();
    return data;
}
