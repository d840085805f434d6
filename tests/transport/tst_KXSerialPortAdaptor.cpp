#include "support/KXDebugLogging.h"
#include "support/KXPtyPeer.h"
#include "transport/KXSerialPortAdaptor.h"

#include <QElapsedTimer>
#include <QtEndian>
#include <QtTest>

#include "support/KXReaderThread.h"

#include <future>
#include <memory>

using kxtest::PtyPeer;

using kxtest::finishesWithin;
using kxtest::onReaderThread;

namespace {

const QByteArray kTerminator(";\x03", 2);
constexpr quint16 kFirstExtraPort = KXDS_PORT_EXTRA_BASE;

KXSerialPortAdaptor::ComRecord comRecord(quint16 port, quint32 baud = 115200)
{
    KXSerialPortAdaptor::ComRecord record{};
    qToLittleEndian<quint16>(port, record.data());
    qToLittleEndian<quint32>(baud, record.data() + 4);
    record[8] = 8;  // data bits
    record[9] = 0;  // one stop bit
    record[10] = 0; // no parity
    return record;
}

KXSerialPortAdaptor::UsbRecord usbRecord(const QString& path)
{
    KXSerialPortAdaptor::UsbRecord record{};
    const int units = qMin(path.size(), KXDS_USB_NAME_MAX);
    for (int i = 0; i < units; ++i)
        qToLittleEndian<quint16>(path.at(i).unicode(), record.data() + 2 * i);
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

    void loadsTheDriver();
    void opensAndExchanges_data();
    void opensAndExchanges();
    void readUntilReturnsWhenPatternCompletes();
    void readDataReturnsWhatCame();
    void cleanDiscardsPendingInput();
    void reopensAfterClose();
    void reportsHangUpAsNotOpen();
    void wakeUpEndsOnlyThePoll();
    void failedOpeningKeepsSettingsForReopen();
    void firmwareFailureAddsOffset();

private:
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

void tst_KXSerialPortAdaptor::loadsTheDriver()
{
    QVERIFY(m_adaptor->isLibraryLoaded());
    QCOMPARE(m_adaptor->portKind(), int(IDataStreamReadWrite::PortKindSerial));
    QVERIFY(!m_adaptor->is_open());
    QVERIFY(m_adaptor->close()); // never opened
    QVERIFY(!m_adaptor->write("x"));
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
                   : adaptor.openCom(comRecord(kFirstExtraPort).data(), error);
    };
    uint error = 99;
    QVERIFY(open(*m_adaptor, &error));
    QCOMPARE(error, 0u);
    QVERIFY(m_adaptor->is_open());
    QCOMPARE(m_adaptor->isUsbMode(), usb);

    // The port is taken: a second user is told so, and the first keeps it.
    {
        const kxtest::ScopedDebugLogging logging("kx.transport");
        QTest::ignoreMessage(QtDebugMsg,
                             QRegularExpression("KXSerialPortAdaptor::open(Com|Usb)\\.\\.\\. "
                                                "fail! error:9 \\(the port is in use\\)"));
        KXSerialPortAdaptor second;
        QVERIFY(!open(second, &error));
        QCOMPARE(error, uint(KXDS_ERROR_BUSY));
    }

    const QByteArray command = QByteArray("\x7E\x01"
                                          "0000@QRYSYS",
                                          12) +
                               kTerminator;
    QVERIFY(m_adaptor->write(command));
    QCOMPARE(m_peer->read(command.size()), command);
    const QByteArray reply = QByteArray("\x02\x01"
                                        "0000@QRYSYS\x06",
                                        13) +
                             kTerminator;
    QVERIFY(m_peer->write(reply));
    QByteArray out = "kept:";
    QCOMPARE(
        m_adaptor->read_until(out, 5000, IDataStreamReadWrite::NoInterval, ";\x03", 2, nullptr),
        quint32(reply.size()));
    QCOMPARE(out, "kept:" + reply);
}

void tst_KXSerialPortAdaptor::readUntilReturnsWhenPatternCompletes()
{
    QVERIFY(m_adaptor->openCom(comRecord(kFirstExtraPort).data(), nullptr));
    auto read = onReaderThread([&] {
        QByteArray out;
        m_adaptor->read_until(out, 10000, IDataStreamReadWrite::NoInterval, ";\x03", 2, nullptr);
        return out;
    });
    QVERIFY(m_peer->write("@DFMQCU\x06;"));
    QVERIFY(!finishesWithin(read, 100));
    QElapsedTimer elapsed;
    elapsed.start();
    QVERIFY(m_peer->write(QByteArray("\x03", 1)));
    QVERIFY(finishesWithin(read, 5000));
    QVERIFY2(elapsed.elapsed() < 2000, "the arriving bytes must wake the reader");
    QCOMPARE(read.get(), QByteArray("@DFMQCU\x06;\x03", 10));
}

void tst_KXSerialPortAdaptor::readDataReturnsWhatCame()
{
    QVERIFY(m_adaptor->openCom(comRecord(kFirstExtraPort).data(), nullptr));
    QVERIFY(m_peer->write("0123456789"));
    quint8 buffer[16] = {};
    QCOMPARE(m_adaptor->read_data(buffer, 4, 5000), 4u);
    QCOMPARE(QByteArray(reinterpret_cast<char*>(buffer), 4), QByteArray("0123"));
    QCOMPARE(m_adaptor->read_data(buffer, 6, 5000), 6u);
    QCOMPARE(QByteArray(reinterpret_cast<char*>(buffer), 6), QByteArray("456789"));
    QCOMPARE(m_adaptor->read_data(buffer, 1, 50), 0u);
}

void tst_KXSerialPortAdaptor::cleanDiscardsPendingInput()
{
    QVERIFY(m_adaptor->openCom(comRecord(kFirstExtraPort).data(), nullptr));
    QVERIFY(m_peer->write("stale"));
    // Let the bytes reach the port before they are discarded.
    quint8 first = 0;
    QCOMPARE(m_adaptor->read_data(&first, 1, 5000), 1u);
    QCOMPARE(m_adaptor->clean(42), 42);
    QVERIFY(m_peer->write("fresh"));
    QByteArray out;
    m_adaptor->read_until(out, 5000, IDataStreamReadWrite::NoInterval, "fresh", 5, nullptr);
    QCOMPARE(out, QByteArray("fresh"));
}

void tst_KXSerialPortAdaptor::reopensAfterClose()
{
    QVERIFY(m_adaptor->openCom(comRecord(kFirstExtraPort).data(), nullptr));
    QVERIFY(m_adaptor->close());
    QVERIFY(!m_adaptor->is_open());
    QVERIFY(!m_adaptor->write("closed"));
    QVERIFY(m_adaptor->open());
    QVERIFY(m_adaptor->is_open());
    QVERIFY(m_adaptor->write("again"));
    QCOMPARE(m_peer->read(5), QByteArray("again"));

    // The same for a USB opening.
    QVERIFY(m_adaptor->openUsb(usbRecord(m_peer->slavePath()).data(), 7, nullptr));
    QVERIFY(m_adaptor->close());
    QVERIFY(m_adaptor->open());
    QVERIFY(m_adaptor->isUsbMode());
    QVERIFY(m_adaptor->write("usb"));
    QCOMPARE(m_peer->read(3), QByteArray("usb"));
}

void tst_KXSerialPortAdaptor::reportsHangUpAsNotOpen()
{
    QVERIFY(m_adaptor->openCom(comRecord(kFirstExtraPort).data(), nullptr));
    auto read = onReaderThread([&] {
        QByteArray out;
        m_adaptor->read_ex(out, 20000, IDataStreamReadWrite::NoInterval, nullptr);
        return out;
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
    const auto record = comRecord(kFirstExtraPort);
    QVERIFY(!m_adaptor->openCom(record.data(), nullptr));
    QVERIFY(!m_adaptor->open());
    // The device appears; the connector's re-open finds it with the same record.
    qputenv("KXDS_EXTRA_PORTS", m_peer->slavePath().toLocal8Bit());
    QVERIFY(m_adaptor->open());
    QVERIFY(m_adaptor->is_open());
}

void tst_KXSerialPortAdaptor::firmwareFailureAddsOffset()
{
    QVERIFY(m_adaptor->openCom(comRecord(kFirstExtraPort).data(), nullptr));
    KXFirmwareProgress progress{};
    uint error = 0;
    // Our driver does not write firmware yet and reports that.
    QVERIFY(!m_adaptor->update_firmware_file(QStringLiteral("/tmp/fw.bin"), &progress, 0, &error));
    QCOMPARE(error, uint(KXDS_ERROR_UNSUPPORTED) + 200);
    error = 0;
    QVERIFY(!m_adaptor->update_firmware_file(QStringLiteral("/tmp/fw.bin"), &progress, 1, &error));
    QCOMPARE(error, uint(KXDS_ERROR_UNSUPPORTED) + 200);
}

void tst_KXSerialPortAdaptor::wakeUpEndsOnlyThePoll()
{
    QVERIFY(m_adaptor->openCom(comRecord(kFirstExtraPort).data(), nullptr));
    auto poll = onReaderThread([&] {
        QByteArray out;
        m_adaptor->read_poll(out, 20000);
        return out;
    });
    QVERIFY(m_peer->write("early"));
    QVERIFY(!finishesWithin(poll, 100));
    m_adaptor->wakeReaders();
    QVERIFY(finishesWithin(poll, 5000));
    QCOMPARE(poll.get(), QByteArray("early"));
    // A read for a reply is not cut short, and the link still works.
    m_adaptor->wakeReaders();
    auto reply = onReaderThread([&] {
        QByteArray out;
        m_adaptor->read_until(out, 10000, IDataStreamReadWrite::NoInterval, ";\x03", 2, nullptr);
        return out;
    });
    QVERIFY(!finishesWithin(reply, 100));
    QVERIFY(m_adaptor->write("ping"));
    QCOMPARE(m_peer->read(4), QByteArray("ping"));
    QVERIFY(m_peer->write(QByteArray("ok;\x03", 5)));
    QVERIFY(finishesWithin(reply, 5000));
    QCOMPARE(reply.get(), QByteArray("ok;\x03", 5));
    // Nor is a read_ex, which takes its whole time even with bytes there
    // from the start; the wake-up waits for the next poll.
    QVERIFY(m_peer->write("barcode"));
    QElapsedTimer elapsed;
    elapsed.start();
    QByteArray out = "x";
    QCOMPARE(m_adaptor->read_ex(out, 200, IDataStreamReadWrite::NoInterval, nullptr), quint32(7));
    QVERIFY(elapsed.elapsed() >= 190);
    QCOMPARE(out, QByteArray("xbarcode"));
    elapsed.restart();
    m_adaptor->read_poll(out, 20000);
    QVERIFY(elapsed.elapsed() < 5000);
}

QTEST_GUILESS_MAIN(tst_KXSerialPortAdaptor)
#include "tst_KXSerialPortAdaptor.moc"
