#include "offline/KXOfflineFixture.h"

#include "offline/KXOffLineAdaptor.h"

#include <KXDataStream.h>

#include <QtTest>

#include <memory>

using kxtest::OfflineFixture;

namespace {

const QByteArray kAck("\x06");
const QByteArray kNak("\x15");
const QByteArray kEnq("\x05");

QByteArray hostFrame(const QByteArray& text)
{
    return QByteArray("\x7E\x01"
                      "0000@",
                      7) +
           text + QByteArray(";\x03", 2);
}

QByteArray formats()
{
    return KXOffLineEngine::dataFormatText().toLatin1();
}

} // namespace

class tst_KXOffLineAdaptor : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void answersCommands_data();
    void answersCommands();
    void keepsValuesBetweenCommands_data();
    void keepsValuesBetweenCommands();
    void mergesDataFormats();
    void answersWholeTextQueries();
    void loadsFilesAsDescribed();
    void refusesWritesWithoutHostFrame_data();
    void refusesWritesWithoutHostFrame();
    void handsOutRepliesLikeATransport();
    void closeDropsSettingsButKeepsReplies();
    void survivesBadFiles_data();
    void survivesBadFiles();
    void parsesAllowedValues_data();
    void parsesAllowedValues();
    void boundsHugeRanges();
    void servesTheSampleDevice();

private:
    QByteArray ask(const QByteArray& text);

    std::unique_ptr<OfflineFixture> m_files;
    std::unique_ptr<KXOffLineAdaptor> m_device;
};

void tst_KXOffLineAdaptor::init()
{
    m_files = std::make_unique<OfflineFixture>();
    m_device = std::make_unique<KXOffLineAdaptor>();
    QVERIFY(m_device->loadFiles(m_files->config, m_files->offline));
}

// One command text in, the reply text between "@" and the terminator out.
QByteArray tst_KXOffLineAdaptor::ask(const QByteArray& text)
{
    if (!m_device->write(hostFrame(text)))
        return "write failed";
    QByteArray reply;
    m_device->read_ex(reply, 0, 0, nullptr);
    if (!reply.startsWith(QByteArray("\x02\x01"
                                     "0000@",
                                     7)) ||
        !reply.endsWith(";\x03"))
        return "bad frame: " + reply.toHex();
    return reply.mid(7, reply.size() - 9);
}

void tst_KXOffLineAdaptor::answersCommands_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("reply");

    QTest::newRow("current value") << QByteArray("SCNSPN*") << "SCNSPN5" + kAck;
    QTest::newRow("range") << QByteArray("SCNSPN^") << "SCNSPN0-10" + kAck;
    QTest::newRow("default") << QByteArray("SCNSPN&") << "SCNSPN5" + kAck;
    QTest::newRow("spin box in range") << QByteArray("SCNSPN10") << "SCNSPN10" + kAck;
    QTest::newRow("spin box above range") << QByteArray("SCNSPN11") << "SCNSPN11" + kNak;
    QTest::newRow("spin box fraction") << QByteArray("SCNSPN1.5") << "SCNSPN1.5" + kNak;
    QTest::newRow("spin box empty") << QByteArray("SCNSPN") << "SCNSPN" + kNak;
    QTest::newRow("double spin box takes no fraction")
        << QByteArray("SCNDBL2.5") << "SCNDBL2.5" + kNak;
    QTest::newRow("combo key from a range") << QByteArray("SCNCMB6") << "SCNCMB6" + kAck;
    QTest::newRow("combo number within bounds") << QByteArray("SCNCMB15") << "SCNCMB15" + kAck;
    QTest::newRow("combo neither") << QByteArray("SCNCMB9") << "SCNCMB9" + kNak;
    QTest::newRow("combo empty") << QByteArray("SCNCMB") << "SCNCMB" + kNak;
    QTest::newRow("radio key from label:key") << QByteArray("SCNRAD2") << "SCNRAD2" + kAck;
    QTest::newRow("radio bad bounds count as 0") << QByteArray("SCNRAD0") << "SCNRAD0" + kAck;
    QTest::newRow("radio label is no key") << QByteArray("SCNRADA") << "SCNRADA" + kNak;
    QTest::newRow("other control type is free") << QByteArray("SCNTXTabc") << "SCNTXTabc" + kAck;
    QTest::newRow("query-only keeps its value") << QByteArray("QRYSYSABC") << "QRYSYSKX-1" + kAck;
    QTest::newRow("not supported still answers") << QByteArray("NETNSP*") << "NETNSPoff" + kAck;
    QTest::newRow("unknown command") << QByteArray("XYZABC1") << "XYZABC" + kEnq;
    QTest::newRow("five-letter entry was dropped") << QByteArray("DFMQC*") << "DFMQC*" + kEnq;
    QTest::newRow("later entry replaces earlier") << QByteArray("DUPDUP*") << "DUPDUPsecond" + kAck;
    QTest::newRow("buffer size is fixed") << QByteArray("BUFQRY9") << "BUFQRY1048576" + kAck;
    QTest::newRow("configured download size is overridden")
        << QByteArray("DLPQSZ*") << "DLPQSZ500" + kAck;
    QTest::newRow("same tag answers by sub-tag")
        << QByteArray("DFMQCU*,QCU&") << "DFMQCU" + formats() + kAck + ",QCU" + formats() + kAck;
    QTest::newRow("other tag keeps full name")
        << QByteArray("SCNSPN*;LUAQRY*") << "SCNSPN5" + kAck + ";LUAQRYscript" + kAck;
    QTest::newRow("first tag is remembered across parts")
        << QByteArray("SCNSPN*;LUAQRY*;SCNDBL*")
        << "SCNSPN5" + kAck + ";LUAQRYscript" + kAck + ",DBL50" + kAck;
    QTest::newRow("empty parts and items vanish") << QByteArray(";;SCNSPN*,,;") << "SCNSPN5" + kAck;
    QTest::newRow("nothing at all") << QByteArray(";,;") << QByteArray();
}

