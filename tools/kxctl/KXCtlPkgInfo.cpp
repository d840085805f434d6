#include "KXCtlCommands.h"

#include "KXUpgrade/KXFirmwareFormats.h"
#include "KXUpgrade/KXPakInfo.h"

#include <QJsonDocument>
#include <QJsonObject>

int runPkgInfo(const QStringList& arguments, QString& out, QString& err)
{
    QStringList args = arguments;
    const bool json = args.removeAll(QStringLiteral("--json")) > 0;
    if (args.size() != 1 || args.first().startsWith(QLatin1String("--"))) {
        err = QStringLiteral("kxctl pkg-info: expected one firmware file");
        return KXCtlExitUsage;
    }
    const QString file = args.first();
    const QString kind = firmwareSuffix(file);
    if (kind == QLatin1String("ifp")) {
        err = QStringLiteral(
            "kxctl pkg-info: an ifp archive is described by the firmware file it holds");
        return KXCtlExitUsage;
    }
    QString description, model, hardware, version;
    uint driverInfo = 0;
    const bool described = KXGetPakInfo(file, description);
    const bool identified = KXGetPakInfo(file, model, hardware, version, &driverInfo);
    const bool read = described && identified;
    if (json) {
        const QJsonObject object{
            {QStringLiteral("file"), file},
            {QStringLiteral("kind"), kind},
            {QStringLiteral("read"), read},
            {QStringLiteral("driverInfo"), qint64(driverInfo)},
            {QStringLiteral("model"), model},
            {QStringLiteral("hardware"), hardware},
            {QStringLiteral("version"), version},
            {QStringLiteral("info"), description},
        };
        out = QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) +
              QLatin1Char('\n');
    } else if (read) {
        out =
            QStringLiteral("model: %1\nhardware: %2\nversion: %3\n").arg(model, hardware, version);
        // The kit's description lines end in CR LF and some start with a space.
        for (const QString& line : description.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts))
            out += QStringLiteral("  %1\n").arg(line.trimmed());
    }
    if (!read) {
        err = QStringLiteral(
                  "kxctl pkg-info: the driver library could not read %1 as %2 (driver code %3)")
                  .arg(file, kind.isEmpty() ? QStringLiteral("a firmware file")
                                            : QLatin1Char('"') + kind + QLatin1Char('"'))
                  .arg(driverInfo);
        return KXCtlExitBadReply;
    }
    return KXCtlExitOk;
}
