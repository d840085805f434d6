#include "datastream/KXCodecTestUtil.h"
#include "offline/KXOffLineAdaptor.h"
#include "support/KXDebugLogging.h"

#include <QScopeGuard>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <future>
#include <memory>

using namespace std::chrono_literals;
using namespace kxtest;
using FileBuilder = std::function<void(const QString& path)>;
Q_DECLARE_METATYPE(FileBuilder)

namespace {

const QByteArray kAck("\x06"), kNak("\x15"), kEnq("\x05");
const QByteArray kFormats = KXOffLineEngine::dataFormatText().toLatin1();

// Each piece followed by ACK, as replies lay out sub-tag results.
QByteArray acked(std::initializer_list<QByteArray> pieces)
{
    QByteArray text;
    for (const QByteArray& piece : pieces)
        text += piece + kAck;
    return text;
}

// One command text in, the reply text between "@" and the terminator out.
QByteArray ask(KXOffLineAdaptor& device, const QByteArray& text)
{
    QByteArray reply;
    if (device.write(hostFrame("@" + text)))
        device.read_ex(reply, 0, 0, nullptr);
    const QByteArray replyText = reply.mid(7, reply.size() - 9);
    return reply == textFrame("@" + replyText) ? replyText : "bad or no frame: " + reply.toHex();
}

// Writes the bytes to the path it is given, making its folder.
FileBuilder contents(const QByteArray& bytes)
{
    return [bytes](const QString& path) {
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    };
}

QByteArray nested(int depth, const QByteArray& start = "<a>")
{
    return start.repeated(depth) + QByteArray("</a>").repeated(depth);
}

// A small simulated device with one setting per rule worth checking.
struct OfflineFiles
{
    QTemporaryDir dir;
    QString config = dir.filePath(QStringLiteral("DeviceConfiguration.xml"));
    QString offline = dir.filePath(QStringLiteral("Offline.xml"));
    QString page = dir.filePath(QStringLiteral("pages/Page Device Settings.xml"));

    OfflineFiles()
    {
        // Settings as name,allowed values,default,minimum,maximum; missing
        // fields leave their element out, which leaves the value empty.
        const QByteArray settings =
            "DFMQCU DFMADD,,0a;&#13;\n1b DFMCAL LUAQRY,,script LUAADD SCNSPN,0-10,5,0,10 "
            "SCNDBL,0-100,50,0,100 "
            "SCNCMB,0:Off|1:On|5-7,0,10,20 SCNRAD,A:1|B:2,1,x SCNTXT,any,hello QRYSYS,,KX-1 "
            "NETNSP,,off DFMQC,,dropped DUPDUP,,first DUPDUP,,second DLPQSZ,,7";
        const QByteArray tags[] = {"CommandName", "SettingsList", "Default", "Minimum", "Maximum"};
        QByteArray xml = "<?xml version=\"1.0\"?>\n<DeviceConfiguration>\n";
        for (const QByteArray& setting : settings.split(' ')) {
            const QList<QByteArray> fields = setting.split(',');
            xml += "<S>";
            for (int i = 0; i < fields.size(); ++i)
                xml += "<" + tags[i] + "> " + fields[i] + " </" + tags[i] + ">";
            xml += "</S>\n";
        }
        contents(xml + "</DeviceConfiguration>\n")(config);
        contents("<offline><NotSupported><Item id=\" NETNSP \"/></NotSupported>"
                 "<Query><Item id=\"QRYSYS\"/></Query><Other><Item id=\"SCNSPN\"/>"
                 "</Other></offline>")(offline);
        // Items count only inside Group inside Page inside Pages, at any
        // depth; a later item with the same Id wins, across files too.
        contents(
            "<Pages><Page><Group><Item Id='SCNSPN' ControlType='SpinBox'/>"
            "<Item Id='SCNDBL' ControlType='Radio'/>"
            "<Item Id='SCNCMB' ControlType='ComboBox'/>"
            "<Item Id='SCNTXT' ControlType='LineEdit'/><Item Id='DFMQCU' ControlType=''/>"
            "</Group></Page><Page><Item Id='SCNTXT' ControlType='SpinBox'/></Page></Pages>")(page);
        contents("<Pages><Page><Section><Group><Item Id='SCNDBL' ControlType='DoubleSpinBox'/>"
                 "<Item Id='SCNRAD' ControlType='Radio'/></Group></Section></Page></Pages>")(
            dir.filePath(QStringLiteral("pages/1D.xml")));
        contents("not xml at all <<<")(dir.filePath(QStringLiteral("pages/2D.xml")));
    }
};

} // namespace

