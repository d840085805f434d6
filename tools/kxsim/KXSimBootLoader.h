#ifndef KXSIMBOOTLOADER_H
#define KXSIMBOOTLOADER_H

#include <QByteArray>
#include <QObject>
#include <QString>

class KXSimDevice;
class KXSimLink;

// The device's boot-loader dialogue on one link: an escape frame enters
// upgrade mode; then, part by part, three '?' wake it, commands announce the
// part, CRC-checked blocks carry it and a status byte ends its programming;
// "@Exit" leaves. Everything the host sends is checked (escape checksums,
// command CRCs, the announced sizes, block CRCs and padding); what was
// received goes to the device's firmware folder, one file per part named by
// index and type. Milestones and refusals are reported through
// KXSimDevice::bootEvent.
class KXSimBootLoader : public QObject
{
    Q_OBJECT

public:
    // Misbehaviour asked for with --boot-fault or SIMBFT.
    enum Fault
    {
        NoFault,
        Refuse,    // "!FileType" answered "1"
        Erase,     // ">Start" answered "4"; ">Erase" then shows '.' before ';'
        BadAck,    // the second block acknowledged with '#'
        Slow,      // programming reports busy '*' a few times before '^'
        Silent,    // the first block is never acknowledged
        Drop,      // the link is dropped while the first block arrives
        BadEscape, // the escape answered 0x15
        LastFault = BadEscape,
    };
    static int faultByName(const QString& name); // -1 when unknown
    static QString faultNames();

    KXSimBootLoader(KXSimDevice& device, KXSimLink* link, QObject* parent = nullptr);

    void receive(const QByteArray& bytes);

private:
    enum class State
    {
        Escape,   // waiting for the escape frame
        Dialogue, // wake-ups and commands
        Blocks,   // data blocks of the announced part
        Closed,
    };
    struct Part
    {
        qint64 size = -1;
        int blockSize = 0;
        qint64 blocks = -1;
        QByteArray type; // as announced, with the extra value of "flah"
        QByteArray data;
    };

    // Each takes one message from the front of m_in; false when it needs
    // more bytes.
    bool takeEscape();
    bool takeDialogue();
    bool takeBlock();
    void command(const QByteArray& text);
    QByteArray checkFileType(const QByteArray& value) const;
    void startBlocks();
    void finishPart();
    void reply(char answer);
    void event(const QString& text);
    int fault() const;

    KXSimDevice& m_device;
    KXSimLink* m_link;
    QByteArray m_in;
    State m_state = State::Escape;
    bool m_package = false;
    bool m_extended = false; // after the block escape of a package
    int m_wakes = 0;
    bool m_awake = false;
    bool m_erasing = false;
    bool m_partDone = true;
    int m_partIndex = 0;
    qint64 m_block = 0;
    Part m_part;
};

#endif // KXSIMBOOTLOADER_H
