#include "KXDataStreamParser.h"

#include "KXDataStream.h"
#include "KXDataStreamInternal.h"
#include "KXDataStreamLog.h"

#include <QHash>

#include <cstring>
#include <utility>

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

// Replies name the same few tags, sub-tags and mnemonics over and over. Each
// thread keeps the name strings it made last and hands out shared copies, so
// parsing allocates for the data only, not for every name.
class NameCache
{
public:
    // Names and mnemonics: N is 3 or 6.
    template <int N>
    QString get(const char* d)
    {
        static_assert(N > 0 && N < 8, "the length and the bytes share one key");
        quint64 key = quint64(N) << 56;
        for (int i = 0; i < N; ++i)
            key |= quint64(uchar(d[i])) << (8 * i);
        // Two ways per set, the most recently used first, so that two busy
        // names that hash alike do not keep pushing each other out.
        Slot* set = m_slots[size_t((key * 0x9E3779B97F4A7C15ull) >> 56)];
        if (set[0].key != key) {
            std::swap(set[0], set[1]);
            if (set[0].key != key) {
                set[0].key = key;
                set[0].name = QString::fromLatin1(d, N);
            }
        }
        return set[0].name;
    }

private:
    struct Slot
    {
        quint64 key = 0; // no name has length 0, so an empty slot never matches
        QString name;
    };
    Slot m_slots[256][2];
};

NameCache& nameCache()
{
    static thread_local NameCache cache;
    return cache;
}

// tag + name, shared through the cache when both are three Latin-1 letters
// (always so for parsed lists; a caller may add anything).
QString mnemonic(NameCache& names, const QString& tag, const QString& name)
{
    if (tag.size() == kNameLength && name.size() == kNameLength) {
        const QChar* t = tag.unicode();
        const QChar* n = name.unicode();
        const ushort all = t[0].unicode() | t[1].unicode() | t[2].unicode() | n[0].unicode() |
                           n[1].unicode() | n[2].unicode();
        if (all < 0x100) {
            const char text[kMnemonicLength] = {char(t[0].unicode()), char(t[1].unicode()),
                                                char(t[2].unicode()), char(n[0].unicode()),
                                                char(n[1].unicode()), char(n[2].unicode())};
            return names.get<kMnemonicLength>(text);
        }
    }
    return tag + name;
}

// Where each tag's entry stands in the list being built. A scan is fastest
// for the few tags of a real reply; a hostile frame may hold thousands, and
// then a hash keeps parsing linear.
class TagIndex
{
public:
    // 0 for the empty tag of a special command, else the three bytes and a
    // marker bit.
    static quint32 keyOf(const char* d, int n)
    {
        return n == 0 ? 0u
                      : (1u << 24) | uchar(d[0]) | (uint(uchar(d[1])) << 8) |
                            (uint(uchar(d[2])) << 16);
    }

    int find(quint32 key) const
    {
        if (!m_hash.isEmpty())
            return m_hash.value(key, -1);
        for (int i = 0; i < m_keys.size(); ++i) {
            if (m_keys[i] == key)
                return i;
        }
        return -1;
    }

    // Records the key of the next entry, which stands after all known ones.
    void add(quint32 key)
    {
        if (m_hash.isEmpty() && m_keys.size() < kScanLimit) {
            m_keys.append(key);
            return;
        }
        if (m_hash.isEmpty()) {
            for (int i = 0; i < m_keys.size(); ++i)
                m_hash.insert(m_keys[i], i);
        }
        m_hash.insert(key, m_hash.size());
    }

private:
    static constexpr int kScanLimit = 16;
    QVarLengthArray<quint32, kScanLimit> m_keys;
    QHash<quint32, int> m_hash;
};

} // namespace

bool isImageCommand(const QString& mnemonic)
{
    return mnemonic == QLatin1String("IMGGET") || mnemonic == QLatin1String("IMGTGT") ||
           mnemonic == QLatin1String("IMGBGT") || mnemonic == QLatin1String("IMGJGT") ||
           mnemonic == QLatin1String("IMGGLI");
}

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