class tst_KXOffLineAdaptor : public QObject
{
    Q_OBJECT

    std::unique_ptr<OfflineFiles> m_files;
    std::unique_ptr<KXOffLineAdaptor> m_device;

private slots:
    void init()
    {
        m_files = std::make_unique<OfflineFiles>();
        m_device = std::make_unique<KXOffLineAdaptor>();
        QVERIFY(m_device->loadFiles(m_files->config, m_files->offline));
    }

    void answersCommands_data()
    {
        // Commands on separate lines go one after the other; the last one's
        // reply counts.
        const auto row = table<QByteArray, QByteArray>();

        row("range", "SCNSPN^", "SCNSPN0-10" + kAck);
        row("default stays default", "SCNSPN7\nSCNSPN&", "SCNSPN5" + kAck);
        row("spin box takes its maximum", "SCNSPN10\nSCNSPN*", "SCNSPN10" + kAck);
        row("spin box keeps a value above it", "SCNSPN11\nSCNSPN*", "SCNSPN5" + kAck);
        row("spin box empty", "SCNSPN", "SCNSPN" + kNak);
        row("double spin box takes no fraction", "SCNDBL2.5", "SCNDBL2.5" + kNak);
        row("combo key from a range", "SCNCMB6", "SCNCMB6" + kAck);
        row("combo number within bounds", "SCNCMB15", "SCNCMB15" + kAck);
        row("combo neither", "SCNCMB9", "SCNCMB9" + kNak);
        row("radio label is no key", "SCNRADA", "SCNRADA" + kNak);
        row("radio bad bounds count as 0", "SCNRAD0", "SCNRAD0" + kAck);
        row("other control type takes anything", "SCNTXT\nSCNTXT*", "SCNTXT" + kAck);
        row("query-only keeps its value", "QRYSYSABC", "QRYSYSKX-1" + kAck);
        row("not supported still answers", "NETNSP*", "NETNSPoff" + kAck);
        row("unknown command", "XYZABC1", "XYZABC" + kEnq);
        row("buffer size is fixed", "BUFQRY9", "BUFQRY1048576" + kAck);
        row("configured download size is overridden", "DLPQSZ*", "DLPQSZ500" + kAck);
        row("same tag answers by sub-tag", "DFMQCU*,QCU&",
            acked({"DFMQCU" + kFormats, ",QCU" + kFormats}));
        row("first tag is remembered across parts", "SCNSPN*;LUAQRY*;SCNDBL*",
            acked({"SCNSPN5", ";LUAQRYscript", ",DBL50"}));
        row("empty parts and items vanish", ";;SCNSPN*,,;", "SCNSPN5" + kAck);
        row("LUACLR by sub-tag empties the script", "LUAQRY*,CLR\nLUAQRY*", "LUAQRY" + kAck);
        row("LUAADD without parameter empties it", "LUAADD\nLUAQRY*", "LUAQRY" + kAck);
        row("LUAADD with parameter leaves it", "LUAADDx\nLUAQRY*", "LUAQRYscript" + kAck);
        // Pieces go to the format their first digit names (0 without one).
        row("data formats merge", "DFMADD0abc|1xy|9zz|\nDFMADD0def\nDFMADDq\nDFMQCU*",
            "DFMQCU" + QByteArray(kFormats).replace("0:", "0:0abc|0def|q").replace("1:", "1:1xy") +
                kAck);
        // A piece with a line end (only a loaded default can hold one) splits
        // its line, and later pieces count lines after that.
        row("a line end in a piece splits its line", "DFMADD*,ADD4x;DFMQCU*",
            acked({"DFMADD0a;\r\n1b", ",ADD4x",
                   ",QCU" +
                       QByteArray(kFormats).replace("0:", "0:0a;\r\n1b").replace("3:", "3:4x")}));
        row("DFMCAL resets the formats", "DFMADD0abc\nDFMCAL\nDFMQCU*", "DFMQCU" + kFormats + kAck);
        // Whole-text queries: ascending mnemonic order without not supported and
        // query-only settings (nor DFMADD for current values), grouped by the
        // last tag written; defaults are those loaded. They also show that the
        // five-letter DFMQC was dropped and the later DUPDUP won.
        row("all current values", "SCNSPN7\n*",
            acked({"DFMCAL", ",QCU" + kFormats, ";DUPDUPsecond", ";LUAADD", ",QRYscript",
                   ";SCNCMB0", ",DBL50", ",RAD1", ",SPN7", ",TXThello"}) +
                ";");
        row("all ranges", "^",
            acked({"DFMADD", ",CAL", ",QCU", ";DUPDUP", ";LUAADD", ",QRY", ";SCNCMB0:Off|1:On|5-7",
                   ",DBL0-100", ",RADA:1|B:2", ",SPN0-10", ",TXTany"}) +
                ";");
        row("all defaults", "SCNSPN7\n&",
            acked({"DFMADD0a;\r\n1b", ",CAL", ",QCU" + kFormats, ";DUPDUPsecond", ";LUAADD",
                   ",QRYscript", ";SCNCMB0", ",DBL50", ",RAD1", ",SPN5", ",TXThello"}) +
                ";");
    }

