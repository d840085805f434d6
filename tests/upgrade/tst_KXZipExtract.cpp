#include "KXUpgrade/KXZipExtract.h"
#include "upgrade/KXTestZip.h"

#include <QBuffer>
#include <QDirIterator>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(KXZipScanResult)

namespace {

// Small limits so the bombs stay small; the default limits are the same code.
const KXZipLimits kLimits{8, 1024 * 1024};

KXTestZipEntry file(const QString& name, const QByteArray& data = "x")
{
    return {name, data};
}

// Everything below `folder`, as paths relative to it.
QStringList listTree(const QString& folder)
{
    QStringList found;
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        found.append(QDir(folder).relativeFilePath(it.next()));
    found.sort();
    return found;
}

} // namespace

class tst_KXZipExtract : public QObject
{
    Q_OBJECT

private slots:
    void extract_data();
    void extract();
    void damagedEntryFailsTheArchive();
};

void tst_KXZipExtract::extract_data()
{
    QTest::addColumn<KXTestZipEntries>("entries");
    QTest::addColumn<KXZipScanResult>("scan");
    // Files written, relative to the target folder, in archive order.
    QTest::addColumn<QStringList>("written");

    using R = KXZipScanResult;
    const QByteArray zeros(kLimits.maxTotalSize + 1, '\0');
    const QByteArray half(kLimits.maxTotalSize / 2 + 1, '\0');

    QTest::newRow("files in folders") << KXTestZipEntries{file("a.txt", "alpha"), file("d/e/b.bin")}
                                      << R::Ok << QStringList{"a.txt", "d/e/b.bin"};
    QTest::newRow("folder entries")
        << KXTestZipEntries{file("d/"), file("d/c"), file("e/")} << R::Ok << QStringList{"d/c"};
    QTest::newRow("empty file") << KXTestZipEntries{file("cfg.json", "")} << R::Ok
                                << QStringList{"cfg.json"};
    QTest::newRow("absolute") << KXTestZipEntries{file("ok"), file("/tmp/kx-evil")} << R::UnsafeName
                              << QStringList();
    QTest::newRow("parent") << KXTestZipEntries{file("ok"), file("../kx-evil")} << R::UnsafeName
                            << QStringList();
    QTest::newRow("parent inside")
        << KXTestZipEntries{file("a/../../kx-evil")} << R::UnsafeName << QStringList();
    QTest::newRow("dots in a name")
        << KXTestZipEntries{file("firmware..bin")} << R::UnsafeName << QStringList();
    QTest::newRow("backslash") << KXTestZipEntries{file("a\\kx-evil")} << R::UnsafeName
                               << QStringList();
    QTest::newRow("empty piece") << KXTestZipEntries{file("a//b")} << R::UnsafeName
                                 << QStringList();
    QTest::newRow("dot piece") << KXTestZipEntries{file("./a")} << R::UnsafeName << QStringList();
    QTest::newRow("control character")
        << KXTestZipEntries{file("a\nb")} << R::UnsafeName << QStringList();
    QTest::newRow("symlink out") << KXTestZipEntries{{"l", "/tmp", true}} << R::Symlink
                                 << QStringList();
    QTest::newRow("write through symlink")
        << KXTestZipEntries{file("ok"), {"l", "..", true}, file("l/kx-evil")} << R::Symlink
        << QStringList();
    QTest::newRow("same name twice")
        << KXTestZipEntries{file("a", "1"), file("a", "2")} << R::DuplicateName << QStringList();
    QTest::newRow("file where a folder goes")
        << KXTestZipEntries{file("a"), file("a/b")} << R::DuplicateName << QStringList();
    QTest::newRow("folder where a file goes")
        << KXTestZipEntries{file("a/b"), file("a")} << R::DuplicateName << QStringList();
    KXTestZipEntries eight;
    QStringList eightNames;
    for (int i = 0; i < 8; ++i) {
        eight.append(file(QString::number(i)));
        eightNames.append(QString::number(i));
    }
    QTest::newRow("entries at the limit") << eight << R::Ok << eightNames;
    QTest::newRow("too many entries")
        << (eight + KXTestZipEntries{file("8")}) << R::TooManyEntries << QStringList();
    QTest::newRow("bomb") << KXTestZipEntries{file("ok"), file("zeros", zeros)} << R::TooLarge
                          << QStringList();
    QTest::newRow("sum over limit")
        << KXTestZipEntries{file("a", half), file("b", half)} << R::TooLarge << QStringList();
}

void tst_KXZipExtract::extract()
{
    QFETCH(KXTestZipEntries, entries);
    QFETCH(KXZipScanResult, scan);
    QFETCH(QStringList, written);

    QTemporaryDir sandbox;
    QVERIFY(sandbox.isValid());
    const QString folder = sandbox.filePath("root/unpack");
    QVERIFY(QDir().mkpath(folder));
    const QString archive = sandbox.filePath("package.zip");
    QVERIFY(kxWriteZip(archive, entries));

    QFile zip(archive);
    QVERIFY(zip.open(QIODevice::ReadOnly));
    QCOMPARE(kxZipScan(&zip, kLimits), scan);

    KXZipScanResult result = KXZipScanResult::Unreadable;
    const QStringList paths = kxZipExtract(archive, folder, kLimits, &result);
    QCOMPARE(result, scan);
    QStringList expected;
    for (const QString& name : written)
        expected.append(folder + '/' + name);
    QCOMPARE(paths, expected);
    for (const KXTestZipEntry& entry : entries) {
        if (written.contains(entry.name)) {
            QFile out(folder + '/' + entry.name);
            QVERIFY(out.open(QIODevice::ReadOnly));
            QCOMPARE(out.readAll(), entry.data);
        }
    }
    // Nothing lands beside the target folder, and a refused archive leaves
    // the folder untouched: the scan runs before the first write.
    QCOMPARE(listTree(sandbox.filePath("root")).filter(QRegularExpression("^(?!unpack)")),
             QStringList());
    if (scan != KXZipScanResult::Ok)
        QCOMPARE(listTree(folder), QStringList());
    QVERIFY(!QFileInfo::exists("/tmp/kx-evil"));
}

void tst_KXZipExtract::damagedEntryFailsTheArchive()
{
    QByteArray bytes = kxMakeZip({file("a", "first"), {"b", "PAYLOAD-1234", false, true}});
    QVERIFY(bytes.contains("PAYLOAD-1234"));
    bytes.replace("PAYLOAD-1234", "PAYLOAD-9999");
    QBuffer buffer(&bytes);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    QTemporaryDir folder;
    KXZipScanResult result = KXZipScanResult::Unreadable;
    QCOMPARE(kxZipExtract(&buffer, folder.path(), kLimits, &result), QStringList());
    QCOMPARE(result, KXZipScanResult::Ok); // the listing is fine; the data is not
    QBuffer junk;
    junk.setData("PK\x03\x04 not really a zip");
    QVERIFY(junk.open(QIODevice::ReadOnly));
    QCOMPARE(kxZipScan(&junk, kLimits), KXZipScanResult::Unreadable);
}

QTEST_GUILESS_MAIN(tst_KXZipExtract)
#include "tst_KXZipExtract.moc"
