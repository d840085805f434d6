#include "KXDSHandleTable.h"

#include <sys/eventfd.h>
#include <unistd.h>
#include <utility>

namespace kxds {

HandleSlot::HandleSlot() : wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

HandleSlot::~HandleSlot()
{
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
}

void HandleSlot::wakeReaders()
{
    const uint64_t one = 1;
    // Wake-ups not taken yet add up in the counter and are taken as one.
    [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
}

std::shared_ptr<Device> HandleSlot::device()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return device_;
}

void HandleSlot::closeDevice()
{
    std::shared_ptr<Device> old;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        old.swap(device_);
    }
    // The descriptor closes when the last user lets go of `old`.
    if (old)
        old->shutdown();
}

bool HandleSlot::attach(std::shared_ptr<Device> device)
{
    std::shared_ptr<Device> old;
    bool accepted = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (destroyed_) {
            old = std::move(device);
        } else {
            old.swap(device_);
            device_ = std::move(device);
            accepted = true;
        }
    }
    // Either the refused device or one a concurrent opening left behind.
    if (old)
        old->shutdown();
    return accepted;
}

void HandleSlot::destroy()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        destroyed_ = true;
    }
    closeDevice();
}

HandleTable& HandleTable::instance()
{
    // Never destroyed, so a call from a thread still running at exit finds
    // a valid table.
    static HandleTable* table = new HandleTable;
    return *table;
}

uint32_t HandleTable::create()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (slots_.size() >= maxHandles)
        return 0;
    // Skip 0 and, after a wrap-around, values still in use.
    while (next_ == 0 || slots_.count(next_) != 0)
        ++next_;
    auto slot = std::make_shared<HandleSlot>();
    if (!slot->isValid())
        return 0;
    const uint32_t handle = next_++;
    slots_.emplace(handle, std::move(slot));
    return handle;
}

std::shared_ptr<HandleSlot> HandleTable::find(uint32_t handle)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = slots_.find(handle);
    return it == slots_.end() ? nullptr : it->second;
}

std::shared_ptr<HandleSlot> HandleTable::remove(uint32_t handle)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = slots_.find(handle);
    if (it == slots_.end())
        return nullptr;
    std::shared_ptr<HandleSlot> slot = std::move(it->second);
    slots_.erase(it);
    return slot;
}

} // namespace kxds
