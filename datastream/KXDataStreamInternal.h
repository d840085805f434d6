#ifndef KXDATASTREAMINTERNAL_H
#define KXDATASTREAMINTERNAL_H

// Envelope helpers shared by the codec, the send paths and the upstream
// reader. Not exported from the shared library.

#include <KXDataStreamTypes.h>

#include <QStringList>

constexpr char kDataStreamAck = 0x06;
constexpr char kDataStreamEnq = 0x05;
constexpr char kDataStreamNak = 0x15;
constexpr char kDataStreamEtx = 0x03;
constexpr char kDataStreamStx = 0x02;
constexpr char kDataStreamHostStart = 0x7E;
// Every envelope has a six-byte header: start, protocol and four bytes of
// reserved text or little-endian length.
constexpr int kDataStreamHeaderSize = 6;

// Envelope of a whole frame: at least 10 bytes ending in ';' 0x03, then the
// first bytes decide. -1 when not recognised.
EDataProtocol detectDataProtocol(const QByteArray& frame);

// Appends the CRC of the payload (from offset 6) when `useChecksum` is true
// and the protocol is not 1. False when the frame is not recognised or has no
// terminator.
bool appendDataStreamChecksum(QByteArray& frame, bool useChecksum);

// With `hasChecksum`, verifies and strips the trailing CRC (a mismatch leaves
// the frame unchanged and fails). Then true only for a recognised frame with
// a terminator.
bool checkDataStreamChecksum(QByteArray& frame, bool hasChecksum);

// True when ';' 0x03 occurs anywhere in `data`.
bool hasFrameTerminator(const QByteArray& data);

// Buffered bytes needed for the whole first device frame of a length-prefixed
// protocol (7, 8, 9), or -1 when no complete header is there yet. Lengths
// past the int range read as INT_MAX: such a frame never completes.
int getDataStreamFrameLength(EDataProtocol protocol, const QByteArray& data, bool hasChecksum);

// Position of the first device header of `protocol` whose command mnemonic is
// one of `cmds` (any header when `cmds` is empty), or -1.
int GetCmdResponsePos(const QByteArray& data, EDataProtocol protocol, const QStringList& cmds);

// Cuts the first device frame out of a receive buffer. A header that
// declares a frame end at 0xFFFFFF or beyond, before the data is there, puts
// the bytes through the header into `before` and still succeeds, so that the
// caller drops the header instead of waiting for ever.
bool splitDataStreamFrame(const QByteArray& data, QByteArray& before, QByteArray& frame,
                          QByteArray& rest);

// Position of the eight-digit hexadecimal extended-length field in a
// protocol 1 image reply, or -1.
int GetDataStreamExtendLenPos(const QByteArray& reply, const QByteArray& cmd,
                              const QByteArray& params);

// Size the whole image reply will have, or -1 while its length field is not
// there or not hexadecimal. Capped at INT_MAX.
int getExtendFrameLength(const QByteArray& reply, const QByteArray& cmd, const QByteArray& params);

// True for the commands whose replies carry extended image data: IMGGET,
// IMGTGT, IMGBGT, IMGJGT and IMGGLI.
bool isImageCommand(const QString& mnemonic);

// tag + subTag with one leading '@' or '#' dropped.
QString normalizeCmdName(const QString& tag, const QString& subTag);

// The tag list as command text; `prefix` '@' or '#' is written first, any
// other value writes none.
QByteArray serializeTags(const DataStreamTagList& tags, char prefix);

// CRC-16 of ISO 3309 (X.25): the value qChecksum(..., Qt::ChecksumIso3309)
// gives, computed eight bytes at a time.
quint16 dataStreamCrc16(const char* data, qsizetype size);

#endif // KXDATASTREAMINTERNAL_H
