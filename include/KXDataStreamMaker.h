#ifndef KXDATASTREAMMAKER_H
#define KXDATASTREAMMAKER_H

#include "KXDataStreamTypes.h"

// Builds a tag list command by command and writes it as a framed command in
// the envelope chosen at construction. A plain value type without I/O.
class KXDEVICEKIT_EXPORT KXDataStreamMaker
{
public:
    explicit KXDataStreamMaker(EDataProtocol protocol = DataProtocol7E01);

    // Adds (subTag, data) under `tag`. Fails for an empty tag, and for a
    // sub-tag the tag already holds unless `allowDuplicate` is true.
    bool add(const QString& tag, const QByteArray& data, const QString& subTag,
             bool allowDuplicate = false);
    // `cmd` is a six-letter mnemonic such as "DFMQCU".
    bool addCmd(const QString& cmd, const QByteArray& data, bool allowDuplicate = false);

    // Framed command, prefixed with '@' when `at` is true and '#' otherwise;
    // empty when nothing was added.
    QByteArray toByteArray(bool at = true) const;
    // Bare text: no prefix, no envelope.
    QByteArray toRawData() const;

    EDataProtocol protocol() const { return m_protocol; }
    const DataStreamTagList& tagList() const { return m_tagList; }

private:
    DataStreamTagList m_tagList;
    EDataProtocol m_protocol;
};

#endif // KXDATASTREAMMAKER_H
