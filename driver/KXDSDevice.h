#ifndef KXDSDEVICE_H
#define KXDSDEVICE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

namespace kxds {

// One open tty or TCP socket. Every call may run on any thread at the same
// time as shutdown().
//
// A device is let go as soon as it is closed or found gone (hang-up, EIO,
// ENODEV, peer left): its lock is dropped and /dev/null is put in place of
// its descriptor with dup3(), so the tty or socket itself is closed at once
// and its node can be opened again while other threads still hold the
// device. The descriptor number stays ours until the last owner drops its
// reference, so a reader never polls a number that was closed and reused;
// every loop checks the closed and gone flags (set before the swap) before
// it touches the descriptor again, and the end descriptor wakes the waiters.
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

    // Marks the device closed, lets it go and wakes every read and write
    // waiting on it.
    void shutdown();

    // False once closed, hung up, unplugged or left by the TCP peer.
    bool isOpen();

    // Stores arriving bytes until `capacity` is full, the stored bytes
    // contain `pattern` (when patternLength > 0) or `timeoutMs` has passed.
    // When `wakeFd` is an eventfd (else -1), a count taken from it also ends
    // the read. `error` gets KXDS_ERROR_NONE, KXDS_ERROR_IO (hang-up; what
    // came is returned) or KXDS_ERROR_NOT_OPEN (closed while waiting).
    uint32_t read(uint8_t* buffer, uint32_t capacity, uint32_t timeoutMs, const char* pattern,
                  size_t patternLength, int wakeFd, uint32_t& error);

    // Writes all bytes within `timeoutMs`; false on any shortfall.
    bool write(const uint8_t* data, size_t size, uint32_t timeoutMs);

    // Drops input that arrived and was not read yet.
    void discardInput();

private:
    Device(int fd, int endFd, Kind kind);

    long readSome(uint8_t* buffer, size_t size);
    long writeSome(const uint8_t* data, size_t size);
    void markGone();
    // Drops the port's lock and closes the tty or socket behind fd_, once.
    void release();
    // Wakes every waiter; the counter is never emptied, so it stays visible.
    void signalEnd();

    const int fd_;
    const int endFd_;
    const Kind kind_;
    std::atomic<bool> closed_{false};
    std::atomic<bool> gone_{false};
    std::atomic<bool> released_{false};
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
