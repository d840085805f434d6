// Loading the simulated device from its XML files: the offline description
// (not supported and query-only settings), the settings pages (control
// types) and the device configuration (the settings themselves).

#include "KXOffLineEngine.h"

#include <QDomDocument>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QTextCodec>
#include <QVector>

#include <memory>

namespace {

Q_LOGGING_CATEGORY(lcOffline, "kx.offline")

const char* const kPageNames[] = {
    "Page Exposure Settings",
    "Page Global Settings",
    "Page Device Settings",
    "Page Image Save",
    "Page Interface",
    "Page Other",
    "Page Prefix Suffix",
    "Page Scanning Options",
    "1D",
    "2D",
    "Postal",
    "OCR",
};

bool refuse(const QString& path, const QString& reason)
{
    qCDebug(lcOffline).noquote() << QStringLiteral("Refusing %1: %2").arg(path, reason);
    return false;
}

// The markup as characters: a byte-order mark (UTF-8, 16 or 32) or a '<'
// next to a zero byte (UTF-16) tells how to decode; anything else keeps its
// ASCII markup byte for byte under Latin-1.
QString markupText(const QByteArray& bytes)
{
    QTextCodec* codec = QTextCodec::codecForUtfText(bytes, nullptr);
    if (!codec && bytes.startsWith(QByteArray("<\0", 2)))
        codec = QTextCodec::codecForMib(1014); // UTF-16LE
    else if (!codec && bytes.startsWith(QByteArray("\0<", 2)))
        codec = QTextCodec::codecForMib(1013); // UTF-16BE
    return codec ? codec->toUnicode(bytes) : QString::fromLatin1(bytes);
}

// The DOM parser recurses per nesting level, expands entities without bound
// and builds a tree far larger than the file. So a plain scan of the markup
// (linear, no recursion) comes first and names what makes a file too costly:
// a document type declaration (where entities are declared), elements
// nested too deep, or too many nodes. It counts at least what the parser
// would build and leaves everything else, malformed files too, to the
// parser, which stays as tolerant as it always was. Empty when fine.
QString hostileShape(const QString& text)
{
    const int size = text.size();
    int depth = 0;
    qint64 nodes = 0;
    int i = 0;
    const auto skipPast = [&](const char* end) {
        const int found = text.indexOf(QLatin1String(end), i);
        i = found < 0 ? size : found + int(qstrlen(end));
    };
    while (i < size) {
        const int open = text.indexOf(QLatin1Char('<'), i);
        if (open < 0)
            break;
        if (open > i)
            ++nodes; // the text before it
        i = open + 1;
        if (text.midRef(i, 3) == QLatin1String("!--")) {
            i += 3;
            skipPast("-->");
            ++nodes;
        } else if (text.midRef(i, 8) == QLatin1String("![CDATA[")) {
            skipPast("]]>");
            ++nodes;
        } else if (text.midRef(i, 1) == QLatin1String("?")) {
            skipPast("?>");
            ++nodes;
        } else if (text.midRef(i, 1) == QLatin1String("!")) {
            return QStringLiteral("it has a document type declaration");
        } else {
            // A tag ends at the first '>' outside quoted attribute values.
            const bool closing = text.midRef(i, 1) == QLatin1String("/");
            QChar quote;
            for (; i < size && (!quote.isNull() || text.at(i) != QLatin1Char('>')); ++i) {
                const QChar c = text.at(i);
                if (c == quote)
                    quote = QChar();
                else if (quote.isNull() && (c == QLatin1Char('"') || c == QLatin1Char('\''))) {
                    quote = c;
                    ++nodes; // an attribute
                }
            }
            const bool empty = text.at(i - 1) == QLatin1Char('/');
            ++i;
            if (closing) {
                depth = qMax(0, depth - 1);
                continue;
            }
            ++nodes; // the element
            if (!empty && ++depth > KXOffLineEngine::MaxXmlDepth)
                return QStringLiteral("elements nest deeper than %1")
                    .arg(KXOffLineEngine::MaxXmlDepth);
        }
        if (nodes > KXOffLineEngine::MaxXmlNodes)
            return QStringLiteral("it holds more than %1 XML nodes")
                .arg(KXOffLineEngine::MaxXmlNodes);
    }
    return QString();
}

// Parses a whole file; false for a missing, malformed or refused one.
// Missing and malformed files fail silently: the device then answers from
// what did load.
bool readDocument(const QString& path, QDomDocument& document)
{
    const QFileInfo info(path);
    if (!info.exists())
        return false;
    // Opening a FIFO would wait for a writer for ever, and a device never
    // ends; only regular files have a size that can be checked up front.
    if (!info.isFile())
        return refuse(path, QStringLiteral("not a regular file"));
    if (info.size() > KXOffLineEngine::MaxFileSize)
        return refuse(path,
                      QStringLiteral("larger than %1 bytes").arg(KXOffLineEngine::MaxFileSize));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    // read() allocates all it is asked for: ask for the size seen, which
    // also bounds a file that grows meanwhile.
    const QByteArray bytes = file.read(info.size());
    file.close();
    const QString hostile = hostileShape(markupText(bytes));
    if (!hostile.isEmpty())
        return refuse(path, hostile);
    return document.setContent(bytes);
}

QString childText(const QDomElement& parent, const QString& name)
{
    return parent.firstChildElement(name).text().trimmed();
}

// Items count only inside a Group inside a Page inside Pages, each at any
// depth below the one before. One walk in document order carries how much
// of that chain lies above the current element, so the cost stays linear
// in the file whatever its shape; a later item with the same Id wins.
void readControlTypes(const QDomDocument& document, QMap<QString, QString>& controlTypes)
{
    static const QString chain[] = {QStringLiteral("Pages"), QStringLiteral("Page"),
                                    QStringLiteral("Group")};
    constexpr int kChainLength = 3;
    QVector<int> chainAbove; // per open ancestor: the chain reached above it
    int reached = 0;         // the chain reached above `element`
    QDomElement element = document.documentElement();
    while (!element.isNull()) {
        const QString tag = element.tagName();
        if (reached == kChainLength && tag == QLatin1String("Item")) {
            const QString id = element.attribute(QStringLiteral("Id"));
            const QString type = element.attribute(QStringLiteral("ControlType"));
            if (!id.isEmpty() && !type.isEmpty())
                controlTypes.insert(id, type);
        }
        const QDomElement child = element.firstChildElement();
        if (!child.isNull()) {
            chainAbove.append(reached);
            if (reached < kChainLength && tag == chain[reached])
                ++reached;
            element = child;
            continue;
        }
        // Climb until an element has a next sibling; the root's siblings are
        // not part of the document's tree.
        for (;;) {
            if (chainAbove.isEmpty()) {
                element = QDomElement();
                break;
            }
            const QDomElement next = element.nextSiblingElement();
            if (!next.isNull()) {
                element = next;
                break;
            }
            element = element.parentNode().toElement();
            reached = chainAbove.takeLast();
        }
    }
}

void readIdList(const QDomElement& list, QMap<QString, QString>& set)
{
    for (QDomElement entry = list.firstChildElement(); !entry.isNull();
         entry = entry.nextSiblingElement()) {
        const QString id = entry.attribute(QStringLiteral("id")).trimmed();
        if (!id.isEmpty())
            set.insert(id, id);
    }
}

} // namespace

