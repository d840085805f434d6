#include "KXUpgrade/IfpPackageHandler.h"
#include "KXUpgrade/lua/LuaFn.h"
#include "upgrade/KXTestZip.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QByteArray kConfig = R"({"model":"KX-7100","minVersion":3})";
const QByteArray kAccepts = "function CheckUpGrade(a, b, c, d) return 0 end";

KXTestZipEntries package(const QByteArray& script = kAccepts, const QByteArray& config = kConfig,
                         const QString& firmware = "firmware.bin")
{
    return {{"upgrade.lua", script}, {"cfg.json", config}, {firmware, "IMAGE"}};
}

QStringList childrenOf(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
}

} // namespace

class tst_IfpPackageHandler : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void modulePath();
    void prepare_data();
    void prepare();
    void prepareTwiceKeepsOnlyTheSecond();
    void checkUpgrade_data();
    void checkUpgrade();

private:
    QString writePackage(const KXTestZipEntries& entries, const QString& name = "pkg.ifp");
    QTemporaryDir m_temp;
    IfpPackageHandler* m_handler = nullptr;
};

QString tst_IfpPackageHandler::writePackage(const KXTestZipEntries& entries, const QString& name)
{
    const QString path = m_temp.filePath("packages/" + name);
    QDir().mkpath(m_temp.filePath("packages"));
    QFile::remove(path);
    return kxWriteZip(path, entries) ? path : QString();
}

void tst_IfpPackageHandler::initTestCase()
{
    QVERIFY(m_temp.isValid());
    // The handler's root lives in the temporary folder; give it our own and
    // leave something behind there, as a crashed earlier run would.
    qputenv("TMPDIR", m_temp.path().toLocal8Bit());
    QVERIFY(QDir().mkpath(m_temp.filePath("KXFirmware/left-over")));
    m_handler = IfpPackageHandler::instance();
    QCOMPARE(m_handler->rootFolder(), m_temp.filePath("KXFirmware"));
    QCOMPARE(childrenOf(m_handler->rootFolder()), QStringList());
    QCOMPARE(IfpPackageHandler::instance(), m_handler);
}

void tst_IfpPackageHandler::modulePath()
{
    // A host's own setting wins and is left alone.
    qputenv("KX_LUA_CPATH", "/host/lib/cjson.so");
    {
        CLuaFn lua;
    }
    QCOMPARE(qgetenv("KX_LUA_CPATH"), QByteArray("/host/lib/cjson.so"));
    // Otherwise it points at the platform's module, which the scripts load.
    qunsetenv("KX_LUA_CPATH");
    CLuaFn lua;
    const QString module = QString::fromLocal8Bit(qgetenv("KX_LUA_CPATH"));
    QVERIFY2(QFileInfo(module).isFile() && module.endsWith("cjson.so"), qPrintable(module));
    QCOMPARE(lua.callFunction("none.lua", "CheckUpGrade", "", "", "", ""), int(CLuaFn::NoState));
}

