#include "KXConnectorPeers.h"
#include "tools/KXSimPeers.h"
#include "transport/KXSerialPortAdaptor.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <thread>

using namespace kxconntest;
using kxsimtest::SimClient;
using kxsimtest::SimProcess;

namespace {

const QString kHost = QStringLiteral("127.0.0.1");

bool startSim(SimProcess& sim, const QStringList& extra = {}, bool serial = false)
{
    return sim.start(QStringList{"--port", "0", "--log-port", "0"} + extra, serial);
}

// The driver's USB record for `path` (listed through KXDS_EXTRA_USB), or
// empty.
QByteArray usbRecordFor(const QString& path)
{
    const auto enumerate = KXDriver::resolveShared<KXDriver::EnumUsbFn>("kxds_enum_usb_device_ex");
    if (!enumerate)
        return QByteArray();
    const int capacity = 16;
    QByteArray records(capacity * KXDS_USB_RECORD_SIZE, '\0');
    const int count =
        enumerate(reinterpret_cast<uint8_t*>(records.data()), capacity, 0, 0, 0, 0, 0, 0);
    for (int i = 0; i < count; ++i) {
        const QByteArray record = records.mid(i * KXDS_USB_RECORD_SIZE, KXDS_USB_RECORD_SIZE);
        const QString name =
            QString::fromUtf16(reinterpret_cast<const char16_t*>(record.constData()));
        if (record.at(KXDS_USB_TYPE_OFFSET) == KXDS_USB_TYPE_DATAPIPE && name == path)
            return record;
    }
    return QByteArray();
}

KXSerialPortAdaptor::ComRecord comRecord(quint16 port)
{
    KXSerialPortAdaptor::ComRecord record{};
    qToLittleEndian<quint16>(port, record.data());
    qToLittleEndian<quint32>(115200, record.data() + 4);
    record[8] = 8; // data bits; one stop bit, no parity
    return record;
}

} // namespace

// The connector on the links other than a plain data connection: the
// device log port, a serial line through the driver library, and a data
// link under a load of requests that time out, get cancelled or are cut off.
class tst_KXDeviceConnectorPathsLinks : public QObject
{
    Q_OBJECT

private slots:
    void readsAndStreamsTheDeviceLog();
    void reopensASerialLinkAfterArrival_data();
    void reopensASerialLinkAfterArrival();
    void answersEveryRequestOnceUnderLoad();
};

void tst_KXDeviceConnectorPathsLinks::readsAndStreamsTheDeviceLog()
{
    SimProcess sim;
    QVERIFY(startSim(sim, {"--log-lines", "2000"}));

    // The log as a plain client reads it.
    const QByteArray query("\x7E\x01"
                           "0000@LOGQRY;\x03",
                           15);
    SimClient probe;
    QVERIFY(probe.connectTo(sim.logPort));
    probe.send(query);
    QVERIFY(probe.waitFor([&] { return probe.received.size() >= 21; }));
    bool ok = false;
    const int length = probe.received.mid(13, 8).toInt(&ok, 16);
    QVERIFY(ok && length > 2000 * 40);
    QVERIFY(probe.waitFor([&] { return probe.received.size() >= 21 + length; }));

    // Not the usual log port number: the role is set by hand, before the
    // run loop could read the link.
    KXDeviceConnector connector;
    Collector collector(connector);
    connector.setLogConnection(true);
    QVERIFY(connector.connectToDevice(kHost, sim.logPort, false));
    QVERIFY(connector.logQuery());
    QCOMPARE(collector.logBytes().size(), length);
    QCOMPARE(collector.logBytes(), probe.received.mid(21));

    // Continuous reception blocks its caller's thread until stopped.
    QElapsedTimer clock;
    clock.start();
    std::atomic<qint64> returnedAt{-1};
    const auto receive = [&] {
        connector.logRecv();
        returnedAt = clock.elapsed();
    };
    std::thread first(receive);
    SimClient data;
    QVERIFY(data.connectTo(sim.dataPort));
    data.send(command("SIMLOG20")); // stream new lines, a tick every 20 ms
    QTRY_VERIFY(collector.logBytes().count("tick\r\n") >= 3);
    const qint64 stoppedAt = clock.elapsed();
    connector.stopLogRecv();
    QTRY_VERIFY(returnedAt >= 0);
    first.join();
    // Within a read slice or so; a stop is no disconnection.
    QVERIFY2(returnedAt - stoppedAt < 1000, qPrintable(QString::number(returnedAt - stoppedAt)));
    QCoreApplication::processEvents();
    QCOMPARE(collector.logDisconnects, 0);

    // A second reception, ended by the device going away.
    collector.logs.clear();
    returnedAt = -1;
    std::thread second(receive);
    QTRY_VERIFY(collector.logBytes().contains("tick\r\n"));
    sim.stop();
    QTRY_VERIFY_WITH_TIMEOUT(returnedAt >= 0, kWaitMs);
    second.join();
    QTRY_COMPARE(collector.logDisconnects, 1);
    QCoreApplication::processEvents();
    QCOMPARE(collector.logDisconnects, 1);
    connector.stopLogRecv();
}

