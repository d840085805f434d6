#ifndef KXDEVICEKIT_H
#define KXDEVICEKIT_H

#include "KXDeviceKitGlobal.h"

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QScopedPointer>
#include <QString>
#include <QStringList>

#include <functional>

// The kit's enumerations have a fixed underlying type, so that any int a host
// passes is a value the kit can refuse or treat as documented.

// Which of a device's two connections a call addresses. Any other value acts
// as DevicePortData when a connection is looked up.
enum EDevicePortType : int
{
    DevicePortData = 0, // commands, replies, barcodes, keepalive, firmware
    DevicePortLog = 1,  // the device log stream
};

// How a connect call reaches a device that an enumeration found.
enum EConnectType : int
{
    ConnectDefault = 0, // driver library for USB/serial, TCP for network devices
    ConnectDriver = 1,  // always through the driver library
    ConnectNetwork = 2, // TCP only, with the port from the device information
};

// Bit set for the scan operations; only ScanBroadcast is tested.
enum EScanType : int
{
    ScanBroadcast = 2, // UDP broadcast discovery of network devices
};

// Device information keyed by the kit's information keys ("Serial Number",
// "Ip Address", "Product Name", ...).
typedef QMap<QString, QString> KXDeviceInfoMap;

class KXDeviceKitPrivate;

// The device kit. One object per process, reached through Instance().
//
// Threads: call every method from the thread that first called Instance()
// (the host thread); the kit's registry has no lock. Signals arrive on that
// thread too. Calls marked "blocks" wait on the calling thread.
//
// Results: int results are 0 for success and negative for failure (-1
// general failure, -3 the object needed does not exist, -10 the device is
// already known); bool results are false when no connection is registered,
// except where a method says otherwise.
class KXDEVICEKIT_EXPORT KXDeviceKit : public QObject
{
    Q_OBJECT

public:
    // Reply callback of an asynchronous send: message id, error code (0
    // reply, -1 no complete reply, -2 time-out, -3 not running, -5 cancelled,
    // -20 write failed, -22 not a framed command, -23 bad reply frame), the
    // reply frame, and the context given with the request (null when it is
    // gone). Called on the context object's thread.
    using ReplyCallback = std::function<void(const QString& msgid, int errcode,
                                             const QByteArray& data, QObject* context)>;

    // The one kit object; created on the first call, which may come from any
    // thread (the first caller's thread becomes the host thread). Never null.
    static KXDeviceKit* Instance();

    // The kit's interface version: 1.
    uint getKitVersion();
    // The driver library's version (kxds_get_lib_version), or 0 when the
    // library or the function cannot be found. Resolved at each call.
    uint getDataStreamVersion();

    // Adds a network device by address and TCP port: connects, queries its
    // information, emits deviceUpdated and disconnects again. 0 added, -1
    // unreachable (not open within 2000 ms) or the query failed, -10 a known
    // network device already has this address. Blocks: up to about 2 s plus
    // the information query.
    int addDevice(const QString& ip, const QString& port);

    // Connects to a device that a scan found (or addDevice added) and
    // registers the connection under `id` and `portType`, replacing an
    // earlier one. True when the connection is open. Blocks for the opening.
    bool connectToDevice(const QString& id, EConnectType connectType, bool isReconnectEnable,
                         EDevicePortType portType);
    // Opens a serial port through the driver library with these settings and
    // registers it as the data connection of `id`.
    bool connectToDevice(const QString& id, ushort port, uint baudRate, uchar dataBits,
                         uchar stopBits, uchar parity);
    // Connects to an entry named by enumDevicesUsbAndNet() and registers it as
    // the data connection of `id`.
    bool connectToDevice_Cmd(const QString& id, const QString& name);
    // Opens a simulated device from a device configuration file and an
    // offline description file (the sample device's files are installed under
    // share/KXDeviceKit/offline). False when the files do not load.
    bool connectToOffLineDevice(const QString& id, const QString& configFile,
                                const QString& offlineFile);
    // Drops the connection; its worker is deleted later through the event
    // loop. True when a connection was registered. A data connection emits
    // deviceConnectChanged(id, false).
    bool disconnectFromDevice(const QString& id, EDevicePortType portType);
    // As disconnectFromDevice, but first stops the connection's thread and
    // closes its link. Blocks until the thread has ended.
    bool disconnectFromDeviceEx(const QString& id, EDevicePortType portType);
    // The data connection's link is open; false without a data connection.
    bool isConnected(const QString& id);
    // The operating system reported the data connection's device removed.
    bool isDeviceRemove(const QString& id);
    // Hands a device arrival or removal notice to every data connection whose
    // device path equals `path` (the path that enumeration reported).
    void dbtDeviceArrival(bool arrived, bool removedNotice, const QString& path);

