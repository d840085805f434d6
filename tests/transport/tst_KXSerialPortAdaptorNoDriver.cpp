#include "support/KXDebugLogging.h"
#include "transport/KXSerialPortAdaptor.h"

#include <QtTest>

// The adaptor when the driver library cannot be loaded: every operation
// fails or reads nothing, and nothing crashes. CTest runs this without the
// driver's folder on the library path.
class tst_KXSerialPortAdaptorNoDriver : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void logsLoadFailureOnce();
    void everyOperationFails();
    void keepsSettingsOfFailedOpenings();
};

void tst_KXSerialPortAdaptorNoDriver::initTestCase()
{
    QLibrary probe(QStringLiteral("KXDataStream"));
    if (probe.load())
        QSKIP("a driver library is installed on this machine");
}

void tst_KXSerialPortAdaptorNoDriver::logsLoadFailureOnce()
{
    const kxtest::ScopedDebugLogging logging("kx.transport");
    QTest::ignoreMessage(QtDebugMsg, "*** KXSerialPortAdaptor Load libKXDataStream.so fail!!!");
    KXSerialPortAdaptor adaptor;
    QVERIFY(!adaptor.isLibraryLoaded());
    QCOMPARE(adaptor.portKind(), int(IDataStreamReadWrite::PortKindSerial));
    QCOMPARE(adaptor.frameSize(), 512);
}

void tst_KXSerialPortAdaptorNoDriver::everyOperationFails()
{
    KXSerialPortAdaptor adaptor;
    QVERIFY(!adaptor.is_open());
    QVERIFY(!adaptor.write("data"));
    QByteArray out = "unchanged";
    uint error = 0;
    QCOMPARE(adaptor.read_ex(out, 10, IDataStreamReadWrite::NoInterval, &error), quint32(0));
    QCOMPARE(adaptor.read_until(out, 10, IDataStreamReadWrite::NoInterval, ";\x03", 2, &error),
             quint32(0));
    QCOMPARE(out, QByteArray("unchanged"));
    quint8 byte = 0;
    QCOMPARE(adaptor.read_data(&byte, 1, 10), 0u);
    QCOMPARE(adaptor.clean(7), 0);
    QVERIFY(adaptor.close());
    QVERIFY(!adaptor.open());

    KXFirmwareProgress progress{};
    error = 5;
    QVERIFY(!adaptor.update_firmware_file(QStringLiteral("/tmp/none.bin"), &progress, 0, &error));
    QCOMPARE(error, 205u);
    error = 0;
    QVERIFY(!adaptor.update_firmware_file(QStringLiteral("/tmp/none.bin"), &progress, 1, &error));
    QCOMPARE(error, 200u);
    QVERIFY(!adaptor.update_firmware_file(QStringLiteral("/tmp/none.bin"), &progress, 1, nullptr));
}

void tst_KXSerialPortAdaptorNoDriver::keepsSettingsOfFailedOpenings()
{
    KXSerialPortAdaptor adaptor;
    KXSerialPortAdaptor::ComRecord com{};
    com[0] = 0xE9; // port 1001
    com[1] = 0x03;
    com[4] = 0x00;
    com[5] = 0xC2;
    com[6] = 0x01; // 115200
    com[8] = 8;
    QVERIFY(!adaptor.openCom(com.data(), nullptr));
    QVERIFY(!adaptor.isUsbMode());
    QVERIFY(adaptor.comSettings() == com);

    KXSerialPortAdaptor::UsbRecord usb{};
    usb[0] = 'x';
    usb[508] = 1;
    QVERIFY(!adaptor.openUsb(usb.data(), 3, nullptr));
    QVERIFY(adaptor.isUsbMode());
    QVERIFY(adaptor.usbSettings() == usb);
    QVERIFY(!adaptor.openUsb(nullptr, 3, nullptr));
}

QTEST_GUILESS_MAIN(tst_KXSerialPortAdaptorNoDriver)
#include "tst_KXSerialPortAdaptorNoDriver.moc"
