#ifndef KXFWBUILD_H
#define KXFWBUILD_H

#include <QByteArray>
#include <QList>
#include <QString>

// Makes firmware files of every kind from their parts, with correct
// checksums: "nfp" packages, plain images with their part table, and
// images that also carry the information block the driver library reads.
// The layouts are described in KXUpgrade/FORMATS.md.

struct KXFwPart
{
    QByteArray type; // 4 ASCII letters
    QByteArray data;
    quint32 extra = 0;
};

struct KXFwNfp
{
    QList<KXFwPart> local;
    QList<KXFwPart> extended;
    QByteArray version;
    QByteArray hardware;
    QByteArray date;
    quint32 deviceType = 0;
};

// One field of an information block: a text or a number at a record offset.
struct KXFwInfoField
{
    int offset = 0;
    int capacity = 0; // bytes for a text, with its terminator; 0: a number
    QByteArray text;
    quint32 number = 0;
};

// Header (with its checksum) followed by the local, then the extended parts.
// Empty with `error` set when a text does not fit its header field or there
// are more parts than the header holds.
QByteArray kxfwBuildNfp(const KXFwNfp& nfp, QString* error = nullptr);

// The information block of the image and package kinds: the given fields
// in a record of the package kind `kind`. Empty with `error` set when a text
// does not fit.
QByteArray kxfwBuildInfoBlock(quint32 kind, const QList<KXFwInfoField>& fields,
                              QString* error = nullptr);

// The parts one after the other, then `infoBlock` (may be empty), then the
// 368-byte part table. A part whose type is none of "boot", "kern", "appl",
// "flah" is marked to be taken whatever its type. Empty with `error` set
// for more than four parts.
QByteArray kxfwBuildImage(const QList<KXFwPart>& parts, const QByteArray& infoBlock,
                          QString* error = nullptr);

// Stores a new CRC-32 in an "nfp" package after its header was edited.
void kxfwResealNfp(QByteArray& package);

#endif // KXFWBUILD_H
