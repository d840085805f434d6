#include "KXOffLineEngine.h"

#include "datastream/KXDataStreamInternal.h"

#include <limits>

namespace {

const QString kDataFormatQuery = QStringLiteral("DFMQCU");
const QString kDataFormatAdd = QStringLiteral("DFMADD");
const QString kDataFormatReset = QStringLiteral("DFMCAL");
const QString kScriptQuery = QStringLiteral("LUAQRY");
const QString kScriptAdd = QStringLiteral("LUAADD");
const QString kScriptClear = QStringLiteral("LUACLR");
const QString kLineEnd = QStringLiteral(";\r\n");

constexpr char kHostHeader[] = {'\x7E', '\x01', '0', '0', '0', '0'};

bool isQuery(const QString& parameter)
{
    return parameter == QLatin1String("*") || parameter == QLatin1String("^") ||
           parameter == QLatin1String("&");
}

bool isNumberControl(const QString& type)
{
    return type == QLatin1String("SpinBox") || type == QLatin1String("ToggleButton") ||
           type == QLatin1String("SpinSlider") || type == QLatin1String("DoubleSpinBox") ||
           type == QLatin1String("DoubleSlider");
}

bool isListControl(const QString& type)
{
    return type == QLatin1String("ComboBox") || type == QLatin1String("COMBOBOXCUSTOM") ||
           type == QLatin1String("Radio");
}

// A bound that is empty or not a decimal integer counts as 0.
qint64 boundValue(const QString& text)
{
    bool ok = false;
    const qint64 value = text.toLongLong(&ok, 10);
    return ok ? value : 0;
}

bool isIntegerWithin(const QString& parameter, const OfflineSetting& setting)
{
    bool ok = false;
    const qint64 value = parameter.toLongLong(&ok, 10);
    return ok && value >= boundValue(setting.minimum) && value <= boundValue(setting.maximum);
}

// Command text travels as bytes; Latin-1 keeps every byte as it came.
QString textOf(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes);
}

// The data formats (DFMQCU's value) as lines while DFMADD pieces go into
// them. A command text with thousands of pieces then costs one split and one
// rebuild of the formats instead of one per command, which made long texts
// quadratic.
class DataFormatLines
{
public:
    ~DataFormatLines() { Q_ASSERT(!m_formats); }

    void merge(OfflineSetting* formats, const QString& addition, int headerLength)
    {
        if (!m_formats) {
            m_formats = formats;
            m_lines = formats->currentValue.split(kLineEnd, Qt::SkipEmptyParts);
        }
        for (const QString& piece : addition.split(QLatin1Char('|'))) {
            if (piece.isEmpty())
                continue;
            const QChar first = piece.at(0);
            const int line = first.isDigit() ? first.digitValue() : 0;
            if (line >= m_lines.size())
                continue;
            QString& target = m_lines[line];
            if (target.size() > headerLength)
                target.append(QLatin1Char('|'));
            target.append(piece);
        }
        // A piece holding a line end splits its line once the text is
        // rebuilt, and the next addition counts lines after that.
        if (addition.contains(kLineEnd))
            writeBack();
    }

    // Rebuilds DFMQCU's value from the lines; needed before it is next read
    // or set.
    void writeBack()
    {
        if (!m_formats)
            return;
        QString rebuilt;
        for (const QString& line : qAsConst(m_lines))
            rebuilt += line + kLineEnd;
        m_formats->currentValue = rebuilt;
        m_formats = nullptr;
    }

private:
    OfflineSetting* m_formats = nullptr; // DFMQCU while its lines are held here
    QStringList m_lines;
};

} // namespace

const QString& KXOffLineEngine::dataFormatText()
{
    static const QString text = QStringLiteral("Data Format 0:;\r\nData Format 1:;\r\n"
                                               "Data Format 2:;\r\nData Format 3:;\r\n");
    return text;
}

KXOffLineEngine::KXOffLineEngine() = default;

KXOffLineEngine::~KXOffLineEngine()
{
    clearSettings();
}

