#include "KXDataStreamMaker.h"

#include "KXDataStream.h"
#include "KXDataStreamInternal.h"

QString normalizeCmdName(const QString& tag, const QString& subTag)
{
    QString name = tag + subTag;
    if (name.startsWith(QLatin1Char('@')) || name.startsWith(QLatin1Char('#')))
        name.remove(0, 1);
    return name;
}

QByteArray serializeTags(const DataStreamTagList& tags, char prefix)
{
    QByteArray out;
    if (prefix == '@' || prefix == '#')
        out.append(prefix);
    for (const auto& entry : tags) {
        QByteArray command;
        if (entry.first.size() == 3) {
            command = entry.first.toLatin1();
            bool first = true;
            for (const _tagDataStreamSubTag& sub : entry.second) {
                const QByteArray piece = sub.subTag.toLatin1() + sub.data;
                if (piece.isEmpty())
                    continue;
                if (!first)
                    command.append(',');
                command.append(piece);
                first = false;
            }
        } else {
            command = entry.first.toLatin1();
        }
        // No ';' directly after the prefix, but an empty command still gets
        // its separator once text has started.
        if (out.size() > 1)
            out.append(';');
        out.append(command);
    }
    if (!out.isEmpty() && !out.endsWith(';'))
        out.append(';');
    return out;
}

KXDataStreamMaker::KXDataStreamMaker(EDataProtocol protocol) : m_protocol(protocol) {}

bool KXDataStreamMaker::add(const QString& tag, const QByteArray& data, const QString& subTag,
                            bool allowDuplicate)
{
    if (tag.isEmpty())
        return false;
    for (auto& entry : m_tagList) {
        if (entry.first != tag)
            continue;
        if (!allowDuplicate) {
            for (const _tagDataStreamSubTag& sub : qAsConst(entry.second)) {
                if (sub.subTag == subTag)
                    return false;
            }
        }
        entry.second.append({subTag, data});
        return true;
    }
    m_tagList.append(qMakePair(tag, QList<_tagDataStreamSubTag>{{subTag, data}}));
    return true;
}

bool KXDataStreamMaker::addCmd(const QString& cmd, const QByteArray& data, bool allowDuplicate)
{
    if (cmd.size() != 6)
        return false;
    return add(cmd.left(3), data, cmd.right(3), allowDuplicate);
}

QByteArray KXDataStreamMaker::toByteArray(bool at) const
{
    if (m_tagList.isEmpty())
        return QByteArray();
    return KXMakeDataStreamCmd(serializeTags(m_tagList, at ? '@' : '#'), m_protocol, true);
}

QByteArray KXDataStreamMaker::toRawData() const
{
    return serializeTags(m_tagList, 0);
}
