// The kit's registry and connections, driven through KXDeviceKit::Instance()
// as a host drives it, against kxsim over TCP (directly and through our
// driver library's TCP mode). Devices that only discovery or a USB/serial
// pass would report are handed to the registry through its slots. Serial,
// offline and firmware calls are plain hand-overs that kxctl's tests drive
// through the same facade.

#include "driver/KXDriverTestUtil.h"
#include "kit/KXDeviceKitPrivate.h"
#include "support/KXDebugLogging.h"
#include "tools/KXSimPeers.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include <thread>

using kxsimtest::hostFrame;
using kxsimtest::SimProcess;

namespace {

constexpr int kWaitMs = 10000;
const QString kSimAddress = QStringLiteral("127.0.0.2");
const QString kFirstPath = QStringLiteral("/dev/kx-arrival-1");
const QString kSecondPath = QStringLiteral("/dev/kx-arrival-2");

KXDeviceInfoMap networkInfo(const QString& address, quint16 dataPort, quint16 logPort)
{
    return {{QStringLiteral("Ip Address"), address},
            {QStringLiteral("Tcp Port Number"), QString::number(dataPort)},
            {QStringLiteral("Log Port"), QString::number(logPort)}};
}

// Signals of the facade that carry a device id, recorded as "id" or
// "id:detail" for the one id a test watches.
struct DeviceEvents
{
    DeviceEvents(KXDeviceKit* kit, const QString& id)
    {
        const auto add = [this, id](const QString& device, const QString& event) {
            if (device == id)
                events << event;
        };
        QObject::connect(kit, &KXDeviceKit::deviceConnectChanged, &context,
                         [add](QString d, bool c) { add(d, c ? "up" : "down"); });
        QObject::connect(kit, &KXDeviceKit::barcodeReceived, &context,
                         [this, id](QString d, QByteArray data) {
                             if (d == id)
                                 barcodes += data;
                         });
        QObject::connect(kit, &KXDeviceKit::logDataReceived, &context,
                         [this, id](QString d, QByteArray data) {
                             if (d == id)
                                 log += data;
                         });
        QObject::connect(kit, &KXDeviceKit::logDisconnect, &context,
                         [add](QString d) { add(d, "logend"); });
    }
    bool waitFor(const QString& event, int count = 1)
    {
        if (QTest::qWaitFor([&] { return events.count(event) >= count; }, kWaitMs))
            return true;
        qWarning() << "waiting for" << event << "got" << events;
        return false;
    }

    QObject context;
    // Barcodes are counted by their text: kxsim numbers them device-wide,
    // and several may come up in one piece.
    int barcodeCount() const { return barcodes.count("KXSIM-BARCODE-"); }
    bool waitForBarcodes(int count)
    {
        return QTest::qWaitFor([&] { return barcodeCount() >= count; }, kWaitMs);
    }

    QStringList events;
    QByteArray barcodes;
    QByteArray log;
};

} // namespace

class tst_kitConnections : public QObject
{
    Q_OBJECT

    KXDeviceKit* m_kit = nullptr;
    KXDeviceKitPrivate* m_registry = nullptr;
    SimProcess m_sim;

    void discovered(const QString& id, const KXDeviceInfoMap& info)
    {
        QVERIFY(QMetaObject::invokeMethod(m_registry, "OnBroadcastDeviceUpdated",
                                          Q_ARG(QString, id), Q_ARG(KXDeviceInfoMap, info)));
    }

    // A command answered by kxsim, sent and waited for through the kit.
    int exchange(const QString& id, const QByteArray& text, QByteArray* reply = nullptr)
    {
        QByteArray answer;
        const int code =
            m_kit->sendBinaryMessage(id, hostFrame(1, text), answer, 5000, DevicePortData);
        if (reply)
            *reply = answer;
        return code;
    }

private slots:
    void initTestCase()
    {
        m_kit = KXDeviceKit::Instance();
        m_registry = m_kit->findChild<KXDeviceKitPrivate*>();
        QVERIFY(m_registry);
        QVERIFY(m_sim.start({"--bind", kSimAddress, "--port", "0", "--log-port", "0"}));
        discovered("net", networkInfo(kSimAddress, m_sim.dataPort, m_sim.logPort));
        // A USB pass with two devices that the driver reaches over TCP, each
        // with its own device path.
        auto* pass = new DSEnumDeviceSetting;
        for (const QString& path : {kFirstPath, kSecondPath}) {
            auto* setting = new DSDeviceSetting;
            // The driver's record for a TCP device.
            setting->driverRecord = kxtest::usbRecord(kSimAddress, 11, m_sim.dataPort);
            setting->path = path;
            pass->insert(path == kFirstPath ? "usb-1" : "usb-2", setting);
        }
        QVERIFY(QMetaObject::invokeMethod(m_registry, "onSerialPortDeviceEnumEnd",
                                          Q_ARG(DSEnumDeviceSetting*, pass)));
    }