    void answersCommands()
    {
        const auto [text, reply] = fetch<QByteArray, QByteArray>();
        QByteArray last;
        for (const QByteArray& command : text.split('\n'))
            last = ask(*m_device, command);
        QCOMPARE(last, reply);
    }

    void loadsFilesAsDescribed()
    {
        // What the replies cannot show: the later page wins for SCNDBL (both
        // refuse 2.5), and an empty ControlType gives no control type.
        QCOMPARE(m_device->engine().setting("SCNDBL")->controlType, QString("DoubleSpinBox"));
        QCOMPARE(m_device->engine().setting("DFMQCU")->controlType, QString());
        QCOMPARE(m_device->portKind(), int(IDataStreamReadWrite::PortKindOffline));
        QVERIFY(m_device->is_open() && m_device->open());

        // Without a folder in the description's path neither it nor the pages
        // load, so every setting is free.
        KXOffLineAdaptor bare;
        QVERIFY(bare.loadFiles(m_files->config, QStringLiteral("Offline.xml")));
        QCOMPARE(ask(bare, "SCNSPN99;QRYSYSnew"), acked({"SCNSPN99", ";QRYSYSnew"}));
    }

    void handsOutRepliesLikeATransport()
    {
        // Writes without a host frame are refused and leave nothing to read.
        for (const QByteArray& data :
             {lengthFrame(0x7E07, "@SCNSPN*"), hostFrame("@SCNSPN*").chopped(2), hostFrame("@")})
            QVERIFY(!m_device->write(data));
        quint8 buffer[4] = {};
        QCOMPARE(m_device->read_data(buffer, 4, 0), 0u);

        // Junk before the frame and any prefix byte are fine.
        QVERIFY(m_device->write("junk" + hostFrame("@SCNSPN*").replace('@', '#')));
        const QByteArray frame = KXOffLineEngine::deviceFrame("SCNSPN5" + kAck);
        QByteArray chunks;
        while (quint8 got = quint8(m_device->read_data(buffer, 4, 1000)))
            chunks.append(reinterpret_cast<char*>(buffer), got);
        QCOMPARE(chunks, frame);

        QVERIFY(m_device->write(hostFrame("@SCNSPN*")) && m_device->write(hostFrame("@LUAQRY*")));
        const QByteArray both = frame + KXOffLineEngine::deviceFrame("LUAQRYscript" + kAck);
        QByteArray out = "replaced";
        QCOMPARE(m_device->read_until(out, 1000, 0, "never", 5, nullptr), quint32(both.size()));
        QCOMPARE(out, both);
        QCOMPARE(m_device->read_ex(out, 1000, 0, nullptr), quint32(0));
        QCOMPARE(out, both); // untouched when nothing is pending

        QVERIFY(m_device->write(hostFrame("@SCNSPN*")));
        QCOMPARE(m_device->clean(3), 0);
        QCOMPARE(m_device->read_ex(out, 0, 0, nullptr), quint32(0));
        QVERIFY(!m_device->update_firmware_file(QStringLiteral("fw.bin"), nullptr, 0, nullptr));

        // Closing drops the settings and the whole-text replies, not what is
        // pending.
        QVERIFY(m_device->write(hostFrame("@SCNSPN*")) && m_device->close());
        QVERIFY(m_device->read_ex(out, 0, 0, nullptr) > 0);
        QCOMPARE(ask(*m_device, "SCNSPN*"), "SCNSPN" + kEnq);
        QCOMPARE(ask(*m_device, "*"), QByteArray(";"));
        QVERIFY(m_device->write(hostFrame("@^"))); // accepted, nothing to answer with
        QCOMPARE(m_device->read_ex(out, 0, 0, nullptr), quint32(0));
    }

