#ifndef KXFIRMWAREPROGRESS_H
#define KXFIRMWAREPROGRESS_H

#include <QtGlobal>

#include <atomic>

// Progress of one firmware update: 21 32-bit words, zeroed at the start of
// each update and filled by whoever writes the firmware (the driver library,
// the block download, the package handler). The layout is shared with the
// driver library's C code, which gets a pointer to the words; they are
// atomics only because another thread polls them while the writer runs, so
// every access is relaxed and the layout stays 84 plain bytes.
struct KXFirmwareProgress
{
    static constexpr int Words = 21;
    static constexpr int Stage = 4;       // word: the stage now running
    static constexpr int Part = 6;        // word: index of the current part
    static constexpr int PartStates = 36; // byte offset: one byte per part

    std::atomic<quint32> words[Words];

    quint32 word(int index) const { return words[index].load(std::memory_order_relaxed); }
    void setWord(int index, quint32 value) { words[index].store(value, std::memory_order_relaxed); }
    // The byte at `offset` in the record's native byte order.
    quint8 byte(int offset) const;
    void setByte(int offset, quint8 value);
    void clear();
};

static_assert(sizeof(KXFirmwareProgress) == 84, "the driver library expects 84 bytes");
static_assert(std::atomic<quint32>::is_always_lock_free,
              "the words must be plain 32-bit words in memory");

inline quint8 KXFirmwareProgress::byte(int offset) const
{
    const quint32 value = word(offset / 4);
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
    const int shift = (offset % 4) * 8;
#else
    const int shift = (3 - offset % 4) * 8;
#endif
    return quint8(value >> shift);
}

inline void KXFirmwareProgress::setByte(int offset, quint8 value)
{
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
    const int shift = (offset % 4) * 8;
#else
    const int shift = (3 - offset % 4) * 8;
#endif
    std::atomic<quint32>& target = words[offset / 4];
    quint32 old = target.load(std::memory_order_relaxed);
    while (!target.compare_exchange_weak(old, (old & ~(0xFFu << shift)) | (quint32(value) << shift),
                                         std::memory_order_relaxed)) {
    }
}

inline void KXFirmwareProgress::clear()
{
    for (auto& w : words)
        w.store(0, std::memory_order_relaxed);
}

#endif // KXFIRMWAREPROGRESS_H
