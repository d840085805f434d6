#ifndef KXSERIALPORTDEVICEENUM_H
#define KXSERIALPORTDEVICEENUM_H

#include "discovery/KXDeviceSetting.h"

#include <QMap>
#include <QString>
#include <QThread>

#include <atomic>

// Finds the scanners attached by USB and by serial port. Each start() runs
// one pass on the thread: the driver library lists the USB devices and the
// serial ports, each is opened through a temporary connector and asked for
// its information, and every device that answers goes into one result,
// handed over with deviceEnumEnd(). A pass is sequential and may take long:
// up to five requests per device, and a silent serial port is probed with
// up to five framings.
class KXSerialPortDeviceEnum : public QThread
{
    Q_OBJECT

public:
    // Registers DSEnumDeviceSetting* by name for the queued deviceEnumEnd.
    explicit KXSerialPortDeviceEnum(QObject* parent = nullptr);
    // Stops the pass (at its next device or delay step) and waits for it.
    ~KXSerialPortDeviceEnum() override;

    // Asks the running (or just started) pass to stop: during the start
    // delay it ends without a result, later it ends the sub-pass it is in
    // and still reports what it found. Ignored while no pass runs. Any
    // thread; returns at once.
    void stopEnum();

    // Delay before each pass, in ms: 1 to 19999 wait delay / 100 steps of
    // 100 ms (stoppable between steps); other values mean no wait. Any
    // thread; read when a pass starts.
    void setDelayEnumTime(int ms) { m_delayMs = ms; }
    int delayEnumTime() const { return m_delayMs; }

signals:
    // The end of a pass, emitted on the enumeration thread. The receiver owns
    // the result and every setting in it.
    void deviceEnumEnd(DSEnumDeviceSetting* pDeviceSetting);

protected:
    void run() override;

private:
    bool stopRequested() const { return m_stop; }
    // False when stopped during the delay.
    bool waitStartDelay();
    void enumUsbDevices(DSEnumDeviceSetting& result);
    void enumSerialDevices(DSEnumDeviceSetting& result);
    bool probeSerialPort(const QByteArray& record, DSEnumDeviceSetting& result);

    std::atomic<bool> m_stop{false};
    std::atomic<int> m_delayMs{0};
    // Port number in decimal to the path of the USB device behind the port;
    // rebuilt by each serial pass, on the enumeration thread.
    QMap<QString, QString> m_portPaths;
};

#endif // KXSERIALPORTDEVICEENUM_H
