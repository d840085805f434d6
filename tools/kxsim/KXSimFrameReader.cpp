#include "KXSimFrameReader.h"

#include "datastream/KXDataStreamInternal.h"

#include <QtEndian>

#include <cstring>

namespace {

const char kReserved[] = "0000";
const char kTerminator[] = ";\x03";
constexpr int kTerminatorSize = 2;
const QByteArray kProtocol1Header("\x7E\x01"
                                  "0000",
                                  6);
// Payload of the shortest protocol 7 frame: prefix and terminator.
constexpr quint32 kMinPayload = 3;

bool isTerminatorAt(const char* data, int offset)
{
    return std::memcmp(data + offset, kTerminator, kTerminatorSize) == 0;
}

} // namespace

void KXSimFrameReader::append(const QByteArray& bytes)
{
    if (m_head > 0) {
        m_buffer.remove(0, m_head);
        m_head = 0;
    }
    m_buffer.append(bytes);
}

bool KXSimFrameReader::takeFrame(KXSimHostFrame& out)
{
    const char* data = m_buffer.constData();
    const int size = int(m_buffer.size());
    for (int at = m_head; at < size;) {
        const void* start = std::memchr(data + at, kDataStreamHostStart, size_t(size - at));
        if (!start) {
            skip(size - m_head);
            return false;
        }
        at = int(static_cast<const char*>(start) - data);
        if (at > m_head) {
            skip(at - m_head);
            m_searchFrom = 0;
        }
        if (size - at < 2)
            return false;

        int length = 0;
        Cut cut = Cut::NotFrame;
        EDataProtocol protocol = DataProtocolNone;
        if (data[at + 1] == char(DataProtocol7E01)) {
            protocol = DataProtocol7E01;
            cut = cutProtocol1(at, length);
        } else if (data[at + 1] == char(DataProtocol7E07)) {
            protocol = DataProtocol7E07;
            cut = cutProtocol7(at, length);
        }

        if (cut == Cut::NotFrame) {
            // The next candidate is past this start byte; the skip happens
            // with the next search, once.
            ++at;
            continue;
        }
        if (cut == Cut::Wait) {
            if (size - m_head > MaxBuffered)
                skip(size - m_head);
            return false;
        }
        out.protocol = protocol;
        out.frame = m_buffer.mid(at, length);
        // Prefix byte at offset 6; the text runs up to the terminator.
        out.text =
            length > kDataStreamHeaderSize + 3
                ? out.frame.mid(kDataStreamHeaderSize + 1, length - kDataStreamHeaderSize - 3)
                : QByteArray();
        m_head = at + length;
        m_searchFrom = 0;
        return true;
    }
    skip(size - m_head);
    return false;
}

KXSimFrameReader::Cut KXSimFrameReader::cutProtocol1(int at, int& length)
{
    const char* frame = m_buffer.constData() + at;
    const int available = int(m_buffer.size()) - at;
    // Compare as much of the reserved "0000" as has arrived.
    const int reserved = qMin(4, available - 2);
    if (std::memcmp(frame + 2, kReserved, size_t(reserved)) != 0)
        return Cut::NotFrame;
    if (reserved < 4)
        return Cut::Wait;
    // A new header before the terminator means the frame in front was cut off
    // by its sender: give it up rather than answer the two as one. Only the
    // bytes up to that header are searched for the terminator, so each byte
    // is searched once however many headers follow each other.
    const int next = int(m_buffer.indexOf(kProtocol1Header, at + qMax(1, m_searchFrom))) - at;
    const int limit = next >= 0 ? next : available;
    for (int offset = qMax(m_searchFrom, kDataStreamHeaderSize); offset + kTerminatorSize <= limit;
         ++offset) {
        const void* semicolon = std::memchr(frame + offset, ';', size_t(limit - offset));
        if (!semicolon)
            break;
        offset = int(static_cast<const char*>(semicolon) - frame);
        if (offset + kTerminatorSize <= available && isTerminatorAt(frame, offset)) {
            length = offset + kTerminatorSize;
            return Cut::Frame;
        }
    }
    if (next >= 0)
        return Cut::NotFrame;
    // A header or terminator may still complete across the last bytes.
    m_searchFrom = qMax(0, available - int(kProtocol1Header.size()) + 1);
    return Cut::Wait;
}

KXSimFrameReader::Cut KXSimFrameReader::cutProtocol7(int at, int& length) const
{
    const char* frame = m_buffer.constData() + at;
    const int available = int(m_buffer.size()) - at;
    if (available < kDataStreamHeaderSize)
        return Cut::Wait;
    const quint32 declared = qFromLittleEndian<quint32>(frame + 2);
    if (declared < kMinPayload || declared > quint32(MaxBuffered))
        return Cut::NotFrame;
    // Hosts count a trailing ';' of the text that the envelope then drops,
    // so the payload is the declared length or one byte shorter.
    const int shorter = kDataStreamHeaderSize + int(declared) - 1;
    if (available < shorter)
        return Cut::Wait;
    if (isTerminatorAt(frame, shorter - kTerminatorSize)) {
        length = shorter;
        return Cut::Frame;
    }
    if (available < shorter + 1)
        return Cut::Wait;
    if (isTerminatorAt(frame, shorter - 1)) {
        length = shorter + 1;
        return Cut::Frame;
    }
    return Cut::NotFrame;
}

void KXSimFrameReader::skip(int count)
{
    if (count <= 0)
        return;
    m_head += count;
    m_dropped += count;
    m_searchFrom = 0;
    if (m_head == m_buffer.size()) {
        m_buffer.clear();
        m_head = 0;
    }
}
