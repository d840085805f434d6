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
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n > 0) {
            emit received(QByteArray(buffer, int(n)));
            if (m_closed)
                return;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return;
        // EIO means no slave is open, which our own descriptor rules out;
        // stop rather than spin on a condition that repeats.
        m_readNotifier->setEnabled(false);
        return;
    }
}

void KXSimPtyLink::writePending()
{
    while (!m_pending.isEmpty()) {
        const ssize_t n = ::write(m_master, m_pending.constData(), size_t(m_pending.size()));
        if (n > 0) {
            m_pending.remove(0, int(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    m_writeNotifier->setEnabled(!m_pending.isEmpty() && !m_closed);
}
