#include "KXCtlReport.h"

#include "KXCtlCodec.h"
#include "KXCtlCommands.h"

#include "connector/KXDeviceConnector.h"

#include <KXDataStream.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

int kxctlExitCode(int errcode)
{
    switch (errcode) {
    case KXDeviceConnector::ErrorNone:
        return KXCtlExitOk;
    case KXDeviceConnector::ErrorNoReply:
    case KXDeviceConnector::ErrorTimeout:
        return KXCtlExitNoReply;
    case KXDeviceConnector::ErrorNotRunning:
    case KXDeviceConnector::ErrorWrite:
        return KXCtlExitNoLink;
    case KXDeviceConnector::ErrorBadReply:
        return KXCtlExitBadReply;
    default:
        return KXCtlExitFailed;
    }
}

QString kxctlErrorText(int errcode, int timeoutMs)
{
    QString reason;
    switch (errcode) {
    case KXDeviceConnector::ErrorNoReply:
    case KXDeviceConnector::ErrorTimeout:
        reason = QStringLiteral("no reply within %1 ms").arg(timeoutMs);
        break;
    case KXDeviceConnector::ErrorNotRunning:
        reason = QStringLiteral("no connection");
        break;
    case KXDeviceConnector::ErrorWrite:
        reason = QStringLiteral("writing to the device failed");
        break;
    case KXDeviceConnector::ErrorBadCommand:
        reason = QStringLiteral("not a valid framed command");
        break;
    case KXDeviceConnector::ErrorBadReply:
        reason = QStringLiteral("the reply failed its check");
        break;
    default:
        reason = QStringLiteral("the request failed");
        break;
    }
    return QStringLiteral("%1 (error %2)").arg(reason).arg(errcode);
}

QString kxctlUpstreamLine(bool barcode, const QByteArray& data)
{
    const QString hex = QString::fromLatin1(data.toHex(' '));
    if (barcode)
        return QStringLiteral("barcode: %1 [%2]").arg(printableBytes(data), hex);
    return QStringLiteral("message: %1").arg(hex);
}

QByteArray kxctlReplyJson(int errcode, const QByteArray& sent, const QByteArray& reply)
{
    QJsonArray results;
    if (!reply.isEmpty()) {
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
    }
    const QJsonObject object{
        {QStringLiteral("error"), errcode},
        {QStringLiteral("sent"), QString::fromLatin1(sent.toHex())},
        {QStringLiteral("reply"), QString::fromLatin1(reply.toHex())},
        {QStringLiteral("results"), results},
    };
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

void kxctlPrint(const QByteArray& bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

void kxctlPrintLine(const QString& line)
{
    kxctlPrint(line.toLocal8Bit() + '\n');
}
