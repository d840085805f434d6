#include "KXDSFirmware.h"

#include "KXDSDevice.h"
#include "KXDSKernelInfo.h"
#include "KXDataStreamDriver.h"

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace kxds {

namespace {

constexpr uint8_t Ack = 0x06;
constexpr uint8_t Wake = '?';
constexpr uint8_t Awake = '<';
constexpr uint8_t BlockTaken = '*';
constexpr uint8_t Busy = '*';
constexpr uint8_t Programmed = '^';
constexpr uint8_t EraseDone = ';';
constexpr char Ok = '0';
constexpr char Erasing = '4';
constexpr char Failed = '1';

constexpr uint32_t ReplyMs = 3000;
constexpr uint32_t BlockAckMs = 2000;
constexpr uint32_t StatusMs = 2000;
constexpr int64_t ProgramMsPerMiB = 300000;
constexpr int MaxReplyPayload = 255;

constexpr uint32_t DefaultBlockSize = 512;
// Files of at least this size go in blocks of 1024 bytes.
constexpr size_t LargeFileSize = 10 * 1024 * 1024 + 1;
constexpr size_t MinFileSize = 400;

constexpr size_t ImageTableSize = 368;
constexpr size_t ImageEntrySize = 76;
constexpr int ImageEntries = 4;

// Escape frames: 0x7E, length, text, and the complement of the XOR of the
// bytes between the 0x7E and the last byte.
const uint8_t UpgradeEscape[] = {0x7e, 0, 0, 9, '~', 'u', 'p', 'G', 'r', 'a', 'd', 'e', '~', 0xa6};
const uint8_t UpdateEscape[] = {0x7e, 0, 0, 8, '~', 'u', 'p', 'D', 'a', 't', 'e', '~', 0xc6};
const uint8_t BlockEscape[] = {0x7e, 0, 0, 9, '~', 'u', 'p', 'B', 'l', 'o', 'c', 'k', '~', 0xba};

// Words and bytes of the progress record.
constexpr int ProgressWords = KXDS_PROGRESS_RECORD_SIZE / 4;
constexpr int StageWord = 4;
constexpr int PartWord = 6;
constexpr int PartStatesByte = 36;

// Stages.
constexpr uint32_t StageWake = 0;
constexpr uint32_t StageAnnounce = 1;
constexpr uint32_t StageBlocks = 2;
constexpr uint32_t StageProgram = 3;

const char* const PartTypes[] = {"boot", "kern", "flah", "appl"};

// boot 1, kern 2, flah 3, appl 4; 0 for any other type.
uint8_t typeCode(const std::string& type)
{
    for (int i = 0; i < 4; ++i) {
        if (type == PartTypes[i])
            return uint8_t(i + 1);
    }
    return 0;
}

uint32_t le32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void putBe32(uint8_t* p, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(value >> (24 - 8 * i));
}

uint32_t crcOf(const uint8_t* data, size_t size)
{
    return uint32_t(crc32(crc32(0L, Z_NULL, 0), data, uInt(size)));
}

// 0x02 0x05, the text's length, the text, CRC-32 of all that.
std::vector<uint8_t> commandFrame(const std::string& text)
{
    std::vector<uint8_t> frame(4 + text.size() + 4);
    frame[0] = 0x02;
    frame[1] = 0x05;
    frame[2] = uint8_t(text.size() >> 8);
    frame[3] = uint8_t(text.size());
    std::memcpy(&frame[4], text.data(), text.size());
    putBe32(&frame[4 + text.size()], crcOf(frame.data(), 4 + text.size()));
    return frame;
}

void sleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

struct Part
{
    uint32_t offset = 0;
    uint32_t size = 0;
    std::string type; // "flah" also for extended parts
    uint32_t extra = 0;
};

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
    void setStage(uint32_t stage) { setWord(StageWord, stage); }
    uint32_t value() const { return word(int(word(StageWord) % ProgressWords)); }
    void setValue(uint32_t value) { setWord(int(word(StageWord) % ProgressWords), value); }

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

class Download
{
public:
    Download(Device& device, Progress& progress, bool package)
        : device_(device), progress_(progress), package_(package)
    {
    }

    uint32_t run(const std::string& path);

private:
    bool readImageParts();
    bool readPackageParts();
    bool downloadAll();
    bool downloadParts(size_t first, size_t count, const char* between);
    bool announce(size_t index);
    bool sendData(const Part& part);
    bool waitProgrammed(const Part& part);
    char sendCommand(const std::string& text);
    bool sendNext(const std::string& text);
    bool write(const uint8_t* data, size_t size);
    int readByte(uint32_t ms);
    bool readExactly(uint8_t* buffer, uint32_t count, uint32_t ms);
    bool fail()
    {
        progress_.setValue(100);
        return false;
    }

    Device& device_;
    Progress& progress_;
    const bool package_;
    uint32_t blockSize_ = DefaultBlockSize;
    std::vector<uint8_t> data_;
    std::vector<uint8_t> frame_; // 0x02, one block, CRC-32
    std::vector<Part> parts_;
    size_t localParts_ = 0; // the rest are extended parts
};

uint32_t Download::run(const std::string& path)
{
    uint32_t error = KXDS_ERROR_NONE;
    if (!readFirmwareFile(path, data_, error))
        return error;
    if (data_.size() < MinFileSize)
        return KXDS_ERROR_BAD_ARGUMENT;
    // Large files in small blocks would take too many round trips.
    if (data_.size() >= LargeFileSize)
        blockSize_ = 1024;
    frame_.assign(blockSize_ + 5, 0);
    frame_[0] = 0x02;
    if (!(package_ ? readPackageParts() : readImageParts()))
        return KXDS_ERROR_BAD_ARGUMENT;
    if (downloadAll())
        return KXDS_ERROR_NONE;
    return device_.isOpen() ? KXDS_ERROR_FIRMWARE_REFUSED : KXDS_ERROR_IO;
}

bool Download::readImageParts()
{
    const uint8_t* table = data_.data() + data_.size() - ImageTableSize;
    for (int i = 0; i < ImageEntries; ++i) {
        const uint8_t* entry = table + i * ImageEntrySize;
        Part part;
        part.offset = le32(entry);
        part.size = le32(entry + 4);
        part.type.assign(reinterpret_cast<const char*>(entry + 8),
                         strnlen(reinterpret_cast<const char*>(entry + 8), 4));
        const bool checked = entry[12] == 0;
        if (part.size == 0 || (checked && typeCode(part.type) == 0))
            continue;
        if (checked && part.type == "flah")
            part.extra = le32(entry + 40);
        // A part past the end of the file cannot be sent: the image is
        // broken and refused before the device is touched.
        if (uint64_t(part.offset) + part.size > data_.size())
            return false;
        parts_.push_back(part);
    }
    // The boot loader must be written first.
    for (size_t i = 1; i < parts_.size(); ++i) {
        if (parts_[i].type == "boot") {
            std::swap(parts_[0], parts_[i]);
            break;
        }
    }
    for (size_t i = 0; i < parts_.size(); ++i)
        progress_.setByte(PartStatesByte + int(i), typeCode(parts_[i].type));
    localParts_ = parts_.size();
    return !parts_.empty();
}

bool Download::readPackageParts()
{
    std::vector<NfpPart> entries;
    uint32_t local = 0;
    if (!readNfpParts(data_, entries, local))
        return false;
    localParts_ = local;
    for (const NfpPart& entry : entries) {
        // Extended parts go as "flah" with their extra value.
        parts_.push_back(
            {entry.offset, entry.size, entry.type == "exfl" ? "flah" : entry.type, entry.extra});
    }
    return true;
}

bool Download::downloadAll()
{
    const uint8_t* escape = package_ ? UpdateEscape : UpgradeEscape;
    const size_t escapeSize = package_ ? sizeof UpdateEscape : sizeof UpgradeEscape;
    if (!write(escape, escapeSize) || readByte(ReplyMs) != Ack)
        return fail();
    const char* between = package_ ? "@NextBlock" : "@NextDown";
    bool ok = downloadParts(0, localParts_, between);
    if (ok && parts_.size() > localParts_) {
        // The extended parts follow their own escape, whose reply says
        // nothing.
        if (write(BlockEscape, sizeof BlockEscape))
            readByte(ReplyMs);
        ok = downloadParts(localParts_, parts_.size() - localParts_, between);
    }
    if (!ok)
        fail();
    // The device leaves its boot dialogue on every path from here.
    sendCommand("@Exit");
    return ok;
}

bool Download::downloadParts(size_t first, size_t count, const char* between)
{
    for (size_t i = first; i < first + count; ++i) {
        if (i > first && !sendNext(between))
            return false;
        if (!announce(i) || !sendData(parts_[i]) || !waitProgrammed(parts_[i]))
            return false;
    }
    return true;
}

bool Download::announce(size_t index)
{
    const Part& part = parts_[index];
    progress_.setWord(PartWord, uint32_t(index));
    progress_.setStage(StageWake);
    for (int i = 0; i < 3; ++i) {
        if (!write(&Wake, 1))
            return false;
        sleepMs(10);
    }
    if (readByte(ReplyMs) != Awake)
        return false;
    sleepMs(30);
    device_.discardInput();
    progress_.setStage(StageAnnounce);

    if (typeCode(part.type) == 0)
        return false;
    std::string type = "!FileType:" + part.type;
    if (part.type == "flah")
        type += ':' + std::to_string(part.extra);
    const uint64_t blocks = (uint64_t(part.size) + blockSize_ - 1) / blockSize_;
    const std::string commands[] = {
        "!DataLens:" + std::to_string(part.size),
        "!FrameSize:" + std::to_string(blockSize_),
        "!Frames:" + std::to_string(blocks),
        type,
    };
    for (const std::string& command : commands) {
        if (sendCommand(command) != Ok)
            return false;
    }
    const char start = sendCommand(">Start");
    if (start == Ok)
        return true;
    if (start != Erasing || sendCommand(">Erase") != Ok)
        return false;
    // The device shows that erasing goes on (usually with '.') until ';'.
    for (;;) {
        const int byte = readByte(ReplyMs);
        if (byte < 0)
            return false;
        if (byte == EraseDone)
            return true;
    }
}

bool Download::sendData(const Part& part)
{
    progress_.setStage(StageBlocks);
    progress_.setValue(0);
    const uint32_t fullBlocks = part.size / blockSize_;
    const uint32_t blocks = fullBlocks + (part.size % blockSize_ ? 1 : 0);
    for (uint32_t i = 0; i < blocks; ++i) {
        if (i < fullBlocks)
            progress_.setValue(uint32_t(uint64_t(i) * 100 / fullBlocks));
        const uint32_t offset = i * blockSize_;
        const uint32_t length = std::min(blockSize_, part.size - offset);
        // The last block goes at full size, zero-filled.
        std::memcpy(&frame_[1], data_.data() + part.offset + offset, length);
        std::memset(&frame_[1 + length], 0, blockSize_ - length);
        putBe32(&frame_[1 + blockSize_], crcOf(frame_.data(), blockSize_ + 1));
        if (!write(frame_.data(), frame_.size()) || readByte(BlockAckMs) != BlockTaken)
            return false;
    }
    progress_.setValue(100);
    return true;
}

bool Download::waitProgrammed(const Part& part)
{
    progress_.setStage(StageProgram);
    progress_.setValue(0);
    const int64_t limitMs = ProgramMsPerMiB * std::max<int64_t>(1, part.size / 1048576);
    const auto started = std::chrono::steady_clock::now();
    for (;;) {
        const int status = readByte(StatusMs);
        if (status == Programmed) {
            progress_.setValue(std::min<uint32_t>(progress_.value() + 10, 90));
            return true;
        }
        if (status >= 0 && status != Busy)
            return false;
        // A device that keeps saying busy is held to the same limit as a
        // silent one; a device that is gone is not waited for.
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - started);
        if (elapsed.count() >= limitMs || !device_.isOpen())
            return false;
        if (status < 0)
            progress_.setValue(std::min<uint32_t>(progress_.value() + 4, 90));
    }
}

// The first payload byte of the reply, '1' for any failure.
char Download::sendCommand(const std::string& text)
{
    const std::vector<uint8_t> frame = commandFrame(text);
    if (!write(frame.data(), frame.size()))
        return Failed;
    uint8_t header[4];
    if (!readExactly(header, 4, ReplyMs))
        return Failed;
    const int length = header[2] << 8 | header[3];
    uint8_t rest[MaxReplyPayload + 4];
    if (length > MaxReplyPayload || !readExactly(rest, uint32_t(length) + 4, ReplyMs) ||
        length == 0)
        return Failed;
    return char(rest[0]);
}

// "@NextDown"/"@NextBlock": a bare 0x06 or any whole reply frame.
bool Download::sendNext(const std::string& text)
{
    const std::vector<uint8_t> frame = commandFrame(text);
    if (!write(frame.data(), frame.size()))
        return false;
    const int first = readByte(BlockAckMs);
    if (first < 0)
        return false;
    if (first == Ack)
        return true;
    uint8_t header[3];
    if (!readExactly(header, 3, ReplyMs))
        return false;
    const int length = header[1] << 8 | header[2];
    uint8_t rest[MaxReplyPayload + 4];
    return length <= MaxReplyPayload && readExactly(rest, uint32_t(length) + 4, ReplyMs);
}

bool Download::write(const uint8_t* data, size_t size)
{
    return device_.write(data, size, KXDS_WRITE_TIMEOUT_MS);
}

int Download::readByte(uint32_t ms)
{
    uint8_t byte = 0;
    return readExactly(&byte, 1, ms) ? int(byte) : -1;
}

bool Download::readExactly(uint8_t* buffer, uint32_t count, uint32_t ms)
{
    uint32_t error = KXDS_ERROR_NONE;
    return count == 0 || device_.read(buffer, count, ms, nullptr, 0, -1, error) == count;
}

} // namespace

uint32_t writeFirmware(Device& device, const std::string& path, void* progress)
{
    Progress record(progress);
    Download download(device, record, suffixOf(path) == "nfp");
    return download.run(path);
}

} // namespace kxds
