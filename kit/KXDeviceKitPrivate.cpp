#include "KXDeviceKitPrivate.h"

#include "KXKitLog.h"

#include "connector/KXDeviceConnector.h"
#include "discovery/KXBroadcastDeviceEnum.h"
#include "discovery/KXDeviceInfo.h"
#include "discovery/KXSerialPortDeviceEnum.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QtEndian>

#include <array>

namespace {

constexpr quint16 DefaultDataPort = 36520;
constexpr quint16 DefaultLogPort = 36525;
constexpr int AddDeviceOpenWaitMs = 2000;

// The driver's 512-byte device record for a TCP device: the address as
// UTF-16 text with a terminating zero, type 11, then the port.
constexpr int DriverRecordSize = 512;
constexpr int DriverRecordTypeOffset = 508;
constexpr int DriverRecordPortOffset = 510;
constexpr quint8 DriverRecordTypeTcp = 11;

QByteArray makeTcpDriverRecord(const QString& address, quint16 port)
{
    std::array<quint8, DriverRecordSize> record{};
    const int maxUnits = DriverRecordTypeOffset / 2 - 1; // room for the terminator
    const QString name = address.left(maxUnits);
    for (int i = 0; i < name.size(); ++i)
        qToLittleEndian<quint16>(name.at(i).unicode(), record.data() + 2 * i);
    record[DriverRecordTypeOffset] = DriverRecordTypeTcp;
    record[DriverRecordTypeOffset + 1] = 0;
    qToLittleEndian<quint16>(port, record.data() + DriverRecordPortOffset);
    return QByteArray(reinterpret_cast<const char*>(record.data()), int(record.size()));
}

quint16 portNumber(const QString& text)
{
    return quint16(text.toUInt());
}

// Waits, running the calling thread's events, until the transport reports
// itself open or `ms` have passed since `started`.
bool waitForOpen(IDataStreamReadWrite* transport, const QElapsedTimer& started, int ms)
{
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(transport, &IDataStreamReadWrite::connectChanged, &loop,
                     [&loop](bool connected) {
                         if (connected)
                             loop.quit();
                     });
    while (!transport->is_open() && started.elapsed() < ms) {
        limit.start(int(ms - started.elapsed()));
        loop.exec();
    }
    return transport->is_open();
}

void stopAndDelete(KXDeviceConnector* connector)
{
    connector->disconnectDevice();
    delete connector;
}

// The handheld that a base station serves, built from the base station's
// information.
const QVector<QPair<QString, QString>>& handheldKeys()
{
    static const QVector<QPair<QString, QString>> keys = {
        {QStringLiteral("Product Name"), QStringLiteral("Gun Product Name")},
        {QStringLiteral("Serial Number"), QStringLiteral("Gun Serial Number")},
        {QStringLiteral("Bluetooth Module Firmware Version"), QStringLiteral("Gun Bt Version")},
        {QStringLiteral("Firmware Version"), QStringLiteral("Gun Firmware Version")},
        {QStringLiteral("Hardware Version"), QStringLiteral("Gun Hardware Version")},
        {QStringLiteral("Decoder Version"), QStringLiteral("Gun Decoder Version")},
        {QStringLiteral("OEM Serial Number"), QStringLiteral("Gun OEM Serial Number")},
        {QStringLiteral("Kernel Version"), QStringLiteral("Gun kernel Version")},
        {QStringLiteral("Use DHCP"), QStringLiteral("Base Use DHCP")},
        {QStringLiteral("MAC Address"), QStringLiteral("Base MAC Address")},
        {QStringLiteral("Ip Address"), QStringLiteral("Base Ip Address")},
        {QStringLiteral("SubNetmask"), QStringLiteral("Base SubNetmask")},
        {QStringLiteral("Gateway Address"), QStringLiteral("Base Gateway Address")},
        {QStringLiteral("Tcp Port Number"), QStringLiteral("Gun Tcp Port Number")},
        {QStringLiteral("Log Port"), QStringLiteral("Gun Log Port")},
        {QStringLiteral("sub_DEVICEID"), QStringLiteral("sub_DEVICEID")},
    };
    return keys;
}

} // namespace

KXDeviceKitPrivate::KXDeviceKitPrivate(QObject* parent) : QObject(parent)
{
    qRegisterMetaType<DSDeviceSetting>("DSDeviceSetting");
    qRegisterMetaType<DSDeviceSettingMap>("DSDeviceSettingMap");
    qRegisterMetaType<DSDeviceHandle>("DSDeviceHandle");
    qRegisterMetaType<DSDeviceHandleList>("DSDeviceHandleList");
    qRegisterMetaType<KXDeviceInfoMap>("KXDeviceInfoMap");
}

