#include "KXCtlDevice.h"

#include "KXCtlCodec.h"
#include "KXCtlExchange.h"
#include "KXCtlSampleDevice.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QTimer>

#include <algorithm>
#include <limits>

const char* const KXCtlDevice::Forms = "tcp://HOST:PORT, com:PATH[@BAUD[,8N1]], usb:PATH, "
                                       "offline:[CONFIG,OFFLINE] or a device id with --scan";

namespace {

// What the driver numbers its extra serial ports from, and the longest path
// a USB record holds.
constexpr quint16 kExtraPortBase = 1001;
constexpr int kUsbNameMax = 253;
// After the USB/serial pass has ended, how long network discovery may take
// to report the device asked for.
constexpr int kBroadcastWaitMs = 10000;
constexpr int kBroadcastIntervalMs = 3000;

// The driver's environment lists are colon-separated, so a path with a
// colon cannot be handed over.
bool checkDevicePath(const QString& path, QString& error)
{
    if (path.isEmpty()) {
        error = QStringLiteral("expected a device path");
        return false;
    }
    if (path.contains(QLatin1Char(':'))) {
        error = QStringLiteral("a device path must not contain ':'");
        return false;
    }
    return true;
}

// Appends `path` to the colon-separated list in `name` unless it is there;
// its place in the list (0 first).
int appendToEnvironmentList(const char* name, const QString& path)
{
    QStringList paths =
        QFile::decodeName(qgetenv(name)).split(QLatin1Char(':'), Qt::SkipEmptyParts);
    int at = paths.indexOf(path);
    if (at < 0) {
        paths.append(path);
        at = paths.size() - 1;
        qputenv(name, QFile::encodeName(paths.join(QLatin1Char(':'))));
    }
    return at;
}

QString driverProblem()
{
    if (KXDeviceKit::Instance()->getDataStreamVersion() == 0)
        return QStringLiteral("libKXDataStream.so not found; put its folder on LD_LIBRARY_PATH");
    return QStringLiteral("the driver library could not open it");
}

QStringList dataPipeNames()
{
    QStringList names;
    KXDeviceKit::Instance()->enumDevicesUsbAndNet(names);
    return names.filter(QRegularExpression(QStringLiteral("^DataPipe \\d+$")));
}

// The listing name of a USB device the driver finds by itself: it lists the
// CDC-ACM nodes first, ordered ttyACM2 before ttyACM10 (README "Driver
// library"). Empty when `path` is no such node or the listing disagrees.
QString nativeDataPipeName(const QString& path, const QStringList& listed)
{
    const QFileInfo node(path);
    QStringList nodes = QDir(node.absolutePath())
                            .entryList({QStringLiteral("ttyACM*")}, QDir::System | QDir::Files);
    std::sort(nodes.begin(), nodes.end(), [](const QString& a, const QString& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    const int at = nodes.indexOf(node.fileName());
    const QString name = QStringLiteral("DataPipe %1").arg(at);
    return at >= 0 && listed.contains(name) ? name : QString();
}

bool parseTcp(const QString& rest, QString& host, quint16& port, QString& error)
{
    const int colon = rest.lastIndexOf(QLatin1Char(':'));
    quint32 number = 0;
    if (colon <= 0 || !kxctlParseCount(rest.mid(colon + 1), 65535, number)) {
        error = QStringLiteral("expected tcp://HOST:PORT with a port from 1 to 65535");
        return false;
    }
    host = rest.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    port = quint16(number);
    return true;
}

} // namespace

quint16 kxctlSerialPortNumber(const QString& path)
{
    static const QRegularExpression known(
        QRegularExpression::anchoredPattern(QStringLiteral("/dev/tty(S|USB|ACM)(\\d{1,2})")));
    const QRegularExpressionMatch match = known.match(path);
    if (match.hasMatch()) {
        const int base = match.captured(1) == QLatin1String("S")     ? 1
                         : match.captured(1) == QLatin1String("USB") ? 101
                                                                     : 201;
        return quint16(base + match.captured(2).toInt());
    }
    const int at = appendToEnvironmentList("KXDS_EXTRA_PORTS", path);
    return at + kExtraPortBase > std::numeric_limits<quint16>::max() ? 0
                                                                     : quint16(kExtraPortBase + at);
}

bool KXCtlDevice::parse(QStringList& args, KXCtlDevice& device, QString& error)
{
    device = KXCtlDevice();
    const bool scan = args.removeAll(QStringLiteral("--scan")) > 0;
    device.m_broadcast = args.removeAll(QStringLiteral("--broadcast")) > 0;
    int at = 0;
    while (at < args.size() && args.at(at).startsWith(QLatin1String("--")))
        ++at;
    if (at == args.size()) {
        error = QStringLiteral("expected a device (%1)").arg(QLatin1String(Forms));
        return false;
    }
    const QString text = args.takeAt(at);
    device.m_text = text;
    device.m_id = text;
    bool ok = true;
    QString reason;
    if (scan) {
        device.m_kind = Kind::Scanned;
    } else if (text.startsWith(QLatin1String("tcp://"))) {
        device.m_kind = Kind::Tcp;
        ok = parseTcp(text.mid(6), device.m_host, device.m_tcpPort, reason);
    } else if (text.startsWith(QLatin1String("com:"))) {
        device.m_kind = Kind::Com;
        const QString rest = text.mid(4);
        const int atSign = rest.lastIndexOf(QLatin1Char('@'));
        device.m_path = atSign < 0 ? rest : rest.left(atSign);
        ok = checkDevicePath(device.m_path, reason);
        const QStringList settings =
            atSign < 0 ? QStringList() : rest.mid(atSign + 1).split(QLatin1Char(','));
        if (ok && !settings.isEmpty() &&
            (!kxctlParseCount(settings.at(0), std::numeric_limits<quint32>::max(),
                              device.m_baudRate) ||
             settings.size() > 2)) {
            reason = QStringLiteral("expected com:PATH@BAUD[,FRAMING] with a baud rate above 0 "
                                    "in decimal digits");
            ok = false;
        }
        if (ok && settings.size() == 2) {
            // Anchored whole: '$' alone would let a trailing line feed through.
            static const QRegularExpression framing(
                QRegularExpression::anchoredPattern(QStringLiteral("([5-8])([NOEMS])(1|1\\.5|2)")),
                QRegularExpression::CaseInsensitiveOption);
            const QRegularExpressionMatch match = framing.match(settings.at(1));
            if (match.hasMatch()) {
                device.m_dataBits = quint8(match.captured(1).toUInt());
                device.m_parity =
                    quint8(QStringLiteral("NOEMS").indexOf(match.captured(2).toUpper()));
                const QString stop = match.captured(3);
                device.m_stopBits = stop == QLatin1String("1")   ? 0
                                    : stop == QLatin1String("2") ? 2
                                                                 : 1;
            } else {
                reason = QStringLiteral("framing %1: expected data bits 5-8, parity N, O, E, M "
                                        "or S and stop bits 1, 1.5 or 2, such as 8N1")
                             .arg(printableBytes(settings.at(1).toUtf8()));
                ok = false;
            }
        }
    } else if (text.startsWith(QLatin1String("usb:"))) {
        device.m_kind = Kind::Usb;
        device.m_path = text.mid(4);
        ok = checkDevicePath(device.m_path, reason);
        if (ok && device.m_path.size() > kUsbNameMax) {
            reason = QStringLiteral("the path is too long for a USB record");
            ok = false;
        }
    } else if (text.startsWith(QLatin1String("offline:"))) {
        device.m_kind = Kind::Offline;
        const QString rest = text.mid(8);
        const int comma = rest.indexOf(QLatin1Char(','));
        if (rest.isEmpty()) {
            ok = kxctlFindSampleDevice(device.m_configFile, device.m_offlineFile);
            if (!ok)
                reason = QStringLiteral("no sample device found in %1; give offline:CONFIG,OFFLINE")
                             .arg(kxctlSampleDeviceFolders().join(QLatin1String(", ")));
        } else if (comma <= 0 || comma == rest.size() - 1) {
            reason = QStringLiteral("expected offline:CONFIG,OFFLINE or offline:");
            ok = false;
        } else {
            device.m_configFile = QFileInfo(rest.left(comma)).absoluteFilePath();
            device.m_offlineFile = QFileInfo(rest.mid(comma + 1)).absoluteFilePath();
        }
    } else {
        reason = QStringLiteral("expected %1").arg(QLatin1String(Forms));
        ok = false;
    }
    // Shown escaped: a line end in the text must not break the one-line error.
    if (!ok)
        error = QStringLiteral("bad device '%1': %2").arg(printableBytes(text.toUtf8()), reason);
    return ok;
}

bool KXCtlDevice::open(EDevicePortType port, QString& error)
{
    KXDeviceKit* kit = KXDeviceKit::Instance();
    m_port = port;
    bool opened = false;
    switch (m_kind) {
    case Kind::Tcp:
        opened = openTcp(port, error);
        break;
    case Kind::Scanned:
        opened = openScanned(port, error);
        break;
    case Kind::Com:
    case Kind::Usb:
        if (port == DevicePortLog) {
            error = QStringLiteral("%1 has no log connection; the log comes over TCP").arg(m_text);
            return false;
        }
        if (m_kind == Kind::Usb) {
            opened = openUsb(error);
            break;
        }
        if (const quint16 number = kxctlSerialPortNumber(m_path))
            opened =
                kit->connectToDevice(m_id, number, m_baudRate, m_dataBits, m_stopBits, m_parity);
        if (!opened)
            error = QStringLiteral("cannot open %1 (%2)").arg(m_text, driverProblem());
        break;
    case Kind::Offline:
        if (port == DevicePortLog) {
            error = QStringLiteral("the offline device has no log");
            return false;
        }
        opened = kit->connectToOffLineDevice(m_id, m_configFile, m_offlineFile);
        if (!opened)
            error = QStringLiteral("cannot load the offline device %1 and %2")
                        .arg(m_configFile, m_offlineFile);
        break;
    }
    m_open = opened;
    return opened;
}

void KXCtlDevice::close()
{
    if (m_open)
        KXDeviceKit::Instance()->disconnectFromDeviceEx(m_id, m_port);
    m_open = false;
}

bool KXCtlDevice::addDevice(QString& error)
{
    KXDeviceKit* kit = KXDeviceKit::Instance();
    QObject receiver;
    // Emitted from within addDevice, on this thread.
    QObject::connect(kit, &KXDeviceKit::deviceUpdated, &receiver,
                     [this](const QString& id, const KXDeviceInfoMap& info) {
                         m_id = id;
                         m_info = info;
                     });
    const int result = kit->addDevice(m_host, QString::number(m_tcpPort));
    if (result == 0 && !m_info.isEmpty())
        return true;
    error = QStringLiteral("cannot connect to %1:%2, or it did not answer the information query")
                .arg(m_host)
                .arg(m_tcpPort);
    return false;
}

bool KXCtlDevice::openTcp(EDevicePortType port, QString& error)
{
    if (!addDevice(error))
        return false;
    // The information query over TCP does not tell the log port; the kit's
    // default connection then takes the usual one.
    const EConnectType type = port == DevicePortLog ? ConnectDefault : ConnectNetwork;
    if (KXDeviceKit::Instance()->connectToDevice(m_id, type, false, port))
        return true;
    error = QStringLiteral("cannot connect to the %1 port of %2")
                .arg(port == DevicePortLog ? QLatin1String("log") : QLatin1String("data"), m_text);
    return false;
}

bool KXCtlDevice::openUsb(QString& error)
{
    // The driver lists its extra USB devices after the others: the name that
    // the path adds is its entry.
    const QStringList before = dataPipeNames();
    appendToEnvironmentList("KXDS_EXTRA_USB", m_path);
    QStringList added = dataPipeNames();
    for (const QString& name : before)
        added.removeAll(name);
    // Nothing new: the driver lists the node by itself.
    if (added.isEmpty() && !nativeDataPipeName(m_path, before).isEmpty())
        added.append(nativeDataPipeName(m_path, before));
    if (added.size() == 1 && KXDeviceKit::Instance()->connectToDevice_Cmd(m_id, added.first()))
        return true;
    error = QStringLiteral("cannot open %1 (%2)")
                .arg(m_text, added.isEmpty() ? driverProblem()
                                             : QStringLiteral("the driver library could not "
                                                              "open it"));
    if (added.isEmpty() && KXDeviceKit::Instance()->getDataStreamVersion() != 0)
        error = QStringLiteral("cannot open %1 (no such USB device)").arg(m_text);
    return false;
}

bool KXCtlDevice::openScanned(EDevicePortType port, QString& error)
{
    KXDeviceKit* kit = KXDeviceKit::Instance();
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(kit, &KXDeviceKit::deviceUpdated, &loop,
                     [&](const QString& id, const KXDeviceInfoMap& info) {
                         if (id != m_id)
                             return;
                         m_info = info;
                         loop.quit();
                     });
    QObject::connect(kit, &KXDeviceKit::serialPortDeviceEnumEnd, &loop, [&] {
        if (m_broadcast && !limit.isActive())
            limit.start(kBroadcastWaitMs);
        else if (!m_broadcast)
            loop.quit();
    });
    if (!kit->startDeviceScan(m_broadcast ? ScanBroadcast : EScanType(0), kBroadcastIntervalMs)) {
        error = QStringLiteral("the scan could not start");
        return false;
    }
    loop.exec();
    if (m_broadcast)
        kit->stopDeviceScan(ScanBroadcast);
    if (m_info.isEmpty()) {
        error = QStringLiteral("no device %1 found by the scan").arg(m_id);
        return false;
    }
    if (kit->connectToDevice(m_id, ConnectDefault, false, port))
        return true;
    error = QStringLiteral("cannot connect to %1").arg(m_id);
    return false;
}
