#include "KXDataStream.h"
#include "KXDataStreamInternal.h"

namespace {

using SubTagList = QList<_tagDataStreamSubTag>;

const _tagDataStreamSubTag* findSubTag(const SubTagList& subTags, const QString& name)
{
    for (const _tagDataStreamSubTag& sub : subTags) {
        if (sub.subTag == name)
            return &sub;
    }
    return nullptr;
}

_tagDataStreamSubTag* findSubTag(SubTagList& subTags, const QString& name)
{
    for (_tagDataStreamSubTag& sub : subTags) {
        if (sub.subTag == name)
            return &sub;
    }
    return nullptr;
}

template <typename TagList>
auto findEntry(TagList& tags, const QString& tag) -> decltype(&tags.first())
{
    for (auto& entry : tags) {
        if (entry.first == tag)
            return &entry;
    }
    return nullptr;
}

} // namespace

EDataResult KXGetDataStreamResult(const DataStreamTagList& tags, const QString& tag,
                                  QByteArray& value, const QString& subTag, EDataProtocol protocol)
{
    const QString name = normalizeCmdName(tag, subTag);
    if (name.size() != 6)
        return DataResultNak;
    const QString wantedTag = name.left(3);
    const QString wantedSubTag = name.mid(3);
    for (const auto& entry : tags) {
        if (entry.first != wantedTag)
            continue;
        if (const _tagDataStreamSubTag* sub = findSubTag(entry.second, wantedSubTag))
            return KXParseDataStreamResult(sub->data, value, protocol);
    }
    return DataResultNak;
}

EDataResult KXGetDataStreamResult(const QByteArray& reply, const QString& tag, QByteArray& value,
                                  const QString& subTag, EDataProtocol protocol)
{
    const QString name = normalizeCmdName(tag, subTag);
    if (name.size() != 6)
        return DataResultNak;
    const QByteArray tagBytes = name.left(3).toUtf8();
    const QByteArray subTagBytes = name.mid(3).toUtf8();
    const int tagPos = reply.indexOf(tagBytes);
    if (tagPos < 0)
        return DataResultNak;
    const int subTagPos = reply.indexOf(subTagBytes, tagPos);
    if (subTagPos < 0)
        return DataResultNak;
    const int start = subTagPos + subTagBytes.size();
    int end;
    if (protocol == DataProtocol7E01) {
        end = reply.indexOf(";\x03", start);
        if (end < 0)
            return DataResultNak;
    } else {
        if (!reply.endsWith(";\x03"))
            return DataResultNak;
        end = reply.size() - 2;
    }
    return KXParseDataStreamResult(reply.mid(start, qMax(0, end - start)), value, protocol);
}

bool KXGetDataStreamValue(const DataStreamTagList& tags, const QString& tag, const QString& subTag,
                          _tagDataStreamSubTagValue& value)
{
    QByteArray raw;
    if (KXGetDataStreamResult(tags, tag, raw, subTag, DataProtocol7E01) != DataResultAck)
        return false;
    return KXParseDataStreamValue(QString::fromUtf8(raw), value);
}

bool KXGetDataStreamValue(const QMap<QString, QByteArray>& map, const QString& cmd,
                          QByteArray& value)
{
    const auto it = map.constFind(cmd);
    if (it == map.cend())
        return false;
    value = it.value();
    return true;
}

bool KXCheckTagsExists(const DataStreamTagList& tags, const QString& tag, const QString& subTag)
{
    const QString name = normalizeCmdName(tag, subTag);
    if (name.size() < 3)
        return false;
    const QString wantedTag = name.left(3);
    const QString wantedSubTag = name.size() >= 4 ? name.mid(3, 3) : QString();
    for (const auto& entry : tags) {
        if (entry.first != wantedTag)
            continue;
        if (wantedSubTag.isEmpty() || findSubTag(entry.second, wantedSubTag))
            return true;
    }
    return false;
}

bool KXUpdateTags(DataStreamTagList& tags, const QString& tag, const QByteArray& data,
                  const QString& subTag)
{
    if (!KXCheckDataACK(data))
        return false;
    const QString name = normalizeCmdName(tag, subTag);
    if (name.size() < 6)
        return false;
    const QString wantedTag = name.left(3);
    const QString wantedSubTag = name.mid(3, 3);
    if (auto* entry = findEntry(tags, wantedTag)) {
        if (_tagDataStreamSubTag* sub = findSubTag(entry->second, wantedSubTag))
            sub->data = data;
        else
            entry->second.append({wantedSubTag, data});
        return true;
    }
    tags.append(qMakePair(wantedTag, SubTagList{{wantedSubTag, data}}));
    return true;
}

bool KXCompareTags(const DataStreamTagList& wanted, DataStreamTagList& current,
                   DataStreamTagList& changed, DataStreamTagList& missing, bool update)
{
    if (wanted.isEmpty())
        return false;
    for (const auto& wantedEntry : wanted) {
        auto* currentEntry = findEntry(current, wantedEntry.first);
        if (!currentEntry) {
            missing.append(wantedEntry);
            continue;
        }
        SubTagList missingSubTags;
        SubTagList changedSubTags;
        for (const _tagDataStreamSubTag& wantedSub : wantedEntry.second) {
            _tagDataStreamSubTag* currentSub = findSubTag(currentEntry->second, wantedSub.subTag);
            if (!currentSub) {
                missingSubTags.append(wantedSub);
            } else if (currentSub->data != wantedSub.data) {
                changedSubTags.append(wantedSub);
                if (update)
                    currentSub->data = wantedSub.data;
            }
        }
        if (!missingSubTags.isEmpty())
            missing.append(qMakePair(wantedEntry.first, missingSubTags));
        if (!changedSubTags.isEmpty())
            changed.append(qMakePair(wantedEntry.first, changedSubTags));
    }
    return missing.isEmpty();
}
