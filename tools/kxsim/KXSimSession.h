#ifndef KXSIMSESSION_H
#define KXSIMSESSION_H

#include "KXSimFrameReader.h"
#include "KXSimOutput.h"

#include <QObject>

class KXSimBootLoader;
class KXSimDevice;
class KXSimLink;

// The device's side of one data link: cuts host frames out of the stream,
// answers them through the device (triggers first, then the offline engine),
// applies the faults and sends unsolicited data.
class KXSimSession : public QObject
{
    Q_OBJECT

public:
    enum class Greet
    {
        Now,          // TCP: the host is there once the connection is
        OnFirstInput, // a pseudo-terminal cannot tell when its port is opened
    };

    // Takes ownership of the link.
    KXSimSession(KXSimDevice& device, KXSimLink* link, Greet greet, QObject* parent = nullptr);

signals:
    // The link is gone; the session may be deleted.
    void finished();

private:
    void onReceived(const QByteArray& bytes);
    void takeFrames();
    void onClosed();
    void handleFrame(const KXSimHostFrame& frame);
    void answerTriggers(const KXSimHostFrame& frame);
    void answerCommands(const KXSimHostFrame& frame, bool idleProbe);
    void greet();
    void enterBootLoader();
    void queueBarcodes(int count);
    void queueMessages(int count);
    void queueMixed(int count);
    QByteArray withLastingCorruption(QByteArray frame) const;

    KXSimDevice& m_device;
    KXSimLink* m_link;
    KXSimOutput m_output;
    KXSimFrameReader m_reader;
    QString m_peer;
    int m_answered = 0;
    bool m_greeted = false;
    bool m_hangingUp = false;
    KXSimBootLoader* m_boot = nullptr; // set once the link is in the boot loader
};

#endif // KXSIMSESSION_H
