#ifndef IFPPACKAGEHANDLER_H
#define IFPPACKAGEHANDLER_H

#include <QByteArray>
#include <QString>

class KXDeviceConnector;
struct KXFirmwareProgress;

// The "ifp" firmware package: an archive with an upgrade script
// ("upgrade.lua"), a configuration ("cfg.json") and one "firmware.<suffix>"
// file. The handler unpacks one package at a time below its root folder,
// lets the script judge the device, and writes the firmware file.
//
// Process-wide and not locked: callers serialise firmware work. Every
// operation runs on the caller's thread; prepare and upgrade block while
// they unpack or write.
class IfpPackageHandler
{
public:
    static IfpPackageHandler* instance();

    // Whether the text after the last '.' of `file` is "ifp" (any case).
    static bool isIfp(const QString& file);
    // isIfp(file) and `file` is exactly the prepared package.
    bool isPrepared(const QString& file) const;

    // Unpacks `file` into a fresh folder and checks for the three files and
    // that the configuration is JSON. False (and no package prepared) when
    // the file is not an "ifp", the archive is refused or a check fails.
    bool prepare(const QString& file);

    // Runs the package's CheckUpGrade with the device's three query replies.
    // True when the script accepts; otherwise `code` gets its refusal (the
    // script's number, or a CLuaFn code).
    bool checkUpgrade(const QByteArray& qrysys, const QByteArray& basqsy, const QByteArray& ifpchk,
                      int& code);

    // Forgets the package and deletes the root folder with all it holds.
    void cleanup();

    // The configuration in lower-case hex, as the device's IFPCFG takes it.
    QByteArray configHex() const { return m_configHex; }
    QByteArray configData() const { return m_configData; }
    QString firmwarePath() const { return m_firmwarePath; }
    QString firmwareSuffix() const { return m_firmwareSuffix; }
    QString scriptPath() const { return m_scriptPath; }
    QString configPath() const { return m_configPath; }
    QString rootFolder() const { return m_rootFolder; }

    // Writes the prepared firmware file of `file` to the connector's device.
    // False when `file` is not the prepared package or the writing fails.
    bool upgrade(KXDeviceConnector* connector, const QString& file, KXFirmwareProgress* progress);

    // Model, hardware, version and driver information of the prepared
    // package's firmware file; true with the outputs untouched when `file`
    // is not the prepared package.
    bool packageInfo(const QString& file, QString& model, QString& hardware, QString& version,
                     uint* driverInfo);

private:
    IfpPackageHandler();
    void takeExtractedFile(const QString& path);
    bool checkConfiguration();

    QString m_rootFolder;
    QString m_currentPackage;
    QString m_scriptPath;
    QString m_configPath;
    QString m_firmwarePath;
    QString m_firmwareSuffix;
    QByteArray m_configData;
    QByteArray m_configHex;
};

#endif // IFPPACKAGEHANDLER_H
