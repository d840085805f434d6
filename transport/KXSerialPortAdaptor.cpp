#include "KXSerialPortAdaptor.h"

#include "KXTransportLog.h"

#include <cstring>

KXSerialPortAdaptor::KXSerialPortAdaptor(QObject* parent) : IDataStreamReadWrite(parent)
{
    m_frameSize = DefaultFrameSize;
    m_portKind = PortKindSerial;
    m_library = std::make_unique<QLibrary>(QString::fromLatin1(KXDriver::libraryName()));
    if (!m_library->load()) {
        qCDebug(lcTransport) << "*** KXSerialPortAdaptor Load libKXDataStream.so fail!!!";
    } else {
        if (auto create = resolve<KXDriver::CreateFn>("kxds_create"))
            m_handle = create();
        m_updateFirmware = resolve<KXDriver::UpdateFirmwareFn>("kxds_update_firmware_file");
        m_updateFirmware1 = resolve<KXDriver::UpdateFirmware1Fn>("kxds_update_firmware_file_1");
        m_readEx = resolve<KXDriver::ReadExFn>("kxds_read_ex");
        m_readUntil = resolve<KXDriver::ReadUntilFn>("kxds_read_until");
        m_write = resolve<KXDriver::WriteFn>("kxds_write");
        m_readPoll = resolve<KXDriver::ReadPollFn>("kxds_read_poll");
        m_wakeReaders = resolve<KXDriver::WakeReadersFn>("kxds_wake_readers");
    }
    m_receiveBuffer = std::make_unique<quint8[]>(ReceiveBufferSize);
}

KXSerialPortAdaptor::~KXSerialPortAdaptor()
{
    if (m_handle) {
        if (auto destroy = resolve<KXDriver::DestroyFn>("kxds_destory"))
            destroy(m_handle);
        m_handle = 0;
    }
    // The library stays mapped: other transports and the enumeration may
    // still use it, and unloading is not worth the risk of a stale pointer.
}

void KXSerialPortAdaptor::logOpenFailure(const char* operation, uint code)
{
    // A port that another program (or another connection) holds is the
    // usual reason, and the one a user can act on.
    qCDebug(lcTransport).noquote()
        << QStringLiteral("KXSerialPortAdaptor::%1... fail! error:%2%3")
               .arg(QLatin1String(operation))
               .arg(code)
               .arg(code == KXDS_ERROR_BUSY ? QStringLiteral(" (the port is in use)") : QString());
}

bool KXSerialPortAdaptor::isLibraryLoaded() const
{
    return m_library->isLoaded();
}

bool KXSerialPortAdaptor::openCom(const quint8* comRecord, uint* error)
{
    if (!comRecord)
        return false;
    bool opened = false;
    uint code = KXDS_ERROR_NONE;
    if (auto openCom = resolve<KXDriver::OpenComFn>("kxds_open_com"))
        opened = openCom(m_handle, comRecord, &code) != 0;
    if (error)
        *error = code;
    if (!opened)
        logOpenFailure("openCom", code);
    std::memcpy(m_comSettings.data(), comRecord, m_comSettings.size());
    m_usbMode = false;
    return opened;
}

bool KXSerialPortAdaptor::openUsb(const quint8* usbRecord, int mode, uint* error)
{
    if (!usbRecord)
        return false;
    bool opened = false;
    uint code = KXDS_ERROR_NONE;
    if (auto openUsb = resolve<KXDriver::OpenUsbFn>("kxds_open_usb"))
        opened = openUsb(m_handle, usbRecord, mode, &code) != 0;
    if (error)
        *error = code;
    if (!opened)
        logOpenFailure("openUsb", code);
    std::memcpy(m_usbSettings.data(), usbRecord, m_usbSettings.size());
    m_usbMode = true;
    return opened;
}

bool KXSerialPortAdaptor::open()
{
    const auto close = resolve<KXDriver::CloseFn>("kxds_close");
    if (close)
        close(m_handle);
    uint error = 0;
    bool opened = false;
    if (m_usbMode) {
        if (auto openUsb = resolve<KXDriver::OpenUsbFn>("kxds_open_usb"))
            opened = openUsb(m_handle, m_usbSettings.data(), ReopenUsbMode, &error) != 0;
    } else {
        if (auto openCom = resolve<KXDriver::OpenComFn>("kxds_open_com"))
            opened = openCom(m_handle, m_comSettings.data(), &error) != 0;
    }
    if (!opened && close)
        close(m_handle);
    return opened;
}

