#ifndef KXBLOCKDOWNLOAD_H
#define KXBLOCKDOWNLOAD_H

#include "KXBootDialogue.h"
#include "transport/KXFirmwareProgress.h"

#include <QString>

class IDataStreamReadWrite;

// Writes a firmware file to a device in its boot-loader dialogue over one of
// the kit's byte transports; the dialogue itself is KXBootDialogue, shared
// with the driver library. Created for one file, set up, run once on the
// caller's thread (which it blocks) and destroyed.
class KXBlockDownload
{
public:
    using Variant = KXBootDialogue::Variant;

    explicit KXBlockDownload(Variant variant = Variant::Image);

    // Stores the arguments; the transport and the record are not owned.
    void setup(const QString& file, IDataStreamReadWrite* transport, KXFirmwareProgress* progress,
               int blockSize);
    // Reads the file and performs the whole download; true when every part
    // was written.
    bool run();

    static qint64 programmingLimitMs(quint32 partSize)
    {
        return KXBootDialogue::programmingLimitMs(partSize);
    }

private:
    Variant m_variant;
    QString m_file;
    IDataStreamReadWrite* m_transport = nullptr;
    KXFirmwareProgress* m_progress = nullptr;
    KXFirmwareProgress m_ownProgress{}; // when the caller gives none
    int m_blockSize = KXBootDialogue::DefaultBlockSize;
};

#endif // KXBLOCKDOWNLOAD_H
