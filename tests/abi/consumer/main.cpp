// A host program that uses only the installed public headers and library:
// the codec, then the kit's facade against an offline device. Arguments: the
// device configuration and offline description files (empty without them).
#include <KXDataStream.h>
#include <KXDeviceKit.h>

#include <QCoreApplication>

#include <cstdio>

namespace {

bool fail(const char* what)
{
    std::printf("consumer: %s\n", what);
    return false;
}

bool useCodec()
{
    KXDataStreamMaker maker(DataProtocol7E01);
    maker.addCmd(QStringLiteral("DFMQCU"), QByteArray());
    const KXDataStreamParser parser(maker.toByteArray(true), DataTypeCommand);
    KXDeviceInfoMap info;
    info.insert(QStringLiteral("key"), QStringLiteral("value"));
    return (parser.isValid() && parser.getAllCmds() == QStringList{QStringLiteral("DFMQCU")} &&
            info.size() == 1 && DevicePortLog == 1) ||
           fail("unexpected codec result");
}

bool useKit(const QString& configFile, const QString& offlineFile)
{
    KXDeviceKit* kit = KXDeviceKit::Instance();
    if (kit->getKitVersion() != 1)
        return fail("unexpected kit version");
    const QString id = QStringLiteral("consumer");
    bool opened = false;
    QObject::connect(kit, &KXDeviceKit::deviceConnectChanged,
                     [&](const QString& device, bool connected) {
                         opened = opened || (device == id && connected);
                     });
    if (!kit->connectToOffLineDevice(id, configFile, offlineFile))
        return fail("the offline device did not open");
    QByteArray reply;
    const int result =
        kit->sendBinaryMessage(id, KXMakeDataStreamCmd("@QRYSYS"), reply, 3000, DevicePortData);
    QByteArray value;
    const bool answered = result == 0 && KXGetDataStreamResult(reply, QStringLiteral("QRYSYS"),
                                                               value) == DataResultAck;
    kit->disconnectFromDeviceEx(id, DevicePortData);
    if (!opened)
        return fail("no deviceConnectChanged for the opening");
    return answered || fail("QRYSYS was not answered");
}

} // namespace

int main(int argc, char* argv[])
{
    // The synchronous send waits in an event loop.
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (!useCodec() || !useKit(args.value(1), args.value(2)))
        return 1;
    std::puts("consumer: ok");
    return 0;
}
