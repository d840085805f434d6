#include "KXBootDialogue.h"

#include "KXFirmwareLayout.h"

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

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

// Escape frames: 0x7E, length, text, and the complement of the XOR of the
// bytes between the 0x7E and the last byte.
const uint8_t UpgradeEscape[] = {0x7e, 0, 0, 9, '~', 'u', 'p', 'G', 'r', 'a', 'd', 'e', '~', 0xa6};
const uint8_t UpdateEscape[] = {0x7e, 0, 0, 8, '~', 'u', 'p', 'D', 'a', 't', 'e', '~', 0xc6};
const uint8_t BlockEscape[] = {0x7e, 0, 0, 9, '~', 'u', 'p', 'B', 'l', 'o', 'c', 'k', '~', 0xba};

// Stages of the progress record.
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

void putBe32(uint8_t* p, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(value >> (24 - 8 * i));
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
    putBe32(&frame[4 + text.size()], KXBootDialogue::crc32(frame.data(), 4 + text.size()));
    return frame;
}

void sleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

} // namespace

KXBootDialogue::KXBootDialogue(Variant variant, KXBootDialogueIo io)
    : m_variant(variant), m_io(std::move(io))
{
}

uint32_t KXBootDialogue::crc32(const void* data, size_t size, uint32_t crc)
{
    const auto* bytes = static_cast<const Bytef*>(data);
    // zlib takes at most 4 GiB - 1 per call.
    while (size > 0) {
        const uInt piece = uInt(std::min<size_t>(size, 0x40000000));
        crc = uint32_t(::crc32(uLong(crc), bytes, piece));
        bytes += piece;
        size -= piece;
    }
    return crc;
}

int64_t KXBootDialogue::programmingLimitMs(uint32_t partSize)
{
    return ProgramMsPerMiB * std::max<int64_t>(1, partSize / 1048576);
}

KXBootDialogue::Result KXBootDialogue::run(const uint8_t* data, size_t size, int blockSize)
{
    m_data = data;
    m_size = size;
    m_blockSize = uint32_t(blockSize > 0 ? blockSize : DefaultBlockSize);
    if (size < MinFileSize)
        return Result::BadFile;
    // Large files in small blocks would take too many round trips.
    if (size >= LargeFileSize && m_blockSize <= 512)
        m_blockSize = 1024;
    m_frame.assign(m_blockSize + 5, 0);
    m_frame[0] = 0x02;
    if (!(m_variant == Variant::Image ? readImageParts() : readPackageParts()))
        return Result::BadFile;
    return downloadAll() ? Result::Written : Result::Failed;
}

bool KXBootDialogue::readImageParts()
{
    for (const KXImageTableEntry& entry : kxReadImageTable(m_data, m_size)) {
        Part part;
        part.offset = entry.offset;
        part.size = entry.size;
        part.type.assign(entry.type.data(), strnlen(entry.type.data(), entry.type.size()));
        const bool checked = entry.flag == 0;
        if (part.size == 0 || (checked && typeCode(part.type) == 0))
            continue;
        if (checked && part.type == "flah")
            part.extra = entry.extra;
        // A part that runs past the end of the file cannot be sent; such an
        // image is broken and refused before the device is touched.
        if (uint64_t(part.offset) + part.size > m_size)
            return false;
        m_parts.push_back(part);
    }
    // The boot loader must be written first.
    for (size_t i = 1; i < m_parts.size(); ++i) {
        if (m_parts[i].type == "boot") {
            std::swap(m_parts[0], m_parts[i]);
            break;
        }
    }
    for (size_t i = 0; i < m_parts.size(); ++i)
        m_io.setByte(PartStatesByte + int(i), typeCode(m_parts[i].type));
    m_localParts = m_parts.size();
    return !m_parts.empty();
}

bool KXBootDialogue::readPackageParts()
{
    KXNfpHeader header;
    if (!kxReadNfpHeader(m_data, m_size, header))
        return false;
    m_localParts = header.localParts;
    for (size_t i = 0; i < header.localParts + header.extendedParts; ++i) {
        const KXNfpHeader::Part& entry = header.parts[i];
        // Extended parts carry code 3 and go as "flah" with their extra value.
        m_parts.push_back({entry.offset, entry.size, PartTypes[entry.code - 1], entry.extra});
    }
    return true;
}

bool KXBootDialogue::downloadAll()
{
    const bool image = m_variant == Variant::Image;
    const bool escaped = image ? write(UpgradeEscape, sizeof UpgradeEscape)
                               : write(UpdateEscape, sizeof UpdateEscape);
    if (!escaped || readByte(ReplyMs) != Ack)
        return fail();
    const char* between = image ? "@NextDown" : "@NextBlock";
    bool ok = downloadParts(0, m_localParts, between);
    if (ok && m_parts.size() > m_localParts) {
        // The extended parts follow their own escape, whose reply says
        // nothing.
        if (write(BlockEscape, sizeof BlockEscape))
            readByte(ReplyMs);
        ok = downloadParts(m_localParts, m_parts.size() - m_localParts, between);
    }
    if (!ok)
        fail();
    // The device leaves its boot dialogue on every path from here.
    sendCommand("@Exit");
    return ok;
}

