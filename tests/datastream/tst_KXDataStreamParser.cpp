#include <QtTest>
class tst_KXDataStreamParser : public QObject { Q_OBJECT private slots: void placeholder() {} };
QTEST_GUILESS_MAIN(tst_KXDataStreamParser)
#include "tst_KXDataStreamParser.moc"