void tst_KXDeviceConnectorPathsLinks::reopensASerialLinkAfterArrival_data()
{
    QTest::addColumn<bool>("usb");
    QTest::newRow("COM record") << false;
    QTest::newRow("USB record") << true;
}

void tst_KXDeviceConnectorPathsLinks::reopensASerialLinkAfterArrival()
{
    QFETCH(bool, usb);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString link = dir.filePath(QStringLiteral("ttyKX"));
    SimProcess sim;
    QVERIFY(startSim(sim, {"--serial-path", link}, true));
    // The driver reaches the simulator's terminal through the symlink: as
    // port 1001, or as a USB scanner's data pipe.
    qputenv("KXDS_EXTRA_PORTS", QFile::encodeName(link));
    qputenv("KXDS_EXTRA_USB", QFile::encodeName(link));

    KXDeviceConnector connector;
    connector.setTimeOut_7E01(300);
    if (usb) {
        const QByteArray record = usbRecordFor(link);
        QVERIFY(!record.isEmpty());
        QVERIFY(
            connector.openDevice(reinterpret_cast<const quint8*>(record.constData()), 3, nullptr));
    } else {
        QVERIFY(connector.openDevice(comRecord(KXDS_PORT_EXTRA_BASE).data(), nullptr));
    }

    const QByteArray text = command("SCNMOD*");
    const QByteArray prefixed = command("SCNMOD*", DataProtocol7E07);
    QByteArray textAnswer;
    QCOMPARE(connector.sendBinaryMessage(text, textAnswer, 5000), 0);
    QVERIFY(textAnswer.startsWith(textReply("SCNMOD").left(13)));
    QByteArray prefixedAnswer;
    QCOMPARE(connector.sendBinaryMessage(prefixed, prefixedAnswer, 5000), 0);
    QVERIFY(prefixedAnswer.startsWith("\x02\x07"));
    QByteArray reply;

    // The simulator hangs the terminal up and moves the symlink to a new one.
    QCOMPARE(connector.sendBinaryMessage(command("SIMCLS"), reply, 5000),
             int(KXDeviceConnector::ErrorNoReply));
    QTRY_VERIFY(!connector.transport()->is_open());
    QTRY_COMPARE(sim.serialPaths.size(), 2);
    QCOMPARE(connector.sendBinaryMessage(text, reply, 5000), int(KXDeviceConnector::ErrorWrite));

    // Only an arrival notice lets the run loop re-open: at most five
    // attempts, 2 s apart.
    QElapsedTimer timer;
    timer.start();
    connector.deviceArrival(true, false);
    QTRY_VERIFY_WITH_TIMEOUT(connector.transport()->is_open(), 12000);
    QVERIFY2(timer.elapsed() < 12000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(connector.sendBinaryMessage(text, reply, 5000), 0);
    QCOMPARE(reply, textAnswer);
    QCOMPARE(connector.sendBinaryMessage(prefixed, reply, 5000), 0);
    QCOMPARE(reply, prefixedAnswer);
    connector.disconnectDevice();
    qunsetenv("KXDS_EXTRA_PORTS");
    qunsetenv("KXDS_EXTRA_USB");
}

void tst_KXDeviceConnectorPathsLinks::answersEveryRequestOnceUnderLoad()
{
    SimProcess sim;
    QVERIFY(startSim(sim));
    KXDeviceConnector connector;
    QVERIFY(connector.connectToDevice(kHost, sim.dataPort, false));
    QByteArray reply;
    // Every reply comes 15 ms late, so many time-outs below run out first.
    QCOMPARE(connector.sendBinaryMessage(command("SIMDLY15"), reply, 5000), 0);

    struct Call
    {
        int code;
        QObject* context;
        bool contextGone; // the doomed context had been deleted by then
    };
    QHash<QString, QList<Call>> calls;
    QStringList ids; // requests with a callback, up to the disconnection
    QHash<QString, const void*> contextOf;
    QSet<QString> silent;   // cancelled without a call
    QSet<QString> notified; // cancelled with a call
    int notRunning = 0;
    int notRunningExpected = 0;
    QObject context;
    auto* doomed = new QObject;
    const void* doomedAddress = doomed;
    bool doomedGone = false;
    const KXReplyCallback callback = [&](const QString& id, int code, const QByteArray&,
                                         QObject* ctx) {
        if (id.isEmpty())
            notRunning += code == KXDeviceConnector::ErrorNotRunning;
        else
            calls[id].append({code, ctx, doomedGone});
    };
    const auto outstanding = [&] {
        int open = 0;
        for (const QString& id : qAsConst(ids))
            open += !calls.contains(id) && !silent.contains(id);
        return open;
    };

    const QByteArray requests[] = {command("SCNMOD*"), command("SCNMOD*", DataProtocol7E07),
                                   QByteArray("\x7E\x01"
                                              "0000!SCNMOD;\x03",
                                              15)}; // not a valid command
    QRandomGenerator random(20240611);
    const int total = 10000;
    const int doomAt = 3500;
    const int cancelAllAt = 5000;
    const int disconnectAt = 7500;
    for (int i = 0; i < total; ++i) {
        const int kind = int(random.bounded(20));
        const QByteArray& data = requests[kind < 12 ? 0 : kind < 18 ? 1 : 2];
        const bool withCallback = random.bounded(20) != 0;
        QObject* ctx = nullptr;
        switch (random.bounded(3)) {
        case 0:
            ctx = &context;
            break;
        case 1:
            ctx = doomedGone ? nullptr : doomed;
            break;
        }
        const int timeout = 5 + int(random.bounded(150));
        const QString id = connector.sendBinaryMessage(
            data, withCallback ? callback : KXReplyCallback(), ctx, timeout);
        if (i > disconnectAt) {
            QVERIFY(id.isEmpty()); // answered at once with -3
            notRunningExpected += withCallback;
            continue;
        }
        QCOMPARE(id.size(), 32);
        if (withCallback) {
            ids.append(id);
            contextOf.insert(id, ctx);
        }
        if (!ids.isEmpty() && random.bounded(8) == 0) {
            const QString victim =
                ids.at(ids.size() - 1 - int(random.bounded(qMin(50, ids.size()))));
            const bool notify = random.bounded(2) == 0;
            const bool answered = calls.contains(victim) || silent.contains(victim);
            if (connector.cancelRequest(victim, notify)) {
                QVERIFY(!answered);
                (notify ? notified : silent).insert(victim);
            }
        }
        if (i == doomAt) {
            delete doomed;
            doomedGone = true;
        }
        if (i == cancelAllAt) {
            // Calls reach this thread only through its event loop, so the
            // requests open now are exactly those cancelled.
            for (const QString& open : qAsConst(ids)) {
                if (!calls.contains(open))
                    silent.insert(open);
            }
            connector.cancelAllRequests();
        }
        if (i == disconnectAt)
            QVERIFY(connector.disconnectDevice());
        if (i % 100 == 99) // let replies and time-outs catch up
            QTRY_VERIFY_WITH_TIMEOUT(outstanding() <= 10, kWaitMs);
    }
    QTRY_COMPARE_WITH_TIMEOUT(outstanding(), 0, kWaitMs);
    // Every time-out has run out after this (the longest is 154 ms); none may
    // add a second call.
    QTest::qWait(300);

    const QSet<int> allowed{KXDeviceConnector::ErrorNone,       KXDeviceConnector::ErrorNoReply,
                            KXDeviceConnector::ErrorWrite,      KXDeviceConnector::ErrorBadCommand,
                            KXDeviceConnector::ErrorBadReply,   KXDeviceConnector::ErrorTimeout,
                            KXDeviceConnector::ErrorNotRunning, KXDeviceConnector::ErrorCancelled};
    QSet<int> seen;
    for (const QString& id : qAsConst(ids)) {
        const QList<Call> got = calls.value(id);
        if (silent.contains(id)) {
            QVERIFY(got.isEmpty());
            continue;
        }
        QCOMPARE(got.size(), 1);
        const Call& call = got.first();
        seen.insert(call.code);
        QVERIFY2(allowed.contains(call.code), qPrintable(QString::number(call.code)));
        if (notified.contains(id))
            QCOMPARE(call.code, int(KXDeviceConnector::ErrorCancelled));
        // The context given, or null once it is gone.
        const void* given = contextOf.value(id);
        if (given == doomedAddress && call.contextGone)
            QCOMPARE(call.context, nullptr);
        else
            QCOMPARE(static_cast<const void*>(call.context), given);
    }
    QCOMPARE(notRunning, notRunningExpected);
    // The load reached every outcome it is built for.
    for (int code : {0, -2, -5, -22})
        QVERIFY2(seen.contains(code), qPrintable(QString::number(code)));
}

QTEST_GUILESS_MAIN(tst_KXDeviceConnectorPathsLinks)
#include "tst_KXDeviceConnectorPathsLinks.moc"
