#ifndef KXZIPEXTRACT_H
#define KXZIPEXTRACT_H

#include <QString>
#include <QStringList>

class QIODevice;

// Unpacking of firmware packages. A package comes from outside, so the whole
// archive is checked before a single byte is written, and the writing itself
// stays inside a fresh folder whatever the archive claims.

struct KXZipLimits
{
    // A package holds three files; a few hundred entries is already absurd.
    int maxEntries = 256;
    // Sum of the entries' unpacked sizes (and of the bytes really written).
    qint64 maxTotalSize = qint64(256) * 1024 * 1024;
};

enum class KXZipScanResult
{
    Ok,
    Unreadable,     // not a zip archive, or its directory does not read
    TooManyEntries, // more entries than maxEntries
    TooLarge,       // unpacked sizes add up to more than maxTotalSize
    UnsafeName,     // empty, absolute, "..", backslash or a control character
    Symlink,        // an entry that unpacks as a symbolic link
    DuplicateName,  // two entries for one path, or a file where a folder must go
};

// A short English name of `result` for log lines.
QString kxZipScanResultName(KXZipScanResult result);

// Checks every entry of the archive in `zip` (an open, readable device)
// against `limits` without writing anything. Pure apart from reading `zip`.
KXZipScanResult kxZipScan(QIODevice* zip, const KXZipLimits& limits = {});

// Scans the archive, then unpacks its files below `folder`, which must be an
// existing, empty folder that nobody else writes to. Returns the full paths of
// the files written ('/' separated), or an empty list when the archive is
// refused or a write fails; in that case `folder` may hold a partial result
// that the caller deletes. `result` (optional) tells why a scan refused.
QStringList kxZipExtract(QIODevice* zip, const QString& folder, const KXZipLimits& limits = {},
                         KXZipScanResult* result = nullptr);
QStringList kxZipExtract(const QString& archive, const QString& folder,
                         const KXZipLimits& limits = {}, KXZipScanResult* result = nullptr);

#endif // KXZIPEXTRACT_H
