#ifndef KXCTLCOMMANDS_H
#define KXCTLCOMMANDS_H

#include <QString>
#include <QStringList>

// Process exit codes of the device commands (encode and decode use 0, 2
// and 3 the same way).
enum KXCtlExit
{
    KXCtlExitOk = 0,
    KXCtlExitUsage = 2,
    KXCtlExitBadReply = 3,     // the reply failed its check (-23)
    KXCtlExitNoReply = 4,      // no reply in time (-1, -2), or a log that did not end
    KXCtlExitNoLink = 5,       // the target did not open, the device hung up, a write failed
    KXCtlExitFailed = 6,       // any other error code of the kit
    KXCtlExitRefused = 7,      // a setting was refused (get, set, net), or reads back
                               // otherwise after a restore
    KXCtlExitCheckRefused = 8, // the firmware check refused the file
};

// Each takes the arguments after its name and returns the exit code.

// Sends one command and describes the reply; the report goes to `out`, a
// one-line error to `err`.
int runSend(const QStringList& args, QString& out, QString& err);
// Prints barcodes and messages as they arrive until SIGINT or SIGTERM.
// Prints as it goes; only the error is left in `err`.
int runMonitor(QStringList args, QString& err);
// Prints the device log once, as it arrives, within the --timeout (default
// 30 s); SIGINT and SIGTERM end it early.
int runLog(QStringList args, QString& err);
// The kit's scan: one USB/serial pass and, with --broadcast, network
// discovery; prints devices as they are found, change and go offline.
int runScan(QStringList args, QString& err);
// The names the kit lists for connecting by name (after a broadcast scan
// with --broadcast).
int runList(QStringList args, QString& out, QString& err);
// Adds a network device by address and prints what it reports.
int runAdd(QStringList args, QString& out, QString& err);
// Network settings by broadcast: ip, alias, group, blink.
int runNet(QStringList args, QString& out, QString& err);

// Asks the device for its information (the kit's information query) and
// prints the map.
int runInfo(const QStringList& args, QString& out, QString& err);

// Reads a firmware file through the driver library: its model, hardware
// name and version, then the kit's description lines.
int runPkgInfo(const QStringList& args, QString& out, QString& err);

// Queries settings by command name ("NAME*") and prints each value with
// its result.
int runGet(const QStringList& args, QString& out, QString& err);
// Sends settings as NAMEVALUE and prints each result; exit 7 when the
// device refuses any.
int runSet(const QStringList& args, QString& out, QString& err);

// Checks a firmware file against the device and, unless --check-only,
// writes it, reporting progress on standard error (JSON lines with --json).
int runUpdate(const QStringList& args, QString& out, QString& err);

// Queries every setting the settings pages name and prints one JSON
// document: the device information, then the settings by page.
int runBackup(const QStringList& args, QString& out, QString& err);
// Writes a backup's settings to the device, reads them back and prints
// every difference.
int runRestore(const QStringList& args, QString& out, QString& err);

#endif // KXCTLCOMMANDS_H
