// A host program that uses only the installed public headers and library.
#include <KXDataStream.h>
#include <KXDeviceKit.h>

#include <cstdio>

int main()
{
    KXDataStreamMaker maker(DataProtocol7E01);
    maker.addCmd(QStringLiteral("DFMQCU"), QByteArray());
    const KXDataStreamParser parser(maker.toByteArray(true), DataTypeCommand);
    KXDeviceInfoMap info;
    info.insert(QStringLiteral("key"), QStringLiteral("value"));
    if (!parser.isValid() || parser.getAllCmds() != QStringList{QStringLiteral("DFMQCU")} ||
        info.size() != 1 || DevicePortLog != 1) {
        std::puts("consumer: unexpected result");
        return 1;
    }
    std::puts("consumer: ok");
    return 0;
}
