#include "KXDeviceKitPrivate.h"

#include "discovery/KXBroadcastDeviceEnum.h"
#include "discovery/KXSerialPortDeviceEnum.h"
#include "transport/KXDriverLibrary.h"

#include <QHostAddress>

#include <memory>

namespace {

// The driver's answer to one USB enumeration: room for 256 records.
constexpr int kUsbRecordCapacity = 256;

bool hasBroadcastBit(EScanType type)
{
    return (int(type) & ScanBroadcast) != 0;
}

// The listing name of a driver record of `type` at `index`; empty for the
// types that are not listed.
QString usbRecordName(quint8 type, int index)
{
    switch (type) {
    case 1:
        return QStringLiteral("DataPipe %1").arg(index);
    case 2:
        return QStringLiteral("HidPos %1").arg(index);
    case 3:
        return QStringLiteral("HidPosMi %1").arg(index);
    default:
        return QString();
    }
}

QString networkEntryName(const KXDeviceInfoMap& info)
{
    return info.value(QStringLiteral("Ip Address")) + QLatin1Char('_') +
           info.value(QStringLiteral("Product Name")) + QLatin1Char('(') +
           info.value(QStringLiteral("Serial Number")) + QLatin1Char(')');
}

} // namespace

bool KXDeviceKitPrivate::startDeviceScan(EScanType type, int interval)
{
    refreshNetworkCache(type);
    startSerialPass();
    if (!hasBroadcastBit(type))
        return true;
    if (m_broadcastEnum)
        return m_broadcastEnum->startScan(interval);

    auto* discovery = new KXBroadcastDeviceEnum(this);
    m_broadcastEnum = discovery;
    connect(discovery, &KXBroadcastDeviceEnum::deviceUpdated, this,
            &KXDeviceKitPrivate::OnBroadcastDeviceUpdated);
    connect(discovery, &KXBroadcastDeviceEnum::deviceOffLine, this,
            &KXDeviceKitPrivate::deviceOffLine);
    connect(discovery, &KXBroadcastDeviceEnum::deviceNetworkChanged, this,
            &KXDeviceKitPrivate::deviceNetworkChanged);
    connect(discovery, &KXBroadcastDeviceEnum::deviceAliasChanged, this,
            &KXDeviceKitPrivate::deviceAliasChanged);
    connect(discovery, &KXBroadcastDeviceEnum::deviceNetworkGroup, this,
            &KXDeviceKitPrivate::deviceNetworkGroup);
    // The host may have set the alive time before any discovery existed.
    discovery->setCheckAliveTime(m_checkAliveTime);
    return discovery->startScan(interval);
}

bool KXDeviceKitPrivate::refreshDeviceScan(EScanType type)
{
    refreshNetworkCache(type);
    startSerialPass();
    if (m_broadcastEnum)
        m_broadcastEnum->refreshScan();
    return true;
}

bool KXDeviceKitPrivate::stopDeviceScan(EScanType type)
{
    // The USB/serial pass is short and ends by itself; only the discovery
    // keeps running until told.
    if (hasBroadcastBit(type) && m_broadcastEnum)
        m_broadcastEnum->stopScan();
    return true;
}

void KXDeviceKitPrivate::pauseBroadcastDeviceEnum(bool pause)
{
    if (m_broadcastEnum)
        m_broadcastEnum->pauseEnum(pause);
}

void KXDeviceKitPrivate::pauseBroadcastDeviceCheckOffLine(bool pause)
{
    if (m_broadcastEnum)
        m_broadcastEnum->pauseCheckOffLine(pause);
}

void KXDeviceKitPrivate::setRefreshTime(int seconds)
{
    if (m_broadcastEnum)
        m_broadcastEnum->setRefreshTime(seconds);
}

void KXDeviceKitPrivate::setDelayEnumTime(int ms)
{
    if (m_serialEnum)
        m_serialEnum->setDelayEnumTime(ms);
}

void KXDeviceKitPrivate::setCheckDeviceAliveTime(int seconds)
{
    m_checkAliveTime = seconds;
    if (m_broadcastEnum)
        m_broadcastEnum->setCheckAliveTime(seconds);
}

// Forgets the discovered network devices, except those with an open TCP data
// connection when the broadcast scan goes on: the discovery that restarts
// forgets them too, and a connected device may no longer answer broadcasts
// while the host still talks to it. The kept ones are reported again.
void KXDeviceKitPrivate::refreshNetworkCache(EScanType type)
{
    DSDeviceSettingMap keep;
    if (hasBroadcastBit(type)) {
        for (const DSDeviceHandle& handle : qAsConst(m_dataHandles)) {
            if (handle.kind == 2 && m_networkDevices.contains(handle.id))
                keep.insert(handle.id, m_networkDevices.take(handle.id));
        }
    }
    qDeleteAll(m_networkDevices);
    m_networkDevices.clear();
    for (auto it = keep.cbegin(); it != keep.cend(); ++it) {
        m_networkDevices.insert(it.key(), it.value());
        emit deviceUpdated(it.key(), it.value()->info);
    }
}

