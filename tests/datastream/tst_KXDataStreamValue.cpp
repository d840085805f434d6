#include <QtTest>
class tst_KXDataStreamValue : public QObject { Q_OBJECT private slots: void placeholder() {} };
QTEST_GUILESS_MAIN(tst_KXDataStreamValue)
#include "tst_KXDataStreamValue.moc"