bool KXSerialPortAdaptor::write(const QByteArray& data)
{
    if (!m_write)
        return false;
    return m_write(m_handle, reinterpret_cast<const uint8_t*>(data.constData()),
                   uint32_t(data.size())) != 0;
}

uint KXSerialPortAdaptor::read_data(quint8* pszBuffer, int nBuffer, uint reponse_time)
{
    if (!m_readEx || !pszBuffer || nBuffer < 1)
        return 0;
    uint32_t error = 0;
    return m_readEx(m_handle, pszBuffer, uint32_t(nBuffer), reponse_time, NoInterval, &error);
}

quint32 KXSerialPortAdaptor::readInto(QByteArray& out, KXDriver::ReadExFn read, uint reponse_time,
                                      uint interval, uint* error)
{
    if (!read)
        return 0;
    std::memset(m_receiveBuffer.get(), 0, ReceiveBufferSize);
    const uint32_t n =
        read(m_handle, m_receiveBuffer.get(), ReceiveBufferSize, reponse_time, interval, error);
    const quint32 count = qMin<quint32>(n, ReceiveBufferSize);
    if (count)
        out.append(reinterpret_cast<const char*>(m_receiveBuffer.get()), int(count));
    return count;
}

quint32 KXSerialPortAdaptor::read_ex(QByteArray& out, uint reponse_time, uint interval, uint* error)
{
    return readInto(out, m_readEx, reponse_time, interval, error);
}

quint32 KXSerialPortAdaptor::read_poll(QByteArray& out, uint reponse_time)
{
    return readInto(out, m_readPoll ? m_readPoll : m_readEx, reponse_time, NoInterval, nullptr);
}

quint32 KXSerialPortAdaptor::read_until(QByteArray& out, uint reponse_time, uint interval,
                                        const char* pat, int patLength, uint* error)
{
    if (!m_readUntil)
        return 0;
    std::memset(m_receiveBuffer.get(), 0, ReceiveBufferSize);
    const uint32_t n = m_readUntil(m_handle, m_receiveBuffer.get(), ReceiveBufferSize, reponse_time,
                                   interval, pat, patLength, error);
    const quint32 count = qMin<quint32>(n, ReceiveBufferSize);
    if (count)
        out.append(reinterpret_cast<const char*>(m_receiveBuffer.get()), int(count));
    return count;
}

bool KXSerialPortAdaptor::close()
{
    const auto isOpen = resolve<KXDriver::IsOpenFn>("kxds_is_open");
    if (isOpen && isOpen(m_handle)) {
        if (auto close = resolve<KXDriver::CloseFn>("kxds_close"))
            close(m_handle);
    }
    return true;
}

bool KXSerialPortAdaptor::is_open()
{
    const auto isOpen = resolve<KXDriver::IsOpenFn>("kxds_is_open");
    return isOpen && isOpen(m_handle) != 0;
}

bool KXSerialPortAdaptor::update_firmware_file(const QString& fileName,
                                               KXFirmwareProgress* progress, int type, uint* error)
{
    // The driver takes UTF-16 file names.
    const std::u16string wideName(reinterpret_cast<const char16_t*>(fileName.utf16()),
                                  size_t(fileName.size()));
    bool ok = false;
    if (m_handle) {
        if (type == 1 && m_updateFirmware1)
            ok = m_updateFirmware1(m_handle, wideName.c_str(), 1, 30, progress, 0, error) != 0;
        else if (type != 1 && m_updateFirmware)
            ok = m_updateFirmware(m_handle, wideName.c_str(), 30, progress, 0, error) != 0;
    }
    if (!ok && error)
        *error += FirmwareErrorOffset;
    return ok;
}

int KXSerialPortAdaptor::clean(int value)
{
    const auto clean = resolve<KXDriver::CleanFn>("kxds_clean");
    return clean ? clean(m_handle, value) : 0;
}

void KXSerialPortAdaptor::wakeReaders()
{
    if (m_wakeReaders)
        m_wakeReaders(m_handle);
}
