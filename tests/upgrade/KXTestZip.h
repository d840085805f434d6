#ifndef KXTESTZIP_H
#define KXTESTZIP_H

// Zip archives made at test time, including the kinds a hostile package
// would carry: odd names, symbolic links, many or huge entries.

#include <quazip.h>
#include <quazipfile.h>
#include <quazipnewinfo.h>

#include <QBuffer>
#include <QFile>
#include <QList>
#include <QString>

struct KXTestZipEntry
{
    QString name;
    QByteArray data; // a link's target for symlinks
    bool symlink = false;
    bool stored = false; // no compression: the bytes appear as written
};
using KXTestZipEntries = QList<KXTestZipEntry>;
Q_DECLARE_METATYPE(KXTestZipEntry)

inline QByteArray kxMakeZip(const KXTestZipEntries& entries)
{
    QBuffer buffer;
    buffer.open(QIODevice::ReadWrite);
    QuaZip zip(&buffer);
    if (!zip.open(QuaZip::mdCreate))
        return {};
    for (const KXTestZipEntry& entry : entries) {
        QuaZipNewInfo info(entry.name);
        // Unix host, mode in the upper half as zip tools write it.
        info.externalAttr = quint32(entry.symlink ? 0120777 : 0100644) << 16;
        QuaZipFile out(&zip);
        const int method = entry.stored ? 0 : 8; // stored or deflated
        if (!out.open(QIODevice::WriteOnly, info, nullptr, 0, method))
            return {};
        out.write(entry.data);
        out.close();
    }
    zip.close();
    return buffer.data();
}

inline bool kxWriteZip(const QString& path, const KXTestZipEntries& entries)
{
    const QByteArray bytes = kxMakeZip(entries);
    QFile file(path);
    return !bytes.isEmpty() && file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

#endif // KXTESTZIP_H
