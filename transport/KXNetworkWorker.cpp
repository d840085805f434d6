#include "KXNetworkWorker.h"

#include "KXTcpSocket.h"
#include "KXTransportLog.h"

#include <QDeadlineTimer>
#include <QThread>

#include <cstring>

namespace {

// How long a connect waits for the link.
constexpr int kConnectWaitMs = 1000;

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
    QMutexLocker locker(&m_mutex);
    m_buffer.append(data);
    m_changed.wakeAll();
    // A device that sends faster than the connector reads is held back by
    // TCP itself: the socket stops reading until a reader makes room.
    if (m_buffer.size() >= ReceiveLimit && m_socket && !m_readPaused) {
        m_readPaused = true;
        m_socket->setReadPaused(true);
    }
}

void KXNetworkWorker::resumeReading()
{
    {
        QMutexLocker locker(&m_mutex);
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
    QMutexLocker locker(&m_mutex);
    m_wakePending = true;
    m_changed.wakeAll();
}

void KXNetworkWorker::shutdownReaders()
{
    QMutexLocker locker(&m_mutex);
    m_shutdown = true;
    m_changed.wakeAll();
    while (m_readers > 0)
        m_readersGone.wait(&m_mutex);
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
        m_readersGone.wakeAll();
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
    QMutexLocker locker(&m_mutex);
    if (!enterRead())
        return 0;
    const QDeadlineTimer deadline(qint64(reponse_time), Qt::PreciseTimer);
    while (m_buffer.size() < nBuffer && !m_shutdown && !deadline.hasExpired())
        m_changed.wait(&m_mutex, deadline);
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
    QMutexLocker locker(&m_mutex);
    if (!enterRead())
        return QByteArray();
    // The whole time is waited out even when bytes come early: upstream
    // data is gathered in batches of one poll. Only the poll between
    // requests may be ended early, by a wake-up; every other read (a log
    // query, the image decode exchange) waits its full time.
    const QDeadlineTimer deadline(qint64(reponse_time), Qt::PreciseTimer);
    while (!(wakeable && m_wakePending) && !m_shutdown && !deadline.hasExpired())
        m_changed.wait(&m_mutex, deadline);
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
    QMutexLocker locker(&m_mutex);
    if (!enterRead())
        return QByteArray();
    const QDeadlineTimer deadline(qint64(reponse_time), Qt::PreciseTimer);
    // Only bytes that arrived since the last look can complete the pattern.
    int searchFrom = 0;
    while (!m_shutdown) {
        if (m_buffer.indexOf(pat, searchFrom) >= 0 || deadline.hasExpired())
            break;
        searchFrom = qMax(0, m_buffer.size() - pat.size() + 1);
        m_changed.wait(&m_mutex, deadline);
    }
    const QByteArray data = takeBuffer();
    leaveRead();
    return data;
}
