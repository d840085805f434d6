// kxctl: command-line host of the device kit.

#include "KXCtlCodec.h"
#include "KXCtlCommands.h"

#include <QCoreApplication>
#include <QLoggingCategory>

#include <cstdio>

namespace {

const char kUsage[] =
    "usage: kxctl [--verbose] encode [--protocol 1|7|8|9] [--hash] [--crc] TEXT\n"
    "       kxctl decode [--crc] HEX\n"
    "       kxctl send TARGET TEXT [--timeout MS] [--json] [--protocol 1|7] [--hash]\n"
    "       kxctl monitor TARGET [--send TEXT]...\n"
    "       kxctl log TARGET\n"
    "\n"
    "encode   frame command text (such as DFMQCU;LUAQRY) and print it in hex\n"
    "         --protocol  envelope: 1 text (default), 7 length-prefixed,\n"
    "                     8 or 9 prefix only\n"
    "         --hash      prefix '#' instead of '@'\n"
    "         --crc       append the CRC-16 of the payload\n"
    "decode   print the protocol, validity, tags, sub-tags and results\n"
    "         of a frame given in hex\n"
    "         --crc       the frame ends with a CRC-16: check and strip it\n"
    "send     send command text to a device and describe its reply, each\n"
    "         sub-tag with its value and ACK, ENQ or NAK; bytes the device sent\n"
    "         ahead of the reply are shown as barcode: and message: lines\n"
    "         --timeout   ms to wait for the reply (default 3000)\n"
    "         --json      print one JSON object: error, sent, reply, results\n"
    "                     ([{cmd, value, result}])\n"
    "         --protocol  envelope: 1 text (default) or 7 length-prefixed\n"
    "         --hash      prefix '#' instead of '@'\n"
    "monitor  print \"barcode: TEXT [HEX]\" and \"message: HEX\" lines as the device\n"
    "         sends them, until SIGINT or SIGTERM (exit 0)\n"
    "         --send      send this command text first on the same link (such as\n"
    "                     kxsim's SIMBAR1, which answers on the link that asks)\n"
    "log      print the device log (tcp:// names the log port)\n"
    "\n"
    "TARGET   tcp://HOST:PORT       network device\n"
    "         com:PATH[@BAUD[,8N1]] serial port through libKXDataStream.so\n"
    "                               (default 115200,8N1; parity N O E M S,\n"
    "                               stop bits 1 1.5 2)\n"
    "         usb:PATH              USB data-pipe device through libKXDataStream.so\n"
    "         offline:CONFIG,OFFLINE  offline device from its two files;\n"
    "         offline:              the sample device\n"
    "\n"
    "Exit codes: 0 success, 2 usage error, 3 a frame that does not decode or a\n"
    "reply that fails its check (-23), 4 no reply in time (-1, -2), 5 no\n"
    "connection: the target did not open, the link is gone or a write failed\n"
    "(-3, -20), 6 any other error code of the connector. send and monitor print\n"
    "the connector's error code in their one-line error.\n";

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.isEmpty() || args.first() == QLatin1String("--help") ||
        args.first() == QLatin1String("-h")) {
        std::fputs(kUsage, args.isEmpty() ? stderr : stdout);
        return args.isEmpty() ? 2 : 0;
    }
    // The kit's debug lines would drown the tool's own output; --verbose
    // (or QT_LOGGING_RULES) brings them back.
    if (args.removeAll(QStringLiteral("--verbose")) == 0)
        QLoggingCategory::setFilterRules(QStringLiteral("kx.*.debug=false"));
    if (args.isEmpty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const QString command = args.takeFirst();
    QString out;
    QString err;
    int code;
    if (command == QLatin1String("encode")) {
        code = runEncode(args, out, err);
    } else if (command == QLatin1String("decode")) {
        code = runDecode(args, out, err);
    } else if (command == QLatin1String("send")) {
        code = runSend(args, out, err);
    } else if (command == QLatin1String("monitor")) {
        code = runMonitor(args, err);
    } else if (command == QLatin1String("log")) {
        code = runLog(args, err);
    } else {
        err = QStringLiteral("kxctl: unknown command %1 (try --help)").arg(command);
        code = 2;
    }
    std::fputs(out.toLocal8Bit().constData(), stdout);
    if (!err.isEmpty())
        std::fprintf(stderr, "%s\n", err.toLocal8Bit().constData());
    return code;
}
