#include <QtTest>
class tst_KXDataStreamReply : public QObject { Q_OBJECT private slots: void placeholder() {} };
QTEST_GUILESS_MAIN(tst_KXDataStreamReply)
#include "tst_KXDataStreamReply.moc"
