#include "KXCtlCommands.h"
#include "KXCtlExchange.h"
#include "KXCtlReport.h"
#include "KXCtlStopSignals.h"
#include "KXCtlTarget.h"

#include "connector/KXDeviceConnector.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <thread>
#include <unistd.h>

namespace {

constexpr int kPollMs = 100;

QString checkMeaning(int code)
{
    switch (code) {
    case KXDeviceConnector::CheckOk:
        return QStringLiteral("the file may be written");
    case KXDeviceConnector::CheckQueryFailed:
        return QStringLiteral("a query failed (no reply in time)");
    case KXDeviceConnector::CheckWriteFailed:
        return QStringLiteral("writing a query failed");
    case KXDeviceConnector::CheckWriteIncomplete:
        return QStringLiteral("a query was not written whole");
    case KXDeviceConnector::CheckBadReply:
        return QStringLiteral("a reply does not parse");
    case KXDeviceConnector::CheckPrepareFailed:
        return QStringLiteral("the package cannot be unpacked or lacks its files");
    case KXDeviceConnector::CheckExpectsPackage:
        return QStringLiteral("the device takes firmware packages (.ifp) only");
    case 605:
        return QStringLiteral("no script interpreter");
    case 606:
        return QStringLiteral("the upgrade script does not load or lacks CheckUpGrade");
    case 607:
        return QStringLiteral("the upgrade script failed");
    case 608:
        return QStringLiteral("the upgrade script returned no number");
    case 609:
        return QStringLiteral("the upgrade script ran too long and was stopped");
    default:
        return QStringLiteral("refused by the package's upgrade script");
    }
}

const char* stageName(int stage)
{
    static const char* const names[] = {"wake-up", "announce", "send", "program"};
    return stage >= 0 && stage < 4 ? names[stage] : "?";
}

void printJson(const QJsonObject& object)
{
    kxctlPrint(QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
}

// One progress line: a bar redrawn in place on a terminal, plain lines
// otherwise, JSON lines with --json.
void reportProgress(bool json, int part, int stage, int value)
{
    const int percent = qBound(0, value / 10, 100);
    if (json) {
        printJson({{"event", "progress"},
                   {"part", part},
                   {"stage", stageName(stage)},
                   {"percent", percent},
                   {"error", QJsonValue()}});
        return;
    }
    const QByteArray bar = QByteArray(percent / 5, '#').leftJustified(20, '.');
    if (::isatty(STDERR_FILENO))
        std::fprintf(stderr, "\rpart %d %-8s [%s] %3d%%", part, stageName(stage), bar.constData(),
                     percent);
    else
        std::fprintf(stderr, "part %d %s %d%%\n", part, stageName(stage), percent);
    std::fflush(stderr);
}

} // namespace

int runUpdate(const QStringList& arguments, QString& out, QString& err)
{
    QStringList args = arguments;
    const bool json = args.removeAll(QStringLiteral("--json")) > 0;
    const bool checkOnly = args.removeAll(QStringLiteral("--check-only")) > 0;
    int replyMs = KXDeviceConnector::DefaultTimeOut7E01;
    QString error;
    KXCtlTarget target;
    if (!kxctlTakeTimeout(args, replyMs, error)) {
    } else if (args.size() != 2 || args.first().startsWith(QLatin1String("--"))) {
        error = QStringLiteral("expected a target (%1) and a firmware file")
                    .arg(QLatin1String(KXCtlTarget::Forms));
    } else {
        KXCtlTarget::parse(args.first(), target, error);
    }
    if (!error.isEmpty()) {
        err = QStringLiteral("kxctl update: %1").arg(error);
        return KXCtlExitUsage;
    }
    const QString file = args.at(1);

    KXDeviceConnector connector;
    if (!target.open(connector, error)) {
        err = QStringLiteral("kxctl update: %1").arg(error);
        return KXCtlExitNoLink;
    }
    connector.setTimeOut_7E01(replyMs);
    const int code = connector.checkUpdateFirmwareInfo(file);
    if (json)
        printJson({{"event", "check"},
                   {"code", code},
                   {"meaning", checkMeaning(code)},
                   {"error", code == 0 ? QJsonValue() : QJsonValue(code)}});
    else
        out = QStringLiteral("check: %1 (%2)\n").arg(code).arg(checkMeaning(code));
    if (code != KXDeviceConnector::CheckOk) {
        err = QStringLiteral("kxctl update: the check refused the file: %1 (%2)")
                  .arg(code)
                  .arg(checkMeaning(code));
        return code == KXDeviceConnector::CheckQueryFailed ? KXCtlExitNoReply : KXCtlExitFailed;
    }
    if (checkOnly)
        return KXCtlExitOk;

    // The download blocks its thread; this one reports its progress.
    // SIGINT and SIGTERM are held off until it ends: a device must not be
    // left half-way through a block.
    QObject context;
    if (!KXCtlStopSignals::install(
            &context, [] {}, error)) {
        err = QStringLiteral("kxctl update: %1").arg(error);
        return KXCtlExitFailed;
    }
    std::atomic<bool> done{false};
    bool ok = false;
    uint driverError = 0;
    std::thread download([&] {
        ok = connector.updateFirmwareFile(file, 0, &driverError);
        done = true;
    });
    int last = -1;
    while (!done) {
        QThread::msleep(kPollMs);
        int part = 0, state = 0, stage = 0, value = 0;
        if (!connector.getUpdateFirmwareState(&part, &state, &stage, &value))
            continue;
        const int key = (part * 4 + stage) * 2000 + value;
        if (key != last)
            reportProgress(json, part, stage, value);
        last = key;
    }
    download.join();
    if (!json && ::isatty(STDERR_FILENO))
        std::fputc('\n', stderr);
    if (json)
        printJson({{"event", "done"}, {"ok", ok}, {"error", ok ? QJsonValue() : QJsonValue(-1)}});
    else
        out += ok ? QStringLiteral("update: done\n") : QStringLiteral("update: failed\n");
    if (!ok) {
        err = QStringLiteral("kxctl update: the download failed");
        return KXCtlExitFailed;
    }
    return KXCtlExitOk;
}
