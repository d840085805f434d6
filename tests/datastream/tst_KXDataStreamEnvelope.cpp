#include <QtTest>
class tst_KXDataStreamEnvelope : public QObject { Q_OBJECT private slots: void placeholder() {} };
QTEST_GUILESS_MAIN(tst_KXDataStreamEnvelope)
#include "tst_KXDataStreamEnvelope.moc"
