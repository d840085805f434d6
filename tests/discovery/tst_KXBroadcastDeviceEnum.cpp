// Runs only inside a private network namespace (kx_netns.sh): the enumerator
// broadcasts, and the namespace's one veth address keeps that local.

#include "datastream/KXCodecTestUtil.h"
#include "discovery/KXBroadcastDeviceEnum.h"
#include "discovery/KXDiscoveryDatagram.h"
#include "support/KXDebugLogging.h"
#include "support/KXPrivateNetwork.h"

#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QSignalSpy>
#include <QUdpSocket>
#include <QtTest>

#include <list>

using namespace kxtest;
using namespace KXDiscovery;

namespace {

constexpr int kWaitMs = 10000;

QByteArray scannerFields(const QString& mac)
{
    return QStringLiteral("Product Name=KX-1;Serial Number=S-%1;MAC Address=%1;").arg(mac).toUtf8();
}

// The devices' side: hears what the kit broadcasts to port 36510 and answers
// over loopback on the kit's answer port.
class DevicePeer : public QObject
{
public:
    QUdpSocket socket;
    QList<QNetworkDatagram> heard;

    DevicePeer()
    {
        connect(&socket, &QUdpSocket::readyRead, this, [this] {
            while (socket.hasPendingDatagrams())
                heard.append(socket.receiveDatagram());
        });
    }
    bool waitHeard(int count, int ms = kWaitMs)
    {
        return QTest::qWaitFor([&] { return heard.size() >= count; }, ms);
    }
    QByteArray last() const { return heard.isEmpty() ? QByteArray() : heard.last().data(); }
    void answer(quint8 kind, const QByteArray& payload,
                quint16 port = quint16(KXBroadcastDeviceEnum::answerPort()))
    {
        socket.writeDatagram(makeDatagram(kind, payload), QHostAddress::LocalHost, port);
    }
};

// The identifiers the signals of `spy` carried, in order.
QStringList idsOf(const QSignalSpy& spy)
{
    QStringList ids;
    for (const QList<QVariant>& arguments : spy)
        ids.append(arguments.at(0).toString());
    return ids;
}

// The device information the `i`th signal of `spy` carried.
KXDeviceInfoMap infoAt(const QSignalSpy& spy, int i)
{
    return spy.at(i).at(1).value<KXDeviceInfoMap>();
}

} // namespace

