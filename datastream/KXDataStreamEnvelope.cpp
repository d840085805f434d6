#include "KXDataStream.h"
#include "KXDataStreamInternal.h"

#include <QtEndian>

#include <climits>
#include <cstring>

namespace {

constexpr char kTerminator[2] = {';', kDataStreamEtx};
constexpr char kReserved[4] = {'0', '0', '0', '0'};

// Which device headers a search accepts: bit n stands for 0x02 n.
constexpr uint kHeader7E01 = 1u << 1;
constexpr uint kHeader7E07 = 1u << 7;
constexpr uint kHeader7E08 = 1u << 8;
constexpr uint kHeader7E09 = 1u << 9;
constexpr uint kAnyDeviceHeader = kHeader7E01 | kHeader7E07 | kHeader7E08 | kHeader7E09;

uint headerMaskFor(EDataProtocol protocol)
{
    switch (protocol) {
    case DataProtocol7E01:
        return kHeader7E01;
    case DataProtocol7E07:
        return kHeader7E07;
    case DataProtocol7E08:
        return kHeader7E08;
    case DataProtocol7E09:
        return kHeader7E09;
    default:
        return 0;
    }
}

// Length of the header bytes a search matches: protocol 1 device frames are
// recognised by all six bytes 0x02 0x01 "0000", the others by two.
int searchedHeaderLength(int protocolByte)
{
    return protocolByte == DataProtocol7E01 ? kDataStreamHeaderSize : 2;
}

// First device header at or after `from` whose protocol is in `mask`. Scans
// with memchr for the start byte, so long stretches of upstream bytes pass
// at memory speed.
int findDeviceHeader(const char* d, int size, int from, uint mask, int* protocolByte)
{
    while (from + 1 < size) {
        const void* hit = std::memchr(d + from, kDataStreamStx, size_t(size - from - 1));
        if (!hit)
            return -1;
        const int pos = int(static_cast<const char*>(hit) - d);
        const uint proto = uchar(d[pos + 1]);
        if (proto < 32 && (mask & (1u << proto))) {
            const bool complete =
                proto != DataProtocol7E01 || (size - pos >= kDataStreamHeaderSize &&
                                              std::memcmp(d + pos + 2, kReserved, 4) == 0);
            if (complete) {
                *protocolByte = int(proto);
                return pos;
            }
        }
        from = pos + 1;
    }
    return -1;
}

// Position just after the last ';' 0x03 in `d`, or -1.
int endOfLastTerminator(const char* d, int size)
{
    int n = size;
    while (n >= 2) {
        const void* hit = memrchr(d + 1, kDataStreamEtx, size_t(n - 1));
        if (!hit)
            return -1;
        const int pos = int(static_cast<const char*>(hit) - d);
        if (d[pos - 1] == ';')
            return pos + 1;
        n = pos;
    }
    return -1;
}

quint32 readLength(const char* d)
{
    return qFromLittleEndian<quint32>(d);
}

int clampToInt(qint64 value)
{
    return value > INT_MAX ? INT_MAX : int(value);
}

// Host header, the text without a trailing ';', and the terminator.
QByteArray hostFrame(char protocol, const char (&field)[4], QByteArray body)
{
    if (body.endsWith(';'))
        body.chop(1);
    QByteArray frame;
    frame.reserve(kDataStreamHeaderSize + body.size() + 2);
    frame.append(kDataStreamHostStart).append(protocol).append(field, 4);
    frame.append(body).append(kTerminator, 2);
    return frame;
}

} // namespace

EDataProtocol detectDataProtocol(const QByteArray& frame)
{
    // Plain byte compares: a QByteArray::fromRawData needle costs an
    // allocation, and this runs for every frame parsed.
    const char* d = frame.constData();
    if (frame.size() < 10 || std::memcmp(d + frame.size() - 2, kTerminator, 2) != 0)
        return DataProtocolNone;
    if (d[0] == kDataStreamHostStart) {
        switch (d[1]) {
        case 0x01:
            return DataProtocol7E01;
        case 0x07:
            return DataProtocol7E07;
        case 0x09:
            return DataProtocol7E09;
        default:
            return DataProtocolNone; // 0x7E 0x08 does not exist
        }
    }
    if (d[0] == kDataStreamStx) {
        switch (d[1]) {
        case 0x01:
            return std::memcmp(d + 2, kReserved, 4) == 0 ? DataProtocol7E01 : DataProtocolNone;
        case 0x07:
            return DataProtocol7E07;
        case 0x08:
            return DataProtocol7E08;
        case 0x09:
            return DataProtocol7E09;
        default:
            return DataProtocolNone;
        }
    }
    return DataProtocolNone;
}

QByteArray KXMakeDataStreamCmd(const QByteArray& text, EDataProtocol protocol, bool addPrefix)
{
    if (protocol == DataProtocolNone)
        return text;

    QByteArray body = text;
    if (addPrefix && !body.startsWith('@') && !body.startsWith('#'))
        body.prepend('#');

    if (protocol == DataProtocol7E01)
        return hostFrame(0x01, kReserved, body);
    if (protocol == DataProtocol7E07) {
        // The length counts the text as given plus the terminator, before a
        // trailing ';' is dropped: one more than the payload in that case.
        char length[4];
        qToLittleEndian<quint32>(quint32(body.size() + 2), length);
        return hostFrame(0x07, length, body);
    }
    return body;
}

