#include "KXZipExtract.h"

#include "KXUpgradeLog.h"

#include <quazip.h>
#include <quazipfile.h>
#include <quazipfileinfo.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

namespace {

constexpr quint32 kUnixTypeMask = 0170000;
constexpr quint32 kUnixSymlink = 0120000;
constexpr qint64 kChunkSize = 64 * 1024;

// Whether `name` can only land below the target folder. A name with ".."
// anywhere is refused outright rather than judged component by component:
// a firmware package has no reason to carry one.
bool isSafeName(const QString& name)
{
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')) || name.contains(QLatin1String("..")) ||
        name.contains(QLatin1Char('\\')))
        return false;
    for (const QChar c : name) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return false;
    }
    const QStringList parts = name.split(QLatin1Char('/'));
    for (int i = 0; i < parts.size(); ++i) {
        const bool last = i == parts.size() - 1;
        // A trailing '/' marks a folder entry; every other piece is a real name.
        if ((parts[i].isEmpty() && !(last && i > 0)) || parts[i] == QLatin1String("."))
            return false;
    }
    return true;
}

bool isSymlink(const QuaZipFileInfo64& info)
{
    // Unix hosts keep the file mode in the upper half of the external
    // attributes; other hosts leave it zero, which never reads as a link.
    return ((info.externalAttr >> 16) & kUnixTypeMask) == kUnixSymlink;
}

// Records `name` and refuses a second entry for the same path, or a file where
// another entry needs a folder (and the other way round).
bool claimPath(const QString& name, QSet<QString>& files, QSet<QString>& folders)
{
    const bool isFolder = name.endsWith(QLatin1Char('/'));
    const QString path = isFolder ? name.left(name.size() - 1) : name;
    int slash = path.indexOf(QLatin1Char('/'));
    while (slash > 0) {
        const QString parent = path.left(slash);
        if (files.contains(parent))
            return false;
        folders.insert(parent);
        slash = path.indexOf(QLatin1Char('/'), slash + 1);
    }
    if (files.contains(path))
        return false;
    if (isFolder) {
        folders.insert(path);
        return true;
    }
    if (folders.contains(path))
        return false;
    files.insert(path);
    return true;
}

KXZipScanResult scanOpen(QuaZip& zip, const KXZipLimits& limits)
{
    if (zip.getEntriesCount() > limits.maxEntries)
        return KXZipScanResult::TooManyEntries;
    QSet<QString> files;
    QSet<QString> folders;
    quint64 total = 0;
    int entries = 0;
    for (bool more = zip.goToFirstFile(); more; more = zip.goToNextFile()) {
        // The count in the end record may lie; count what is really listed.
        if (++entries > limits.maxEntries)
            return KXZipScanResult::TooManyEntries;
        QuaZipFileInfo64 info;
        if (!zip.getCurrentFileInfo(&info))
            return KXZipScanResult::Unreadable;
        if (!isSafeName(info.name))
            return KXZipScanResult::UnsafeName;
        if (isSymlink(info))
            return KXZipScanResult::Symlink;
        if (!claimPath(info.name, files, folders))
            return KXZipScanResult::DuplicateName;
        total += info.uncompressedSize;
        if (info.uncompressedSize > quint64(limits.maxTotalSize) ||
            total > quint64(limits.maxTotalSize))
            return KXZipScanResult::TooLarge;
    }
    return zip.getZipError() == UNZ_OK ? KXZipScanResult::Ok : KXZipScanResult::Unreadable;
}

// Copies the current entry to `target`, a file that must not exist yet (so a
// link planted there is never followed). `budget` is what may still be
// written; the scan trusted the sizes the archive declares, this does not.
bool writeEntry(QuaZip& zip, const QString& target, qint64& budget)
{
    QuaZipFile in(&zip);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    QFile out(target);
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return false;
    QByteArray chunk;
    for (;;) {
        chunk = in.read(kChunkSize);
        if (chunk.isEmpty())
            break;
        budget -= chunk.size();
        if (budget < 0 || out.write(chunk) != chunk.size())
            return false;
    }
    in.close();
    // A bad checksum or a truncated stream shows up only when the entry closes.
    return in.getZipError() == UNZ_OK && out.error() == QFileDevice::NoError;
}

bool isBelow(const QString& path, const QString& root)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return !canonical.isEmpty() &&
           (canonical == root || canonical.startsWith(root + QLatin1Char('/')));
}

} // namespace

QString kxZipScanResultName(KXZipScanResult result)
{
    switch (result) {
    case KXZipScanResult::Ok:
        return QStringLiteral("ok");
    case KXZipScanResult::Unreadable:
        return QStringLiteral("not a readable zip archive");
    case KXZipScanResult::TooManyEntries:
        return QStringLiteral("too many entries");
    case KXZipScanResult::TooLarge:
        return QStringLiteral("unpacked size over the limit");
    case KXZipScanResult::UnsafeName:
        return QStringLiteral("entry name leaves the folder");
    case KXZipScanResult::Symlink:
        return QStringLiteral("symbolic link entry");
    case KXZipScanResult::DuplicateName:
        return QStringLiteral("two entries for one path");
    }
    return QString();
}

KXZipScanResult kxZipScan(QIODevice* device, const KXZipLimits& limits)
{
    QuaZip zip(device);
    if (!zip.open(QuaZip::mdUnzip))
        return KXZipScanResult::Unreadable;
    const KXZipScanResult result = scanOpen(zip, limits);
    zip.close();
    return result;
}

QStringList kxZipExtract(QIODevice* device, const QString& folder, const KXZipLimits& limits,
                         KXZipScanResult* result)
{
    KXZipScanResult scan = KXZipScanResult::Unreadable;
    QStringList written;
    QuaZip zip(device);
    const QString root = QFileInfo(folder).canonicalFilePath();
    if (!root.isEmpty() && zip.open(QuaZip::mdUnzip))
        scan = scanOpen(zip, limits);
    if (result)
        *result = scan;
    if (scan != KXZipScanResult::Ok) {
        qCWarning(lcUpgrade).noquote() << "Archive refused:" << kxZipScanResultName(scan);
        return {};
    }

    const QDir dir(root);
    qint64 budget = limits.maxTotalSize;
    for (bool more = zip.goToFirstFile(); more; more = zip.goToNextFile()) {
        const QString name = zip.getCurrentFileName();
        const bool isFolder = name.endsWith(QLatin1Char('/'));
        const QString relative = isFolder ? name.left(name.size() - 1) : name;
        const QString target = dir.filePath(relative);
        const QString parent = isFolder ? target : QFileInfo(target).path();
        // The folder is fresh and the scan refused links, so this holds unless
        // someone else writes into it; then stop rather than follow them.
        bool ok =
            dir.mkpath(isFolder ? relative : QFileInfo(relative).path()) && isBelow(parent, root);
        if (ok && !isFolder) {
            ok = writeEntry(zip, target, budget);
            if (ok)
                written.append(target);
        }
        if (!ok) {
            qCWarning(lcUpgrade).noquote() << "Unpacking failed at entry" << name;
            return {};
        }
    }
    return written;
}

QStringList kxZipExtract(const QString& archive, const QString& folder, const KXZipLimits& limits,
                         KXZipScanResult* result)
{
    QFile file(archive);
    if (!file.open(QIODevice::ReadOnly)) {
        if (result)
            *result = KXZipScanResult::Unreadable;
        qCWarning(lcUpgrade).noquote() << "Cannot open archive" << archive;
        return {};
    }
    return kxZipExtract(&file, folder, limits, result);
}
