#include "datastream/KXCodecTestUtil.h"

#include "KXUpgrade/KXFirmwareFormats.h"
#include "tools/kxfw/KXFwBuild.h"

#include <QtEndian>
#include <QtTest>

using namespace kxtest;

namespace {

KXFwPart part(const char* type, int size, char fill, quint32 extra = 0)
{
    return {type, QByteArray(size, fill), extra};
}

// Two local parts and one extended part; 20 bytes follow the last part.
QByteArray samplePackage()
{
    KXFwNfp nfp;
    nfp.local = {part("boot", 100, 'b'), part("kern", 3000, 'k')};
    nfp.extended = {part("exfl", 5000, 'x', 0x1234)};
    nfp.version = "V2.1.0";
    nfp.hardware = "KX-HW";
    nfp.date = "2026-12-06";
    nfp.deviceType = 7;
    return kxfwBuildNfp(nfp) + QByteArray(20, 't');
}

const int lastPartEnd = 1024 + 100 + 3000 + 5000;

} // namespace

class tst_KXFirmwareFormats : public QObject
{
    Q_OBJECT

private slots:
    void suffixes_data()
    {
        const auto row = table<QString, QString>();
        row("plain", "fw.bin", "bin");
        row("upper case", "FW.BIN", "bin");
        row("last dot", "a.b/c.tar.Nfp", "nfp");
        row("none", "firmware", "");
        row("trailing dot", "firmware.", "");
        row("bin4", "fw.bin4", "bin4");
    }
    void suffixes()
    {
        const auto [name, suffix] = fetch<QString, QString>();
        QCOMPARE(firmwareSuffix(name), suffix);
    }

    void readsTheSamplePackage()
    {
        KernelInfoRecord record;
        QVERIFY(validateNfpHeader(samplePackage(), record));
        QCOMPARE(record.number(KernelInfoRecord::PackageKind), 3u);
        QCOMPARE(record.number(KernelInfoRecord::DeviceType), 7u);
        QCOMPARE(record.number(KernelInfoRecord::LocalParts), 2u);
        QCOMPARE(record.number(KernelInfoRecord::ExtendedParts), 1u);
        QCOMPARE(record.text(KernelInfoRecord::Version), QStringLiteral("V2.1.0"));
        QCOMPARE(record.text(KernelInfoRecord::HardwareName), QStringLiteral("KX-HW"));
        QCOMPARE(record.text(KernelInfoRecord::Date), QStringLiteral("2026-12-06"));
        QCOMPARE(record.number(KernelInfoRecord::KernOffset), 1124u);
        QCOMPARE(record.number(KernelInfoRecord::KernSize), 3000u);
        const KXNfpPart expected[] = {
            {1, 1024, 100, 0}, {2, 1124, 3000, 0}, {3, 4124, 5000, 0x1234}};
        for (int i = 0; i < 3; ++i) {
            const KXNfpPart got = nfpPart(record, i);
            QCOMPARE(got.code, expected[i].code);
            QCOMPARE(got.offset, expected[i].offset);
            QCOMPARE(got.size, expected[i].size);
            QCOMPARE(got.extra, expected[i].extra);
        }
        QCOMPARE(nfpPart(record, 3).code, 0u);
    }

