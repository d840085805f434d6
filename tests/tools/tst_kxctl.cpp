#include <QtTest>
class tst_kxctl : public QObject { Q_OBJECT private slots: void placeholder() {} };
QTEST_GUILESS_MAIN(tst_kxctl)
#include "tst_kxctl.moc"