KXDeviceKitPrivate::~KXDeviceKitPrivate()
{
    if (m_serialEnum) {
        if (m_serialEnum->isRunning()) {
            m_serialEnum->stopEnum();
            m_serialEnum->wait();
        }
        m_serialEnum->deleteLater();
    }
    qDeleteAll(m_passResults); // passes that never reached this thread
    m_namedUsbRecords.clear();
    if (m_broadcastEnum)
        m_broadcastEnum->deleteLater();
    // Connectors still registered are the host's to stop; only the device
    // settings are ours.
    qDeleteAll(m_serialDevices);
    qDeleteAll(m_networkDevices);
}

// ---- Registry primitives -------------------------------------------------

QPointer<KXDeviceConnector> KXDeviceKitPrivate::findConnector(const QString& id,
                                                              EDevicePortType portType) const
{
    const DSDeviceHandleList& handles = portType == DevicePortLog ? m_logHandles : m_dataHandles;
    for (const DSDeviceHandle& handle : handles) {
        if (handle.id == id)
            return handle.connector;
    }
    return nullptr;
}

bool KXDeviceKitPrivate::registerHandle(const DSDeviceHandle& handle, EDevicePortType portType)
{
    DSDeviceHandleList& handles = portType == DevicePortLog ? m_logHandles : m_dataHandles;
    for (const DSDeviceHandle& known : handles) {
        if (known.id == handle.id && known.kind == handle.kind &&
            known.connector.data() == handle.connector.data())
            return false;
    }
    removeHandle(handle.id, portType);
    handles.append(handle);

    KXDeviceConnector* connector = handle.connector.data();
    if (!connector)
        return true;
    const QString id = handle.id;
    // Signals already queued when the handle is replaced or removed must not
    // reach the host under this id any more.
    const auto current = [this, id, portType, connector] {
        return findConnector(id, portType).data() == connector;
    };
    if (portType == DevicePortData) {
        connect(connector, &KXDeviceConnector::messageReceived, this,
                [this, id, current](const QByteArray& data) {
                    if (current())
                        emit messageReceived(id, data);
                });
        connect(connector, &KXDeviceConnector::barcodeReceived, this,
                [this, id, current](const QByteArray& data) {
                    if (current())
                        emit barcodeReceived(id, data);
                });
    } else if (portType == DevicePortLog) {
        connect(connector, &KXDeviceConnector::logDataReceived, this,
                [this, id, current](const QByteArray& data) {
                    if (current())
                        emit logDataReceived(id, data);
                });
        connect(connector, &KXDeviceConnector::logDisconnect, this, [this, id, current] {
            if (current())
                emit logDisconnect(id);
        });
    }
    return true;
}

bool KXDeviceKitPrivate::removeHandle(const QString& id, EDevicePortType portType)
{
    DSDeviceHandleList& handles = portType == DevicePortLog ? m_logHandles : m_dataHandles;
    for (int i = handles.size() - 1; i >= 0; --i) {
        if (handles.at(i).id != id)
            continue;
        const QPointer<KXDeviceConnector> connector = handles.at(i).connector;
        handles.removeAt(i);
        if (connector)
            connector->deleteLater();
        return true;
    }
    return false;
}

void KXDeviceKitPrivate::wireConnectState(const QString& id, KXDeviceConnector* connector)
{
    IDataStreamReadWrite* transport = connector->transport();
    if (!transport)
        return;
    connect(transport, &IDataStreamReadWrite::connectChanged, this,
            [this, id, connector](bool connected) {
                // A replaced or removed connection has said its last word.
                if (findConnector(id, DevicePortData).data() == connector)
                    emit deviceConnectChanged(id, connected);
            });
    emit deviceConnectChanged(id, transport->is_open());
}

// ---- Connecting ----------------------------------------------------------

