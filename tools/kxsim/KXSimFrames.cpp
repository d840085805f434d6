#include "KXSimFrames.h"

#include "offline/KXOffLineEngine.h"

#include <QtEndian>

namespace {

const QByteArray kTerminator(";\x03", 2);

QByteArray lengthPrefixedFrame(char protocol, const QByteArray& payload)
{
    QByteArray frame(6, '\0');
    frame[0] = 0x02;
    frame[1] = protocol;
    qToLittleEndian<quint32>(quint32(payload.size()), frame.data() + 2);
    return frame + payload;
}

} // namespace

QByteArrayList simCommands(const QByteArray& text)
{
    QByteArrayList commands;
    for (const QByteArray& part : text.split(';')) {
        QByteArray tag;
        bool first = true;
        for (const QByteArray& item : part.split(',')) {
            if (item.isEmpty())
                continue;
            commands.append(first ? item : tag + item);
            if (first)
                tag = item.left(3);
            first = false;
        }
    }
    return commands;
}

QByteArray simReplyFrame(EDataProtocol protocol, const QByteArray& replyText)
{
    if (protocol == DataProtocol7E07)
        return lengthPrefixedFrame(0x07, '@' + replyText + kTerminator);
    return KXOffLineEngine::deviceFrame(replyText);
}

QByteArray simMessageFrame(const QByteArray& data)
{
    return lengthPrefixedFrame(0x08, "@RUNDAT" + data + kTerminator);
}

QByteArray simGarbage()
{
    return QByteArray("\xA5\x5A"
                      "kxsim garbage"
                      "\xFF\xFE",
                      17);
}

void simCorruptFrame(QByteArray& frame)
{
    if (frame.size() < 8 || frame.at(0) != 0x02 || frame.at(1) == 0x01 ||
        !frame.endsWith(kTerminator))
        return;
    frame[frame.size() - 2] = '\0';
    frame[frame.size() - 1] = '\0';
}

QByteArray simLogReplyHeader(quint32 logLength)
{
    return QByteArray("\x02\x01"
                      "0000@LOGQRY",
                      13) +
           QByteArray::number(logLength, 16).toUpper().rightJustified(8, '0');
}
