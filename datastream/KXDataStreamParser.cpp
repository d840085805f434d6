#include "KXDataStreamParser.h"

#include "KXDataStream.h"
#include "KXDataStreamInternal.h"
#include "KXDataStreamLog.h"

namespace {

constexpr int kNameLength = 3;
constexpr int kMnemonicLength = 6;

// Items of one byte that stand without a name: query and wildcard forms.
bool isSpecialItem(const char* d, int n)
{
    return n == 1 && (d[0] == '*' || d[0] == '&' || d[0] == '^');
}

// Splits `text` at `separator` into views of its bytes, dropping empty
// pieces. The views borrow `text`'s buffer and must not outlive it.
void splitNonEmpty(const QByteArray& text, char separator, QList<QByteArray>& out)
{
    const char* d = text.constData();
    const int n = text.size();
    int start = 0;
    for (int i = 0; i <= n; ++i) {
        if (i == n || d[i] == separator) {
            if (i > start)
                out.append(QByteArray::fromRawData(d + start, i - start));
            start = i + 1;
        }
    }
}

QByteArray view(const QByteArray& text, int from)
{
    return QByteArray::fromRawData(text.constData() + from, text.size() - from);
}

bool isImageCommand(const QString& mnemonic)
{
    return mnemonic == QLatin1String("IMGGET") || mnemonic == QLatin1String("IMGTGT") ||
           mnemonic == QLatin1String("IMGBGT") || mnemonic == QLatin1String("IMGJGT") ||
           mnemonic == QLatin1String("IMGGLI");
}

// A nameless special item under an empty tag carries no mnemonic at all.
bool hasNoMnemonic(const QString& tag, const _tagDataStreamSubTag& sub)
{
    return tag.isEmpty() && !sub.subTag.isEmpty();
}

} // namespace

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
    QList<QByteArray> cmds;
    if (!parseCmd(m_rawData, cmds))
        return false;
    addCommands(cmds);
    return !m_tagList.isEmpty();
}

bool KXDataStreamParser::parseCmd(const QByteArray& frame, QList<QByteArray>& cmds) const
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
    const QByteArray text =
        QByteArray::fromRawData(frame.constData() + kDataStreamHeaderSize + 1, length - 1);
    if (m_protocol == DataProtocol7E01)
        splitNonEmpty(text, ';', cmds);
    else if (!text.isEmpty())
        cmds.append(text); // other envelopes may carry ';' and ',' inside binary data
    return !cmds.isEmpty();
}

bool KXDataStreamParser::parseTag(const QByteArray& cmd, _tagDataStreamTag& tag) const
{
    if (cmd.size() < kNameLength) {
        if (!isSpecialItem(cmd.constData(), cmd.size()))
            return false;
        tag.tag.clear();
        tag.subTags = {cmd};
        return true;
    }
    QList<QByteArray> items;
    const QByteArray rest = view(cmd, kNameLength);
    if (m_protocol == DataProtocol7E01)
        splitNonEmpty(rest, ',', items);
    else if (!rest.isEmpty())
        items.append(rest);
    if (items.isEmpty())
        return false;
    tag.tag = QString::fromLatin1(cmd.constData(), kNameLength);
    tag.subTags = items;
    return true;
}

bool KXDataStreamParser::parseSubTag(const QByteArray& item, _tagDataStreamSubTag& subTag) const
{
    if (item.size() < kNameLength) {
        if (!isSpecialItem(item.constData(), item.size()))
            return false;
        subTag.subTag.clear();
        subTag.data = QByteArray(item.constData(), item.size());
        return true;
    }
    subTag.subTag = QString::fromLatin1(item.constData(), kNameLength);
    // Deep copy: the item may be a view of a caller's buffer.
    subTag.data = QByteArray(item.constData() + kNameLength, item.size() - kNameLength);
    return true;
}

void KXDataStreamParser::addCommands(const QList<QByteArray>& cmds)
{
    for (const QByteArray& cmd : cmds) {
        _tagDataStreamTag tag;
        if (!parseTag(cmd, tag))
            continue;
        QList<_tagDataStreamSubTag> collected;
        for (const QByteArray& item : qAsConst(tag.subTags)) {
            _tagDataStreamSubTag sub;
            if (parseSubTag(item, sub))
                collected.append(sub);
        }
        if (!collected.isEmpty())
            addSubTags(tag.tag, collected);
    }
}

bool KXDataStreamParser::setDataWithoutHeader(const QByteArray& text, EDataProtocol protocol)
{
    m_tagList.clear();
    m_seenTags.clear();
    QList<QByteArray> cmds;
    if (protocol == DataProtocol7E01) {
        m_protocol = DataProtocol7E01;
        splitNonEmpty(text, ';', cmds);
    } else if (!text.isEmpty()) {
        cmds.append(text);
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
            const bool benignNak = entry.first == QLatin1String("DFM") &&
                                   (sub.subTag == QLatin1String("ADD") ||
                                    sub.subTag == QLatin1String("SET")) &&
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