bool KXDeviceKitPrivate::connectToDevice(const QString& id, EConnectType connectType,
                                         bool isReconnectEnable, EDevicePortType portType)
{
    DSDeviceSetting* setting = nullptr;
    switch (connectType) {
    case ConnectDefault:
        setting = m_serialDevices.value(id, nullptr);
        if (!setting)
            setting = m_networkDevices.value(id, nullptr);
        break;
    case ConnectDriver:
        setting = m_serialDevices.value(id, nullptr);
        if (!setting) {
            setting = m_networkDevices.value(id, nullptr);
            if (setting && setting->driverRecord.isEmpty())
                setting->driverRecord =
                    makeTcpDriverRecord(setting->info.value(KXInfoKey::IpAddress),
                                        portNumber(setting->info.value(KXInfoKey::TcpPort)));
        }
        break;
    case ConnectNetwork:
        setting = m_networkDevices.value(id, nullptr);
        break;
    }
    if (!setting)
        return false;

    DSDeviceHandle handle;
    handle.id = id;
    handle.info = setting->info;
    handle.path = setting->path;
    auto* connector = new KXDeviceConnector;

    bool opened = false;
    if (const quint8* record = setting->driverRecordData()) {
        handle.kind = 1;
        opened = connector->openDevice(record, 3, nullptr);
    } else if (const quint8* com = setting->serialSettingsData()) {
        handle.kind = 1;
        opened = connector->openDevice(com, nullptr);
    } else {
        const QString ip = setting->info.value(KXInfoKey::IpAddress);
        const QString tcpPort = setting->info.value(KXInfoKey::TcpPort);
        const QString logPort = setting->info.value(KXInfoKey::LogPort);
        const int frameKiB = setting->info.value(QStringLiteral("DLL")).toInt();
        bool usable = !ip.isEmpty();
        quint16 port = 0;
        if (usable && connectType == ConnectNetwork) {
            usable = !tcpPort.isEmpty();
            handle.kind = 2;
            if (portType == DevicePortLog)
                connector->setLogConnection(true);
            port = portNumber(portType == DevicePortLog ? logPort : tcpPort);
        } else if (usable && connectType == ConnectDefault) {
            if (portType == DevicePortLog) {
                connector->setLogConnection(true);
                port = logPort.isEmpty() ? DefaultLogPort : portNumber(logPort);
            } else {
                port = tcpPort.isEmpty() ? DefaultDataPort : portNumber(tcpPort);
            }
        } else {
            usable = false; // a driver connection needs a record or COM settings
        }
        if (usable) {
            opened = connector->connectToDevice(ip, port, isReconnectEnable);
            if (IDataStreamReadWrite* transport = connector->transport())
                transport->setFrameSize(frameKiB * 1024);
            if (opened)
                handle.kind = 2;
        }
    }

    if (!opened) {
        delete connector;
        return false;
    }
    if (setting->info.value(KXInfoKey::Rfid) == QLatin1String("1"))
        connector->setRfidDevice(true);
    handle.connector = connector;
    registerHandle(handle, portType);
    if (portType == DevicePortData)
        wireConnectState(id, connector);
    return true;
}

bool KXDeviceKitPrivate::connectToDevice(const QString& id, ushort port, uint baudRate,
                                         uchar dataBits, uchar stopBits, uchar parity)
{
    // The driver's COM record: port, detection kind, reserved, baud rate,
    // data bits, stop bits, parity, reserved.
    std::array<quint8, 12> record{};
    qToLittleEndian<quint16>(port, record.data());
    qToLittleEndian<quint32>(baudRate, record.data() + 4);
    record[8] = dataBits;
    record[9] = stopBits;
    record[10] = parity;

    auto* connector = new KXDeviceConnector;
    if (!connector->openDevice(record.data(), nullptr)) {
        delete connector;
        return false;
    }
    DSDeviceHandle handle;
    handle.id = id;
    handle.kind = 1;
    handle.connector = connector;
    registerHandle(handle, DevicePortData);
    wireConnectState(id, connector);
    return true;
}

bool KXDeviceKitPrivate::connectToDevice_Cmd(const QString& id, const QString& name)
{
    DSDeviceHandle handle;
    handle.id = id;
    auto* connector = new KXDeviceConnector;
    bool opened = false;
    if (m_namedUsbRecords.contains(name)) {
        handle.kind = 1;
        const QByteArray& record = m_namedUsbRecords[name];
        // Like a USB device found by a scan, it hears of its device coming
        // and going by the device's node.
        handle.path =
            kxDriverRecordName(reinterpret_cast<const quint8*>(record.constData()), record.size());
        opened =
            record.size() >= DriverRecordSize &&
            connector->openDevice(reinterpret_cast<const quint8*>(record.constData()), 3, nullptr);
    } else if (m_namedNetworkEntries.contains(name)) {
        handle.kind = 2;
        const QPair<QString, int> entry = m_namedNetworkEntries.value(name);
        opened = connector->connectToDevice(entry.first, quint16(entry.second), false);
    }
    if (!opened) {
        delete connector;
        return false;
    }
    handle.connector = connector;
    registerHandle(handle, DevicePortData);
    wireConnectState(id, connector);
    return true;
}