    void versions()
    {
        QCOMPARE(m_kit->getKitVersion(), 1u);
        QCOMPARE(m_kit->getDataStreamVersion(), uint(KXDS_LIB_VERSION));
    }

    void addDevice()
    {
        SimProcess sim;
        QVERIFY(sim.start({"--bind", "127.0.0.3", "--port", "0", "--log-port", "0"}));
        QSignalSpy updated(m_kit, &KXDeviceKit::deviceUpdated);
        const QString port = QString::number(sim.dataPort);
        QCOMPARE(m_kit->addDevice("127.0.0.3", port), 0);
        QCOMPARE(updated.count(), 1);
        const QString id = updated.at(0).at(0).toString();
        const auto info = updated.at(0).at(1).value<KXDeviceInfoMap>();
        QCOMPARE(info.value("ManuallyAddIPDevice"), "1");
        QCOMPARE(info.value("Ip Address"), "127.0.0.3");
        QCOMPARE(info.value("Tcp Port Number"), port);
        QVERIFY(!info.value("Serial Number").isEmpty());
        QCOMPARE(id, info.value("Serial Number"));
        // Registered but not connected; connectable by its id.
        QVERIFY(!m_kit->isConnected(id));
        QVERIFY(m_kit->connectToDevice(id, ConnectNetwork, false, DevicePortData));
        QCOMPARE(exchange(id, "QRYPDN"), 0);
        QVERIFY(m_kit->disconnectFromDeviceEx(id, DevicePortData));

        QCOMPARE(m_kit->addDevice("127.0.0.3", port), -10);
        QCOMPARE(updated.count(), 1);

        // A refused connection fails at once, without waiting for the link.
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress("127.0.0.4")));
        const QString closedPort = QString::number(closed.serverPort());
        closed.close();
        QCOMPARE(m_kit->addDevice("127.0.0.4", closedPort), -1);

        // A device that takes the link and hangs up in the middle of the
        // first reply fails the query.
        SimProcess hangsUp;
        QVERIFY(hangsUp.start({"--bind", "127.0.0.4", "--port", "0", "--log-port", "0", "--partial",
                               "--close-after", "1"}));
        kxtest::ScopedDebugLogging logging("kx.kit");
        QTest::ignoreMessage(QtDebugMsg,
                             "KXDeviceKitPrivate::addDevice...KXQueryDeviceInfo fail!!!");
        QCOMPARE(m_kit->addDevice("127.0.0.4", QString::number(hangsUp.dataPort)), -1);
        QCOMPARE(updated.count(), 1);
    }

    void connectById_data()
    {
        QTest::addColumn<int>("type");
        // The driver row comes last: the record it makes stays with the
        // device, and later openings of it go through the driver as well.
        QTest::newRow("default") << int(ConnectDefault);
        QTest::newRow("network") << int(ConnectNetwork);
        QTest::newRow("driver over TCP") << int(ConnectDriver);
    }

    void connectById()
    {
        QFETCH(int, type);
        DeviceEvents events(m_kit, "net");
        QVERIFY(m_kit->connectToDevice("net", EConnectType(type), false, DevicePortData));
        QVERIFY(events.waitFor("up"));
        QVERIFY(m_kit->isConnected("net"));

        QByteArray reply;
        QCOMPARE(exchange("net", "QRYPDN", &reply), 0);
        QVERIFY2(reply.contains("QRYPDN"), reply.constData());
        QCOMPARE(exchange("net", "SIMGAP0;SIMBAR1"), 0);
        QVERIFY(events.waitForBarcodes(1));

        QVERIFY(m_kit->disconnectFromDevice("net", DevicePortData));
        QCOMPARE(events.events.last(), "down");
        QVERIFY(!m_kit->isConnected("net"));
    }

    void keepAliveAndLog()
    {
        SimProcess sim;
        QVERIFY(sim.start({"--bind", "127.0.0.5", "--port", "0", "--log-port", "0"}));
        discovered("logged", networkInfo("127.0.0.5", sim.dataPort, sim.logPort));
        DeviceEvents events(m_kit, "logged");
        QVERIFY(m_kit->connectToDevice("logged", ConnectNetwork, false, DevicePortData));
        QVERIFY(m_kit->connectToDevice("logged", ConnectNetwork, false, DevicePortLog));
        m_kit->startKeepAlive("logged", 1100);
        // The device log records every command, keepalives included.
        QVERIFY(QTest::qWaitFor(
            [&] {
                events.log.clear();
                return m_kit->logQuery("logged") && events.log.contains("keep-alive from");
            },
            kWaitMs));
        m_kit->stopKeepAlive("logged");

        // A streamed log arrives under the id while logRecv runs (it blocks
        // its caller until stopped or until the link ends).
        QCOMPARE(exchange("logged", "SIMLOG20"), 0);
        events.log.clear();
        std::thread receiver([&] { m_kit->logRecv("logged"); });
        QVERIFY(QTest::qWaitFor([&] { return events.log.contains("tick"); }, kWaitMs));
        m_kit->stopLogRecv("logged");
        receiver.join();

        std::thread again([&] { m_kit->logRecv("logged"); });
        sim.stop();
        again.join();
        QVERIFY(events.waitFor("logend"));
        QVERIFY(events.waitFor("down"));
        // The log connection says nothing about the data connection.
        const int downs = events.events.count("down");
        QVERIFY(m_kit->disconnectFromDevice("logged", DevicePortLog));
        QVERIFY(m_kit->disconnectFromDevice("logged", DevicePortData));
        QCoreApplication::processEvents();
        QCOMPARE(events.events.count("down"), downs + 1);
    }

    void arrivalNoticesFollowThePath()
    {
        if (!m_kit->connectToDevice("usb-1", ConnectDefault, false, DevicePortData))
            QSKIP("the USB pass was not merged into the registry");
        QVERIFY(m_kit->connectToDevice("usb-2", ConnectDefault, false, DevicePortData));
        QVERIFY(m_kit->connectToDevice("net", ConnectNetwork, false, DevicePortData));
        const auto removed = [&] {
            return QStringList{m_kit->isDeviceRemove("usb-1") ? "1" : "0",
                               m_kit->isDeviceRemove("usb-2") ? "1" : "0",
                               m_kit->isDeviceRemove("net") ? "1" : "0"}
                .join("");
        };
        m_kit->dbtDeviceArrival(false, true, QString()); // a path matches no device
        m_kit->dbtDeviceArrival(false, true, kFirstPath.toUpper());
        QCOMPARE(removed(), "000");
        m_kit->dbtDeviceArrival(false, true, kFirstPath);
        QCOMPARE(removed(), "100");
        m_kit->dbtDeviceArrival(false, true, kSecondPath);
        QCOMPARE(removed(), "110");
        m_kit->dbtDeviceArrival(true, false, kFirstPath);
        QCOMPARE(removed(), "010");
        for (const char* id : {"usb-1", "usb-2", "net"})
            QVERIFY(m_kit->disconnectFromDeviceEx(id, DevicePortData));
    }

    void replacedConnectionFallsSilent()
    {
        DeviceEvents events(m_kit, "net");
        QVERIFY(m_kit->connectToDevice("net", ConnectNetwork, false, DevicePortData));
        // Barcodes asked for on the first link keep coming to it after a
        // second connect has taken the id over.
        QCOMPARE(exchange("net", "SIMGAP100;SIMBAR5"), 0);
        QVERIFY(events.waitForBarcodes(1));
        QVERIFY(m_kit->connectToDevice("net", ConnectNetwork, false, DevicePortData));
        const int before = events.barcodeCount();
        QTest::qWait(800);
        QCOMPARE(events.barcodeCount(), before);
        QVERIFY(before < 5);
        QCOMPARE(exchange("net", "SIMGAP0;SIMBAR1"), 0);
        QVERIFY(events.waitForBarcodes(before + 1));
        // Twice: the second finds nothing and says nothing.
        QVERIFY(m_kit->disconnectFromDevice("net", DevicePortData));
        QVERIFY(!m_kit->disconnectFromDevice("net", DevicePortData));
        QCoreApplication::processEvents();
        QCOMPARE(events.events.count("down"), 1);
    }

    void withoutConnection_data()
    {
        QTest::addColumn<QString>("call");
        QTest::addColumn<QVariant>("expected");
        QTest::newRow("async send") << "sendAsync" << QVariant(QString(QChar(0xFFFD)));
        QTest::newRow("sync send") << "sendSync" << QVariant(-3);
        QTest::newRow("log send") << "sendLog" << QVariant(-3);
        QTest::newRow("isConnected") << "isConnected" << QVariant(false);
        QTest::newRow("isDeviceRemove") << "isDeviceRemove" << QVariant(false);
        QTest::newRow("cancelRequest") << "cancelRequest" << QVariant(false);
        QTest::newRow("setTimeOut_7E01") << "setTimeOut" << QVariant(-1);
        QTest::newRow("logQuery") << "logQuery" << QVariant(false);
        QTest::newRow("decodeImage") << "decodeImage" << QVariant(true);
        QTest::newRow("firmware check") << "check" << QVariant(0);
        QTest::newRow("firmware update") << "update" << QVariant(false);
        QTest::newRow("firmware state") << "state" << QVariant(false);
        QTest::newRow("calls without result") << "voids" << QVariant(true);
        QTest::newRow("disconnect") << "disconnect" << QVariant(false);
        QTest::newRow("disconnectEx") << "disconnectEx" << QVariant(false);
        QTest::newRow("unknown device") << "connectUnknown" << QVariant(false);
        QTest::newRow("invalid connect type") << "connectType7" << QVariant(false);
        QTest::newRow("network connect of a USB device") << "networkOfUsb" << QVariant(false);
        QTest::newRow("network connect without a port") << "networkWithoutPort" << QVariant(false);
        QTest::newRow("handheld of a base without one") << "handheldWithoutGun" << QVariant(false);
    }

    void withoutConnection()
    {
        QFETCH(QString, call);
        QFETCH(QVariant, expected);
        QString id = QStringLiteral("nobody");
        const QByteArray frame = hostFrame(1, "QRYPDN");
        QByteArray out;
        int a = 0, b = 0, c = 0, d = 0;
        uint error = 0;
        discovered("noport", {{"Ip Address", kSimAddress}});
        // A base station without a handheld behind it makes no entry for one.
        discovered("base", {{"Base Som", "1"},
                            {"Gun Product Name", ""},
                            {"Base Ip Address", kSimAddress},
                            {"Gun Tcp Port Number", QString::number(m_sim.dataPort)},
                            {"sub_DEVICEID", "handheld"}});
        const auto connectTo = [&](const QString& device, int type) {
            return QVariant(
                m_kit->connectToDevice(device, EConnectType(type), false, DevicePortData));
        };
        const QHash<QString, std::function<QVariant()>> calls = {
            {"sendAsync",
             [&] {
                 return QVariant(
                     m_kit->sendBinaryMessage(id, frame, nullptr, this, 1000, DevicePortData));
             }},
            {"sendSync",
             [&] {
                 return QVariant(m_kit->sendBinaryMessage(id, frame, out, 1000, DevicePortData));
             }},
            {"sendLog",
             [&] {
                 return QVariant(m_kit->sendBinaryMessage(id, frame, out, 1000, DevicePortLog));
             }},
            {"isConnected", [&] { return QVariant(m_kit->isConnected(id)); }},
            {"isDeviceRemove", [&] { return QVariant(m_kit->isDeviceRemove(id)); }},
            {"cancelRequest",
             [&] { return QVariant(m_kit->cancelRequest(id, "00", DevicePortData)); }},
            {"setTimeOut", [&] { return QVariant(m_kit->setTimeOut_7E01(id, 100)); }},
            {"logQuery", [&] { return QVariant(m_kit->logQuery(id)); }},
            {"decodeImage", [&] { return QVariant(m_kit->decodeImage(id, "img", 1, 1, out, &a)); }},
            {"check", [&] { return QVariant(m_kit->checkUpdateFirmwareInfo(id, "f.bin")); }},
            {"update", [&] { return QVariant(m_kit->updateFirmwareFile(id, "f.bin", 0, &error)); }},
            {"state", [&] { return QVariant(m_kit->getUpdateFirmwareState(id, a, b, c, d)); }},
            {"voids",
             [&] {
                 m_kit->cancelAllRequests(id, DevicePortData);
                 m_kit->startKeepAlive(id, 5000);
                 m_kit->stopKeepAlive(id);
                 m_kit->logRecv(id); // returns at once without a log connection
                 m_kit->stopLogRecv(id);
                 return QVariant(true);
             }},
            {"disconnect",
             [&] { return QVariant(m_kit->disconnectFromDevice(id, DevicePortData)); }},
            {"disconnectEx",
             [&] { return QVariant(m_kit->disconnectFromDeviceEx(id, DevicePortLog)); }},
            {"connectUnknown", [&] { return connectTo(id, ConnectDefault); }},
            {"connectType7", [&] { return connectTo("net", 7); }},
            {"networkOfUsb", [&] { return connectTo("usb-1", ConnectNetwork); }},
            {"networkWithoutPort", [&] { return connectTo("noport", ConnectNetwork); }},
            {"handheldWithoutGun", [&] { return connectTo("handheld", ConnectNetwork); }},
        };
        QSignalSpy changed(m_kit, &KXDeviceKit::deviceConnectChanged);
        QCOMPARE(calls.value(call)(), expected);
        QCOMPARE(changed.count(), 0);
    }
};

QTEST_GUILESS_MAIN(tst_kitConnections)
#include "tst_kitConnections.moc"
