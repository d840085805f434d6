#include "KXFirmwareImages.h"
#include "KXTestZip.h"
#include "connector/KXDeviceConnector.h"
#include "tools/KXSimPeers.h"
#include "transport/KXNetworkAdaptor.h"
#include "transport/KXTransportChecks.h"

#include <QTemporaryDir>

#include <atomic>
#include <thread>

using namespace kxfwtest;
using kxsimtest::SimProcess;

namespace {

// What one download left behind.
struct Outcome
{
    bool ok = false;
    uint error = 0;
    QStringList events; // kxsim's boot-loader events, in order
    QByteArray progress;
};

// Writes `file` to a kxsim started with `simArgs`: over its pseudo-terminal
// through our driver (by COM or USB record), or over TCP through the kit's
// own download. With `trigger` the link is switched to the boot loader by
// "SIMBTL" first.
bool download(const QString& file, const QStringList& simArgs, const QString& link, bool trigger,
              int expectedEvents, Outcome& outcome)
{
    SimProcess sim;
    if (!sim.start(QStringList{"--port", "0", "--log-port", "0", "--serial"} + simArgs, true))
        return false;
    std::unique_ptr<IDataStreamReadWrite> adaptor;
    if (link == QLatin1String("tcp")) {
        auto tcp = std::make_unique<KXNetworkAdaptor>();
        if (!tcp->connect(QStringLiteral("127.0.0.1"), sim.dataPort, false))
            return false;
        adaptor = std::move(tcp);
    } else {
        const QString path = sim.serialPaths.first();
        qputenv("KXDS_EXTRA_PORTS", QFile::encodeName(path));
        auto serial = std::make_unique<KXSerialPortAdaptor>();
        uint error = 0;
        const bool open = link == QLatin1String("usb")
                              ? serial->openUsb(kxtest::usbRecord(path).data(), 3, &error)
                              : serial->openCom(kxtest::comRecord().data(), &error);
        if (!open)
            return false;
        adaptor = std::move(serial);
    }
    if (trigger) {
        // The link starts as a scanner's; the trigger's reply comes first.
        if (!adaptor->write(kxsimtest::hostFrame(1, "SIMBTL")))
            return false;
        QByteArray reply;
        uint error = 0;
        adaptor->read_until(reply, kxsimtest::kWaitMs, 10, "\x03", 1, &error);
        if (!reply.contains("SIMBTL"))
            return false;
    }
    KXFirmwareProgress progress{};
    // USB records take the driver's second entry, as the kit's update type 1.
    outcome.ok =
        adaptor->update_firmware_file(file, &progress, link == "usb" ? 1 : 0, &outcome.error);
    outcome.progress = QByteArray(reinterpret_cast<const char*>(&progress), sizeof progress);
    (void)QTest::qWaitFor([&] { return bootEvents(sim.lines).size() >= expectedEvents; },
                          kxsimtest::kWaitMs);
    outcome.events = bootEvents(sim.lines);
    return true;
}

} // namespace

// Firmware written through our driver library to kxsim's boot loader on its
// pseudo-terminal: the device takes the same parts, and the progress record
// ends as the kit's own download over TCP leaves it.
class tst_KXSerialFirmware : public QObject
{
    Q_OBJECT

private slots:
    void write_data();
    void write();
    void throughConnector_data();
    void throughConnector();
};