bool KXDeviceKitPrivate::connectToOffLineDevice(const QString& id, const QString& configFile,
                                                const QString& offlineFile)
{
    auto* connector = new KXDeviceConnector;
    if (!connector->openOffLineDevice(configFile, offlineFile)) {
        delete connector;
        return false;
    }
    DSDeviceHandle handle;
    handle.id = id;
    handle.connector = connector;
    registerHandle(handle, DevicePortData);
    wireConnectState(id, connector);
    return true;
}

int KXDeviceKitPrivate::addDevice(const QString& ip, const QString& port)
{
    for (const DSDeviceSetting* setting : qAsConst(m_networkDevices)) {
        if (setting->info.value(KXInfoKey::IpAddress) == ip)
            return -10;
    }

    QElapsedTimer started;
    started.start();
    auto* connector = new KXDeviceConnector;
    if (!connector->connectToDevice(ip, portNumber(port), true)) {
        delete connector;
        return -1;
    }
    if (!connector->transport() ||
        !waitForOpen(connector->transport(), started, AddDeviceOpenWaitMs)) {
        qCDebug(lcKit).noquote() << "KXDeviceKitPrivate::addDevice...Device is Unconnected!!!";
        stopAndDelete(connector);
        return -1;
    }

    KXDeviceInfoMap info;
    if (!KXQueryDeviceInfo(connector, info)) {
        qCDebug(lcKit).noquote() << "KXDeviceKitPrivate::addDevice...KXQueryDeviceInfo fail!!!";
        stopAndDelete(connector);
        return -1;
    }
    info.insert(QStringLiteral("ManuallyAddIPDevice"), QStringLiteral("1"));
    if (info.value(KXInfoKey::IpAddress).isEmpty())
        info.insert(KXInfoKey::IpAddress, ip);
    if (info.value(KXInfoKey::TcpPort).isEmpty())
        info.insert(KXInfoKey::TcpPort, port);
    const QString serial = info.value(KXInfoKey::SerialNumber);
    OnBroadcastDeviceUpdated(serial.isEmpty() ? ip : serial, info);
    stopAndDelete(connector);
    return 0;
}

void KXDeviceKitPrivate::OnBroadcastDeviceUpdated(QString device_id, KXDeviceInfoMap devInfos)
{
    delete m_networkDevices.take(device_id);
    auto* setting = new DSDeviceSetting;
    setting->info = devInfos;
    m_networkDevices.insert(device_id, setting);
    storeHandheldEntry(devInfos);
    emit deviceUpdated(device_id, devInfos);
}

void KXDeviceKitPrivate::storeHandheldEntry(const KXDeviceInfoMap& baseInfo)
{
    if (baseInfo.value(QStringLiteral("Base Som")) != QLatin1String("1") ||
        baseInfo.value(QStringLiteral("Gun Product Name")).isEmpty())
        return;
    KXDeviceInfoMap info;
    for (const auto& key : handheldKeys())
        info.insert(key.first, baseInfo.value(key.second));
    const QString id = baseInfo.value(KXInfoKey::SubDeviceId);
    if (DSDeviceSetting* known = m_networkDevices.value(id, nullptr)) {
        known->info = info;
        return;
    }
    auto* setting = new DSDeviceSetting;
    setting->info = info;
    m_networkDevices.insert(id, setting);
}

// ---- Disconnecting and device notices ------------------------------------

bool KXDeviceKitPrivate::disconnectFromDevice(const QString& id, EDevicePortType portType)
{
    const bool removed = removeHandle(id, portType);
    if (removed && portType == DevicePortData)
        emit deviceConnectChanged(id, false);
    return removed;
}

bool KXDeviceKitPrivate::disconnectFromDeviceEx(const QString& id, EDevicePortType portType)
{
    if (const QPointer<KXDeviceConnector> connector = findConnector(id, portType))
        connector->disconnectDevice();
    return disconnectFromDevice(id, portType);
}

void KXDeviceKitPrivate::dbtDeviceArrival(bool arrived, bool removedNotice, const QString& path)
{
    if (path.isEmpty())
        return;
    for (const DSDeviceHandle& handle : qAsConst(m_dataHandles)) {
        if (handle.path == path && handle.connector)
            handle.connector->deviceArrival(arrived, removedNotice);
    }
}

