#ifndef KXDRIVERTESTUTIL_H
#define KXDRIVERTESTUTIL_H

// Helpers for the driver tests: a pseudo-terminal that plays the device,
// record builders, and reads that run on their own thread.

#include "KXDataStreamDriver.h"

#include <QByteArray>
#include <QDir>
#include <QString>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <utility>

namespace kxtest {

// Limits for things that happen at once; generous so a loaded machine passes.
constexpr int waitLimitMs = 5000;
// A read that must end early; waitLimitMs tells that it did.
constexpr uint32_t longReadMs = 2 * waitLimitMs;

// A pseudo-terminal whose master side plays the device. The test keeps its
// own slave descriptor: it shares the tty with the driver's, so it sees the
// driver's line settings and input queue.
class Pty
{
public:
    Pty()
    {
        if (::openpty(&master_, &slave_, nullptr, nullptr, nullptr) == 0) {
            path_ = ::ttyname(slave_);
            // Sends and receives wait in poll() with a limit, never forever.
            ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
        }
    }
    ~Pty()
    {
        closeMaster();
        ::close(slave_);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    QByteArray path() const { return path_; }
    int slave() const { return slave_; }
    void closeMaster() { ::close(std::exchange(master_, -1)); }

    bool send(const QByteArray& data)
    {
        for (int done = 0; done < data.size();) {
            const ssize_t n = ::write(master_, data.constData() + done, size_t(data.size() - done));
            if (n > 0)
                done += int(n);
            else if (!(n < 0 && errno == EAGAIN && waitFor(POLLOUT)))
                return false;
        }
        return true;
    }

    // What the driver wrote, once `count` bytes came or it stopped writing.
    QByteArray receive(int count)
    {
        QByteArray got(count, '\0');
        int done = 0;
        while (done < count) {
            const ssize_t n = ::read(master_, got.data() + done, size_t(count - done));
            if (n > 0)
                done += int(n);
            else if (!(n < 0 && errno == EAGAIN && waitFor(POLLIN)))
                break;
        }
        return got.left(done);
    }

    // Bytes waiting in the tty's input queue, not yet read by the driver.
    int pendingInput() const
    {
        int count = -1;
        ::ioctl(slave_, FIONREAD, &count);
        return count;
    }

private:
    bool waitFor(short events)
    {
        pollfd p{master_, events, 0};
        return ::poll(&p, 1, waitLimitMs) > 0;
    }

    int master_ = -1;
    int slave_ = -1;
    QByteArray path_;
};

inline QByteArray comRecord(uint16_t port, uint32_t baudRate = 115200, uint8_t dataBits = 8,
                            uint8_t stopBits = 0, uint8_t parity = 0)
{
    const KXDSComRecord record{port, 0, 0, baudRate, dataBits, stopBits, parity, 0};
    return QByteArray(reinterpret_cast<const char*>(&record), sizeof record);
}

inline QByteArray usbRecord(const QString& name, uint8_t type, uint16_t port = 0)
{
    QByteArray record(KXDS_USB_RECORD_SIZE, '\0');
    std::memcpy(record.data() + KXDS_USB_NAME_OFFSET, name.utf16(),
                size_t(qMin(name.size(), KXDS_USB_RECORD_SIZE / 2)) * 2);
    record[KXDS_USB_TYPE_OFFSET] = char(type);
    record[KXDS_USB_PORT_OFFSET] = char(port & 0xFF);
    record[KXDS_USB_PORT_OFFSET + 1] = char(port >> 8);
    return record;
}

inline const uint8_t* bytes(const QByteArray& data)
{
    return reinterpret_cast<const uint8_t*>(data.constData());
}

// Descriptors of this process open on `path` (the test's own slave included).
inline int descriptorsOn(const QByteArray& path)
{
    int count = 0;
    for (const QFileInfo& fd : QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::System))
        count += fd.symLinkTarget() == QString::fromLocal8Bit(path);
    return count;
}

struct ReadResult
{
    QByteArray data;
    uint32_t error = 0xFFFF;
};

// Runs `read(buffer, error)` on its own thread, so the test can act while it
// waits. The 4096-byte buffer starts full of CR LF, so a search past the
// stored bytes would find one.
template <typename Read>
std::future<ReadResult> inBackground(Read read)
{
    return std::async(std::launch::async, [read] {
        QByteArray buffer = QByteArray("\r\n").repeated(2048);
        ReadResult result;
        result.data =
            buffer.left(int(read(reinterpret_cast<uint8_t*>(buffer.data()), result.error)));
        return result;
    });
}

// A long kxds_read_until for `pattern`, or kxds_read_ex without one.
inline std::future<ReadResult> longRead(uint32_t handle, const QByteArray& pattern = QByteArray())
{
    return inBackground([handle, pattern](uint8_t* buffer, uint32_t& error) {
        return pattern.isEmpty() ? kxds_read_ex(handle, buffer, 4096, longReadMs, 0, &error)
                                 : kxds_read_until(handle, buffer, 4096, longReadMs, 0,
                                                   pattern.constData(), pattern.size(), &error);
    });
}

inline bool isReady(const std::future<ReadResult>& read, int limitMs = waitLimitMs)
{
    return read.wait_for(std::chrono::milliseconds(limitMs)) == std::future_status::ready;
}

} // namespace kxtest

#endif // KXDRIVERTESTUTIL_H
