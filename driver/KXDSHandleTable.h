#ifndef KXDSHANDLETABLE_H
#define KXDSHANDLETABLE_H

#include "KXDSDevice.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace kxds {

// What one handle holds: at most one open device, and the wake-ups for its
// poll reads. Callers copy the device pointer out under the lock and do
// their I/O without it, so a close from another thread never waits for a
// read to finish.
class HandleSlot
{
public:
    HandleSlot();
    ~HandleSlot();
    HandleSlot(const HandleSlot&) = delete;
    HandleSlot& operator=(const HandleSlot&) = delete;

    // False when no wake-up descriptor could be made.
    bool isValid() const { return wakeFd_ >= 0; }
    // An eventfd whose count is the pending wake-up: it belongs to the handle,
    // so a wake-up survives a close and reopen; valid while the slot lives.
    int wakeFd() const { return wakeFd_; }
    void wakeReaders();

    std::shared_ptr<Device> device();
    // Removes the device and wakes whoever still uses it.
    void closeDevice();
    // Installs a freshly opened device; false (device shut down) when the
    // handle was destroyed meanwhile.
    bool attach(std::shared_ptr<Device> device);
    // Closes the device and refuses later attaches.
    void destroy();

private:
    const int wakeFd_;
    std::mutex mutex_;
    std::shared_ptr<Device> device_;
    bool destroyed_ = false;
};

// The process-wide table of handles. Safe from any thread.
class HandleTable
{
public:
    static HandleTable& instance();

    // A fresh nonzero handle, or 0 when the table is full or out of descriptors.
    uint32_t create();
    std::shared_ptr<HandleSlot> find(uint32_t handle);
    // Takes the handle out of the table; null when unknown.
    std::shared_ptr<HandleSlot> remove(uint32_t handle);

private:
    HandleTable() = default;

    // Enough for any host; stops a runaway caller from growing the table.
    static constexpr size_t maxHandles = 65536;

    std::mutex mutex_;
    std::unordered_map<uint32_t, std::shared_ptr<HandleSlot>> slots_;
    uint32_t next_ = 1;
};

} // namespace kxds

#endif // KXDSHANDLETABLE_H
