#include "KXBlockDownload.h"

#include "KXFirmwareFormats.h"
#include "transport/IDataStreamReadWrite.h"

#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <QtEndian>

#include <zlib.h>

#include <cstring>

namespace {

constexpr char kAck = 0x06;
constexpr char kWake = '?';
constexpr char kAwake = '<';
constexpr char kBlockTaken = '*';
constexpr char kBusy = '*';
constexpr char kProgrammed = '^';
constexpr char kEraseDone = ';';
constexpr char kOk = '0';
constexpr char kErasing = '4';
constexpr char kFailed = '1';

constexpr uint kReplyMs = 3000;
constexpr uint kBlockAckMs = 2000;
constexpr uint kStatusMs = 2000;
constexpr qint64 kProgramMsPerMiB = 300000;
constexpr int kMaxReplyPayload = 255;

// Escape frames: 0x7E, length, text, and the complement of the XOR of the
// bytes between the 0x7E and the last byte.
const QByteArray kUpgradeEscape("\x7e\x00\x00\x09~upGrade~\xa6", 14);
const QByteArray kUpdateEscape("\x7e\x00\x00\x08~upDate~\xc6", 13);
const QByteArray kBlockEscape("\x7e\x00\x00\x09~upBlock~\xba", 14);

// Stages of the progress record.
constexpr quint32 kStageWake = 0;
constexpr quint32 kStageAnnounce = 1;
constexpr quint32 kStageBlocks = 2;
constexpr quint32 kStageProgram = 3;

const char* const kPartTypes[] = {"boot", "kern", "flah", "appl"};

// boot 1, kern 2, flah 3, appl 4; 0 for any other type.
quint8 typeCode(const QByteArray& type)
{
    for (int i = 0; i < 4; ++i) {
        if (type == kPartTypes[i])
            return quint8(i + 1);
    }
    return 0;
}

// 0x02 0x05, the text's length, the text, CRC-32 of all that.
QByteArray commandFrame(const QByteArray& text)
{
    QByteArray frame(4 + text.size() + 4, '\0');
    frame[0] = '\x02';
    frame[1] = '\x05';
    qToBigEndian(quint16(text.size()), frame.data() + 2);
    std::memcpy(frame.data() + 4, text.constData(), size_t(text.size()));
    qToBigEndian(KXBlockDownload::crc32(frame.constData(), frame.size() - 4),
                 frame.data() + frame.size() - 4);
    return frame;
}

} // namespace

KXBlockDownload::KXBlockDownload(Variant variant) : m_variant(variant) {}

void KXBlockDownload::setup(const QString& file, IDataStreamReadWrite* transport,
                            KXFirmwareProgress* progress, int blockSize)
{
    m_file = file;
    m_transport = transport;
    m_progress = progress ? progress : &m_ownProgress;
    m_blockSize = blockSize > 0 ? blockSize : DefaultBlockSize;
}

quint32 KXBlockDownload::crc32(const void* data, qsizetype size, quint32 crc)
{
    const auto* bytes = static_cast<const Bytef*>(data);
    // zlib takes at most 4 GiB - 1 per call.
    while (size > 0) {
        const uInt piece = uInt(qMin<qsizetype>(size, 0x40000000));
        crc = quint32(::crc32(uLong(crc), bytes, piece));
        bytes += piece;
        size -= piece;
    }
    return crc;
}

qint64 KXBlockDownload::programmingLimitMs(quint32 partSize)
{
    return kProgramMsPerMiB * qMax<qint64>(1, partSize / 1048576);
}

bool KXBlockDownload::run()
{
    if (!m_transport || !m_progress)
        return false;
    QFile file(m_file);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    m_data = file.readAll();
    if (m_data.size() < MinFileSize)
        return false;
    // Large files in small blocks would take too many round trips.
    if (m_data.size() >= LargeFileSize && m_blockSize <= 512)
        m_blockSize = 1024;
    m_frame = QByteArray(m_blockSize + 5, '\0');
    m_frame[0] = '\x02';
    if (!(m_variant == Variant::Image ? readImageParts() : readPackageParts()))
        return false;
    return downloadAll();
}

