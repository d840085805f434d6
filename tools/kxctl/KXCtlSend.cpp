#include "KXCtlCodec.h"
#include "KXCtlCommands.h"
#include "KXCtlDevice.h"
#include "KXCtlExchange.h"
#include "KXCtlReport.h"

namespace {

constexpr int kDefaultTimeoutMs = 3000;

struct SendOptions
{
    EDataProtocol protocol = DataProtocol7E01;
    int timeoutMs = kDefaultTimeoutMs;
    bool hash = false;
    bool json = false;
    KXCtlDevice device;
    QString text;
};

bool parseOptions(QStringList args, SendOptions& options, QString& err)
{
    if (!kxctlTakeTimeout(args, options.timeoutMs, err) ||
        !KXCtlDevice::parse(args, options.device, err))
        return false;
    QStringList positional;
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
            positional.append(arg);
        }
    }
    if (positional.size() != 1 || positional.first().isEmpty()) {
        err = QStringLiteral("expected a device (%1) and one command text")
                  .arg(QLatin1String(KXCtlDevice::Forms));
        return false;
    }
    options.text = positional.first();
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

// Opens the device and checks the frame; false with the refusal.
bool openDevice(SendOptions& options, const QByteArray& frame, Refusal& refusal)
{
    if (options.device.kind() == KXCtlDevice::Kind::Offline &&
        options.protocol != DataProtocol7E01) {
        refusal.text = QStringLiteral("the offline device takes protocol 1 only");
        return false;
    }
    // Nothing was sent: what a request without a connection answers.
    refusal.exitCode = KXCtlExitNoLink;
    refusal.errcode = KXCtlErrorNotRunning;
    if (!options.device.open(DevicePortData, refusal.text))
        return false;
    if (!kxctlIsCommandFrame(frame, options.protocol)) {
        // What the kit says of such a frame, whatever the link; it is not
        // sent at all.
        KXCtlResult invalid;
        invalid.errcode = KXCtlErrorBadCommand;
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
    const QByteArray frame = kxctlCommandFrame(options.text, options.protocol, options.hash);

    KXCtlUpstreamReport upstream;
    // Bytes the device sent ahead of its reply are reported before it: they
    // reach this thread in the order they were read.
    QObject receiver;
    KXDeviceKit* kit = KXDeviceKit::Instance();
    QObject::connect(kit, &KXDeviceKit::barcodeReceived, &receiver,
                     [&](const QString& device, const QByteArray& data) {
                         if (device == options.device.id())
                             upstream.add(true, data);
                     });
    QObject::connect(kit, &KXDeviceKit::messageReceived, &receiver,
                     [&](const QString& device, const QByteArray& data) {
                         if (device == options.device.id())
                             upstream.add(false, data);
                     });
    Refusal refusal;
    if (!openDevice(options, frame, refusal)) {
        if (options.json)
            out = QString::fromLatin1(kxctlReplyJson(refusal.errcode, refusal.text, frame, {}));
        err = QStringLiteral("kxctl send: %1").arg(refusal.text);
        return refusal.exitCode;
    }
    const KXCtlResult result = kxctlExchange(options.device.id(), frame, options.timeoutMs);
    options.device.close();
    if (result.errcode != KXCtlErrorNone)
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
