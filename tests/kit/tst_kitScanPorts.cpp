// USB/serial scans through the kit's facade, over our driver library and
// kxsim's pseudo-terminals, in an empty umockdev testbed so that the host's
// own ports are never probed. One kit per process: the test functions run in
// order on the same enumeration thread.

#include "discovery/KXDeviceInfo.h"
#include "kit/KXKitScanRecorder.h"
#include "support/KXUmockdevTestbed.h"
#include "tools/KXSimPeers.h"

#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using kxsimtest::SimProcess;

namespace {

// A pass over two pseudo-terminals takes well under a second.
constexpr int kPassMs = 15000;
const QString kEnd = QStringLiteral("(end of pass)");

} // namespace

class tst_kitScanPorts : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_testbed = std::make_unique<kxtest::UmockdevTestbed>();
        if (!m_testbed->skipReason().isEmpty())
            QSKIP(qPrintable(m_testbed->skipReason()));
        QVERIFY(m_dir.isValid());
        const QString com = m_dir.filePath("com"), usb = m_dir.filePath("usb");
        QVERIFY(m_com.start({"--port", "0", "--log-port", "0", "--serial-path", com}, true));
        QVERIFY(m_usb.start({"--port", "0", "--log-port", "0", "--serial-path", usb}, true));
        qputenv("KXDS_EXTRA_PORTS", QFile::encodeName(com));
        qputenv("KXDS_EXTRA_USB", QFile::encodeName(usb));
    }

    // A start delay given before the first scan is lost (kept, it would hold
    // the pass for 20 s); the pass reports each device, then its end.
    void scanFindsSerialAndUsbDevices()
    {
        m_kit->setDelayEnumTime(19999);
        QVERIFY(m_kit->startDeviceScan(EScanType(0), 0));
        QVERIFY(QTest::qWaitFor([this] { return m_seen.updated.contains(kEnd); }, kPassMs));
        QCOMPARE(m_seen.updated.size(), 3);
        m_serialId = m_seen.updated.at(0);
        m_usbId = m_seen.updated.at(1);
        QVERIFY2(m_serialId.endsWith(":COM1001"), qPrintable(m_serialId));
        QVERIFY2(m_usbId.contains(":USB"), qPrintable(m_usbId));
        QCOMPARE(m_seen.devices.value(m_serialId).value(KXInfoKey::Com), QStringLiteral("1001"));
    }

    // Once the thread exists the delay is kept; a start while a pass runs
    // makes no second pass.
    void onePassAtATime()
    {
        m_kit->setDelayEnumTime(500);
        m_seen.clear();
        QElapsedTimer clock;
        clock.start();
        QVERIFY(m_kit->startDeviceScan(EScanType(0), 0));
        QVERIFY(m_kit->startDeviceScan(EScanType(0), 0));
        QVERIFY(QTest::qWaitFor([this] { return m_seen.updated.contains(kEnd); }, kPassMs));
        QVERIFY(clock.elapsed() >= 500);
        QTest::qWait(1000); // a second pass would end by now
        QCOMPARE(m_seen.updated.count(kEnd), 1);
        // USB identifiers are counted on over passes.
        QCOMPARE(m_seen.updated.mid(0, 1), QStringList{m_serialId});
        m_usbId = m_seen.updated.at(1);
    }

    void connectsToFoundDevices_data()
    {
        QTest::addColumn<bool>("serial");
        QTest::newRow("serial port") << true;
        QTest::newRow("USB") << false;
    }
    void connectsToFoundDevices()
    {
        QFETCH(bool, serial);
        const QString id = serial ? m_serialId : m_usbId;
        QVERIFY(m_kit->connectToDevice(id, ConnectDefault, false, DevicePortData));
        QByteArray reply;
        QCOMPARE(m_kit->sendBinaryMessage(id, kxsimtest::hostFrame(1, "QRYPDN"), reply, 5000,
                                          DevicePortData),
                 0);
        QVERIFY2(reply.contains("QRYPDN"), reply.constData());
        QVERIFY(m_kit->disconnectFromDeviceEx(id, DevicePortData));
    }

    // A pass that finds nothing still ends, and the devices of the last one
    // are gone.
    void emptyPassForgetsTheDevices()
    {
        qunsetenv("KXDS_EXTRA_PORTS");
        qunsetenv("KXDS_EXTRA_USB");
        m_seen.clear();
        QVERIFY(m_kit->startDeviceScan(EScanType(0), 0));
        QVERIFY(QTest::qWaitFor([this] { return m_seen.updated.contains(kEnd); }, kPassMs));
        QCOMPARE(m_seen.updated, QStringList{kEnd});
        // The port is back, but the kit no longer knows the device.
        qputenv("KXDS_EXTRA_PORTS", QFile::encodeName(m_dir.filePath("com")));
        QVERIFY(!m_kit->connectToDevice(m_serialId, ConnectDefault, false, DevicePortData));
    }

private:
    std::unique_ptr<kxtest::UmockdevTestbed> m_testbed;
    QTemporaryDir m_dir;
    SimProcess m_com;
    SimProcess m_usb;
    KXDeviceKit* m_kit = KXDeviceKit::Instance();
    kxtest::KitScanRecorder m_seen{m_kit};
    QString m_serialId;
    QString m_usbId;
};

QTEST_MAIN(tst_kitScanPorts)
#include "tst_kitScanPorts.moc"
