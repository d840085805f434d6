#ifndef KXSIMOPTIONS_H
#define KXSIMOPTIONS_H

#include "KXSimDevice.h"
#include "KXSimFaults.h"

#include <QString>
#include <QStringList>

// kxsim's command line.
class KXSimOptions
{
public:
    static constexpr quint16 DefaultDataPort = 36520;
    static constexpr quint16 DefaultLogPort = 36525;

    QString configFile;
    QString offlineFile;
    QString bindAddress = QStringLiteral("127.0.0.1");
    quint16 dataPort = DefaultDataPort;
    quint16 logPort = DefaultLogPort;
    bool serial = false;
    QString serialPath; // symlink to the serial slave; implies `serial`
    KXSimFaults faults;
    KXSimDevice::Greeting greeting;
    KXSimDevice::Units units;
    int gapMs = KXSimDevice::DefaultGapMs;
    int logStreamMs = 0;
    int logLines = 0;
    bool udp = false;        // also answer discovery
    quint16 udpPort = 36510; // where the kit's discovery requests go
    int udpDevices = 1;
    KXSimDevice::Boot boot;
    QString ifpCheck; // IFPCHK's answer: the device expects packages
    bool help = false;

    // Reads the arguments after the program name. False with a one-line
    // reason on a usage error.
    bool parse(const QStringList& args, QString& error);

    // Without --config and --offline: the first folder of `candidates` that
    // holds both sample files sets them. False when none does.
    bool findSampleDevice(const QStringList& candidates);
    // Where the sample device is looked for, in order, for a program in
    // `applicationDir`.
    static QStringList sampleDeviceFolders(const QString& applicationDir);

    static const char* usage();
};

#endif // KXSIMOPTIONS_H
