#include "KXCtlTarget.h"

#include "KXCtlCodec.h"
#include "KXCtlSampleDevice.h"

#include "connector/KXDeviceConnector.h"
#include "transport/KXSerialPortAdaptor.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QtEndian>

#include <cstring>
#include <limits>

const char* const KXCtlTarget::Forms =
    "tcp://HOST:PORT, com:PATH[@BAUD[,8N1]], usb:PATH or offline:[CONFIG,OFFLINE]";

bool kxctlParseCount(const QString& text, quint32 max, quint32& value)
{
    if (text.isEmpty() || text.size() > 10)
        return false;
    quint64 number = 0;
    for (QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
        number = number * 10 + quint64(c.unicode() - '0');
    }
    if (number == 0 || number > max)
        return false;
    value = quint32(number);
    return true;
}

namespace {

// The driver's environment lists are colon-separated, so a path with a
// colon cannot be handed over.
bool parseDevicePath(const QString& path, QString& error)
{
    if (path.isEmpty()) {
        error = QStringLiteral("expected a device path");
        return false;
    }
    if (path.contains(QLatin1Char(':'))) {
        error = QStringLiteral("a device path must not contain ':'");
        return false;
    }
    return true;
}

bool parseTcp(const QString& rest, KXCtlTarget& target, QString& error)
{
    const int colon = rest.lastIndexOf(QLatin1Char(':'));
    quint32 port = 0;
    if (colon <= 0 || !kxctlParseCount(rest.mid(colon + 1), 65535, port)) {
        error = QStringLiteral("expected tcp://HOST:PORT with a port from 1 to 65535");
        return false;
    }
    target.host = rest.left(colon);
    if (target.host.startsWith(QLatin1Char('[')) && target.host.endsWith(QLatin1Char(']')))
        target.host = target.host.mid(1, target.host.size() - 2);
    target.port = quint16(port);
    return true;
}

// PATH[@BAUD[,FRAMING]], FRAMING as data bits, parity letter and stop bits.
bool parseCom(const QString& rest, KXCtlTarget& target, QString& error)
{
    const int at = rest.lastIndexOf(QLatin1Char('@'));
    target.path = at < 0 ? rest : rest.left(at);
    if (!parseDevicePath(target.path, error))
        return false;
    if (at < 0)
        return true;
    const QStringList settings = rest.mid(at + 1).split(QLatin1Char(','));
    if (!kxctlParseCount(settings.at(0), std::numeric_limits<quint32>::max(), target.baudRate) ||
        settings.size() > 2) {
        error = QStringLiteral("expected com:PATH@BAUD[,FRAMING] with a baud rate above 0 in "
                               "decimal digits");
        return false;
    }
    if (settings.size() == 1)
        return true;
    // Anchored whole: '$' alone would let a trailing line feed through.
    static const QRegularExpression framing(
        QRegularExpression::anchoredPattern(QStringLiteral("([5-8])([NOEMS])(1|1\\.5|2)")),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = framing.match(settings.at(1));
    if (!match.hasMatch()) {
        error = QStringLiteral("framing %1: expected data bits 5-8, parity N, O, E, M or S and "
                               "stop bits 1, 1.5 or 2, such as 8N1")
                    .arg(printableBytes(settings.at(1).toUtf8()));
        return false;
    }
    target.dataBits = quint8(match.captured(1).toUInt());
    target.parity = quint8(QStringLiteral("NOEMS").indexOf(match.captured(2).toUpper()));
    const QString stop = match.captured(3);
    target.stopBits = stop == QLatin1String("1") ? 0 : stop == QLatin1String("2") ? 2 : 1;
    return true;
}

bool parseOffline(const QString& rest, KXCtlTarget& target, QString& error)
{
    if (rest.isEmpty()) {
        if (kxctlFindSampleDevice(target.configFile, target.offlineFile))
            return true;
        error = QStringLiteral("no sample device found in %1; give offline:CONFIG,OFFLINE")
                    .arg(kxctlSampleDeviceFolders().join(QLatin1String(", ")));
        return false;
    }
    const int comma = rest.indexOf(QLatin1Char(','));
    if (comma <= 0 || comma == rest.size() - 1) {
        error = QStringLiteral("expected offline:CONFIG,OFFLINE or offline:");
        return false;
    }
    target.configFile = QFileInfo(rest.left(comma)).absoluteFilePath();
    target.offlineFile = QFileInfo(rest.mid(comma + 1)).absoluteFilePath();
    return true;
}

QString driverProblem(KXDeviceConnector& connector, uint driverError)
{
    const auto* adaptor = qobject_cast<KXSerialPortAdaptor*>(connector.transport());
    if (adaptor && !adaptor->isLibraryLoaded())
        return QStringLiteral("libKXDataStream.so not found; put its folder on LD_LIBRARY_PATH");
    QString reason;
    switch (driverError) {
    case KXDS_ERROR_NOT_FOUND:
        reason = QStringLiteral(": no such device");
        break;
    case KXDS_ERROR_OPEN_FAILED:
        reason = QStringLiteral(": the system refused the open");
        break;
    case KXDS_ERROR_CONFIG_FAILED:
        reason = QStringLiteral(": the line settings were refused");
        break;
    default:
        break;
    }
    return QStringLiteral("driver error %1%2").arg(driverError).arg(reason);
}

} // namespace

bool KXCtlTarget::parse(const QString& text, KXCtlTarget& target, QString& error)
{
    target = KXCtlTarget();
    target.text = text;
    bool ok = false;
    QString reason;
    if (text.startsWith(QLatin1String("tcp://"))) {
        target.kind = Kind::Tcp;
        ok = parseTcp(text.mid(6), target, reason);
    } else if (text.startsWith(QLatin1String("com:"))) {
        target.kind = Kind::Com;
        ok = parseCom(text.mid(4), target, reason);
    } else if (text.startsWith(QLatin1String("usb:"))) {
        target.kind = Kind::Usb;
        target.path = text.mid(4);
        ok = parseDevicePath(target.path, reason);
        if (ok && target.path.size() > KXDS_USB_NAME_MAX) {
            reason = QStringLiteral("the path is too long for a USB record");
            ok = false;
        }
    } else if (text.startsWith(QLatin1String("offline:"))) {
        target.kind = Kind::Offline;
        ok = parseOffline(text.mid(8), target, reason);
    } else {
        reason = QStringLiteral("expected %1").arg(QLatin1String(Forms));
    }
    // Shown escaped: a line end in the text must not break the one-line error.
    if (!ok)
        error = QStringLiteral("bad target '%1': %2").arg(printableBytes(text.toUtf8()), reason);
    return ok;
}

bool KXCtlTarget::open(KXDeviceConnector& connector, QString& error) const
{
    uint driverError = 0;
    switch (kind) {
    case Kind::Tcp:
        if (connector.connectToDevice(host, port, false))
            return true;
        error = QStringLiteral("cannot connect to %1:%2").arg(host).arg(port);
        return false;
    case Kind::Com: {
        // The driver numbers the paths of this list from 1001.
        qputenv("KXDS_EXTRA_PORTS", QFile::encodeName(path));
        KXSerialPortAdaptor::ComRecord record{};
        qToLittleEndian<quint16>(KXDS_PORT_EXTRA_BASE, record.data());
        qToLittleEndian<quint32>(baudRate, record.data() + 4);
        record[8] = dataBits;
        record[9] = stopBits;
        record[10] = parity;
        if (connector.openDevice(record.data(), &driverError))
            return true;
        break;
    }
    case Kind::Usb: {
        qputenv("KXDS_EXTRA_USB", QFile::encodeName(path));
        KXSerialPortAdaptor::UsbRecord record{};
        const std::u16string name = path.toStdU16String();
        std::memcpy(record.data() + KXDS_USB_NAME_OFFSET, name.data(),
                    name.size() * sizeof(char16_t));
        record[KXDS_USB_TYPE_OFFSET] = KXDS_USB_TYPE_DATAPIPE;
        if (connector.openDevice(record.data(), KXSerialPortAdaptor::ReopenUsbMode, &driverError))
            return true;
        break;
    }
    case Kind::Offline:
        if (connector.openOffLineDevice(configFile, offlineFile))
            return true;
        error =
            QStringLiteral("cannot load the offline device %1 and %2").arg(configFile, offlineFile);
        return false;
    }
    error = QStringLiteral("cannot open %1 (%2)").arg(text, driverProblem(connector, driverError));
    return false;
}
