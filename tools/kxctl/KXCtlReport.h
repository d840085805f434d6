#ifndef KXCTLREPORT_H
#define KXCTLREPORT_H

#include <QByteArray>
#include <QJsonArray>
#include <QJsonValue>
#include <QString>

// How the device commands report what happened.

// "barcode: <printable> [hex]" or "message: <hex>", with a line end.
QByteArray kxctlUpstreamLine(bool barcode, const QByteArray& data);
// The same line written to standard output as it is made.
void kxctlPrintUpstream(bool barcode, const QByteArray& data);

// Barcodes and messages that came during a request, for its report: the
// lines of the first KeptBytes bytes, then only a count, so that a device
// that streams without end cannot exhaust memory.
class KXCtlUpstreamReport
{
public:
    static constexpr qint64 KeptBytes = 64 * 1024;

    void add(bool barcode, const QByteArray& data);
    // The lines kept and, when some were left out, one line counting them.
    QByteArray text() const;

private:
    QByteArray m_lines;
    qint64 m_keptBytes = 0;
    qint64 m_moreBytes = 0;
    qint64 m_morePieces = 0;
};

// Every sub-tag of a reply frame as {cmd, value, result} (result "ACK",
// "ENQ" or "NAK"), in the reply's order.
QJsonArray kxctlReplyResults(const QByteArray& reply);

// The outcome as one JSON object and a line end: `error` (the connector's
// code, or null for a usage error), `message` (empty on success), the frames
// in hex and every sub-tag of the reply as {cmd, value, result}.
QByteArray kxctlReplyJson(const QJsonValue& error, const QString& message, const QByteArray& sent,
                          const QByteArray& reply);

// Writes to standard output at once: a watching user or a pipe sees each
// line as it comes.
void kxctlPrint(const QByteArray& bytes);

#endif // KXCTLREPORT_H
