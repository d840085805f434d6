#include "KXDSFirmware.h"

#include "KXDSDevice.h"
#include "KXDSKernelInfo.h"
#include "KXDataStreamDriver.h"
#include "KXUpgrade/KXBootDialogue.h"

#include <chrono>
#include <cstring>
#include <utility>
#include <vector>

namespace kxds {

namespace {

constexpr int ProgressWords = KXDS_PROGRESS_RECORD_SIZE / 4;
static_assert(ProgressWords == KXBootDialogue::ProgressWords, "one progress record layout");

// The progress record the kit polls from another thread while this one
// writes: relaxed atomic stores of single words and bytes.
class Progress
{
public:
    explicit Progress(void* record) : words_(record ? static_cast<uint32_t*>(record) : own_) {}
    uint32_t word(int index) const { return __atomic_load_n(&words_[index], __ATOMIC_RELAXED); }
    void setWord(int index, uint32_t value)
    {
        __atomic_store_n(&words_[index], value, __ATOMIC_RELAXED);
    }
    // The byte at `offset` in the record's native byte order, stored as a
    // whole word so that every access to the record has the same size.
    void setByte(int offset, uint8_t value)
    {
        uint32_t word = 0;
        std::memcpy(reinterpret_cast<uint8_t*>(&word) + offset % 4, &value, 1);
        const uint32_t mask = ~(uint32_t(0xFF) << shiftOf(offset));
        uint32_t& target = words_[offset / 4];
        uint32_t old = __atomic_load_n(&target, __ATOMIC_RELAXED);
        while (!__atomic_compare_exchange_n(&target, &old, (old & mask) | word, true,
                                            __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
        }
    }

private:
    static int shiftOf(int offset)
    {
        const uint32_t probe = 1;
        const bool little = *reinterpret_cast<const uint8_t*>(&probe) == 1;
        return (little ? offset % 4 : 3 - offset % 4) * 8;
    }

    uint32_t own_[ProgressWords] = {};
    uint32_t* words_;
};

} // namespace

uint32_t writeFirmware(Device& device, const std::string& path, void* progress)
{
    std::vector<uint8_t> data;
    uint32_t error = KXDS_ERROR_NONE;
    if (!readFirmwareFile(path, data, error))
        return error;

    Progress record(progress);
    KXBootDialogueIo io;
    io.write = [&device](const uint8_t* bytes, size_t size) {
        return device.write(bytes, size, KXDS_WRITE_TIMEOUT_MS);
    };
    io.read = [&device](uint8_t* buffer, size_t size, uint32_t ms) {
        uint32_t readError = KXDS_ERROR_NONE;
        return size_t(device.read(buffer, uint32_t(size), ms, nullptr, 0, -1, readError));
    };
    io.discardInput = [&device] { device.discardInput(); };
    io.nowMs = [] {
        return int64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now().time_since_epoch())
                           .count());
    };
    io.isOpen = [&device] { return device.isOpen(); };
    io.word = [&record](int index) { return record.word(index); };
    io.setWord = [&record](int index, uint32_t value) { record.setWord(index, value); };
    io.setByte = [&record](int offset, uint8_t value) { record.setByte(offset, value); };

    const auto variant =
        suffixOf(path) == "nfp" ? KXBootDialogue::Variant::Package : KXBootDialogue::Variant::Image;
    KXBootDialogue dialogue(variant, std::move(io));
    // The driver has no block size setting: the default, raised for large
    // files.
    switch (dialogue.run(data.data(), data.size(), KXBootDialogue::DefaultBlockSize)) {
    case KXBootDialogue::Result::Written:
        return KXDS_ERROR_NONE;
    case KXBootDialogue::Result::BadFile:
        return KXDS_ERROR_BAD_ARGUMENT;
    case KXBootDialogue::Result::Failed:
        break;
    }
    return device.isOpen() ? KXDS_ERROR_FIRMWARE_REFUSED : KXDS_ERROR_IO;
}

} // namespace kxds
