#ifndef KXBLOCKDOWNLOAD_H
#define KXBLOCKDOWNLOAD_H

#include "transport/KXFirmwareProgress.h"

#include <QByteArray>
#include <QString>
#include <QVector>

class IDataStreamReadWrite;

// Writes a firmware file to a device in its boot-loader dialogue over a byte
// transport: an escape frame switches the device to upgrade mode, then each
// part is announced, sent in CRC-checked blocks and programmed, and an exit
// command ends the dialogue. Two variants share every message: the image
// variant reads up to four parts from the table at the end of the file, the
// package variant up to sixteen from an "nfp" header. Created for one file,
// set up, run once on the caller's thread (which it blocks) and destroyed.
class KXBlockDownload
{
public:
    enum class Variant
    {
        Image,
        Package,
    };

    static constexpr int DefaultBlockSize = 512;
    // Files of at least this size go in blocks of at least 1024 bytes.
    static constexpr qint64 LargeFileSize = 10 * 1024 * 1024 + 1;
    static constexpr int MinFileSize = 400;

    explicit KXBlockDownload(Variant variant = Variant::Image);

    // Stores the arguments; the transport and the record are not owned.
    void setup(const QString& file, IDataStreamReadWrite* transport, KXFirmwareProgress* progress,
               int blockSize);
    // Reads the file and performs the whole download; true when every part
    // was written.
    bool run();

    // The block size in use: the one given, raised for large files by run().
    int blockSize() const { return m_blockSize; }

    // How long a part of `partSize` bytes may take to program: 300 s per
    // whole MiB, at least 300 s.
    static qint64 programmingLimitMs(quint32 partSize);

    // The CRC-32 (zlib's) of `size` bytes, continuing `crc`.
    static quint32 crc32(const void* data, qsizetype size, quint32 crc = 0);

private:
    struct Part
    {
        quint32 offset = 0;
        quint32 size = 0;
        QByteArray type; // four letters ("flah" also for extended parts)
        quint32 extra = 0;
    };

    bool readImageParts();
    bool readPackageParts();
    bool downloadAll();
    bool downloadParts(int first, int count, const char* between);
    bool announce(int index);
    bool sendData(const Part& part);
    bool waitProgrammed(const Part& part);
    // The first payload byte of the reply, '1' for any failure.
    char sendCommand(const QByteArray& text);
    // "@NextDown"/"@NextBlock": a bare 0x06 or any whole reply frame.
    bool sendNext(const QByteArray& text);
    bool writeEscape(const QByteArray& escape);
    // One byte within `ms`; -1 when none came.
    int readByte(uint ms);
    bool readExactly(quint8* buffer, int count, uint ms);
    void setStage(quint32 stage);
    void setValue(quint32 value);
    quint32 value() const;
    // Ends the current stage for a progress reader: value 100.
    bool fail();

    Variant m_variant;
    QString m_file;
    IDataStreamReadWrite* m_transport = nullptr;
    KXFirmwareProgress* m_progress = nullptr;
    KXFirmwareProgress m_ownProgress{}; // when the caller gives none
    int m_blockSize = DefaultBlockSize;
    QByteArray m_data;
    QByteArray m_frame; // 0x02, one block, CRC-32
    QVector<Part> m_parts;
    int m_localParts = 0; // the rest are extended parts (package variant)
};

#endif // KXBLOCKDOWNLOAD_H
