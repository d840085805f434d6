#include "KXCtlCommands.h"
#include "KXCtlDevice.h"
#include "KXCtlExchange.h"
#include "KXCtlReport.h"
#include "KXCtlStopSignals.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <thread>
#include <unistd.h>

namespace {

constexpr int kPollMs = 100;
constexpr int kDefaultReplyMs = 4500;

// The check's codes that the kit gives itself (the package's script gives
// the others).
enum CheckCode
{
    CheckOk = 0,
    CheckQueryFailed = 600,
    CheckWriteFailed = 601,
    CheckWriteIncomplete = 602,
    CheckBadReply = 603,
    CheckPrepareFailed = 604,
    CheckExpectsPackage = 610,
};

QString checkMeaning(int code)
{
    switch (code) {
    case CheckOk:
        return QStringLiteral("the file may be written");
    case CheckQueryFailed:
        return QStringLiteral("a query failed (no reply in time)");
    case CheckWriteFailed:
        return QStringLiteral("writing a query failed");
    case CheckWriteIncomplete:
        return QStringLiteral("a query was not written whole");
    case CheckBadReply:
        return QStringLiteral("a reply does not parse");
    case CheckPrepareFailed:
        return QStringLiteral("the package cannot be unpacked or lacks its files");
    case CheckExpectsPackage:
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
void reportProgress(bool json, int part, int stage, int value, double seconds)
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
        std::fprintf(stderr, "\rpart %d %-8s [%s] %3d%% %6.1f s", part, stageName(stage),
                     bar.constData(), percent, seconds);
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
    int replyMs = kDefaultReplyMs;
    QString error;
    KXCtlDevice device;
    if (!kxctlTakeTimeout(args, replyMs, error) || !KXCtlDevice::parse(args, device, error)) {
    } else if (args.size() != 1 || args.first().startsWith(QLatin1String("--"))) {
        error = QStringLiteral("expected a device (%1) and a firmware file")
                    .arg(QLatin1String(KXCtlDevice::Forms));
    }
    if (!error.isEmpty()) {
        err = QStringLiteral("kxctl update: %1").arg(error);
        return KXCtlExitUsage;
    }
    const QString file = args.first();

    KXDeviceKit* kit = KXDeviceKit::Instance();
    if (!device.open(DevicePortData, error)) {
        err = QStringLiteral("kxctl update: %1").arg(error);
        return KXCtlExitNoLink;
    }
    const QString id = device.id();
    kit->setTimeOut_7E01(id, replyMs);
    const int code = kit->checkUpdateFirmwareInfo(id, file);
    if (json)
        printJson({{"event", "check"},
                   {"code", code},
                   {"meaning", checkMeaning(code)},
                   {"error", code == 0 ? QJsonValue() : QJsonValue(code)}});
    else
        out = QStringLiteral("check: %1 (%2)\n").arg(code).arg(checkMeaning(code));
    if (code != CheckOk) {
        err = QStringLiteral("kxctl update: the check refused the file: %1 (%2)")
                  .arg(code)
                  .arg(checkMeaning(code));
        device.close();
        return code == CheckQueryFailed ? KXCtlExitNoReply : KXCtlExitCheckRefused;
    }
    if (checkOnly) {
        device.close();
        return KXCtlExitOk;
    }

    // The kit has no way to abort a download, and one stopped half-way
    // through a block leaves the device waiting for the rest: SIGINT and
    // SIGTERM are held off until it ends, and the user is told once.
    QObject context;
    if (!KXCtlStopSignals::install(
            &context, [] {}, error)) {
        err = QStringLiteral("kxctl update: %1").arg(error);
        return KXCtlExitFailed;
    }
    // The download blocks this thread (the kit's calls belong to it); a
    // second thread reports its progress.
    std::atomic<bool> done{false};
    QElapsedTimer clock;
    clock.start();
    std::thread progress([&] {
        int last = -1;
        bool told = false;
        while (!done) {
            QThread::msleep(kPollMs);
            if (!told && KXCtlStopSignals::requested() != 0) {
                told = true;
                std::fputs("\nkxctl update: stopping after the download ends, so that no block "
                           "is left half-written\n",
                           stderr);
            }
            int part = 0, state = 0, stage = 0, value = 0;
            if (done || !kit->getUpdateFirmwareState(id, part, state, stage, value))
                continue;
            const int key = (part * 4 + stage) * 2000 + value;
            if (key != last)
                reportProgress(json, part, stage, value, double(clock.elapsed()) / 1000);
            last = key;
        }
    });
    uint driverError = 0;
    const bool ok = kit->updateFirmwareFile(id, file, 0, &driverError);
    const double seconds = qMax<qint64>(clock.elapsed(), 1) / 1000.0;
    done = true;
    progress.join();
    device.close();
    if (!json && ::isatty(STDERR_FILENO))
        std::fputc('\n', stderr);
    if (json)
        printJson({{"event", "done"}, {"ok", ok}, {"error", ok ? QJsonValue() : QJsonValue(-1)}});
    else
        out += ok ? QStringLiteral("update: done, %1 bytes in %2 s (%3 kB/s)\n")
                        .arg(QFileInfo(file).size())
                        .arg(seconds, 0, 'f', 1)
                        .arg(double(QFileInfo(file).size()) / 1000 / seconds, 0, 'f', 0)
                  : QStringLiteral("update: failed\n");
    if (!ok) {
        err = QStringLiteral("kxctl update: the download failed");
        return KXCtlExitFailed;
    }
    return KXCtlExitOk;
}
