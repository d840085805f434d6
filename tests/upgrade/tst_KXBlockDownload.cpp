#include "KXFirmwareImages.h"
#include "KXUpgrade/KXBlockDownload.h"
#include "tools/KXSimPeers.h"
#include "transport/KXNetworkAdaptor.h"

#include <QTemporaryDir>

#include <zlib.h>

using namespace kxfwtest;
using kxsimtest::SimProcess;

namespace {

const QString kLoopback = QStringLiteral("127.0.0.1");

quint32 crc32Of(const QByteArray& bytes)
{
    return quint32(
        ::crc32(0, reinterpret_cast<const Bytef*>(bytes.constData()), uInt(bytes.size())));
}

QByteArray withCrc(QByteArray bytes)
{
    bytes.resize(bytes.size() + 4);
    qToBigEndian(crc32Of(bytes.left(bytes.size() - 4)), bytes.data() + bytes.size() - 4);
    return bytes;
}

// An escape frame; its checksum is the complement of the XOR of the bytes
// after the 0x7E.
QByteArray escapeFrame(const QByteArray& text, quint8 damage = 0)
{
    QByteArray frame = QByteArray::fromHex("7e0000") + char(text.size()) + text;
    quint8 sum = 0;
    for (int i = 1; i < frame.size(); ++i)
        sum ^= quint8(frame[i]);
    return frame + char(quint8(~sum) ^ damage);
}

QByteArray commandFrame(const QByteArray& text, quint8 damage = 0)
{
    QByteArray frame =
        withCrc(QByteArray::fromHex("0205") + char(text.size() >> 8) + char(text.size()) + text);
    frame[frame.size() - 1] = char(quint8(frame[frame.size() - 1]) ^ damage);
    return frame;
}

// The boot loader's answer to a command.
QByteArray answer(char c)
{
    return withCrc(QByteArray::fromHex("02060001") + c);
}

} // namespace

// Firmware images written through the TCP transport to kxsim's boot loader,
// which checks every frame and keeps the parts it received.
class tst_KXBlockDownload : public QObject
{
    Q_OBJECT

private slots:
    void image_data();
    void image();
    void bootLoaderChecks_data();
    void bootLoaderChecks();
    void programmingLimit_data();
    void programmingLimit();
};

