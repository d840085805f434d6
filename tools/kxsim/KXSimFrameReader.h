#ifndef KXSIMFRAMEREADER_H
#define KXSIMFRAMEREADER_H

#include <KXDataStreamTypes.h>

#include <QByteArray>

// One host frame cut out of a link's byte stream.
struct KXSimHostFrame
{
    EDataProtocol protocol = DataProtocolNone; // 1 or 7
    QByteArray frame;                          // the whole frame as received
    QByteArray text;                           // between the prefix byte and ';' 0x03
};

// Receive buffer of one link: collects bytes however the stream splits or
// joins them and cuts out complete host frames (protocol 1 and 7). Bytes
// before a frame header are junk and dropped, as is a buffer that grows past
// MaxBuffered without holding a frame. Every byte is looked at a bounded
// number of times and the buffer is compacted once per append, so a flood
// of junk costs time in proportion to its size.
class KXSimFrameReader
{
public:
    static constexpr int MaxBuffered = 4 * 1024 * 1024;

    void append(const QByteArray& bytes);
    // The next complete frame; false when none is complete yet.
    bool takeFrame(KXSimHostFrame& out);
    // Junk and overflow bytes dropped so far.
    qint64 droppedBytes() const { return m_dropped; }
    int bufferedBytes() const { return int(m_buffer.size()) - m_head; }

private:
    enum class Cut
    {
        Frame,    // a frame of `length` bytes stands at `at`
        Wait,     // the frame at `at` is not complete yet
        NotFrame, // the byte at `at` starts no frame
    };

    Cut cutProtocol1(int at, int& length);
    Cut cutProtocol7(int at, int& length) const;
    void skip(int count);

    QByteArray m_buffer;
    int m_head = 0; // bytes before this are used up
    // Offset from the frame start at `m_head` below which a protocol 1 frame
    // has no terminator and no next header, so slow streams are not searched
    // again and again.
    int m_searchFrom = 0;
    qint64 m_dropped = 0;
};

#endif // KXSIMFRAMEREADER_H
