#include "discovery/KXSerialPortDeviceEnum.h"

#include "connector/KXDeviceConnector.h"
#include "discovery/KXDeviceInfo.h"
#include "discovery/KXDiscoveryLog.h"
#include "discovery/KXUsbPortPaths.h"
#include "transport/KXDriverLibrary.h"

#include <QScopeGuard>
#include <QtEndian>

#include <vector>

namespace {

constexpr int kMaxRecords = 256;
constexpr int kMaxDelayMs = 19999;
constexpr int kDelayStepMs = 100;
// Usage words handed to the driver's USB listing, as the driver interface
// fixes them.
constexpr int kUsbEnumArgs[] = {14, 14, 14, 0, 0, 14};
constexpr int kUsbOpenMode = 3;
constexpr int kDetectTimeout = 100;

// COM record fields the pass reads or changes.
constexpr int kComKind = 2;
constexpr int kComBaudRate = 4;
constexpr int kComDataBits = 8;
constexpr int kComParity = 10;

// Framings tried, in order, after a probe with the detected one failed on a
// port whose framing the driver could not tell: (data bits or 0 to keep,
// parity).
constexpr quint8 kRetryFramings[][2] = {{0, 1}, {0, 2}, {7, 1}, {7, 2}};

QString threadId()
{
    return QString::number(quintptr(QThread::currentThreadId()));
}

quint8 detectionKind(const QByteArray& record)
{
    return quint8(record.at(kComKind));
}

// Kinds 0 and 8: the driver could not tell the port's framing.
bool framingUnknown(const QByteArray& record)
{
    return detectionKind(record) == KXDS_DETECT_UNKNOWN ||
           detectionKind(record) == KXDS_DETECT_USB_SERIAL;
}

const quint8* bytes(const QByteArray& data)
{
    return reinterpret_cast<const quint8*>(data.constData());
}

} // namespace

KXSerialPortDeviceEnum::KXSerialPortDeviceEnum(QObject* parent) : QThread(parent)
{
    // The result crosses to the kit's thread through a queued connection.
    qRegisterMetaType<DSEnumDeviceSetting*>("DSEnumDeviceSetting*");
}

KXSerialPortDeviceEnum::~KXSerialPortDeviceEnum()
{
    stopEnum();
    wait();
}

void KXSerialPortDeviceEnum::stopEnum()
{
    // From start() on the thread counts as running, so a stop given before
    // the pass has begun is kept; while none runs it is ignored, so that it
    // cannot cancel a later pass.
    if (isRunning())
        m_stop = true;
}

bool KXSerialPortDeviceEnum::waitStartDelay()
{
    const int delay = m_delayMs;
    if (delay < 1 || delay > kMaxDelayMs)
        return true;
    for (int step = 0; step < delay / kDelayStepMs; ++step) {
        if (stopRequested())
            return false;
        QThread::msleep(kDelayStepMs);
    }
    // A stop during the last step ends the pass too: no pass was begun.
    return !stopRequested();
}

void KXSerialPortDeviceEnum::run()
{
    // Cleared when a pass ends rather than when it begins: clearing it here
    // would lose a stop given between start() and this line.
    const auto clearStop = qScopeGuard([this] { m_stop = false; });
    qCDebug(lcDiscovery).noquote()
        << "KXSerialPortDeviceEnum::run()...start... [Thread]:" << threadId();
    if (!waitStartDelay())
        return;
    auto* result = new DSEnumDeviceSetting;
    enumUsbDevices(*result);
    enumSerialDevices(*result);
    qCDebug(lcDiscovery).noquote()
        << "KXSerialPortDeviceEnum::run()...end... [Thread]:" << threadId();
    // Not touched again: the receiver owns it.
    emit deviceEnumEnd(result);
}

