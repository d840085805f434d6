#include "IfpPackageHandler.h"

#include "KXBlockDownload.h"
#include "KXFirmwareFormats.h"
#include "KXPakInfo.h"
#include "KXUpgradeLog.h"
#include "KXZipExtract.h"
#include "connector/KXDeviceConnector.h"
#include "lua/LuaFn.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QStandardPaths>
#include <QUuid>

namespace {

// Writes `firmwarePath` to the connector's device with the block download:
// its package variant for "nfp" files, the image variant for the rest.
bool downloadFirmware(KXDeviceConnector* connector, const QString& firmwarePath, bool nfpPackage,
                      KXFirmwareProgress* progress)
{
    if (!connector || !connector->transport())
        return false;
    KXBlockDownload download(nfpPackage ? KXBlockDownload::Variant::Package
                                        : KXBlockDownload::Variant::Image);
    download.setup(firmwarePath, connector->transport(), progress, connector->getFrameSize());
    return download.run();
}

// Reads model, hardware, version and driver information from a firmware
// file through the driver library.
bool readFirmwareInfo(const QString& firmwarePath, QString& model, QString& hardware,
                      QString& version, uint* driverInfo)
{
    // A firmware file that is itself an archive describes nothing (and would
    // lead back here).
    if (firmwareSuffix(firmwarePath) == QLatin1String("ifp"))
        return false;
    return KXGetPakInfo(firmwarePath, model, hardware, version, driverInfo);
}

} // namespace

IfpPackageHandler* IfpPackageHandler::instance()
{
    // Never destroyed: the kit may still hold a package while the process ends.
    static IfpPackageHandler* handler = new IfpPackageHandler;
    return handler;
}

IfpPackageHandler::IfpPackageHandler()
    : m_rootFolder(QStandardPaths::writableLocation(QStandardPaths::TempLocation) +
                   QStringLiteral("/KXFirmware"))
{
    // Left-overs of an earlier run go first.
    QDir(m_rootFolder).removeRecursively();
    QDir().mkpath(m_rootFolder);
}

bool IfpPackageHandler::isIfp(const QString& file)
{
    const int dot = file.lastIndexOf(QLatin1Char('.'));
    return dot >= 0 && file.mid(dot + 1).compare(QLatin1String("ifp"), Qt::CaseInsensitive) == 0;
}

bool IfpPackageHandler::isPrepared(const QString& file) const
{
    return isIfp(file) && file == m_currentPackage;
}

bool IfpPackageHandler::prepare(const QString& file)
{
    if (!isIfp(file))
        return false;
    m_scriptPath.clear();
    m_configPath.clear();
    m_firmwarePath.clear();
    m_firmwareSuffix.clear();
    m_configData.clear();
    m_configHex.clear();
    QDir(m_rootFolder).removeRecursively();

    const QString folder =
        m_rootFolder + QLatin1Char('/') + QUuid::createUuid().toString(QUuid::Id128);
    bool ok = QDir().mkpath(folder);
    if (ok) {
        const QStringList paths = kxZipExtract(file, folder);
        for (const QString& path : paths)
            takeExtractedFile(path);
        ok = checkConfiguration();
    }
    if (!ok) {
        qCWarning(lcUpgrade).noquote() << "Package refused:" << file;
        QDir(folder).removeRecursively();
        m_currentPackage.clear();
        return false;
    }
    m_currentPackage = file;
    return true;
}

void IfpPackageHandler::takeExtractedFile(const QString& path)
{
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return;
    const QString name = path.mid(slash + 1);
    if (name.compare(QLatin1String("upgrade.lua"), Qt::CaseInsensitive) == 0) {
        m_scriptPath = path;
    } else if (name.compare(QLatin1String("cfg.json"), Qt::CaseInsensitive) == 0) {
        m_configPath = path;
    } else if (name.contains(QLatin1String("firmware"))) {
        // "firmware.<suffix>": exactly one dot. The lower-case "firmware"
        // must appear as written even though the comparison is case-blind.
        const QStringList pieces = name.split(QLatin1Char('.'));
        if (pieces.size() == 2 &&
            pieces[0].compare(QLatin1String("firmware"), Qt::CaseInsensitive) == 0) {
            m_firmwareSuffix = pieces[1];
            m_firmwarePath = path;
        }
    }
}

bool IfpPackageHandler::checkConfiguration()
{
    if (m_firmwarePath.isEmpty() || m_scriptPath.isEmpty() || m_configPath.isEmpty())
        return false;
    QFile config(m_configPath);
    if (!config.open(QIODevice::ReadOnly))
        return false;
    const QByteArray data = config.readAll();
    if (data.isEmpty())
        return false;
    m_configData = data;
    m_configHex = data.toHex();
    return !QJsonDocument::fromJson(data).isNull();
}

bool IfpPackageHandler::checkUpgrade(const QByteArray& qrysys, const QByteArray& basqsy,
                                     const QByteArray& ifpchk, int& code)
{
    CLuaFn lua;
    lua.openState();
    const int result = lua.callFunction(m_scriptPath, QStringLiteral("CheckUpGrade"),
                                        QString::fromUtf8(qrysys), QString::fromUtf8(basqsy),
                                        QString::fromUtf8(ifpchk), QString::fromUtf8(m_configData));
    if (result != 0)
        code = result;
    lua.closeState();
    return result == 0;
}

void IfpPackageHandler::cleanup()
{
    m_currentPackage.clear();
    QDir(m_rootFolder).removeRecursively();
}

bool IfpPackageHandler::upgrade(KXDeviceConnector* connector, const QString& file,
                                KXFirmwareProgress* progress)
{
    if (m_currentPackage.isEmpty() || file != m_currentPackage)
        return false;
    const bool nfp = m_firmwareSuffix.compare(QLatin1String("nfp"), Qt::CaseInsensitive) == 0;
    return downloadFirmware(connector, m_firmwarePath, nfp, progress);
}

bool IfpPackageHandler::packageInfo(const QString& file, QString& model, QString& hardware,
                                    QString& version, uint* driverInfo)
{
    if (!isPrepared(file))
        return true;
    return readFirmwareInfo(m_firmwarePath, model, hardware, version, driverInfo);
}
