#ifndef KXDEVICEKITPRIVATE_H
#define KXDEVICEKITPRIVATE_H

#include "KXDeviceKit.h"
#include "discovery/KXDeviceSetting.h"

#include <QList>
#include <QMap>
#include <QMetaType>
#include <QMutex>
#include <QPair>
#include <QPointer>
#include <QVector>

class KXBroadcastDeviceEnum;
class KXDeviceConnector;
class KXSerialPortDeviceEnum;

// One open connection.
struct DSDeviceHandle
{
    QString id;
    KXDeviceInfoMap info; // what it was opened from; empty for serial and offline
    int kind = -1;        // 1 driver library (USB/serial), 2 TCP, -1 not set
    QPointer<KXDeviceConnector> connector;
    QString path; // operating-system device path for arrival notices, or empty
};

typedef QVector<DSDeviceHandle> DSDeviceHandleList;

Q_DECLARE_METATYPE(DSDeviceSetting)
Q_DECLARE_METATYPE(DSDeviceSettingMap)
Q_DECLARE_METATYPE(DSDeviceHandle)
Q_DECLARE_METATYPE(DSDeviceHandleList)

// The implementation behind KXDeviceKit: the registry of known devices and
// open connections (KXDeviceKitPrivate.cpp), enumeration across ports
// (KXDeviceKitScan.cpp) and the network settings commands
// (KXDeviceKitNetwork.cpp). It has no lock: every call comes from the thread
// it lives in, and the signals of connectors, enumerators and transports
// reach it there through queued connections.
class KXDeviceKitPrivate : public QObject
{
    Q_OBJECT

public:
    explicit KXDeviceKitPrivate(QObject* parent = nullptr);
    ~KXDeviceKitPrivate() override;

    // Registry and connections.
    int addDevice(const QString& ip, const QString& port);
    bool connectToDevice(const QString& id, EConnectType connectType, bool isReconnectEnable,
                         EDevicePortType portType);
    bool connectToDevice(const QString& id, ushort port, uint baudRate, uchar dataBits,
                         uchar stopBits, uchar parity);
    bool connectToDevice_Cmd(const QString& id, const QString& name);
    bool connectToOffLineDevice(const QString& id, const QString& configFile,
                                const QString& offlineFile);
    bool disconnectFromDevice(const QString& id, EDevicePortType portType);
    bool disconnectFromDeviceEx(const QString& id, EDevicePortType portType);
    bool isConnected(const QString& id);
    bool isDeviceRemove(const QString& id);
    void dbtDeviceArrival(bool arrived, bool removedNotice, const QString& path);

    QString sendBinaryMessage(const QString& id, const QByteArray& data,
                              KXDeviceKit::ReplyCallback callback, QObject* context, int timeout,
                              EDevicePortType portType);
    int sendBinaryMessage(const QString& id, const QByteArray& data, QByteArray& reply, int timeout,
                          EDevicePortType portType);
    bool cancelRequest(const QString& id, const QString& msgid, EDevicePortType portType);
    void cancelAllRequests(const QString& id, EDevicePortType portType);
    int setTimeOut_7E01(const QString& id, int ms);
    void startKeepAlive(const QString& id, int interval);
    void stopKeepAlive(const QString& id);
    bool logQuery(const QString& id);
    void logRecv(const QString& id);
    void stopLogRecv(const QString& id);
    bool decodeImage(QString& id, QByteArray data, int width, int height, QByteArray& out,
                     int* outLength);
    int checkUpdateFirmwareInfo(const QString& id, const QString& file);
    bool updateFirmwareFile(const QString& id, const QString& file, int type, uint* error);
    bool getUpdateFirmwareState(const QString& id, int& part, int& partState, int& stage,
                                int& stageValue);

    // Enumeration across ports.
    int enumDevicesUsbAndNet(QStringList& names);
    bool startDeviceScan(EScanType type, int interval);
    bool stopDeviceScan(EScanType type);
    bool refreshDeviceScan(EScanType type);
    void pauseBroadcastDeviceEnum(bool pause);
    void pauseBroadcastDeviceCheckOffLine(bool pause);
    void setRefreshTime(int seconds);
    void setDelayEnumTime(int ms);
    void setCheckDeviceAliveTime(int seconds);

    // Network settings commands.
    int changeDeviceNetwork(const KXDeviceInfoMap& info);
    int changeDeviceAlias(const KXDeviceInfoMap& info);
    int blinkNotify(const KXDeviceInfoMap& info);
    int setDeviceNetworkGroup(QString group);

signals:
    void deviceUpdated(QString device_id, KXDeviceInfoMap device_info);
    void deviceConnectChanged(QString device_id, bool connected);
    void deviceNetworkChanged(QString device_sn, QString device_mac, int result);
    void deviceAliasChanged(QString device_sn, QString device_mac, int result);
    void deviceNetworkGroup(QString device_sn, QString device_mac, int result);
    void messageReceived(QString device_id, QByteArray data);
    void barcodeReceived(QString device_id, QByteArray data);
    void logDataReceived(QString device_id, QByteArray data);
    void logDisconnect(QString device_id);
    void serialPortDeviceEnumEnd();
    void deviceOffLine(QString device_id);

protected slots:
    void OnBroadcastDeviceUpdated(QString device_id, KXDeviceInfoMap devInfos);
    void onSerialPortDeviceEnumEnd(DSEnumDeviceSetting* pDeviceSetting);

private:
    // Registry primitives (KXDeviceKitPrivate.cpp).
    QPointer<KXDeviceConnector> findConnector(const QString& id, EDevicePortType portType) const;
    bool registerHandle(const DSDeviceHandle& handle, EDevicePortType portType);
    bool removeHandle(const QString& id, EDevicePortType portType);
    void wireConnectState(const QString& id, KXDeviceConnector* connector);
    void storeHandheldEntry(const KXDeviceInfoMap& baseInfo);

    // Enumeration (KXDeviceKitScan.cpp).
    void refreshNetworkCache(EScanType type);
    void startSerialPass();
    void deliverSerialPasses();

    QPointer<KXSerialPortDeviceEnum> m_serialEnum;
    QPointer<KXBroadcastDeviceEnum> m_broadcastEnum;
    DSDeviceSettingMap m_serialDevices;
    DSDeviceSettingMap m_networkDevices;
    DSDeviceHandleList m_dataHandles;
    DSDeviceHandleList m_logHandles;
    QMap<QString, QByteArray> m_namedUsbRecords;              // 512-byte driver records
    QMap<QString, QPair<QString, int>> m_namedNetworkEntries; // address, port
    int m_checkAliveTime = 120;
    // Pass results on their way from the enumeration thread to this one.
    // Held here rather than only in a queued call, which Qt drops without
    // freeing its pointer when the application ends first.
    QMutex m_passMutex;
    QList<DSEnumDeviceSetting*> m_passResults;
};

#endif // KXDEVICEKITPRIVATE_H
