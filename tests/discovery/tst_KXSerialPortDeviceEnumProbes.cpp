#include "discovery/KXDeviceInfo.h"
#include "discovery/KXSerialPortDeviceEnum.h"
#include "driver/KXDataStreamDriver.h"

#include <QLibrary>
#include <QtEndian>
#include <QtTest>

#include <memory>

// How a pass probes ports and stops, against a driver that simulates the
// devices in-process (tests/discovery/enum_driver): detection kinds and
// framings that pseudo-terminals cannot show.
class tst_KXSerialPortDeviceEnumProbes : public QObject
{
    Q_OBJECT

    QLibrary m_library{QStringLiteral("KXDataStream")};
    // The simulating driver's own controls.
    void (*m_reset)() = nullptr;
    void (*m_addPort)(quint16 port, quint8 kind, quint32 baudRate, int dataBits,
                      int parity) = nullptr;
    void (*m_addUsb)(const char* name) = nullptr;
    void (*m_onOpen)(void (*hook)(void*), void* context) = nullptr;
    const char* (*m_takeCalls)() = nullptr;

    QStringList takeOpenings()
    {
        return QString::fromLatin1(m_takeCalls()).split('\n', Qt::SkipEmptyParts);
    }

    std::unique_ptr<DSEnumDeviceSetting> runPass(KXSerialPortDeviceEnum& enumerator)
    {
        std::unique_ptr<DSEnumDeviceSetting> result;
        QObject receiver;
        QObject::connect(&enumerator, &KXSerialPortDeviceEnum::deviceEnumEnd, &receiver,
                         [&](DSEnumDeviceSetting* pass) { result.reset(pass); });
        enumerator.start();
        if (enumerator.wait(30000))
            QCoreApplication::processEvents();
        return result;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(m_library.load(), qPrintable(m_library.errorString()));
        m_reset = reinterpret_cast<decltype(m_reset)>(m_library.resolve("kxds_test_reset"));
        m_addPort = reinterpret_cast<decltype(m_addPort)>(m_library.resolve("kxds_test_add_port"));
        m_addUsb = reinterpret_cast<decltype(m_addUsb)>(m_library.resolve("kxds_test_add_usb"));
        m_onOpen = reinterpret_cast<decltype(m_onOpen)>(m_library.resolve("kxds_test_on_open"));
        m_takeCalls =
            reinterpret_cast<decltype(m_takeCalls)>(m_library.resolve("kxds_test_take_calls"));
        QVERIFY2(m_reset && m_addPort && m_addUsb && m_onOpen && m_takeCalls,
                 "not the simulating driver");
    }
    void init() { m_reset(); }

