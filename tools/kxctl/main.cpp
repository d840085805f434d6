// kxctl: command-line host of the device kit.

#include "KXCtlCodec.h"
#include "KXCtlCommands.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QRegularExpression>

#include <cstdio>
#include <cstring>

namespace {

// One row per command: --help and the README's command list are written
// from these words.
struct Command
{
    const char* name;
    const char* synopsis; // the arguments after the name
    const char* summary;  // what it does, and its options, one per line
    const char* examples; // command lines, one per line
    int (*run)(const QStringList& args, QString& out, QString& err);
};

const Command kCommands[] = {
    {"encode", "[--protocol 1|7|8|9] [--hash] [--crc] TEXT",
     "frame command text (such as DFMQCU;LUAQRY) and print it in hex\n"
     "--protocol  envelope: 1 text (default), 7 length-prefixed,\n"
     "            8 or 9 prefix only\n"
     "--hash      prefix '#' instead of '@'\n"
     "--crc       append the CRC-16 of the payload (protocol 7 only)",
     "kxctl encode 'DFMQCU;LUAQRY'\n"
     "kxctl encode --protocol 7 --crc QRYSYS",
     runEncode},
    {"decode", "[--crc] HEX",
     "print the protocol, validity, tags, sub-tags and results of a frame\n"
     "given in hex\n"
     "--crc       the frame ends with a CRC-16: check and strip it",
     "kxctl decode '02 01 30 30 30 30 40 44 46 4d 51 43 55 31 32 06 2c 41 44 44 15 3b 03'",
     runDecode},
    {"send", "DEVICE TEXT [--json] [--protocol 1|7] [--hash]",
     "send command text to a device and describe its reply, each sub-tag\n"
     "with its value and ACK, ENQ or NAK; barcodes and messages the device\n"
     "sent meanwhile are shown as barcode: and message: lines (the first\n"
     "64 KiB, then a count of the rest)\n"
     "--timeout   ms to wait for the reply (default 3000)\n"
     "--json      print one JSON object in every outcome: error (the\n"
     "            connector's code, null for a usage error), message,\n"
     "            sent, reply, results ([{cmd, value, result}])\n"
     "--protocol  envelope: 1 text (default) or 7 length-prefixed\n"
     "--hash      prefix '#' instead of '@'",
     "kxctl send tcp://127.0.0.1:36520 SCNMOD*", runSend},
    {"get", "DEVICE NAME... [--json]",
     "query settings by command name (NAME* in one command) and print each\n"
     "as \"NAME: VALUE RESULT\", RESULT being ACK, ENQ or NAK; exit 7 when\n"
     "any is not ACK\n"
     "--timeout   ms to wait for the reply (default 3000)\n"
     "--json      one object: error, message, results ([{cmd, value, result}])",
     "kxctl get tcp://127.0.0.1:36520 SCNMOD BEPDUR", runGet},
    {"set", "DEVICE NAME=VALUE... [--json]",
     "change settings (NAMEVALUE in one command) and print each result as\n"
     "\"NAME: VALUE RESULT\"; exit 7 when the device refuses any\n"
     "--timeout   ms to wait for the reply (default 3000)\n"
     "--json      as get",
     "kxctl set com:/dev/ttyUSB0 SCNMOD=2 BEPDUR=100", runSet},
    {"info", "DEVICE [--json]",
     "print the information the kit found when it added the device\n"
     "(tcp://) or scanned for it (an id with --scan); other devices are asked\n"
     "for their system text (QRYSYS); one \"key: value\" per line; exit 5\n"
     "when it cannot be added, found or opened\n"
     "--timeout   ms the QRYSYS request waits for its reply (default 4500)\n"
     "--json      one object: error (0, -3 no link, another code of the\n"
     "            request, null for a usage error), message, info {key: value}",
     "kxctl info tcp://127.0.0.1:36520 --json\n"
     "kxctl info com:/dev/ttyACM0",
     runInfo},
    {"backup", "DEVICE [--pages DIR]",
     "query every setting that the settings pages name and print one JSON\n"
     "document: {\"device\": {info}, \"pages\": [{\"page\": NAME, \"settings\":\n"
     "{SETTING: VALUE}, \"refused\": [SETTING]}]}; a setting the device does\n"
     "not acknowledge is listed as refused\n"
     "--pages     folder of the page files (default: the sample device's)\n"
     "--timeout   ms each request waits for its reply (default 4500)",
     "kxctl backup tcp://127.0.0.1:36520 > settings.json", runBackup},
    {"restore", "DEVICE FILE [--pages DIR] [--force]",
     "write a backup's settings to the device (not those its pages show as\n"
     "text only, a Label), read them back and print \"differs: SETTING wanted\n"
     "\"VALUE\" got \"VALUE\" (RESULT)\" for each one refused or different, then\n"
     "a count; exit 7 when any differs\n"
     "--force     restore a backup of another product (without it: exit 7,\n"
     "            nothing written)\n"
     "--pages     folder of the page files (default: the sample device's)\n"
     "--timeout   ms each request waits for its reply (default 4500)",
     "kxctl restore tcp://127.0.0.1:36520 settings.json", runRestore},
    {"update", "DEVICE FILE [--check-only] [--json]",
     "check a firmware file against the device (the check code and its\n"
     "meaning) and write it: images, nfp packages, ifp packages (unpacked and\n"
     "judged by their upgrade script); progress on standard error, a bar on a\n"
     "terminal; SIGINT and SIGTERM wait for the download to end (said once);\n"
     "exit 8 when the check refuses the file\n"
     "--check-only  stop after the check\n"
     "--timeout   ms each check request waits for its reply (default 4500)\n"
     "--json      one JSON line per event on standard output: check {code,\n"
     "            meaning}, progress {part, stage, percent}, done {ok};\n"
     "            each with error (null, or the code)",
     "kxctl update tcp://127.0.0.1:36520 firmware.nfp --check-only\n"
     "kxctl update tcp://127.0.0.1:36520 firmware.nfp",
     runUpdate},
    {"monitor", "DEVICE [--send TEXT]...",
     "print \"barcode: TEXT [HEX]\" and \"message: HEX\" lines as the device\n"
     "sends them, until SIGINT or SIGTERM (exit 0) or a network device\n"
     "hangs up (exit 5); USB devices and serial ports that come and go are\n"
     "shown as \"device arrived: PATH\" and \"device removed: PATH\" (a USB\n"
     "device's /sys path; a tty's node and its USB device's path), with\n"
     "\" (the monitored device...)\" when it is the monitored one, which is\n"
     "reopened when it comes back\n"
     "--send      send this command text first on the same link (such as\n"
     "            kxsim's SIMBAR1, which answers on the link that asks)\n"
     "--timeout   ms to wait for the reply to each --send (default 3000)",
     "kxctl monitor tcp://127.0.0.1:36520 --send SIMBAR1\n"
     "kxctl monitor K73A2403180417:COM1001 --scan",
     [](const QStringList& args, QString&, QString& err) { return runMonitor(args, err); }},
    {"log", "DEVICE",
     "print the device log; tcp:// names the data port, the log comes from\n"
     "the device's \"Log Port\" (36525 when it does not tell); SIGINT or\n"
     "SIGTERM ends it with what came so far (exit 0)\n"
     "--timeout   ms for the whole log (default 30000; then exit 4)",
     "kxctl log tcp://127.0.0.1:36520",
     [](const QStringList& args, QString&, QString& err) { return runLog(args, err); }},
    {"scan", "[--broadcast] [--seconds N] [--json]",
     "the kit's device scan: one pass over the USB and serial devices that\n"
     "libKXDataStream.so lists and, with --broadcast, network discovery; prints\n"
     "one table row per event (new, updated, offline): id, kind, product,\n"
     "serial number, firmware, address and port; SIGINT or SIGTERM stops it\n"
     "(exit 0)\n"
     "--broadcast sends UDP broadcasts from EVERY network interface (again\n"
     "            every 3 s) and runs for --seconds (default 10)\n"
     "--seconds   how long a broadcast scan runs; without --broadcast the\n"
     "            scan ends with its pass, and --seconds bounds it (exit 4)\n"
     "--json      one JSON line per event: event (new, updated, offline,\n"
     "            end), error, id, kind, product, serial, firmware, address,\n"
     "            port, info; end carries devices (the count) and message",
     "kxctl scan --broadcast --seconds 5\n"
     "kxctl scan --json",
     [](const QStringList& args, QString&, QString& err) { return runScan(args, err); }},
    {"list", "[--broadcast [--seconds N]] [--json]",
     "the names the kit connects by (\"DataPipe n\" for USB devices,\n"
     "\"ADDRESS_PRODUCT(SERIAL)\" for network devices); a new process knows\n"
     "no network devices, so --broadcast scans first\n"
     "--broadcast scan by broadcast first, for --seconds (default 3)\n"
     "--json      one object: error, names",
     "kxctl list\n"
     "kxctl list --broadcast --seconds 3 --json",
     [](const QStringList& args, QString& out, QString& err) { return runList(args, out, err); }},
    {"add", "HOST[:PORT] [--json]",
     "add a network device by address (TCP port default 36520): connect,\n"
     "query its information, print it; exit 5 when it does not open or\n"
     "answer within about 2 s\n"
     "--json      one object: error (0, -1, -10), message, id, info",
     "kxctl add 192.0.2.10\n"
     "kxctl add 192.0.2.10:36520 --json",
     [](const QStringList& args, QString& out, QString& err) { return runAdd(args, out, err); }},
    {"net", "ip|alias|group|blink DEVICE [ARGUMENTS] [--seconds N] [--json]",
     "change a network device's settings by broadcast (from EVERY network\n"
     "interface); DEVICE is a device id or serial number that a broadcast scan\n"
     "finds first (exit 5 when none answers within --seconds, default 5);\n"
     "then waits for the device's result (exit 7 when it refuses, 4 when it\n"
     "does not answer within --timeout, default 3000 ms)\n"
     "ip DEVICE --ip A --mask M --gateway G [--dhcp on|off]  addresses\n"
     "            (--dhcp default off; with on, the addresses may be left out)\n"
     "alias DEVICE NAME    the device's alias\n"
     "group DEVICE TEXT    group fields, such as \"Gr En=1;Gr Id=3\"\n"
     "blink DEVICE         make the device show itself (no result: done once\n"
     "            sent)\n"
     "--json      one object: error (0, -1 not sent, -2 no answer, -3 not\n"
     "            found, null for a usage error), message, id, result",
     "kxctl net ip 02:4B:58:73:04:17 --ip 192.0.2.20 --mask 255.255.255.0 --gateway "
     "192.0.2.1\n"
     "kxctl net alias K73A2403180417 'Till 3'\n"
     "kxctl net group K73A2403180417 'Gr En=1;Gr Id=3'\n"
     "kxctl net blink K73A2403180417",
     [](const QStringList& args, QString& out, QString& err) { return runNet(args, out, err); }},
    {"pkg-info", "FILE [--json]",
     "read a firmware file (nfp, bin, bin2, bin3, pak, pak2, efp, efp2)\n"
     "through libKXDataStream.so and print its model, hardware name and\n"
     "version, then the kit's description lines; exit 3 when it cannot be\n"
     "read (kxfw makes sample files of every kind)\n"
     "--json      one object: file, kind, read, driverInfo, model, hardware,\n"
     "            version, info (the description text)",
     "kxctl pkg-info firmware.nfp --json", runPkgInfo},
};

const char kTargets[] =
    "Global options, before or after the command:\n"
    "  --verbose   show the kit's own debug lines\n"
    "  --timeout   MS from 1 to 3600000 for send, get, set, info, backup, restore,\n"
    "              update, monitor, log and net\n"
    "              (see each)\n"
    "\n"
    "DEVICE   the first argument after the command that does not start with --:\n"
    "         tcp://HOST:PORT       network device, added by address\n"
    "         com:PATH[@BAUD[,8N1]] serial port through libKXDataStream.so\n"
    "                               (default 115200,8N1; parity N O E M S,\n"
    "                               stop bits 1 1.5 2)\n"
    "         usb:PATH              USB data-pipe device through libKXDataStream.so\n"
    "         offline:CONFIG,OFFLINE  offline device from its two files;\n"
    "         offline:              the sample device\n"
    "         ID --scan [--broadcast]  a device id from a scan: a USB/serial\n"
    "                               pass, with --broadcast network discovery too\n"
    "PORT and BAUD are decimal digits only.\n"
    "\n"
    "Exit codes: 0 success, 2 usage error, 3 a frame that does not decode or a\n"
    "reply that fails its check (-23), 4 no reply in time (-1, -2) or a log that\n"
    "does not end in time, 5 no connection: the target did not open, the device\n"
    "closed the link or a write failed (-3, -20), 6 any other error code of the\n"
    "kit (such as -22, text that is no command), 7 a setting not taken (get,\n"
    "set: NAK or ENQ; restore: refused or reading back otherwise), 8 the firmware\n"
    "check refused the file. send and monitor print the kit's error code in\n"
    "their one-line error.\n";

QByteArray synopsisLine(const Command& command)
{
    return QByteArray("kxctl ") + command.name + ' ' + command.synopsis;
}

// The summary's lines indented under a heading of `indent` columns.
QByteArray indented(const char* text, int indent)
{
    QByteArray lines;
    for (const QByteArray& line : QByteArray(text).split('\n'))
        lines += QByteArray(indent, ' ') + line + '\n';
    return lines;
}

QByteArray usage()
{
    QByteArray text = "usage: kxctl [--verbose] [--timeout MS] COMMAND ARGUMENTS\n"
                      "       kxctl help [COMMAND]   (or kxctl COMMAND --help)\n";
    for (const Command& command : kCommands)
        text += "       " + synopsisLine(command) + '\n';
    for (const Command& command : kCommands) {
        const QList<QByteArray> lines = QByteArray(command.summary).split('\n');
        text += '\n' + QByteArray(command.name).leftJustified(9, ' ') + lines.first() + '\n';
        for (int i = 1; i < lines.size(); ++i)
            text += "         " + lines.at(i) + '\n';
    }
    return text + '\n' + kTargets;
}

QByteArray commandHelp(const Command& command)
{
    return "usage: " + synopsisLine(command) + "\n\n" + indented(command.summary, 0) +
           "\nExamples:\n" + indented(command.examples, 2);
}

// The README's command list, in Markdown, from the same words: each
// command's synopsis, its summary up to the options, and its examples.
QByteArray markdown()
{
    QByteArray text;
    for (const Command& command : kCommands) {
        QByteArrayList words;
        for (const QByteArray& line : QByteArray(command.summary).split('\n')) {
            if (line.startsWith("--") || line.startsWith(' ') ||
                (!words.isEmpty() && line.contains("  ")))
                break;
            words += line;
        }
        text += "- `" + synopsisLine(command) + "`: " + words.join(' ') + "\n\n  ```sh\n" +
                indented(command.examples, 2) + "  ```\n";
    }
    return text;
}

// Words for the shell's completion: the command names, or one command's
// options (each "--word" of its synopsis and summary) and the global ones.
QByteArray completionWords(const QStringList& args)
{
    QStringList words;
    const Command* chosen = nullptr;
    for (const Command& command : kCommands) {
        if (!args.isEmpty() && args.first() == QLatin1String(command.name))
            chosen = &command;
    }
    if (!chosen) {
        for (const Command& command : kCommands)
            words << QLatin1String(command.name);
        words << QStringLiteral("help");
    } else {
        const QString text =
            QLatin1String(chosen->synopsis) + QLatin1Char(' ') + QLatin1String(chosen->summary);
        QRegularExpressionMatchIterator it =
            QRegularExpression(QStringLiteral("--[a-z][a-z-]*")).globalMatch(text);
        while (it.hasNext())
            words << it.next().captured();
        if (QLatin1String(chosen->name) == QLatin1String("net"))
            words << QStringLiteral("ip") << QStringLiteral("alias") << QStringLiteral("group")
                  << QStringLiteral("blink");
    }
    words << QStringLiteral("--help") << QStringLiteral("--verbose") << QStringLiteral("--timeout");
    words.removeDuplicates();
    return words.join(QLatin1Char(' ')).toLatin1() + '\n';
}

const Command* findCommand(const QString& name)
{
    for (const Command& command : kCommands) {
        if (name == QLatin1String(command.name))
            return &command;
    }
    return nullptr;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.isEmpty() || args.first() == QLatin1String("--help") ||
        args.first() == QLatin1String("-h")) {
        std::fputs(usage().constData(), args.isEmpty() ? stderr : stdout);
        return args.isEmpty() ? 2 : 0;
    }
    if (args.first() == QLatin1String("--complete")) {
        std::fputs(completionWords(args.mid(1)).constData(), stdout);
        return 0;
    }
    // The kit's debug lines would drown the tool's own output; --verbose
    // (or QT_LOGGING_RULES) brings them back.
    if (args.removeAll(QStringLiteral("--verbose")) == 0)
        QLoggingCategory::setFilterRules(QStringLiteral("kx.*.debug=false"));
    // A --timeout before the command goes to the command.
    QStringList global;
    while (args.size() > 1 && args.first() == QLatin1String("--timeout")) {
        global += args.takeFirst();
        global += args.takeFirst();
    }
    if (args.isEmpty()) {
        std::fputs(usage().constData(), stderr);
        return 2;
    }
    const QString name = args.takeFirst();
    if (name == QLatin1String("help")) {
        const Command* command = findCommand(args.value(0));
        if (args.value(0) == QLatin1String("--markdown"))
            std::fputs(markdown().constData(), stdout);
        else if (command)
            std::fputs(commandHelp(*command).constData(), stdout);
        else if (args.isEmpty())
            std::fputs(usage().constData(), stdout);
        else
            std::fprintf(stderr, "kxctl: unknown command %s (try --help)\n",
                         args.first().toLocal8Bit().constData());
        return args.isEmpty() || command || args.first() == QLatin1String("--markdown") ? 0 : 2;
    }
    const Command* command = findCommand(name);
    if (!command) {
        std::fprintf(stderr, "kxctl: unknown command %s (try --help)\n",
                     name.toLocal8Bit().constData());
        return 2;
    }
    if (args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h"))) {
        std::fputs(commandHelp(*command).constData(), stdout);
        return 0;
    }
    QString out;
    QString err;
    const int code = command->run(args + global, out, err);
    // The kit deletes dropped connections later, through the event loop;
    // the command has ended, so that happens now rather than never.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    std::fputs(out.toLocal8Bit().constData(), stdout);
    if (!err.isEmpty())
        std::fprintf(stderr, "%s\n", err.toLocal8Bit().constData());
    return code;
}
