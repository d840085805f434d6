#ifndef KXSERIALPORTADAPTOR_H
#define KXSERIALPORTADAPTOR_H

#include "IDataStreamReadWrite.h"
#include "KXDriverLibrary.h"

#include <array>
#include <memory>

// Transport of USB and serial COM devices through the driver library. Holds
// one driver handle and remembers the last opening so that open() can
// re-open a lost link. All calls come from the connector's thread.
class KXSerialPortAdaptor : public IDataStreamReadWrite
{
    Q_OBJECT

public:
    static constexpr int ReceiveBufferSize = 1048576;
    // Added to the driver's error code when a firmware update fails.
    static constexpr uint FirmwareErrorOffset = 200;
    // Mode of every USB re-open.
    static constexpr int ReopenUsbMode = 3;

    using ComRecord = std::array<quint8, KXDS_COM_RECORD_SIZE>;
    using UsbRecord = std::array<quint8, KXDS_USB_RECORD_SIZE>;

    explicit KXSerialPortAdaptor(QObject* parent = nullptr);
    ~KXSerialPortAdaptor() override;

    // The settings are kept whatever the outcome, so open() retries them.
    bool openCom(const quint8* comRecord, uint* error);
    bool openUsb(const quint8* usbRecord, int mode, uint* error);

    bool write(const QByteArray& data) override;
    uint read_data(quint8* pszBuffer, int nBuffer, uint reponse_time) override;
    quint32 read_ex(QByteArray& out, uint reponse_time, uint interval, uint* error) override;
    quint32 read_until(QByteArray& out, uint reponse_time, uint interval, const char* pat,
                       int patLength, uint* error) override;
    bool close() override;
    bool is_open() override;
    bool open() override;
    bool update_firmware_file(const QString& fileName, KXFirmwareProgress* progress, int type,
                              uint* error) override;
    int clean(int value) override;
    // Through the driver's optional kxds_read_poll and kxds_wake_readers;
    // without them a plain read_ex that no wake-up ends.
    quint32 read_poll(QByteArray& out, uint reponse_time) override;
    void wakeReaders() override;

    bool isLibraryLoaded() const;
    bool isUsbMode() const { return m_usbMode; }
    const ComRecord& comSettings() const { return m_comSettings; }
    const UsbRecord& usbSettings() const { return m_usbSettings; }

private:
    static void logOpenFailure(const char* operation, uint code);
    quint32 readInto(QByteArray& out, KXDriver::ReadExFn read, uint reponse_time, uint interval,
                     uint* error);
    template <typename Fn>
    Fn resolve(const char* name) const
    {
        return KXDriver::resolve<Fn>(m_library.get(), name);
    }

    KXDriver::UpdateFirmwareFn m_updateFirmware = nullptr;
    KXDriver::UpdateFirmware1Fn m_updateFirmware1 = nullptr;
    KXDriver::ReadExFn m_readEx = nullptr;
    KXDriver::ReadUntilFn m_readUntil = nullptr;
    KXDriver::WriteFn m_write = nullptr;
    // Optional: not every driver has them.
    KXDriver::ReadPollFn m_readPoll = nullptr;
    KXDriver::WakeReadersFn m_wakeReaders = nullptr;
    quint32 m_handle = 0;
    std::unique_ptr<quint8[]> m_receiveBuffer;
    std::unique_ptr<QLibrary> m_library;
    ComRecord m_comSettings{};
    UsbRecord m_usbSettings{};
    bool m_usbMode = false;
};

#endif // KXSERIALPORTADAPTOR_H
