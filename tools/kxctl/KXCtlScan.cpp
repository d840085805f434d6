#include "KXCtlScan.h"
#include "KXCtlCommands.h"
#include "KXCtlExchange.h"
#include "KXCtlReport.h"
#include "KXCtlStopSignals.h"

#include <KXDeviceKit.h>

#include <QEventLoop>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include <cstdio>

namespace {

constexpr quint32 kDefaultScanSeconds = 10;
constexpr quint32 kDefaultListSeconds = 3;
// Devices answer each echo; every 3 s keeps offline detection timely without
// flooding the network.
constexpr int kEchoIntervalMs = 3000;
constexpr const char* kDefaultTcpPort = "36520";
// Fixed widths of the table's columns; a longer value pushes the rest right.
constexpr int kColumnWidths[] = {8, 20, 18, 12, 16, 10, 15};

QString value(const KXDeviceInfoMap& info, const char* key)
{
    return info.value(QLatin1String(key));
}

// What a device is, in the words of its information: the enumeration names
// USB and serial devices; discovery tells a base station by its base keys.
QString kindOf(const KXDeviceInfoMap& info)
{
    const QString type = value(info, "Device Type");
    if (!type.isEmpty())
        return type;
    return info.contains(QStringLiteral("Base MAC Address")) ? QStringLiteral("Base Station")
                                                             : QStringLiteral("Network Scanner");
}

// Where it is reached: TCP port for a network device, COM port otherwise.
QString portOf(const KXDeviceInfoMap& info)
{
    if (!value(info, "COM").isEmpty())
        return QStringLiteral("COM") + value(info, "COM");
    return value(info, "Tcp Port Number");
}

QJsonObject infoObject(const KXDeviceInfoMap& info)
{
    QJsonObject object;
    for (auto it = info.cbegin(); it != info.cend(); ++it)
        object.insert(it.key(), it.value());
    return object;
}

QByteArray jsonLine(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

QByteArray eventJson(const QString& event, const QString& id, const KXDeviceInfoMap& info)
{
    QJsonObject object{
        {QStringLiteral("event"), event}, {QStringLiteral("error"), 0}, {QStringLiteral("id"), id}};
    if (event != QLatin1String("offline")) {
        object.insert(QStringLiteral("kind"), kindOf(info));
        object.insert(QStringLiteral("product"), value(info, "Product Name"));
        object.insert(QStringLiteral("serial"), value(info, "Serial Number"));
        object.insert(QStringLiteral("firmware"), value(info, "Firmware Version"));
        object.insert(QStringLiteral("address"), value(info, "Ip Address"));
        object.insert(QStringLiteral("port"), portOf(info));
        object.insert(QStringLiteral("info"), infoObject(info));
    }
    return jsonLine(object);
}

QByteArray tableRow(const QStringList& cells)
{
    QString row;
    for (int i = 0; i < cells.size(); ++i) {
        const int width = i < int(std::size(kColumnWidths)) ? kColumnWidths[i] : 0;
        row += cells.at(i).leftJustified(width) + QLatin1Char(' ');
    }
    return row.trimmed().toLocal8Bit() + '\n';
}

QByteArray eventRow(const QString& event, const QString& id, const KXDeviceInfoMap& info)
{
    return tableRow({event, id, kindOf(info), value(info, "Product Name"),
                     value(info, "Serial Number"), value(info, "Firmware Version"),
                     value(info, "Ip Address"), portOf(info)});
}

// Takes a flag out of `args`.
bool takeFlag(QStringList& args, const char* name)
{
    return args.removeAll(QLatin1String(name)) > 0;
}

QString usageError(const char* command, const QString& reason)
{
    return QStringLiteral("kxctl %1: %2").arg(QLatin1String(command), reason);
}

} // namespace

bool kxctlTakeSeconds(QStringList& args, quint32& seconds, QString& error)
{
    const int at = args.indexOf(QStringLiteral("--seconds"));
    if (at < 0)
        return true;
    quint32 number = 0;
    if (at + 1 >= args.size() || !kxctlParseCount(args.at(at + 1), kKXCtlMaxSeconds, number)) {
        error = QStringLiteral("--seconds takes 1 to %1").arg(kKXCtlMaxSeconds);
        return false;
    }
    seconds = number;
    args.erase(args.begin() + at, args.begin() + at + 2);
    return true;
}

void kxctlWarnBroadcast(const char* command)
{
    std::fprintf(stderr,
                 "kxctl %s: broadcasting the discovery request from every network interface\n",
                 command);
}

int kxctlFindNetworkDevice(const QString& device, quint32 seconds, QString& id,
                           KXDeviceInfoMap& info, QString& error)
{
    KXDeviceKit* kit = KXDeviceKit::Instance();
    QEventLoop loop;
    if (!KXCtlStopSignals::install(
            &loop, [&loop] { loop.exit(KXCtlExitOk); }, error))
        return KXCtlExitFailed;
    bool found = false;
    QObject::connect(kit, &KXDeviceKit::deviceUpdated, &loop,
                     [&](const QString& deviceId, const KXDeviceInfoMap& deviceInfo) {
                         if (found || (deviceId.compare(device, Qt::CaseInsensitive) != 0 &&
                                       value(deviceInfo, "Serial Number") != device))
                             return;
                         found = true;
                         id = deviceId;
                         info = deviceInfo;
                         loop.quit();
                     });
    if (!kit->startDeviceScan(ScanBroadcast, kEchoIntervalMs)) {
        error = QStringLiteral("discovery found no free answer port");
        return KXCtlExitNoLink;
    }
    QTimer::singleShot(int(seconds) * 1000, &loop, &QEventLoop::quit);
    if (!found && !KXCtlStopSignals::requested())
        loop.exec();
    if (found)
        return KXCtlExitOk;
    kit->stopDeviceScan(ScanBroadcast);
    if (KXCtlStopSignals::requested()) {
        error = QStringLiteral("stopped before %1 was found").arg(device);
        return KXCtlExitOk;
    }
    error =
        QStringLiteral("no device %1 answered the broadcast scan in %2 s").arg(device).arg(seconds);
    return KXCtlExitNoLink;
}

int runScan(QStringList args, QString& err)
{
    const bool json = takeFlag(args, "--json");
    const bool broadcast = takeFlag(args, "--broadcast");
    quint32 seconds = 0;
    QString error;
    if (kxctlTakeSeconds(args, seconds, error) && !args.isEmpty())
        error = QStringLiteral("unexpected argument %1").arg(args.first());
    if (!error.isEmpty()) {
        err = usageError("scan", error);
        return KXCtlExitUsage;
    }
    if (broadcast && seconds == 0)
        seconds = kDefaultScanSeconds;

    KXDeviceKit* kit = KXDeviceKit::Instance();
    // The last JSON line: how the scan ended and how many devices it showed.
    const auto printEnd = [json](int error, const QString& message, int devices) {
        if (json)
            kxctlPrint(jsonLine({{QStringLiteral("event"), QStringLiteral("end")},
                                 {QStringLiteral("error"), error},
                                 {QStringLiteral("message"), message},
                                 {QStringLiteral("devices"), devices}}));
    };
    // Without the driver library the pass finds nothing and says nothing.
    const bool driver = kit->getDataStreamVersion() != 0;
    if (!driver && !broadcast) {
        err = QStringLiteral("kxctl scan: the driver library (libKXDataStream.so) was not found");
        printEnd(-3, err, 0);
        return KXCtlExitNoLink;
    }
    if (!driver)
        std::fputs("kxctl scan: no driver library, USB and serial devices are not listed\n",
                   stderr);

    QEventLoop loop;
    if (!KXCtlStopSignals::install(
            &loop, [&loop] { loop.exit(KXCtlExitOk); }, error)) {
        err = usageError("scan", error);
        return KXCtlExitFailed;
    }
    // Devices answer every echo; only what is new or changed is printed.
    QHash<QString, KXDeviceInfoMap> shown;
    const auto print = [json](const QString& event, const QString& id,
                              const KXDeviceInfoMap& info) {
        kxctlPrint(json ? eventJson(event, id, info) : eventRow(event, id, info));
    };
    QObject::connect(kit, &KXDeviceKit::deviceUpdated, &loop,
                     [&](const QString& id, const KXDeviceInfoMap& info) {
                         const auto known = shown.constFind(id);
                         if (known != shown.constEnd() && known.value() == info)
                             return;
                         print(known == shown.constEnd() ? QStringLiteral("new")
                                                         : QStringLiteral("updated"),
                               id, info);
                         shown.insert(id, info);
                     });
    QObject::connect(kit, &KXDeviceKit::deviceOffLine, &loop, [&](const QString& id) {
        print(QStringLiteral("offline"), id, shown.take(id));
    });
    // Without broadcast the scan is the one USB/serial pass.
    if (!broadcast)
        QObject::connect(kit, &KXDeviceKit::serialPortDeviceEnumEnd, &loop,
                         [&loop] { loop.exit(KXCtlExitOk); });

    if (broadcast)
        kxctlWarnBroadcast("scan");
    if (!json)
        kxctlPrint(tableRow({QStringLiteral("EVENT"), QStringLiteral("ID"), QStringLiteral("KIND"),
                             QStringLiteral("PRODUCT"), QStringLiteral("SERIAL"),
                             QStringLiteral("FIRMWARE"), QStringLiteral("ADDRESS"),
                             QStringLiteral("PORT")}));
    if (!kit->startDeviceScan(broadcast ? ScanBroadcast : EScanType(0), kEchoIntervalMs)) {
        err = QStringLiteral("kxctl scan: discovery found no free answer port");
        printEnd(-1, err, 0);
        return KXCtlExitNoLink;
    }
    // A pass without broadcast ends by itself; --seconds bounds it.
    bool timedOut = false;
    if (seconds > 0)
        QTimer::singleShot(int(seconds) * 1000, &loop, [&] {
            timedOut = !broadcast;
            loop.exit(KXCtlExitOk);
        });
    if (!KXCtlStopSignals::requested())
        loop.exec();
    kit->stopDeviceScan(ScanBroadcast);

    QString message;
    if (timedOut)
        message = QStringLiteral("kxctl scan: the pass did not end within %1 s").arg(seconds);
    printEnd(timedOut ? -1 : 0, message, shown.size());
    if (!json)
        kxctlPrint(QByteArray::number(shown.size()) + " device(s)\n");
    err = message;
    return timedOut ? KXCtlExitNoReply : KXCtlExitOk;
}

int runList(QStringList args, QString& out, QString& err)
{
    const bool json = takeFlag(args, "--json");
    const bool broadcast = takeFlag(args, "--broadcast");
    quint32 seconds = 0;
    QString error;
    if (kxctlTakeSeconds(args, seconds, error) && !args.isEmpty())
        error = QStringLiteral("unexpected argument %1").arg(args.first());
    if (error.isEmpty() && seconds > 0 && !broadcast)
        error = QStringLiteral("--seconds goes with --broadcast");
    if (!error.isEmpty()) {
        err = usageError("list", error);
        return KXCtlExitUsage;
    }
    KXDeviceKit* kit = KXDeviceKit::Instance();
    if (broadcast) {
        kxctlWarnBroadcast("list");
        if (!kit->startDeviceScan(ScanBroadcast, kEchoIntervalMs)) {
            err = QStringLiteral("kxctl list: discovery found no free answer port");
            return KXCtlExitNoLink;
        }
        QEventLoop loop;
        if (!KXCtlStopSignals::install(
                &loop, [&loop] { loop.quit(); }, error)) {
            err = usageError("list", error);
            return KXCtlExitFailed;
        }
        QTimer::singleShot(int(seconds ? seconds : kDefaultListSeconds) * 1000, &loop,
                           &QEventLoop::quit);
        if (!KXCtlStopSignals::requested())
            loop.exec();
        kit->stopDeviceScan(ScanBroadcast);
    }
    QStringList names;
    kit->enumDevicesUsbAndNet(names);
    if (json)
        out = QString::fromUtf8(
            jsonLine({{QStringLiteral("error"), 0},
                      {QStringLiteral("names"), QJsonArray::fromStringList(names)}}));
    else
        out = names.join(QLatin1Char('\n')) + (names.isEmpty() ? QString() : QStringLiteral("\n"));
    return KXCtlExitOk;
}

int runAdd(QStringList args, QString& out, QString& err)
{
    const bool json = takeFlag(args, "--json");
    QString host;
    QString port = QLatin1String(kDefaultTcpPort);
    QString error;
    if (args.size() != 1) {
        error = args.isEmpty() ? QStringLiteral("expected HOST[:PORT]")
                               : QStringLiteral("unexpected argument %1").arg(args.at(1));
    } else {
        // HOST, HOST:PORT, or [IPV6]:PORT.
        QString text = args.first();
        const int colon = text.lastIndexOf(QLatin1Char(':'));
        if (colon > 0 && (text.count(QLatin1Char(':')) == 1 || text.at(colon - 1) == ']')) {
            port = text.mid(colon + 1);
            text.truncate(colon);
        }
        if (text.startsWith(QLatin1Char('[')) && text.endsWith(QLatin1Char(']')))
            text = text.mid(1, text.size() - 2);
        host = text;
        quint32 number = 0;
        if (QHostAddress(host).isNull())
            error = QStringLiteral("%1 is no IP address").arg(host);
        else if (!kxctlParseCount(port, 65535, number))
            error = QStringLiteral("the port is 1 to 65535");
    }
    if (!error.isEmpty()) {
        err = usageError("add", error);
        if (json)
            out = QString::fromUtf8(jsonLine(
                {{QStringLiteral("error"), QJsonValue()}, {QStringLiteral("message"), err}}));
        return KXCtlExitUsage;
    }

    KXDeviceKit* kit = KXDeviceKit::Instance();
    QString id;
    KXDeviceInfoMap info;
    QObject context;
    QObject::connect(kit, &KXDeviceKit::deviceUpdated, &context,
                     [&](const QString& deviceId, const KXDeviceInfoMap& deviceInfo) {
                         id = deviceId;
                         info = deviceInfo;
                     });
    const int result = kit->addDevice(host, port);
    const QString message =
        result == 0     ? QString()
        : result == -10 ? QStringLiteral("kxctl add: a known device has the address %1").arg(host)
                        : QStringLiteral("kxctl add: %1:%2 did not open or did not answer (-1)")
                              .arg(host, port);
    if (json) {
        out = QString::fromUtf8(jsonLine({{QStringLiteral("error"), result},
                                          {QStringLiteral("message"), message},
                                          {QStringLiteral("id"), id},
                                          {QStringLiteral("info"), infoObject(info)}}));
    } else if (result == 0) {
        out = QStringLiteral("added %1\n").arg(id);
        // A value of several lines continues indented.
        for (auto it = info.cbegin(); it != info.cend(); ++it) {
            QString text = it.value();
            text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
            text.replace(QLatin1Char('\n'), QStringLiteral("\n      "));
            out += QStringLiteral("  %1: %2\n").arg(it.key(), text);
        }
    }
    err = message;
    return result == 0 ? KXCtlExitOk : result == -1 ? KXCtlExitNoLink : KXCtlExitFailed;
}
