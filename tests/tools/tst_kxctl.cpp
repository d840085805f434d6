#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

// Runs the real kxctl binary and checks what a user sees.
class tst_kxctl : public QObject
{
    Q_OBJECT

private slots:
    void encodes_data();
    void encodes();
    void decodes_data();
    void decodes();
    void encodeThenDecodeRoundTrips();
    void rejectsBadInput_data();
    void rejectsBadInput();
    void sendsToANetworkDevice_data();
    void sendsToANetworkDevice();
    void sendReportsMissingDevice();

private:
    struct Result
    {
        int code;
        QString out;
        QString err;
    };
    static Result run(const QStringList& args);
};

tst_kxctl::Result tst_kxctl::run(const QStringList& args)
{
    QProcess process;
    process.start(QStringLiteral(KXCTL_PATH), args);
    if (!process.waitForFinished(30000))
        return {-1, QString(), QStringLiteral("kxctl did not finish")};
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromLocal8Bit(process.readAllStandardOutput()),
            QString::fromLocal8Bit(process.readAllStandardError())};
}

void tst_kxctl::encodes_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("hex");

    QTest::newRow("text envelope") << QStringList({"encode", "DFMQCU;LUAQRY"})
                                   << "7e 01 30 30 30 30 40 44 46 4d 51 43 55 3b 4c 55 41 51 52 "
                                      "59 3b 03";
    QTest::newRow("hash prefix") << QStringList({"encode", "--hash", "DFMQCU"})
                                 << "7e 01 30 30 30 30 23 44 46 4d 51 43 55 3b 03";
    QTest::newRow("length-prefixed") << QStringList({"encode", "--protocol", "7", "DFMQCU;"})
                                     << "7e 07 0a 00 00 00 40 44 46 4d 51 43 55 3b 03";
    QTest::newRow("length-prefixed with CRC")
        << QStringList({"encode", "--protocol", "7", "--crc", "@A"})
        << "7e 07 04 00 00 00 40 41 3b 03 52 d6";
    QTest::newRow("protocol 9 prefixes only")
        << QStringList({"encode", "--protocol", "9", "A"}) << "40 41";
}

void tst_kxctl::encodes()
{
    QFETCH(QStringList, args);
    QFETCH(QString, hex);

    const Result result = run(args);
    QCOMPARE(result.err, QString());
    QCOMPARE(result.code, 0);
    QCOMPARE(result.out.trimmed(), hex);
}

void tst_kxctl::decodes_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("code");
    QTest::addColumn<QStringList>("lines");

    QTest::newRow("device reply")
        << QStringList({"decode", "02 01 30 30 30 30 40 44 46 4d 51 43 55 31 32 06 2c 41 44 44 15 "
                                  "3b 4c 55 41 51 52 59 05 3b 03"})
        << 0
        << QStringList({"protocol: 1 (7E01, text envelope)", "direction: device", "valid: yes",
                        "tag DFM", "  QCU data=\"12\\x06\" [31 32 06] value=\"12\" result=ACK",
                        "  ADD data=\"\\x15\" [15] value=\"\" result=NAK", "tag LUA",
                        "  QRY data=\"\\x05\" [05] value=\"\" result=ENQ"});
    QTest::newRow("checked CRC") << QStringList({"decode", "--crc", "7e07040000004041 3b03 52d6"})
                                 << 3
                                 << QStringList({"crc: ok", "protocol: 7 (7E07, length-prefixed)",
                                                 "direction: host", "valid: no"});
    QTest::newRow("bad CRC") << QStringList({"decode", "--crc", "7e07040000004041 3b03 52d7"}) << 3
                             << QStringList({"crc: bad"});
    QTest::newRow("not a frame") << QStringList({"decode", "414243"}) << 3
                                 << QStringList({"protocol: -1 (not recognised)", "valid: no"});
}

void tst_kxctl::decodes()
{
    QFETCH(QStringList, args);
    QFETCH(int, code);
    QFETCH(QStringList, lines);

    const Result result = run(args);
    QCOMPARE(result.err, QString());
    QCOMPARE(result.out.trimmed().split(QLatin1Char('\n')), lines);
    QCOMPARE(result.code, code);
}

void tst_kxctl::encodeThenDecodeRoundTrips()
{
    const Result encoded = run({"encode", "--protocol", "7", "--crc", "IMGJGT1;2,3"});
    QCOMPARE(encoded.code, 0);
    const Result decoded = run({"decode", "--crc", encoded.out.trimmed()});
    QCOMPARE(decoded.code, 0);
    QVERIFY2(decoded.out.contains("  JGT data=\"1;2,3\""), qPrintable(decoded.out));
}

