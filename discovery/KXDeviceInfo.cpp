#include "discovery/KXDeviceInfo.h"

#include "KXDataStream.h"
#include "KXDataStreamParser.h"
#include "connector/KXDeviceConnector.h"

#include <QStringList>

#include <atomic>

namespace {

constexpr int QueryTimeout = 60000;

// Sends one information request; `reply` gets the reply frame. For every
// request but the RFID probe the caller also needs status 0.
int request(const QPointer<KXDeviceConnector>& connector, const char* text, QByteArray& reply)
{
    reply.clear();
    if (!connector)
        return KXDeviceConnector::ErrorNotRunning;
    return connector->sendBinaryMessage(
        KXMakeDataStreamCmd(QByteArray(text), DataProtocol7E01, true), reply, QueryTimeout);
}

// Tag list of an answered request, empty when it failed or does not parse.
DataStreamTagList answeredTags(const QPointer<KXDeviceConnector>& connector, const char* text,
                               bool needStatusZero = true)
{
    QByteArray reply;
    const int status = request(connector, text, reply);
    if (needStatusZero && status != 0)
        return DataStreamTagList();
    KXDataStreamParser parser(reply, DataTypeResponse);
    return parser.isValid() ? parser.getTagList() : DataStreamTagList();
}

// The value of an acknowledged sub-tag; false for any other answer.
bool answeredValue(const _tagDataStreamSubTag& subTag, QString& value)
{
    QByteArray raw;
    if (KXParseDataStreamResult(subTag.data, raw, DataProtocol7E01) != DataResultAck)
        return false;
    value = QString::fromUtf8(raw);
    return true;
}

bool isInformationLine(const QString& subTag)
{
    return subTag == QLatin1String("PDN") || subTag == QLatin1String("PSN") ||
           subTag == QLatin1String("FWV");
}

bool isBaseInformationLine(const QString& subTag)
{
    return subTag == QLatin1String("QSN") || subTag == QLatin1String("QHN") ||
           subTag == QLatin1String("QFW");
}

// "@QRYSYS,PDN,PSN,FWV;PRNQRY": the scanner's text and lines, and PRNQRY.
QString queryScanner(const QPointer<KXDeviceConnector>& connector, KXDeviceInfoMap& info)
{
    QString scannerText;
    const DataStreamTagList tags = answeredTags(connector, "@QRYSYS,PDN,PSN,FWV;PRNQRY");
    for (const auto& tag : tags) {
        if (tag.first == QLatin1String("QRY")) {
            for (const _tagDataStreamSubTag& subTag : tag.second) {
                QString value;
                if (!answeredValue(subTag, value))
                    continue;
                if (subTag.subTag == QLatin1String("SYS"))
                    scannerText = value;
                else if (isInformationLine(subTag.subTag))
                    info.insert(KXInformationLines(value));
            }
        } else if (tag.first == QLatin1String("PRN")) {
            for (const _tagDataStreamSubTag& subTag : tag.second) {
                QString value;
                if (subTag.subTag != QLatin1String("QRY") || !answeredValue(subTag, value))
                    continue;
                info.insert(KXInfoKey::PrnQry, value.remove(QStringLiteral("\r\n")));
                break;
            }
        }
    }
    return scannerText;
}

// "@BASQSY,QSN,QHN,QFW": the base station's text and lines.
QString queryBase(const QPointer<KXDeviceConnector>& connector, KXDeviceInfoMap& baseInfo)
{
    QString baseText;
    const DataStreamTagList tags = answeredTags(connector, "@BASQSY,QSN,QHN,QFW");
    for (const auto& tag : tags) {
        if (tag.first != QLatin1String("BAS"))
            continue;
        for (const _tagDataStreamSubTag& subTag : tag.second) {
            QString value;
            if (!answeredValue(subTag, value))
                continue;
            if (subTag.subTag == QLatin1String("QSY"))
                baseText = value;
            else if (isBaseInformationLine(subTag.subTag))
                baseInfo.insert(KXInformationLines(value));
        }
    }
    return baseText;
}

// "NETDEN*,LPA*,SMK*,GIP*": all four values or none.
void queryNetwork(const QPointer<KXDeviceConnector>& connector, KXDeviceInfoMap& info)
{
    KXDeviceInfoMap network;
    const DataStreamTagList tags = answeredTags(connector, "NETDEN*,LPA*,SMK*,GIP*");
    for (const auto& tag : tags) {
        for (const _tagDataStreamSubTag& subTag : tag.second) {
            QString value;
            if (!answeredValue(subTag, value))
                return;
            network.insert(tag.first + subTag.subTag, value);
        }
    }
    for (auto it = network.cbegin(); it != network.cend(); ++it)
        info.insert(it.key(), it.value());
}

// Result of a one-command probe; `value` gets its data.
EDataResult probe(const QPointer<KXDeviceConnector>& connector, const char* text,
                  const QString& command, bool needStatusZero, QByteArray& value)
{
    const DataStreamTagList tags = answeredTags(connector, text, needStatusZero);
    return KXGetDataStreamResult(tags, command, value, QString(), DataProtocol7E01);
}

} // namespace

