#include "KXCtlCodec.h"

#include "datastream/KXDataStreamInternal.h"

#include <KXDataStream.h>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;
constexpr int kExitInvalidFrame = 3;

QString protocolName(EDataProtocol protocol)
{
    switch (protocol) {
    case DataProtocol7E01:
        return QStringLiteral("1 (7E01, text envelope)");
    case DataProtocol7E07:
        return QStringLiteral("7 (7E07, length-prefixed)");
    case DataProtocol7E08:
        return QStringLiteral("8 (7E08, device upstream)");
    case DataProtocol7E09:
        return QStringLiteral("9 (7E09, length-prefixed)");
    default:
        return QStringLiteral("-1 (not recognised)");
    }
}

QString hex(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toHex(' '));
}

} // namespace

QString dataResultName(int result)
{
    switch (result) {
    case DataResultAck:
        return QStringLiteral("ACK");
    case DataResultEnq:
        return QStringLiteral("ENQ");
    default:
        return QStringLiteral("NAK");
    }
}

QByteArray printableLatin1(const QByteArray& bytes)
{
    QByteArray text;
    text.reserve(bytes.size());
    for (char c : bytes) {
        const uchar u = uchar(c);
        if (u >= 0x20 && u < 0x7F && c != '\\' && c != '"') {
            text += c;
        } else {
            const char escaped[] = {'\\', 'x', "0123456789abcdef"[u >> 4],
                                    "0123456789abcdef"[u & 0x0F]};
            text.append(escaped, 4);
        }
    }
    return text;
}

QString printableBytes(const QByteArray& bytes)
{
    return QString::fromLatin1(printableLatin1(bytes));
}

bool parseHex(const QString& text, QByteArray& bytes)
{
    QByteArray digits;
    for (QChar c : text) {
        if (c.isSpace())
            continue;
        const char l = c.toLatin1();
        const bool isHex =
            (l >= '0' && l <= '9') || (l >= 'a' && l <= 'f') || (l >= 'A' && l <= 'F');
        if (!isHex)
            return false;
        digits.append(l);
    }
    if (digits.isEmpty() || digits.size() % 2 != 0)
        return false;
    bytes = QByteArray::fromHex(digits);
    return true;
}

int runEncode(const QStringList& args, QString& out, QString& err)
{
    EDataProtocol protocol = DataProtocol7E01;
    bool hash = false;
    bool crc = false;
    QStringList positional;
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args.at(i);
        if (arg == QLatin1String("--protocol")) {
            const QString value = i + 1 < args.size() ? args.at(++i) : QString();
            if (value == QLatin1String("1"))
                protocol = DataProtocol7E01;
            else if (value == QLatin1String("7"))
                protocol = DataProtocol7E07;
            else if (value == QLatin1String("8"))
                protocol = DataProtocol7E08;
            else if (value == QLatin1String("9"))
                protocol = DataProtocol7E09;
            else {
                err = QStringLiteral("kxctl encode: --protocol takes 1, 7, 8 or 9");
                return kExitUsage;
            }
        } else if (arg == QLatin1String("--hash")) {
            hash = true;
        } else if (arg == QLatin1String("--crc")) {
            crc = true;
        } else if (arg.startsWith(QLatin1String("--"))) {
            err = QStringLiteral("kxctl encode: unknown option %1").arg(arg);
            return kExitUsage;
        } else {
            positional.append(arg);
        }
    }
    if (positional.size() != 1 || positional.first().isEmpty()) {
        err = QStringLiteral("kxctl encode: expected one command text, such as DFMQCU;LUAQRY");
        return kExitUsage;
    }
    // Only the length-prefixed envelope carries a CRC; the text envelope
    // would pass through unchanged.
    if (crc && protocol != DataProtocol7E07) {
        err = QStringLiteral("kxctl encode: --crc needs protocol 7 (1 has no CRC, 8 and 9 make "
                             "no envelope)");
        return kExitUsage;
    }
    QByteArray text = positional.first().toLatin1();
    if (!text.startsWith('@') && !text.startsWith('#'))
        text.prepend(hash ? '#' : '@');
    QByteArray frame = KXMakeDataStreamCmd(text, protocol, true);
    if (crc && !appendDataStreamChecksum(frame, true)) {
        err = QStringLiteral("kxctl encode: cannot append a CRC to %1").arg(hex(frame));
        return kExitUsage;
    }
    out = hex(frame) + QLatin1Char('\n');
    return kExitOk;
}

QString describeFrame(const QByteArray& frame, bool* valid)
{
    QString text;
    const KXDataStreamParser parser(frame, DataTypeResponse);
    text += QStringLiteral("protocol: %1\n").arg(protocolName(parser.getProtocol()));
    if (parser.getProtocol() != DataProtocolNone) {
        const bool fromHost = frame.at(0) == kDataStreamHostStart;
        text += QStringLiteral("direction: %1\n")
                    .arg(fromHost ? QStringLiteral("host") : QStringLiteral("device"));
    }
    text += QStringLiteral("valid: %1\n")
                .arg(parser.isValid() ? QStringLiteral("yes") : QStringLiteral("no"));
    for (const auto& entry : parser.getTagList()) {
        text += QStringLiteral("tag %1\n")
                    .arg(entry.first.isEmpty() ? QStringLiteral("(none)") : entry.first);
        for (const _tagDataStreamSubTag& sub : entry.second) {
            QByteArray value;
            const EDataResult result = KXParseDataStreamResult(sub.data, value);
            text += QStringLiteral("  %1 data=\"%2\" [%3] value=\"%4\" result=%5\n")
                        .arg(sub.subTag.isEmpty() ? QStringLiteral("(special)") : sub.subTag,
                             printableBytes(sub.data), hex(sub.data), printableBytes(value),
                             dataResultName(result));
        }
    }
    if (valid)
        *valid = parser.isValid();
    return text;
}

int runDecode(const QStringList& args, QString& out, QString& err)
{
    bool crc = false;
    QStringList positional;
    for (const QString& arg : args) {
        if (arg == QLatin1String("--crc"))
            crc = true;
        else if (arg.startsWith(QLatin1String("--"))) {
            err = QStringLiteral("kxctl decode: unknown option %1").arg(arg);
            return kExitUsage;
        } else
            positional.append(arg);
    }
    if (positional.isEmpty()) {
        err = QStringLiteral("kxctl decode: expected a frame in hexadecimal");
        return kExitUsage;
    }
    QByteArray frame;
    if (!parseHex(positional.join(QLatin1Char(' ')), frame)) {
        err = QStringLiteral("kxctl decode: bad hexadecimal input");
        return kExitUsage;
    }

    QString text;
    if (crc) {
        const bool ok = checkDataStreamChecksum(frame, true);
        text += QStringLiteral("crc: %1\n").arg(ok ? QStringLiteral("ok") : QStringLiteral("bad"));
        if (!ok) {
            out = text;
            return kExitInvalidFrame;
        }
    }
    bool valid = false;
    text += describeFrame(frame, &valid);
    out = text;
    return valid ? kExitOk : kExitInvalidFrame;
}
