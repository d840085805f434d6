#ifndef KXDRIVERTESTUTIL_H
#define KXDRIVERTESTUTIL_H

// Helpers for the driver tests: a pseudo-terminal that plays the device,
// record builders, and a read that runs on its own thread.

#include "KXDataStreamDriver.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kxtest {

// Limits for things that happen at once; generous so a loaded machine passes.
constexpr int waitLimitMs = 5000;
// A read that must end early has to end well before its own limit.
constexpr uint32_t longReadMs = 10000;
constexpr qint64 earlyMs = 2500;

// A pseudo-terminal whose master side plays the device. The test keeps its
// own slave descriptor: it shares the tty with the driver's, so it sees the
// driver's line settings and input queue.
class Pty
{
public:
    Pty()
    {
        char name[256] = {};
        if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
            master_ = slave_ = -1;
            return;
        }
        path_ = name;
        // Sends and receives wait in poll() with a limit, never forever.
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
    ~Pty()
    {
        closeMaster();
        if (slave_ >= 0)
            ::close(slave_);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool isValid() const { return master_ >= 0; }
    QByteArray path() const { return path_; }
    int slave() const { return slave_; }

    bool send(const QByteArray& bytes, int limitMs = waitLimitMs)
    {
        QElapsedTimer timer;
        timer.start();
        qsizetype done = 0;
        while (done < bytes.size() && timer.elapsed() < limitMs) {
            const ssize_t n = ::write(master_, bytes.constData() + done, bytes.size() - done);
            if (n > 0) {
                done += n;
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                return false;
            pollfd p{master_, POLLOUT, 0};
            ::poll(&p, 1, int(qMax<qint64>(0, limitMs - timer.elapsed())));
        }
        return done == bytes.size();
    }

    // What the driver wrote, once `count` bytes came or the limit passed.
    QByteArray receive(int count, int limitMs = waitLimitMs)
    {
        QByteArray got;
        QElapsedTimer timer;
        timer.start();
        while (got.size() < count && timer.elapsed() < limitMs) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, int(qMax<qint64>(0, limitMs - timer.elapsed()))) <= 0)
                continue;
            char chunk[65536];
            const ssize_t n =
                ::read(master_, chunk, qMin<qsizetype>(sizeof chunk, count - got.size()));
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            if (n <= 0)
                break;
            got.append(chunk, int(n));
        }
        return got;
    }

    // Bytes waiting in the tty's input queue, not yet read by the driver.
    int pendingInput() const
    {
        int count = -1;
        ::ioctl(slave_, FIONREAD, &count);
        return count;
    }

    void closeMaster()
    {
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    QByteArray path_;
};

// A handle that is destroyed with the test's scope.
struct Handle
{
    Handle() : id(kxds_create()) {}
    ~Handle() { kxds_destory(id); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    const uint32_t id;
};

inline QByteArray comRecord(uint16_t port, uint32_t baudRate = 115200, uint8_t dataBits = 8,
                            uint8_t stopBits = 0, uint8_t parity = 0)
{
    KXDSComRecord record{};
    record.port = port;
    record.baudRate = baudRate;
    record.dataBits = dataBits;
    record.stopBits = stopBits;
    record.parity = parity;
    return QByteArray(reinterpret_cast<const char*>(&record), sizeof record);
}

inline QByteArray usbRecord(const QString& name, uint8_t type, uint16_t port = 0)
{
    QByteArray record(KXDS_USB_RECORD_SIZE, '\0');
    const int units = qMin(name.size(), int(KXDS_USB_RECORD_SIZE / 2));
    std::memcpy(record.data() + KXDS_USB_NAME_OFFSET, name.utf16(), size_t(units) * 2);
    record[KXDS_USB_TYPE_OFFSET] = char(type);
    record[KXDS_USB_PORT_OFFSET] = char(port & 0xFF);
    record[KXDS_USB_PORT_OFFSET + 1] = char(port >> 8);
    return record;
}

inline const uint8_t* bytes(const QByteArray& record)
{
    return reinterpret_cast<const uint8_t*>(record.constData());
}

inline KXDSComRecord comAt(const std::vector<uint8_t>& records, int index)
{
    KXDSComRecord record;
    std::memcpy(&record, records.data() + size_t(index) * KXDS_COM_RECORD_SIZE, sizeof record);
    return record;
}

// Descriptors of this process open on `path` (the test's own slave included).
inline int descriptorsOn(const QByteArray& path)
{
    int count = 0;
    for (int fd = 0; fd < 4096; ++fd) {
        char target[PATH_MAX];
        const QByteArray link = "/proc/self/fd/" + QByteArray::number(fd);
        const ssize_t n = ::readlink(link.constData(), target, sizeof target);
        if (n > 0 && QByteArray(target, int(n)) == path)
            ++count;
    }
    return count;
}

inline QByteArray allByteValues()
{
    QByteArray all(256, '\0');
    for (int i = 0; i < 256; ++i)
        all[i] = char(i);
    return all;
}

// One read on its own thread, so the test can act while it waits.
class BackgroundRead
{
public:
    explicit BackgroundRead(std::function<uint32_t(uint8_t*, uint32_t&)> read)
        : thread_([this, read] {
              QElapsedTimer timer;
              timer.start();
              count_ = read(buffer_.data(), error_);
              elapsedMs_ = timer.elapsed();
              done_ = true;
          })
    {
    }
    ~BackgroundRead()
    {
        if (thread_.joinable())
            thread_.join();
    }

    bool isDone() const { return done_; }
    QByteArray result() const
    {
        return QByteArray(reinterpret_cast<const char*>(buffer_.data()), int(count_));
    }
    uint32_t error() const { return error_; }
    qint64 elapsedMs() const { return elapsedMs_; }

    static constexpr uint32_t capacity = 4096;

private:
    std::vector<uint8_t> buffer_ = std::vector<uint8_t>(capacity, 0);
    uint32_t count_ = 0;
    uint32_t error_ = 0xFFFF;
    qint64 elapsedMs_ = 0;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

} // namespace kxtest

#endif // KXDRIVERTESTUTIL_H
