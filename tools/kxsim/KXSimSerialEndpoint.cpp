#include "KXSimSerialEndpoint.h"

#include "KXSimLog.h"
#include "KXSimPtyLink.h"
#include "KXSimSession.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

KXSimSerialEndpoint::KXSimSerialEndpoint(KXSimDevice& device, const QString& linkPath,
                                         QObject* parent)
    : KXSimEndpoint(parent), m_device(device), m_linkPath(linkPath)
{
}

KXSimSerialEndpoint::~KXSimSerialEndpoint()
{
    closeTerminal();
    removeSymlink();
}

bool KXSimSerialEndpoint::start(QString& error)
{
    return openTerminal(error) && placeSymlink(error);
}

QString KXSimSerialEndpoint::description() const
{
    return QStringLiteral("serial %1").arg(m_slavePath);
}

bool KXSimSerialEndpoint::openTerminal(QString& error)
{
    int master = -1;
    char name[128] = {};
    if (::openpty(&master, &m_slave, name, nullptr, nullptr) != 0) {
        error = QStringLiteral("cannot open a pseudo-terminal: %1")
                    .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    // Raw before any host opens it, so nothing is echoed or translated.
    termios tio{};
    ::tcgetattr(m_slave, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(m_slave, TCSANOW, &tio);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_slave, F_SETFD, FD_CLOEXEC);
    m_slavePath = QString::fromLocal8Bit(name);

    auto* link = new KXSimPtyLink(master, m_slavePath);
    m_session = new KXSimSession(m_device, link, KXSimSession::Greet::OnFirstInput, this);
    connect(m_session, &KXSimSession::finished, this, &KXSimSerialEndpoint::hangUp);
    return true;
}

void KXSimSerialEndpoint::closeTerminal()
{
    // The session owns the link, which owns the master.
    delete m_session;
    m_session = nullptr;
    if (m_slave >= 0)
        ::close(m_slave);
    m_slave = -1;
}

bool KXSimSerialEndpoint::placeSymlink(QString& error)
{
    if (m_linkPath.isEmpty())
        return true;
    const QByteArray path = QFile::encodeName(m_linkPath);
    struct stat info
    {
    };
    // Replace only a symlink (one left by an earlier run); never a file.
    if (::lstat(path.constData(), &info) == 0) {
        if (!S_ISLNK(info.st_mode)) {
            error = QStringLiteral("%1 exists and is not a symlink").arg(m_linkPath);
            return false;
        }
        ::unlink(path.constData());
    }
    if (::symlink(QFile::encodeName(m_slavePath).constData(), path.constData()) != 0) {
        error = QStringLiteral("cannot create the symlink %1: %2")
                    .arg(m_linkPath, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    return true;
}

void KXSimSerialEndpoint::removeSymlink()
{
    if (m_linkPath.isEmpty())
        return;
    // Only our own link: another run may have taken the path over.
    const QByteArray path = QFile::encodeName(m_linkPath);
    char target[4096];
    const ssize_t size = ::readlink(path.constData(), target, sizeof target);
    if (size > 0 && QByteArray(target, int(size)) == QFile::encodeName(m_slavePath))
        ::unlink(path.constData());
}

void KXSimSerialEndpoint::hangUp()
{
    // Deleting the session from its own signal is not safe: defer.
    m_session->disconnect(this);
    m_session->deleteLater();
    m_session = nullptr;
    if (m_slave >= 0)
        ::close(m_slave);
    m_slave = -1;
    removeSymlink();

    QString error;
    if (!openTerminal(error) || !placeSymlink(error)) {
        qCWarning(lcSim) << "serial endpoint stopped:" << error;
        return;
    }
    emit descriptionChanged(description());
}
