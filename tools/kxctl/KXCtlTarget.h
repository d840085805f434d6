#ifndef KXCTLTARGET_H
#define KXCTLTARGET_H

#include <QString>

class KXDeviceConnector;

// A count in plain decimal digits from 1 to `max`: no sign, no blanks, no
// other base (QString::toUInt would take "+80" and " 80"). False otherwise.
bool kxctlParseCount(const QString& text, quint32 max, quint32& value);

// Where a device command goes: a network device, a serial or USB device
// through the driver library, or the offline device.
struct KXCtlTarget
{
    enum class Kind
    {
        Tcp,     // tcp://HOST:PORT
        Com,     // com:PATH[@BAUD[,FRAMING]]
        Usb,     // usb:PATH
        Offline, // offline:CONFIG,OFFLINE or offline: for the sample device
    };

    static const char* const Forms;

    // Parses a target text; false with a one-line reason in `error`.
    static bool parse(const QString& text, KXCtlTarget& target, QString& error);

    // Opens the connector on the target; false with a one-line reason.
    bool open(KXDeviceConnector& connector, QString& error) const;

    Kind kind = Kind::Tcp;
    QString text;
    QString host;
    quint16 port = 0;
    QString path; // com: and usb:
    quint32 baudRate = 115200;
    quint8 dataBits = 8;
    quint8 stopBits = 0; // the driver's coding: 0 one, 1 one and a half, 2 two
    quint8 parity = 0;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
    QString configFile;  // offline:
    QString offlineFile;
};

#endif // KXCTLTARGET_H
