#include "KXDataStreamParser.h"

#include "KXDataStream.h"
#include "KXDataStreamInternal.h"
#include "KXDataStreamLog.h"

#include <cstring>

namespace {

constexpr int kNameLength = 3;
constexpr int kMnemonicLength = 6;

// Items of one byte that stand without a name: query and wildcard forms.
bool isSpecialItem(const char* d, int n)
{
    return n == 1 && (d[0] == '*' || d[0] == '&' || d[0] == '^');
}

// A nameless special item under an empty tag carries no mnemonic at all.
bool hasNoMnemonic(const QString& tag, const _tagDataStreamSubTag& sub)
{
    return tag.isEmpty() && !sub.subTag.isEmpty();
}

} // namespace

// Splits at `separator` into views of the same bytes, dropping empty pieces.
// Views instead of byte arrays: a reply is cut into many small pieces, and
// allocating each one dominated the cost of parsing.
void KXDataStreamParser::splitViews(const char* d, int n, char separator, ViewList& out)
{
    int start = 0;
    while (start < n) {
        const void* hit = std::memchr(d + start, separator, size_t(n - start));
        const int stop = hit ? int(static_cast<const char*>(hit) - d) : n;
        if (stop > start)
            out.append({d + start, stop - start});
        start = stop + 1;
    }
}

bool isImageCommand(const QString& mnemonic)
{
    return mnemonic == QLatin1String("IMGGET") || mnemonic == QLatin1String("IMGTGT") ||
           mnemonic == QLatin1String("IMGBGT") || mnemonic == QLatin1String("IMGJGT") ||
           mnemonic == QLatin1String("IMGGLI");
}

KXDataStreamParser::KXDataStreamParser() = default;

KXDataStreamParser::KXDataStreamParser(const QByteArray& data, EDataType type) : m_dataType(type)
{
    const EDataProtocol protocol = detectDataProtocol(data);
    if (protocol == DataProtocolNone)
        return;
    m_protocol = protocol;
    m_rawData = data;
    m_valid = parseDataStream();
}

bool KXDataStreamParser::parseDataStream()
{
    m_tagList.clear();
    m_seenTags.clear();
    ViewList cmds;
    if (!parseCmd(m_rawData, cmds))
        return false;
    addCommands(cmds);
    return !m_tagList.isEmpty();
}

bool KXDataStreamParser::parseCmd(const QByteArray& frame, ViewList& cmds) const
{
    if (frame.size() < 9 || !frame.endsWith(";\x03"))
        return false;
    const int length = frame.size() - kDataStreamHeaderSize - 2;
    if (length <= 0) {
        qCDebug(lcDataStream) << "parseCmd fail temp length = 0";
        return false;
    }
    const char prefix = frame.at(kDataStreamHeaderSize);
    if (prefix != '@' && prefix != '#')
        return false;
    const char* text = frame.constData() + kDataStreamHeaderSize + 1;
    if (m_protocol == DataProtocol7E01)
        splitViews(text, length - 1, ';', cmds);
    else if (length > 1)
        cmds.append({text, length - 1}); // other envelopes may carry ';' and ',' in binary data
    return !cmds.isEmpty();
}

bool KXDataStreamParser::parseTag(ByteView cmd, QString& tag, ViewList& items) const
{
    if (cmd.size < kNameLength) {
        if (!isSpecialItem(cmd.data, cmd.size))
            return false;
        tag.clear();
        items.append(cmd);
        return true;
    }
    const ByteView rest{cmd.data + kNameLength, cmd.size - kNameLength};
    if (m_protocol == DataProtocol7E01)
        splitViews(rest.data, rest.size, ',', items);
    else if (rest.size > 0)
        items.append(rest);
    if (items.isEmpty())
        return false;
    tag = QString::fromLatin1(cmd.data, kNameLength);
    return true;
}

bool KXDataStreamParser::parseSubTag(ByteView item, _tagDataStreamSubTag& subTag) const
{
    if (item.size < kNameLength) {
        if (!isSpecialItem(item.data, item.size))
            return false;
        subTag.subTag.clear();
        subTag.data = QByteArray(item.data, item.size);
        return true;
    }
    subTag.subTag = QString::fromLatin1(item.data, kNameLength);
    subTag.data = QByteArray(item.data + kNameLength, item.size - kNameLength);
    return true;
}

void KXDataStreamParser::addCommands(const ViewList& cmds)
{
    for (const ByteView& cmd : cmds) {
        QString tag;
        ViewList items;
        if (!parseTag(cmd, tag, items))
            continue;
        QList<_tagDataStreamSubTag> collected;
        collected.reserve(items.size());
        for (const ByteView& item : items) {
            _tagDataStreamSubTag sub;
            if (parseSubTag(item, sub))
                collected.append(sub);
        }
        if (!collected.isEmpty())
            addSubTags(tag, collected);
    }
}

bool KXDataStreamParser::setDataWithoutHeader(const QByteArray& text, EDataProtocol protocol)
{
    m_tagList.clear();
    m_seenTags.clear();
    ViewList cmds;
    if (protocol == DataProtocol7E01) {
        m_protocol = DataProtocol7E01;
        splitViews(text.constData(), text.size(), ';', cmds);
    } else if (!text.isEmpty()) {
        cmds.append({text.constData(), text.size()});
    }
    if (cmds.isEmpty())
        return false;
    addCommands(cmds);
    m_valid = !m_tagList.isEmpty();
    return m_valid;
}

QStringList KXDataStreamParser::getAllCmds() const
{
    QStringList cmds;
    for (const auto& entry : m_tagList) {
        for (const _tagDataStreamSubTag& sub : entry.second) {
            if (!hasNoMnemonic(entry.first, sub))
                cmds.append(entry.first + sub.subTag);
        }
    }
    return cmds;
}

