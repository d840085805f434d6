#ifndef KXDATASTREAM_H
#define KXDATASTREAM_H

// The exported data-stream codec: records, enumerations, the parser and maker
// classes and the free functions that build, check and judge frames. None of
// them does I/O or needs an event loop; all may be called from any thread.

#include "KXDataStreamMaker.h"
#include "KXDataStreamParser.h"
#include "KXDataStreamTypes.h"

#include <QMap>
#include <QStringList>

// Wraps command text in the host envelope of `protocol`. With `addPrefix`,
// text that starts with neither '@' nor '#' gets '#'. Protocol -1 returns the
// text unchanged; protocols 8 and 9 only add the prefix.
KXDEVICEKIT_EXPORT QByteArray KXMakeDataStreamCmd(const QByteArray& text,
                                                  EDataProtocol protocol = DataProtocol7E01,
                                                  bool addPrefix = true);

// True when `data` is not empty and ends with ACK (0x06).
KXDEVICEKIT_EXPORT bool KXCheckDataACK(const QByteArray& data);

// Splits a sub-tag's data into its value and result byte. Empty data is NAK.
KXDEVICEKIT_EXPORT EDataResult KXParseDataStreamResult(const QByteArray& data, QByteArray& value,
                                                       EDataProtocol protocol = DataProtocol7E01);

// Checks an outgoing framed command. Fills `specialCmd` and `specialParams`
// when it holds an image command with parameters, and `cmds` (when given)
// with its mnemonics. False when the frame is not a valid command.
KXDEVICEKIT_EXPORT bool KXCheckDataStreamCmd(const QByteArray& frame, QString& specialCmd,
                                             QByteArray& specialParams,
                                             QStringList* cmds = nullptr);

// Unwraps the binary data of a protocol 1 image reply: `text` gets the reply
// text after `params` up to the length field, `extendData` the data.
KXDEVICEKIT_EXPORT bool KXGetDataStreamExtendData(const QByteArray& reply, const QByteArray& cmd,
                                                  const QByteArray& params, QByteArray& text,
                                                  QByteArray& extendData);

// Parses a value description such as "0-255|300_0:Off|1:On" into `value`
// (appending). True when the record holds any range or item afterwards.
KXDEVICEKIT_EXPORT bool KXParseDataStreamValue(const QString& text,
                                               _tagDataStreamSubTagValue& value);

// Splits keyed compound text "v1K1v2K2..." for the keys in order, appending
// (key, value) pairs. Keys match case-insensitively; values hold no A-F.
// True when `values` then holds exactly one entry per key.
KXDEVICEKIT_EXPORT bool KXSplitValues(const QString& text, const QList<QString>& keys,
                                      QList<QPair<QString, QString>>& values);

// Most integers one KXParseRangesToInt call appends; larger inputs fail.
constexpr qint64 KXMaxRangeValues = 1000000;

// Appends every integer of each (low, high) range. False at the first bound
// that is not an unsigned 64-bit number, or at the first range that would
// take the call past KXMaxRangeValues values; earlier values stay.
KXDEVICEKIT_EXPORT bool KXParseRangesToInt(const QList<QPair<QVariant, QVariant>>& ranges,
                                           QList<qint64>& values);

// Result of command tag + subTag (a leading '@' or '#' is dropped, so the
// whole mnemonic may be passed as `tag`) in a parsed tag list. `value` gets
// the data without its result byte. NAK when the command is absent.
KXDEVICEKIT_EXPORT EDataResult KXGetDataStreamResult(const DataStreamTagList& tags,
                                                     const QString& tag, QByteArray& value,
                                                     const QString& subTag = QString(),
                                                     EDataProtocol protocol = DataProtocol7E01);

// The same on an unparsed reply frame, by plain text search.
KXDEVICEKIT_EXPORT EDataResult KXGetDataStreamResult(const QByteArray& reply, const QString& tag,
                                                     QByteArray& value,
                                                     const QString& subTag = QString(),
                                                     EDataProtocol protocol = DataProtocol7E01);

// Parses the value of an acknowledged command; false unless it was ACKed.
KXDEVICEKIT_EXPORT bool KXGetDataStreamValue(const DataStreamTagList& tags, const QString& tag,
                                             const QString& subTag,
                                             _tagDataStreamSubTagValue& value);

// Copies the bytes of `cmd` from the map; false when the map lacks it.
KXDEVICEKIT_EXPORT bool KXGetDataStreamValue(const QMap<QString, QByteArray>& map,
                                             const QString& cmd, QByteArray& value);

// True when the tag exists and, if a sub-tag is named, holds it.
KXDEVICEKIT_EXPORT bool KXCheckTagsExists(const DataStreamTagList& tags, const QString& tag,
                                          const QString& subTag = QString());

// Records one acknowledged reply in a cache tag list (data keeps its ACK).
// False, with the list untouched, unless `data` ends with ACK.
KXDEVICEKIT_EXPORT bool KXUpdateTags(DataStreamTagList& tags, const QString& tag,
                                     const QByteArray& data, const QString& subTag = QString());

// Compares a wanted configuration with the current one sub-tag by sub-tag,
// appending differing sub-tags to `changed` and absent ones to `missing`.
// With `update`, differing current data is overwritten. True when `missing`
// is empty at the end.
KXDEVICEKIT_EXPORT bool KXCompareTags(const DataStreamTagList& wanted, DataStreamTagList& current,
                                      DataStreamTagList& changed, DataStreamTagList& missing,
                                      bool update);

#endif // KXDATASTREAM_H
