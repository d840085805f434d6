#include "KXCtlBackup.h"

#include "KXCtlCodec.h"
#include "KXCtlCommands.h"
#include "KXCtlDevice.h"
#include "KXCtlSampleDevice.h"

#include "offline/KXOffLineEngine.h"

#include <KXDataStream.h>
#include <KXDataStreamParser.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>

const char kKXCtlReadOnlyControl[] = "Label";

namespace {

const char kProductKey[] = "Product Name";
const char kUnsent[] = "unsent";
const char kNoAnswer[] = "none";
constexpr int kDefaultTimeoutMs = 4500;

QString resultName(const QByteArray& data, QByteArray& value)
{
    return dataResultName(KXParseDataStreamResult(data, value));
}

// The names of `pages` once each, in page order.
QStringList settingNames(const QVector<KXCtlPage>& pages)
{
    QStringList names;
    QSet<QString> seen;
    for (const KXCtlPage& page : pages) {
        for (auto it = page.controlTypes.cbegin(); it != page.controlTypes.cend(); ++it) {
            if (!seen.contains(it.key())) {
                seen.insert(it.key());
                names.append(it.key());
            }
        }
    }
    return names;
}

QString quoted(const QString& value)
{
    return QLatin1Char('"') + printableBytes(value.toLatin1()) + QLatin1Char('"');
}

} // namespace

bool kxctlReadPages(const QString& folder, QVector<KXCtlPage>& pages, QString& error)
{
    QString dir = folder;
    QString configFile;
    QString offlineFile;
    if (dir.isEmpty() && kxctlFindSampleDevice(configFile, offlineFile))
        dir = QFileInfo(offlineFile).absolutePath() + QLatin1String("/pages");
    pages.clear();
    for (const QString& name : KXOffLineEngine::pageNames()) {
        KXCtlPage page{name, {}};
        if (KXOffLineEngine::readPageFile(QDir(dir).filePath(name + QLatin1String(".xml")),
                                          page.controlTypes) &&
            !page.controlTypes.isEmpty())
            pages.append(page);
    }
    if (pages.isEmpty())
        error = QStringLiteral("no settings page files in %1")
                    .arg(dir.isEmpty() ? QStringLiteral("the sample device") : dir);
    return !pages.isEmpty();
}

bool KXCtlSettingsClone::isSendable(const QString& value)
{
    if (value.isEmpty() || value == QLatin1String("*") || value == QLatin1String("^") ||
        value == QLatin1String("&"))
        return false;
    for (const QChar c : value) {
        const ushort u = c.unicode();
        if (u < 0x20 || u == 0x7f || u > 0xff || c == QLatin1Char(';') || c == QLatin1Char(','))
            return false;
    }
    return true;
}

bool KXCtlSettingsClone::requestOne(const QString& name, const QString& command,
                                    KXCtlSettingAnswer& answer)
{
    m_failure = m_exchange(kxctlCommandFrame(command, DataProtocol7E01, false));
    if (m_failure.errcode != KXCtlErrorNone)
        return false;
    // Read from the frame itself: a value may hold the separators that the
    // parser splits at (the data formats hold ';'). 0x02 0x01 "0000" "@"
    // text ";" 0x03.
    const QByteArray& reply = m_failure.reply;
    const int start = reply.indexOf('@') + 1;
    const QByteArray text = reply.mid(start, reply.size() - start - 2);
    answer = {QString(), QLatin1String(kNoAnswer)};
    if (start > 0 && reply.endsWith(";\x03") && text.startsWith(name.toLatin1())) {
        QByteArray value;
        answer.result = resultName(text.mid(name.size()), value);
        answer.value = QString::fromLatin1(value);
    }
    return true;
}

bool KXCtlSettingsClone::request(const QStringList& names, const QStringList& commands,
                                 QMap<QString, KXCtlSettingAnswer>& answers)
{
    for (int first = 0; first < names.size(); first += BatchSize) {
        const QStringList batch = names.mid(first, BatchSize);
        const QStringList texts = commands.mid(first, BatchSize);
        m_failure =
            m_exchange(kxctlCommandFrame(texts.join(QLatin1Char(';')), DataProtocol7E01, false));
        if (m_failure.errcode != KXCtlErrorNone)
            return false;
        // A batch counts only when its reply names exactly the settings
        // asked; otherwise a value broke the reply's structure and each
        // setting is asked on its own.
        QMap<QString, KXCtlSettingAnswer> got;
        int parts = 0;
        const KXDataStreamParser parser(m_failure.reply, DataTypeResponse);
        for (const auto& entry : parser.getTagList()) {
            for (const _tagDataStreamSubTag& sub : entry.second) {
                QByteArray value;
                const QString result = resultName(sub.data, value);
                got.insert(entry.first + sub.subTag, {QString::fromLatin1(value), result});
                ++parts;
            }
        }
        if (parts == batch.size() && QSet<QString>(batch.cbegin(), batch.cend()) ==
                                         QSet<QString>(got.keyBegin(), got.keyEnd())) {
            answers.insert(got);
            continue;
        }
        for (int i = 0; i < batch.size(); ++i) {
            if (!requestOne(batch.at(i), texts.at(i), answers[batch.at(i)]))
                return false;
        }
    }
    return true;
}

