// The connector's firmware operations end to end against kxsim over TCP: the
// check with its result codes, and updates of images, nfp packages and ifp
// packages into kxsim's boot loader (entered by the upgrade escape, as on a
// real device), with progress read from another thread.

#include "KXFirmwareImages.h"
#include "KXTestZip.h"
#include "connector/KXDeviceConnector.h"
#include "tools/KXSimPeers.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <thread>

using kxsimtest::SimProcess;

namespace {

const QString kLoopback = QStringLiteral("127.0.0.1");

// An upgrade script that accepts a device whose QRYSYS text names `product`
// (read from cfg.json through cjson) and refuses any other with 17.
const QByteArray kScript = R"lua(
local cjson = package.loadlib(os.getenv("KX_LUA_CPATH"), "luaopen_cjson")()
function CheckUpGrade(qrysys, basqsy, ifpchk, cfg)
  local product = cjson.decode(cfg).product
  if string.find(qrysys, product, 1, true) then return 0 end
  return 17
end
)lua";

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

struct Device
{
    bool start(const QStringList& extra)
    {
        return received.isValid() &&
               sim.start(QStringList{"--port", "0", "--log-port", "0", "--firmware-out",
                                     received.path()} +
                         extra) &&
               connector.connectToDevice(kLoopback, sim.dataPort, false);
    }
    // What kxsim wrote for part `index`, whatever its type.
    QByteArray receivedPart(int index) const
    {
        const QStringList files =
            QDir(received.path()).entryList({QStringLiteral("%1-*").arg(index)});
        QFile file(received.filePath(files.value(0)));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QTemporaryDir received;
    SimProcess sim;
    KXDeviceConnector connector;
};

} // namespace

class tst_KXDeviceConnectorFirmware : public QObject
{
    Q_OBJECT

    QTemporaryDir m_files;
    QString m_image, m_package, m_ifpGood, m_ifpOther, m_notZip;
    QByteArray m_imageParts[2], m_packageParts[2];

private slots:
    void initTestCase()
    {
        QVERIFY(m_files.isValid());
        QVector<kxfwtest::ImagePart> image = kxfwtest::parseParts("appl:3000 boot:700");
        const QByteArray imageBytes = kxfwtest::buildImage(image);
        m_imageParts[0] = image[1].data; // boot goes first
        m_imageParts[1] = image[0].data;
        m_image = m_files.filePath("image.bin");
        QVERIFY(writeFile(m_image, imageBytes));

        QVector<kxfwtest::ImagePart> package = kxfwtest::parseParts("kern:1500 exfl:900:3");
        QVERIFY(writeFile(m_package = m_files.filePath("package.nfp"),
                          kxfwtest::buildPackage(package)));
        m_packageParts[0] = package[0].data;
        m_packageParts[1] = package[1].data;

        const auto ifp = [&](const char* name, const char* product) {
            const QString path = m_files.filePath(name);
            return kxWriteZip(path, {{"upgrade.lua", kScript},
                                     {"cfg.json", QByteArray("{\"product\":\"") + product + "\"}"},
                                     {"firmware.bin", imageBytes}})
                       ? path
                       : QString();
        };
        m_ifpGood = ifp("good.ifp", "KX-7300");
        m_ifpOther = ifp("other.ifp", "KX-9999");
        QVERIFY(!m_ifpGood.isEmpty() && !m_ifpOther.isEmpty());
        QVERIFY(writeFile(m_notZip = m_files.filePath("broken.ifp"), "not a zip"));
    }

    void check_data()
    {
        QTest::addColumn<QStringList>("simArgs");
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("ifpcfg"); // what the device got, "" none
        const QStringList packages{"--ifp-check", "IFP1"};
        QTest::newRow("image for a device of plain files")
            << QStringList() << "image" << 0 << QByteArray();
        QTest::newRow("image for a device of packages")
            << packages << "image" << 610 << QByteArray();
        QTest::newRow("package accepted by its script")
            << packages << "good" << 0 << QByteArray("cfg");
        QTest::newRow("package refused by its script") << packages << "other" << 17 << QByteArray();
        QTest::newRow("package that does not unpack")
            << packages << "broken" << 604 << QByteArray();
        QTest::newRow("silent device") << QStringList{"--silent"} << "image" << 600 << QByteArray();
    }

