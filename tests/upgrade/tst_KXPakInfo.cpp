#include "KXUpgrade/KXPakInfo.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// Package files are made by kxfw and read by the real driver library.
class tst_KXPakInfo : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    // Makes `name` with kxfw from `args` ("PART" stands for a sample part
    // file); no file at all when `args` is empty.
    QString makeFile(const QString& name, QStringList args)
    {
        const QString path = m_dir.filePath(name);
        if (args.isEmpty())
            return path;
        args.replaceInStrings(QStringLiteral("PART"), m_dir.filePath(QStringLiteral("part")));
        args.insert(1, path);
        if (QProcess::execute(QStringLiteral(KXFW_PATH), args) != 0)
            qFatal("kxfw %s failed", qPrintable(args.join(QLatin1Char(' '))));
        return path;
    }

    static QStringList split(const char* args)
    {
        return QString::fromLatin1(args).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QFile part(m_dir.filePath(QStringLiteral("part")));
        QVERIFY(part.open(QIODevice::WriteOnly));
        part.write(QByteArray(3000, 'p'));
    }

    void describes_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("read");
        QTest::addColumn<QString>("info");
        const char* bin = "bin --part appl:PART --version V1.2 --hardware HW-9 --product Scanner "
                          "--date 2026-01-02 "
                          "--special S7";
        const QString binText =
            QStringLiteral(" version: V1.2\r\n hardwareName: HW-9\r\n productInfo: Scanner\r\n "
                           "date: 2026-01-02\r\n specialInfo: S7\r\n");
        QTest::newRow("bin") << "fw.bin" << split(bin) << true << binText;
        QTest::newRow("upper case BIN") << "FW.BIN" << split(bin) << true << binText;
        QTest::newRow("bin3") << "fw.bin3" << split(bin) << true << binText;
        QTest::newRow("bin4 has no text") << "fw.bin4" << split(bin) << false << "untouched";
        QTest::newRow("pak2")
            << "fw.pak2" << split("pak2 --version F3 --hardware H3 --decoder D9") << true
            << " firmwareVersion: F3\r\n hardwareVersion: H3\r\n decoderVersion: D9\r\n";
        QTest::newRow("nfp") << "fw.nfp"
                             << split("nfp --part boot:PART --part kern:PART --part exfl:PART "
                                      "--version N1 --hardware NH "
                                      "--date 2026-03-04 --device-type 12")
                             << true
                             << " version: N1\r\n hardwareName: NH\r\n date: "
                                "2026-03-04\r\ndevicetype: 12\r\n extend_blocks: 1\r\n"
                                " local_blocks: 2\r\n";
        QTest::newRow("efp") << "fw.efp"
                             << split("efp --version E1 --hardware EH --date 2026-05-06 --cpu ARM9 "
                                      "--product PM --local 3 --extended 4")
                             << true
                             << " version: E1\r\n hardwareName: EH\r\n date: 2026-05-06\r\nCPUMod: "
                                "ARM9\r\nproductMod: PM\r\n"
                                " extend_blocks: 4\r\n local_blocks: 3\r\n";
        QTest::newRow("efp2")
            << "fw.EFP2"
            << split("efp2 --version E2 --hardware H2 --date D2 --cpu M4 --product P2 --blocks 77")
            << true
            << " version: E2\r\n hardwareName: H2\r\n date: D2\r\nCPUMod: M4\r\nproductMod: P2\r\n"
               " blocksNum: 77\r\n";
        const QString emptyNfp =
            QStringLiteral(" version: \r\n hardwareName: \r\n date: \r\ndevicetype: 0\r\n "
                           "extend_blocks: 0\r\n local_blocks: 0\r\n");
        QTest::newRow("missing file") << "none.nfp" << QStringList() << false << emptyNfp;
        QTest::newRow("nfp named bin")
            << "nfp.bin" << split("nfp --part boot:PART") << false
            << QString(binText).replace(QRegularExpression(QStringLiteral(": [^\r]+")),
                                        QStringLiteral(": "));
        QTest::newRow("image without block")
            << "plain.nfp" << split("image --part appl:PART") << false << emptyNfp;
        QTest::newRow("ifp") << "pkg.ifp" << split(bin) << false << "untouched";
    }
    void describes()
    {
        QFETCH(QString, name);
        QFETCH(QStringList, args);
        QFETCH(bool, read);
        QFETCH(QString, info);
        QString out = QStringLiteral("untouched");
        QCOMPARE(KXGetPakInfo(makeFile(name, args), out), read);
        QCOMPARE(out, info);
    }

    void identifies_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("read");
        QTest::addColumn<QStringList>("identity"); // model, hardware, version
        QTest::addColumn<uint>("driverInfo");
        const QStringList untouched = {"m", "h", "v"};
        QTest::newRow("kind 1: hardware")
            << "a.pak" << split("pak --version V --hardware X --decoder D") << true
            << QStringList{"X", "X", "V"} << 0u;
        QTest::newRow("kind 2: product")
            << "a.bin" << split("bin --version V --hardware X --product P") << true
            << QStringList{"P", "X", "V"} << 0u;
        QTest::newRow("kind 2: no product") << "b.bin" << split("bin --version V --hardware X")
                                            << true << QStringList{"X", "X", "V"} << 0u;
        QTest::newRow("kind 2: nothing")
            << "c.bin" << split("bin") << true << QStringList{"", "", ""} << 0u;
        QTest::newRow("kind 3: hardware")
            << "a.nfp" << split("nfp --part appl:PART --version V --hardware X") << true
            << QStringList{"X", "X", "V"} << 0u;
        QTest::newRow("kind 4: product") << "a.efp" << split("efp --hardware X --product P --cpu C")
                                         << true << QStringList{"P", "X", ""} << 0u;
        QTest::newRow("kind 4: no product") << "b.efp" << split("efp --hardware X --cpu C") << true
                                            << QStringList{"X", "X", ""} << 0u;
        QTest::newRow("kind 5: product")
            << "a.efp2" << split("efp2 --hardware X --product Q --cpu C") << true
            << QStringList{"Q", "X", ""} << 0u;
        QTest::newRow("unknown kind")
            << "d.bin" << split("bin --kind 6 --hardware X") << false << untouched << 0u;
        QTest::newRow("missing file") << "none.bin" << QStringList() << false << untouched << 3u;
        QTest::newRow("ifp") << "pkg.ifp" << QStringList() << true << untouched << 0xFFu;
    }
    void identifies()
    {
        QFETCH(QString, name);
        QFETCH(QStringList, args);
        QFETCH(bool, read);
        QFETCH(QStringList, identity);
        QFETCH(uint, driverInfo);
        QString model = QStringLiteral("m"), hardware = QStringLiteral("h"),
                version = QStringLiteral("v");
        uint info = 0xFF;
        QCOMPARE(KXGetPakInfo(makeFile(name, args), model, hardware, version, &info), read);
        QCOMPARE((QStringList{model, hardware, version}), identity);
        QCOMPARE(info, driverInfo);
    }

    // One byte of a good file changed (negative offsets count from the end):
    // the driver refuses what its checksums or rules cover, and only that.
    void damagedFiles_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("offset");
        QTest::addColumn<bool>("read");
        const QStringList nfp = split("nfp --part boot:PART --part exfl:PART --hardware X");
        const QStringList bin = split("bin --part appl:PART --hardware X");
        QTest::newRow("nfp: byte not read") << "n.nfp" << nfp << 40 << false;
        QTest::newRow("nfp: checksum") << "n.nfp" << nfp << 33 << false;
        QTest::newRow("nfp: local count") << "n.nfp" << nfp << 250 << false;
        QTest::newRow("nfp: last byte of the last part") << "n.nfp" << nfp << -1 << false;
        QTest::newRow("bin: block marker") << "b.bin" << bin << -368 - 240 << false;
        QTest::newRow("bin: block payload") << "b.bin" << bin << -368 - 1 << false;
        QTest::newRow("bin: part data") << "b.bin" << bin << 0 << true;
        QTest::newRow("bin: part table") << "b.bin" << bin << -1 << true;
    }
    void damagedFiles()
    {
        QFETCH(QString, name);
        QFETCH(QStringList, args);
        QFETCH(int, offset);
        QFETCH(bool, read);
        QFile file(makeFile(name, args));
        QVERIFY(file.open(QIODevice::ReadWrite));
        QByteArray bytes = file.readAll();
        const int at = offset < 0 ? bytes.size() + offset : offset;
        bytes[at] = char(bytes[at] ^ 0x10);
        QVERIFY(file.seek(0) && file.write(bytes) == bytes.size());
        file.close();
        QString model, hardware, version;
        uint driverInfo = 0xFF;
        QCOMPARE(KXGetPakInfo(file.fileName(), model, hardware, version, &driverInfo), read);
        QCOMPARE(driverInfo, read ? 0u : 2u);
    }

    // kxctl pkg-info on files of its own: every output line, and the exit code.
    void kxctlPkgInfo_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("out");
        QTest::newRow("efp")
            << "k.efp"
            << split("efp --version E1 --hardware EH --date D --cpu C --product PM --local 1")
            << QStringList() << 0
            << "model: PM\nhardware: EH\nversion: E1\n  version: E1\n  hardwareName: EH\n  date: "
               "D\n  CPUMod: C\n"
               "  productMod: PM\n  extend_blocks: 0\n  local_blocks: 1\n";
        QTest::newRow("json")
            << "k.pak" << split("pak --version F --hardware H --decoder D") << split("--json") << 0
            << "{\"driverInfo\":0,\"file\":\"%1\",\"hardware\":\"H\",\"info\":\" firmwareVersion: "
               "F\\r\\n hardwareVersion: H\\r\\n decoderVersion: D\\r\\n\",\"kind\":\"pak\","
               "\"model\":\"H\",\"read\":true,\"version\":\"F\"}\n";
        QTest::newRow("unreadable") << "none.nfp" << QStringList() << QStringList() << 3 << "";
        QTest::newRow("ifp") << "k.ifp" << QStringList() << QStringList() << 2 << "";
    }
    void kxctlPkgInfo()
    {
        QFETCH(QString, name);
        QFETCH(QStringList, args);
        QFETCH(QStringList, options);
        QFETCH(int, code);
        QFETCH(QString, out);
        const QString file = makeFile(name, args);
        QProcess kxctl;
        kxctl.start(QStringLiteral(KXCTL_PATH), QStringList{"pkg-info", file} + options);
        QVERIFY(kxctl.waitForFinished(30000));
        QCOMPARE(kxctl.exitCode(), code);
        QCOMPARE(QString::fromUtf8(kxctl.readAllStandardOutput()), out.arg(file));
    }
};

QTEST_GUILESS_MAIN(tst_KXPakInfo)
#include "tst_KXPakInfo.moc"
