// Firmware package archives from outside: the scan and the unpacking into a
// fresh folder. Input: the archive bytes. Nothing may be written unless the
// scan passed, nothing outside the folder, no links, and no more bytes than
// the limit.

#include "KXFuzz.h"

#include "KXUpgrade/KXZipExtract.h"

#include <QBuffer>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QTemporaryDir>

namespace {

const KXZipLimits kLimits{16, 1024 * 1024};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool quiet =
        (kxFuzzQuietLogging(), QLoggingCategory::setFilterRules(QStringLiteral("kx.*=false")),
         true);
    Q_UNUSED(quiet)
    QByteArray bytes(reinterpret_cast<const char*>(data), int(size));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    const KXZipScanResult scan = kxZipScan(&buffer, kLimits);

    QTemporaryDir sandbox;
    KX_FUZZ_CHECK(sandbox.isValid());
    const QString folder = sandbox.filePath(QStringLiteral("unpack"));
    KX_FUZZ_CHECK(QDir().mkpath(folder));
    QBuffer again(&bytes);
    again.open(QIODevice::ReadOnly);
    KXZipScanResult result = KXZipScanResult::Ok;
    const QStringList paths = kxZipExtract(&again, folder, kLimits, &result);
    KX_FUZZ_CHECK(result == scan);
    if (scan != KXZipScanResult::Ok)
        KX_FUZZ_CHECK(paths.isEmpty());

    const QString root = QFileInfo(folder).canonicalFilePath();
    for (const QString& path : paths) {
        KX_FUZZ_CHECK(path.startsWith(root + QLatin1Char('/')));
        KX_FUZZ_CHECK(QFileInfo(path).isFile() && !QFileInfo(path).isSymLink());
    }
    KX_FUZZ_CHECK(QDir(sandbox.path())
                      .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden |
                                 QDir::System) == QStringList{QStringLiteral("unpack")});
    qint64 total = 0;
    int files = 0;
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        KX_FUZZ_CHECK(!info.isSymLink());
        if (info.isFile()) {
            total += info.size();
            ++files;
        }
    }
    KX_FUZZ_CHECK(total <= kLimits.maxTotalSize);
    KX_FUZZ_CHECK(files <= kLimits.maxEntries);
    if (scan != KXZipScanResult::Ok)
        KX_FUZZ_CHECK(files == 0);
    return 0;
}
