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

bool parseOptions(const QStringList& args, SendOptions& options, QString& err)
{
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args.at(i);
        const QString value = i + 1 < args.size() ? args.at(i + 1) : QString();
        bool ok = true;
        if (arg == QLatin1String("--timeout")) {
            options.timeoutMs = value.toInt(&ok);
            ok = ok && options.timeoutMs > 0;
            ++i;
        } else if (arg == QLatin1String("--protocol")) {
            ok = value == QLatin1String("1") || value == QLatin1String("7");
            options.protocol = value == QLatin1String("7") ? DataProtocol7E07 : DataProtocol7E01;
            ++i;
        } else if (arg == QLatin1String("--hash")) {
            options.hash = true;
        } else if (arg == QLatin1String("--json")) {
            options.json = true;
        } else if (arg.startsWith(QLatin1String("--"))) {
            err = QStringLiteral("kxctl send: unknown option %1").arg(arg);
            return false;
        } else {
            options.positional.append(arg);
        }
        if (!ok) {
            err = QStringLiteral("kxctl send: bad value for %1").arg(arg);
            return false;
        }
    }
    if (options.positional.size() != 2 || options.positional.at(1).isEmpty()) {
        err = QStringLiteral("kxctl send: expected a target (%1) and one command text")
                  .arg(QLatin1String(KXCtlTarget::Forms));
        return false;
    }
    return true;
}

} // namespace

int runSend(const QStringList& args, QString& out, QString& err)
{
    SendOptions options;
    if (!parseOptions(args, options, err))
        return KXCtlExitUsage;
    KXCtlTarget target;
    QString error;
    if (!KXCtlTarget::parse(options.positional.at(0), target, error)) {
        err = QStringLiteral("kxctl send: %1").arg(error);
        return KXCtlExitUsage;
    }
    if (target.kind == KXCtlTarget::Kind::Offline && options.protocol != DataProtocol7E01) {
        err = QStringLiteral("kxctl send: the offline device takes protocol 1 only");
        return KXCtlExitUsage;
    }
    const QByteArray frame =
        kxctlCommandFrame(options.positional.at(1), options.protocol, options.hash);

    QStringList upstream;
    KXDeviceConnector connector;
    // Bytes the device sent ahead of its reply are reported before it: they
    // reach this thread in the order they were read.
    QObject receiver;
    QObject::connect(
        &connector, &KXDeviceConnector::barcodeReceived, &receiver,
        [&upstream](const QByteArray& data) { upstream.append(kxctlUpstreamLine(true, data)); });
    QObject::connect(
        &connector, &KXDeviceConnector::messageReceived, &receiver,
        [&upstream](const QByteArray& data) { upstream.append(kxctlUpstreamLine(false, data)); });
    if (!target.open(connector, error)) {
        err = QStringLiteral("kxctl send: %1").arg(error);
        return KXCtlExitNoLink;
    }
    QByteArray reply;
    const int errcode = kxctlExchange(connector, frame, options.timeoutMs, reply);

    if (options.json) {
        out = QString::fromLatin1(kxctlReplyJson(errcode, frame, reply));
    } else {
        out = QStringLiteral("sent: %1\n").arg(QString::fromLatin1(frame.toHex(' ')));
        for (const QString& line : qAsConst(upstream))
            out += line + QLatin1Char('\n');
        if (!reply.isEmpty()) {
            out += QStringLiteral("reply: %1\n").arg(QString::fromLatin1(reply.toHex(' ')));
            out += describeFrame(reply);
        }
    }
    if (errcode != KXDeviceConnector::ErrorNone)
        err = QStringLiteral("kxctl send: %1").arg(kxctlErrorText(errcode, options.timeoutMs));
    return kxctlExitCode(errcode);
}
