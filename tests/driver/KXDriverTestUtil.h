#ifndef KXDRIVERTESTUTIL_H
#define KXDRIVERTESTUTIL_H

// Helpers for the driver tests: record builders, descriptor counts, and reads
// that run on their own thread.

#include "KXDataStreamDriver.h"
#include "support/KXPtyPeer.h"
#include "support/KXReaderThread.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

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

// `name` may fill the whole name field, terminator included.
inline QByteArray usbRecord(const QString& name, uint8_t type = 1, uint16_t port = 0)
{
    QByteArray record(KXDS_USB_RECORD_SIZE, '\0');
    std::memcpy(record.data() + KXDS_USB_NAME_OFFSET, name.utf16(), size_t(name.size()) * 2);
    record[KXDS_USB_TYPE_OFFSET] = char(type);
    record[KXDS_USB_PORT_OFFSET] = char(port & 0xFF);
    record[KXDS_USB_PORT_OFFSET + 1] = char(port >> 8);
    return record;
}

inline const uint8_t* u8(const QByteArray& data)
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
    // Both at once, such as "x/7", for one comparison.
    QByteArray text() const { return data + '/' + QByteArray::number(error); }
};

// Runs kxds_read_ex ('x'), kxds_read_until ('u') or kxds_read_poll ('p') on
// its own thread, so the test can act while it waits. A null pattern is a
// null pointer. The interval is huge: the driver must not wait on it. The
// 4096-byte buffer starts full of CR LF, so a search past the stored bytes
// would find one.
inline std::future<ReadResult> startRead(uint32_t handle, char function = 'x',
                                         const QByteArray& pattern = {}, int length = 0,
                                         uint32_t timeMs = longReadMs, uint32_t capacity = 4096)
{
    return onReaderThread([=] {
        QByteArray buffer = QByteArray("\r\n").repeated(2048);
        const auto into = reinterpret_cast<uint8_t*>(buffer.data());
        const char* search = pattern.isNull() ? nullptr : pattern.constData();
        ReadResult result;
        const uint32_t stored = function == 'u'
                                    ? kxds_read_until(handle, into, capacity, timeMs, 100000,
                                                      search, length, &result.error)
                                    : (function == 'x' ? kxds_read_ex : kxds_read_poll)(
                                          handle, into, capacity, timeMs, 100000, &result.error);
        result.data = buffer.left(int(stored));
        return result;
    });
}

} // namespace kxtest

#endif // KXDRIVERTESTUTIL_H
