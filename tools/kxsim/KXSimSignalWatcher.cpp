#include "KXSimSignalWatcher.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

int KXSimSignalWatcher::s_pipe[2] = {-1, -1};

KXSimSignalWatcher::KXSimSignalWatcher(QObject* parent) : QObject(parent) {}

KXSimSignalWatcher::~KXSimSignalWatcher()
{
    if (!m_notifier)
        return;
    for (int signalNumber : {SIGINT, SIGTERM})
        std::signal(signalNumber, SIG_DFL);
    delete m_notifier;
    ::close(s_pipe[0]);
    ::close(s_pipe[1]);
    s_pipe[0] = s_pipe[1] = -1;
}

bool KXSimSignalWatcher::install(QString& error)
{
    if (::pipe2(s_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = QStringLiteral("cannot make a pipe: %1")
                    .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    m_notifier = new QSocketNotifier(s_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &KXSimSignalWatcher::readSignals);

    struct sigaction action
    {
    };
    action.sa_handler = &KXSimSignalWatcher::handleSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signalNumber : {SIGINT, SIGTERM})
        ::sigaction(signalNumber, &action, nullptr);
    // A host that hangs up mid-write must not kill the simulator.
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

void KXSimSignalWatcher::handleSignal(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(s_pipe[1], &byte, 1);
    errno = savedErrno;
}

void KXSimSignalWatcher::readSignals()
{
    unsigned char byte = 0;
    while (::read(s_pipe[0], &byte, 1) == 1)
        emit terminationRequested(byte);
}
