#ifndef KXDATASTREAMTYPES_H
#define KXDATASTREAMTYPES_H

#include "KXDeviceKitGlobal.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QVariant>

// Envelope of a data-stream frame, named by the header's second byte.
enum EDataProtocol
{
    DataProtocolNone = -1,
    DataProtocol7E01 = 1, // text envelope, no length field, no CRC
    DataProtocol7E07 = 7, // length-prefixed
    DataProtocol7E08 = 8, // length-prefixed, device upstream frames only
    DataProtocol7E09 = 9, // length-prefixed
};

// Direction of data handed to the parser. Stored only; parsing is the same.
enum EDataType
{
    DataTypeCommand = 0,  // a command about to be sent
    DataTypeResponse = 1, // data received from a device
};

// Result byte that ends a sub-tag's data in a reply.
enum EDataResult
{
    DataResultEnq = 5,  // enquiry result: neither accepted nor rejected
    DataResultAck = 6,  // accepted
    DataResultNak = 21, // rejected, or no result at all
};

// One sub-tag item of a command: the three-letter name (empty for the special
// items `*`, `&` and `^`) and everything after it, including a reply's result
// byte.
struct KXDEVICEKIT_EXPORT _tagDataStreamSubTag
{
    QString subTag;
    QByteArray data;

    bool operator==(const _tagDataStreamSubTag& other) const
    {
        return subTag == other.subTag && data == other.data;
    }
    bool operator!=(const _tagDataStreamSubTag& other) const { return !(*this == other); }
};

// A command while it is being parsed: the tag and its raw, unsplit items.
struct KXDEVICEKIT_EXPORT _tagDataStreamTag
{
    QString tag;
    QList<QByteArray> subTags;
};

// A parsed value description: numeric ranges (single values v as (v, v)) and
// keyed items, all held as text.
struct KXDEVICEKIT_EXPORT _tagDataStreamSubTagValue
{
    QList<QPair<QVariant, QVariant>> ranges;
    QList<QPair<QVariant, QVariant>> items;
};

// Ordered tag list: each tag once, its sub-tags in the order read or added.
typedef QList<QPair<QString, QList<_tagDataStreamSubTag>>> DataStreamTagList;

#endif // KXDATASTREAMTYPES_H
