#include "KXCtlExchange.h"

#include "datastream/KXDataStreamInternal.h"
#include "discovery/KXDeviceInfo.h"

#include <KXDataStream.h>
#include <KXDataStreamParser.h>
#include <KXDeviceKit.h>

#include <QEventLoop>
#include <QSharedPointer>
#include <QTimer>

namespace {

// A text request's reply time-out is the connector's own; the caller's
// time-out comes this much later, so that a silent device is reported by
// the connector (-1). A length-prefixed request is bounded by the caller's.
constexpr int kCallerMarginMs = 1000;

// The last bytes before a hang-up may still be on their way through the
// connector (it reads in 30 ms slices): a reply that completes within this
// time still counts.
constexpr int kLinkGoneGraceMs = 300;

struct Answer
{
    bool done = false;
    int errcode = KXCtlErrorWaitEnded;
    QByteArray reply;
    QEventLoop* loop = nullptr;
};

} // namespace

bool kxctlParseCount(const QString& text, quint32 max, quint32& value)
{
    if (text.isEmpty() || text.size() > 10)
        return false;
    quint64 number = 0;
    for (QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
        number = number * 10 + quint64(c.unicode() - '0');
    }
    if (number == 0 || number > max)
        return false;
    value = quint32(number);
    return true;
}

bool kxctlTakeTimeout(QStringList& args, int& timeoutMs, QString& error)
{
    const int at = args.indexOf(QStringLiteral("--timeout"));
    if (at < 0)
        return true;
    quint32 ms = 0;
    if (at + 1 >= args.size() || !kxctlParseCount(args.at(at + 1), kKXCtlMaxTimeoutMs, ms)) {
        error = QStringLiteral("--timeout takes milliseconds from 1 to %1").arg(kKXCtlMaxTimeoutMs);
        return false;
    }
    timeoutMs = int(ms);
    args.erase(args.begin() + at, args.begin() + at + 2);
    return true;
}

QByteArray kxctlCommandFrame(const QString& text, EDataProtocol protocol, bool hash)
{
    QByteArray command = text.toLatin1();
    if (!command.startsWith('@') && !command.startsWith('#'))
        command.prepend(hash ? '#' : '@');
    return KXMakeDataStreamCmd(command, protocol, true);
}

bool kxctlIsCommandFrame(const QByteArray& frame, EDataProtocol protocol)
{
    QString specialCmd;
    QByteArray specialParams;
    QByteArray checked = frame;
    return detectDataProtocol(frame) == protocol &&
           KXCheckDataStreamCmd(frame, specialCmd, specialParams) &&
           (protocol != DataProtocol7E07 || appendDataStreamChecksum(checked, false));
}

KXCtlResult kxctlExchange(const QString& id, const QByteArray& frame, int timeoutMs)
{
    KXDeviceKit* kit = KXDeviceKit::Instance();
    kit->setTimeOut_7E01(id, timeoutMs);
    // The answer is shared with the callback: a loop ended from outside (an
    // application exit) must not leave it writing into this frame later.
    auto answer = QSharedPointer<Answer>::create();
    QEventLoop loop;
    answer->loop = &loop;
    KXCtlResult result;
    // The kit would wait out its reply time-out on a dead link and then
    // report silence (-1); the hang-up is the true reason.
    QTimer linkGone;
    linkGone.setSingleShot(true);
    QObject::connect(&linkGone, &QTimer::timeout, &loop, [&] {
        result.linkClosed = true;
        loop.quit();
    });
    QObject::connect(kit, &KXDeviceKit::deviceConnectChanged, &loop,
                     [&linkGone, id](const QString& device, bool connected) {
                         if (device == id && !connected)
                             linkGone.start(kLinkGoneGraceMs);
                     });
    const QString msgid = kit->sendBinaryMessage(
        id, frame,
        [answer](const QString&, int errcode, const QByteArray& data, QObject*) {
            answer->done = true;
            answer->errcode = errcode;
            answer->reply = data;
            if (answer->loop)
                answer->loop->quit();
        },
        &loop,
        detectDataProtocol(frame) == DataProtocol7E07 ? timeoutMs : timeoutMs + kCallerMarginMs,
        DevicePortData);
    if (msgid == QString(QChar(0xFFFD))) {
        result.errcode = KXCtlErrorNotRunning;
        return result;
    }
    if (!answer->done)
        loop.exec();
    answer->loop = nullptr;
    // Taken before a cancel, whose callback (-5) would overwrite it.
    const Answer got = *answer;
    if (!got.done && !msgid.isEmpty())
        kit->cancelRequest(id, msgid, DevicePortData);
    if (got.done) {
        result.linkClosed = false;
    } else if (result.linkClosed) {
        // Stops the request still reading; nothing more can come.
        kit->disconnectFromDeviceEx(id, DevicePortData);
    }
    result.errcode = got.errcode;
    result.reply = got.reply;
    return result;
}

QMap<QString, QString> kxctlSystemInformation(const QString& id, int timeoutMs, KXCtlResult& result)
{
    QMap<QString, QString> info;
    result = kxctlExchange(
        id, kxctlCommandFrame(QStringLiteral("QRYSYS*"), DataProtocol7E01, false), timeoutMs);
    if (result.errcode != KXCtlErrorNone)
        return info;
    const KXDataStreamParser parser(result.reply, DataTypeResponse);
    for (const auto& entry : parser.getTagList()) {
        for (const _tagDataStreamSubTag& sub : entry.second) {
            QByteArray value;
            if (entry.first + sub.subTag != QLatin1String("QRYSYS") ||
                KXParseDataStreamResult(sub.data, value) != DataResultAck)
                continue;
            info.insert(KXInformationLines(QString::fromUtf8(value)));
        }
    }
    return info;
}
