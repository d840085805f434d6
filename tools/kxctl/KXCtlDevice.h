#ifndef KXCTLDEVICE_H
#define KXCTLDEVICE_H

#include <KXDeviceKit.h>

#include <QString>
#include <QStringList>

// A device as the commands take it: a target (tcp://HOST:PORT,
// com:PATH[@BAUD[,8N1]], usb:PATH, offline:[CONFIG,OFFLINE]) or a device id
// from a scan (with --scan to find it first). open() connects it through the
// kit and registers it under id(); close() disconnects.
class KXCtlDevice
{
public:
    enum class Kind
    {
        Tcp,     // tcp://HOST:PORT: added by address, then connected over TCP
        Com,     // com:PATH[@BAUD[,FRAMING]]: a serial port by its driver number
        Usb,     // usb:PATH: a USB data-pipe device by its listing name
        Offline, // offline:[CONFIG,OFFLINE]
        Scanned, // a device id that a scan reports
    };

    // The forms of a DEVICE argument, for usage errors.
    static const char* const Forms;

    // Takes --scan and --broadcast out of `args`, then the device: the first
    // argument left that does not start with "--" (options with a value go
    // after the device). False with a one-line reason.
    static bool parse(QStringList& args, KXCtlDevice& device, QString& error);

    // Connects the data or the log connection (blocks). For a tcp:// target
    // the log connection goes to the device's "Log Port" (36525 when the
    // device does not tell). False with a one-line reason.
    bool open(EDevicePortType port, QString& error);
    void close();

    QString id() const { return m_id; }
    QString text() const { return m_text; }
    Kind kind() const { return m_kind; }
    KXDeviceInfoMap info() const { return m_info; } // what the scan or add found
    EDevicePortType port() const { return m_port; }

private:
    bool openTcp(EDevicePortType port, QString& error);
    bool openScanned(EDevicePortType port, QString& error);
    bool openUsb(QString& error);
    bool addDevice(QString& error);

    Kind m_kind = Kind::Tcp;
    QString m_text;
    QString m_id;
    KXDeviceInfoMap m_info;
    EDevicePortType m_port = DevicePortData;
    bool m_open = false;
    bool m_broadcast = false;
    QString m_host;
    quint16 m_tcpPort = 0;
    QString m_path; // com: and usb:
    quint32 m_baudRate = 115200;
    quint8 m_dataBits = 8;
    quint8 m_stopBits = 0; // the driver's coding: 0 one, 1 one and a half, 2 two
    quint8 m_parity = 0;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
    QString m_configFile;  // offline:
    QString m_offlineFile;
};

// The driver's number of a serial port path: /dev/ttyS<n> n+1, /dev/ttyUSB<n>
// 101+n, /dev/ttyACM<n> 201+n; any other path is appended to
// KXDS_EXTRA_PORTS in this process's environment (unless it is there) and
// numbered from 1001 by its place in that list. 0 when it cannot be numbered.
quint16 kxctlSerialPortNumber(const QString& path);

#endif // KXCTLDEVICE_H
