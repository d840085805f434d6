#ifndef KXNETWORKADAPTOR_H
#define KXNETWORKADAPTOR_H

#include "IDataStreamReadWrite.h"

class KXNetworkWorker;
class QThread;

// TCP transport of a network device. The socket lives on a worker thread of
// its own; connects, disconnects and writes cross to it and wait for the
// result, reads run on the caller's thread against the worker's buffer.
class KXNetworkAdaptor : public IDataStreamReadWrite
{
    Q_OBJECT

public:
    explicit KXNetworkAdaptor(QObject* parent = nullptr);
    ~KXNetworkAdaptor() override;

    // Connects and waits up to 1 s. The first connect creates the socket
    // with `isReconnectEnable`; later connects reuse it as it is. False for
    // an empty host, port 0, or a socket that is already connected. Must
    // not be called on the worker thread.
    bool connect(const QString& ip, quint16 port, bool isReconnectEnable);

    bool write(const QByteArray& data) override;
    uint read_data(quint8* pszBuffer, int nBuffer, uint reponse_time) override;
    quint32 read_ex(QByteArray& out, uint reponse_time, uint interval, uint* error) override;
    quint32 read_until(QByteArray& out, uint reponse_time, uint interval, const char* pat,
                       int patLength, uint* error) override;
    bool close() override;
    bool is_open() override;
    bool update_firmware_file(const QString& fileName, KXFirmwareProgress* progress, int type,
                              uint* error) override;
    int clean(int value) override;
    quint32 read_poll(QByteArray& out, uint reponse_time) override;
    void wakeReaders() override;

private:
    // Runs `call` on the worker thread and waits for its result.
    template <typename Call>
    bool invokeOnWorker(Call call);

    QThread* m_thread = nullptr;
    KXNetworkWorker* m_worker = nullptr;
};

#endif // KXNETWORKADAPTOR_H
