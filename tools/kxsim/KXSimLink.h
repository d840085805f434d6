#ifndef KXSIMLINK_H
#define KXSIMLINK_H

#include <QByteArray>
#include <QObject>
#include <QString>

// One byte stream to one host: a TCP connection or a pseudo-terminal.
// Sessions talk to this interface only, so every endpoint serves the same
// protocol code.
class KXSimLink : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Hands the bytes to the link at once, as one piece where the link
    // allows it.
    virtual void write(const QByteArray& bytes) = 0;
    // Bytes handed to write() that the system has not taken yet.
    virtual qint64 pendingBytes() const = 0;
    // While paused, nothing is read from the host, so a host that sends
    // more than it reads is held back by its own transport.
    virtual void setReadingPaused(bool paused) = 0;
    // Hangs up after what was written; closed() follows.
    virtual void close() = 0;
    // Hangs up at once, dropping what is not written yet; closed() follows.
    virtual void drop() = 0;
    // For the log: who is at the other end.
    virtual QString peerName() const = 0;

signals:
    void received(const QByteArray& bytes);
    // Some pending bytes were handed to the system.
    void written();
    // Emitted once, when the link is gone (either end hung up).
    void closed();
};

#endif // KXSIMLINK_H
