#include "transport/KXSerialPortAdaptor.h"

#include <QtTest>

#include <memory>

// Which driver functions the transport calls, in which order and with which
// arguments, against a driver that records its calls. Every adaptor creates
// one handle and destroys it.
class tst_KXSerialPortAdaptorCalls : public QObject
{
    Q_OBJECT

    QStringList takeCalls()
    {
        return QString::fromLatin1(m_take()).split('\n', Qt::SkipEmptyParts);
    }

    // The recording driver's own controls.
    const char* (*m_take)() = nullptr;
    void (*m_configure)(int openResult, int isOpen, quint32 firmwareError) = nullptr;
    std::unique_ptr<KXSerialPortAdaptor> m_adaptor;
    QLibrary m_library{QStringLiteral("KXDataStream")};

private slots:
    void initTestCase()
    {
        QVERIFY2(m_library.load(), qPrintable(m_library.errorString()));
        m_take = reinterpret_cast<decltype(m_take)>(m_library.resolve("kxds_test_take_calls"));
        m_configure =
            reinterpret_cast<decltype(m_configure)>(m_library.resolve("kxds_test_configure"));
        QVERIFY2(m_take && m_configure, "not the recording driver");
    }
    void init()
    {
        m_configure(1, 0, 0);
        m_adaptor = std::make_unique<KXSerialPortAdaptor>();
        QCOMPARE(takeCalls(), QStringList({"create"}));
    }
    void cleanup()
    {
        takeCalls();
        m_adaptor.reset();
        QCOMPARE(takeCalls(), QStringList({"destory 7"}));
    }

    // Closing asks first; the driver always gets an error pointer, the
    // caller's or the adaptor's own. A re-open uses the record of the last
    // opening, whether or not it succeeded.
    void opensReopensAndClosesInOrder()
    {
        QVERIFY(m_adaptor->close());
        QCOMPARE(takeCalls(), QStringList({"is_open 7"}));
        KXSerialPortAdaptor::UsbRecord usb{};
        usb[0] = 'u';
        QVERIFY(m_adaptor->openUsb(usb.data(), 5, nullptr));
        QVERIFY(m_adaptor->open());
        QCOMPARE(takeCalls(), QStringList({"open_usb 7 u 5 err", "close 7", "open_usb 7 u 3 err"}));
        KXSerialPortAdaptor::ComRecord com{0xE9, 0x03};
        QVERIFY(m_adaptor->openCom(com.data(), nullptr));
        QVERIFY(m_adaptor->open()); // the last opening was by COM: USB mode is over
        QCOMPARE(takeCalls(),
                 QStringList({"open_com 7 1001 err", "close 7", "open_com 7 1001 err"}));
        m_configure(1, 1, 0);
        QVERIFY(m_adaptor->close());
        QCOMPARE(takeCalls(), QStringList({"is_open 7", "close 7"}));
        m_configure(0, 0, 0);
        com[0] = 0xEA;
        QVERIFY(!m_adaptor->openCom(com.data(), nullptr));
        QVERIFY(!m_adaptor->open()); // a failed re-open leaves the handle closed
        QCOMPARE(takeCalls(),
                 QStringList({"open_com 7 1002 err", "close 7", "open_com 7 1002 err", "close 7"}));
    }

    void readsThroughTheScratchBuffer()
    {
        QByteArray out = ">";
        uint error = 0;
        QCOMPARE(m_adaptor->read_ex(out, 30, IDataStreamReadWrite::NoInterval, &error), 3u);
        QCOMPARE(m_adaptor->read_until(out, 40, 5, ";\x03", 2, nullptr), 3u);
        m_adaptor->wakeReaders(); // a driver without wake-ups polls with read_ex
        QCOMPARE(m_adaptor->read_poll(out, 60), 3u);
        quint8 bytes[2] = {};
        QCOMPARE(m_adaptor->read_data(bytes, 2, 50), 2u);
        QCOMPARE(m_adaptor->read_data(nullptr, 2, 50), 0u); // reaches no driver
        QCOMPARE(out, QByteArray(">abcxy;abc"));
        QVERIFY(m_adaptor->write("hi"));
        QCOMPARE(m_adaptor->clean(9), 9);
        QCOMPARE(takeCalls(),
                 QStringList({"read_ex 7 1048576 30 4294967294 err",
                              "read_until 7 1048576 40 5 ;\x03 noerr",
                              "read_ex 7 1048576 60 4294967294 noerr",
                              "read_ex 7 2 50 4294967294 err", "write 7 hi", "clean 7 9"}));
    }

    void firmwareByTypeAndErrorOffset()
    {
        KXFirmwareProgress progress{};
        uint error = 0;
        const QString file = QStringLiteral("/fw/a.bin");
        QVERIFY(m_adaptor->update_firmware_file(file, &progress, 1, &error));
        QVERIFY(m_adaptor->update_firmware_file(file, &progress, 2, &error));
        QCOMPARE(error, 0u);
        m_configure(1, 1, 17);
        QVERIFY(!m_adaptor->update_firmware_file(file, &progress, 0, &error));
        QCOMPARE(error, 217u);
        QCOMPARE(takeCalls(),
                 QStringList({"update_firmware_file_1 7 9 1 30 0", "update_firmware_file 7 9 30 0",
                              "update_firmware_file 7 9 30 0"}));
    }
};

QTEST_GUILESS_MAIN(tst_KXSerialPortAdaptorCalls)
#include "tst_KXSerialPortAdaptorCalls.moc"