// ---- Forwarding to a registered connector --------------------------------

bool KXDeviceKitPrivate::isConnected(const QString& id)
{
    const QPointer<KXDeviceConnector> connector = findConnector(id, DevicePortData);
    return connector && connector->transport() && connector->transport()->is_open();
}

bool KXDeviceKitPrivate::isDeviceRemove(const QString& id)
{
    const QPointer<KXDeviceConnector> connector = findConnector(id, DevicePortData);
    return connector && connector->isDeviceRemoved();
}

QString KXDeviceKitPrivate::sendBinaryMessage(const QString& id, const QByteArray& data,
                                              KXDeviceKit::ReplyCallback callback, QObject* context,
                                              int timeout, EDevicePortType portType)
{
    const QPointer<KXDeviceConnector> connector = findConnector(id, portType);
    if (!connector)
        return QString(QChar(0xFFFD));
    return connector->sendBinaryMessage(data, std::move(callback), context, timeout);
}

int KXDeviceKitPrivate::sendBinaryMessage(const QString& id, const QByteArray& data,
                                          QByteArray& reply, int timeout, EDevicePortType portType)
{
    const QPointer<KXDeviceConnector> connector = findConnector(id, portType);
    return connector ? connector->sendBinaryMessage(data, reply, timeout)
                     : int(KXDeviceConnector::ErrorNotRunning);
}

bool KXDeviceKitPrivate::cancelRequest(const QString& id, const QString& msgid,
                                       EDevicePortType portType)
{
    const QPointer<KXDeviceConnector> connector = findConnector(id, portType);
    return connector && connector->cancelRequest(msgid, true);
}

void KXDeviceKitPrivate::cancelAllRequests(const QString& id, EDevicePortType portType)
{
    if (const QPointer<KXDeviceConnector> connector = findConnector(id, portType))
        connector->cancelAllRequests();
}

int KXDeviceKitPrivate::setTimeOut_7E01(const QString& id, int ms)
{
    const QPointer<KXDeviceConnector> connector = findConnector(id, DevicePortData);
    return connector ? connector->setTimeOut_7E01(ms) : -1;
}

void KXDeviceKitPrivate::startKeepAlive(const QString& id, int interval)
{
    if (const QPointer<KXDeviceConnector> connector = findConnector(id, DevicePortData))
        connector->startKeepAlive(interval);
}

void KXDeviceKitPrivate::stopKeepAlive(const QString& id)
{
    if (const QPointer<KXDeviceConnector> connector = findConnector(id, DevicePortData))
        connector->stopKeepAlive();
}

bool KXDeviceKitPrivate::logQuery(const QString& id)
{
    const QPointer<KXDeviceConnector> connector = findConnector(id, DevicePortLog);
    return connector && connector->logQuery();
}

void KXDeviceKitPrivate::logRecv(const QString& id)
{
    if (const QPointer<KXDeviceConnector> connector = findConnector(id, DevicePortLog))
        connector->logRecv();
}

void KXDeviceKitPrivate::stopLogRecv(const QString& id)
{
    if (const QPointer<KXDeviceConnector> connector = findConnector(id, DevicePortLog))
        connector->stopLogRecv();
}

bool KXDeviceKitPrivate::decodeImage(QString& id, QByteArray data, int width, int height,
                                     QByteArray& out, int* outLength)
{
    const QPointer<KXDeviceConnector> connector = findConnector(id, DevicePortData);
    return !connector || connector->decodeImage(data, width, height, out, outLength);
}

int KXDeviceKitPrivate::checkUpdateFirmwareInfo(const QString& id, const QString& file)
{
    const QPointer<KXDeviceConnector> connector = findConnector(id, DevicePortData);
    return connector ? connector->checkUpdateFirmwareInfo(file) : 0;
}

bool KXDeviceKitPrivate::updateFirmwareFile(const QString& id, const QString& file, int type,
                                            uint* error)
{
    const QPointer<KXDeviceConnector> connector = findConnector(id, DevicePortData);
    return connector && connector->updateFirmwareFile(file, type, error);
}

bool KXDeviceKitPrivate::getUpdateFirmwareState(const QString& id, int& part, int& partState,
                                                int& stage, int& stageValue)
{
    const QPointer<KXDeviceConnector> connector = findConnector(id, DevicePortData);
    return connector && connector->getUpdateFirmwareState(&part, &partState, &stage, &stageValue);
}
