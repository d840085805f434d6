#ifndef KXCTLEXCHANGE_H
#define KXCTLEXCHANGE_H

#include <KXDataStreamTypes.h>

#include <QByteArray>
#include <QString>

class KXDeviceConnector;

// Command text (such as QRYSYS* or DFMQCU;LUAQRY) framed for sending: '@'
// (or '#' with `hash`) is prefixed unless the text starts with one.
QByteArray kxctlCommandFrame(const QString& text, EDataProtocol protocol, bool hash);

// Queues one frame on the connector and runs an event loop until its answer
// arrives; returns the connector's error code. `timeoutMs` bounds the wait
// for a reply (the connector's reply time-out is set to it).
int kxctlExchange(KXDeviceConnector& connector, const QByteArray& frame, int timeoutMs,
                  QByteArray& reply);

#endif // KXCTLEXCHANGE_H
