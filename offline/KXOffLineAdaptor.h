#ifndef KXOFFLINEADAPTOR_H
#define KXOFFLINEADAPTOR_H

#include "offline/KXOffLineEngine.h"
#include "transport/IDataStreamReadWrite.h"

// Transport of a simulated device: each framed command written is answered
// at once from settings loaded from XML files, and the reply waits until it
// is read. Reads never wait. Called from the connector's thread only.
class KXOffLineAdaptor : public IDataStreamReadWrite
{
    Q_OBJECT

public:
    explicit KXOffLineAdaptor(QObject* parent = nullptr);
    ~KXOffLineAdaptor() override;

    // Loads the offline description file, the settings pages next to it and
    // the device configuration file; the result is that of the last.
    bool loadFiles(const QString& configFile, const QString& offlineFile);

    // False only when `data` holds no protocol 1 host frame.
    bool write(const QByteArray& data) override;
    uint read_data(quint8* pszBuffer, int nBuffer, uint reponse_time) override;
    // Replaces `out` with everything pending.
    quint32 read_ex(QByteArray& out, uint reponse_time, uint interval, uint* error) override;
    // As read_ex; the pattern is not looked at.
    quint32 read_until(QByteArray& out, uint reponse_time, uint interval, const char* pat,
                       int patLength, uint* error) override;
    // Drops the settings; pending replies, the two sets and the control
    // types stay.
    bool close() override;
    bool is_open() override;
    bool update_firmware_file(const QString& fileName, KXFirmwareProgress* progress, int type,
                              uint* error) override;
    int clean(int value) override;

    KXOffLineEngine& engine() { return m_engine; }

private:
    KXOffLineEngine m_engine;
    QByteArray m_pending;
};

#endif // KXOFFLINEADAPTOR_H
