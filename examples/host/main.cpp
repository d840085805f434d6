// kxhost: a small host of the device kit, built against the installed
// package. It lists the devices a scan finds, connects to one, prints its
// answer to QRYSYS and then the barcodes it reads.
#include <KXDataStream.h>
#include <KXDeviceKit.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

int stopPipe[2] = {-1, -1};

// Ctrl-C and SIGTERM only write a byte; the event loop does the stopping.
void requestStop(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(stopPipe[1], &byte, 1);
}

void print(const QString& text)
{
    std::printf("%s\n", qPrintable(text));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Scans for devices (USB and serial; network devices with --broadcast), connects to one, "
        "queries QRYSYS and prints barcodes until Ctrl-C."));
    parser.addHelpOption();
    const QCommandLineOption idOption(
        QStringLiteral("id"), QStringLiteral("connect to this device"), QStringLiteral("ID"));
    const QCommandLineOption tcpOption(
        QStringLiteral("tcp"), QStringLiteral("add and connect this network device, no scan"),
        QStringLiteral("HOST:PORT"));
    const QCommandLineOption broadcastOption(
        QStringLiteral("broadcast"),
        QStringLiteral("also scan by UDP broadcast on EVERY interface"));
    const QCommandLineOption secondsOption(QStringLiteral("seconds"),
                                           QStringLiteral("stop N s after connecting or scanning"),
                                           QStringLiteral("N"));
    parser.addOptions({idOption, tcpOption, broadcastOption, secondsOption});
    parser.process(app);
    const QStringList tcp = parser.value(tcpOption).split(QLatin1Char(':'));
    if (parser.isSet(tcpOption) && tcp.size() != 2)
        parser.showHelp(2);

    if (::pipe(stopPipe) != 0)
        return 1;
    QSocketNotifier stopNotifier(stopPipe[0], QSocketNotifier::Read);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);

    KXDeviceKit* kit = KXDeviceKit::Instance();
    const EScanType scanType = parser.isSet(broadcastOption) ? ScanBroadcast : EScanType(0);
    const QString wanted = parser.value(idOption);
    QString added, connected;
    bool found = false;
    const auto stopLater = [&] {
        if (parser.isSet(secondsOption))
            QTimer::singleShot(parser.value(secondsOption).toInt() * 1000, &app,
                               &QCoreApplication::quit);
    };
    // Connects, prints the answer to QRYSYS and leaves the barcodes to their
    // signal. Exit code 5: the device could not be reached.
    const auto use = [&](const QString& id, EConnectType how) {
        if (!kit->connectToDevice(id, how, false, DevicePortData)) {
            print(QStringLiteral("cannot connect to %1").arg(id));
            app.exit(5);
            return;
        }
        connected = id;
        QByteArray reply, value;
        const int error =
            kit->sendBinaryMessage(id, KXMakeDataStreamCmd("@QRYSYS"), reply, 5000, DevicePortData);
        if (error == 0 &&
            KXGetDataStreamResult(reply, QStringLiteral("QRYSYS"), value) == DataResultAck)
            print(QStringLiteral("QRYSYS of %1:\n%2").arg(id, QString::fromUtf8(value.trimmed())));
        else
            print(QStringLiteral("QRYSYS of %1: no answer (error %2)").arg(id).arg(error));
        stopLater();
    };

    QObject::connect(kit, &KXDeviceKit::deviceUpdated, &app,
                     [&](const QString& id, const KXDeviceInfoMap& info) {
                         print(QStringLiteral("device %1: %2, serial %3, address %4")
                                   .arg(id, info.value(QStringLiteral("Product Name")),
                                        info.value(QStringLiteral("Serial Number")),
                                        info.value(QStringLiteral("Ip Address"))));
                         added = id; // addDevice tells its id only here
                         // Connect from the event loop, not inside the kit's report.
                         if (id == wanted && !found)
                             QTimer::singleShot(0, &app, [&, id] { use(id, ConnectDefault); });
                         found = found || id == wanted;
                     });
    QObject::connect(kit, &KXDeviceKit::deviceConnectChanged, [](const QString& id, bool open) {
        print(id + (open ? QStringLiteral(" connected") : QStringLiteral(" disconnected")));
    });
    QObject::connect(
        kit, &KXDeviceKit::barcodeReceived, [](const QString& id, const QByteArray& data) {
            print(QStringLiteral("barcode %1: %2").arg(id, QString::fromUtf8(data.trimmed())));
        });
    // Without broadcasts the scan ends with its USB/serial pass.
    QObject::connect(kit, &KXDeviceKit::serialPortDeviceEnumEnd, &app, [&] {
        if (scanType != ScanBroadcast && !found)
            app.exit(wanted.isEmpty() ? 0 : 5);
    });

    QTimer::singleShot(0, &app, [&] {
        if (parser.isSet(tcpOption)) {
            if (kit->addDevice(tcp.at(0), tcp.at(1)) == 0)
                return use(added, ConnectNetwork);
            print(QStringLiteral("cannot add %1").arg(parser.value(tcpOption)));
            return app.exit(5);
        }
        if (scanType == ScanBroadcast)
            std::fputs("kxhost: --broadcast sends UDP broadcasts from every IPv4 interface: "
                       "every device on every attached network hears them\n",
                       stderr);
        kit->startDeviceScan(scanType, 3000);
        stopLater();
    });

    const int code = app.exec();
    if (!connected.isEmpty())
        kit->disconnectFromDeviceEx(connected, DevicePortData);
    if (scanType == ScanBroadcast)
        kit->stopDeviceScan(scanType);
    return code;
}