void tst_KXBlockDownload::image_data()
{
    QTest::addColumn<QString>("suffix"); // "nfp" in any case makes a package
    QTest::addColumn<QString>("parts");
    QTest::addColumn<int>("blockSize");
    QTest::addColumn<qint64>("fileSize"); // 0: as the parts make it
    QTest::addColumn<QString>("fault");   // kxsim's --boot-fault; "trigger": SIMBTL
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QStringList>("events"); // kxsim's, in order
    QTest::addColumn<QByteArray>("partStates");
    QTest::addColumn<int>("endStage");
    QTest::addColumn<int>("endValue"); // of the last stage

    const QString escape = QStringLiteral("escape image");
    const QString exit = QStringLiteral("exit");
    // The 1000-byte part goes as two full 517-byte frames; kxsim refuses
    // a frame of another length, a bad CRC or non-zero padding.
    QTest::newRow("boot moved first")
        << "BIN"
        << "appl:1000 boot:700" << 512 << qint64(0) << "none" << true
        << QStringList{escape, "part 0 boot 700 bytes in 2 blocks of 512",
                       "part 1 appl 1000 bytes in 2 blocks of 512", exit}
        << QByteArray("\x01\x04") << 3 << 10;
    QTest::newRow("table entries skipped, flah extra")
        << "BIN"
        << "zzzz:300 kern:0 flah:6000:7 *flah:300:9" << 4096 << qint64(0) << "none" << true
        << QStringList{escape, "part 0 flah:7 6000 bytes in 2 blocks of 4096",
                       "part 1 flah:0 300 bytes in 1 blocks of 4096", exit}
        << QByteArray("\x03\x03") << 3 << 10;
    QTest::newRow("erase dots before the blocks")
        << "BIN"
        << "kern:1500" << 512 << qint64(0) << "erase" << true
        << QStringList{escape, "erase", "part 0 kern 1500 bytes in 3 blocks of 512", exit}
        << QByteArray("\x02") << 3 << 10;
    // Busy reports leave the value alone; a status wait in silence adds 4.
    QTest::newRow("slow programming")
        << "BIN"
        << "kern:1500" << 512 << qint64(0) << "slow" << true
        << QStringList{escape, "part 0 kern 1500 bytes in 3 blocks of 512", exit}
        << QByteArray("\x02") << 3 << 14;
    QTest::newRow("entered by trigger")
        << "BIN"
        << "kern:700" << 512 << qint64(0) << "trigger" << true
        << QStringList{escape, "part 0 kern 700 bytes in 2 blocks of 512", exit}
        << QByteArray("\x02") << 3 << 10;
    QTest::newRow("large file in 1024 blocks")
        << "BIN"
        << "kern:3000" << 512 << qint64(10 * 1024 * 1024 + 1) << "none" << true
        << QStringList{escape, "part 0 kern 3000 bytes in 3 blocks of 1024", exit}
        << QByteArray("\x02") << 3 << 10;
    QTest::newRow("10 MiB keeps 512")
        << "BIN"
        << "kern:3000" << 512 << qint64(10 * 1024 * 1024) << "none" << true
        << QStringList{escape, "part 0 kern 3000 bytes in 6 blocks of 512", exit}
        << QByteArray("\x02") << 3 << 10;
    QTest::newRow("large file keeps 2048")
        << "BIN"
        << "kern:3000" << 2048 << qint64(10 * 1024 * 1024 + 1) << "none" << true
        << QStringList{escape, "part 0 kern 3000 bytes in 2 blocks of 2048", exit}
        << QByteArray("\x02") << 3 << 10;

    // Extended parts follow the block escape; kxsim answers "@NextBlock"
    // with a whole reply frame.
    QTest::newRow("package in capitals")
        << "NFP"
        << "kern:1000 appl:700 exfl:600:5 exfl:300:6" << 512 << qint64(0) << "none" << true
        << QStringList{"escape package",
                       "part 0 kern 1000 bytes in 2 blocks of 512",
                       "part 1 appl 700 bytes in 2 blocks of 512",
                       "escape block",
                       "part 2 flah:5 600 bytes in 2 blocks of 512",
                       "part 3 flah:6 300 bytes in 1 blocks of 512",
                       exit}
        << QByteArray() << 3 << 10;
    QTest::newRow("package extended parts only")
        << "nfp"
        << "exfl:2000:9" << 1024 << qint64(0) << "none" << true
        << QStringList{"escape package", "escape block",
                       "part 0 flah:9 2000 bytes in 2 blocks of 1024", exit}
        << QByteArray() << 3 << 10;
    QTest::newRow("package local exfl refused")
        << "nfp"
        << "exfl:100:1 kern:500" << 512 << qint64(0) << "none" << false << QStringList()
        << QByteArray() << 0 << 0;

    QTest::newRow("command refused")
        << "BIN"
        << "boot:700 kern:900" << 512 << qint64(0) << "refuse" << false
        << QStringList{escape, "refused !FileType:boot (refused on request)", exit}
        << QByteArray("\x01\x02") << 1 << 100;
    QTest::newRow("wrong block acknowledgement")
        << "BIN"
        << "kern:1500" << 512 << qint64(0) << "ack" << false
        << QStringList{escape, "block 1 acknowledged wrong", exit} << QByteArray("\x02") << 2
        << 100;
    QTest::newRow("block unanswered")
        << "BIN"
        << "kern:1500" << 512 << qint64(0) << "silent" << false
        << QStringList{escape, "block 0 left unanswered", exit} << QByteArray("\x02") << 2 << 100;
    QTest::newRow("link dropped in a block")
        << "BIN"
        << "kern:1500" << 512 << qint64(0) << "drop" << false
        << QStringList{escape, "dropped the link in block 0"} << QByteArray("\x02") << 2 << 100;
    QTest::newRow("escape answered wrong")
        << "BIN"
        << "kern:1500" << 512 << qint64(0) << "escape" << false
        << QStringList{"escape answered wrong"} << QByteArray("\x02") << 0 << 100;
    QTest::newRow("no usable part") << "BIN"
                                    << "zzzz:300 boot:0" << 512 << qint64(0) << "none" << false
                                    << QStringList() << QByteArray() << 0 << 0;
    QTest::newRow("file under 400 bytes") << "BIN"
                                          << "kern:31" << 512 << qint64(0) << "none" << false
                                          << QStringList() << QByteArray() << 0 << 0;
}

