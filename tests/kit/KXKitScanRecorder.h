#ifndef KXKITSCANRECORDER_H
#define KXKITSCANRECORDER_H

// Records what the kit reports about devices, through the facade's signals.

#include <KXDeviceKit.h>

#include <QStringList>

namespace kxtest {

struct KitScanRecorder
{
    explicit KitScanRecorder(KXDeviceKit* kit)
    {
        QObject::connect(kit, &KXDeviceKit::deviceUpdated, &context,
                         [this](const QString& id, const KXDeviceInfoMap& info) {
                             updated.append(id);
                             devices.insert(id, info);
                         });
        QObject::connect(kit, &KXDeviceKit::deviceOffLine, &context,
                         [this](const QString& id) { offline.append(id); });
        QObject::connect(kit, &KXDeviceKit::serialPortDeviceEnumEnd, &context,
                         [this] { updated.append(QStringLiteral("(end of pass)")); });
        const auto result = [this](const char* kind) {
            return [this, kind](const QString& sn, const QString& mac, int code) {
                results.append(QStringLiteral("%1 %2 %3 %4").arg(kind, sn, mac).arg(code));
            };
        };
        QObject::connect(kit, &KXDeviceKit::deviceNetworkChanged, &context, result("network"));
        QObject::connect(kit, &KXDeviceKit::deviceAliasChanged, &context, result("alias"));
        QObject::connect(kit, &KXDeviceKit::deviceNetworkGroup, &context, result("group"));
    }

    void clear()
    {
        updated.clear();
        devices.clear();
        offline.clear();
        results.clear();
    }

    QObject context;                        // disconnects everything with the recorder
    QStringList updated;                    // ids in the order reported, and the ends of passes
    QMap<QString, KXDeviceInfoMap> devices; // latest report of each
    QStringList offline;
    QStringList results;
};

} // namespace kxtest

#endif // KXKITSCANRECORDER_H
