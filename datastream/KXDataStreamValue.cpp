#include "KXDataStream.h"

#include <QRegularExpression>

bool KXParseDataStreamValue(const QString& text, _tagDataStreamSubTagValue& value)
{
    if (text.isEmpty())
        return false;
    const QVector<QStringRef> parts = text.splitRef(QLatin1Char('_'));

    for (const QStringRef& range : parts.at(0).split(QLatin1Char('|'))) {
        if (range.isEmpty())
            continue;
        // Every '-' separates, so "-5-10" has three pieces and is skipped.
        const QVector<QStringRef> bounds = range.split(QLatin1Char('-'));
        if (bounds.size() == 2)
            value.ranges.append(
                qMakePair(QVariant(bounds.at(0).toString()), QVariant(bounds.at(1).toString())));
        else if (bounds.size() == 1)
            value.ranges.append(
                qMakePair(QVariant(bounds.at(0).toString()), QVariant(bounds.at(0).toString())));
    }

    if (parts.size() > 1) {
        for (const QStringRef& item : parts.at(1).split(QLatin1Char('|'))) {
            const QVector<QStringRef> keyValue = item.split(QLatin1Char(':'));
            if (keyValue.size() == 2)
                value.items.append(qMakePair(QVariant(keyValue.at(0).toString()),
                                             QVariant(keyValue.at(1).toString())));
        }
    }
    return !value.ranges.isEmpty() || !value.items.isEmpty();
}

bool KXSplitValues(const QString& text, const QList<QString>& keys,
                   QList<QPair<QString, QString>>& values)
{
    if (text.isEmpty() || keys.isEmpty())
        return false;
    // Keys go in unescaped, as group names and as literal text; a key that
    // is no valid group name leaves the pattern invalid and nothing matches.
    QString pattern;
    for (const QString& key : keys)
        pattern += QStringLiteral("(?<%1>[^A-F]+)%2").arg(key, key);
    const QRegularExpression expression(pattern, QRegularExpression::CaseInsensitiveOption);
    if (!expression.isValid())
        return false;
    const QRegularExpressionMatch match = expression.match(text);
    if (!match.hasMatch())
        return false;
    for (const QString& key : keys)
        values.append(qMakePair(key, match.captured(key)));
    return values.size() == keys.size();
}

bool KXParseRangesToInt(const QList<QPair<QVariant, QVariant>>& ranges, QList<qint64>& values)
{
    quint64 produced = 0;
    for (const auto& range : ranges) {
        bool lowOk = false;
        bool highOk = false;
        const quint64 low = range.first.toULongLong(&lowOk);
        const quint64 high = range.second.toULongLong(&highOk);
        if (!lowOk || !highOk)
            return false;
        // The bounds convert unsigned but compare signed.
        const qint64 first = qint64(low);
        const qint64 last = qint64(high);
        if (first > last)
            continue;
        // Unsigned difference: exact even when the signed one would overflow.
        const quint64 span = quint64(last) - quint64(first);
        if (span >= quint64(KXMaxRangeValues) || produced + span + 1 > quint64(KXMaxRangeValues))
            return false;
        produced += span + 1;
        values.reserve(values.size() + int(span) + 1);
        for (quint64 i = 0; i <= span; ++i)
            values.append(qint64(quint64(first) + i));
    }
    return true;
}
