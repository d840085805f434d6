#include "KXCtlExchange.h"

#include "connector/KXDeviceConnector.h"

#include "datastream/KXDataStreamInternal.h"

#include <KXDataStream.h>

#include <QEventLoop>
#include <QSharedPointer>

namespace {

// A text request's reply time-out is the connector's own; the caller's
// time-out comes this much later, so that a silent device is reported by
// the connector (-1). A length-prefixed request is bounded by the caller's.
constexpr int kCallerMarginMs = 1000;

struct Answer
{
    bool done = false;
    int errcode = KXDeviceConnector::ErrorWaitEnded;
    QByteArray reply;
    QEventLoop* loop = nullptr;
};

} // namespace

QByteArray kxctlCommandFrame(const QString& text, EDataProtocol protocol, bool hash)
{
    QByteArray command = text.toLatin1();
    if (!command.startsWith('@') && !command.startsWith('#'))
        command.prepend(hash ? '#' : '@');
    return KXMakeDataStreamCmd(command, protocol, true);
}

int kxctlExchange(KXDeviceConnector& connector, const QByteArray& frame, int timeoutMs,
                  QByteArray& reply)
{
    connector.setTimeOut_7E01(timeoutMs);
    // The answer is shared with the callback: a loop ended from outside (an
    // application exit) must not leave it writing into this frame later.
    auto answer = QSharedPointer<Answer>::create();
    QEventLoop loop;
    answer->loop = &loop;
    const QString msgid = connector.sendBinaryMessage(
        frame,
        [answer](const QString&, int errcode, const QByteArray& data, QObject*) {
            answer->done = true;
            answer->errcode = errcode;
            answer->reply = data;
            if (answer->loop)
                answer->loop->quit();
        },
        &loop,
        detectDataProtocol(frame) == DataProtocol7E07 ? timeoutMs : timeoutMs + kCallerMarginMs);
    if (!answer->done)
        loop.exec();
    answer->loop = nullptr;
    if (!answer->done && !msgid.isEmpty())
        connector.cancelRequest(msgid, false);
    reply = answer->reply;
    return answer->errcode;
}
