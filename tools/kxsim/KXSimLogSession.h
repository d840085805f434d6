#ifndef KXSIMLOGSESSION_H
#define KXSIMLOGSESSION_H

#include "KXSimFrameReader.h"
#include "KXSimOutput.h"

#include <QObject>

class KXSimDevice;
class KXSimLink;

// The device's side of one log link: answers the log query with the whole
// log, and while the device streams its log, writes every new line. Like a
// data session, it reads no more queries while its output is backed up.
class KXSimLogSession : public QObject
{
    Q_OBJECT

public:
    // Log text goes out in writes of at most this many bytes.
    static constexpr int ChunkSize = 4096;

    // Takes ownership of the link.
    KXSimLogSession(KXSimDevice& device, KXSimLink* link, QObject* parent = nullptr);

signals:
    void finished();

private:
    void onReceived(const QByteArray& bytes);
    void takeFrames();
    void answerLogQuery();

    KXSimDevice& m_device;
    KXSimLink* m_link;
    KXSimOutput m_output;
    KXSimFrameReader m_reader;
};

#endif // KXSIMLOGSESSION_H