void KXSerialPortDeviceEnum::enumUsbDevices(DSEnumDeviceSetting& result)
{
    const auto enumUsb = KXDriver::resolveShared<KXDriver::EnumUsbFn>("kxds_enum_usb_device_ex");
    if (!enumUsb)
        return;
    std::vector<quint8> records(size_t(kMaxRecords) * KXDS_USB_RECORD_SIZE, 0);
    const int count =
        qBound(0,
               enumUsb(records.data(), kMaxRecords, kUsbEnumArgs[0], kUsbEnumArgs[1],
                       kUsbEnumArgs[2], kUsbEnumArgs[3], kUsbEnumArgs[4], kUsbEnumArgs[5]),
               kMaxRecords);
    for (int i = 0; i < count && !stopRequested(); ++i) {
        const quint8* record = records.data() + size_t(i) * KXDS_USB_RECORD_SIZE;
        // Made, used and destroyed on this thread.
        KXDeviceConnector connector;
        KXDeviceInfoMap info;
        if (!connector.openDevice(record, kUsbOpenMode, nullptr) ||
            !KXQueryDeviceInfo(&connector, info))
            continue;
        info.insert(KXInfoKey::DeviceType, KXInfoKey::UsbDevice);
        auto* setting = new DSDeviceSetting;
        setting->driverRecord =
            QByteArray(reinterpret_cast<const char*>(record), KXDS_USB_RECORD_SIZE);
        setting->info = info;
        setting->path = kxDriverRecordName(record, KXDS_USB_RECORD_SIZE);
        result.insert(makeDeviceId(info), setting);
    }
}

void KXSerialPortDeviceEnum::enumSerialDevices(DSEnumDeviceSetting& result)
{
    m_portPaths = kxUsbPortPaths();
    const auto enumSerial =
        KXDriver::resolveShared<KXDriver::EnumSerialFn>("kxds_enum_serial_ports");
    const auto detect =
        KXDriver::resolveShared<KXDriver::DetectSerialFn>("kxds_detect_serial_settings");
    if (!enumSerial || !detect)
        return;
    std::vector<quint8> records(size_t(kMaxRecords) * KXDS_COM_RECORD_SIZE, 0);
    const int ports = qBound(0, enumSerial(records.data(), kMaxRecords), kMaxRecords);
    if (ports == 0)
        return;
    const int count = qBound(0, detect(records.data(), ports, kDetectTimeout), ports);
    for (int i = 0; i < count && !stopRequested(); ++i) {
        QByteArray record(reinterpret_cast<const char*>(records.data()) +
                              size_t(i) * KXDS_COM_RECORD_SIZE,
                          KXDS_COM_RECORD_SIZE);
        if (qFromLittleEndian<quint32>(record.constData() + kComBaudRate) == 0)
            continue; // busy, gone or the console: not to be opened
        if (probeSerialPort(record, result) || !framingUnknown(record))
            continue;
        // Each retry is a probe of its own, and may take long: a stop ends
        // the retries too.
        for (const auto& framing : kRetryFramings) {
            if (stopRequested())
                break;
            if (framing[0] != 0)
                record[kComDataBits] = char(framing[0]);
            record[kComParity] = char(framing[1]);
            if (probeSerialPort(record, result))
                break;
        }
    }
}

bool KXSerialPortDeviceEnum::probeSerialPort(const QByteArray& record, DSEnumDeviceSetting& result)
{
    // Made, used and destroyed on this thread.
    KXDeviceConnector connector;
    KXDeviceInfoMap info;
    if (!connector.openDevice(bytes(record), nullptr) || !KXQueryDeviceInfo(&connector, info))
        return false;
    const QString port = QString::number(qFromLittleEndian<quint16>(record.constData()));
    info.insert(KXInfoKey::DeviceType, KXInfoKey::SerialPortDevice);
    info.insert(KXInfoKey::Com, port);
    info.insert(KXInfoKey::ComType,
                framingUnknown(record) ? QStringLiteral("0") : QStringLiteral("1"));
    auto* setting = new DSDeviceSetting;
    setting->serialSettings = record;
    setting->info = info;
    setting->path = m_portPaths.value(port);
    result.insert(makeDeviceId(info), setting);
    return true;
}