void tst_KXSerialFirmware::write_data()
{
    QTest::addColumn<QString>("suffix"); // "nfp" in any case makes a package
    QTest::addColumn<QString>("parts");
    QTest::addColumn<QString>("link");    // "com" or "usb"
    QTest::addColumn<qint64>("fileSize"); // 0: as the parts make it
    QTest::addColumn<QString>("fault");   // kxsim's --boot-fault; "trigger": SIMBTL
    QTest::addColumn<bool>("ok");
    QTest::addColumn<uint>("error"); // after the transport's 200
    QTest::addColumn<QStringList>("events");

    const QString escape = QStringLiteral("escape image");
    const QString exit = QStringLiteral("exit");
    QTest::newRow("image, boot moved first")
        << "bin"
        << "appl:1000 boot:700 flah:1500:7"
        << "com" << qint64(0) << "none" << true << 0u
        << QStringList{escape, "part 0 boot 700 bytes in 2 blocks of 512",
                       "part 1 appl 1000 bytes in 2 blocks of 512",
                       "part 2 flah:7 1500 bytes in 3 blocks of 512", exit};
    QTest::newRow("package with extended parts")
        << "NFP"
        << "kern:1000 appl:700 exfl:600:5"
        << "usb" << qint64(0) << "none" << true << 0u
        << QStringList{"escape package",
                       "part 0 kern 1000 bytes in 2 blocks of 512",
                       "part 1 appl 700 bytes in 2 blocks of 512",
                       "escape block",
                       "part 2 flah:5 600 bytes in 2 blocks of 512",
                       exit};
    QTest::newRow("erase dots before the blocks")
        << "bin"
        << "kern:1500"
        << "com" << qint64(0) << "erase" << true << 0u
        << QStringList{escape, "erase", "part 0 kern 1500 bytes in 3 blocks of 512", exit};
    QTest::newRow("large file in 1024 blocks")
        << "bin"
        << "kern:3000"
        << "com" << qint64(10 * 1024 * 1024 + 1) << "none" << true << 0u
        << QStringList{escape, "part 0 kern 3000 bytes in 3 blocks of 1024", exit};
    QTest::newRow("entered by trigger")
        << "bin"
        << "kern:700"
        << "usb" << qint64(0) << "trigger" << true << 0u
        << QStringList{escape, "part 0 kern 700 bytes in 2 blocks of 512", exit};
    QTest::newRow("command refused")
        << "bin"
        << "boot:700 kern:900"
        << "com" << qint64(0) << "refuse" << false << uint(KXDS_ERROR_FIRMWARE_REFUSED) + 200
        << QStringList{escape, "refused !FileType:boot (refused on request)", exit};
    // Busy reports leave the value alone; a status wait in silence adds 4.
    QTest::newRow("slow programming")
        << "bin"
        << "kern:1500"
        << "usb" << qint64(0) << "slow" << true << 0u
        << QStringList{escape, "part 0 kern 1500 bytes in 3 blocks of 512", exit};
    QTest::newRow("wrong block acknowledgement")
        << "bin"
        << "kern:1500"
        << "com" << qint64(0) << "ack" << false << uint(KXDS_ERROR_FIRMWARE_REFUSED) + 200
        << QStringList{escape, "block 1 acknowledged wrong", exit};
    // A device that goes away is not waited for.
    QTest::newRow("link dropped in a block")
        << "bin"
        << "kern:1500"
        << "com" << qint64(0) << "drop" << false << uint(KXDS_ERROR_IO) + 200
        << QStringList{escape, "dropped the link in block 0"};
    QTest::newRow("escape refused")
        << "bin"
        << "kern:900"
        << "usb" << qint64(0) << "escape" << false << uint(KXDS_ERROR_FIRMWARE_REFUSED) + 200
        << QStringList{"escape answered wrong"};
}

void tst_KXSerialFirmware::write()
{
    QFETCH(QString, suffix);
    QFETCH(QString, parts);
    QFETCH(QString, link);
    QFETCH(qint64, fileSize);
    QFETCH(QString, fault);
    QFETCH(bool, ok);
    QFETCH(uint, error);
    QFETCH(QStringList, events);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVector<ImagePart> image = parseParts(parts);
    const QString file = writeFirmware(dir.path(), suffix, image, fileSize);
    QVERIFY(!file.isEmpty());
    const bool trigger = fault == QLatin1String("trigger");
    const auto simArgs = [&](const QString& received) {
        QDir().mkpath(received);
        return QStringList{"--firmware-out", received} +
               (trigger ? QStringList() : QStringList{"--bootloader", "--boot-fault", fault});
    };
    Outcome serial, tcp;
    const QString received = dir.filePath(QStringLiteral("received"));
    QVERIFY(download(file, simArgs(received), link, trigger, events.size(), serial));
    QVERIFY(download(file, simArgs(dir.filePath(QStringLiteral("tcp"))), QStringLiteral("tcp"),
                     trigger, events.size(), tcp));

    QCOMPARE(serial.ok, ok);
    QCOMPARE(serial.error, error);
    QVERIFY2(serial.events == events, qPrintable(serial.events.join(QLatin1String(" | "))));
    QCOMPARE(tcp.events, serial.events);
    QCOMPARE(serial.progress.toHex(' '), tcp.progress.toHex(' '));

    // Every part the device took is byte for byte the one in the file.
    const QString mismatch = partMismatch(received, events, image);
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
}