    // One port: the framings it is opened with (data bits/parity), and the
    // record and "COM Type" it is reported with, if at all.
    void probesEachPortAsItsKindNeeds_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("baudRate");
        QTest::addColumn<QString>("answers"); // the framing it takes: any, none, 7/2, ...
        QTest::addColumn<QStringList>("openings");
        QTest::addColumn<QString>("reported"); // its framing as reported, or empty
        QTest::addColumn<QString>("comType");
        const QStringList all = {"8/0", "8/1", "8/2", "7/1", "7/2"};
        QTest::newRow("kind 0 answers") << 0 << 9600 << "any" << QStringList{"8/0"} << "8/0"
                                        << "0";
        QTest::newRow("kind 0, odd parity only")
            << 0 << 9600 << "8/1" << QStringList(all.mid(0, 2)) << "8/1"
            << "0";
        QTest::newRow("kind 0, silent: five probes") << 0 << 9600 << "none" << all << ""
                                                     << "";
        QTest::newRow("kind 8, 7 even only") << 8 << 2400 << "7/2" << all << "7/2"
                                             << "0";
        QTest::newRow("kind 8, 7 odd only")
            << 8 << 2400 << "7/1" << QStringList(all.mid(0, 4)) << "7/1"
            << "0";
        QTest::newRow("kind 1 answers")
            << 1 << 115200 << "any" << QStringList(all.mid(0, 1)) << "8/0"
            << "1";
        QTest::newRow("kind 1, silent: one probe")
            << 1 << 115200 << "none" << QStringList(all.mid(0, 1)) << ""
            << "";
        QTest::newRow("kind 5, silent: one probe")
            << 5 << 9600 << "none" << QStringList(all.mid(0, 1)) << ""
            << "";
        QTest::newRow("baud rate 0: never opened") << 0 << 0 << "any" << QStringList() << ""
                                                   << "";
    }
    void probesEachPortAsItsKindNeeds()
    {
        QFETCH(int, kind);
        QFETCH(int, baudRate);
        QFETCH(QString, answers);
        QFETCH(QStringList, openings);
        QFETCH(QString, reported);
        QFETCH(QString, comType);
        const QStringList framing = answers.split('/');
        m_addPort(1001, quint8(kind), quint32(baudRate),
                  answers == "any"    ? 0
                  : answers == "none" ? -1
                                      : framing.at(0).toInt(),
                  framing.last().toInt());
        KXSerialPortDeviceEnum enumerator;
        const std::unique_ptr<DSEnumDeviceSetting> result = runPass(enumerator);
        QVERIFY(result);
        QStringList expected;
        for (const QString& opening : openings)
            expected.append("open_com 1001 " + opening);
        QCOMPARE(takeOpenings(), expected);
        if (reported.isEmpty()) {
            QVERIFY(result->devices.isEmpty());
            return;
        }
        QCOMPARE(result->devices.keys(), QStringList{"SN1001:COM1001"});
        const DSDeviceSetting* setting = result->devices.first();
        QByteArray record(KXDS_COM_RECORD_SIZE, '\0');
        qToLittleEndian<quint16>(1001, record.data());
        record[2] = char(kind);
        qToLittleEndian<quint32>(quint32(baudRate), record.data() + 4);
        record[8] = char(reported.at(0).digitValue());
        record[10] = char(reported.at(2).digitValue());
        QCOMPARE(setting->serialSettings.toHex(' '), record.toHex(' '));
        QCOMPARE(setting->info.value(KXInfoKey::ComType), comType);
        QCOMPARE(setting->info.value(KXInfoKey::Com), QStringLiteral("1001"));
        QCOMPARE(setting->info.value(KXInfoKey::DeviceType), KXInfoKey::SerialPortDevice);
    }

    // A stop ends the sub-pass it comes in after the device at hand; the
    // other sub-pass sees it at its first device; what was found is reported.
    void stopKeepsWhatWasFound_data()
    {
        QTest::addColumn<QString>("stopAt"); // the opening that stops the pass
        QTest::addColumn<bool>("silent");    // port 1001 never answers
        QTest::addColumn<QStringList>("openings");
        QTest::addColumn<QStringList>("found");
        QTest::newRow("first USB device")
            << "open_usb /dev/kxA 3" << false << QStringList{"open_usb /dev/kxA 3"}
            << QStringList{"SNUSB1"};
        QTest::newRow("second port") << "open_com 1002 8/0" << false
                                     << QStringList{"open_usb /dev/kxA 3", "open_usb /dev/kxB 3",
                                                    "open_com 1001 8/0", "open_com 1002 8/0"}
                                     << QStringList{"SN1001", "SN1002", "SNUSB1", "SNUSB2"};
        QTest::newRow("silent port: no retries after it")
            << "open_com 1001 8/0" << true
            << QStringList{"open_usb /dev/kxA 3", "open_usb /dev/kxB 3", "open_com 1001 8/0"}
            << QStringList{"SNUSB1", "SNUSB2"};
    }
    void stopKeepsWhatWasFound()
    {
        QFETCH(QString, stopAt);
        QFETCH(bool, silent);
        QFETCH(QStringList, openings);
        QFETCH(QStringList, found);
        m_addUsb("/dev/kxA");
        m_addUsb("/dev/kxB");
        for (quint16 port : {1001, 1002, 1003})
            m_addPort(port, 0, 9600, port == 1001 && silent ? -1 : 0, 0);
        KXSerialPortDeviceEnum enumerator;
        struct Stopper
        {
            KXSerialPortDeviceEnum* enumerator;
            QString at;
            tst_KXSerialPortDeviceEnumProbes* test;
        } stopper{&enumerator, stopAt, this};
        // Called on the enumeration thread after each opening is recorded.
        m_onOpen(
            [](void* context) {
                auto* stopper = static_cast<Stopper*>(context);
                const QStringList calls = stopper->test->takeOpenings();
                stopper->test->m_openings += calls;
                if (calls.contains(stopper->at))
                    stopper->enumerator->stopEnum();
            },
            &stopper);
        m_openings.clear();
        const std::unique_ptr<DSEnumDeviceSetting> result = runPass(enumerator);
        QVERIFY(result);
        QCOMPARE(m_openings, openings);
        QStringList serials;
        for (const DSDeviceSetting* setting : qAsConst(result->devices))
            serials.append(setting->info.value(KXInfoKey::SerialNumber));
        serials.sort();
        QCOMPARE(serials, found);
    }

private:
    QStringList m_openings;
};

QTEST_GUILESS_MAIN(tst_KXSerialPortDeviceEnumProbes)
#include "tst_KXSerialPortDeviceEnumProbes.moc"