bool KXQueryDeviceInfo(QPointer<KXDeviceConnector> connector, KXDeviceInfoMap& info)
{
    if (!connector)
        return false;

    const QString scannerText = queryScanner(connector, info);
    KXDeviceInfoMap baseInfo;
    const QString baseText = queryBase(connector, baseInfo);
    queryNetwork(connector, info);

    if (baseInfo.isEmpty()) {
        if (scannerText.isEmpty())
            return false;
        info.insert(KXInfoKey::BaseState, QStringLiteral("0"));
        info.insert(KXInfoKey::AllInfos, scannerText);
    } else if (info.contains(KXInfoKey::ProductName)) {
        info.insert(KXInfoKey::BaseState, QStringLiteral("2"));
        info.insert(KXInfoKey::AllInfos, scannerText + QStringLiteral("\r\n") + baseText);
    } else {
        // A base station alone speaks for itself.
        for (const QString& key :
             {KXInfoKey::ProductName, KXInfoKey::SerialNumber, KXInfoKey::FirmwareVersion})
            info.insert(key, baseInfo.value(key));
        info.insert(KXInfoKey::BaseState, QStringLiteral("1"));
        info.insert(KXInfoKey::AllInfos, baseText);
    }

    QByteArray value;
    if (probe(connector, "@NVIENA", QStringLiteral("NVIENA"), true, value) == DataResultAck &&
        value == "1")
        info.insert(KXInfoKey::NviSupport, QStringLiteral("1"));
    if (probe(connector, "@URFDCH", QStringLiteral("URFDCH"), false, value) == DataResultAck)
        info.insert(KXInfoKey::Rfid, QStringLiteral("1"));
    return true;
}

QString makeDeviceId(const KXDeviceInfoMap& info)
{
    // Never reset: the same USB device gets a new identifier on every pass.
    // Atomic because a discovery answer may claim to be a USB device too.
    static std::atomic<int> usbCounter{0};

    const QString serial = info.value(KXInfoKey::SerialNumber);
    const QString type = info.value(KXInfoKey::DeviceType);
    if (type == KXInfoKey::UsbDevice)
        return serial + QStringLiteral(":USB%1").arg(++usbCounter);
    if (type == KXInfoKey::SerialPortDevice)
        return serial + QStringLiteral(":COM%1").arg(info.value(KXInfoKey::Com));
    const QString mac = info.value(KXInfoKey::MacAddress);
    return mac.isEmpty() ? serial : mac;
}

KXDeviceInfoMap KXInformationLines(const QString& text)
{
    KXDeviceInfoMap lines;
    for (const QString& line : text.split(QStringLiteral("\r\n"))) {
        const int colon = line.indexOf(QLatin1Char(':'));
        if (colon >= 0)
            lines.insert(line.left(colon), line.mid(colon + 1).trimmed());
    }
    return lines;
}
