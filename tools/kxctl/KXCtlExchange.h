#ifndef KXCTLEXCHANGE_H
#define KXCTLEXCHANGE_H

#include <KXDataStreamTypes.h>

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

// The kit's error codes of a request (see KXDeviceKit::ReplyCallback).
enum KXCtlError
{
    KXCtlErrorNone = 0,
    KXCtlErrorNoReply = -1,
    KXCtlErrorTimeout = -2,
    KXCtlErrorNotRunning = -3,
    KXCtlErrorWrite = -20,
    KXCtlErrorBadCommand = -22,
    KXCtlErrorBadReply = -23,
    KXCtlErrorWaitEnded = -999, // the wait ended without an answer
};

// A count in plain decimal digits from 1 to `max`: no sign, no blanks, no
// other base (QString::toUInt would take "+80" and " 80"). False otherwise.
bool kxctlParseCount(const QString& text, quint32 max, quint32& value);

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
    int errcode = KXCtlErrorWaitEnded; // the kit's error code
    bool linkClosed = false;           // the device hung up before answering
    QByteArray reply;

    // The process exit code (see KXCtlCommands.h).
    int exitCode() const;
    // One-line reason for a failure, naming the error code.
    QString errorText(int timeoutMs) const;
};

// Sends one framed command to the data connection of device `id` through the
// kit and runs an event loop until its answer arrives, or until the device
// hangs up (the connection is then dropped). `timeoutMs` bounds the wait for
// a reply (the device's reply time-out is set to it).
KXCtlResult kxctlExchange(const QString& id, const QByteArray& frame, int timeoutMs);

// Asks the connection `id` for its system information (QRYSYS) and gives its
// "key: value" lines as a map, for devices that the kit did not add or scan
// (serial, USB, offline). `result` tells how the exchange went; the map is
// empty unless the device acknowledged.
QMap<QString, QString> kxctlSystemInformation(const QString& id, int timeoutMs,
                                              KXCtlResult& result);

#endif // KXCTLEXCHANGE_H