void tst_KXOffLineAdaptor::answersCommands()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, reply);
    QCOMPARE(ask(text), reply);
}

void tst_KXOffLineAdaptor::keepsValuesBetweenCommands_data()
{
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<QByteArray>("then");
    QTest::addColumn<QByteArray>("reply");

    QTest::newRow("accepted value is stored")
        << QByteArray("SCNSPN7") << QByteArray("SCNSPN*") << "SCNSPN7" + kAck;
    QTest::newRow("rejected value is not")
        << QByteArray("SCNSPN11") << QByteArray("SCNSPN*") << "SCNSPN5" + kAck;
    QTest::newRow("free setting takes an empty value")
        << QByteArray("DFMQCU") << QByteArray("DFMQCU*") << "DFMQCU" + kAck;
    QTest::newRow("default stays default")
        << QByteArray("SCNSPN7") << QByteArray("SCNSPN&") << "SCNSPN5" + kAck;
    QTest::newRow("LUACLR by sub-tag empties the script")
        << QByteArray("LUAQRY*,CLR") << QByteArray("LUAQRY*") << "LUAQRY" + kAck;
    QTest::newRow("LUAADD without parameter empties the script")
        << QByteArray("LUAADD") << QByteArray("LUAQRY*") << "LUAQRY" + kAck;
    QTest::newRow("LUAADD with parameter leaves it")
        << QByteArray("LUAADDx") << QByteArray("LUAQRY*") << "LUAQRYscript" + kAck;
}

void tst_KXOffLineAdaptor::keepsValuesBetweenCommands()
{
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, then);
    QFETCH(QByteArray, reply);
    ask(first);
    QCOMPARE(ask(then), reply);
}

void tst_KXOffLineAdaptor::mergesDataFormats()
{
    QCOMPARE(ask("DFMADD0abc|1xy|9zz|"), "DFMADD0abc|1xy|9zz|" + kAck);
    QCOMPARE(ask("DFMQCU*"), "DFMQCU"
                             "Data Format 0:0abc;\r\nData Format 1:1xy;\r\n"
                             "Data Format 2:;\r\nData Format 3:;\r\n" +
                                 kAck);
    ask("DFMADD0def");
    QVERIFY(ask("DFMQCU*").contains("Data Format 0:0abc|0def;\r\n"));
    // A piece that does not start with a digit goes to format 0.
    ask("DFMADDq");
    QVERIFY(ask("DFMQCU*").contains("Data Format 0:0abc|0def|q;\r\n"));
    QCOMPARE(ask("DFMCAL"), "DFMCAL" + kAck);
    QCOMPARE(ask("DFMQCU*"), "DFMQCU" + formats() + kAck);
}

