// The kit's singleton and versions, in a process of its own: the first
// caller's thread owns the kit, and here that is one of two racing threads.
// Run without our driver library on the library path.

#include <KXDeviceKit.h>

#include <QtTest>

#include <atomic>
#include <thread>

class tst_kitInstance : public QObject
{
    Q_OBJECT

private slots:
    void twoThreadsGetOneObject()
    {
        std::atomic<bool> go{false};
        KXDeviceKit* seen[2] = {nullptr, nullptr};
        const auto take = [&](int i) {
            while (!go) {
            }
            seen[i] = KXDeviceKit::Instance();
        };
        std::thread first(take, 0), second(take, 1);
        go = true;
        first.join();
        second.join();
        QVERIFY(seen[0]);
        QCOMPARE(seen[0], seen[1]);
        QCOMPARE(KXDeviceKit::Instance(), seen[0]);
    }

    void versionsWithoutDriver()
    {
        QCOMPARE(KXDeviceKit::Instance()->getKitVersion(), 1u);
        QCOMPARE(KXDeviceKit::Instance()->getDataStreamVersion(), 0u);
    }
};

QTEST_GUILESS_MAIN(tst_kitInstance)
#include "tst_kitInstance.moc"