void tst_kxctl::rejectsBadInput_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");

    QTest::newRow("odd hex") << QStringList({"decode", "7e0"}) << "bad hexadecimal";
    QTest::newRow("non-hex") << QStringList({"decode", "zz"}) << "bad hexadecimal";
    QTest::newRow("no frame") << QStringList({"decode"}) << "expected a frame";
    QTest::newRow("unknown option") << QStringList({"encode", "--fast", "A"}) << "unknown option";
    QTest::newRow("bad protocol") << QStringList({"encode", "--protocol", "2", "A"})
                                  << "--protocol takes";
    QTest::newRow("missing protocol value")
        << QStringList({"encode", "--protocol"}) << "--protocol takes";
    QTest::newRow("no text") << QStringList({"encode"}) << "expected one command text";
    QTest::newRow("crc without envelope")
        << QStringList({"encode", "--protocol", "9", "--crc", "A"}) << "--crc needs";
    QTest::newRow("unknown command") << QStringList({"frobnicate"}) << "unknown command";
    QTest::newRow("send without target") << QStringList({"send", "QRYSYS*"}) << "tcp://HOST:PORT";
    QTest::newRow("send to port 0")
        << QStringList({"send", "tcp://127.0.0.1:0", "A"}) << "tcp://HOST:PORT";
}

void tst_kxctl::rejectsBadInput()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);

    const Result result = run(args);
    QVERIFY(result.code != 0);
    QCOMPARE(result.out, QString());
    QVERIFY2(result.err.contains(message), qPrintable(result.err));
    QCOMPARE(result.err.count(QLatin1Char('\n')), 1); // one line
}

void tst_kxctl::sendsToANetworkDevice_data()
{
    QTest::addColumn<QString>("protocol");
    QTest::addColumn<QByteArray>("expectedCommand");
    QTest::addColumn<QByteArray>("reply");

    // Barcode bytes ahead of the reply are reported apart from it.
    QTest::newRow("text envelope") << "1"
                                   << QByteArray("\x7E\x01"
                                                 "0000@QRYSYS*;\x03",
                                                 16)
                                   << QByteArray("scan\x02\x01"
                                                 "0000@QRYSYSKX\x06;\x03",
                                                 22);
    QTest::newRow("length-prefixed")
        << "7" << QByteArray("\x7E\x07\x0A\x00\x00\x00@QRYSYS*;\x03", 16)
        << QByteArray("\x02\x07\x0C\x00\x00\x00@QRYSYSKX\x06;\x03", 18);
}

void tst_kxctl::sendsToANetworkDevice()
{
    QFETCH(QString, protocol);
    QFETCH(QByteArray, expectedCommand);
    QFETCH(QByteArray, reply);

    QTcpServer device;
    QVERIFY(device.listen(QHostAddress::LocalHost, 0));
    QProcess kxctl;
    kxctl.start(QStringLiteral(KXCTL_PATH),
                {"send", QStringLiteral("tcp://127.0.0.1:%1").arg(device.serverPort()), "QRYSYS*",
                 "--protocol", protocol});
    QVERIFY(device.waitForNewConnection(10000));
    QTcpSocket* link = device.nextPendingConnection();
    QByteArray received;
    while (received.size() < expectedCommand.size() && link->waitForReadyRead(10000))
        received += link->readAll();
    QCOMPARE(received, expectedCommand);
    // The reply comes in two pieces, as it may over a network.
    link->write(reply.left(9));
    QVERIFY(link->waitForBytesWritten(5000));
    link->write(reply.mid(9));
    QVERIFY(link->waitForBytesWritten(5000));
    QVERIFY(kxctl.waitForFinished(10000));
    const QString out = QString::fromLocal8Bit(kxctl.readAllStandardOutput());
    QCOMPARE(kxctl.exitCode(), 0);
    QVERIFY2(out.contains("  SYS data=\"KX\\x06\" [4b 58 06] value=\"KX\" result=ACK"),
             qPrintable(out));
    QCOMPARE(out.contains("upstream: 73 63 61 6e"), reply.startsWith("scan"));
}

void tst_kxctl::sendReportsMissingDevice()
{
    QTcpServer device;
    QVERIFY(device.listen(QHostAddress::LocalHost, 0));
    const quint16 port = device.serverPort();
    // A device that accepts but never answers.
    const QString target = QStringLiteral("tcp://127.0.0.1:%1").arg(port);
    const Result silent = run({"send", target, "--timeout", "300", "X"});
    QCOMPARE(silent.code, 4);
    QVERIFY(silent.err.contains("no reply"));
    device.close();
    const Result absent = run({"send", target, "QRYSYS*"});
    QCOMPARE(absent.code, 5);
    QVERIFY(absent.err.contains("cannot connect"));
    QCOMPARE(absent.err.count(QLatin1Char('\n')), 1);
}

QTEST_GUILESS_MAIN(tst_kxctl)
#include "tst_kxctl.moc"
