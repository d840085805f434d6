#include "KXDeviceKit.h"

#include "KXDeviceKitPrivate.h"
#include "KXUpgrade/IfpPackageHandler.h"
#include "KXUpgrade/KXPakInfo.h"
#include "transport/KXDriverLibrary.h"

#include <QMutex>
#include <QMutexLocker>

#include <atomic>

// The facade holds no device state: every call goes straight to the private
// object on the caller's thread, and the private object's signals are
// re-emitted under the same names.

QScopedPointer<KXDeviceKit> KXDeviceKit::self;

namespace {
// Set once the instance exists, so that later calls skip the mutex without
// reading the scoped pointer while another thread may still be writing it.
std::atomic<KXDeviceKit*> g_instance{nullptr};
} // namespace

KXDeviceKit* KXDeviceKit::Instance()
{
    if (KXDeviceKit* kit = g_instance.load(std::memory_order_acquire))
        return kit;
    static QMutex mutex;
    QMutexLocker lock(&mutex);
    if (!self) {
        self.reset(new KXDeviceKit(nullptr));
        g_instance.store(self.data(), std::memory_order_release);
    }
    return self.data();
}

KXDeviceKit::KXDeviceKit(QObject* parent) : QObject(parent), d(new KXDeviceKitPrivate(this))
{
    connect(d, &KXDeviceKitPrivate::deviceUpdated, this, &KXDeviceKit::deviceUpdated);
    connect(d, &KXDeviceKitPrivate::deviceConnectChanged, this, &KXDeviceKit::deviceConnectChanged);
    connect(d, &KXDeviceKitPrivate::deviceNetworkChanged, this, &KXDeviceKit::deviceNetworkChanged);
    connect(d, &KXDeviceKitPrivate::deviceAliasChanged, this, &KXDeviceKit::deviceAliasChanged);
    connect(d, &KXDeviceKitPrivate::deviceNetworkGroup, this, &KXDeviceKit::deviceNetworkGroup);
    connect(d, &KXDeviceKitPrivate::messageReceived, this, &KXDeviceKit::messageReceived);
    connect(d, &KXDeviceKitPrivate::barcodeReceived, this, &KXDeviceKit::barcodeReceived);
    connect(d, &KXDeviceKitPrivate::logDataReceived, this, &KXDeviceKit::logDataReceived);
    connect(d, &KXDeviceKitPrivate::logDisconnect, this, &KXDeviceKit::logDisconnect);
    connect(d, &KXDeviceKitPrivate::serialPortDeviceEnumEnd, this,
            &KXDeviceKit::serialPortDeviceEnumEnd);
    connect(d, &KXDeviceKitPrivate::deviceOffLine, this, &KXDeviceKit::deviceOffLine);
}

KXDeviceKit::~KXDeviceKit()
{
    g_instance.store(nullptr, std::memory_order_release);
    // The private object is a child and goes with the QObject base.
}

uint KXDeviceKit::getKitVersion()
{
    return 1;
}

uint KXDeviceKit::getDataStreamVersion()
{
    const auto version = KXDriver::resolveShared<KXDriver::GetLibVersionFn>("kxds_get_lib_version");
    return version ? version() : 0;
}

bool KXDeviceKit::getPakInfo(const QString& file, QString& info)
{
    return KXGetPakInfo(file, info);
}

bool KXDeviceKit::getPakInfo(const QString& file, QString& model, QString& hardware,
                             QString& version, uint* driverInfo)
{
    return KXGetPakInfo(file, model, hardware, version, driverInfo);
}

bool KXDeviceKit::isIfp(const QString& file)
{
    return IfpPackageHandler::isIfp(file);
}

bool KXDeviceKit::extractIfpFile(const QString& file)
{
    return IfpPackageHandler::instance()->prepare(file);
}

int KXDeviceKit::addDevice(const QString& ip, const QString& port)
{
    return d->addDevice(ip, port);
}

bool KXDeviceKit::connectToDevice(const QString& id, EConnectType connectType,
                                  bool isReconnectEnable, EDevicePortType portType)
{
    return d->connectToDevice(id, connectType, isReconnectEnable, portType);
}

bool KXDeviceKit::connectToDevice(const QString& id, ushort port, uint baudRate, uchar dataBits,
                                  uchar stopBits, uchar parity)
{
    return d->connectToDevice(id, port, baudRate, dataBits, stopBits, parity);
}

bool KXDeviceKit::connectToDevice_Cmd(const QString& id, const QString& name)
{
    return d->connectToDevice_Cmd(id, name);
}

bool KXDeviceKit::connectToOffLineDevice(const QString& id, const QString& configFile,
                                         const QString& offlineFile)
{
    return d->connectToOffLineDevice(id, configFile, offlineFile);
}