bool KXOffLineEngine::loadFiles(const QString& configFile, const QString& offlineFile)
{
    m_configFile = configFile;
    m_offlineFile = offlineFile;
    loadOfflineDescription();
    loadPages();
    if (!loadConfiguration())
        return false;
    addFixedSetting(QStringLiteral("BUFQRY"), BufferSize);
    addFixedSetting(QStringLiteral("DLPQSZ"), DownloadSize);
    m_rangeReply = allSettingsReply(Column::Range);
    m_defaultReply = allSettingsReply(Column::Default);
    return true;
}

bool KXOffLineEngine::loadOfflineDescription()
{
    m_notSupported.clear();
    m_queryOnly.clear();
    QDomDocument document;
    if (!readDocument(m_offlineFile, document))
        return false;
    const QDomElement root = document.documentElement();
    if (root.tagName() != QLatin1String("offline"))
        return false;
    for (QDomElement child = root.firstChildElement(); !child.isNull();
         child = child.nextSiblingElement()) {
        if (child.tagName() == QLatin1String("NotSupported"))
            readIdList(child, m_notSupported);
        else if (child.tagName() == QLatin1String("Query"))
            readIdList(child, m_queryOnly);
    }
    return true;
}

bool KXOffLineEngine::loadPages()
{
    m_controlTypes.clear();
    const int slash = m_offlineFile.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return false;
    const QString folder = m_offlineFile.left(slash);
    for (const QString& page : pageNames())
        readPageFile(QStringLiteral("%1/pages/%2.xml").arg(folder, page), m_controlTypes);
    return true;
}

QStringList KXOffLineEngine::pageNames()
{
    QStringList names;
    for (const char* page : kPageNames)
        names.append(QLatin1String(page));
    return names;
}

bool KXOffLineEngine::readPageFile(const QString& path, QMap<QString, QString>& controlTypes)
{
    QDomDocument document;
    if (!readDocument(path, document))
        return false;
    readControlTypes(document, controlTypes);
    return true;
}

bool KXOffLineEngine::loadConfiguration()
{
    clearSettings();
    QDomDocument document;
    if (!readDocument(m_configFile, document))
        return false;
    const QDomElement root = document.documentElement();
    if (root.tagName() != QLatin1String("DeviceConfiguration"))
        return false;
    for (QDomElement element = root.firstChildElement(); !element.isNull();
         element = element.nextSiblingElement()) {
        auto setting = std::make_unique<OfflineSetting>();
        setting->commandName = childText(element, QStringLiteral("CommandName"));
        if (setting->commandName.size() != 6)
            continue;
        setting->settingsList = childText(element, QStringLiteral("SettingsList"));
        setting->defaultValue = childText(element, QStringLiteral("Default"));
        setting->minimum = childText(element, QStringLiteral("Minimum"));
        setting->maximum = childText(element, QStringLiteral("Maximum"));
        const QString& name = setting->commandName;
        setting->notSupported = m_notSupported.contains(name);
        setting->queryOnly = m_queryOnly.contains(name);
        if (setting->defaultValue.isEmpty() &&
            (name == QLatin1String("DFMQCU") || name == QLatin1String("DFMQFA")))
            setting->defaultValue = dataFormatText();
        setting->currentValue = setting->defaultValue;
        setting->controlType = m_controlTypes.value(name);
        delete m_settings.value(name, nullptr); // a later entry replaces an earlier one
        m_settings.insert(name, setting.release());
    }
    return true;
}

void KXOffLineEngine::addFixedSetting(const QString& mnemonic, qint64 value)
{
    const QString text = QString::number(value);
    if (OfflineSetting* existing = findSetting(mnemonic)) {
        existing->currentValue = text;
        existing->notSupported = true;
        return;
    }
    auto* setting = new OfflineSetting;
    setting->commandName = mnemonic;
    setting->defaultValue = text;
    setting->currentValue = text;
    setting->queryOnly = true;
    m_settings.insert(mnemonic, setting);
}