bool KXDataStreamParser::parseTag(ByteView cmd, ByteView& tag, ViewList& items) const
{
    if (cmd.size < kNameLength) {
        if (!isSpecialItem(cmd.data, cmd.size))
            return false;
        tag = {cmd.data, 0};
        items.append(cmd);
        return true;
    }
    const ByteView rest{cmd.data + kNameLength, cmd.size - kNameLength};
    if (m_protocol == DataProtocol7E01)
        splitViews(rest.data, rest.size, ',', items);
    else if (rest.size > 0)
        items.append(rest);
    tag = {cmd.data, kNameLength};
    return !items.isEmpty();
}

bool KXDataStreamParser::parseSubTag(ByteView item, ByteView& name, ByteView& data)
{
    if (item.size < kNameLength) {
        if (!isSpecialItem(item.data, item.size))
            return false;
        name = {item.data, 0};
        data = item;
        return true;
    }
    name = {item.data, kNameLength};
    data = {item.data + kNameLength, item.size - kNameLength};
    return true;
}

// Builds the tag list in one pass: each sub-tag record is made in place in
// its entry, and repeated tags are found through a local index.
void KXDataStreamParser::addCommands(const ViewList& cmds)
{
    NameCache& names = nameCache();
    TagIndex index;
    for (const ByteView& cmd : cmds) {
        ByteView tag;
        ViewList items;
        if (!parseTag(cmd, tag, items))
            continue;
        ByteView name;
        ByteView data;
        int kept = 0; // good items move to the front
        for (int i = 0; i < items.size(); ++i) {
            if (parseSubTag(items[i], name, data))
                items[kept++] = items[i];
        }
        if (kept == 0)
            continue;

        const quint32 key = TagIndex::keyOf(tag.data, tag.size);
        int at = index.find(key);
        if (at < 0) {
            at = m_tagList.size();
            index.add(key);
            m_tagList.append(DataStreamTagList::value_type());
            auto& entry = m_tagList.last();
            if (tag.size > 0)
                entry.first = names.get<kNameLength>(tag.data);
            entry.second.reserve(kept);
        }
        QList<_tagDataStreamSubTag>& subTags = m_tagList[at].second;
        for (int i = 0; i < kept; ++i) {
            parseSubTag(items[i], name, data);
            subTags.append(_tagDataStreamSubTag());
            _tagDataStreamSubTag& sub = subTags.last();
            if (name.size > 0)
                sub.subTag = names.get<kNameLength>(name.data);
            sub.data = QByteArray(data.data, data.size);
        }
    }
}

bool KXDataStreamParser::setDataWithoutHeader(const QByteArray& text, EDataProtocol protocol)
{
    m_tagList.clear();
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
    NameCache& names = nameCache();
    QStringList cmds;
    for (const auto& entry : m_tagList) {
        for (const _tagDataStreamSubTag& sub : entry.second) {
            if (!hasNoMnemonic(entry.first, sub))
                cmds.append(mnemonic(names, entry.first, sub.subTag));
        }
    }
    return cmds;
}

QMap<QString, QByteArray> KXDataStreamParser::getTagMap(bool ackOnly) const
{
    NameCache& names = nameCache();
    QMap<QString, QByteArray> map;
    for (const auto& entry : m_tagList) {
        if (entry.first.isEmpty())
            continue;
        for (const _tagDataStreamSubTag& sub : entry.second) {
            if (sub.subTag.isEmpty() || sub.data.isEmpty())
                continue;
            if (!ackOnly)
                map.insert(mnemonic(names, entry.first, sub.subTag), sub.data);
            else if (sub.data.endsWith(kDataStreamAck))
                map.insert(mnemonic(names, entry.first, sub.subTag),
                           QByteArray(sub.data.constData(), sub.data.size() - 1));
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
    NameCache& names = nameCache();
    QList<QPair<QString, QByteArray>> pairs;
    for (const auto& entry : m_tagList) {
        if (!tag.isEmpty() && entry.first != tag)
            continue;
        for (const _tagDataStreamSubTag& sub : entry.second) {
            if (!hasNoMnemonic(entry.first, sub))
                pairs.append(qMakePair(mnemonic(names, entry.first, sub.subTag), sub.data));
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
    // A repeated tag joins its first entry. The list is searched directly:
    // it is short, and parsing keeps an index of its own.
    for (auto& entry : m_tagList) {
        if (entry.first == tag) {
            entry.second.append(subTags);
            return true;
        }
    }
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