void tst_KXOffLineAdaptor::answersWholeTextQueries()
{
    ask("SCNSPN7");
    // Ascending mnemonic order; not supported, query-only and (for current
    // values) DFMADD are left out; tags group by the last tag written.
    const QByteArray current = ask("*");
    QCOMPARE(current, "DFMCAL" + kAck + ",QCU" + formats() + kAck + ";DUPDUPsecond" + kAck +
                          ";LUAADD" + kAck + ",QRYscript" + kAck + ";SCNCMB0" + kAck + ",DBL50" +
                          kAck + ",RAD1" + kAck + ",SPN7" + kAck + ",TXThello" + kAck + ";");
    const QByteArray range = ask("^");
    QVERIFY(range.startsWith("DFMADD" + kAck + ",CAL" + kAck));
    QVERIFY(range.contains(",SPN0-10" + kAck));
    QVERIFY(!range.contains("BUFQRY") && !range.contains("QRYSYS") && !range.contains("NETNSP"));
    // Defaults are taken at load time.
    QVERIFY(ask("&").contains(",SPN5" + kAck));
}

void tst_KXOffLineAdaptor::loadsFilesAsDescribed()
{
    const KXOffLineEngine& engine = m_device->engine();
    QCOMPARE(engine.setting("SCNSPN")->controlType, QString("SpinBox"));
    QCOMPARE(engine.setting("SCNDBL")->controlType, QString("DoubleSpinBox")); // 1D wins
    QCOMPARE(engine.setting("SCNTXT")->controlType, QString("LineEdit"));      // outside a Group
    QCOMPARE(engine.setting("DFMQCU")->controlType, QString());                // empty type
    QVERIFY(engine.setting("NETNSP")->notSupported);
    QVERIFY(engine.setting("QRYSYS")->queryOnly);
    QVERIFY(engine.setting("BUFQRY")->queryOnly);
    QVERIFY(engine.setting("DLPQSZ")->notSupported);
    QVERIFY(!engine.setting("DFMQC"));
    QCOMPARE(engine.setting("DFMQCU")->defaultValue, KXOffLineEngine::dataFormatText());
    QCOMPARE(m_device->portKind(), int(IDataStreamReadWrite::PortKindOffline));
    QVERIFY(m_device->is_open());
    QVERIFY(m_device->open());
}

void tst_KXOffLineAdaptor::refusesWritesWithoutHostFrame_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::newRow("device frame") << QByteArray("\x02\x01"
                                                "0000@SCNSPN*;\x03",
                                                15);
    QTest::newRow("protocol 7") << QByteArray("\x7E\x07\x0A\x00\x00\x00@SCNSPN*;\x03", 16);
    QTest::newRow("no terminator") << QByteArray("\x7E\x01"
                                                 "0000@SCNSPN*",
                                                 13);
    QTest::newRow("terminator before the text") << QByteArray(";\x03\x7E\x01"
                                                              "0000@",
                                                              9);
    QTest::newRow("empty text") << QByteArray("\x7E\x01"
                                              "0000@;\x03",
                                              9);
    QTest::newRow("empty") << QByteArray();
}

void tst_KXOffLineAdaptor::refusesWritesWithoutHostFrame()
{
    QFETCH(QByteArray, data);
    QVERIFY(!m_device->write(data));
    quint8 byte = 0;
    QCOMPARE(m_device->read_data(&byte, 1, 0), 0u);
}