void KXOffLineEngine::clearSettings()
{
    qDeleteAll(m_settings);
    m_settings.clear();
    m_rangeReply.clear();
    m_defaultReply.clear();
}

OfflineSetting* KXOffLineEngine::findSetting(const QString& mnemonic) const
{
    return m_settings.value(mnemonic, nullptr);
}

const OfflineSetting* KXOffLineEngine::setting(const QString& mnemonic) const
{
    return findSetting(mnemonic);
}

QByteArray KXOffLineEngine::deviceFrame(const QByteArray& replyText)
{
    QByteArray frame("\x02\x01"
                     "0000@",
                     7);
    frame.append(replyText).append(";\x03", 2);
    return frame;
}

bool KXOffLineEngine::answerFrame(const QByteArray& data, QByteArray& reply)
{
    const int header = data.indexOf(QByteArray::fromRawData(kHostHeader, sizeof kHostHeader));
    if (header < 0)
        return false;
    // The prefix byte is skipped whatever it is.
    const int textStart = header + kDataStreamHeaderSize + 1;
    const int terminator = data.lastIndexOf(";\x03");
    if (terminator <= textStart)
        return false;
    QByteArray replyText;
    if (answerText(data.mid(textStart, terminator - textStart), replyText))
        reply.append(deviceFrame(replyText));
    return true;
}

bool KXOffLineEngine::answerText(const QByteArray& text, QByteArray& replyText)
{
    if (text == "*") {
        replyText = allSettingsReply(Column::Current);
        return true;
    }
    if (text == "^" || text == "&") {
        replyText = text == "^" ? m_rangeReply : m_defaultReply;
        return !replyText.isEmpty();
    }
    replyText = answerCommands(text);
    return true;
}

QByteArray KXOffLineEngine::answerCommands(const QByteArray& text)
{
    // "DFMQCU,ADD0a;LUAQRY" stands for DFMQCU, DFMADD0a and LUAQRY: later
    // items of a part borrow the tag of its first item.
    QList<QByteArray> commands;
    for (const QByteArray& part : text.split(';')) {
        QByteArray tag;
        for (const QByteArray& item : part.split(',')) {
            if (item.isEmpty())
                continue;
            if (tag.isEmpty()) {
                tag = item.left(3);
                commands.append(item);
            } else {
                commands.append(tag + item);
            }
        }
    }

    QByteArray reply;
    QByteArray firstTag;
    DataFormatLines formatLines;
    for (int i = 0; i < commands.size(); ++i) {
        const QByteArray& command = commands.at(i);
        const QByteArray name = command.left(6);
        const QString mnemonic = textOf(name);
        const QString parameter = textOf(command.mid(6));
        // Replies name later commands of the first command's tag by their
        // sub-tag alone, as the device does.
        if (i == 0) {
            firstTag = name.left(3);
            reply.append(name);
        } else if (name.left(3) == firstTag) {
            reply.append(',').append(name.mid(3));
        } else {
            reply.append(';').append(name);
        }

        if (mnemonic == kDataFormatQuery || mnemonic == kDataFormatReset)
            formatLines.writeBack();
        OfflineSetting* setting = findSetting(mnemonic);
        if (!setting) {
            OfflineSetting* script = findSetting(kScriptQuery);
            if (mnemonic == kScriptClear && script) {
                script->currentValue.clear();
                reply.append(kDataStreamAck);
            } else {
                reply.append(kDataStreamEnq);
            }
            continue;
        }

        if (checkParameter(*setting, parameter)) {
            QString value;
            if (parameter == QLatin1String("*")) {
                value = setting->currentValue;
            } else if (parameter == QLatin1String("^")) {
                value = setting->settingsList;
            } else if (parameter == QLatin1String("&")) {
                value = setting->defaultValue;
            } else {
                if (!setting->queryOnly)
                    setting->currentValue = parameter;
                value = setting->currentValue;
            }
            reply.append(value.toLatin1()).append(kDataStreamAck);
        } else {
            reply.append(parameter.toLatin1()).append(kDataStreamNak);
        }

        if (mnemonic == kDataFormatAdd) {
            if (OfflineSetting* formats = findSetting(kDataFormatQuery))
                formatLines.merge(formats, setting->currentValue, DataFormatHeaderLength);
        } else if (mnemonic == kDataFormatReset) {
            if (OfflineSetting* formats = findSetting(kDataFormatQuery))
                formats->currentValue = dataFormatText();
        } else if (mnemonic == kScriptAdd && parameter.isEmpty()) {
            if (OfflineSetting* script = findSetting(kScriptQuery))
                script->currentValue.clear();
        }
    }
    formatLines.writeBack();
    return reply;
}

