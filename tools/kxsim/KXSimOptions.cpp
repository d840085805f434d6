#include "KXSimOptions.h"

#include "KXSimBootLoader.h"
#include "KXSimUdpEndpoint.h"

#include <QDir>
#include <QFileInfo>
#include <QHostAddress>

#include <functional>

namespace {

const char kConfigName[] = "DeviceConfiguration.xml";
const char kOfflineName[] = "Offline.xml";

bool readNumber(const QString& text, int minimum, int maximum, int& value)
{
    bool ok = false;
    value = text.toInt(&ok, 10);
    return ok && !text.startsWith(QLatin1Char('+')) && value >= minimum && value <= maximum;
}

} // namespace

bool KXSimOptions::parse(const QStringList& args, QString& error)
{
    // Options with a number: name, limits, where it goes.
    struct NumberOption
    {
        const char* name;
        int minimum;
        int maximum;
        std::function<void(int)> store;
    };
    const NumberOption numberOptions[] = {
        {"--port", 0, 65535, [this](int v) { dataPort = quint16(v); }},
        {"--log-port", 0, 65535, [this](int v) { logPort = quint16(v); }},
        {"--delay", 0, 600000, [this](int v) { faults.setLasting(KXSimFaults::Delay, v); }},
        {"--close-after", 0, 100000, [this](int v) { faults.setCloseAfter(v); }},
        {"--barcodes", 0, 100000, [this](int v) { greeting.barcodes = v; }},
        {"--messages", 0, 100000, [this](int v) { greeting.messages = v; }},
        {"--mixed", 0, 100000, [this](int v) { greeting.mixed = v; }},
        {"--gap", 0, 600000, [this](int v) { gapMs = v; }},
        {"--log-stream", 10, 600000, [this](int v) { logStreamMs = v; }},
        {"--log-lines", 0, 1000000, [this](int v) { logLines = v; }},
        // The discovery options imply --udp.
        {"--udp-port", 0, 65535,
         [this](int v) {
             udpPort = quint16(v);
             udp = true;
         }},
        {"--udp-devices", 1, KXSimUdpEndpoint::MaxDevices,
         [this](int v) {
             udpDevices = v;
             udp = true;
         }},
        {"--udp-malformed", 0, KXSimUdp::LastMalformation,
         [this](int v) {
             faults.setUdpMalformation(v);
             udp = true;
         }},
    };
    const struct
    {
        const char* name;
        KXSimFaults::Kind kind;
    } switchOptions[] = {
        {"--silent", KXSimFaults::Silent},
        {"--garbage", KXSimFaults::Garbage},
        {"--partial", KXSimFaults::Partial},
        {"--corrupt", KXSimFaults::Corrupt},
    };

    bool base = false;
    bool gun = false;
    bool baseSom = false;
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args.at(i);
        const auto value = [&](QString& out) {
            if (i + 1 >= args.size()) {
                error = QStringLiteral("%1 needs a value").arg(arg);
                return false;
            }
            out = args.at(++i);
            return true;
        };
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            help = true;
            continue;
        }
        if (arg == QLatin1String("--bootloader")) {
            boot.atStart = true;
            continue;
        }
        if (arg == QLatin1String("--ifp-check")) {
            if (!value(ifpCheck))
                return false;
            continue;
        }
        if (arg == QLatin1String("--firmware-out") || arg == QLatin1String("--boot-fault")) {
            QString text;
            if (!value(text))
                return false;
            if (arg == QLatin1String("--firmware-out")) {
                boot.firmwareOut = text;
                continue;
            }
            boot.fault = KXSimBootLoader::faultByName(text);
            if (boot.fault < 0) {
                error = QStringLiteral("--boot-fault takes one of %1")
                            .arg(KXSimBootLoader::faultNames());
                return false;
            }
            continue;
        }
        if (arg == QLatin1String("--serial")) {
            serial = true;
            continue;
        }
        if (arg == QLatin1String("--udp") || arg == QLatin1String("--udp-silent")) {
            udp = true;
            faults.setUdpSilent(faults.udpSilent() || arg == QLatin1String("--udp-silent"));
            continue;
        }
        if (arg == QLatin1String("--base-som")) {
            baseSom = true;
            continue;
        }
        if (arg == QLatin1String("--base") || arg == QLatin1String("--gun")) {
            (arg == QLatin1String("--base") ? base : gun) = true;
            continue;
        }
        if (arg == QLatin1String("--config") || arg == QLatin1String("--offline") ||
            arg == QLatin1String("--bind") || arg == QLatin1String("--serial-path")) {
            QString text;
            if (!value(text))
                return false;
            if (arg == QLatin1String("--config"))
                configFile = text;
            else if (arg == QLatin1String("--offline"))
                offlineFile = text;
            else if (arg == QLatin1String("--bind"))
                bindAddress = text;
            else {
                serialPath = text;
                serial = true;
            }
            continue;
        }
        bool known = false;
        for (const auto& option : switchOptions) {
            if (arg == QLatin1String(option.name)) {
                faults.setLasting(option.kind, 1);
                known = true;
            }
        }
        for (const NumberOption& option : numberOptions) {
            if (arg != QLatin1String(option.name))
                continue;
            QString text;
            if (!value(text))
                return false;
            int number = 0;
            if (!readNumber(text, option.minimum, option.maximum, number)) {
                error = QStringLiteral("%1 takes a number from %2 to %3")
                            .arg(arg)
                            .arg(option.minimum)
                            .arg(option.maximum);
                return false;
            }
            option.store(number);
            known = true;
        }
        if (!known) {
            error = QStringLiteral("unknown argument %1 (try --help)").arg(arg);
            return false;
        }
    }

    if (gun && !base) {
        error = QStringLiteral("--gun goes with --base (a scanner alone is the default)");
        return false;
    }
    if (baseSom && !gun) {
        error = QStringLiteral("--base-som goes with --base --gun");
        return false;
    }
    units.base = base;
    units.baseSom = baseSom;
    units.scanner = !base || gun;
    if (configFile.isEmpty() != offlineFile.isEmpty()) {
        error = QStringLiteral("--config and --offline go together");
        return false;
    }
    if (QHostAddress(bindAddress).isNull()) {
        error = QStringLiteral("--bind takes a numeric IP address, not %1").arg(bindAddress);
        return false;
    }
    return true;
}

