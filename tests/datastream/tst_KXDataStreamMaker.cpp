#include <QtTest>
class tst_KXDataStreamMaker : public QObject { Q_OBJECT private slots: void placeholder() {} };
QTEST_GUILESS_MAIN(tst_KXDataStreamMaker)
#include "tst_KXDataStreamMaker.moc"
