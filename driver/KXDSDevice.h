#ifndef KXDSDEVICE_H
#define KXDSDEVICE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

namespace kxds {

// One open tty or TCP socket. Every call may run on any thread at the same
// time as shutdown(): the descriptor stays valid until the last owner drops
// its reference, so a reader never polls a number that was closed and
// reused; shutdown() only wakes the readers and marks the device closed.
class Device
{
public:
    enum class Kind
    {
        Tty,
        Socket
    };

    // Takes ownership of `fd`; null (with `fd` closed) when no wake-up
    // descriptor can be made.
    static std::shared_ptr<Device> adopt(int fd, Kind kind);
    ~Device();

    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Marks the device closed and wakes every read and write waiting on it.
    void shutdown();

    // Ends a read that waits without a pattern (or the next one) early,
    // without closing anything, so that a caller with new work need not sit
    // out a poll.
    void wakeReaders();

    // False once closed, hung up, unplugged or left by the TCP peer.
    bool isOpen();

    // Stores arriving bytes until `capacity` is full, the stored bytes
    // contain `pattern` (when patternLength > 0) or `timeoutMs` has passed.
    // `error` gets KXDS_ERROR_NONE, KXDS_ERROR_IO (hang-up; what came is
    // returned) or KXDS_ERROR_NOT_OPEN (closed while waiting).
    uint32_t read(uint8_t* buffer, uint32_t capacity, uint32_t timeoutMs, const char* pattern,
                  size_t patternLength, uint32_t& error);

    // Writes all bytes within `timeoutMs`; false on any shortfall.
    bool write(const uint8_t* data, size_t size, uint32_t timeoutMs);

    // Drops input that arrived and was not read yet.
    void discardInput();

private:
    Device(int fd, int wakeFd, Kind kind);

    long readSome(uint8_t* buffer, size_t size);
    long writeSome(const uint8_t* data, size_t size);
    void markGone() { gone_.store(true); }
    // Empties the wake-up counter unless the device is closed, whose wake-up
    // must stay visible to every waiter.
    void drainWake();

    const int fd_;
    const int wakeFd_;
    const Kind kind_;
    std::atomic<bool> closed_{false};
    std::atomic<bool> gone_{false};
    std::atomic<bool> wakePending_{false};
    // Keeps two writers from interleaving their bytes.
    std::mutex writeMutex_;
};

// Result of an opening: a device, or null and a KXDS_ERROR_* code.
struct OpenResult
{
    std::shared_ptr<Device> device;
    uint32_t error = 0;
};

} // namespace kxds

#endif // KXDSDEVICE_H
