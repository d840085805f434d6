#ifndef KXCTLSCAN_H
#define KXCTLSCAN_H

#include <KXDeviceKit.h>

#include <QString>
#include <QStringList>

// What the network commands share with scan.

// Upper bound of --seconds: a day.
constexpr quint32 kKXCtlMaxSeconds = 86400;

// Takes "--seconds N" out of `args`, leaving `seconds` as it is when absent.
// False with a one-line reason for a missing or bad value.
bool kxctlTakeSeconds(QStringList& args, quint32& seconds, QString& error);

// The one-line warning that a broadcast scan goes out on every interface.
void kxctlWarnBroadcast(const char* command);

// Starts the kit's broadcast scan and runs an event loop until a device
// whose id or serial number is `device` answers (its id and information are
// returned), `seconds` pass or SIGINT/SIGTERM arrives. The scan keeps running
// on success, so that the device's answers to settings commands arrive;
// otherwise it is stopped. Returns an exit code: 0 with `id` set when found,
// 0 with `id` empty when a signal stopped the search.
int kxctlFindNetworkDevice(const QString& device, quint32 seconds, QString& id,
                           KXDeviceInfoMap& info, QString& error);

#endif // KXCTLSCAN_H