void tst_KXOffLineAdaptor::handsOutRepliesLikeATransport()
{
    // Junk before the frame and any prefix byte are fine.
    QVERIFY(m_device->write("junk" + hostFrame("SCNSPN*").replace('@', '#')));
    const QByteArray frame = KXOffLineEngine::deviceFrame("SCNSPN5" + kAck);
    quint8 buffer[4] = {};
    QCOMPARE(m_device->read_data(buffer, 4, 1000), 4u);
    QCOMPARE(QByteArray(reinterpret_cast<char*>(buffer), 4), frame.left(4));
    QCOMPARE(m_device->read_data(buffer, 0, 1000), 0u);
    QByteArray rest;
    while (quint8 got = quint8(m_device->read_data(buffer, 4, 1000)))
        rest.append(reinterpret_cast<char*>(buffer), got);
    QCOMPARE(rest, frame.mid(4));

    QVERIFY(m_device->write(hostFrame("SCNSPN*")));
    QVERIFY(m_device->write(hostFrame("LUAQRY*")));
    const QByteArray both = frame + KXOffLineEngine::deviceFrame("LUAQRYscript" + kAck);
    QByteArray out = "replaced";
    QCOMPARE(m_device->read_until(out, 1000, 0, "never", 5, nullptr), quint32(both.size()));
    QCOMPARE(out, both);
    QCOMPARE(m_device->read_ex(out, 1000, 0, nullptr), quint32(0));
    QCOMPARE(out, both); // untouched when nothing is pending

    QVERIFY(m_device->write(hostFrame("SCNSPN*")));
    QCOMPARE(m_device->clean(3), 0);
    QCOMPARE(m_device->read_ex(out, 0, 0, nullptr), quint32(0));
    KXFirmwareProgress progress{};
    uint error = 0;
    QVERIFY(!m_device->update_firmware_file(QStringLiteral("fw.bin"), &progress, 0, &error));
}

void tst_KXOffLineAdaptor::closeDropsSettingsButKeepsReplies()
{
    QVERIFY(m_device->write(hostFrame("SCNSPN*")));
    QVERIFY(m_device->close());
    QByteArray out;
    QVERIFY(m_device->read_ex(out, 0, 0, nullptr) > 0); // pending survives close
    QCOMPARE(ask("SCNSPN*"), "SCNSPN" + kEnq);
    QCOMPARE(ask("*"), QByteArray(";"));
    // Range and default replies are gone: the write succeeds, nothing comes.
    QVERIFY(m_device->write(hostFrame("^")));
    QCOMPARE(m_device->read_ex(out, 0, 0, nullptr), quint32(0));
    // Reloading brings everything back.
    QVERIFY(m_device->loadFiles(m_files->config, m_files->offline));
    QCOMPARE(ask("SCNSPN*"), "SCNSPN5" + kAck);
}

void tst_KXOffLineAdaptor::survivesBadFiles_data()
{
    QTest::addColumn<QByteArray>("configContent");
    QTest::addColumn<bool>("loaded");
    QTest::newRow("wrong root") << QByteArray("<Configuration><Setting/></Configuration>") << false;
    QTest::newRow("not XML") << QByteArray("\x00\xff\xfe garbage <<<<", 17) << false;
    QTest::newRow("truncated") << QByteArray("<DeviceConfiguration><Setting><Comm") << false;
    QTest::newRow("empty root") << QByteArray("<DeviceConfiguration/>") << true;
    QTest::newRow("settings without fields")
        << QByteArray("<DeviceConfiguration><A/><B><CommandName/></B></DeviceConfiguration>")
        << true;
}

void tst_KXOffLineAdaptor::survivesBadFiles()
{
    QFETCH(QByteArray, configContent);
    QFETCH(bool, loaded);
    const QString path = m_files->dir.filePath(QStringLiteral("bad.xml"));
    QVERIFY(kxtest::writeFile(path, configContent));
    KXOffLineAdaptor device;
    QCOMPARE(device.loadFiles(path, m_files->offline), loaded);
    // With or without settings the device answers.
    QVERIFY(device.write(hostFrame("BUFQRY*")));
    QByteArray out;
    QVERIFY(device.read_ex(out, 0, 0, nullptr) > 0);
    QCOMPARE(out.contains("1048576"), loaded);

    // Missing files: no description and no pages means every setting is free.
    KXOffLineAdaptor bare;
    QVERIFY(bare.loadFiles(m_files->config, QStringLiteral("Offline.xml")));
    QVERIFY(bare.write(hostFrame("SCNSPN99;QRYSYSnew")));
    bare.read_ex(out, 0, 0, nullptr);
    QCOMPARE(out, KXOffLineEngine::deviceFrame("SCNSPN99" + kAck + ";QRYSYSnew" + kAck));
    QVERIFY(
        !bare.loadFiles(m_files->dir.filePath(QStringLiteral("missing.xml")), m_files->offline));
}

