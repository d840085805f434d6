#include "KXTransportChecks.h"
#include "support/KXDebugLogging.h"
#include "support/KXPtyPeer.h"
#include "transport/KXSerialPortAdaptor.h"

#include <QtEndian>

#include <memory>

using namespace kxtest;

namespace {

KXSerialPortAdaptor::ComRecord comRecord()
{
    KXSerialPortAdaptor::ComRecord record{};
    qToLittleEndian<quint16>(KXDS_PORT_EXTRA_BASE, record.data());
    qToLittleEndian<quint32>(115200, record.data() + 4);
    record[8] = 8; // data bits; one stop bit, no parity
    return record;
}

KXSerialPortAdaptor::UsbRecord usbRecord(const QString& path)
{
    KXSerialPortAdaptor::UsbRecord record{};
    qToLittleEndian<quint16>(path.utf16(), qMin(path.size(), KXDS_USB_NAME_MAX), record.data());
    record[KXDS_USB_TYPE_OFFSET] = KXDS_USB_TYPE_DATAPIPE;
    return record;
}

} // namespace

// The USB and serial transport with our real driver library, against
// pseudo-terminals whose master side plays the device.
class tst_KXSerialPortAdaptor : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void opensAndExchanges_data();
    void opensAndExchanges();
    void readsEndOnceSatisfied()
    {
        QVERIFY(openCom());
        checkReadsEndOnceSatisfied(*m_adaptor, *m_peer, KXDS_ERROR_NONE);
    }
    void wakeUpEndsOnlyThePoll()
    {
        QVERIFY(openCom());
        checkWakeUpEndsOnlyThePoll(*m_adaptor, *m_peer);
    }
    void cleanDiscardsPendingInput();
    void reportsHangUpAsNotOpen();
    void failedOpeningKeepsSettingsForReopen();

private:
    bool openCom() { return m_adaptor->openCom(comRecord().data(), nullptr); }

    std::unique_ptr<PtyPeer> m_peer;
    std::unique_ptr<KXSerialPortAdaptor> m_adaptor;
};

void tst_KXSerialPortAdaptor::init()
{
    m_peer = std::make_unique<PtyPeer>();
    QVERIFY(m_peer->isValid());
    qputenv("KXDS_EXTRA_PORTS", m_peer->slavePath().toLocal8Bit());
    qputenv("KXDS_EXTRA_USB", m_peer->slavePath().toLocal8Bit());
    m_adaptor = std::make_unique<KXSerialPortAdaptor>();
}

void tst_KXSerialPortAdaptor::cleanup()
{
    m_adaptor.reset();
    m_peer.reset();
}

void tst_KXSerialPortAdaptor::opensAndExchanges_data()
{
    QTest::addColumn<bool>("usb");
    QTest::newRow("com") << false;
    QTest::newRow("usb") << true;
}

void tst_KXSerialPortAdaptor::opensAndExchanges()
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
    checkExchange(*m_adaptor, *m_peer);

    // Our driver does not write firmware yet, whichever function the type
    // picks, and says so.
    QVERIFY(!m_adaptor->update_firmware_file("/tmp/fw.bin", nullptr, usb ? 1 : 0, &error));
    QCOMPARE(error, uint(KXDS_ERROR_UNSUPPORTED) + 200);

    // A lost link comes back with the same settings.
    QVERIFY(m_adaptor->close());
    QVERIFY(!m_adaptor->is_open());
    QVERIFY(!m_adaptor->write("closed"));
    QVERIFY(m_adaptor->open());
    QCOMPARE(m_adaptor->isUsbMode(), usb);
    QVERIFY(m_adaptor->write("again"));
    QCOMPARE(m_peer->read(5), QByteArray("again"));
}

void tst_KXSerialPortAdaptor::cleanDiscardsPendingInput()
{
    QVERIFY(openCom());
    QVERIFY(m_peer->write("stale"));
    // Let the bytes reach the port before they are discarded.
    quint8 first = 0;
    QCOMPARE(m_adaptor->read_data(&first, 1, 5000), 1u);
    QCOMPARE(m_adaptor->clean(42), 42);
    QVERIFY(m_peer->write("fresh"));
    QByteArray out;
    m_adaptor->read_until(out, 5000, kNoInterval, "fresh", 5, nullptr);
    QCOMPARE(out, QByteArray("fresh"));
}

void tst_KXSerialPortAdaptor::reportsHangUpAsNotOpen()
{
    QVERIFY(openCom());
    auto read = onReaderThread([&] {
        QByteArray out;
        return m_adaptor->read_ex(out, 20000, kNoInterval, nullptr);
    });
    QVERIFY(!finishesWithin(read, 50));
    m_peer->closeMaster();
    QTRY_VERIFY_WITH_TIMEOUT(!m_adaptor->is_open(), 5000);
    // A waiting read does not sit out its time on a dead line.
    QVERIFY(finishesWithin(read, 5000));
    QVERIFY(!m_adaptor->write("gone"));
}

void tst_KXSerialPortAdaptor::failedOpeningKeepsSettingsForReopen()
{
    // The port does not exist yet: the opening fails, its settings stay.
    qputenv("KXDS_EXTRA_PORTS", "/nonexistent/tty");
    QVERIFY(!openCom());
    QVERIFY(!m_adaptor->open());
    // The device appears; the connector's re-open finds it with the same record.
    qputenv("KXDS_EXTRA_PORTS", m_peer->slavePath().toLocal8Bit());
    QVERIFY(m_adaptor->open());
    QVERIFY(m_adaptor->is_open());
}

QTEST_GUILESS_MAIN(tst_KXSerialPortAdaptor)
#include "tst_KXSerialPortAdaptor.moc"