QMap<QString, QByteArray> KXDataStreamParser::getTagMap(bool ackOnly) const
{
    QMap<QString, QByteArray> map;
    for (const auto& entry : m_tagList) {
        if (entry.first.isEmpty())
            continue;
        for (const _tagDataStreamSubTag& sub : entry.second) {
            if (sub.subTag.isEmpty() || sub.data.isEmpty())
                continue;
            if (!ackOnly)
                map.insert(entry.first + sub.subTag, sub.data);
            else if (sub.data.endsWith(kDataStreamAck))
                map.insert(entry.first + sub.subTag, sub.data.left(sub.data.size() - 1));
        }
    }
    return map;
}

bool KXDataStreamParser::getSubTags(const QString& tag, QList<_tagDataStreamSubTag>& out) const
{
    if (tag.size() != kNameLength)
        return false;
    for (const auto& entry : m_tagList) {
        if (entry.first == tag) {
            out = entry.second;
            return true;
        }
    }
    return false;
}

bool KXDataStreamParser::getSubTagData(const QString& tag, const QString& subTag,
                                       _tagDataStreamSubTag& out) const
{
    QList<_tagDataStreamSubTag> subTags;
    if (!getSubTags(tag, subTags))
        return false;
    for (const _tagDataStreamSubTag& sub : qAsConst(subTags)) {
        if (sub.subTag == subTag) {
            out = sub;
            return true;
        }
    }
    return false;
}

bool KXDataStreamParser::getSubTagData(const QString& cmd, _tagDataStreamSubTag& out) const
{
    if (cmd.size() != kMnemonicLength)
        return false;
    return getSubTagData(cmd.left(kNameLength), cmd.mid(kNameLength), out);
}

QList<QPair<QString, QByteArray>> KXDataStreamParser::getSubTagDatas(const QString& tag) const
{
    QList<QPair<QString, QByteArray>> pairs;
    for (const auto& entry : m_tagList) {
        if (!tag.isEmpty() && entry.first != tag)
            continue;
        for (const _tagDataStreamSubTag& sub : entry.second) {
            if (!hasNoMnemonic(entry.first, sub))
                pairs.append(qMakePair(entry.first + sub.subTag, sub.data));
        }
    }
    return pairs;
}

bool KXDataStreamParser::setSubTagData(const QString& cmd, const QByteArray& data)
{
    const QString name = normalizeCmdName(cmd, QString());
    if (name.size() != kMnemonicLength)
        return false;
    const QString tag = name.left(kNameLength);
    const QString subTag = name.mid(kNameLength);
    for (auto& entry : m_tagList) {
        if (entry.first != tag)
            continue;
        for (_tagDataStreamSubTag& sub : entry.second) {
            if (sub.subTag == subTag) {
                sub.data = data;
                return true;
            }
        }
        return false; // only the first entry of a tag is looked at
    }
    return false;
}

bool KXDataStreamParser::setSubTagDatas(const QMap<QString, QByteArray>& map)
{
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        if (!setSubTagData(it.key(), it.value()))
            return false;
    }
    return true;
}

bool KXDataStreamParser::exists(const QString& tag, const QString& subTag) const
{
    return KXCheckTagsExists(m_tagList, tag, subTag);
}

bool KXDataStreamParser::addSubTags(const QString& tag, const QList<_tagDataStreamSubTag>& subTags)
{
    if (m_seenTags.contains(tag)) {
        for (auto& entry : m_tagList) {
            if (entry.first == tag) {
                entry.second.append(subTags);
                return true;
            }
        }
    }
    m_seenTags.insert(tag, tag);
    m_tagList.append(qMakePair(tag, subTags));
    return true;
}

QByteArray KXDataStreamParser::toByteArray(bool at) const
{
    return KXMakeDataStreamCmd(serializeTags(m_tagList, at ? '@' : '#'), m_protocol, true);
}

QByteArray KXDataStreamParser::toRawData() const
{
    return serializeTags(m_tagList, 0);
}

bool KXDataStreamParser::checkAllCmdAck(QList<QString>& failed) const
{
    if (m_dataType != DataTypeResponse)
        return true;
    if (!m_valid)
        return false;
    bool allAccepted = true;
    for (const auto& entry : m_tagList) {
        qCDebug(lcDataStream).noquote() << QStringLiteral("it.first=") + entry.first;
        for (const _tagDataStreamSubTag& sub : entry.second) {
            QByteArray value;
            if (KXParseDataStreamResult(sub.data, value, DataProtocol7E01) == DataResultAck)
                continue;
            // DFMADD and DFMSET may answer a bare NAK; the reply still counts
            // as accepted for these two.
            const bool benignNak =
                entry.first == QLatin1String("DFM") &&
                (sub.subTag == QLatin1String("ADD") || sub.subTag == QLatin1String("SET")) &&
                sub.data.size() == 1 && sub.data.at(0) == kDataStreamNak;
            if (benignNak)
                continue;
            failed.append(entry.first + sub.subTag);
            allAccepted = false;
        }
    }
    return allAccepted;
}

bool KXDataStreamParser::hasSpecialCmd(const QList<QPair<QString, QByteArray>>& cmds, QString& cmd,
                                       QByteArray& params)
{
    for (const auto& pair : cmds) {
        if (!isImageCommand(pair.first))
            continue;
        if (isSpecialItem(pair.second.constData(), pair.second.size()))
            continue; // query form: the reply carries no image data
        cmd = pair.first;
        params = pair.second;
        return true;
    }
    return false;
}
