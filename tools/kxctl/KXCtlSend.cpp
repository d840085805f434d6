#include "KXCtlCodec.h"

#include "datastream/KXDataStreamInternal.h"
#include "transport/KXNetworkAdaptor.h"

#include <KXDataStream.h>

#include <QElapsedTimer>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;
constexpr int kExitNoReply = 4;
constexpr int kExitNoLink = 5;

// Reads until the buffer holds one whole device frame of `protocol` or the
// time is up.
bool readReply(KXNetworkAdaptor& link, EDataProtocol protocol, int timeoutMs, QByteArray& buffer,
               QByteArray& before, QByteArray& frame)
{
    QElapsedTimer elapsed;
    elapsed.start();
    while (elapsed.elapsed() < timeoutMs) {
        const uint left = uint(timeoutMs - elapsed.elapsed());
        link.read_until(buffer, left, IDataStreamReadWrite::NoInterval, ";\x03", 2, nullptr);
        if (protocol == DataProtocol7E07) {
            const int needed = getDataStreamFrameLength(protocol, buffer, false);
            if (needed < 0 || buffer.size() < needed)
                continue;
        }
        QByteArray rest;
        if (splitDataStreamFrame(buffer, before, frame, rest) && !frame.isEmpty())
            return true;
        if (!link.is_open())
            return false;
    }
    return false;
}

// "tcp://HOST:PORT"
bool parseTcpTarget(const QString& target, QString& host, uint& port)
{
    const QString prefix = QStringLiteral("tcp://");
    if (!target.startsWith(prefix))
        return false;
    const int colon = target.lastIndexOf(QLatin1Char(':'));
    if (colon <= prefix.size())
        return false;
    host = target.mid(prefix.size(), colon - prefix.size());
    bool ok = false;
    port = target.mid(colon + 1).toUInt(&ok);
    return ok && port > 0 && port < 65536;
}

} // namespace

int runSend(const QStringList& args, QString& out, QString& err)
{
    EDataProtocol protocol = DataProtocol7E01;
    int timeoutMs = 3000;
    bool hash = false;
    QStringList positional;
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args.at(i);
        const QString value = i + 1 < args.size() ? args.at(i + 1) : QString();
        bool ok = true;
        if (arg == QLatin1String("--timeout")) {
            timeoutMs = value.toInt(&ok);
            ok = ok && timeoutMs > 0;
            ++i;
        } else if (arg == QLatin1String("--protocol")) {
            ok = value == QLatin1String("1") || value == QLatin1String("7");
            protocol = value == QLatin1String("7") ? DataProtocol7E07 : DataProtocol7E01;
            ++i;
        } else if (arg == QLatin1String("--hash")) {
            hash = true;
        } else if (arg.startsWith(QLatin1String("--"))) {
            err = QStringLiteral("kxctl send: unknown option %1").arg(arg);
            return kExitUsage;
        } else {
            positional.append(arg);
        }
        if (!ok) {
            err = QStringLiteral("kxctl send: bad value for %1").arg(arg);
            return kExitUsage;
        }
    }
    QString host;
    uint port = 0;
    if (positional.size() != 2 || positional.at(1).isEmpty() ||
        !parseTcpTarget(positional.at(0), host, port)) {
        err = QStringLiteral("kxctl send: expected tcp://HOST:PORT and one command text");
        return kExitUsage;
    }
    positional.removeFirst();

    QByteArray text = positional.first().toLatin1();
    if (!text.startsWith('@') && !text.startsWith('#'))
        text.prepend(hash ? '#' : '@');
    const QByteArray command = KXMakeDataStreamCmd(text, protocol, true);

    KXNetworkAdaptor link;
    if (!link.connect(host, quint16(port), false)) {
        err = QStringLiteral("kxctl send: cannot connect to %1:%2").arg(host).arg(port);
        return kExitNoLink;
    }
    if (!link.write(command)) {
        err = QStringLiteral("kxctl send: writing to %1:%2 failed").arg(host).arg(port);
        return kExitNoLink;
    }
    QByteArray buffer;
    QByteArray before;
    QByteArray frame;
    const bool replied = readReply(link, protocol, timeoutMs, buffer, before, frame);
    link.close();
    QString report = QStringLiteral("sent: %1\n").arg(QString::fromLatin1(command.toHex(' ')));
    if (!before.isEmpty())
        report += QStringLiteral("upstream: %1\n").arg(QString::fromLatin1(before.toHex(' ')));
    if (!replied) {
        out = report;
        err = QStringLiteral("kxctl send: no reply within %1 ms").arg(timeoutMs);
        return kExitNoReply;
    }
    report += QStringLiteral("reply: %1\n").arg(QString::fromLatin1(frame.toHex(' ')));
    report += describeFrame(frame);
    out = report;
    return kExitOk;
}
