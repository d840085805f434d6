#include "KXTransportChecks.h"
#include "support/KXDebugLogging.h"
#include "support/KXPtyPeer.h"

#include <memory>

using namespace kxtest;

// The USB and serial transport with our real driver library, against
// pseudo-terminals whose master side plays the device. What the driver does
// on its own (clean, hang-ups) its own tests check, and the call recorder
// which calls reach it.
class tst_KXSerialPortAdaptor : public QObject
{
    Q_OBJECT

    std::unique_ptr<PtyPeer> m_peer;
    std::unique_ptr<KXSerialPortAdaptor> m_adaptor;

private slots:
    void init()
    {
        m_peer = std::make_unique<PtyPeer>();
        QVERIFY(m_peer->isValid());
        qputenv("KXDS_EXTRA_PORTS", m_peer->slavePath().toLocal8Bit());
        qputenv("KXDS_EXTRA_USB", m_peer->slavePath().toLocal8Bit());
        m_adaptor = std::make_unique<KXSerialPortAdaptor>();
    }
    void cleanup()
    {
        m_adaptor.reset();
        m_peer.reset();
    }

    void opensAndExchanges_data()
    {
        QTest::addColumn<bool>("usb");
        QTest::newRow("com") << false;
        QTest::newRow("usb") << true;
    }
    void opensAndExchanges()
    {
        QFETCH(bool, usb);
        const auto open = [&](KXSerialPortAdaptor& adaptor, uint* error) {
            return usb ? adaptor.openUsb(usbRecord(m_peer->slavePath()).data(), 3, error)
                       : adaptor.openCom(comRecord().data(), error);
        };
        uint error = 99;
        QVERIFY(open(*m_adaptor, &error));
        QCOMPARE(error, 0u);
        QVERIFY(m_adaptor->is_open());
        QCOMPARE(m_adaptor->isUsbMode(), usb);
        // The port is taken: a second user is told so, and the first keeps it.
        {
            const ScopedDebugLogging logging("kx.transport");
            QTest::ignoreMessage(QtDebugMsg,
                                 QRegularExpression("KXSerialPortAdaptor::open(Com|Usb)\\.\\.\\. "
                                                    "fail! error:9 \\(the port is in use\\)"));
            KXSerialPortAdaptor second;
            QVERIFY(!open(second, &error));
            QCOMPARE(error, uint(KXDS_ERROR_BUSY));
        }
        checkExchangeAndReads(*m_adaptor, *m_peer, KXDS_ERROR_NONE);

        // A firmware file that is not there fails before the device is
        // touched, whichever function the type picks, and the driver says why.
        QVERIFY(
            !m_adaptor->update_firmware_file("/nonexistent/fw.bin", nullptr, usb ? 1 : 0, &error));
        QCOMPARE(error, uint(KXDS_ERROR_NOT_FOUND) + 200);

        // A lost link comes back with the same settings.
        QVERIFY(m_adaptor->close());
        QVERIFY(!m_adaptor->is_open());
        QVERIFY(!m_adaptor->write("closed"));
        QVERIFY(m_adaptor->open());
        QCOMPARE(m_adaptor->isUsbMode(), usb);
        QVERIFY(m_adaptor->write("again"));
        QCOMPARE(m_peer->read(5), QByteArray("again"));
    }
};

QTEST_GUILESS_MAIN(tst_KXSerialPortAdaptor)
#include "tst_KXSerialPortAdaptor.moc"