    // Header edits, resealed with a fresh checksum so that only the edited
    // rule can refuse the package.
    void headerRules_data()
    {
        const auto row = table<int, QByteArray, bool>({"offset", "value", "accepted"});
        const auto le = [](quint32 v) {
            QByteArray b(4, '\0');
            qToLittleEndian(v, b.data());
            return b;
        };
        row("unchanged", 0, "K", true);
        row("marker letter", 3, "f", false);
        row("marker padding", 20, "\x01", false);
        row("16 + 1 parts", 248, le(16), false);
        row("no parts", 248, le(0) + le(0), false);
        row("huge counts wrap", 248, le(0xFFFFFFFF) + le(2), false);
        row("local part typed exfl", 256 + 8, "exfl", false);
        row("extended part typed appl", 256 + 96 + 8, "appl", false);
        row("unknown local type", 256 + 48 + 8, "KERN", false);
        row("flah local", 256 + 8, "flah", true);
        row("empty part", 256 + 4, le(0), false);
        row("part beyond the file", 256 + 96 + 4, le(5000 + 21), false);
        row("part up to the file end", 256 + 96 + 4, le(5000 + 20), true);
        row("all parts inside the header", 256,
            le(0) + le(10) + QByteArray(40, 0) + le(0) + le(10) + QByteArray(40, 0) + le(0) +
                le(10),
            false);
        row("text without terminator", 64, QByteArray(32, 'v'), true);
    }
    void headerRules()
    {
        QFETCH(int, offset);
        QFETCH(QByteArray, value);
        QFETCH(bool, accepted);
        QByteArray package = samplePackage();
        package.replace(offset, value.size(), value);
        kxfwResealNfp(package);
        KernelInfoRecord record;
        QCOMPARE(validateNfpHeader(package, record), accepted);
        if (!accepted)
            QCOMPARE(record.number(KernelInfoRecord::PackageKind), 0u);
    }

    void onlyExtendedPart()
    {
        KXFwNfp nfp;
        nfp.extended = {part("exfl", 10, 'x')};
        KernelInfoRecord record;
        QVERIFY(validateNfpHeader(kxfwBuildNfp(nfp), record));
        QCOMPARE(record.number(KernelInfoRecord::LocalParts), 0u);
        QCOMPARE(nfpPart(record, 0).code, 3u);
    }

    void longTextsAreCut()
    {
        QByteArray package = samplePackage();
        package.replace(64, 32, QByteArray(32, 'v'));
        package.replace(96, 151, QByteArray(151, 'h'));
        kxfwResealNfp(package);
        KernelInfoRecord record;
        QVERIFY(validateNfpHeader(package, record));
        QCOMPARE(record.text(KernelInfoRecord::Version), QString(31, QLatin1Char('v')));
        QCOMPARE(record.text(KernelInfoRecord::HardwareName), QString(31, QLatin1Char('h')));
    }

    // Every byte up to the end of the last part is covered (the checksum
    // field by comparison); the bytes after it are not.
    void checksumCoverage()
    {
        const QByteArray package = samplePackage();
        KernelInfoRecord record;
        for (int i = 0; i < package.size(); ++i) {
            QByteArray changed = package;
            changed[i] = char(changed[i] ^ 0x40);
            const bool covered = i < lastPartEnd;
            if (validateNfpHeader(changed, record) == covered)
                QFAIL(
                    qPrintable(QStringLiteral("byte %1 changed, covered: %2").arg(i).arg(covered)));
        }
        QByteArray shorter = package;
        shorter.chop(21);
        QVERIFY(!validateNfpHeader(shorter, record));
        QVERIFY(!validateNfpHeader(package.left(1023), record));
    }

    void imagePartTable()
    {
        QByteArray image = kxfwBuildImage({part("appl", 50, 'a'), part("boot", 30, 'b'),
                                           part("flah", 8, 'f', 99), part("ext2", 5, 'e', 77)},
                                          {});
        QCOMPARE(image.size(), 50 + 30 + 8 + 5 + 368);
        const auto entries = readImagePartTable(image);
        const quint32 offsets[] = {0, 50, 80, 88};
        const quint32 sizes[] = {50, 30, 8, 5};
        const char* types[] = {"appl", "boot", "flah", "ext2"};
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(entries[size_t(i)].offset, offsets[i]);
            QCOMPARE(entries[size_t(i)].size, sizes[i]);
            QCOMPARE(entries[size_t(i)].type, QByteArray(types[i]));
            QCOMPARE(entries[size_t(i)].flag, quint8(i == 3));
        }
        QCOMPARE(entries[2].extra, 99u);
        // Bytes 304 to 367 of the table are not entries.
        image.replace(image.size() - 64, 64, QByteArray(64, '\xff'));
        QCOMPARE(readImagePartTable(image)[3].size, 5u);
        QCOMPARE(readImagePartTable(image.left(367))[0].size, 0u);
    }
};

QTEST_GUILESS_MAIN(tst_KXFirmwareFormats)
#include "tst_KXFirmwareFormats.moc"
