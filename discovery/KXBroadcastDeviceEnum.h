#ifndef KXBROADCASTDEVICEENUM_H
#define KXBROADCASTDEVICEENUM_H

#include "KXDeviceKit.h"
#include "discovery/BroadcastPparseRecvDataThread.h"
#include "discovery/KXBroadcastSender.h"

#include <QByteArray>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>

class QTimer;
class QUdpSocket;
struct KXDiscoveryAnswer;

// UDP discovery of network devices: broadcasts the discovery request from
// every local IPv4 address, at start and then on every echo, receives the
// answers on the answer port, and reports each device with deviceUpdated
// and, once it has not answered for longer than the alive time, with
// deviceOffLine. It also sends the network settings commands and reports
// their results. Lives on the thread that creates it (the kit's); every
// signal is emitted there. Broadcasts leave on every attached network: tests
// run it inside a private network namespace.
class KXBroadcastDeviceEnum : public QObject
{
    Q_OBJECT

public:
    // Seconds since local midnight; answers and offline checks read the time
    // from here. Tests set their own clock.
    using TimeSource = std::function<int()>;

    static constexpr int DefaultAliveTime = 180;
    static constexpr int InitialBufferCapacity = 512;
    static constexpr int MaxBufferCapacity = 4096;
    // Asked of the kernel for the answer socket (it may grant less): room
    // for the answers of a thousand devices to one broadcast.
    static constexpr int ReceiveBufferBytes = 4 * 1024 * 1024;

    explicit KXBroadcastDeviceEnum(QObject* parent = nullptr);
    ~KXBroadcastDeviceEnum() override;

    // The port answers come to: process-wide, first 36511, raised by 2 on
    // every failed bind and never lowered.
    static int answerPort();

    // Binds the answer port (climbing past taken ones up to 36600), opens the
    // sender sockets, broadcasts the request once and then every
    // `intervalMs`. False, with no socket held, when no port could be bound.
    bool startScan(int intervalMs);
    // Stops the echo and closes the answer socket; forgets every device.
    // The sender sockets stay open and queued datagrams stay queued.
    void stopScan();
    // Forgets every device and queued datagram, reopens the sender sockets
    // and broadcasts the request of the last successful start once.
    void refreshScan();
    // Alive time in seconds; values of 5 and less are ignored.
    void setCheckAliveTime(int seconds);
    // Echo interval in seconds from now on; values under 1 are ignored.
    void setRefreshTime(int seconds);
    // Paused: datagrams are dropped as they come and no device goes offline.
    // Either way the liveness records start afresh. Returns `pause`.
    bool pauseEnum(bool pause);
    // Paused: no device goes offline. Returns `pause`.
    bool pauseCheckOffLine(bool pause);

    // The network settings commands: frame `text` (at most 2036 bytes) as a
    // datagram of kind 0x10, 0x40, 0x50 or 0x60 and broadcast it. False when
    // it does not fit or a write fell short.
    bool sendNetworkSettings(const char* text, int len);
    bool sendNetworkGroup(const char* text, int len);
    bool sendBlink(const char* text, int len);
    bool sendAlias(const char* text, int len);

    void setTimeSource(TimeSource source);

signals:
    void deviceUpdated(QString device_id, KXDeviceInfoMap deviceInfo);
    void deviceNetworkChanged(QString device_sn, QString device_mac, int result);
    void deviceAliasChanged(QString device_sn, QString device_mac, int result);
    void deviceNetworkGroup(QString device_sn, QString device_mac, int result);
    void deviceOffLine(QString device_id);

public slots:
    void OnEchoTimeout();
    void OnRecvData();
    // Parses the record and destroys it.
    void slot_parseRecvData(STRU_UDPDATA* pInfo);
    void slot_deviceAlive();

private:
    struct Liveness
    {
        QString deviceId;
        int lastSeen = 0;
    };

    void closeReceiveSocket();
    void clearTables();
    void handleAnswer(KXDiscoveryAnswer& answer);
    // The functions below return the devices that went offline; the caller
    // emits deviceOffLine for them once the table mutex is released, so that
    // a slot may call back into the enumerator.
    QStringList storeDevice(const QString& id, const KXDeviceInfoMap& map);
    // Table mutex held.
    void touchDevice(const QString& id, QStringList& offline);
    void checkOffLine(int now, QStringList& offline);
    void emitOffLine(const QStringList& ids);

    // (last seen, id) -> id: oldest first, ties by id.
    QMap<QPair<int, QString>, QString> m_livenessIndex;
    QMap<QString, Liveness> m_liveness;
    std::atomic<int> m_aliveTime{DefaultAliveTime};
    QUdpSocket* m_receiveSocket = nullptr;
    KXBroadcastSender m_sender;
    QTimer* m_echoTimer = nullptr;
    QByteArray m_recvBuffer; // its size is the capacity
    int m_recvLength = 0;
    QMutex m_tableMutex;
    QMap<QString, KXDeviceInfoMap> m_devices;
    BroadcastPparseRecvDataThread m_parseThread;
    std::atomic<bool> m_enumPaused{false};
    std::atomic<bool> m_recvPaused{false};
    std::atomic<bool> m_checkOffLinePaused{false};
    TimeSource m_now;
};

#endif // KXBROADCASTDEVICEENUM_H