void tst_KXBlockDownload::image()
{
    QFETCH(QString, suffix);
    QFETCH(QString, parts);
    QFETCH(int, blockSize);
    QFETCH(qint64, fileSize);
    QFETCH(QString, fault);
    QFETCH(bool, ok);
    QFETCH(QStringList, events);
    QFETCH(QByteArray, partStates);
    QFETCH(int, endStage);
    QFETCH(int, endValue);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVector<ImagePart> image = parseParts(parts);
    const QString file = writeFirmware(dir.path(), suffix, image, fileSize);
    QVERIFY(!file.isEmpty());
    const QString received = dir.filePath(QStringLiteral("received"));
    QVERIFY(QDir().mkpath(received));

    const bool trigger = fault == QLatin1String("trigger");
    SimProcess sim;
    QVERIFY(
        sim.start(QStringList{"--port", "0", "--log-port", "0", "--firmware-out", received} +
                  (trigger ? QStringList() : QStringList{"--bootloader", "--boot-fault", fault})));
    KXNetworkAdaptor adaptor;
    QVERIFY(adaptor.connect(kLoopback, sim.dataPort, false));
    if (trigger) {
        // The link starts as a scanner's; the trigger's reply comes first.
        QVERIFY(adaptor.write(kxsimtest::hostFrame(1, "SIMBTL")));
        QByteArray reply;
        uint readError = 0;
        adaptor.read_until(reply, kxsimtest::kWaitMs, 10, "\x03", 1, &readError);
        QVERIFY2(reply.contains("SIMBTL"), reply.constData());
    }
    adaptor.setFrameSize(blockSize);
    KXFirmwareProgress progress{};
    uint error = 0;

    QCOMPARE(adaptor.update_firmware_file(file, &progress, 0, &error), ok);

    // The comparison below shows what came if not all did.
    (void)QTest::qWaitFor([&] { return bootEvents(sim.lines).size() >= events.size(); },
                          kxsimtest::kWaitMs);
    const QStringList seen = bootEvents(sim.lines);
    QVERIFY2(seen == events, qPrintable(seen.join(QLatin1String(" | "))));
    for (int i = 0; i < partStates.size(); ++i)
        QCOMPARE(progress.byte(KXFirmwareProgress::PartStates + i), quint8(partStates[i]));
    const quint32 stage = progress.word(KXFirmwareProgress::Stage);
    QCOMPARE(stage, quint32(endStage));
    QCOMPARE(progress.word(int(stage)), quint32(endValue));

    // Every part the device took is byte for byte the one in the image.
    const QString mismatch = partMismatch(received, events, image);
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
}

