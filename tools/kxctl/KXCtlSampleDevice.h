#ifndef KXCTLSAMPLEDEVICE_H
#define KXCTLSAMPLEDEVICE_H

#include <QString>
#include <QStringList>

// Folders that may hold the sample device, in the order kxsim looks too:
// the build tree, the installed share folder, the source tree.
QStringList kxctlSampleDeviceFolders();

// The first folder with both files of the sample device; false when none.
bool kxctlFindSampleDevice(QString& configFile, QString& offlineFile);

#endif // KXCTLSAMPLEDEVICE_H
