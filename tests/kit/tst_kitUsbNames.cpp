// The kit without a broadcast scan, over a driver whose USB enumeration
// returns the record types each test asks for
// (tests/kit/usb_types_driver). No scan is started here: the settings
// commands must find no discovery.

#include "datastream/KXCodecTestUtil.h"
#include "transport/KXDriverLibrary.h"

#include <KXDeviceKit.h>

#include <QtTest>

namespace {

template <typename Fn>
Fn testControl(const char* name)
{
    return KXDriver::resolveShared<Fn>(name);
}

} // namespace

class tst_kitUsbNames : public QObject
{
    Q_OBJECT

private slots:
    // Each settings command needs the discovery, which only a broadcast scan
    // makes; none has run in this process.
    void settingsCommandsNeedTheDiscovery_data()
    {
        const auto row = kxtest::table<int>({"command"});
        row("changeDeviceNetwork", 0);
        row("changeDeviceAlias", 1);
        row("blinkNotify", 2);
        row("setDeviceNetworkGroup", 3);
    }
    void settingsCommandsNeedTheDiscovery()
    {
        QFETCH(int, command);
        KXDeviceKit* kit = KXDeviceKit::Instance();
        const KXDeviceInfoMap info{{"Serial Number", "SN1"}, {"MAC Address", "02:00:00:00:00:01"}};
        const int result = command == 0   ? kit->changeDeviceNetwork(info)
                           : command == 1 ? kit->changeDeviceAlias(info)
                           : command == 2 ? kit->blinkNotify(info)
                                          : kit->setDeviceNetworkGroup("Gr En=1;");
        QCOMPARE(result, -3);
    }

    // Types 1, 2 and 3 are listed under the index the driver gave them;
    // other types are skipped but keep their index.
    void namesUsbRecordsByType_data()
    {
        const auto row = kxtest::table<QByteArray, QStringList>({"types", "names"});
        row("1, 5, 3", "153", {"DataPipe 0", "HidPosMi 2"});
        row("every listed type", "0321", {"HidPosMi 1", "HidPos 2", "DataPipe 3"});
        row("only unlisted", "5;", {});
        row("none", "", {});
    }
    void namesUsbRecordsByType()
    {
        QFETCH(QByteArray, types);
        QFETCH(QStringList, names);
        const auto setTypes = testControl<void (*)(const char*)>("kxds_test_set_usb_types");
        const auto arguments = testControl<const char* (*)()>("kxds_test_enum_arguments");
        QVERIFY2(setTypes && arguments, "the test driver is not on the library path");
        setTypes(types.constData());
        QStringList listed{"left from before"};
        QCOMPARE(KXDeviceKit::Instance()->enumDevicesUsbAndNet(listed), names.size());
        QCOMPARE(listed, names);
        QCOMPARE(QByteArray(arguments()), QByteArray("256 14 14 14 0 0 14"));
    }
};

QTEST_GUILESS_MAIN(tst_kitUsbNames)
#include "tst_kitUsbNames.moc"