    void check()
    {
        QFETCH(QStringList, simArgs);
        QFETCH(QString, file);
        QFETCH(int, code);
        QFETCH(QByteArray, ifpcfg);
        const QMap<QString, QString> files{
            {"image", m_image}, {"good", m_ifpGood}, {"other", m_ifpOther}, {"broken", m_notZip}};
        Device device;
        QVERIFY(device.start(simArgs));
        device.connector.setTimeOut_7E01(300);
        QCOMPARE(device.connector.checkUpdateFirmwareInfo(files.value(file)), code);

        // A package device gets the package's configuration as hex.
        QByteArray reply;
        if (!simArgs.contains("--silent")) {
            QCOMPARE(device.connector.sendBinaryMessage(KXMakeDataStreamCmd("IFPCFG*"), reply), 0);
            const QByteArray expected =
                ifpcfg.isEmpty() ? QByteArray() : QByteArray("{\"product\":\"KX-7300\"}").toHex();
            QVERIFY2(reply.contains("IFPCFG" + expected + '\x06'), reply.constData());
        }
    }

    void update_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("parts");
        QTest::newRow("image, boot first") << "image" << 2;
        QTest::newRow("nfp with a local and an extended part") << "package" << 2;
        QTest::newRow("ifp accepted by its script") << "good" << 2;
    }

    void update()
    {
        QFETCH(QString, file);
        QFETCH(int, parts);
        const QString path = file == "image" ? m_image : file == "package" ? m_package : m_ifpGood;
        const QByteArray* expected = file == "package" ? m_packageParts : m_imageParts;
        Device device;
        QVERIFY(device.start({"--ifp-check", file == "good" ? "IFP1" : ""}));
        if (file == "good")
            QCOMPARE(device.connector.checkUpdateFirmwareInfo(path), 0);

        // Progress, read from another thread, only moves forward within a
        // stage. The record's words are written one at a time, so a reader
        // may see a new part or stage before its value is reset: only a
        // fall to a value other than 0, within one part and stage, is wrong.
        std::atomic<bool> done{false};
        std::atomic<int> backwards{0}, samples{0};
        std::thread reader([&] {
            int lastKey = -1, lastValue = -1;
            while (!done) {
                int part = 0, state = 0, stage = 0, value = 0;
                if (device.connector.getUpdateFirmwareState(&part, &state, &stage, &value)) {
                    const int key = part * 10 + stage;
                    if (key == lastKey && value < lastValue && value != 0)
                        ++backwards;
                    lastKey = key;
                    lastValue = value;
                    ++samples;
                }
                std::this_thread::yield();
            }
        });
        uint error = 0;
        const bool ok = device.connector.updateFirmwareFile(path, 0, &error);
        done = true;
        reader.join();
        QVERIFY(ok);
        QCOMPARE(backwards.load(), 0);
        QVERIFY(samples > 0);
        // Not updating any more: no state, and the run loop stays stopped.
        QVERIFY(!device.connector.getUpdateFirmwareState(nullptr, nullptr, nullptr, nullptr));
        for (int i = 0; i < parts; ++i)
            QCOMPARE(device.receivedPart(i), expected[i]);
    }

    void secondUpdateWhileOneRuns()
    {
        Device device;
        QVERIFY(device.start({"--boot-fault", "slow"}));
        std::thread first([&] {
            uint error = 0;
            device.connector.updateFirmwareFile(m_image, 0, &error);
        });
        QVERIFY(QTest::qWaitFor([&] { return device.connector.isUpdating(); }, 5000));
        uint error = 0;
        QVERIFY(!device.connector.updateFirmwareFile(m_image, 0, &error));
        first.join();
    }

    void frameSize()
    {
        KXDeviceConnector none;
        QCOMPARE(none.getFrameSize(), 512);
        Device device;
        QVERIFY(device.start({}));
        for (const auto& [set, got] :
             {std::pair{0, 512}, {-3, 512}, {1024, 1024}, {1 << 30, 4194304}}) {
            device.connector.setFrameSize(set);
            QCOMPARE(device.connector.getFrameSize(), got);
        }
    }
};

QTEST_MAIN(tst_KXDeviceConnectorFirmware)
#include "tst_KXDeviceConnectorFirmware.moc"