bool KXBlockDownload::readImageParts()
{
    for (const KXImagePartEntry& entry : readImagePartTable(m_data)) {
        Part part;
        part.offset = entry.offset;
        part.size = entry.size;
        part.type = entry.type.left(int(qstrnlen(entry.type.constData(), 4)));
        const bool checked = entry.flag == 0;
        if (part.size == 0 || (checked && typeCode(part.type) == 0))
            continue;
        if (checked && part.type == "flah")
            part.extra = entry.extra;
        // A part that runs past the end of the file cannot be sent; such an
        // image is broken and refused before the device is touched.
        if (quint64(part.offset) + part.size > quint64(m_data.size()))
            return false;
        m_parts.append(part);
    }
    // The boot loader must be written first.
    for (int i = 1; i < m_parts.size(); ++i) {
        if (m_parts[i].type == "boot") {
            std::swap(m_parts[0], m_parts[i]);
            break;
        }
    }
    for (int i = 0; i < m_parts.size(); ++i)
        m_progress->setByte(KXFirmwareProgress::PartStates + i, typeCode(m_parts[i].type));
    m_localParts = m_parts.size();
    return !m_parts.isEmpty();
}

bool KXBlockDownload::readPackageParts()
{
    KernelInfoRecord record;
    if (!validateNfpHeader(m_data, record))
        return false;
    m_localParts = int(record.number(KernelInfoRecord::LocalParts));
    const int count = m_localParts + int(record.number(KernelInfoRecord::ExtendedParts));
    for (int i = 0; i < count; ++i) {
        const KXNfpPart entry = nfpPart(record, i);
        Part part;
        part.offset = entry.offset;
        part.size = entry.size;
        part.extra = entry.extra;
        // Extended parts carry code 3 and go as "flah" with their extra value.
        part.type = entry.code >= 1 && entry.code <= 4 ? QByteArray(kPartTypes[entry.code - 1])
                                                       : QByteArray();
        m_parts.append(part);
    }
    return true;
}

bool KXBlockDownload::downloadAll()
{
    const bool image = m_variant == Variant::Image;
    if (!writeEscape(image ? kUpgradeEscape : kUpdateEscape) || readByte(kReplyMs) != kAck)
        return fail();
    const char* between = image ? "@NextDown" : "@NextBlock";
    bool ok = downloadParts(0, m_localParts, between);
    if (ok && m_parts.size() > m_localParts) {
        // The extended parts follow their own escape, whose reply says
        // nothing.
        if (writeEscape(kBlockEscape))
            readByte(kReplyMs);
        ok = downloadParts(m_localParts, m_parts.size() - m_localParts, between);
    }
    if (!ok)
        fail();
    // The device leaves its boot dialogue on every path from here.
    sendCommand("@Exit");
    return ok;
}

bool KXBlockDownload::downloadParts(int first, int count, const char* between)
{
    for (int i = first; i < first + count; ++i) {
        if (i > first && !sendNext(between))
            return false;
        if (!announce(i) || !sendData(m_parts[i]) || !waitProgrammed(m_parts[i]))
            return false;
    }
    return true;
}

bool KXBlockDownload::announce(int index)
{
    const Part& part = m_parts[index];
    m_progress->setWord(KXFirmwareProgress::Part, quint32(index));
    setStage(kStageWake);
    for (int i = 0; i < 3; ++i) {
        if (!m_transport->write(QByteArray(1, kWake)))
            return false;
        QThread::msleep(10);
    }
    if (readByte(kReplyMs) != kAwake)
        return false;
    QThread::msleep(30);
    m_transport->clean(0);
    setStage(kStageAnnounce);

    QByteArray type = "!FileType:" + part.type;
    if (m_variant == Variant::Package && typeCode(part.type) == 0)
        return false;
    if (part.type == "flah")
        type += ':' + QByteArray::number(part.extra);
    const quint32 blocks =
        quint32((quint64(part.size) + quint64(m_blockSize) - 1) / quint64(m_blockSize));
    const QByteArray commands[] = {
        "!DataLens:" + QByteArray::number(part.size),
        "!FrameSize:" + QByteArray::number(m_blockSize),
        "!Frames:" + QByteArray::number(blocks),
        type,
    };
    for (const QByteArray& command : commands) {
        if (sendCommand(command) != kOk)
            return false;
    }
    const char start = sendCommand(">Start");
    if (start == kOk)
        return true;
    if (start != kErasing || sendCommand(">Erase") != kOk)
        return false;
    // The device shows that erasing goes on (usually with '.') until ';'.
    for (;;) {
        const int byte = readByte(kReplyMs);
        if (byte < 0)
            return false;
        if (byte == kEraseDone)
            return true;
    }
}