bool KXSimOptions::findSampleDevice(const QStringList& candidates)
{
    for (const QString& folder : candidates) {
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

QStringList KXSimOptions::sampleDeviceFolders(const QString& applicationDir)
{
    return {
        // Build tree: build/tools/kxsim next to the source's examples/.
        applicationDir + QLatin1String("/../../examples/offline"),
        // Installed: bin/kxsim and share/KXDeviceKit/offline.
        applicationDir + QLatin1String("/../share/KXDeviceKit/offline"),
        // The source tree this program was built from.
        QStringLiteral(KXSIM_SOURCE_EXAMPLES),
    };
}

const char* KXSimOptions::usage()
{
    return "usage: kxsim [--config FILE --offline FILE] [--base [--gun [--base-som]]] [--bind "
           "ADDR] [--port N]\n"
           "             [--log-port N] [--serial] [--serial-path PATH] [--udp [udp options]]\n"
           "             [fault and data options]\n"
           "\n"
           "Simulates one barcode scanner or base station for the device kit. Prints one\n"
           "line per endpoint (\"kxsim: data tcp ADDR:PORT\", \"kxsim: log tcp ADDR:PORT\",\n"
           "\"kxsim: serial PATH\", \"kxsim: udp 0.0.0.0:PORT\"), a line per discovery\n"
           "command (\"kxsim: blink SERIAL MAC\", ...) and serves until SIGINT or SIGTERM\n"
           "(exit code 0).\n"
           "\n"
           "Device\n"
           "  --config FILE       device configuration file (DeviceConfiguration.xml)\n"
           "  --offline FILE      offline description file (Offline.xml; pages/ beside it)\n"
           "                      Without both: the sample device, looked for in\n"
           "                      <bindir>/../../examples/offline (build tree), then\n"
           "                      <bindir>/../share/KXDeviceKit/offline (installed), then\n"
           "                      the source tree's examples/offline.\n"
           "  --base              a base station alone: answers BASQSY,QSN,QHN,QFW from the\n"
           "                      device files and refuses (NAK) the scanner's QRY... and\n"
           "                      PRNQRY; without it, a scanner that refuses BAS...\n"
           "  --gun               with --base: a scanner behind the base; both answer\n"
           "  --base-som          with --base --gun: discovery answers under the base's own\n"
           "                      identity with \"Base Som=1\" (two devices on the host)\n"
           "Endpoints\n"
           "  --bind ADDR         listen address (default 127.0.0.1)\n"
           "  --port N            data port (default 36520; 0 picks a free port)\n"
           "  --log-port N        log port (default 36525; 0 picks a free port)\n"
           "  --serial            also serve on a pseudo-terminal\n"
           "  --serial-path PATH  also put a symlink to it at PATH (implies --serial)\n"
           "Discovery (the udp options imply --udp; answers go to the asker alone, but\n"
           "run it where broadcasts stay private, such as a network namespace)\n"
           "  --udp               answer the kit's discovery and network commands on UDP\n"
           "  --udp-port P        discovery port (default 36510; 0 picks a free port)\n"
           "  --udp-devices N     answer as N devices (1 to 10000): serial numbers ending in\n"
           "                      -0001, -0002, ..., MAC addresses plus 1, 2, ...; all of\n"
           "                      them are this one device\n"
           "  --udp-silent        ignore every datagram, as if off the network (SIMUSL)\n"
           "  --udp-malformed K   damage discovery answers: 1 marker \"TARVEX\", 2 a 19-byte\n"
           "                      payload, 3 a length one past the end, 4 \"Supp Gr=1\"\n"
           "                      without \"Gr En\"; 0 off (SIMUMF)\n"
           "Faults from the start (the same as the triggers below)\n"
           "  --delay MS          delay every reply (SIMDLY)\n"
           "  --silent            answer nothing (SIMSIL)\n"
           "  --garbage           answer with bytes that hold no frame (SIMGRB)\n"
           "  --partial           write only the first half of each reply (SIMPRT)\n"
           "  --corrupt           zero the terminator of protocol 7 replies and of\n"
           "                      messages (SIMCRP)\n"
           "  --close-after N     each data link hangs up after answering N commands (SIMCLA)\n"
           "Unsolicited data, sent on each data link when it starts (TCP: on connection;\n"
           "serial: on the first bytes from the host)\n"
           "  --barcodes N        N barcodes, one write each (SIMBAR)\n"
           "  --messages N        N RUNDAT messages (protocol 8), each in two writes\n"
           "                      20 ms apart (SIMMSG)\n"
           "  --mixed N           one write of N barcode and message pairs (SIMMIX)\n"
           "  --gap MS            pause before each piece (default 100) (SIMGAP)\n"
           "Boot loader (firmware download; events print as \"kxsim: boot ...\")\n"
           "  --bootloader        data links start in the boot loader (SIMBTL on one link;\n"
           "                      a host's upgrade escape enters it on any link)\n"
           "  --firmware-out DIR  write each received part to DIR as INDEX-TYPE.bin\n"
           "  --ifp-check TEXT    answer IFPCHK with TEXT: the device expects firmware\n"
           "                      packages (.ifp) and takes their IFPCFG\n"
           "  --boot-fault NAME   refuse (\"!FileType\" answered 1), erase (\">Start\"\n"
           "                      answered 4, dots before ';'), ack (second block answered\n"
           "                      '#'), slow (busy '*', 2.7 s silence, '^'), silent (first block\n"
           "                      unanswered), drop (hang up in the first block), escape\n"
           "                      (escape answered 0x15) (SIMBFT 1 to 7, 0 none)\n"
           "Log\n"
           "  --log-lines N       start with N more lines in the device log (SIMLGL)\n"
           "  --log-stream MS     log clients get every new log line; a tick line every\n"
           "                      MS ms (at least 10) (SIMLOG)\n"
           "\n"
           "Triggers: simulator-only commands in a frame of their own (protocol 1 or 7),\n"
           "e.g. @SIMDLY500 or @SIMDLY500,SIL1. Each is answered at once, unharmed by\n"
           "faults, as name, value and ACK (ENQ: unknown, NAK: bad parameter). Faults are\n"
           "device-wide (all data links); n is decimal, '*' queries the value.\n"
           "  SIMDLYn    delay each reply by n ms (0 off)\n"
           "  SIMSILn    1: stay silent (commands still take effect), 0: answer again\n"
           "  SIMGRBn    1: answer with garbage, 0: off\n"
           "  SIMPRTn    1: answer with the first half of the reply frame only, 0: off\n"
           "  SIMCRPn    1: corrupt protocol 7 replies and RUNDAT messages, 0: off\n"
           "  SIMCLAn    hang up each data link after it answered n commands (0 off)\n"
           "  SIMONExxxn the fault xxx (DLY, SIL, GRB, PRT, CRP) for the next reply only\n"
           "             (SIL, GRB, PRT, CRP: n defaults to 1)\n"
           "  SIMCLS     hang up this link at once, without a reply\n"
           "  SIMBARn    send n barcodes on this link\n"
           "  SIMMSGn    send n RUNDAT messages on this link\n"
           "  SIMMIXn    send n barcode and message pairs in one write on this link\n"
           "  SIMGAPn    pause n ms before each piece of unsolicited data\n"
           "  SIMLGLn    add n lines to the device log\n"
           "  SIMLOGn    stream the log to log clients, a tick every n ms (0 off)\n"
           "  SIMUSLn    1: ignore every UDP datagram, 0: answer again\n"
           "  SIMUMFn    damage discovery answers as --udp-malformed n (0 off)\n"
           "  SIMBTL     this link switches to the boot loader after the reply\n"
           "  SIMBFTn    boot-loader fault n as --boot-fault (0 none)\n"
           "  SIMRST     every fault off (also those set by options)\n"
           "A trigger frame may ask for at most 4 MiB of unsolicited data in all (each\n"
           "piece counted as long as the last one's number makes it) and 100000 log\n"
           "lines; an item past that is answered NAK and does nothing. --barcodes,\n"
           "--messages and --mixed together are held to the same 4 MiB.\n"
           "The keep-alive (#KEPALV) is not answered; the idle probe (#INTERF*) is\n"
           "answered like any command but neither uses up a SIMONE fault nor counts for\n"
           "SIMCLA. The log port answers @LOGQRY with the whole log.\n"
           "\n"
           "Limits: each port serves 64 links at once (later connections are accepted\n"
           "and closed at once); a link with more than 8 MiB of output pending is not\n"
           "read until the host has read some (past 16 MiB, as with a streamed log that\n"
           "nobody reads, the link is dropped); out of file descriptors, accepting pauses\n"
           "until a link closes or 200 ms have passed.\n";
}