bool KXCtlSettingsClone::query(const QStringList& names, QMap<QString, KXCtlSettingAnswer>& answers)
{
    QStringList commands;
    for (const QString& name : names)
        commands.append(name + QLatin1Char('*'));
    return request(names, commands, answers);
}

bool KXCtlSettingsClone::backup(const QMap<QString, QString>& info, const QVector<KXCtlPage>& pages,
                                QJsonObject& document)
{
    QMap<QString, KXCtlSettingAnswer> answers;
    if (!query(settingNames(pages), answers))
        return false;
    QJsonObject device;
    for (auto it = info.cbegin(); it != info.cend(); ++it)
        device.insert(it.key(), it.value());
    QJsonArray pageList;
    for (const KXCtlPage& page : pages) {
        QJsonObject settings;
        QJsonArray refused;
        for (auto it = page.controlTypes.cbegin(); it != page.controlTypes.cend(); ++it) {
            const KXCtlSettingAnswer& answer = answers.value(it.key());
            if (answer.result == QLatin1String("ACK"))
                settings.insert(it.key(), answer.value);
            else
                refused.append(it.key());
        }
        pageList.append(QJsonObject{{QStringLiteral("page"), page.name},
                                    {QStringLiteral("settings"), settings},
                                    {QStringLiteral("refused"), refused}});
    }
    document = {{QStringLiteral("device"), device}, {QStringLiteral("pages"), pageList}};
    return true;
}

bool KXCtlSettingsClone::restore(const QJsonObject& document, const QVector<KXCtlPage>& pages,
                                 QVector<KXCtlDifference>& differences, int& written)
{
    QSet<QString> readOnly;
    for (const KXCtlPage& page : pages) {
        for (auto it = page.controlTypes.cbegin(); it != page.controlTypes.cend(); ++it) {
            if (it.value() == QLatin1String(kKXCtlReadOnlyControl))
                readOnly.insert(it.key());
        }
    }
    QStringList names;
    QMap<QString, QString> wanted;
    for (const QJsonValue& page : document.value(QStringLiteral("pages")).toArray()) {
        const QJsonObject settings = page.toObject().value(QStringLiteral("settings")).toObject();
        for (auto it = settings.constBegin(); it != settings.constEnd(); ++it) {
            if (readOnly.contains(it.key()) || wanted.contains(it.key()))
                continue;
            names.append(it.key());
            wanted.insert(it.key(), it.value().toString());
        }
    }
    QStringList sent;
    QStringList commands;
    for (const QString& name : qAsConst(names)) {
        if (isSendable(wanted.value(name))) {
            sent.append(name);
            commands.append(name + wanted.value(name));
        }
    }
    written = sent.size();
    QMap<QString, KXCtlSettingAnswer> writes;
    QMap<QString, KXCtlSettingAnswer> reads;
    if (!request(sent, commands, writes) || !query(names, reads))
        return false;
    differences.clear();
    for (const QString& name : qAsConst(names)) {
        const QString result = !sent.contains(name)    ? QLatin1String(kUnsent)
                               : writes.contains(name) ? writes.value(name).result
                                                       : QLatin1String(kNoAnswer);
        const KXCtlSettingAnswer read = reads.value(name);
        const bool accepted = result == QLatin1String("ACK") || result == QLatin1String(kUnsent);
        if (!accepted || read.result != QLatin1String("ACK") || read.value != wanted.value(name))
            differences.append({name, wanted.value(name), read.value, result});
    }
    return true;
}

