#include "KXSimPtyLink.h"

#include <QSocketNotifier>

#include <cerrno>
#include <unistd.h>

KXSimPtyLink::KXSimPtyLink(int masterFd, const QString& slavePath, QObject* parent)
    : KXSimLink(parent), m_master(masterFd), m_slavePath(slavePath),
      m_readNotifier(new QSocketNotifier(masterFd, QSocketNotifier::Read, this)),
      m_writeNotifier(new QSocketNotifier(masterFd, QSocketNotifier::Write, this))
{
    m_writeNotifier->setEnabled(false);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &KXSimPtyLink::readAvailable);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &KXSimPtyLink::writePending);
}

KXSimPtyLink::~KXSimPtyLink()
{
    // Notifiers must go before their descriptor.
    delete m_readNotifier;
    delete m_writeNotifier;
    ::close(m_master);
}

void KXSimPtyLink::write(const QByteArray& bytes)
{
    if (m_closed)
        return;
    if (m_pending.size() + bytes.size() > MaxPending)
        m_pending.clear(); // nobody reads the port: old output is worthless
    m_pending.append(bytes);
    writePending();
}

void KXSimPtyLink::setReadingPaused(bool paused)
{
    m_readNotifier->setEnabled(!paused && !m_closed);
}

void KXSimPtyLink::drop()
{
    m_pending.clear();
    close();
}

void KXSimPtyLink::close()
{
    if (m_closed)
        return;
    m_closed = true;
    m_readNotifier->setEnabled(false);
    m_writeNotifier->setEnabled(false);
    // Queued, so that a session may close from inside its own handler.
    QMetaObject::invokeMethod(this, &KXSimPtyLink::closed, Qt::QueuedConnection);
}

QString KXSimPtyLink::peerName() const
{
    return QStringLiteral("serial %1").arg(m_slavePath);
}

void KXSimPtyLink::readAvailable()
{
    // One read per wake-up, so that a host that never stops writing cannot
    // keep the event loop from signals and other links.
    char buffer[65536];
    ssize_t n = 0;
    do {
        n = ::read(m_master, buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        emit received(QByteArray(buffer, int(n)));
        return;
    }
    if (n < 0 && errno == EAGAIN)
        return;
    // EIO means no slave is open, which our own descriptor rules out;
    // stop rather than spin on a condition that repeats.
    m_readNotifier->setEnabled(false);
}

void KXSimPtyLink::writePending()
{
    qint64 done = 0;
    while (done < m_pending.size()) {
        const ssize_t n =
            ::write(m_master, m_pending.constData() + done, size_t(m_pending.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    // One removal per call: a terminal takes a few KiB at a time.
    m_pending.remove(0, int(done));
    m_writeNotifier->setEnabled(!m_pending.isEmpty() && !m_closed);
    if (done > 0)
        emit written();
}
