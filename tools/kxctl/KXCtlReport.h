#ifndef KXCTLREPORT_H
#define KXCTLREPORT_H

#include <QByteArray>
#include <QString>

// How the device commands report what happened.

// Exit code for a connector error code (see KXCtlCommands.h).
int kxctlExitCode(int errcode);

// One-line reason for a failed request.
QString kxctlErrorText(int errcode, int timeoutMs);

// "barcode: <printable> [hex]" or "message: <hex>", without a line end.
QString kxctlUpstreamLine(bool barcode, const QByteArray& data);

// The reply as one JSON object: error code, the frames in hex, and every
// sub-tag of the reply as {cmd, value, result}.
QByteArray kxctlReplyJson(int errcode, const QByteArray& sent, const QByteArray& reply);

// Writes to standard output at once: a watching user or a pipe sees each
// line as it comes.
void kxctlPrint(const QByteArray& bytes);
void kxctlPrintLine(const QString& line);

#endif // KXCTLREPORT_H