bool KXOffLineEngine::checkParameter(OfflineSetting& setting, const QString& parameter) const
{
    if (isQuery(parameter) || setting.queryOnly)
        return true;
    if (isNumberControl(setting.controlType))
        return !parameter.isEmpty() && isIntegerWithin(parameter, setting);
    if (isListControl(setting.controlType)) {
        if (parameter.isEmpty())
            return false;
        if (setting.items.isEmpty())
            parseSettingsList(setting.settingsList, setting.items);
        return setting.items.contains(parameter) || isIntegerWithin(parameter, setting);
    }
    return true;
}

QByteArray KXOffLineEngine::allSettingsReply(Column column) const
{
    QByteArray reply;
    QString lastTag;
    bool first = true;
    for (auto it = m_settings.cbegin(); it != m_settings.cend(); ++it) {
        const OfflineSetting& setting = *it.value();
        if (setting.notSupported || setting.queryOnly)
            continue;
        if (column == Column::Current && setting.commandName == kDataFormatAdd)
            continue;
        const QString& value = column == Column::Current ? setting.currentValue
                               : column == Column::Range ? setting.settingsList
                                                         : setting.defaultValue;
        const QString tag = it.key().left(3);
        if (first) {
            reply.append(it.key().toLatin1());
            lastTag = tag;
            first = false;
        } else if (tag == lastTag) {
            reply.append(',').append(it.key().mid(3).toLatin1());
        } else {
            reply.append(';').append(it.key().toLatin1());
            lastTag = tag;
        }
        reply.append(value.toLatin1()).append(kDataStreamAck);
    }
    reply.append(';');
    return reply;
}

void KXOffLineEngine::parseSettingsList(const QString& text, QMap<QString, QString>& items)
{
    // Ranges cost one step per integer even where the key is there already,
    // so their work is bounded too, not only the map's size.
    qint64 rangeSteps = 0;
    const qint64 maxRangeSteps = 4 * qint64(MaxListKeys);
    for (const QString& rawEntry : text.split(QLatin1Char('|'))) {
        const QString entry = rawEntry.trimmed();
        if (entry.isEmpty())
            continue;
        const int colon = entry.indexOf(QLatin1Char(':'));
        if (colon >= 0) {
            const QString a = entry.left(colon).trimmed();
            const QString b = entry.mid(colon + 1).trimmed();
            bool isNumber = false;
            a.toLongLong(&isNumber, 10);
            if (isNumber)
                items.insert(a, b);
            else
                items.insert(b, a);
            continue;
        }
        const int dash = entry.lastIndexOf(QLatin1Char('-'));
        if (dash < 0) {
            items.insert(entry, entry);
            continue;
        }
        bool ok = false;
        qint64 low = entry.left(dash).trimmed().toLongLong(&ok, 10);
        if (!ok)
            low = 0;
        quint64 high = entry.mid(dash + 1).trimmed().toULongLong(&ok, 10);
        if (!ok)
            high = 0;
        // One key per integer; a range past the cap is cut there rather
        // than filling memory.
        for (qint64 value = low; (value < 0 || quint64(value) <= high) &&
                                 items.size() < MaxListKeys && rangeSteps < maxRangeSteps;
             ++value, ++rangeSteps) {
            const QString key = QString::number(value);
            items.insert(key, key);
            if (value == std::numeric_limits<qint64>::max())
                break;
        }
    }
}
