#ifndef IDATASTREAMREADWRITE_H
#define IDATASTREAMREADWRITE_H

#include "KXFirmwareProgress.h"

#include <QByteArray>
#include <QObject>

// The byte transport between a device connector and one device. Every
// operation is called from the connector's thread; implementations receive
// on other threads and must let reads, writes, is_open and clean run
// meanwhile.
class IDataStreamReadWrite : public QObject
{
    Q_OBJECT

public:
    // Passed as `interval` when the caller sets no polling step.
    static constexpr uint NoInterval = 0xFFFFFFFE;
    static constexpr int DefaultFrameSize = 512;
    static constexpr int MaxFrameSize = 4194304;

    // portKind values of the finished transports.
    enum PortKind
    {
        PortKindNone = 0,
        PortKindSerial = 1, // USB or serial COM through the driver library
        PortKindNetwork = 2,
        PortKindOffline = 3,
    };

    explicit IDataStreamReadWrite(QObject* parent = nullptr);
    ~IDataStreamReadWrite() override;

    // True only when every byte was handed to the link.
    virtual bool write(const QByteArray& data) = 0;
    // Reads at most nBuffer bytes, waiting up to reponse_time ms for them.
    virtual uint read_data(quint8* pszBuffer, int nBuffer, uint reponse_time) = 0;
    // Appends what arrived within reponse_time ms; returns the count.
    virtual quint32 read_ex(QByteArray& out, uint reponse_time, uint interval, uint* error) = 0;
    // Appends what arrived, returning as soon as it contains `pat` or the
    // time is up; returns the count appended.
    virtual quint32 read_until(QByteArray& out, uint reponse_time, uint interval, const char* pat,
                               int patLength, uint* error) = 0;
    // Always safe, also on a transport that was never opened.
    virtual bool close() = 0;
    virtual bool is_open() = 0;
    // Re-opens with the settings of the last opening. Does nothing here.
    virtual bool open();
    virtual bool update_firmware_file(const QString& fileName, KXFirmwareProgress* progress,
                                      int type, uint* error) = 0;
    // Discards whatever is buffered for reading.
    virtual int clean(int value) = 0;

    // The connector's poll between requests: read_ex with no interval, except
    // that wakeReaders() ends it early. Transports that cannot be woken just
    // read_ex.
    virtual quint32 read_poll(QByteArray& out, uint reponse_time);
    // Ends a read_poll waiting on another thread early, or the next one if
    // none is waiting, so that a newly queued request need not wait out the
    // poll. No other read is affected: a wake-up nobody polls for must not
    // cut short whoever uses the link next (a log query, an image decode).
    virtual void wakeReaders();

    int frameSize() const { return m_frameSize; }
    // Below 1 means the default; larger values are capped.
    void setFrameSize(int size);
    int portKind() const { return m_portKind; }

signals:
    void connectChanged(bool connected);

protected:
    int m_frameSize = DefaultFrameSize;
    int m_portKind = PortKindNone;
};

#endif // IDATASTREAMREADWRITE_H