    // Queues a framed command and returns its 32-digit message id at once;
    // `callback` gets exactly one result. Without a connection the result is
    // the one-character string U+FFFD and the callback is not called.
    QString sendBinaryMessage(const QString& id, const QByteArray& data, ReplyCallback callback,
                              QObject* context, int timeout, EDevicePortType portType);
    // Sends a framed command and waits for the reply (blocks, running a local
    // event loop). The result is the error code above; -3 without a
    // connection.
    int sendBinaryMessage(const QString& id, const QByteArray& data, QByteArray& reply, int timeout,
                          EDevicePortType portType);
    // Cancels one queued request; its callback gets -5. False when the request
    // or the connection is unknown.
    bool cancelRequest(const QString& id, const QString& msgid, EDevicePortType portType);
    // Drops every queued request of the connection without calling back.
    void cancelAllRequests(const QString& id, EDevicePortType portType);
    // Sets the reply time-out of text commands (ms > 0) and returns the
    // previous one; -1 without a data connection.
    int setTimeOut_7E01(const QString& id, int ms);
    // Keepalive on the data connection; an interval of 1000 ms or less stops it.
    void startKeepAlive(const QString& id, int interval);
    void stopKeepAlive(const QString& id);
    // Device log stream on the log connection: logQuery asks the device to
    // start it (false without a log connection), logRecv starts delivering
    // logDataReceived, stopLogRecv ends it.
    bool logQuery(const QString& id);
    void logRecv(const QString& id);
    void stopLogRecv(const QString& id);
    // Decodes an image that the device sent (blocks for the exchange). True
    // without a data connection.
    bool decodeImage(QString& id, QByteArray data, int width, int height, QByteArray& out,
                     int* outLength);

    // Asks the device whether `file` suits it: 0 yes; 600 to 604 the queries
    // or the package failed; 610 the device takes packages and the file is
    // none; other values: the package's script refused. 0 without a data
    // connection. Blocks for the queries.
    int checkUpdateFirmwareInfo(const QString& id, const QString& file);
    // Writes the firmware file to the device (blocks for the whole download;
    // poll getUpdateFirmwareState from another thread). The connection's
    // thread stays stopped afterwards; connect again to use the device.
    bool updateFirmwareFile(const QString& id, const QString& file, int type, uint* error);
    // Progress of the running update: part, the part's state, stage and stage
    // value (0 to 1000). False when no update runs or without a connection.
    // May be called from any thread.
    bool getUpdateFirmwareState(const QString& id, int& part, int& partState, int& stage,
                                int& stageValue);

    // Lists the driver library's USB devices ("DataPipe n", "HidPos n",
    // "HidPosMi n") and the known network devices with an IPv4 address
    // ("ADDRESS_PRODUCT(SERIAL)", in address order) for connectToDevice_Cmd.
    // Returns the number of names.
    int enumDevicesUsbAndNet(QStringList& names);

    // Starts a USB/serial enumeration pass and, with ScanBroadcast, the UDP
    // discovery with its echo every `interval` ms. Forgets the network devices
    // found before, except those with an open TCP data connection (which are
    // reported again). False only when discovery finds no free answer port.
    bool startDeviceScan(EScanType type, int interval);
    // Stops the UDP discovery (with ScanBroadcast). Always true.
    bool stopDeviceScan(EScanType type);
    // As a start without a new interval. Always true.
    bool refreshDeviceScan(EScanType type);
    // Discovery tuning; each does nothing before the object it tunes exists,
    // except setCheckDeviceAliveTime, which is kept for the first broadcast
    // scan. Times: refresh in seconds (>= 1), enumeration delay in ms
    // (1 to 19999), alive time in seconds (> 5).
    void pauseBroadcastDeviceEnum(bool pause);
    void pauseBroadcastDeviceCheckOffLine(bool pause);
    void setRefreshTime(int seconds);
    void setDelayEnumTime(int ms);
    void setCheckDeviceAliveTime(int seconds);

    // Network settings by broadcast, to the device named by "Serial Number"
    // and "MAC Address" in `info`. 0 sent, -1 the send failed, -3 no broadcast
    // scan has been started. The device's answer arrives as a signal.
    int changeDeviceNetwork(const KXDeviceInfoMap& info);
    int changeDeviceAlias(const KXDeviceInfoMap& info);
    int blinkNotify(const KXDeviceInfoMap& info);
    int setDeviceNetworkGroup(QString group);

    // Firmware package inspection. The first form gives a description of the
    // package, one line per field (false for "ifp" archives and unreadable
    // files); the second its model, hardware name and version and the
    // driver's package number (for an "ifp" archive: of the firmware inside,
    // once extracted). isIfp: the suffix is "ifp" in any case.
    // extractIfpFile unpacks and checks an archive into the kit's work folder
    // (blocks while it unpacks).
    bool getPakInfo(const QString& file, QString& info);
    bool getPakInfo(const QString& file, QString& model, QString& hardware, QString& version,
                    uint* driverInfo);
    bool isIfp(const QString& file);
    bool extractIfpFile(const QString& file);

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

private:
    explicit KXDeviceKit(QObject* parent = nullptr);
    ~KXDeviceKit() override;
    friend struct QScopedPointerDeleter<KXDeviceKit>;

    QPointer<KXDeviceKitPrivate> d;
    static QScopedPointer<KXDeviceKit> self;
};

#endif // KXDEVICEKIT_H