void tst_IfpPackageHandler::prepare_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<KXTestZipEntries>("entries");
    QTest::addColumn<QString>("suffix"); // empty: refused

    QTest::newRow("plain") << "pkg.ifp" << package() << "bin";
    QTest::newRow("suffix in capitals") << "pkg.IFP" << package() << "bin";
    QTest::newRow("not an ifp") << "pkg.zip" << package() << "";
    QTest::newRow("names in any case")
        << "pkg.ifp"
        << KXTestZipEntries{{"UPGRADE.Lua", kAccepts}, {"Cfg.JSON", kConfig}, {"firmware.NFP", "N"}}
        << "NFP";
    QTest::newRow("in a folder") << "pkg.ifp"
                                 << KXTestZipEntries{{"p/upgrade.lua", kAccepts},
                                                     {"p/cfg.json", kConfig},
                                                     {"p/firmware.img", ""}}
                                 << "img";
    QTest::newRow("later firmware wins")
        << "pkg.ifp" << (package() + KXTestZipEntries{{"firmware.hex", "H"}}) << "hex";
    QTest::newRow("capital F is not firmware")
        << "pkg.ifp" << package(kAccepts, kConfig, "Firmware.bin") << "";
    QTest::newRow("two dots is not firmware")
        << "pkg.ifp" << package(kAccepts, kConfig, "firmware.a.b") << "";
    QTest::newRow("no script") << "pkg.ifp" << package().mid(1) << "";
    QTest::newRow("no configuration")
        << "pkg.ifp" << KXTestZipEntries{package()[0], package()[2]} << "";
    QTest::newRow("empty configuration") << "pkg.ifp" << package(kAccepts, "") << "";
    QTest::newRow("configuration not JSON") << "pkg.ifp" << package(kAccepts, "{model: 1") << "";
    QTest::newRow("hostile entry")
        << "pkg.ifp" << (package() + KXTestZipEntries{{"../../evil", "x"}}) << "";
    QTest::newRow("symlink entry")
        << "pkg.ifp" << (package() + KXTestZipEntries{{"l", "/etc", true}}) << "";
}

void tst_IfpPackageHandler::prepare()
{
    QFETCH(QString, fileName);
    QFETCH(KXTestZipEntries, entries);
    QFETCH(QString, suffix);

    const QString file = writePackage(entries, fileName);
    QVERIFY(!file.isEmpty());
    const bool ifp = fileName.endsWith("ifp", Qt::CaseInsensitive);
    // A file of another kind leaves the prepared package alone.
    QVERIFY(m_handler->prepare(writePackage(package(), "previous.ifp")));
    QCOMPARE(m_handler->prepare(file), !suffix.isEmpty());
    QCOMPARE(m_handler->isPrepared(file), !suffix.isEmpty());
    QCOMPARE(m_handler->isPrepared(m_temp.filePath("packages/previous.ifp")), !ifp);
    if (!ifp)
        return;

    const QStringList folders = childrenOf(m_handler->rootFolder());
    if (suffix.isEmpty()) {
        QCOMPARE(folders, QStringList());
        QVERIFY(!QFileInfo::exists(m_temp.filePath("evil")));
        return;
    }
    QCOMPARE(folders.size(), 1);
    QVERIFY2(QRegularExpression("^[0-9a-f]{32}$").match(folders[0]).hasMatch(),
             qPrintable(folders[0]));
    QCOMPARE(m_handler->firmwareSuffix(), suffix);
    const QString unpacked = m_handler->rootFolder() + '/' + folders[0] + '/';
    for (const QString& path :
         {m_handler->scriptPath(), m_handler->configPath(), m_handler->firmwarePath()}) {
        QVERIFY2(path.startsWith(unpacked) && QFileInfo(path).isFile(), qPrintable(path));
    }
    QCOMPARE(m_handler->configData(), kConfig);
    QCOMPARE(m_handler->configHex(), kConfig.toHex());
    QString model = "kept";
    QVERIFY(m_handler->packageInfo(m_temp.filePath("packages/other.ifp"), model, model, model,
                                   nullptr));
    QCOMPARE(model, QString("kept"));
    QVERIFY(!m_handler->upgrade(nullptr, m_temp.filePath("packages/other.ifp"), nullptr));

    m_handler->cleanup();
    QVERIFY(!m_handler->isPrepared(file));
    QVERIFY(!QFileInfo::exists(m_handler->rootFolder()));
}

void tst_IfpPackageHandler::prepareTwiceKeepsOnlyTheSecond()
{
    const QString file = writePackage(package());
    QVERIFY(m_handler->prepare(file));
    const QStringList first = childrenOf(m_handler->rootFolder());
    QVERIFY(m_handler->prepare(file));
    const QStringList second = childrenOf(m_handler->rootFolder());
    QCOMPARE(first.size(), 1);
    QCOMPARE(second.size(), 1);
    QVERIFY(first != second);
    QVERIFY(m_handler->isPrepared(file));
}

