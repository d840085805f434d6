#include "KXConnectorPeers.h"
#include "tools/KXSimPeers.h"
#include "transport/KXTransportChecks.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <cstring>
#include <thread>

using namespace kxconntest;
using kxsimtest::SimClient;
using kxsimtest::SimProcess;

namespace {

bool startSim(SimProcess& sim, const QStringList& extra = {}, bool serial = false)
{
    return sim.start(QStringList{"--port", "0", "--log-port", "0"} + extra, serial);
}

} // namespace

// The connector on whole links: the device log port, a serial line through
// the driver library, a link that drops, and a data link under a load of
// requests and unsolicited data, mostly against the kxsim simulator.
class tst_KXDeviceConnectorPathsLinks : public QObject
{
    Q_OBJECT

private slots:
    void readsAndStreamsTheDeviceLog()
    {
        SimProcess sim;
        QVERIFY(startSim(sim, {"--log-lines", "2000"}));

        // The log as a plain client reads it.
        SimClient probe;
        QVERIFY(probe.connectTo(sim.logPort));
        const QByteArray log = probe.queryLog();
        QVERIFY2(log.size() > 2000 * 40, log.left(40).constData());

        // Not the usual log port number: the role is set by hand, before the
        // run loop could read the link.
        KXDeviceConnector connector;
        Collector collector(connector);
        connector.setLogConnection(true);
        QVERIFY(connector.connectToDevice(kLoopback, sim.logPort, false));
        QVERIFY(connector.logQuery());
        QCOMPARE(collector.logBytes(), log);

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
        QVERIFY2(returnedAt - stoppedAt < 1000,
                 qPrintable(QString::number(returnedAt - stoppedAt)));
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

    void droppedLinksComeBack_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("TCP: the transport reconnects") << QStringLiteral("tcp");
        QTest::newRow("COM record: re-opened after arrival") << QStringLiteral("com");
        QTest::newRow("USB record: re-opened after arrival") << QStringLiteral("usb");
    }