void tst_KXOffLineAdaptor::parsesAllowedValues_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<QStringList>("labels");

    QTest::newRow("example") << "0:Off|1:On|5-7" << QStringList({"0", "1", "5", "6", "7"})
                             << QStringList({"Off", "On", "5", "6", "7"});
    QTest::newRow("label first") << "Off:0| On : 1 " << QStringList({"0", "1"})
                                 << QStringList({"Off", "On"});
    QTest::newRow("single key") << "|2|" << QStringList({"2"}) << QStringList({"2"});
    QTest::newRow("plain word") << " auto " << QStringList({"auto"}) << QStringList({"auto"});
    QTest::newRow("split at the last dash")
        << "-2-1" << QStringList({"-1", "-2", "0", "1"}) << QStringList({"-1", "-2", "0", "1"});
    QTest::newRow("non-numbers count as 0") << "a-b" << QStringList({"0"}) << QStringList({"0"});
    QTest::newRow("later label wins")
        << "1:One|1:Uno" << QStringList({"1"}) << QStringList({"Uno"});
}

void tst_KXOffLineAdaptor::parsesAllowedValues()
{
    QFETCH(QString, text);
    QFETCH(QStringList, keys);
    QFETCH(QStringList, labels);
    QMap<QString, QString> items;
    KXOffLineEngine::parseSettingsList(text, items);
    QCOMPARE(items.keys(), keys);
    QCOMPARE(items.values(), labels);
}

void tst_KXOffLineAdaptor::boundsHugeRanges()
{
    QMap<QString, QString> items;
    KXOffLineEngine::parseSettingsList(QStringLiteral("0-18446744073709551615"), items);
    QCOMPARE(items.size(), KXOffLineEngine::MaxListKeys);
    // Ranges over keys that are there already cost work, not memory; the
    // parse still ends.
    items.clear();
    QString repeated;
    for (int i = 0; i < 1000; ++i)
        repeated += QStringLiteral("0-99998|");
    KXOffLineEngine::parseSettingsList(repeated, items);
    QCOMPARE(items.size(), 99999);
}

void tst_KXOffLineAdaptor::servesTheSampleDevice()
{
    const QString folder = QStringLiteral(KX_SOURCE_DIR "/examples/offline");
    KXOffLineAdaptor device;
    QVERIFY(device.loadFiles(folder + "/DeviceConfiguration.xml", folder + "/Offline.xml"));
    QVERIFY(device.engine().settings().size() >= 40);
    QVERIFY(device.write(hostFrame("DFMQCU*;QRYSYS*;BUFQRY*;NOTCMD")));
    QByteArray out;
    device.read_ex(out, 0, 0, nullptr);
    KXDataStreamParser reply(out);
    QVERIFY(reply.isValid());
    // Data formats hold ";" CR LF, which the text envelope cannot tell from a
    // command separator; look at the bytes.
    QVERIFY(out.contains("@DFMQCU" + formats() + kAck + ";QRYSYS"));
    QByteArray value;
    QCOMPARE(KXGetDataStreamResult(reply.getTagList(), "QRYSYS", value), DataResultAck);
    QVERIFY(!value.isEmpty());
    QCOMPARE(KXGetDataStreamResult(reply.getTagList(), "BUFQRY", value), DataResultAck);
    QCOMPARE(value, QByteArray("1048576"));
    QCOMPARE(KXGetDataStreamResult(reply.getTagList(), "NOTCMD", value), DataResultEnq);
    // Every page control type is known to the checks: out-of-range values of
    // number controls are refused.
    int numberSettings = 0;
    for (const OfflineSetting* setting : device.engine().settings()) {
        if (setting->controlType != QLatin1String("SpinBox") || setting->queryOnly)
            continue;
        ++numberSettings;
        const QByteArray tooLarge =
            setting->commandName.toLatin1() + QByteArray::number(setting->maximum.toLongLong() + 1);
        QVERIFY(device.write(hostFrame(tooLarge)));
        device.read_ex(out, 0, 0, nullptr);
        QVERIFY2(out.contains(tooLarge + kNak), tooLarge.constData());
    }
    QVERIFY(numberSettings > 0);
}

QTEST_GUILESS_MAIN(tst_KXOffLineAdaptor)
#include "tst_KXOffLineAdaptor.moc"