bool KXCheckDataACK(const QByteArray& data)
{
    return !data.isEmpty() && data.endsWith(kDataStreamAck);
}

EDataResult KXParseDataStreamResult(const QByteArray& data, QByteArray& value, EDataProtocol)
{
    value = data;
    if (data.isEmpty())
        return DataResultNak;
    const char last = data.back();
    value.chop(1);
    if (last == kDataStreamAck)
        return DataResultAck;
    if (last == kDataStreamEnq)
        return DataResultEnq;
    return DataResultNak;
}

bool KXCheckDataStreamCmd(const QByteArray& frame, QString& specialCmd, QByteArray& specialParams,
                          QStringList* cmds)
{
    const KXDataStreamParser parser(frame, DataTypeCommand);
    if (!parser.isValid())
        return false;
    KXDataStreamParser::hasSpecialCmd(parser.getSubTagDatas(QString()), specialCmd, specialParams);
    if (cmds)
        *cmds = parser.getAllCmds();
    return true;
}

bool hasFrameTerminator(const QByteArray& data)
{
    return memmem(data.constData(), size_t(data.size()), kTerminator, 2) != nullptr;
}

bool appendDataStreamChecksum(QByteArray& frame, bool useChecksum)
{
    const EDataProtocol protocol = detectDataProtocol(frame);
    if (protocol == DataProtocolNone || !hasFrameTerminator(frame))
        return false;
    if (!useChecksum || protocol == DataProtocol7E01)
        return true;
    char crc[2];
    qToLittleEndian<quint16>(dataStreamCrc16(frame.constData() + kDataStreamHeaderSize,
                                             frame.size() - kDataStreamHeaderSize),
                             crc);
    frame.append(crc, 2);
    return true;
}

bool checkDataStreamChecksum(QByteArray& frame, bool hasChecksum)
{
    if (hasChecksum) {
        if (frame.size() < kDataStreamHeaderSize + 2)
            return false;
        const int payload = frame.size() - kDataStreamHeaderSize - 2;
        const quint16 expected =
            dataStreamCrc16(frame.constData() + kDataStreamHeaderSize, payload);
        const quint16 carried = qFromLittleEndian<quint16>(frame.constData() + frame.size() - 2);
        if (expected != carried)
            return false;
        frame.chop(2);
    }
    return detectDataProtocol(frame) != DataProtocolNone && hasFrameTerminator(frame);
}

int getDataStreamFrameLength(EDataProtocol protocol, const QByteArray& data, bool hasChecksum)
{
    if (protocol != DataProtocol7E07 && protocol != DataProtocol7E08 &&
        protocol != DataProtocol7E09)
        return -1;
    int protocolByte = 0;
    const int pos =
        findDeviceHeader(data.constData(), data.size(), 0, headerMaskFor(protocol), &protocolByte);
    if (pos < 0 || data.size() - pos < kDataStreamHeaderSize)
        return -1;
    const qint64 length = readLength(data.constData() + pos + 2);
    return clampToInt(pos + kDataStreamHeaderSize + length + (hasChecksum ? 2 : 0));
}

int GetCmdResponsePos(const QByteArray& data, EDataProtocol protocol, const QStringList& cmds)
{
    const uint mask = headerMaskFor(protocol);
    if (mask == 0)
        return -1;
    // Header, prefix and the six letters of the first mnemonic.
    constexpr int kMnemonicEnd = kDataStreamHeaderSize + 1 + 6;
    const char* d = data.constData();
    const int size = data.size();
    int protocolByte = 0;
    int pos = findDeviceHeader(d, size, 0, mask, &protocolByte);
    while (pos >= 0) {
        if (cmds.isEmpty())
            return pos;
        if (size - pos >= kMnemonicEnd &&
            cmds.contains(QString::fromLatin1(d + pos + kDataStreamHeaderSize + 1, 6)))
            return pos;
        pos = findDeviceHeader(d, size, pos + searchedHeaderLength(protocolByte), mask,
                               &protocolByte);
    }
    return -1;
}

bool splitDataStreamFrame(const QByteArray& data, QByteArray& before, QByteArray& frame,
                          QByteArray& rest)
{
    const char* d = data.constData();
    const int size = data.size();
    int protocolByte = 0;
    const int pos = findDeviceHeader(d, size, 0, kAnyDeviceHeader, &protocolByte);
    if (pos < 0)
        return false;

    qint64 end = -1;
    if (protocolByte == DataProtocol7E01) {
        const int last = endOfLastTerminator(d, size);
        if (last > pos + kDataStreamHeaderSize)
            end = last;
    } else if (size - pos >= kDataStreamHeaderSize) {
        end = qint64(pos) + kDataStreamHeaderSize + readLength(d + pos + 2);
    }
    if (end < 0)
        return false;

    if (end <= size) {
        before = data.left(pos);
        frame = data.mid(pos, int(end - pos));
        rest = data.mid(int(end));
        return true;
    }
    // A length this large is taken as garbage rather than a frame still on
    // its way: hand back the header so the caller can drop it.
    if (end >= 0xFFFFFF) {
        before = data.left(pos + kDataStreamHeaderSize);
        return true;
    }
    return false;
}
