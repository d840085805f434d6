#include "KXCtlCommands.h"
#include "KXCtlExchange.h"

#include "discovery/KXDeviceInfo.h"
#include "discovery/KXSerialPortDeviceEnum.h"
#include "transport/KXDriverLibrary.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <QtEndian>

#include <memory>

namespace {

// What a missing driver library gives, as the kit's results have it: the
// object needed does not exist.
constexpr int kNoDriver = -3;

// "9600 8N1" from a COM record; stop bits 0 one, 1 one and a half, 2 two.
QString framingText(const QByteArray& record)
{
    static const char parities[] = "NOEMS";
    const quint8 parity = quint8(record.at(10));
    const quint8 stopBits = quint8(record.at(9));
    return QStringLiteral("%1 %2%3%4")
        .arg(qFromLittleEndian<quint32>(record.constData() + 4))
        .arg(quint8(record.at(8)))
        .arg(QLatin1Char(parity < 5 ? parities[parity] : '?'))
        .arg(stopBits == 0   ? QStringLiteral("1")
             : stopBits == 1 ? QStringLiteral("1.5")
                             : QStringLiteral("2"));
}

QJsonObject deviceJson(const QString& id, const DSDeviceSetting& setting)
{
    QJsonObject info;
    for (auto it = setting.info.cbegin(); it != setting.info.cend(); ++it)
        info.insert(it.key(), it.value());
    const bool serial = !setting.serialSettings.isEmpty();
    return QJsonObject{
        {QStringLiteral("id"), id},
        {QStringLiteral("kind"), setting.info.value(KXInfoKey::DeviceType)},
        {QStringLiteral("product"), setting.info.value(KXInfoKey::ProductName)},
        {QStringLiteral("serial"), setting.info.value(KXInfoKey::SerialNumber)},
        {QStringLiteral("firmware"), setting.info.value(KXInfoKey::FirmwareVersion)},
        {QStringLiteral("port"),
         serial ? QJsonValue(setting.info.value(KXInfoKey::Com).toInt()) : QJsonValue()},
        {QStringLiteral("comType"),
         serial ? QJsonValue(setting.info.value(KXInfoKey::ComType)) : QJsonValue()},
        {QStringLiteral("framing"),
         serial ? QJsonValue(framingText(setting.serialSettings)) : QJsonValue()},
        {QStringLiteral("path"), setting.path},
        {QStringLiteral("info"), info},
    };
}

QString deviceText(const QString& id, const DSDeviceSetting& setting)
{
    const KXDeviceInfoMap& info = setting.info;
    QString text = id + QLatin1Char('\n');
    text += QStringLiteral("  kind: %1\n").arg(info.value(KXInfoKey::DeviceType));
    text += QStringLiteral("  product: %1\n").arg(info.value(KXInfoKey::ProductName));
    text += QStringLiteral("  serial: %1\n").arg(info.value(KXInfoKey::SerialNumber));
    text += QStringLiteral("  firmware: %1\n").arg(info.value(KXInfoKey::FirmwareVersion));
    if (!setting.serialSettings.isEmpty())
        text += QStringLiteral("  port: COM%1 (COM Type %2, %3)\n")
                    .arg(info.value(KXInfoKey::Com), info.value(KXInfoKey::ComType),
                         framingText(setting.serialSettings));
    return text + QStringLiteral("  path: %1\n")
                      .arg(setting.path.isEmpty() ? QStringLiteral("(none)") : setting.path);
}

QString jsonLine(const QJsonValue& error, const QString& message, const QJsonArray& devices)
{
    const QJsonObject object{
        {QStringLiteral("error"), error},
        {QStringLiteral("message"), message},
        {QStringLiteral("devices"), devices},
    };
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) +
           QLatin1Char('\n');
}

} // namespace

int runEnum(QStringList args, QString& out, QString& err)
{
    int timeoutMs = 0;
    QString error;
    const bool json = args.removeAll(QStringLiteral("--json")) > 0;
    if (kxctlTakeTimeout(args, timeoutMs, error) && !args.isEmpty())
        error = QStringLiteral("unexpected argument %1").arg(args.first());
    if (!error.isEmpty()) {
        err = QStringLiteral("kxctl enum: %1").arg(error);
        if (json)
            out = jsonLine(QJsonValue(), err, {});
        return KXCtlExitUsage;
    }
    // The pass would find nothing and say nothing; say why instead.
    QLibrary driver(QString::fromLatin1(KXDriver::libraryName()));
    if (!driver.load()) {
        err = QStringLiteral("kxctl enum: the driver library was not found (%1)")
                  .arg(driver.errorString());
        if (json)
            out = jsonLine(kNoDriver, err, {});
        return KXCtlExitNoLink;
    }

    KXSerialPortDeviceEnum enumerator;
    std::unique_ptr<DSEnumDeviceSetting> result;
    QEventLoop loop;
    QObject::connect(&enumerator, &KXSerialPortDeviceEnum::deviceEnumEnd, &loop,
                     [&](DSEnumDeviceSetting* pass) {
                         result.reset(pass);
                         loop.quit();
                     });
    // A stop ends the pass at its next device, with what it found so far.
    bool stopped = false;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, [&] {
        stopped = true;
        enumerator.stopEnum();
    });
    if (timeoutMs > 0)
        limit.start(timeoutMs);
    // A pass that ends without a result (it cannot here) must not hang us.
    QObject::connect(&enumerator, &QThread::finished, &loop, &QEventLoop::quit);
    enumerator.start();
    loop.exec();
    enumerator.wait();
    if (!result)
        result = std::make_unique<DSEnumDeviceSetting>();

    QJsonArray devices;
    for (auto it = result->devices.cbegin(); it != result->devices.cend(); ++it) {
        if (json)
            devices.append(deviceJson(it.key(), **it));
        else
            out += deviceText(it.key(), **it);
    }
    const QString message =
        stopped ? QStringLiteral("kxctl enum: stopped after %1 ms; %2 device(s) found before")
                      .arg(timeoutMs)
                      .arg(result->devices.size())
                : QString();
    if (json)
        out = jsonLine(stopped ? QJsonValue(-1) : QJsonValue(0), message, devices);
    else if (!stopped)
        out += QStringLiteral("%1 device(s) found\n").arg(result->devices.size());
    err = message;
    return stopped ? KXCtlExitNoReply : KXCtlExitOk;
}
