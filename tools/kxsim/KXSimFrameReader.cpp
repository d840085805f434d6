#include "KXSimFrameReader.h"

#include "datastream/KXDataStreamInternal.h"

#include <QtEndian>

#include <cstring>

namespace {

const char kReserved[] = "0000";
const QByteArray kTerminator(";\x03", 2);
const QByteArray kProtocol1Header("\x7E\x01"
                                  "0000",
                                  6);
// Payload of the shortest protocol 7 frame: prefix and terminator.
constexpr quint32 kMinPayload = 3;

} // namespace

void KXSimFrameReader::append(const QByteArray& bytes)
{
    m_buffer.append(bytes);
}

bool KXSimFrameReader::takeFrame(KXSimHostFrame& out)
{
    for (;;) {
        const int start = int(m_buffer.indexOf(kDataStreamHostStart));
        if (start < 0) {
            drop(int(m_buffer.size()));
            return false;
        }
        drop(start);
        if (m_buffer.size() < 2)
            return false;

        int length = 0;
        Cut cut = Cut::NotFrame;
        EDataProtocol protocol = DataProtocolNone;
        if (m_buffer.at(1) == char(DataProtocol7E01)) {
            protocol = DataProtocol7E01;
            cut = cutProtocol1(length);
        } else if (m_buffer.at(1) == char(DataProtocol7E07)) {
            protocol = DataProtocol7E07;
            cut = cutProtocol7(length);
        }

        if (cut == Cut::NotFrame) {
            drop(1);
            continue;
        }
        if (cut == Cut::Wait) {
            if (m_buffer.size() > MaxBuffered)
                drop(int(m_buffer.size()));
            return false;
        }
        out.protocol = protocol;
        out.frame = m_buffer.left(length);
        // Prefix byte at offset 6; the text runs up to the terminator.
        out.text =
            length > kDataStreamHeaderSize + 3
                ? out.frame.mid(kDataStreamHeaderSize + 1, length - kDataStreamHeaderSize - 3)
                : QByteArray();
        m_buffer.remove(0, length);
        m_searchFrom = 0;
        return true;
    }
}

KXSimFrameReader::Cut KXSimFrameReader::cutProtocol1(int& length)
{
    // Compare as much of the reserved "0000" as has arrived.
    const int reserved = int(qMin<qsizetype>(4, m_buffer.size() - 2));
    if (std::memcmp(m_buffer.constData() + 2, kReserved, size_t(reserved)) != 0)
        return Cut::NotFrame;
    if (reserved < 4)
        return Cut::Wait;
    const int from = qMax(m_searchFrom, kDataStreamHeaderSize);
    const int end = int(m_buffer.indexOf(kTerminator, from));
    // A new header before the terminator means the frame in front was cut off
    // by its sender: give it up rather than answer the two as one.
    const int next = int(m_buffer.indexOf(kProtocol1Header, qMax(1, from - 5)));
    if (next >= 0 && (end < 0 || next < end))
        return Cut::NotFrame;
    if (end < 0) {
        // A header or terminator may still complete across the last bytes.
        m_searchFrom = qMax(0, int(m_buffer.size()) - int(kProtocol1Header.size()) + 1);
        return Cut::Wait;
    }
    length = end + int(kTerminator.size());
    return Cut::Frame;
}

KXSimFrameReader::Cut KXSimFrameReader::cutProtocol7(int& length) const
{
    if (m_buffer.size() < kDataStreamHeaderSize)
        return Cut::Wait;
    const quint32 declared = qFromLittleEndian<quint32>(m_buffer.constData() + 2);
    if (declared < kMinPayload || declared > quint32(MaxBuffered))
        return Cut::NotFrame;
    // Hosts count a trailing ';' of the text that the envelope then drops,
    // so the payload is the declared length or one byte shorter.
    const int shorter = kDataStreamHeaderSize + int(declared) - 1;
    if (m_buffer.size() < shorter)
        return Cut::Wait;
    if (m_buffer.mid(shorter - 2, 2) == kTerminator) {
        length = shorter;
        return Cut::Frame;
    }
    if (m_buffer.size() < shorter + 1)
        return Cut::Wait;
    if (m_buffer.mid(shorter - 1, 2) == kTerminator) {
        length = shorter + 1;
        return Cut::Frame;
    }
    return Cut::NotFrame;
}

void KXSimFrameReader::drop(int count)
{
    if (count <= 0)
        return;
    m_buffer.remove(0, count);
    m_dropped += count;
    m_searchFrom = 0;
}
