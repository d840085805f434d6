#ifndef KXSIMPTYLINK_H
#define KXSIMPTYLINK_H

#include "KXSimLink.h"

class QSocketNotifier;

// A link over the master side of a pseudo-terminal; the host opens the slave
// as its serial port. The caller keeps a slave descriptor open, so the
// master never sees a hang-up and a host may open and close the port at
// will. Writes that the terminal cannot take yet wait in a bounded buffer.
class KXSimPtyLink : public KXSimLink
{
    Q_OBJECT

public:
    static constexpr int MaxPending = 4 * 1024 * 1024;

    // Takes ownership of the master descriptor (non-blocking).
    KXSimPtyLink(int masterFd, const QString& slavePath, QObject* parent = nullptr);
    ~KXSimPtyLink() override;

    void write(const QByteArray& bytes) override;
    qint64 pendingBytes() const override { return m_pending.size(); }
    void setReadingPaused(bool paused) override;
    void close() override;
    void drop() override;
    QString peerName() const override;

private:
    void readAvailable();
    void writePending();

    int m_master;
    QString m_slavePath;
    QSocketNotifier* m_readNotifier;
    QSocketNotifier* m_writeNotifier;
    QByteArray m_pending;
    bool m_closed = false;
};

#endif // KXSIMPTYLINK_H
