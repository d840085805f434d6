#ifndef KXDRIVERTESTUTIL_H
#define KXDRIVERTESTUTIL_H

// Helpers for the driver tests: record builders, descriptor counts, and reads
// that run on their own thread.

#include "KXDataStreamDriver.h"
#include "support/KXPtyPeer.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <chrono>
#include <cstring>
#include <future>
#include <sys/stat.h>

namespace kxtest {

// Limits for things that happen at once; generous so a loaded machine passes.
constexpr int waitLimitMs = 5000;
// A read that must end early; waitLimitMs tells that it did.
constexpr uint32_t longReadMs = 2 * waitLimitMs;

inline QByteArray comRecord(uint16_t port, uint32_t baudRate = 115200, uint8_t dataBits = 8,
                            uint8_t stopBits = 0, uint8_t parity = 0)
{
    const KXDSComRecord record{port, 0, 0, baudRate, dataBits, stopBits, parity, 0};
    return QByteArray(reinterpret_cast<const char*>(&record), sizeof record);
}

inline QByteArray usbRecord(const QString& name, uint8_t type = 1, uint16_t port = 0)
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

// The device number of the tty at `path`.
inline dev_t ttyOf(const QString& path)
{
    struct stat info = {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_rdev : 0;
}

// Descriptors of this process open on the tty `tty` (the test's own slave
// included). By number, since a hung-up pty's node is deleted.
inline int descriptorsOn(dev_t tty)
{
    int count = tty == 0 ? -1 : 0; // -1: no such tty to begin with
    for (const QFileInfo& fd : QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::System))
        count += ttyOf(fd.filePath()) == tty;
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
