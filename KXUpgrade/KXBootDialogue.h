#ifndef KXBOOTDIALOGUE_H
#define KXBOOTDIALOGUE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// What the boot-loader dialogue needs from its link and its caller. Every
// member but isOpen must be set.
struct KXBootDialogueIo
{
    // True only when every byte was handed to the link.
    std::function<bool(const uint8_t* data, size_t size)> write;
    // Waits up to `ms` for `size` bytes, returning as soon as they are all
    // there; the count read.
    std::function<size_t(uint8_t* buffer, size_t size, uint32_t ms)> read;
    // Drops whatever has arrived and not been read.
    std::function<void()> discardInput;
    // A monotonic clock in milliseconds.
    std::function<int64_t()> nowMs;
    // False once the link is gone, so that programming is not waited for;
    // unset: never asked.
    std::function<bool()> isOpen;
    // The 21-word progress record another thread polls.
    std::function<uint32_t(int index)> word;
    std::function<void(int index, uint32_t value)> setWord;
    // The byte at `offset` in the record's native byte order.
    std::function<void(int offset, uint8_t value)> setByte;
};

// A firmware file written to a device in its boot-loader dialogue over a
// byte link: an escape frame switches the device to upgrade mode, then each
// part is woken, announced, sent in CRC-32 checked blocks and programmed,
// and an exit command ends the dialogue. The image variant reads up to four
// parts from the table at the end of the file, the package variant up to
// sixteen from an "nfp" header. Plain C++17, used by the kit and by the
// driver library alike. Created for one download, run once on the caller's
// thread (which it blocks).
class KXBootDialogue
{
public:
    enum class Variant
    {
        Image,
        Package,
    };

    enum class Result
    {
        Written,
        BadFile, // refused before the device was touched
        Failed,  // the dialogue went wrong
    };

    static constexpr int DefaultBlockSize = 512;
    // Files of at least this size go in blocks of at least 1024 bytes.
    static constexpr size_t LargeFileSize = 10 * 1024 * 1024 + 1;
    static constexpr size_t MinFileSize = 400;

    // Progress record: words and the first byte of the part states.
    static constexpr int StageWord = 4;
    static constexpr int PartWord = 6;
    static constexpr int PartStatesByte = 36;
    static constexpr int ProgressWords = 21;

    KXBootDialogue(Variant variant, KXBootDialogueIo io);

    // Writes the `size` bytes of the file at `data` (which must outlive the
    // call) in blocks of `blockSize` bytes (the default below 1).
    Result run(const uint8_t* data, size_t size, int blockSize);

    // How long a part of `partSize` bytes may take to program: 300 s per
    // whole MiB, at least 300 s.
    static int64_t programmingLimitMs(uint32_t partSize);

    // The CRC-32 (zlib's) of `size` bytes, continuing `crc`.
    static uint32_t crc32(const void* data, size_t size, uint32_t crc = 0);

private:
    struct Part
    {
        uint32_t offset = 0;
        uint32_t size = 0;
        std::string type; // four letters ("flah" also for extended parts)
        uint32_t extra = 0;
    };

    bool readImageParts();
    bool readPackageParts();
    bool downloadAll();
    bool downloadParts(size_t first, size_t count, const char* between);
    bool announce(size_t index);
    bool sendData(const Part& part);
    bool waitProgrammed(const Part& part);
    // The first payload byte of the reply, '1' for any failure.
    char sendCommand(const std::string& text);
    // "@NextDown"/"@NextBlock": a bare 0x06 or any whole reply frame.
    bool sendNext(const std::string& text);
    bool write(const uint8_t* data, size_t size) { return m_io.write(data, size); }
    // One byte within `ms`; -1 when none came.
    int readByte(uint32_t ms);
    bool readExactly(uint8_t* buffer, size_t count, uint32_t ms);
    void setStage(uint32_t stage) { m_io.setWord(StageWord, stage); }
    void setValue(uint32_t value);
    uint32_t value() const;
    // Ends the current stage for a progress reader: value 100.
    bool fail();

    Variant m_variant;
    KXBootDialogueIo m_io;
    uint32_t m_blockSize = DefaultBlockSize;
    const uint8_t* m_data = nullptr;
    size_t m_size = 0;
    std::vector<uint8_t> m_frame; // 0x02, one block, CRC-32
    std::vector<Part> m_parts;
    size_t m_localParts = 0; // the rest are extended parts (package variant)
};

#endif // KXBOOTDIALOGUE_H