    void loadsOrRefusesFiles_data()
    {
        // The file a builder replaces, whether that file's data then arrives,
        // and the reason in the refusal line (none for missing or malformed
        // files, which fail silently).
        const auto row = table<QString, bool, QString, FileBuilder>();
        const char* const deep = "elements nest deeper than 256";
        const FileBuilder missing = [](const QString& path) { QVERIFY(QFile::remove(path)); };
        const FileBuilder fifo = [](const QString& path) {
            QVERIFY(QFile::remove(path) && mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
        };
        const FileBuilder oversized = [](const QString& path) {
            QVERIFY(QFile::resize(path, KXOffLineEngine::MaxFileSize + 1)); // sparse, so cheap
        };

        const auto config = [](const QByteArray& inner) {
            return contents("<DeviceConfiguration>" + inner + "</DeviceConfiguration>");
        };
        const auto page = [](const QByteArray& inner) {
            return contents("<Pages><Page><Group><Item Id='SCNSPN' ControlType='SpinBox'/>" +
                            inner + "</Group></Page></Pages>");
        };
        row("wrong root", "config", false, "",
            contents("<Configuration><Setting/></Configuration>"));
        row("truncated", "config", false, "", contents("<DeviceConfiguration><Setting><Comm"));
        row("control characters, Latin-1, undeclared prefix", "config", true, "",
            config("<x:S y:a='1'><CommandName>SCNSPN</CommandName><Default>\x02&#3;caf\xe9"
                   "</Default></x:S>"));
        row("missing", "config", false, "", missing);
        row("30,000 levels deep", "config", false, deep, config(nested(30000)));
        row("entity expansion", "config", false, "it has a document type declaration",
            contents("<!DOCTYPE DeviceConfiguration [<!ENTITY e '" + QByteArray(1000, 'x') +
                     "'>]><DeviceConfiguration><S><CommandName>SCNSPN</CommandName><Default>" +
                     QByteArray("&e;").repeated(1000) + "</Default></S></DeviceConfiguration>"));
        row("too many nodes", "config", false, "it holds more than 200000 XML nodes",
            config(QByteArray("<a/>").repeated(200000)));
        row("over 16 MiB", "config", false, "larger than 16777216 bytes", oversized);
        row("config FIFO", "config", false, "not a regular file", fifo);
        row("at the depth limit", "page", true, "", page(nested(253)));
        row("one level deeper", "page", false, deep, page(nested(254, "<a b='/>'>")));
        QByteArray items;
        for (int i = 0; i < 20000; ++i)
            items += "<Item Id='X" + QByteArray::number(i) + "' ControlType='SpinBox'>";
        row("20,000 nested items", "page", false, deep,
            page(items + QByteArray("</Item>").repeated(20000)));
        row("20,000 items side by side", "page", true, "", page(items.replace("'>", "'/>")));
        row("page FIFO", "page", false, "not a regular file", fifo);
    }

    void loadsOrRefusesFiles()
    {
        const auto [file, loaded, refusal, build] = fetch<QString, bool, QString, FileBuilder>();
        const QString path = file == "config" ? m_files->config : m_files->page;
        build(path);
        kxtest::ScopedDebugLogging logging("kx.offline");
        if (!refusal.isEmpty())
            QTest::ignoreMessage(QtDebugMsg, qPrintable("Refusing " + path + ": " + refusal));

        // Loaded on a thread of its own, so that a load that hangs fails the
        // test instead of hanging it; opening a FIFO's write end frees a reader
        // stuck on it.
        KXOffLineAdaptor device;
        auto load = std::async(std::launch::async,
                               [&] { return device.loadFiles(m_files->config, m_files->offline); });
        const auto release = qScopeGuard([&] {
            if (load.valid() && load.wait_for(0s) != std::future_status::ready)
                ::close(::open(QFile::encodeName(path).constData(), O_WRONLY | O_NONBLOCK));
        });
        QTRY_VERIFY_WITH_TIMEOUT(load.wait_for(0s) == std::future_status::ready, 10000);

        const bool result = load.get();
        const OfflineSetting* spinBox = device.engine().setting("SCNSPN");
        QCOMPARE(file == "config" ? result : spinBox->controlType == "SpinBox", loaded);
        // Only the configuration decides the result. Without it the device has
        // no settings, not even BUFQRY, and still answers.
        QCOMPARE(result, file != "config" || loaded);
        QCOMPARE(ask(device, "BUFQRY*"), result ? "BUFQRY1048576" + kAck : "BUFQRY" + kEnq);
    }

    void parsesAllowedValues_data()
    {
        // Keys and labels as key=label in key order; past ten keys, the count.
        const auto row = table<QString, QString>();
        row("example, label first too", "0:Off| On : 1 |5-7", "0=Off 1=On 5=5 6=6 7=7");
        row("plain words, empty entries skipped", "| auto ||2|", "2=2 auto=auto");
        row("split at the last dash", "-2-1", "-1=-1 -2=-2 0=0 1=1");
        row("non-numbers count as 0", "a-b", "0=0");
        row("later label wins", "1:One|1:Uno", "1=Uno");
        row("huge range is cut", "0-18446744073709551615", "100000 keys");
        // Ranges over keys that are there already cost work, not memory.
        row("repeated ranges end", QString("0-99998|").repeated(1000), "99999 keys");
    }

    void parsesAllowedValues()
    {
        const auto [text, items] = fetch<QString, QString>();
        QMap<QString, QString> parsed;
        KXOffLineEngine::parseSettingsList(text, parsed);
        QStringList pairs;
        for (auto it = parsed.cbegin(); it != parsed.cend(); ++it)
            pairs << it.key() + '=' + it.value();
        QCOMPARE(parsed.size() > 10 ? QString::number(parsed.size()) + " keys" : pairs.join(' '),
                 items);
    }

    void servesTheSampleDevice()
    {
        const QString folder = QStringLiteral(KX_SOURCE_DIR "/examples/offline");
        KXOffLineAdaptor device;
        QVERIFY(device.loadFiles(folder + "/DeviceConfiguration.xml", folder + "/Offline.xml"));
        // The sample's page files reach the checks: number controls refuse
        // values past their maximum.
        QByteArray tooLarge;
        for (const OfflineSetting* setting : device.engine().settings()) {
            if (setting->controlType == QLatin1String("SpinBox") && !setting->queryOnly)
                tooLarge += setting->commandName.toLatin1() +
                            QByteArray::number(setting->maximum.toLongLong() + 1) + ';';
        }
        const QByteArray replies = ask(device, tooLarge);
        QVERIFY(tooLarge.count(';') > 1 && !replies.contains(kAck));
        QCOMPARE(replies.count(kNak), tooLarge.count(';'));
    }
};

QTEST_GUILESS_MAIN(tst_KXOffLineAdaptor)
#include "tst_KXOffLineAdaptor.moc"
