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
// split message.
class KXSimOutput : public QObject
{
    Q_OBJECT

public:
    explicit KXSimOutput(KXSimLink* link, QObject* parent = nullptr);

    // Written `delayMs` after now, after every earlier reply.
    void queueReply(const QByteArray& bytes, int delayMs = 0);
    // Hangs the link up after every earlier reply; later output is dropped.
    void queueClose();
    // Written `gapMs` after the previous unsolicited piece (or after now).
    // With `continued` the next piece completes this one: no reply may come
    // between them.
    void queueData(const QByteArray& bytes, int gapMs, bool continued = false);

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

    void writeReplies();
    void writeData();

    QPointer<KXSimLink> m_link;
    QElapsedTimer m_clock;
    QQueue<Reply> m_replies;
    QQueue<Data> m_data;
    QTimer m_replyTimer;
    QTimer m_dataTimer;
    qint64 m_dataDue = -1; // due time of the head data piece, -1 while not set
    bool m_midMessage = false;
    bool m_closed = false;
};

#endif // KXSIMOUTPUT_H
