#ifndef KXCTLEXCHANGE_H
#define KXCTLEXCHANGE_H

#include <KXDataStreamTypes.h>

#include <QByteArray>
#include <QString>
#include <QStringList>

class KXDeviceConnector;

// Bounds of --timeout: above an hour is surely a typing error, and the
// connector's timers take int milliseconds.
constexpr int kKXCtlMaxTimeoutMs = 3600000;

// Takes "--timeout MS" out of `args` (anywhere), leaving `timeoutMs` as it is
// when absent. False with a one-line reason for a missing value or one that
// is not 1 to kKXCtlMaxTimeoutMs in decimal digits.
bool kxctlTakeTimeout(QStringList& args, int& timeoutMs, QString& error);

// Command text (such as QRYSYS* or DFMQCU;LUAQRY) framed for sending: '@'
// (or '#' with `hash`) is prefixed unless the text starts with one.
QByteArray kxctlCommandFrame(const QString& text, EDataProtocol protocol, bool hash);

// True when the connector would send `frame` as a command of `protocol`.
// Text that frames to less (such as ";", too short to be recognised as an
// envelope) would otherwise go out as raw bytes, unanswered.
bool kxctlIsCommandFrame(const QByteArray& frame, EDataProtocol protocol);

// What one exchange came to.
struct KXCtlResult
{
    int errcode = -999;      // the connector's error code
    bool linkClosed = false; // the device hung up before answering
    QByteArray reply;

    // The process exit code (see KXCtlCommands.h).
    int exitCode() const;
    // One-line reason for a failure, naming the error code.
    QString errorText(int timeoutMs) const;
};

// Queues one frame on the connector and runs an event loop until its answer
// arrives, or until a network device hangs up (the connector is then
// disconnected). `timeoutMs` bounds the wait for a reply (the connector's
// reply time-out is set to it).
KXCtlResult kxctlExchange(KXDeviceConnector& connector, const QByteArray& frame, int timeoutMs);

#endif // KXCTLEXCHANGE_H
