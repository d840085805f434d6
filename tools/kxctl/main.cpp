// kxctl: command-line host of the device kit.

#include "KXCtlCodec.h"

#include <QCoreApplication>
#include <QLoggingCategory>

#include <cstdio>

namespace {

const char kUsage[] = "usage: kxctl [--verbose] encode [--protocol 1|7|8|9] [--hash] [--crc] TEXT\n"
                      "       kxctl decode [--crc] HEX\n"
                      "       kxctl send tcp://HOST:PORT TEXT [--protocol 1|7] [--timeout MS]\n"
                      "                  [--hash]\n"
                      "\n"
                      "encode  frame command text (such as DFMQCU;LUAQRY) and print it in hex\n"
                      "        --protocol  envelope: 1 text (default), 7 length-prefixed,\n"
                      "                    8 or 9 prefix only\n"
                      "        --hash      prefix '#' instead of '@'\n"
                      "        --crc       append the CRC-16 of the payload\n"
                      "decode  print the protocol, validity, tags, sub-tags and results\n"
                      "        of a frame given in hex\n"
                      "        --crc       the frame ends with a CRC-16: check and strip it\n"
                      "send    send command text to a network device and describe its reply;\n"
                      "        exit 4 without reply, 5 without link\n";

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
    } else {
        err = QStringLiteral("kxctl: unknown command %1 (try --help)").arg(command);
        code = 2;
    }
    std::fputs(out.toLocal8Bit().constData(), stdout);
    if (!err.isEmpty())
        std::fprintf(stderr, "%s\n", err.toLocal8Bit().constData());
    return code;
}