void KXDeviceKitPrivate::startSerialPass()
{
    if (!m_serialEnum) {
        m_serialEnum = new KXSerialPortDeviceEnum(this);
        // The result is taken on the enumeration thread and merged on this
        // one through onSerialPortDeviceEnumEnd.
        connect(
            m_serialEnum.data(), &KXSerialPortDeviceEnum::deviceEnumEnd, this,
            [this](DSEnumDeviceSetting* pass) {
                {
                    QMutexLocker lock(&m_passMutex);
                    m_passResults.append(pass);
                }
                QMetaObject::invokeMethod(this, &KXDeviceKitPrivate::deliverSerialPasses,
                                          Qt::QueuedConnection);
            },
            Qt::DirectConnection);
    }
    // A pass that runs already gives its result soon enough; starting over
    // would only lose the devices it has probed.
    if (!m_serialEnum->isRunning())
        m_serialEnum->start(QThread::InheritPriority);
}

void KXDeviceKitPrivate::deliverSerialPasses()
{
    QList<DSEnumDeviceSetting*> passes;
    {
        QMutexLocker lock(&m_passMutex);
        passes.swap(m_passResults);
    }
    for (DSEnumDeviceSetting* pass : qAsConst(passes))
        onSerialPortDeviceEnumEnd(pass);
}

void KXDeviceKitPrivate::onSerialPortDeviceEnumEnd(DSEnumDeviceSetting* pDeviceSetting)
{
    if (!pDeviceSetting)
        return;
    std::unique_ptr<DSEnumDeviceSetting> pass(pDeviceSetting);
    qDeleteAll(m_serialDevices);
    m_serialDevices.clear();
    // Devices that are gone are simply absent from the new pass.
    for (auto it = pass->devices.cbegin(); it != pass->devices.cend(); ++it) {
        m_serialDevices.insert(it.key(), it.value());
        emit deviceUpdated(it.key(), it.value()->info);
    }
    emit serialPortDeviceEnumEnd();
    // The settings belong to the serial map now; the pass frees only its map.
    pass->devices.clear();
}

int KXDeviceKitPrivate::enumDevicesUsbAndNet(QStringList& names)
{
    names.clear();
    m_namedUsbRecords.clear();

    // The driver fills a caller-provided array of 256 records (128 KiB).
    // Kept on the heap rather than the stack: the host may call from a
    // thread whose stack is far smaller than the main thread's.
    std::unique_ptr<quint8[]> records(
        new quint8[size_t(kUsbRecordCapacity) * KXDS_USB_RECORD_SIZE]());
    const auto enumUsb = KXDriver::resolveShared<KXDriver::EnumUsbFn>("kxds_enum_usb_device_ex");
    const int count =
        enumUsb ? enumUsb(records.get(), kUsbRecordCapacity, 14, 14, 14, 0, 0, 14) : 0;
    for (int i = 0; i < qMin(count, kUsbRecordCapacity); ++i) {
        const char* record =
            reinterpret_cast<const char*>(records.get()) + size_t(i) * KXDS_USB_RECORD_SIZE;
        const QString name = usbRecordName(quint8(record[KXDS_USB_TYPE_OFFSET]), i);
        if (name.isEmpty())
            continue; // skipped, but its index still counts
        m_namedUsbRecords.insert(name, QByteArray(record, KXDS_USB_RECORD_SIZE));
        names.append(name);
    }

    m_namedNetworkEntries.clear();
    // By address; a device with the same address as earlier ones goes before
    // them (QMultiMap::insert puts a new item before those of equal key).
    QMultiMap<quint32, QString> byAddress;
    for (auto it = m_networkDevices.cbegin(); it != m_networkDevices.cend(); ++it) {
        const KXDeviceInfoMap& info = it.value()->info;
        const QString name = networkEntryName(info);
        const QString ip = info.value(QStringLiteral("Ip Address"));
        QHostAddress address;
        if (!ip.isEmpty() && address.setAddress(ip) &&
            address.protocol() == QAbstractSocket::IPv4Protocol)
            byAddress.insert(address.toIPv4Address(), name);
        // Listed or not, the name connects through connectToDevice_Cmd.
        m_namedNetworkEntries.insert(
            name, qMakePair(ip, info.value(QStringLiteral("Tcp Port Number")).toInt()));
    }
    for (auto it = byAddress.cbegin(); it != byAddress.cend(); ++it)
        names.append(it.value());
    return names.size();
}