bool KXBlockDownload::sendData(const Part& part)
{
    setStage(kStageBlocks);
    setValue(0);
    const quint32 blockSize = quint32(m_blockSize);
    const quint32 fullBlocks = part.size / blockSize;
    const quint32 blocks = fullBlocks + (part.size % blockSize ? 1 : 0);
    char* frame = m_frame.data();
    for (quint32 i = 0; i < blocks; ++i) {
        if (i < fullBlocks)
            setValue(quint32(quint64(i) * 100 / fullBlocks));
        const quint32 offset = i * blockSize;
        const quint32 length = qMin(blockSize, part.size - offset);
        // The last block goes at full size, zero-filled.
        std::memcpy(frame + 1, m_data.constData() + part.offset + offset, length);
        std::memset(frame + 1 + length, 0, blockSize - length);
        qToBigEndian(crc32(frame, qsizetype(blockSize) + 1), frame + 1 + blockSize);
        if (!m_transport->write(m_frame) || readByte(kBlockAckMs) != kBlockTaken)
            return false;
    }
    setValue(100);
    return true;
}

bool KXBlockDownload::waitProgrammed(const Part& part)
{
    setStage(kStageProgram);
    setValue(0);
    const qint64 limitMs = programmingLimitMs(part.size);
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const int status = readByte(kStatusMs);
        if (status == kProgrammed) {
            setValue(qMin<quint32>(value() + 10, 90));
            return true;
        }
        if (status >= 0 && status != kBusy)
            return false;
        // A device that keeps saying busy is held to the same limit as a
        // silent one.
        if (clock.elapsed() >= limitMs)
            return false;
        if (status < 0)
            setValue(qMin<quint32>(value() + 4, 90));
    }
}

char KXBlockDownload::sendCommand(const QByteArray& text)
{
    if (!m_transport->write(commandFrame(text)))
        return kFailed;
    quint8 header[4];
    if (!readExactly(header, 4, kReplyMs))
        return kFailed;
    const int length = qFromBigEndian<quint16>(header + 2);
    if (length > kMaxReplyPayload)
        return kFailed;
    quint8 rest[kMaxReplyPayload + 4];
    if (!readExactly(rest, length + 4, kReplyMs) || length == 0)
        return kFailed;
    return char(rest[0]);
}

bool KXBlockDownload::sendNext(const QByteArray& text)
{
    if (!m_transport->write(commandFrame(text)))
        return false;
    const int first = readByte(kBlockAckMs);
    if (first < 0)
        return false;
    if (first == kAck)
        return true;
    // Anything else starts a reply frame; any whole one will do.
    quint8 header[3];
    if (!readExactly(header, 3, kReplyMs))
        return false;
    const int length = qFromBigEndian<quint16>(header + 1);
    quint8 rest[kMaxReplyPayload + 4];
    return length <= kMaxReplyPayload && readExactly(rest, length + 4, kReplyMs);
}

bool KXBlockDownload::writeEscape(const QByteArray& escape)
{
    return m_transport->write(escape);
}

int KXBlockDownload::readByte(uint ms)
{
    quint8 byte = 0;
    return m_transport->read_data(&byte, 1, ms) == 1 ? int(byte) : -1;
}

bool KXBlockDownload::readExactly(quint8* buffer, int count, uint ms)
{
    return count == 0 || m_transport->read_data(buffer, count, ms) == uint(count);
}

void KXBlockDownload::setStage(quint32 stage)
{
    m_progress->setWord(KXFirmwareProgress::Stage, stage);
}

void KXBlockDownload::setValue(quint32 value)
{
    m_progress->setWord(int(m_progress->word(KXFirmwareProgress::Stage)), value);
}

quint32 KXBlockDownload::value() const
{
    return m_progress->word(int(m_progress->word(KXFirmwareProgress::Stage)));
}

bool KXBlockDownload::fail()
{
    setValue(100);
    return false;
}
