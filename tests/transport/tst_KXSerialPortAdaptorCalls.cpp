#include "transport/KXSerialPortAdaptor.h"

#include <QtTest>

#include <memory>

// Which driver functions the transport calls, in which order and with which
// arguments, against a driver that records its calls.
class tst_KXSerialPortAdaptorCalls : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void createsHandleAndDestroysIt();
    void reopensUsbAlwaysWithModeThree();
    void reopenOfComUsesStoredRecord();
    void failedReopenClosesAgain();
    void closeOfClosedLinkOnlyAsks();
    void readsThroughTheScratchBuffer();
    void firmwareByTypeAndErrorOffset();

private:
    QStringList takeCalls();
    void configure(int openResult, int isOpen, quint32 firmwareError);

    std::unique_ptr<KXSerialPortAdaptor> m_adaptor;
    QLibrary m_library{QStringLiteral("KXDataStream")};
};

void tst_KXSerialPortAdaptorCalls::initTestCase()
{
    QVERIFY2(m_library.load(), qPrintable(m_library.errorString()));
    QVERIFY2(m_library.resolve("kxds_test_take_calls"), "not the recording driver");
}

void tst_KXSerialPortAdaptorCalls::init()
{
    configure(1, 0, 0);
    m_adaptor = std::make_unique<KXSerialPortAdaptor>();
}

void tst_KXSerialPortAdaptorCalls::cleanup()
{
    m_adaptor.reset();
    takeCalls();
}

QStringList tst_KXSerialPortAdaptorCalls::takeCalls()
{
    using TakeFn = int (*)(char*, int);
    auto take = reinterpret_cast<TakeFn>(m_library.resolve("kxds_test_take_calls"));
    QByteArray buffer(65536, '\0');
    const int n = take(buffer.data(), buffer.size());
    return QString::fromLatin1(buffer.left(n)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void tst_KXSerialPortAdaptorCalls::configure(int openResult, int isOpen, quint32 firmwareError)
{
    using ConfigureFn = void (*)(int, int, quint32);
    reinterpret_cast<ConfigureFn>(m_library.resolve("kxds_test_configure"))(openResult, isOpen,
                                                                            firmwareError);
}

void tst_KXSerialPortAdaptorCalls::createsHandleAndDestroysIt()
{
    QCOMPARE(takeCalls(), QStringList({"create"}));
    m_adaptor.reset();
    QCOMPARE(takeCalls(), QStringList({"destory 7"}));
}

void tst_KXSerialPortAdaptorCalls::reopensUsbAlwaysWithModeThree()
{
    takeCalls();
    KXSerialPortAdaptor::UsbRecord record{};
    record[0] = 'u';
    QVERIFY(m_adaptor->openUsb(record.data(), 5, nullptr));
    QVERIFY(m_adaptor->open());
    QCOMPARE(takeCalls(), QStringList({"open_usb 7 u 5 err", "close 7", "open_usb 7 u 3 err"}));
}

void tst_KXSerialPortAdaptorCalls::reopenOfComUsesStoredRecord()
{
    KXSerialPortAdaptor::UsbRecord usb{};
    usb[0] = 'u';
    m_adaptor->openUsb(usb.data(), 3, nullptr);
    KXSerialPortAdaptor::ComRecord com{};
    com[0] = 0xE9;
    com[1] = 0x03;
    uint error = 0;
    QVERIFY(m_adaptor->openCom(com.data(), &error));
    takeCalls();
    QVERIFY(m_adaptor->open());
    // The last opening was by COM: USB mode is over.
    QCOMPARE(takeCalls(), QStringList({"close 7", "open_com 7 1001 err"}));
}

void tst_KXSerialPortAdaptorCalls::failedReopenClosesAgain()
{
    KXSerialPortAdaptor::ComRecord com{};
    com[0] = 3;
    configure(0, 0, 0);
    QVERIFY(!m_adaptor->openCom(com.data(), nullptr));
    takeCalls();
    QVERIFY(!m_adaptor->open());
    QCOMPARE(takeCalls(), QStringList({"close 7", "open_com 7 3 err", "close 7"}));
}

void tst_KXSerialPortAdaptorCalls::closeOfClosedLinkOnlyAsks()
{
    takeCalls();
    QVERIFY(m_adaptor->close());
    QCOMPARE(takeCalls(), QStringList({"is_open 7"}));
    configure(1, 1, 0);
    QVERIFY(m_adaptor->close());
    QCOMPARE(takeCalls(), QStringList({"is_open 7", "close 7"}));
}

void tst_KXSerialPortAdaptorCalls::readsThroughTheScratchBuffer()
{
    takeCalls();
    QByteArray out = ">";
    uint error = 0;
    QCOMPARE(m_adaptor->read_ex(out, 30, IDataStreamReadWrite::NoInterval, &error), quint32(3));
    QCOMPARE(m_adaptor->read_until(out, 40, 5, ";\x03", 2, nullptr), quint32(3));
    quint8 bytes[2] = {};
    QCOMPARE(m_adaptor->read_data(bytes, 2, 50), 2u);
    QCOMPARE(out, QByteArray(">abcxy;"));
    QVERIFY(m_adaptor->write("hi"));
    QCOMPARE(m_adaptor->clean(9), 9);
    QCOMPARE(
        takeCalls(),
        QStringList({"read_ex 7 1048576 30 4294967294 err", "read_until 7 1048576 40 5 ;\x03 noerr",
                     "read_ex 7 2 50 4294967294 err", "write 7 hi", "clean 7 9"}));
}

void tst_KXSerialPortAdaptorCalls::firmwareByTypeAndErrorOffset()
{
    takeCalls();
    KXFirmwareProgress progress{};
    uint error = 0;
    QVERIFY(m_adaptor->update_firmware_file(QStringLiteral("/fw/a.bin"), &progress, 1, &error));
    QVERIFY(m_adaptor->update_firmware_file(QStringLiteral("/fw/a.bin"), &progress, 2, &error));
    QCOMPARE(error, 0u);
    configure(1, 1, 17);
    QVERIFY(!m_adaptor->update_firmware_file(QStringLiteral("/fw/a.bin"), &progress, 0, &error));
    QCOMPARE(error, 217u);
    QCOMPARE(takeCalls(),
             QStringList({"update_firmware_file_1 7 9 1 30 0", "update_firmware_file 7 9 30 0",
                          "update_firmware_file 7 9 30 0"}));
}

QTEST_GUILESS_MAIN(tst_KXSerialPortAdaptorCalls)
#include "tst_KXSerialPortAdaptorCalls.moc"
