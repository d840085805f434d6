#ifndef KXOFFLINEFIXTURE_H
#define KXOFFLINEFIXTURE_H

// A small simulated device written into a temporary folder: a device
// configuration, an offline description and two settings pages, with one
// setting per rule worth checking.

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace kxtest {

inline bool writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(path.left(path.lastIndexOf(QLatin1Char('/'))));
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

inline QByteArray setting(const char* name, const char* list, const char* value,
                          const char* minimum = "", const char* maximum = "")
{
    return QByteArray("  <Setting><CommandName> ") + name + " </CommandName><SettingsList>" + list +
           "</SettingsList><Default>" + value + "</Default><Minimum>" + minimum +
           "</Minimum><Maximum>" + maximum + "</Maximum></Setting>\n";
}

struct OfflineFixture
{
    QTemporaryDir dir;
    QString config;
    QString offline;

    OfflineFixture()
    {
        config = dir.filePath(QStringLiteral("DeviceConfiguration.xml"));
        offline = dir.filePath(QStringLiteral("Offline.xml"));
        QByteArray settings;
        settings += setting("DFMQCU", "", "");
        settings += setting("DFMADD", "", "");
        settings += setting("DFMCAL", "", "");
        settings += setting("LUAQRY", "", "script");
        settings += setting("LUAADD", "", "");
        settings += setting("SCNSPN", "0-10", "5", "0", "10");
        settings += setting("SCNDBL", "0-100", "50", "0", "100");
        settings += setting("SCNCMB", "0:Off|1:On|5-7", "0", "10", "20");
        settings += setting("SCNRAD", "A:1|B:2", "1", "x", "");
        settings += setting("SCNTXT", "any", "hello");
        settings += setting("QRYSYS", "", "KX-1");
        settings += setting("NETNSP", "", "off");
        settings += setting("DFMQC", "", "dropped: five letters");
        settings += setting("DUPDUP", "", "first");
        settings += setting("DUPDUP", "", "second");
        settings += setting("DLPQSZ", "", "7");
        writeFile(config, "<?xml version=\"1.0\"?>\n<DeviceConfiguration>\n" + settings +
                              "</DeviceConfiguration>\n");
        writeFile(offline, "<offline>\n"
                           "  <NotSupported><Item id=\" NETNSP \"/></NotSupported>\n"
                           "  <Query><Item id=\"QRYSYS\"/></Query>\n"
                           "  <Other><Item id=\"SCNSPN\"/></Other>\n"
                           "</offline>\n");
        // Items count only inside Group inside Page inside Pages; a later
        // item with the same Id wins, across files too.
        writeFile(dir.filePath(QStringLiteral("pages/Page Device Settings.xml")),
                  "<Pages><Page><Group>\n"
                  "  <Item Id=\"SCNSPN\" ControlType=\"SpinBox\"/>\n"
                  "  <Item Id=\"SCNDBL\" ControlType=\"Radio\"/>\n"
                  "  <Item Id=\"SCNCMB\" ControlType=\"ComboBox\"/>\n"
                  "  <Item Id=\"SCNTXT\" ControlType=\"LineEdit\"/>\n"
                  "  <Item Id=\"DFMQCU\" ControlType=\"\"/>\n"
                  "</Group></Page>\n"
                  "<Page><Item Id=\"SCNTXT\" ControlType=\"SpinBox\"/></Page></Pages>\n");
        writeFile(dir.filePath(QStringLiteral("pages/1D.xml")),
                  "<Pages><Page><Section><Group>\n"
                  "  <Item Id=\"SCNDBL\" ControlType=\"DoubleSpinBox\"/>\n"
                  "  <Item Id=\"SCNRAD\" ControlType=\"Radio\"/>\n"
                  "</Group></Section></Page></Pages>\n");
        writeFile(dir.filePath(QStringLiteral("pages/2D.xml")), "not xml at all <<<");
    }
};

} // namespace kxtest

#endif // KXOFFLINEFIXTURE_H