bool KXBootDialogue::downloadParts(size_t first, size_t count, const char* between)
{
    for (size_t i = first; i < first + count; ++i) {
        if (i > first && !sendNext(between))
            return false;
        if (!announce(i) || !sendData(m_parts[i]) || !waitProgrammed(m_parts[i]))
            return false;
    }
    return true;
}

bool KXBootDialogue::announce(size_t index)
{
    const Part& part = m_parts[index];
    m_io.setWord(PartWord, uint32_t(index));
    setStage(StageWake);
    for (int i = 0; i < 3; ++i) {
        if (!write(&Wake, 1))
            return false;
        sleepMs(10);
    }
    if (readByte(ReplyMs) != Awake)
        return false;
    sleepMs(30);
    m_io.discardInput();
    setStage(StageAnnounce);

    std::string type = "!FileType:" + part.type;
    if (part.type == "flah")
        type += ':' + std::to_string(part.extra);
    const uint64_t blocks = (uint64_t(part.size) + m_blockSize - 1) / m_blockSize;
    const std::string commands[] = {
        "!DataLens:" + std::to_string(part.size),
        "!FrameSize:" + std::to_string(m_blockSize),
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

bool KXBootDialogue::sendData(const Part& part)
{
    setStage(StageBlocks);
    setValue(0);
    const uint32_t fullBlocks = part.size / m_blockSize;
    const uint32_t blocks = fullBlocks + (part.size % m_blockSize ? 1 : 0);
    uint8_t* frame = m_frame.data();
    for (uint32_t i = 0; i < blocks; ++i) {
        if (i < fullBlocks)
            setValue(uint32_t(uint64_t(i) * 100 / fullBlocks));
        const uint32_t offset = i * m_blockSize;
        const uint32_t length = std::min(m_blockSize, part.size - offset);
        // The last block goes at full size, zero-filled.
        std::memcpy(frame + 1, m_data + part.offset + offset, length);
        std::memset(frame + 1 + length, 0, m_blockSize - length);
        putBe32(frame + 1 + m_blockSize, crc32(frame, size_t(m_blockSize) + 1));
        if (!write(frame, m_frame.size()) || readByte(BlockAckMs) != BlockTaken)
            return false;
    }
    setValue(100);
    return true;
}

bool KXBootDialogue::waitProgrammed(const Part& part)
{
    setStage(StageProgram);
    setValue(0);
    const int64_t limitMs = programmingLimitMs(part.size);
    const int64_t started = m_io.nowMs();
    for (;;) {
        const int status = readByte(StatusMs);
        if (status == Programmed) {
            setValue(std::min<uint32_t>(value() + 10, 90));
            return true;
        }
        if (status >= 0 && status != Busy)
            return false;
        // A device that keeps saying busy is held to the same limit as a
        // silent one; a device that is gone is not waited for.
        if (m_io.nowMs() - started >= limitMs || (m_io.isOpen && !m_io.isOpen()))
            return false;
        if (status < 0)
            setValue(std::min<uint32_t>(value() + 4, 90));
    }
}

char KXBootDialogue::sendCommand(const std::string& text)
{
    const std::vector<uint8_t> frame = commandFrame(text);
    if (!write(frame.data(), frame.size()))
        return Failed;
    uint8_t header[4];
    if (!readExactly(header, 4, ReplyMs))
        return Failed;
    const int length = header[2] << 8 | header[3];
    if (length > MaxReplyPayload)
        return Failed;
    uint8_t rest[MaxReplyPayload + 4];
    if (!readExactly(rest, size_t(length) + 4, ReplyMs) || length == 0)
        return Failed;
    return char(rest[0]);
}

bool KXBootDialogue::sendNext(const std::string& text)
{
    const std::vector<uint8_t> frame = commandFrame(text);
    if (!write(frame.data(), frame.size()))
        return false;
    const int first = readByte(BlockAckMs);
    if (first < 0)
        return false;
    if (first == Ack)
        return true;
    // Anything else starts a reply frame; any whole one will do.
    uint8_t header[3];
    if (!readExactly(header, 3, ReplyMs))
        return false;
    const int length = header[1] << 8 | header[2];
    uint8_t rest[MaxReplyPayload + 4];
    return length <= MaxReplyPayload && readExactly(rest, size_t(length) + 4, ReplyMs);
}

int KXBootDialogue::readByte(uint32_t ms)
{
    uint8_t byte = 0;
    return m_io.read(&byte, 1, ms) == 1 ? int(byte) : -1;
}

bool KXBootDialogue::readExactly(uint8_t* buffer, size_t count, uint32_t ms)
{
    return count == 0 || m_io.read(buffer, count, ms) == count;
}

void KXBootDialogue::setValue(uint32_t value)
{
    m_io.setWord(int(m_io.word(StageWord) % ProgressWords), value);
}

uint32_t KXBootDialogue::value() const
{
    return m_io.word(int(m_io.word(StageWord) % ProgressWords));
}

bool KXBootDialogue::fail()
{
    setValue(100);
    return false;
}
