#include "support/KXDebugLogging.h"
#include "transport/KXSerialPortAdaptor.h"

#include <QtTest>

#include <numeric>

// The adaptor when the driver library cannot be loaded: every operation
// fails or reads nothing, and nothing crashes. CTest runs this without the
// driver's folder on the library path.
class tst_KXSerialPortAdaptorNoDriver : public QObject
{
    Q_OBJECT

private slots:
    void everyOperationFails()
    {
        if (QLibrary(QStringLiteral("KXDataStream")).load())
            QSKIP("a driver library is installed on this machine");
        const kxtest::ScopedDebugLogging logging("kx.transport");
        QTest::ignoreMessage(QtDebugMsg, "*** KXSerialPortAdaptor Load libKXDataStream.so fail!!!");
        KXSerialPortAdaptor adaptor;
        QVERIFY(!adaptor.isLibraryLoaded());
        QCOMPARE(adaptor.portKind(), int(IDataStreamReadWrite::PortKindSerial));
        QCOMPARE(adaptor.frameSize(), 512);
        QVERIFY(!adaptor.is_open());
        QVERIFY(!adaptor.write("data"));
        QByteArray out = "unchanged";
        uint error = 0;
        QCOMPARE(adaptor.read_ex(out, 10, IDataStreamReadWrite::NoInterval, &error), 0u);
        QCOMPARE(adaptor.read_until(out, 10, IDataStreamReadWrite::NoInterval, ";\x03", 2, &error),
                 0u);
        QCOMPARE(out, QByteArray("unchanged"));
        quint8 byte = 0;
        QCOMPARE(adaptor.read_data(&byte, 1, 10), 0u);
        QCOMPARE(adaptor.clean(7), 0);
        QVERIFY(adaptor.close());
        QVERIFY(!adaptor.open());

        // The offset goes on whatever the error held.
        error = 5;
        QVERIFY(!adaptor.update_firmware_file(QStringLiteral("/tmp/none.bin"), nullptr, 0, &error));
        QCOMPARE(error, 205u);
        QVERIFY(
            !adaptor.update_firmware_file(QStringLiteral("/tmp/none.bin"), nullptr, 1, nullptr));

        // Failed openings still keep their settings for a later open(); a
        // pattern in every byte shows a partial copy.
        KXSerialPortAdaptor::ComRecord com{};
        std::iota(com.begin(), com.end(), quint8(1));
        QVERIFY(!adaptor.openCom(com.data(), nullptr));
        QVERIFY(!adaptor.isUsbMode());
        QVERIFY(adaptor.comSettings() == com);
        KXSerialPortAdaptor::UsbRecord usb{};
        std::iota(usb.begin(), usb.end(), quint8(1));
        QVERIFY(!adaptor.openUsb(usb.data(), 3, nullptr));
        QVERIFY(adaptor.isUsbMode());
        QVERIFY(adaptor.usbSettings() == usb);
        QVERIFY(!adaptor.openUsb(nullptr, 3, nullptr));
    }
};

QTEST_GUILESS_MAIN(tst_KXSerialPortAdaptorNoDriver)
#include "tst_KXSerialPortAdaptorNoDriver.moc"
