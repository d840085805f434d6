#include "KXDeviceKitPrivate.h"

// Placeholder bodies until this part of the registry is written.

KXDeviceKitPrivate::KXDeviceKitPrivate(QObject* parent) : QObject(parent) {}

KXDeviceKitPrivate::~KXDeviceKitPrivate() = default;

void KXDeviceKitPrivate::OnBroadcastDeviceUpdated(QString /*device_id*/,
                                                  KXDeviceInfoMap /*devInfos*/)
{
}

int KXDeviceKitPrivate::addDevice(const QString& /*ip*/, const QString& /*port*/)
{
    return -1;
}

bool KXDeviceKitPrivate::connectToDevice(const QString& /*id*/, EConnectType /*connectType*/,
                                         bool /*isReconnectEnable*/, EDevicePortType /*portType*/)
{
    return false;
}

bool KXDeviceKitPrivate::connectToDevice(const QString& /*id*/, ushort /*port*/, uint /*baudRate*/,
                                         uchar /*dataBits*/, uchar /*stopBits*/, uchar /*parity*/)
{
    return false;
}

bool KXDeviceKitPrivate::connectToDevice_Cmd(const QString& /*id*/, const QString& /*name*/)
{
    return false;
}

bool KXDeviceKitPrivate::connectToOffLineDevice(const QString& /*id*/,
                                                const QString& /*configFile*/,
                                                const QString& /*offlineFile*/)
{
    return false;
}

bool KXDeviceKitPrivate::disconnectFromDevice(const QString& /*id*/, EDevicePortType /*portType*/)
{
    return false;
}

bool KXDeviceKitPrivate::disconnectFromDeviceEx(const QString& /*id*/, EDevicePortType /*portType*/)
{
    return false;
}

bool KXDeviceKitPrivate::isConnected(const QString& /*id*/)
{
    return false;
}

bool KXDeviceKitPrivate::isDeviceRemove(const QString& /*id*/)
{
    return false;
}

void KXDeviceKitPrivate::dbtDeviceArrival(bool /*arrived*/, bool /*removedNotice*/,
                                          const QString& /*path*/)
{
}

QString KXDeviceKitPrivate::sendBinaryMessage(const QString& /*id*/, const QByteArray& /*data*/,
                                              KXDeviceKit::ReplyCallback /*callback*/,
                                              QObject* /*context*/, int /*timeout*/,
                                              EDevicePortType /*portType*/)
{
    return QString();
}

int KXDeviceKitPrivate::sendBinaryMessage(const QString& /*id*/, const QByteArray& /*data*/,
                                          QByteArray& /*reply*/, int /*timeout*/,
                                          EDevicePortType /*portType*/)
{
    return -1;
}

bool KXDeviceKitPrivate::cancelRequest(const QString& /*id*/, const QString& /*msgid*/,
                                       EDevicePortType /*portType*/)
{
    return false;
}

void KXDeviceKitPrivate::cancelAllRequests(const QString& /*id*/, EDevicePortType /*portType*/) {}

int KXDeviceKitPrivate::setTimeOut_7E01(const QString& /*id*/, int /*ms*/)
{
    return -1;
}

void KXDeviceKitPrivate::startKeepAlive(const QString& /*id*/, int /*interval*/) {}

void KXDeviceKitPrivate::stopKeepAlive(const QString& /*id*/) {}

bool KXDeviceKitPrivate::logQuery(const QString& /*id*/)
{
    return false;
}

void KXDeviceKitPrivate::logRecv(const QString& /*id*/) {}

void KXDeviceKitPrivate::stopLogRecv(const QString& /*id*/) {}

bool KXDeviceKitPrivate::decodeImage(QString& /*id*/, QByteArray /*data*/, int /*width*/,
                                     int /*height*/, QByteArray& /*out*/, int* /*outLength*/)
{
    return false;
}

int KXDeviceKitPrivate::checkUpdateFirmwareInfo(const QString& /*id*/, const QString& /*file*/)
{
    return -1;
}

bool KXDeviceKitPrivate::updateFirmwareFile(const QString& /*id*/, const QString& /*file*/,
                                            int /*type*/, uint* /*error*/)
{
    return false;
}

bool KXDeviceKitPrivate::getUpdateFirmwareState(const QString& /*id*/, int& /*part*/,
                                                int& /*partState*/, int& /*stage*/,
                                                int& /*stageValue*/)
{
    return false;
}
