// Loading the simulated device from its XML files: the offline description
// (not supported and query-only settings), the settings pages (control
// types) and the device configuration (the settings themselves).

#include "KXOffLineEngine.h"

#include <QDomDocument>
#include <QFile>

#include <memory>

namespace {

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

// Parses a whole file; false for a missing, oversized or malformed one.
bool readDocument(const QString& path, QDomDocument& document)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    if (file.size() > KXOffLineEngine::MaxFileSize)
        return false;
    // Failures are silent: the device then answers from what did load.
    return document.setContent(&file);
}

QString childText(const QDomElement& parent, const QString& name)
{
    return parent.firstChildElement(name).text().trimmed();
}

bool hasAncestor(const QDomElement& element, const QString& name, QDomElement& found)
{
    for (QDomNode node = element.parentNode(); !node.isNull(); node = node.parentNode()) {
        if (node.isElement() && node.toElement().tagName() == name) {
            found = node.toElement();
            return true;
        }
    }
    return false;
}

// Items count only inside Group inside Page inside Pages, at any depth.
bool isPageItem(const QDomElement& item)
{
    QDomElement group;
    QDomElement page;
    QDomElement pages;
    return hasAncestor(item, QStringLiteral("Group"), group) &&
           hasAncestor(group, QStringLiteral("Page"), page) &&
           hasAncestor(page, QStringLiteral("Pages"), pages);
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
    for (const char* page : kPageNames) {
        QDomDocument document;
        if (!readDocument(QStringLiteral("%1/pages/%2.xml").arg(folder, QLatin1String(page)),
                          document))
            continue;
        const QDomNodeList items = document.elementsByTagName(QStringLiteral("Item"));
        for (int i = 0; i < items.size(); ++i) {
            const QDomElement item = items.at(i).toElement();
            const QString id = item.attribute(QStringLiteral("Id"));
            const QString type = item.attribute(QStringLiteral("ControlType"));
            if (id.isEmpty() || type.isEmpty() || !isPageItem(item))
                continue;
            m_controlTypes.insert(id, type);
        }
    }
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
