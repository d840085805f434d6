#include "KXCtlReport.h"

#include "KXCtlCodec.h"
#include "KXCtlCommands.h"
#include "KXCtlExchange.h"

#include <KXDataStream.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

int KXCtlResult::exitCode() const
{
    if (linkClosed)
        return KXCtlExitNoLink;
    switch (errcode) {
    case KXCtlErrorNone:
        return KXCtlExitOk;
    case KXCtlErrorNoReply:
    case KXCtlErrorTimeout:
        return KXCtlExitNoReply;
    case KXCtlErrorNotRunning:
    case KXCtlErrorWrite:
        return KXCtlExitNoLink;
    case KXCtlErrorBadReply:
        return KXCtlExitBadReply;
    default:
        return KXCtlExitFailed;
    }
}

QString KXCtlResult::errorText(int timeoutMs) const
{
    QString reason;
    switch (errcode) {
    case KXCtlErrorNoReply:
    case KXCtlErrorTimeout:
        reason = QStringLiteral("no reply within %1 ms").arg(timeoutMs);
        break;
    case KXCtlErrorNotRunning:
        reason = QStringLiteral("no connection");
        break;
    case KXCtlErrorWrite:
        reason = QStringLiteral("writing to the device failed");
        break;
    case KXCtlErrorBadCommand:
        reason = QStringLiteral("not a valid framed command");
        break;
    case KXCtlErrorBadReply:
        reason = QStringLiteral("the reply failed its check");
        break;
    default:
        reason = QStringLiteral("the request failed");
        break;
    }
    if (linkClosed)
        reason = QStringLiteral("the device closed the link");
    return QStringLiteral("%1 (error %2)").arg(reason).arg(errcode);
}

namespace {

// Writes the line in pieces: a chunk of megabytes need not be held a second
// time, three times over, as one line of text.
template <typename Sink>
void writeUpstreamLine(bool barcode, const QByteArray& data, Sink write)
{
    constexpr int kPiece = 16 * 1024;
    write(barcode ? QByteArray("barcode: ") : QByteArray("message: "));
    if (barcode) {
        for (int at = 0; at < data.size(); at += kPiece)
            write(printableLatin1(
                QByteArray::fromRawData(data.constData() + at, qMin(kPiece, data.size() - at))));
        write(" [");
    }
    for (int at = 0; at < data.size(); at += kPiece) {
        const QByteArray piece =
            QByteArray::fromRawData(data.constData() + at, qMin(kPiece, data.size() - at));
        write(at == 0 ? piece.toHex(' ') : ' ' + piece.toHex(' '));
    }
    write(barcode ? "]\n" : "\n");
}

} // namespace

QByteArray kxctlUpstreamLine(bool barcode, const QByteArray& data)
{
    QByteArray line;
    writeUpstreamLine(barcode, data, [&line](const QByteArray& piece) { line += piece; });
    return line;
}

void kxctlPrintUpstream(bool barcode, const QByteArray& data)
{
    writeUpstreamLine(barcode, data, [](const QByteArray& piece) {
        std::fwrite(piece.constData(), 1, size_t(piece.size()), stdout);
    });
    std::fflush(stdout);
}

void KXCtlUpstreamReport::add(bool barcode, const QByteArray& data)
{
    const qint64 room = KeptBytes - m_keptBytes;
    if (room <= 0) {
        m_moreBytes += data.size();
        ++m_morePieces;
        return;
    }
    if (data.size() <= room) {
        m_lines += kxctlUpstreamLine(barcode, data);
        m_keptBytes += data.size();
        return;
    }
    QByteArray line = kxctlUpstreamLine(barcode, data.left(int(room)));
    line.chop(1);
    m_lines +=
        line +
        QStringLiteral(" (the first %1 of %2 bytes)\n").arg(room).arg(data.size()).toLatin1();
    m_keptBytes = KeptBytes;
}

QByteArray KXCtlUpstreamReport::text() const
{
    if (m_morePieces == 0)
        return m_lines;
    return m_lines + QStringLiteral("not shown: %1 more bytes in %2 more barcodes or messages\n")
                         .arg(m_moreBytes)
                         .arg(m_morePieces)
                         .toLatin1();
}

QJsonArray kxctlReplyResults(const QByteArray& reply)
{
    QJsonArray results;
    if (reply.isEmpty())
        return results;
    const KXDataStreamParser parser(reply, DataTypeResponse);
    for (const auto& entry : parser.getTagList()) {
        for (const _tagDataStreamSubTag& sub : entry.second) {
            QByteArray value;
            const EDataResult result = KXParseDataStreamResult(sub.data, value);
            results.append(QJsonObject{
                {QStringLiteral("cmd"), entry.first + sub.subTag},
                {QStringLiteral("value"), QString::fromLatin1(value)},
                {QStringLiteral("result"), dataResultName(result)},
            });
        }
    }
    return results;
}

QByteArray kxctlReplyJson(const QJsonValue& error, const QString& message, const QByteArray& sent,
                          const QByteArray& reply)
{
    const QJsonObject object{
        {QStringLiteral("error"), error},
        {QStringLiteral("message"), message},
        {QStringLiteral("sent"), QString::fromLatin1(sent.toHex())},
        {QStringLiteral("reply"), QString::fromLatin1(reply.toHex())},
        {QStringLiteral("results"), kxctlReplyResults(reply)},
    };
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

void kxctlPrint(const QByteArray& bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}