// kxsim's boot loader refuses what a broken download would send, which is
// what lets the downloads above catch faults.
void tst_KXBlockDownload::bootLoaderChecks_data()
{
    QTest::addColumn<QByteArrayList>("sends");
    QTest::addColumn<QByteArrayList>("replies"); // one per send

    const QByteArray ack("\x06"), nak("\x15"), ok = answer('0'), refused = answer('1');
    const QByteArray escape = escapeFrame("~upGrade~");
    const QByteArrayList announce{commandFrame("!DataLens:10"), commandFrame("!FrameSize:16"),
                                  commandFrame("!Frames:1"), commandFrame("!FileType:kern"),
                                  commandFrame(">Start")};
    const QByteArray data = QByteArray("0123456789") + QByteArray(6, '\0');
    QTest::newRow("escape checksum")
        << QByteArrayList{escapeFrame("~upGrade~", 1)} << QByteArrayList{nak};
    QTest::newRow("unknown escape")
        << QByteArrayList{escapeFrame("~upBlock~")} << QByteArrayList{nak};
    QTest::newRow("command CRC") << QByteArrayList{escape, "???", commandFrame("!DataLens:10", 1)}
                                 << QByteArrayList{ack, "<", refused};
    QTest::newRow("command before the wake-up")
        << QByteArrayList{escape, commandFrame("!DataLens:10")} << QByteArrayList{ack, refused};
    QTest::newRow("block count") << QByteArrayList{escape, "???", commandFrame("!DataLens:1000"),
                                                   commandFrame("!FrameSize:512"),
                                                   commandFrame("!Frames:1")}
                                 << QByteArrayList{ack, "<", ok, ok, refused};
    QTest::newRow("flah without its value")
        << QByteArrayList{escape, "???", commandFrame("!FileType:flah")}
        << QByteArrayList{ack, "<", refused};
    QTest::newRow("start unannounced") << QByteArrayList{escape, "???", commandFrame(">Start")}
                                       << QByteArrayList{ack, "<", refused};
    QTest::newRow("next before a part")
        << QByteArrayList{escape, commandFrame("@NextDown")} << QByteArrayList{ack, refused};
    QTest::newRow("whole part") << (QByteArrayList{escape, "???"} + announce +
                                    QByteArrayList{withCrc('\x02' + data)})
                                << QByteArrayList{ack, "<", ok, ok, ok, ok, ok, "*^"};
    QTest::newRow("block CRC") << (QByteArrayList{escape, "???"} + announce +
                                   QByteArrayList{withCrc('\x03' + data)})
                               << QByteArrayList{ack, "<", ok, ok, ok, ok, ok, "!"};
    QTest::newRow("block padding") << (QByteArrayList{escape, "???"} + announce +
                                       QByteArrayList{withCrc('\x02' + data.left(15) + 'x')})
                                   << QByteArrayList{ack, "<", ok, ok, ok, ok, ok, "!"};
}

void tst_KXBlockDownload::bootLoaderChecks()
{
    QFETCH(QByteArrayList, sends);
    QFETCH(QByteArrayList, replies);
    SimProcess sim;
    QVERIFY(sim.start({"--port", "0", "--log-port", "0", "--bootloader"}));
    kxsimtest::SimClient client;
    QVERIFY(client.connectTo(sim.dataPort));
    for (int i = 0; i < sends.size(); ++i) {
        client.send(sends[i]);
        (void)client.waitFor([&] { return client.received.size() >= replies[i].size(); });
        QCOMPARE(client.received.toHex(' '), replies[i].toHex(' '));
        client.received.clear();
    }
}

void tst_KXBlockDownload::programmingLimit_data()
{
    QTest::addColumn<quint32>("partSize");
    QTest::addColumn<qint64>("limitMs");
    QTest::newRow("empty") << 0u << qint64(300000);
    QTest::newRow("200 KB") << 204800u << qint64(300000);
    QTest::newRow("just under 2 MiB") << 2097151u << qint64(300000);
    QTest::newRow("3 MiB") << 3145728u << qint64(900000);
    QTest::newRow("largest") << 0xFFFFFFFFu << qint64(4095) * 300000;
}

void tst_KXBlockDownload::programmingLimit()
{
    QFETCH(quint32, partSize);
    QFETCH(qint64, limitMs);
    QCOMPARE(KXBlockDownload::programmingLimitMs(partSize), limitMs);
}

QTEST_GUILESS_MAIN(tst_KXBlockDownload)
#include "tst_KXBlockDownload.moc"