void tst_IfpPackageHandler::checkUpgrade_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QByteArray>("qrysys");
    QTest::addColumn<int>("code"); // 0: accepted

    QTest::newRow("accepts") << kAccepts << QByteArray() << 0;
    QTest::newRow("refuses with its number")
        << QByteArray("function CheckUpGrade() return 17 end") << QByteArray() << 17;
    QTest::newRow("fraction truncates")
        << QByteArray("function CheckUpGrade() return 3.9 end") << QByteArray() << 3;
    QTest::newRow("small negative accepts")
        << QByteArray("function CheckUpGrade() return -0.5 end") << QByteArray() << 0;
    QTest::newRow("numeric string")
        << QByteArray("function CheckUpGrade() return '0' end") << QByteArray() << 608;
    QTest::newRow("no result") << QByteArray("function CheckUpGrade() end") << QByteArray() << 608;
    QTest::newRow("huge number") << QByteArray("function CheckUpGrade() return 1e300 end")
                                 << QByteArray() << 608;
    QTest::newRow("raises an error")
        << QByteArray("function CheckUpGrade() error('no such model') end") << QByteArray() << 607;
    QTest::newRow("does not compile")
        << QByteArray("function CheckUpGrade( return 0 end") << QByteArray() << 606;
    QTest::newRow("no CheckUpGrade")
        << QByteArray("function Check() return 0 end") << QByteArray() << 606;
    QTest::newRow("loops for ever")
        << QByteArray("function CheckUpGrade() while true do end end") << QByteArray() << 609;
    QTest::newRow("loops while loading") << QByteArray("while true do end") << QByteArray() << 609;
    QTest::newRow("catches the stop")
        << QByteArray("function CheckUpGrade() while true do pcall(function() while true do end "
                      "end) end end")
        << QByteArray() << 609;
    QTest::newRow("hides in a coroutine")
        << QByteArray("function CheckUpGrade() while true do coroutine.resume(coroutine.create("
                      "function() while true do end end)) end end")
        << QByteArray() << 609;
    // A library call runs without Lua instructions; memory bounds it.
    QTest::newRow("takes a gigabyte")
        << QByteArray("function CheckUpGrade() return #string.rep('x', 2^30) end") << QByteArray()
        << 607;
    // The arguments arrive as texts, in order, with the full configuration.
    const QByteArray arguments = "function CheckUpGrade(q, b, i, c)\n"
                                 "  if q == 'KX-7100 V3' and b == '' and i == 'ä' and c == '" +
                                 kConfig + "' then return 0 end\n  return 1\nend";
    QTest::newRow("arguments") << arguments << QByteArray("KX-7100 V3") << 0;
    const QByteArray byModel =
        "local cjson = package.loadlib(os.getenv('KX_LUA_CPATH'), 'luaopen_cjson')()\n"
        "function CheckUpGrade(qrysys, basqsy, ifpchk, cfg)\n"
        "  local model = cjson.decode(cfg).model\n"
        "  if string.find(qrysys, model, 1, true) then return 0 end\n"
        "  return 21\n"
        "end";
    QTest::newRow("cjson, model matches") << byModel << QByteArray("Model:KX-7100;Ver:3") << 0;
    QTest::newRow("cjson, other model") << byModel << QByteArray("Model:KX-5200;Ver:3") << 21;
}

void tst_IfpPackageHandler::checkUpgrade()
{
    QFETCH(QByteArray, script);
    QFETCH(QByteArray, qrysys);
    QFETCH(int, code);

    QVERIFY(m_handler->prepare(writePackage(package(script))));
    int result = -1;
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(m_handler->checkUpgrade(qrysys, "", QString("ä").toUtf8(), result), code == 0);
    QCOMPARE(result, code == 0 ? -1 : code);
    // The instruction bound is the only limit on a script; it must be short.
    QVERIFY2(timer.elapsed() < 20000, qPrintable(QString::number(timer.elapsed())));
}

QTEST_GUILESS_MAIN(tst_IfpPackageHandler)
#include "tst_IfpPackageHandler.moc"
