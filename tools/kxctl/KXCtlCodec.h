#ifndef KXCTLCODEC_H
#define KXCTLCODEC_H

#include <QByteArray>
#include <QString>
#include <QStringList>

// The codec commands of kxctl. Each takes the arguments after its name,
// writes its result to `out` and a one-line error to `err`, and returns the
// process exit code: 0 success, 2 usage error, 3 a frame that does not
// decode.
int runEncode(const QStringList& args, QString& out, QString& err);
int runDecode(const QStringList& args, QString& out, QString& err);

// Protocol, direction, validity, and every tag and sub-tag with its data
// and result, one per line.
QString describeFrame(const QByteArray& frame, bool* valid = nullptr);

// Printable ASCII as is; anything else, a backslash and a double quote as
// \xNN.
QString printableBytes(const QByteArray& bytes);
QByteArray printableLatin1(const QByteArray& bytes);

// "ACK", "ENQ" or "NAK" for a sub-tag result (an EDataResult).
QString dataResultName(int result);

// Hexadecimal text to bytes; whitespace between digits is ignored. False for
// an odd digit count or any other character.
bool parseHex(const QString& text, QByteArray& bytes);

#endif // KXCTLCODEC_H
