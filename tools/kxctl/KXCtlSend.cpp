#include "KXCtlCodec.h"
#include "KXCtlCommands.h"
#include "KXCtlExchange.h"
#include "KXCtlReport.h"
#include "KXCtlTarget.h"

#include "connector/KXDeviceConnector.h"

namespace {

constexpr int kDefaultTimeoutMs = 3000;

struct SendOptions
{
    EDataProtocol protocol = DataProtocol7E01;
    int timeoutMs = kDefaultTimeoutMs;
    bool hash = false;
    bool json = false;
    QStringList positional;
};

bool parseOptions(QStringList args, SendOptions& options, QString& err)
{
    if (!kxctlTakeTimeout(args, options.timeoutMs, err))
        return false;
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args.at(i);
        if (arg == QLatin1String("--protocol")) {
            const QString value = i + 1 < args.size() ? args.at(++i) : QString();
            if (value != QLatin1String("1") && value != QLatin1String("7")) {
                err = QStringLiteral("--protocol takes 1 or 7");
                return false;
            }
            options.protocol = value == QLatin1String("7") ? DataProtocol7E07 : DataProtocol7E01;
        } else if (arg == QLatin1String("--hash")) {
            options.hash = true;
        } else if (arg == QLatin1String("--json")) {
            options.json = true;
        } else if (arg.startsWith(QLatin1String("--"))) {
            err = QStringLiteral("unknown option %1").arg(arg);
            return false;
        } else {
            options.positional.append(arg);
        }
    }
    if (options.positional.size() != 2 || options.positional.at(1).isEmpty()) {
        err = QStringLiteral("expected a target (%1) and one command text")
                  .arg(QLatin1String(KXCtlTarget::Forms));
        return false;
    }
    return true;
}

// Why a request was never made: the exit code, the connector's error code
// for JSON (null for a usage error) and a one-line reason.
struct Refusal
{
    int exitCode = KXCtlExitUsage;
    QJsonValue errcode;
    QString text;
};

// Opens the target and checks the frame; false with the refusal.
bool openTarget(const SendOptions& options, const QByteArray& frame, KXDeviceConnector& connector,
                Refusal& refusal)
{
    KXCtlTarget target;
    if (!KXCtlTarget::parse(options.positional.at(0), target, refusal.text))
        return false;
    if (target.kind == KXCtlTarget::Kind::Offline && options.protocol != DataProtocol7E01) {
        refusal.text = QStringLiteral("the offline device takes protocol 1 only");
        return false;
    }
    // Nothing was sent: what a stopped connector answers.
    refusal.exitCode = KXCtlExitNoLink;
    refusal.errcode = KXDeviceConnector::ErrorNotRunning;
    if (!target.open(connector, refusal.text))
        return false;
    if (!kxctlIsCommandFrame(frame, options.protocol)) {
        // What the connector says of such a frame, whatever the link; it is
        // not sent at all.
        KXCtlResult invalid;
        invalid.errcode = KXDeviceConnector::ErrorBadCommand;
        refusal = {invalid.exitCode(), invalid.errcode, invalid.errorText(options.timeoutMs)};
        return false;
    }
    return true;
}

} // namespace

int runSend(const QStringList& args, QString& out, QString& err)
{
    SendOptions options;
    // Seen first: every outcome, a usage error too, is then one object.
    options.json = args.contains(QStringLiteral("--json"));
    QString error;
    if (!parseOptions(args, options, error)) {
        if (options.json)
            out = QString::fromLatin1(kxctlReplyJson(QJsonValue(), error, {}, {}));
        err = QStringLiteral("kxctl send: %1").arg(error);
        return KXCtlExitUsage;
    }
    const QByteArray frame =
        kxctlCommandFrame(options.positional.at(1), options.protocol, options.hash);

    KXCtlUpstreamReport upstream;
    KXDeviceConnector connector;
    // Bytes the device sent ahead of its reply are reported before it: they
    // reach this thread in the order they were read.
    QObject receiver;
    QObject::connect(&connector, &KXDeviceConnector::barcodeReceived, &receiver,
                     [&upstream](const QByteArray& data) { upstream.add(true, data); });
    QObject::connect(&connector, &KXDeviceConnector::messageReceived, &receiver,
                     [&upstream](const QByteArray& data) { upstream.add(false, data); });
    Refusal refusal;
    if (!openTarget(options, frame, connector, refusal)) {
        if (options.json)
            out = QString::fromLatin1(kxctlReplyJson(refusal.errcode, refusal.text, frame, {}));
        err = QStringLiteral("kxctl send: %1").arg(refusal.text);
        return refusal.exitCode;
    }
    const KXCtlResult result = kxctlExchange(connector, frame, options.timeoutMs);
    if (result.errcode != KXDeviceConnector::ErrorNone)
        error = result.errorText(options.timeoutMs);

    if (options.json) {
        out = QString::fromLatin1(kxctlReplyJson(result.errcode, error, frame, result.reply));
    } else {
        out = QStringLiteral("sent: %1\n").arg(QString::fromLatin1(frame.toHex(' ')));
        out += QString::fromLatin1(upstream.text());
        if (!result.reply.isEmpty()) {
            out += QStringLiteral("reply: %1\n").arg(QString::fromLatin1(result.reply.toHex(' ')));
            out += describeFrame(result.reply);
        }
    }
    if (!error.isEmpty())
        err = QStringLiteral("kxctl send: %1").arg(error);
    return result.exitCode();
}