class tst_KXBroadcastDeviceEnum : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Started by hand outside tests/support/kx_netns.sh, it would
        // broadcast on a real network.
        QString why;
        if (!kxInPrivateTestNetwork(&why))
            QSKIP(qPrintable(why));
    }
    void init()
    {
        m_peer = std::make_unique<DevicePeer>();
        QVERIFY(m_peer->socket.bind(QHostAddress::AnyIPv4, DevicePort));
        m_enum = std::make_unique<KXBroadcastDeviceEnum>();
    }
    void cleanup()
    {
        m_enum.reset();
        m_peer.reset();
    }

    // The answer port only climbs in a process: the case that takes 36511
    // away comes last.
    void announcesItselfAndReportsDevices()
    {
        ScopedDebugLogging logging("kx.discovery");
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral(
                                             "^bind ok \"198\\.51\\.100\\.1\" \\d+$")));
        QSignalSpy updated(m_enum.get(), &KXBroadcastDeviceEnum::deviceUpdated);
        QVERIFY(startScan());
        QCOMPARE(KXBroadcastDeviceEnum::answerPort(), 36511);
        QCOMPARE(m_peer->heard.size(), 1);
        QCOMPARE(m_peer->last(), bytes("TARVEN\\x10\\x30\\x00\\x00\\x00\\x12Answer Port=36511;"));
        // Sent from the namespace's one broadcast address, never from loopback.
        QCOMPARE(m_peer->heard.first().senderAddress().toString(), QStringLiteral("198.51.100.1"));

        // Then a supplement: what is known wins, what is new is added; one for
        // an unknown device is taken as it comes.
        m_peer->answer(KindDeviceInfo, scannerFields("M1"));
        m_peer->answer(KindSupplement, "MAC Address=M1;Product Name=other;Extra=1;");
        m_peer->answer(KindSupplement, "MAC Address=M9;Product Name=other;Extra=1;");
        QTRY_COMPARE_WITH_TIMEOUT(updated.size(), 3, kWaitMs);
        QCOMPARE(idsOf(updated), (QStringList{"M1", "M1", "M9"}));
        KXDeviceInfoMap scanner{
            {"Product Name", "KX-1"}, {"Serial Number", "S-M1"}, {"MAC Address", "M1"}};
        QCOMPARE(infoAt(updated, 0), scanner);
        scanner.insert("Extra", "1");
        QCOMPARE(infoAt(updated, 1), scanner);
        QCOMPARE(infoAt(updated, 2).value("Product Name"), QStringLiteral("other"));
    }
    void echoRepeatsTheRequest()
    {
        QElapsedTimer clock;
        clock.start();
        QVERIFY(m_enum->startScan(100));
        QVERIFY(m_peer->waitHeard(4));
        QVERIFY2(clock.elapsed() >= 250, "three echoes of 100 ms came too early");
        for (const QNetworkDatagram& datagram : qAsConst(m_peer->heard))
            QCOMPARE(datagram.data(), makeDiscoveryRequest(36511));

        m_enum->stopScan();
        const int afterStop = m_peer->heard.size();
        QTest::qWait(350);
        QCOMPARE(m_peer->heard.size(), afterStop);

        QVERIFY(m_enum->startScan(100));
        QVERIFY(m_peer->waitHeard(afterStop + 1));
        m_enum->setRefreshTime(1);
        clock.restart();
        QVERIFY(m_peer->waitHeard(m_peer->heard.size() + 1));
        QVERIFY2(clock.elapsed() >= 900, "the echo did not move to 1 s");
    }
    void refreshScanResendsTheStoredRequest()
    {
        // Before any start nothing is stored: the datagram is empty.
        m_enum->refreshScan();
        QVERIFY(m_peer->waitHeard(1));
        QCOMPARE(m_peer->last(), QByteArray());

        QSignalSpy updated(m_enum.get(), &KXBroadcastDeviceEnum::deviceUpdated);
        QVERIFY(startScan());
        m_peer->answer(KindDeviceInfo, scannerFields("M1"));
        QTRY_COMPARE_WITH_TIMEOUT(updated.size(), 1, kWaitMs);

        m_enum->refreshScan();
        QVERIFY(m_peer->waitHeard(3));
        QCOMPARE(m_peer->last(), makeDiscoveryRequest(36511));
        // The device was forgotten: its supplement is no longer merged.
        m_peer->answer(KindSupplement, "MAC Address=M1;Extra=1;Filler=xxxxxx;");
        QTRY_COMPARE_WITH_TIMEOUT(updated.size(), 2, kWaitMs);
        QVERIFY(!infoAt(updated, 1).contains("Product Name"));
    }
    void offlineFollowsTheClock_data()
    {
        // Steps, "; " between them: "answer ID T [OFF]" (a reported answer
        // at clock T), "held ID T [OFF]" (an answer the group gate holds
        // back), "check T [OFF]" (the periodic offline check), "alive N",
        // "pausecheck 0|1". OFF lists the devices that go offline in that
        // step ("-" or nothing for none); T is seconds since midnight.
        const auto row = table<QString>({"steps"});
        row("181 s goes offline, 180 s does not",
            "answer A 1000; check 1180; check 1181 A; check 2000");
        row("oldest first, ties by id",
            "answer B 1000; answer A 1000; answer C 1150; check 1281 A,B; check 1330; "
            "check 1331 C");
        row("an answer refreshes and checks the others",
            "answer A 1000; answer B 1000; answer A 1100; answer C 1181 B; check 1280; "
            "check 1281 A");
        row("back after going offline", "answer A 1000; check 1181 A; answer A 1200; check 1381 A");
        row("alive time above 5 only", "alive 5; answer A 1000; check 1006; alive 6; check 1007 A");
        row("paused offline check",
            "answer A 1000; pausecheck 1; check 5000; pausecheck 0; check 5000 A");
        row("held-back answer still keeps alive",
            "answer A 1000; held A 1100; check 1181; check 1281 A");
        // Past midnight the first answer clears the records and is not itself
        // recorded; a reported answer is stored twice, so its second store is.
        row("midnight, held-back answer",
            "answer A 86390; held A 5; check 186; held A 200; check 381 A");
        row("midnight, reported answer", "answer A 86390; answer A 5; check 185; check 186 A");
    }
    void offlineFollowsTheClock()
    {
        QFETCH(QString, steps);
        m_enum->setTimeSource([this] { return m_now; });
        QSignalSpy offline(m_enum.get(), &KXBroadcastDeviceEnum::deviceOffLine);
        // The signal comes once the device table is unlocked, so a slot called
        // directly may use the enumerator (a lock held would hang here).
        connect(
            m_enum.get(), &KXBroadcastDeviceEnum::deviceOffLine, this,
            [this] { m_enum->slot_deviceAlive(); }, Qt::DirectConnection);
        QSignalSpy barrier(m_enum.get(), &KXBroadcastDeviceEnum::deviceNetworkGroup);
        QVERIFY(startScan());

        for (const QString& step : steps.split(QStringLiteral("; "))) {
            const QStringList words = step.split(QLatin1Char(' '));
            const QString& verb = words.at(0);
            const int valueAt =
                verb == QLatin1String("answer") || verb == QLatin1String("held") ? 2 : 1;
            const int value = words.at(valueAt).toInt();
            const QString expected = words.value(valueAt + 1, QStringLiteral("-"));
            offline.clear();
            if (verb == QLatin1String("alive")) {
                m_enum->setCheckAliveTime(value);
            } else if (verb == QLatin1String("pausecheck")) {
                QCOMPARE(m_enum->pauseCheckOffLine(value != 0), value != 0);
            } else if (verb == QLatin1String("check")) {
                m_now = value;
                m_enum->slot_deviceAlive();
            } else {
                m_now = value;
                QByteArray fields = scannerFields(words.at(1));
                if (verb == QLatin1String("held"))
                    fields += "Supp Gr=1;";
                m_peer->answer(KindDeviceInfo, fields);
                // Datagrams are parsed in order: once this result is reported,
                // the answer has been handled.
                m_peer->answer(KindSetGroupResult, "Serial Number=-;MAC Address=-;Ret=0;");
                QVERIFY(barrier.wait(kWaitMs));
            }
            const QString went = idsOf(offline).join(QLatin1Char(','));
            QCOMPARE(went.isEmpty() ? QStringLiteral("-") : went, expected);
        }
    }
    void pauseEnumDropsDatagrams()
    {
        QSignalSpy updated(m_enum.get(), &KXBroadcastDeviceEnum::deviceUpdated);
        QVERIFY(startScan());
        // Connected after the enumerator's own slot.
        QSignalSpy read(m_enum->findChild<QUdpSocket*>(), &QUdpSocket::readyRead);
        QVERIFY(read.isValid());

        QCOMPARE(m_enum->pauseEnum(true), true);
        m_peer->answer(KindDeviceInfo, scannerFields("M1"));
        QVERIFY(read.wait(kWaitMs));
        QCOMPARE(m_enum->pauseEnum(false), false);
        m_peer->answer(KindDeviceInfo, scannerFields("M2"));
        QVERIFY(updated.wait(kWaitMs));
        QCOMPARE(idsOf(updated), QStringList{"M2"});
    }
    // The largest payload a datagram holds goes out; one byte more does not.
    // Each command's kind and the signal of its result are checked end to
    // end, through the kit against kxsim.
    void settingsTextsFitOneDatagram()
    {
        QSignalSpy alias(m_enum.get(), &KXBroadcastDeviceEnum::deviceAliasChanged);
        QVERIFY(startScan());
        const QByteArray text = QByteArray("Serial Number=S1;MAC Address=M1;Answer Port=36511;")
                                    .leftJustified(MaxPayload, 'x');
        QTest::ignoreMessage(QtWarningMsg,
                             "KXBroadcastSender::sendCommand... payload of 2037 bytes refused, a "
                             "datagram holds at most 2036");
        QVERIFY(!m_enum->sendAlias(text.constData(), text.size() + 1));
        QVERIFY(m_enum->sendAlias(text.constData(), text.size()));
        QVERIFY(m_peer->waitHeard(2));
        QCOMPARE(m_peer->heard.size(), 2);
        QCOMPARE(m_peer->last(), makeDatagram(KindSetAlias, text));
        m_peer->answer(KindSetAliasResult, "Serial Number=S1;MAC Address=M1;Ret=4;");
        QVERIFY(alias.wait(kWaitMs));
        QCOMPARE(alias.first(), (QList<QVariant>{"S1", "M1", 4}));
    }
    void burstsOfAnswers()
    {
        constexpr int kDevices = 1000;
        QSignalSpy updated(m_enum.get(), &KXBroadcastDeviceEnum::deviceUpdated);
        QVERIFY(startScan());
        // All sent before this thread reads any.
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < kDevices; ++i)
            m_peer->answer(KindDeviceInfo, scannerFields(QStringLiteral("M%1").arg(i)) +
                                               "Ip Address=198.51.100.77;Tcp Port Number=36520;");
        const qint64 sentMs = clock.elapsed();
        QTRY_COMPARE_WITH_TIMEOUT(updated.size(), kDevices, kWaitMs);
        qInfo("%d answers sent in %lld ms, all reported after %lld ms", kDevices, sentMs,
              clock.elapsed());
        const QStringList ids = idsOf(updated);
        QCOMPARE(QSet<QString>(ids.begin(), ids.end()).size(), kDevices);

        // Another burst is on its way to the parser when the enumerator goes:
        // its records are freed with it (the sanitizer build sees a leak
        // otherwise). No event loop now: the parse thread hands them on, none
        // is parsed.
        QSignalSpy read(m_enum->findChild<QUdpSocket*>(), &QUdpSocket::readyRead);
        for (int i = 0; i < 300; ++i)
            m_peer->answer(KindDeviceInfo, scannerFields(QStringLiteral("N%1").arg(i)));
        QVERIFY(read.wait(kWaitMs));
        QThread::msleep(20);
        m_enum.reset();
    }
    void takenAnswerPortsAreClimbedOver()
    {
        QUdpSocket taken;
        QVERIFY(taken.bind(QHostAddress::AnyIPv4, 36511, QAbstractSocket::DontShareAddress));
        QSignalSpy updated(m_enum.get(), &KXBroadcastDeviceEnum::deviceUpdated);
        QVERIFY(startScan());
        QCOMPARE(KXBroadcastDeviceEnum::answerPort(), 36513);
        QCOMPARE(m_peer->last(), makeDiscoveryRequest(36513));
        m_peer->answer(KindDeviceInfo, scannerFields("M1"));
        QVERIFY(updated.wait(kWaitMs));

        // Every port up to 36600 taken: no socket, and the port stays above.
        m_enum->stopScan();
        std::list<QUdpSocket> all;
        for (quint16 port = 36513; port <= LastAnswerPort; port += 2)
            QVERIFY(all.emplace_back().bind(QHostAddress::AnyIPv4, port,
                                            QAbstractSocket::DontShareAddress));
        QVERIFY(!m_enum->startScan(600000));
        QCOMPARE(KXBroadcastDeviceEnum::answerPort(), 36601);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!m_enum->findChild<QUdpSocket*>());
        all.clear();
        // A later start tries that one port.
        QVERIFY(startScan());
        QCOMPARE(KXBroadcastDeviceEnum::answerPort(), 36601);
    }

private:
    // Starts a scan with a long echo and takes the first request.
    bool startScan()
    {
        const int before = m_peer->heard.size();
        return m_enum->startScan(600000) && m_peer->waitHeard(before + 1);
    }

    std::unique_ptr<DevicePeer> m_peer;
    std::unique_ptr<KXBroadcastDeviceEnum> m_enum;
    int m_now = 0; // the enumerator's clock, where a test sets it
};

QTEST_GUILESS_MAIN(tst_KXBroadcastDeviceEnum)
#include "tst_KXBroadcastDeviceEnum.moc"
