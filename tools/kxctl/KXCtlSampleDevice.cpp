#include "KXCtlSampleDevice.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace {

const char kConfigName[] = "DeviceConfiguration.xml";
const char kOfflineName[] = "Offline.xml";

} // namespace

QStringList kxctlSampleDeviceFolders()
{
    const QString bin = QCoreApplication::applicationDirPath();
    return {
        // Build tree: build/tools/kxctl next to the source's examples/.
        bin + QLatin1String("/../../examples/offline"),
        // Installed: bin/kxctl and share/KXDeviceKit/offline.
        bin + QLatin1String("/../share/KXDeviceKit/offline"),
        // The source tree this program was built from.
        QStringLiteral(KXCTL_SOURCE_EXAMPLES),
    };
}

bool kxctlFindSampleDevice(QString& configFile, QString& offlineFile)
{
    for (const QString& folder : kxctlSampleDeviceFolders()) {
        const QDir dir(folder);
        if (QFileInfo::exists(dir.filePath(QLatin1String(kConfigName))) &&
            QFileInfo::exists(dir.filePath(QLatin1String(kOfflineName)))) {
            configFile = QDir::cleanPath(dir.absoluteFilePath(QLatin1String(kConfigName)));
            offlineFile = QDir::cleanPath(dir.absoluteFilePath(QLatin1String(kOfflineName)));
            return true;
        }
    }
    return false;
}
