#ifndef KXCTLCODEC_H
#define KXCTLCODEC_H

#include <QByteArray>
#include <QString>
#include <QStringList>

// The codec commands of kxctl. Each takes the arguments after its name,
// writes its result to `out` and a one-line error to `err`, and returns the
// process exit code: 0 success, 2 usage error, 3 a frame that does not
// decode; see runSend for its own codes.
int runEncode(const QStringList& args, QString& out, QString& err);
int runDecode(const QStringList& args, QString& out, QString& err);
// Sends one command over TCP and describes the reply: 4 no reply in time,
// 5 no connection.
int runSend(const QStringList& args, QString& out, QString& err);

// Protocol, direction, validity, and every tag and sub-tag with its data
// and result, one per line.
QString describeFrame(const QByteArray& frame, bool* valid = nullptr);

// Hexadecimal text to bytes; whitespace between digits is ignored. False for
// an odd digit count or any other character.
bool parseHex(const QString& text, QByteArray& bytes);

#endif // KXCTLCODEC_H