    void droppedLinksComeBack()
    {
        QFETCH(QString, kind);

        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(QStringLiteral("ttyKX"));
        SimProcess sim;
        QVERIFY(startSim(sim, {"--serial-path", path}, true));
        qputenv("KXDS_EXTRA_PORTS", QFile::encodeName(path));
        KXDeviceConnector connector;
        connector.setTimeOut_7E01(300);
        // The driver reaches the simulator's terminal through the symlink: as
        // port 1001, or as a USB scanner's data pipe.
        if (kind == "tcp")
            QVERIFY(connector.connectToDevice(kLoopback, sim.dataPort, true));
        else if (kind == "usb")
            QVERIFY(connector.openDevice(kxtest::usbRecord(path).data(), 3, nullptr));
        else
            QVERIFY(connector.openDevice(kxtest::comRecord().data(), nullptr));

        const QByteArray requests[] = {command("SCNMOD*"), command("SCNMOD*", DataProtocol7E07)};
        QByteArray answers[2];
        for (int i = 0; i < 2; ++i)
            QCOMPARE(connector.sendBinaryMessage(requests[i], answers[i], 5000), 0);
        QVERIFY(answers[0].startsWith(textReply("SCNMOD").left(13)));
        QVERIFY(answers[1].startsWith("\x02\x07"));

        // The simulator hangs up instead of answering (and moves the symlink to
        // a new terminal); writes fail until the link is back.
        QByteArray reply;
        QCOMPARE(connector.sendBinaryMessage(command("SIMCLS"), reply, 5000),
                 int(KXDeviceConnector::ErrorNoReply));
        QTRY_VERIFY(!connector.transport()->is_open());
        for (const QByteArray& data : {requests[0], requests[1], QByteArray("raw")})
            QCOMPARE(connector.sendBinaryMessage(data, reply, 5000),
                     int(KXDeviceConnector::ErrorWrite));

        // TCP tries again every 5 s. A serial link is re-opened by the run loop,
        // only after an arrival notice: at most five attempts, 2 s apart.
        if (kind != "tcp") {
            QTRY_COMPARE(sim.serialPaths.size(), 2);
            connector.deviceArrival(true, false);
        }
        QTRY_VERIFY_WITH_TIMEOUT(connector.transport()->is_open(), 12000);
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(connector.sendBinaryMessage(requests[i], reply, 5000), 0);
            QCOMPARE(reply, answers[i]);
        }
        qunsetenv("KXDS_EXTRA_PORTS");
    }

    void keepsUnsolicitedDataApartFromReplies()
    {
        SimProcess sim;
        QVERIFY(startSim(sim, {"--gap", "5"}));
        KXDeviceConnector connector;
        Collector collector(connector);
        QVERIFY(connector.connectToDevice(kLoopback, sim.dataPort, false));

        // The replies as they come without unsolicited data.
        const QByteArray requests[] = {command("SCNMOD*"), command("SCNMOD*", DataProtocol7E07)};
        QByteArray expected[2];
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(connector.sendBinaryMessage(requests[i], expected[i], 5000), 0);
            QVERIFY(expected[i].contains("@SCNMOD") && expected[i].endsWith("\x06;\x03"));
        }

        // Barcodes one by one, messages in two pieces, then both in one burst;
        // each numbered in the order it is sent.
        QByteArray reply;
        QCOMPARE(connector.sendBinaryMessage(command("SIMBAR10;SIMMSG10;SIMMIX10"), reply, 5000),
                 0);
        QByteArray barcodes;
        for (int i = 1; i <= 20; ++i)
            barcodes += "KXSIM-BARCODE-" + QByteArray::number(i).rightJustified(4, '0') + "\r\n";
        const auto allArrived = [&] {
            return collector.messages.size() == 20 && collector.barcodeBytes() == barcodes;
        };

        // Requests keep being answered while the unsolicited data comes.
        int sent = 0;
        for (; !allArrived() && sent < 2000; ++sent) {
            QCOMPARE(connector.sendBinaryMessage(requests[sent % 2], reply, 5000), 0);
            QCOMPARE(reply, expected[sent % 2]);
        }
        QVERIFY2(sent >= 3, qPrintable(QString::number(sent)));
        QTRY_VERIFY2(allArrived(),
                     qPrintable(QStringLiteral("%1 messages, barcode bytes: %2")
                                    .arg(collector.messages.size())
                                    .arg(QString::fromLatin1(collector.barcodeBytes()))));
        for (int i = 0; i < collector.messages.size(); ++i) {
            const QByteArray& message = collector.messages.at(i);
            QVERIFY(message.startsWith("\x02\x08") && message.endsWith(kTerminator));
            QCOMPARE(message.mid(6, 25),
                     "@RUNDATKXSIM-MESSAGE-" + QByteArray::number(i + 1).rightJustified(4, '0'));
        }
    }

    void answersEveryRequestOnceUnderLoad()
    {
        SimProcess sim;
        QVERIFY(startSim(sim));
        KXDeviceConnector connector;
        QVERIFY(connector.connectToDevice(kLoopback, sim.dataPort, false));
        QByteArray reply;
        // Every reply comes 5 ms late, so many time-outs below run out first.
        QCOMPARE(connector.sendBinaryMessage(command("SIMDLY5"), reply, 5000), 0);

        QHash<QString, QVector<int>> codes; // the calls each request got
        QStringList ids;                    // requests with a callback, while running
        QSet<QString> silent;               // cancelled without a call
        QSet<QString> notified;             // cancelled with a call
        int stoppedCalls = 0;
        const KXReplyCallback callback = [&](const QString& id, int code, const QByteArray&,
                                             QObject*) { codes[id].append(code); };
        const auto outstanding = [&] {
            return std::count_if(ids.begin(), ids.end(), [&](const QString& id) {
                return !codes.contains(id) && !silent.contains(id);
            });
        };

        const QByteArray requests[] = {command("SCNMOD*"), command("SCNMOD*", DataProtocol7E07),
                                       command("SCNMOD*").replace('#', '!')}; // not a valid command
        QRandomGenerator random(20240611);
        const int total = 3000;
        const int cancelAllAt = 1500;
        const int disconnectAt = 2250;
        for (int i = 0; i < total; ++i) {
            const int kind = int(random.bounded(20));
            const QByteArray& data = requests[kind < 12 ? 0 : kind < 18 ? 1 : 2];
            const bool withCallback = random.bounded(20) != 0;
            const QString id =
                connector.sendBinaryMessage(data, withCallback ? callback : KXReplyCallback(),
                                            nullptr, 5 + int(random.bounded(60)));
            QCOMPARE(id.size(), i > disconnectAt ? 0 : 32);
            stoppedCalls += i > disconnectAt && withCallback;
            if (withCallback && !id.isEmpty())
                ids.append(id);
            if (!ids.isEmpty() && random.bounded(8) == 0) {
                const QString victim =
                    ids.at(ids.size() - 1 - int(random.bounded(qMin(50, ids.size()))));
                const bool notify = random.bounded(2) == 0;
                const bool answered = codes.contains(victim) || silent.contains(victim);
                if (connector.cancelRequest(victim, notify)) {
                    QVERIFY(!answered);
                    (notify ? notified : silent).insert(victim);
                }
            }
            if (i == cancelAllAt) {
                // Calls reach this thread only through its event loop, so the
                // requests open now are exactly those cancelled.
                for (const QString& open : qAsConst(ids)) {
                    if (!codes.contains(open))
                        silent.insert(open);
                }
                connector.cancelAllRequests();
            }
            if (i == disconnectAt)
                QVERIFY(connector.disconnectDevice());
            if (i % 100 == 99) // let replies and time-outs catch up
                QVERIFY(QTest::qWaitFor([&] { return outstanding() <= 10; }, kWaitMs));
        }
        QTRY_COMPARE_WITH_TIMEOUT(outstanding(), 0, kWaitMs);
        // Every time-out has run out after this (the longest is 64 ms); none may
        // add a second call.
        QTest::qWait(200);

        QSet<int> seen;
        for (const QString& id : qAsConst(ids)) {
            const QVector<int> got = codes.value(id);
            QCOMPARE(got.size(), silent.contains(id) ? 0 : 1);
            if (!got.isEmpty())
                seen.insert(got.first());
            if (notified.contains(id))
                QCOMPARE(got.first(), int(KXDeviceConnector::ErrorCancelled));
        }
        // Once stopped, each request is answered at once with -3.
        QCOMPARE(codes.value(QString()),
                 QVector<int>(stoppedCalls, KXDeviceConnector::ErrorNotRunning));
        // Every outcome the load is built for, and no other.
        QCOMPARE((seen - QSet<int>{-1, -20, -23}), (QSet<int>{0, -2, -5, -22}));
    }
};

QTEST_GUILESS_MAIN(tst_KXDeviceConnectorPathsLinks)
#include "tst_KXDeviceConnectorPathsLinks.moc"
