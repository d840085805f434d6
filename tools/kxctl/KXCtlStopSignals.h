#ifndef KXCTLSTOPSIGNALS_H
#define KXCTLSTOPSIGNALS_H

#include <QSocketNotifier>
#include <QString>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <sys/time.h>
#include <unistd.h>

// SIGINT and SIGTERM end a device command cleanly, with what it printed so
// far; SIGALRM marks the end of its time. The handler only stores the first
// signal and writes a byte to a pipe that the event loop watches. The pipe alone is not enough:
// under a flood of arrivals the loop keeps delivering posted events and never gets to the pipe, and
// a log query blocks the loop altogether; so the command also checks requested() as it goes.
class KXCtlStopSignals
{
public:
    // Installs the handlers and, from `context`'s event loop, calls `onStop`
    // once a stop is requested. False with a reason.
    static bool install(QObject* context, const std::function<void()>& onStop, QString& error)
    {
        if (s_pipe[0] < 0 && ::pipe2(s_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
            error = QStringLiteral("cannot make a pipe for the signals");
            return false;
        }
        auto* notifier = new QSocketNotifier(s_pipe[0], QSocketNotifier::Read, context);
        QObject::connect(notifier, &QSocketNotifier::activated, context, [onStop] {
            char byte = 0;
            while (::read(s_pipe[0], &byte, 1) == 1) {
            }
            onStop();
        });
        struct sigaction action = {};
        action.sa_handler = &handle;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (int signalNumber : {SIGINT, SIGTERM, SIGALRM})
            ::sigaction(signalNumber, &action, nullptr);
        return true;
    }

    // SIGALRM after `ms`; 0 cancels it.
    static void alarmAfter(int ms)
    {
        itimerval timer = {};
        timer.it_value.tv_sec = ms / 1000;
        timer.it_value.tv_usec = (ms % 1000) * 1000;
        ::setitimer(ITIMER_REAL, &timer, nullptr);
    }

    // The signal that asked for the stop, 0 while none did.
    static int requested() { return s_signal.load(); }

private:
    static void handle(int signalNumber)
    {
        const int savedErrno = errno;
        int none = 0;
        s_signal.compare_exchange_strong(none, signalNumber);
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = ::write(s_pipe[1], &byte, 1);
        errno = savedErrno;
    }

    static inline int s_pipe[2] = {-1, -1};
    static inline std::atomic<int> s_signal{0};
};

#endif // KXCTLSTOPSIGNALS_H
