#ifndef KXTRANSPORTCHECKS_H
#define KXTRANSPORTCHECKS_H

#include "support/KXReaderThread.h"
#include "transport/KXSerialPortAdaptor.h"

#include <QElapsedTimer>
#include <QtEndian>
#include <QtTest>

// What every transport promises its connector, checked against a device
// end that has write(bytes) and read(count) as the test's peers do.
namespace kxtest {

constexpr uint kNoInterval = IDataStreamReadWrite::NoInterval;

// Port 1001, the first of KXDS_EXTRA_PORTS, at 115200 8N1.
inline KXSerialPortAdaptor::ComRecord comRecord()
{
    KXSerialPortAdaptor::ComRecord record{};
    qToLittleEndian<quint16>(KXDS_PORT_EXTRA_BASE, record.data());
    qToLittleEndian<quint32>(115200, record.data() + 4);
    record[8] = 8; // data bits; one stop bit, no parity
    return record;
}

// A USB scanner whose data pipe is the tty at `path`.
inline KXSerialPortAdaptor::UsbRecord usbRecord(const QString& path)
{
    KXSerialPortAdaptor::UsbRecord record{};
    qToLittleEndian<quint16>(path.utf16(), qMin(path.size(), KXDS_USB_NAME_MAX), record.data());
    record[KXDS_USB_TYPE_OFFSET] = KXDS_USB_TYPE_DATAPIPE;
    return record;
}

// A command goes out whole; a reply is appended to what the caller holds.
// `expected` is what the transport leaves in the caller's error word.
template <typename Device>
void checkExchangeAndReads(IDataStreamReadWrite& link, Device& device, uint expected)
{
    const QByteArray command("\x7E\x01"
                             "0000@QRYSYS;\x03");
    QVERIFY(link.write(command));
    QCOMPARE(device.read(command.size()), command);
    const QByteArray answer("\x02\x01"
                            "0000@QRYSYSok\x06;\x03");
    QVERIFY(device.write(answer));
    QByteArray held = "kept:";
    QCOMPARE(link.read_until(held, 5000, kNoInterval, ";\x03", 2, nullptr), quint32(answer.size()));
    QCOMPARE(held, "kept:" + answer);

    // Each read ends when it should. read_until returns as soon as a
    // terminator that came in two parts is whole, read_data once it has what
    // it asks for.
    uint error = 12345;
    auto read = onReaderThread([&] {
        QByteArray out;
        link.read_until(out, 10000, kNoInterval, ";\x03", 2, &error);
        return out;
    });
    QVERIFY(device.write("@DFMQCU\x06;"));
    QVERIFY(!finishesWithin(read, 100)); // half the terminator is no terminator
    QVERIFY(device.write("\x03"));
    QVERIFY2(finishesWithin(read, 2000), "the arriving bytes must wake the reader");
    QCOMPARE(read.get(), QByteArray("@DFMQCU\x06;\x03"));
    QCOMPARE(error, expected);

    // read_data waits for all it asks for, and no longer.
    auto count = onReaderThread([&] {
        quint8 buffer[4] = {};
        return QByteArray(reinterpret_cast<char*>(buffer), link.read_data(buffer, 4, 10000));
    });
    QVERIFY(device.write("01"));
    QVERIFY(!finishesWithin(count, 100));
    QVERIFY(device.write("23"));
    QVERIFY(finishesWithin(count, 5000));
    QCOMPARE(count.get(), QByteArray("0123"));
    QVERIFY(device.write("456789"));
    QCOMPARE(link.read_data(nullptr, 4, 1000), 0u);
    quint8 buffer[16] = {};
    QCOMPARE(link.read_data(buffer, 8, 300), 6u); // what came, once the time is up
    QCOMPARE(QByteArray(reinterpret_cast<char*>(buffer), 6), QByteArray("456789"));

    // A wake-up ends a waiting poll, or else the next one, and nothing else:
    // reads without a pattern gather what comes for their whole time, even
    // with bytes there from the start, and a read for a reply waits for its
    // pattern.
    auto poll = onReaderThread([&] {
        QByteArray out;
        link.read_poll(out, 20000);
        return out;
    });
    QVERIFY(device.write("early"));
    QVERIFY(!finishesWithin(poll, 100)); // bytes alone do not end a poll
    link.wakeReaders();
    QVERIFY(finishesWithin(poll, 5000));
    QCOMPARE(poll.get(), QByteArray("early"));

    link.wakeReaders();
    QVERIFY(device.write("barcode"));
    QElapsedTimer elapsed;
    elapsed.start();
    QByteArray out = "x";
    QCOMPARE(link.read_ex(out, 200, kNoInterval, nullptr), quint32(7));
    QVERIFY(elapsed.elapsed() >= 190);
    QVERIFY(device.write("abc"));
    QCOMPARE(link.read_until(out, 200, kNoInterval, nullptr, 0, nullptr), quint32(3));
    QVERIFY(elapsed.elapsed() >= 380);
    QCOMPARE(out, QByteArray("xbarcodeabc"));
    auto reply = onReaderThread([&] {
        QByteArray bytes;
        link.read_until(bytes, 10000, kNoInterval, ";\x03", 2, nullptr);
        return bytes;
    });
    QVERIFY(!finishesWithin(reply, 100));
    QVERIFY(link.write("ping"));
    QCOMPARE(device.read(4), QByteArray("ping")); // the link still works
    QVERIFY(device.write("ok;\x03"));
    QVERIFY(finishesWithin(reply, 5000));
    QCOMPARE(reply.get(), QByteArray("ok;\x03"));
    elapsed.restart();
    link.read_poll(out, 20000); // the wake-up still waits for it
    QVERIFY(elapsed.elapsed() < 5000);
}

} // namespace kxtest

#endif // KXTRANSPORTCHECKS_H
