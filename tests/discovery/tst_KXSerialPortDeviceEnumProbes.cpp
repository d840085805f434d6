#include "datastream/KXCodecTestUtil.h"
#include "discovery/KXDeviceInfo.h"
#include "discovery/KXSerialPortDeviceEnum.h"
#include "driver/KXDataStreamDriver.h"

#include <QLibrary>
#include <QtTest>

#include <memory>

using kxtest::table;

// How a pass probes ports and stops, against a driver that simulates the
// devices in-process (tests/discovery/enum_driver): detection kinds and
// framings that pseudo-terminals cannot show.
class tst_KXSerialPortDeviceEnumProbes : public QObject
{
    Q_OBJECT

    QLibrary m_library{QStringLiteral("KXDataStream")};
    // The simulating driver's own controls.
    void (*m_addPort)(quint16 port, quint8 kind, quint32 baudRate, int dataBits,
                      int parity) = nullptr;
    void (*m_addUsb)(const char* name) = nullptr;
    void (*m_start)(void (*hook)(const char*, void*), void* context) = nullptr;

    // The pass's openings, in order; the one that stops it.
    QStringList m_openings;
    QString m_stopAt;
    KXSerialPortDeviceEnum* m_enumerator = nullptr;

    // Called on the enumeration thread after each opening is made.
    static void opened(const char* call, void* context)
    {
        auto* test = static_cast<tst_KXSerialPortDeviceEnumProbes*>(context);
        test->m_openings.append(QString::fromLatin1(call));
        if (test->m_openings.last() == test->m_stopAt)
            test->m_enumerator->stopEnum();
    }

    std::unique_ptr<DSEnumDeviceSetting> runPass()
    {
        std::unique_ptr<DSEnumDeviceSetting> result;
        KXSerialPortDeviceEnum enumerator;
        m_enumerator = &enumerator;
        QObject::connect(&enumerator, &KXSerialPortDeviceEnum::deviceEnumEnd, &enumerator,
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
        m_start = reinterpret_cast<decltype(m_start)>(m_library.resolve("kxds_test_start"));
        m_addPort = reinterpret_cast<decltype(m_addPort)>(m_library.resolve("kxds_test_add_port"));
        m_addUsb = reinterpret_cast<decltype(m_addUsb)>(m_library.resolve("kxds_test_add_usb"));
        QVERIFY2(m_start && m_addPort && m_addUsb, "not the simulating driver");
    }
    void init()
    {
        m_start(&opened, this);
        m_openings.clear();
        m_stopAt.clear();
    }

    // One port: the framings it is opened with (data bits/parity), and the
    // record and "COM Type" it is reported with, if at all.
    void probesEachPortAsItsKindNeeds_data()
    {
        // `bits` and `parity`: the framing the device takes (bits 0: any,
        // -1: none); `reported`: its framing as reported, empty for none.
        const auto row = table<int, int, int, int, QStringList, QString, QString>(
            {"kind", "baudRate", "bits", "parity", "openings", "reported", "comType"});
        const QStringList all = {"8/0", "8/1", "8/2", "7/1", "7/2"};
        row("kind 0 answers", 0, 9600, 0, 0, all.mid(0, 1), "8/0", "0");
        row("kind 0, odd parity only", 0, 9600, 8, 1, all.mid(0, 2), "8/1", "0");
        row("kind 0, silent: five probes", 0, 9600, -1, 0, all, "", "");
        row("kind 8, 7 even only", 8, 2400, 7, 2, all, "7/2", "0");
        row("kind 8, 7 odd only", 8, 2400, 7, 1, all.mid(0, 4), "7/1", "0");
        row("kind 1 answers", 1, 115200, 0, 0, all.mid(0, 1), "8/0", "1");
        row("kind 1, silent: one probe", 1, 115200, -1, 0, all.mid(0, 1), "", "");
        row("kind 5, silent: one probe", 5, 9600, -1, 0, all.mid(0, 1), "", "");
        row("baud rate 0: never opened", 0, 0, 0, 0, {}, "", "");
    }
    void probesEachPortAsItsKindNeeds()
    {
        QFETCH(int, kind);
        QFETCH(int, baudRate);
        QFETCH(int, bits);
        QFETCH(int, parity);
        QFETCH(QStringList, openings);
        QFETCH(QString, reported);
        QFETCH(QString, comType);
        m_addPort(1001, quint8(kind), quint32(baudRate), bits, parity);
        const std::unique_ptr<DSEnumDeviceSetting> result = runPass();
        QVERIFY(result);
        QCOMPARE(m_openings.replaceInStrings(QStringLiteral("open_com 1001 "), QString()),
                 openings);
        if (reported.isEmpty()) {
            QVERIFY(result->devices.isEmpty());
            return;
        }
        QCOMPARE(result->devices.keys(), QStringList{"SN1001:COM1001"});
        const DSDeviceSetting* setting = result->devices.first();
        KXDSComRecord record{1001, quint8(kind), 0, quint32(baudRate), 0, 0, 0, 0};
        record.dataBits = quint8(reported.at(0).digitValue());
        record.parity = quint8(reported.at(2).digitValue());
        QCOMPARE(setting->serialSettings.toHex(' '),
                 QByteArray(reinterpret_cast<const char*>(&record), sizeof record).toHex(' '));
        QCOMPARE(setting->info.value(KXInfoKey::ComType), comType);
    }

    // A stop ends the sub-pass it comes in after the device at hand; the
    // other sub-pass sees it at its first device; what was found is reported.
    void stopKeepsWhatWasFound_data()
    {
        // `silent`: port 1001 never answers.
        const auto row = table<QString, bool, QStringList, QStringList>(
            {"stopAt", "silent", "openings", "found"});
        const QStringList usb = {"open_usb /dev/kxA 3", "open_usb /dev/kxB 3"};
        row("first USB device", usb[0], false, usb.mid(0, 1), {"SNUSB1"});
        row("second port", "open_com 1002 8/0", false,
            usb + QStringList{"open_com 1001 8/0", "open_com 1002 8/0"},
            {"SN1001", "SN1002", "SNUSB1", "SNUSB2"});
        row("silent port: no retries after it", "open_com 1001 8/0", true,
            usb + QStringList{"open_com 1001 8/0"}, {"SNUSB1", "SNUSB2"});
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
        m_stopAt = stopAt;
        const std::unique_ptr<DSEnumDeviceSetting> result = runPass();
        QVERIFY(result);
        QCOMPARE(m_openings, openings);
        QStringList serials;
        for (const DSDeviceSetting* setting : qAsConst(result->devices))
            serials.append(setting->info.value(KXInfoKey::SerialNumber));
        serials.sort();
        QCOMPARE(serials, found);
    }
};

QTEST_GUILESS_MAIN(tst_KXSerialPortDeviceEnumProbes)
#include "tst_KXSerialPortDeviceEnumProbes.moc"
