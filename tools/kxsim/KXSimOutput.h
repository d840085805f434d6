#ifndef KXSIMOUTPUT_H
#define KXSIMOUTPUT_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QTimer>

class KXSimLink;

// What a session writes, in order and on time. Replies and unsolicited data
// keep their own queues: a reply goes out when it is due, also while
// barcodes are still being sent, but never between the two pieces of a
// split message. Pending output (both queues and what the link has not
// handed to the system) is bounded: a session stops reading while it is
// backed up, and a link whose output grows past the hard limit anyway is
// dropped.
class KXSimOutput : public QObject
{
    Q_OBJECT

public:
    // Above this a link is backed up: its session reads no more requests.
    static constexpr qint64 MaxPending = 8 * 1024 * 1024;
    // Output that grows past this anyway, such as log lines streamed to a
    // client that does not read, drops the link.
    static constexpr qint64 MaxPendingHard = 2 * MaxPending;

    explicit KXSimOutput(KXSimLink* link, QObject* parent = nullptr);

    // Written `delayMs` after now, after every earlier reply.
    void queueReply(const QByteArray& bytes, int delayMs = 0);
    // Hangs the link up after every earlier reply; later output is dropped.
    void queueClose();
    // Written `gapMs` after the previous unsolicited piece (or after now).
    // With `continued` the next piece completes this one: no reply may come
    // between them.
    void queueData(const QByteArray& bytes, int gapMs, bool continued = false);

    qint64 pendingBytes() const;
    // True while more than MaxPending bytes are pending; drained() follows
    // once they no longer are.
    bool isBackedUp();

signals:
    void drained();

private:
    struct Reply
    {
        qint64 due; // on m_clock
        QByteArray bytes;
        bool close;
    };
    struct Data
    {
        int gapMs;
        QByteArray bytes;
        bool continued;
    };

    bool admit(qint64 size);
    void writeReplies();
    void writeData();
    void checkDrained();

    QPointer<KXSimLink> m_link;
    QElapsedTimer m_clock;
    QQueue<Reply> m_replies;
    QQueue<Data> m_data;
    qint64 m_queuedBytes = 0; // in both queues
    QTimer m_replyTimer;
    QTimer m_dataTimer;
    qint64 m_dataDue = -1; // due time of the head data piece, -1 while not set
    bool m_midMessage = false;
    bool m_closed = false;
    bool m_watchDrain = false;
};

#endif // KXSIMOUTPUT_H
