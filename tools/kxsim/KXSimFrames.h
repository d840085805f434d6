#ifndef KXSIMFRAMES_H
#define KXSIMFRAMES_H

#include <KXDataStreamTypes.h>

#include <QByteArray>
#include <QByteArrayList>

// Device frames that kxsim writes and the command text it reads. Plain
// functions, no I/O.

// Command text expanded as the offline engine does: ";" separates commands,
// later items of a part borrow the tag of its first ("DFMQCU,ADD0a;LUAQRY"
// gives DFMQCU, DFMADD0a and LUAQRY). Empty items are skipped.
QByteArrayList simCommands(const QByteArray& text);

// Reply text as a device frame of the request's envelope: protocol 1
// 0x02 0x01 "0000" "@" text ";" 0x03, protocol 7 0x02 0x07, the payload
// length (4 bytes, little-endian), "@" text ";" 0x03. Never a CRC.
QByteArray simReplyFrame(EDataProtocol protocol, const QByteArray& replyText);

// A device message: 0x02 0x08, payload length, "@RUNDAT" data ";" 0x03.
QByteArray simMessageFrame(const QByteArray& data);

// Bytes that hold no device header and no terminator.
QByteArray simGarbage();

// Replaces the terminator of a length-prefixed frame by two zero bytes,
// keeping its length, so the frame arrives whole but fails its check.
// Protocol 1 frames stay as they are.
void simCorruptFrame(QByteArray& frame);

// The header of the log query's reply: 0x02 0x01 "0000" "@LOGQRY" and the
// log's length as eight hexadecimal digits.
QByteArray simLogReplyHeader(quint32 logLength);

#endif // KXSIMFRAMES_H
