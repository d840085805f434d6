#ifndef KXPTYPEER_H
#define KXPTYPEER_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace kxtest {

// A pseudo-terminal pair whose master side plays the device. The slave path
// is what the driver library opens, as it would a serial port or a USB
// scanner's data pipe.
class PtyPeer
{
public:
    PtyPeer()
    {
        char name[128] = {};
        if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
            m_master = m_slave = -1;
            return;
        }
        m_slavePath = QString::fromLocal8Bit(name);
        // Raw from the start, so nothing written before the driver opens the
        // port is echoed or translated.
        termios tio{};
        ::tcgetattr(m_slave, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(m_slave, TCSANOW, &tio);
        ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    }
    ~PtyPeer()
    {
        closeMaster();
        if (m_slave >= 0)
            ::close(m_slave);
    }
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    bool isValid() const { return m_master >= 0; }
    QString slavePath() const { return m_slavePath; }
    // The test's own end of the tty: it sees the driver's line settings.
    int slave() const { return m_slave; }
    // Bytes waiting in the tty's input queue, not yet read by the driver.
    int pendingInput() const
    {
        int count = -1;
        ::ioctl(m_slave, FIONREAD, &count);
        return count;
    }

    // The device side hangs up: the driver's end sees the line drop.
    void closeMaster()
    {
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
        if (m_slave >= 0)
            ::close(m_slave);
        m_slave = -1;
    }

    bool write(const QByteArray& bytes)
    {
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n =
                ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
            if (n < 0) {
                if (errno != EAGAIN)
                    return false;
                pollfd pfd{m_master, POLLOUT, 0};
                ::poll(&pfd, 1, 1000);
                continue;
            }
            done += n;
        }
        return true;
    }

    // Reads until `count` bytes came or `timeoutMs` passed.
    QByteArray read(int count, int timeoutMs = 5000)
    {
        QByteArray out;
        QElapsedTimer elapsed;
        elapsed.start();
        while (out.size() < count && elapsed.elapsed() < timeoutMs) {
            pollfd pfd{m_master, POLLIN, 0};
            if (::poll(&pfd, 1, int(qMax<qint64>(1, timeoutMs - elapsed.elapsed()))) <= 0)
                continue;
            char buffer[4096];
            const ssize_t n =
                ::read(m_master, buffer, size_t(qMin(int(sizeof buffer), count - out.size())));
            if (n > 0)
                out.append(buffer, int(n));
            else if (n < 0 && errno != EAGAIN)
                break;
        }
        return out;
    }

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_slavePath;
};

} // namespace kxtest

#endif // KXPTYPEER_H