void tst_KXSerialFirmware::throughConnector_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::newRow("image through the driver") << "bin";
    QTest::newRow("nfp through the driver") << "nfp";
    // An ifp package's firmware goes by the block download over the serial
    // transport's plain reads and writes.
    QTest::newRow("ifp over the serial transport") << "ifp";
}

// The connector on a serial link: an update blocks its caller while another
// thread reads its progress, and the device gets the parts.
void tst_KXSerialFirmware::throughConnector()
{
    QFETCH(QString, suffix);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVector<ImagePart> parts = parseParts(suffix == "nfp" ? "kern:1500 exfl:900:3" : "appl:3000");
    const QByteArray bytes = suffix == "nfp" ? buildPackage(parts) : buildImage(parts);
    const QString file = dir.filePath("firmware." + suffix);
    if (suffix == "ifp") {
        const QByteArray script = "function CheckUpGrade(q, b, i, cfg) return 0 end";
        QVERIFY(kxWriteZip(file,
                           {{"upgrade.lua", script}, {"cfg.json", "{}"}, {"firmware.bin", bytes}}));
    } else {
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size());
    }
    SimProcess sim;
    QVERIFY(sim.start({"--port", "0", "--log-port", "0", "--serial", "--firmware-out", dir.path(),
                       "--ifp-check", suffix == "ifp" ? "IFP1" : ""},
                      true));
    qputenv("KXDS_EXTRA_PORTS", QFile::encodeName(sim.serialPaths.first()));
    KXDeviceConnector connector;
    QVERIFY(connector.openDevice(kxtest::comRecord().data(), nullptr));
    if (suffix == "ifp")
        QCOMPARE(connector.checkUpdateFirmwareInfo(file), 0);
    QByteArray reply;
    QCOMPARE(connector.sendBinaryMessage(KXMakeDataStreamCmd("SIMBTL"), reply, 5000), 0);

    // The record's words are written one at a time, so a reader may see a
    // new part with the stage before it; but never a value out of range.
    std::atomic<bool> done{false};
    std::atomic<int> outOfRange{0}, samples{0};
    std::thread reader([&] {
        while (!done) {
            int part = 0, state = 0, stage = 0, value = 0;
            if (connector.getUpdateFirmwareState(&part, &state, &stage, &value)) {
                outOfRange += part < 0 || part >= parts.size() || stage < 0 || stage > 3 ||
                              value < 0 || value > 1000;
                ++samples;
            }
            std::this_thread::yield();
        }
    });
    uint error = 0;
    const bool ok = connector.updateFirmwareFile(file, 0, &error);
    done = true;
    reader.join();
    QVERIFY(ok);
    QCOMPARE(error, 0u);
    QCOMPARE(outOfRange.load(), 0);
    QVERIFY(samples > 0);
    for (int i = 0; i < parts.size(); ++i) {
        const QStringList names = QDir(dir.path()).entryList({QStringLiteral("%1-*").arg(i)});
        QFile part(dir.filePath(names.value(0)));
        QVERIFY(part.open(QIODevice::ReadOnly));
        QVERIFY(part.readAll() == parts[i].data);
    }
}

QTEST_GUILESS_MAIN(tst_KXSerialFirmware)
#include "tst_KXSerialFirmware.moc"
