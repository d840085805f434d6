// Image replies under protocol 1 carry binary data inside the text frame:
// after the command, its parameters and sometimes image-window text comes an
// eight-digit hexadecimal length and then that many bytes.

#include "KXDataStream.h"
#include "KXDataStreamInternal.h"
#include "KXDataStreamLog.h"

#include <QRegularExpression>

#include <climits>

namespace {

constexpr int kLengthDigits = 8;
// Width limit of the decimal texts that stand before 'W', 'H' and 'N'.
constexpr int kMaxFieldWidth = 8;

// Eight hexadecimal digits, nothing else; every 32-bit value is allowed.
bool readHexLength(const QByteArray& reply, int pos, quint32& length)
{
    if (pos < 0 || reply.size() - pos < kLengthDigits)
        return false;
    quint32 value = 0;
    for (int i = 0; i < kLengthDigits; ++i) {
        const char c = reply.at(pos + i);
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return false;
        value = (value << 4) | quint32(digit);
    }
    length = value;
    return true;
}

bool isResultByte(char c)
{
    return c == kDataStreamAck || c == kDataStreamEnq || c == kDataStreamNak;
}

const QRegularExpression& imageWindowExpression()
{
    // Never destroyed: connector threads may still decode replies while the
    // process exits and destroys function-local statics.
    static const auto* expression = new QRegularExpression(
        QStringLiteral("-?\\d+W-?\\d+H\\|-?\\d+W-?\\d+H\\|-?\\d+W-?\\d+H\\|-?\\d+W-?\\d+H"));
    return *expression;
}

// Matches `count` image windows one after another from the start of the
// reply; `end` gets the position just after the last one.
bool matchImageWindows(const QByteArray& reply, int count, int& end)
{
    if (count < 1)
        return false;
    // Latin-1 keeps byte offsets and character offsets equal.
    const QString text = QString::fromLatin1(reply);
    int offset = 0;
    for (int i = 0; i < count; ++i) {
        const QRegularExpressionMatch match = imageWindowExpression().match(text, offset);
        if (!match.hasMatch())
            return false;
        const QByteArray window = match.captured(0).toLatin1();
        const int pos = reply.indexOf(window, offset);
        if (pos < 0)
            return false;
        offset = pos + window.size();
    }
    end = offset;
    return true;
}

} // namespace

int GetDataStreamExtendLenPos(const QByteArray& reply, const QByteArray& cmd,
                              const QByteArray& params)
{
    const QByteArray key = cmd + params;
    const int found = reply.indexOf(key);
    if (found < 0)
        return -1;
    qint64 p = found + key.size();

    if (cmd == "IMGBGT") {
        const int w = reply.indexOf('W', int(p));
        if (w < 0 || w - p > kMaxFieldWidth)
            return -1;
        const int h = reply.indexOf('H', w);
        if (h < 0 || h - w > kMaxFieldWidth)
            return -1;
        p = h + 1;
    }

    int windowCount = 0;
    if (cmd == "IMGGET") {
        if (params.contains("2T"))
            windowCount = 1;
    } else if (cmd == "IMGTGT") {
        if (params.contains("2T") || params.contains("3T")) {
            windowCount = 1;
        } else if (params.contains("4T") || params.contains("5T")) {
            const int n = reply.indexOf('N', int(p));
            if (n < 0 || n - p > kMaxFieldWidth)
                return -1;
            windowCount = reply.mid(int(p), int(n - p)).toInt();
            if (windowCount < 1)
                return -1;
        }
    }
    if (windowCount > 0) {
        int end = 0;
        if (!matchImageWindows(reply, windowCount, end))
            return -1;
        p = end;
    }

    quint32 length = 0;
    if (cmd == "IMGJGT") {
        if (reply.size() - p < kLengthDigits || isResultByte(reply.at(int(p))))
            return -1;
        if (!readHexLength(reply, int(p), length))
            return -1;
        p += kLengthDigits + qint64(length);
        if (p > reply.size())
            return -1;
    } else if (cmd == "IMGGLI") {
        if (p >= reply.size() || isResultByte(reply.at(int(p))) ||
            reply.size() - p < 2 * kLengthDigits)
            return -1;
        if (!readHexLength(reply, int(p) + kLengthDigits, length))
            return -1;
        p += 2 * kLengthDigits + qint64(length);
        if (p > reply.size())
            return -1;
    }

    qCDebug(lcDataStream) << "***DataStream*** [7E01] GetDataStreamExtendLenPos:" << p
                          << reply.left(int(p) + 16);
    return int(p);
}

bool KXGetDataStreamExtendData(const QByteArray& reply, const QByteArray& cmd,
                               const QByteArray& params, QByteArray& text, QByteArray& extendData)
{
    const int p = GetDataStreamExtendLenPos(reply, cmd, params);
    if (p < 0 || reply.size() - p < kLengthDigits)
        return false;
    const int textStart = reply.indexOf(params) + params.size();
    text = reply.mid(textStart, qMax(0, p - textStart));
    quint32 length = 0;
    if (!readHexLength(reply, p, length))
        return false;
    const qint64 dataStart = qint64(p) + kLengthDigits;
    // At least the result byte must follow the data.
    if (dataStart + length < reply.size()) {
        extendData = reply.mid(int(dataStart), int(length));
        return true;
    }
    qCDebug(lcDataStream) << "***DataStream*** [!ERR] KXGetDataStreamExtendData fail!" << dataStart
                          << length << reply.size() << qint64(length) - reply.size();
    return false;
}

int getExtendFrameLength(const QByteArray& reply, const QByteArray& cmd, const QByteArray& params)
{
    const int p = GetDataStreamExtendLenPos(reply, cmd, params);
    quint32 length = 0;
    if (p < 0 || !readHexLength(reply, p, length))
        return -1;
    // Data, result byte and terminator follow the length field.
    const qint64 total = qint64(p) + kLengthDigits + length + 3;
    return total > INT_MAX ? INT_MAX : int(total);
}