namespace {

// What backup and restore share: the options, the settings pages, the
// device with its reply time-out, and its information.
struct DataCommand
{
    QStringList positional;
    QString pagesFolder;
    QVector<KXCtlPage> pages;
    int timeoutMs = kDefaultTimeoutMs;
    bool force = false;
    KXCtlDevice device;
    KXDeviceInfoMap info;
};

// Reads the options and the pages (a missing folder needs no device), then
// opens the device and asks for its information. False with the exit code
// in `code` and a reason in `err`.
bool openDevice(const char* name, QStringList args, int files, DataCommand& command, int& code,
                QString& err)
{
    const QString prefix = QStringLiteral("kxctl %1: ").arg(QLatin1String(name));
    code = KXCtlExitUsage;
    QString error;
    if (!kxctlTakeTimeout(args, command.timeoutMs, error) ||
        !KXCtlDevice::parse(args, command.device, error)) {
        err = prefix + error;
        return false;
    }
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args.at(i);
        if (arg == QLatin1String("--pages") && i + 1 < args.size()) {
            command.pagesFolder = args.at(++i);
        } else if (arg == QLatin1String("--force") && files > 0) {
            command.force = true;
        } else if (arg.startsWith(QLatin1String("--"))) {
            err = prefix + (arg == QLatin1String("--pages")
                                ? QStringLiteral("--pages takes a folder")
                                : QStringLiteral("unknown option %1").arg(arg));
            return false;
        } else {
            command.positional.append(arg);
        }
    }
    if (command.positional.size() != files) {
        err = prefix + QStringLiteral("expected a device (%1)%2")
                           .arg(QLatin1String(KXCtlDevice::Forms),
                                files > 0 ? QStringLiteral(" and a backup file") : QString());
        return false;
    }
    if (!kxctlReadPages(command.pagesFolder, command.pages, error)) {
        err = prefix + error;
        return false;
    }
    code = KXCtlExitNoLink;
    if (!command.device.open(DevicePortData, error)) {
        err = prefix + error;
        return false;
    }
    command.info = command.device.info();
    if (!command.info.contains(QLatin1String(kProductKey))) {
        KXCtlResult system;
        command.info.insert(kxctlSystemInformation(command.device.id(), command.timeoutMs, system));
        if (system.errcode != KXCtlErrorNone) {
            code = system.exitCode();
            err = prefix + system.errorText(command.timeoutMs);
            return false;
        }
    }
    return true;
}

KXCtlExchangeFn exchangeOn(DataCommand& command)
{
    return [&command](const QByteArray& frame) {
        return kxctlExchange(command.device.id(), frame, command.timeoutMs);
    };
}

} // namespace

int runBackup(const QStringList& args, QString& out, QString& err)
{
    DataCommand command;
    int code = KXCtlExitUsage;
    if (!openDevice("backup", args, 0, command, code, err))
        return code;
    KXCtlSettingsClone clone(exchangeOn(command));
    QJsonObject document;
    if (!clone.backup(command.info, command.pages, document)) {
        err = QStringLiteral("kxctl backup: %1").arg(clone.failure().errorText(command.timeoutMs));
        return clone.failure().exitCode();
    }
    out = QString::fromUtf8(QJsonDocument(document).toJson(QJsonDocument::Indented));
    return KXCtlExitOk;
}

int runRestore(const QStringList& args, QString& out, QString& err)
{
    DataCommand command;
    int code = KXCtlExitUsage;
    if (!openDevice("restore", args, 1, command, code, err))
        return code;
    const QString path = command.positional.at(0);
    QFile file(path);
    QJsonParseError parseError{};
    const QJsonDocument json = file.open(QIODevice::ReadOnly)
                                   ? QJsonDocument::fromJson(file.readAll(), &parseError)
                                   : QJsonDocument();
    const QJsonObject document = json.object();
    if (!document.value(QStringLiteral("pages")).isArray()) {
        err = QStringLiteral("kxctl restore: %1 is not a settings backup").arg(path);
        return KXCtlExitUsage;
    }
    const QString wantedProduct =
        document.value(QStringLiteral("device")).toObject().value(kProductKey).toString();
    const QString product = command.info.value(kProductKey);
    QString warning;
    if (wantedProduct != product) {
        warning = QStringLiteral("kxctl restore: the backup is of a %1, the device is a %2")
                      .arg(quoted(wantedProduct), quoted(product));
        if (!command.force) {
            err = warning + QStringLiteral("; nothing written (--force restores anyway)");
            return KXCtlExitRefused;
        }
        warning += QStringLiteral("; restoring anyway (--force)");
    }
    KXCtlSettingsClone clone(exchangeOn(command));
    QVector<KXCtlDifference> differences;
    int written = 0;
    if (!clone.restore(document, command.pages, differences, written)) {
        err = QStringLiteral("kxctl restore: %1").arg(clone.failure().errorText(command.timeoutMs));
        return clone.failure().exitCode();
    }
    for (const KXCtlDifference& difference : qAsConst(differences)) {
        out += QStringLiteral("differs: %1 wanted %2 got %3 (%4)\n")
                   .arg(difference.setting, quoted(difference.wanted), quoted(difference.got),
                        difference.result);
    }
    out += QStringLiteral("restored: %1 settings written, %2 differ\n")
               .arg(written)
               .arg(differences.size());
    err = warning;
    if (differences.isEmpty())
        return KXCtlExitOk;
    err += (err.isEmpty() ? QStringLiteral("kxctl restore: ") : QStringLiteral("; ")) +
           QStringLiteral("%1 settings refused or differ").arg(differences.size());
    return KXCtlExitRefused;
}