bool KXDeviceKit::disconnectFromDevice(const QString& id, EDevicePortType portType)
{
    return d->disconnectFromDevice(id, portType);
}

bool KXDeviceKit::disconnectFromDeviceEx(const QString& id, EDevicePortType portType)
{
    return d->disconnectFromDeviceEx(id, portType);
}

bool KXDeviceKit::isConnected(const QString& id)
{
    return d->isConnected(id);
}

bool KXDeviceKit::isDeviceRemove(const QString& id)
{
    return d->isDeviceRemove(id);
}

void KXDeviceKit::dbtDeviceArrival(bool arrived, bool removedNotice, const QString& path)
{
    d->dbtDeviceArrival(arrived, removedNotice, path);
}

QString KXDeviceKit::sendBinaryMessage(const QString& id, const QByteArray& data,
                                       ReplyCallback callback, QObject* context, int timeout,
                                       EDevicePortType portType)
{
    return d->sendBinaryMessage(id, data, std::move(callback), context, timeout, portType);
}

int KXDeviceKit::sendBinaryMessage(const QString& id, const QByteArray& data, QByteArray& reply,
                                   int timeout, EDevicePortType portType)
{
    return d->sendBinaryMessage(id, data, reply, timeout, portType);
}

bool KXDeviceKit::cancelRequest(const QString& id, const QString& msgid, EDevicePortType portType)
{
    return d->cancelRequest(id, msgid, portType);
}

void KXDeviceKit::cancelAllRequests(const QString& id, EDevicePortType portType)
{
    d->cancelAllRequests(id, portType);
}

int KXDeviceKit::setTimeOut_7E01(const QString& id, int ms)
{
    return d->setTimeOut_7E01(id, ms);
}

void KXDeviceKit::startKeepAlive(const QString& id, int interval)
{
    d->startKeepAlive(id, interval);
}

void KXDeviceKit::stopKeepAlive(const QString& id)
{
    d->stopKeepAlive(id);
}

bool KXDeviceKit::logQuery(const QString& id)
{
    return d->logQuery(id);
}

void KXDeviceKit::logRecv(const QString& id)
{
    d->logRecv(id);
}

void KXDeviceKit::stopLogRecv(const QString& id)
{
    d->stopLogRecv(id);
}

bool KXDeviceKit::decodeImage(QString& id, QByteArray data, int width, int height, QByteArray& out,
                              int* outLength)
{
    return d->decodeImage(id, data, width, height, out, outLength);
}

int KXDeviceKit::checkUpdateFirmwareInfo(const QString& id, const QString& file)
{
    return d->checkUpdateFirmwareInfo(id, file);
}

bool KXDeviceKit::updateFirmwareFile(const QString& id, const QString& file, int type, uint* error)
{
    return d->updateFirmwareFile(id, file, type, error);
}

bool KXDeviceKit::getUpdateFirmwareState(const QString& id, int& part, int& partState, int& stage,
                                         int& stageValue)
{
    return d->getUpdateFirmwareState(id, part, partState, stage, stageValue);
}

int KXDeviceKit::enumDevicesUsbAndNet(QStringList& names)
{
    return d->enumDevicesUsbAndNet(names);
}

bool KXDeviceKit::startDeviceScan(EScanType type, int interval)
{
    return d->startDeviceScan(type, interval);
}

bool KXDeviceKit::stopDeviceScan(EScanType type)
{
    return d->stopDeviceScan(type);
}

bool KXDeviceKit::refreshDeviceScan(EScanType type)
{
    return d->refreshDeviceScan(type);
}

void KXDeviceKit::pauseBroadcastDeviceEnum(bool pause)
{
    d->pauseBroadcastDeviceEnum(pause);
}

void KXDeviceKit::pauseBroadcastDeviceCheckOffLine(bool pause)
{
    d->pauseBroadcastDeviceCheckOffLine(pause);
}

void KXDeviceKit::setRefreshTime(int seconds)
{
    d->setRefreshTime(seconds);
}

void KXDeviceKit::setDelayEnumTime(int ms)
{
    d->setDelayEnumTime(ms);
}

void KXDeviceKit::setCheckDeviceAliveTime(int seconds)
{
    d->setCheckDeviceAliveTime(seconds);
}

int KXDeviceKit::changeDeviceNetwork(const KXDeviceInfoMap& info)
{
    return d->changeDeviceNetwork(info);
}

int KXDeviceKit::changeDeviceAlias(const KXDeviceInfoMap& info)
{
    return d->changeDeviceAlias(info);
}

int KXDeviceKit::blinkNotify(const KXDeviceInfoMap& info)
{
    return d->blinkNotify(info);
}

int KXDeviceKit::setDeviceNetworkGroup(QString group)
{
    return d->setDeviceNetworkGroup(group);
}
