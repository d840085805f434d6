#include "datastream/KXCodecTestUtil.h"
#include "datastream/KXDataStreamInternal.h"

#include <KXDataStream.h>

#include <QRandomGenerator>
#include <QtTest>

#include <climits>

using namespace kxtest;

class tst_KXDataStreamEnvelope : public QObject
{
    Q_OBJECT

private slots:
    void makesHostFrames_data();
    void makesHostFrames();
    void readsResultByte_data();
    void readsResultByte();
    void crcMatchesIso3309();
    void appendsAndChecksCrc_data();
    void appendsAndChecksCrc();
    void crcMismatchLeavesFrameUnchanged();
    void findsTerminator();
    void measuresLengthPrefixedFrames_data();
    void measuresLengthPrefixedFrames();
    void findsResponseHeader_data();
    void findsResponseHeader();
    void splitsReceiveBuffer_data();
    void splitsReceiveBuffer();
    void checksOutgoingCommands_data();
    void checksOutgoingCommands();
    void locatesExtendedLength_data();
    void locatesExtendedLength();
    void unwrapsExtendedData_data();
    void unwrapsExtendedData();
};

void tst_KXDataStreamEnvelope::makesHostFrames_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("protocol");
    QTest::addColumn<bool>("addPrefix");
    QTest::addColumn<QByteArray>("frame");

    QTest::newRow("7E01 adds '#', drops trailing ';'") << QByteArray("DFMQCU;") << 1 << true
                                                       << bytes("\x7E\x01"
                                                                "0000#DFMQCU;\x03");
    QTest::newRow("7E01 keeps '@'") << QByteArray("@DFMQCU") << 1 << true
                                    << bytes("\x7E\x01"
                                             "0000@DFMQCU;\x03");
    QTest::newRow("7E01 without prefix") << QByteArray("DFMQCU") << 1 << false
                                         << bytes("\x7E\x01"
                                                  "0000DFMQCU;\x03");
    QTest::newRow("7E07 counts the dropped ';'")
        << QByteArray("DFMQCU;") << 7 << true << bytes("\x7E\x07\\x0A\\x00\\x00\\x00#DFMQCU;\x03");
    QTest::newRow("7E07 short text")
        << QByteArray("@A") << 7 << true << bytes("\x7E\x07\x04\\x00\\x00\\x00@A;\x03");
    QTest::newRow("7E07 empty text")
        << QByteArray() << 7 << true << bytes("\x7E\x07\x03\\x00\\x00\\x00#;\x03");
    QTest::newRow("7E08 only prefixes")
        << QByteArray("DFMQCU;") << 8 << true << QByteArray("#DFMQCU;");
    QTest::newRow("7E09 only prefixes")
        << QByteArray("DFMQCU") << 9 << true << QByteArray("#DFMQCU");
    QTest::newRow("none returns input as is")
        << QByteArray("DFMQCU;") << -1 << true << QByteArray("DFMQCU;");
}

void tst_KXDataStreamEnvelope::makesHostFrames()
{
    QFETCH(QByteArray, text);
    QFETCH(int, protocol);
    QFETCH(bool, addPrefix);
    QFETCH(QByteArray, frame);

    QCOMPARE(KXMakeDataStreamCmd(text, EDataProtocol(protocol), addPrefix), frame);
}

void tst_KXDataStreamEnvelope::readsResultByte_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<bool>("ack");

    QTest::newRow("empty") << QByteArray() << 21 << QByteArray() << false;
    QTest::newRow("ACK alone") << bytes("\x06") << 6 << QByteArray() << true;
    QTest::newRow("value ACK") << bytes("12\x06") << 6 << QByteArray("12") << true;
    QTest::newRow("value ENQ") << bytes("Data\x05") << 5 << QByteArray("Data") << false;
    QTest::newRow("value NAK") << bytes("Data\x15") << 21 << QByteArray("Data") << false;
    QTest::newRow("no result byte") << QByteArray("1234") << 21 << QByteArray("123") << false;
}

void tst_KXDataStreamEnvelope::readsResultByte()
{
    QFETCH(QByteArray, data);
    QFETCH(int, result);
    QFETCH(QByteArray, value);
    QFETCH(bool, ack);

    QByteArray out = "stale";
    QCOMPARE(int(KXParseDataStreamResult(data, out, DataProtocol7E07)), result);
    QCOMPARE(out, value);
    QCOMPARE(KXCheckDataACK(data), ack);
}

void tst_KXDataStreamEnvelope::crcMatchesIso3309()
{
    QCOMPARE(dataStreamCrc16("123456789", 9), quint16(0x906E));
    QCOMPARE(dataStreamCrc16("", 0), quint16(0x0000));
    // Every length around the eight-byte stride, against Qt's reference.
    QRandomGenerator random(42);
    for (int size = 0; size < 80; ++size) {
        QByteArray data(size, Qt::Uninitialized);
        for (char& c : data)
            c = char(random.bounded(256));
        QCOMPARE(dataStreamCrc16(data.constData(), size),
                 qChecksum(data.constData(), uint(size), Qt::ChecksumIso3309));
    }
}

void tst_KXDataStreamEnvelope::appendsAndChecksCrc_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<bool>("appended");
    QTest::addColumn<int>("growth");

    QTest::newRow("7E07") << lengthFrame('\x7E', '\x07', "@DFMQCU") << true << 2;
    QTest::newRow("0209") << lengthFrame('\x02', '\x09', "@DFMQCU\x06") << true << 2;
    QTest::newRow("0208") << lengthFrame('\x02', '\x08', "@RUNDAT1") << true << 2;
    QTest::newRow("7E01 never carries a CRC") << textFrame("@DFMQCU", false) << true << 0;
    QTest::newRow("not recognised") << QByteArray("@DFMQCU;\x03") << false << 0;
}

void tst_KXDataStreamEnvelope::appendsAndChecksCrc()
{
    QFETCH(QByteArray, frame);
    QFETCH(bool, appended);
    QFETCH(int, growth);

    QByteArray plain = frame;
    QCOMPARE(appendDataStreamChecksum(plain, false), appended);
    QCOMPARE(plain, frame);

    QByteArray withCrc = frame;
    QCOMPARE(appendDataStreamChecksum(withCrc, true), appended);
    QCOMPARE(withCrc.size(), frame.size() + growth);
    if (growth == 0)
        return;
    const QByteArray payload = frame.mid(6);
    const quint16 crc = qChecksum(payload.constData(), uint(payload.size()), Qt::ChecksumIso3309);
    QCOMPARE(quint8(withCrc.at(withCrc.size() - 2)), quint8(crc & 0xFF));
    QCOMPARE(quint8(withCrc.at(withCrc.size() - 1)), quint8(crc >> 8));

    QVERIFY(checkDataStreamChecksum(withCrc, true));
    QCOMPARE(withCrc, frame);
    QVERIFY(checkDataStreamChecksum(withCrc, false));
}

void tst_KXDataStreamEnvelope::crcMismatchLeavesFrameUnchanged()
{
    QByteArray frame = lengthFrame('\x02', '\x07', "@DFMQCU12\x06");
    QVERIFY(appendDataStreamChecksum(frame, true));
    for (int bit = 0; bit < 8; ++bit) {
        QByteArray damaged = frame;
        damaged[8] = char(damaged.at(8) ^ (1 << bit));
        const QByteArray before = damaged;
        QVERIFY(!checkDataStreamChecksum(damaged, true));
        QCOMPARE(damaged, before);
    }
    QByteArray tooShort = bytes("\x02\x07\x01");
    QVERIFY(!checkDataStreamChecksum(tooShort, true));
    // A correct CRC over bytes that are no frame still fails the check.
    QByteArray noFrame = bytes("\x02\x07\\x00\\x00\\x00\\x00abc");
    const quint16 crc = qChecksum("abc", 3, Qt::ChecksumIso3309);
    noFrame.append(char(crc & 0xFF)).append(char(crc >> 8));
    QVERIFY(!checkDataStreamChecksum(noFrame, true));
    QCOMPARE(noFrame.size(), 9);
}

void tst_KXDataStreamEnvelope::findsTerminator()
{
    QVERIFY(hasFrameTerminator(bytes("abc;\x03xyz")));
    QVERIFY(hasFrameTerminator(bytes(";\x03")));
    QVERIFY(!hasFrameTerminator(bytes("\x03;")));
    QVERIFY(!hasFrameTerminator(bytes(";")));
    QVERIFY(!hasFrameTerminator(QByteArray()));
}

void tst_KXDataStreamEnvelope::measuresLengthPrefixedFrames_data()
{
    QTest::addColumn<int>("protocol");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<bool>("hasChecksum");
    QTest::addColumn<int>("length");

    const QByteArray frame7 = lengthFrame('\x02', '\x07', "@DFMQCU\x06"); // 6 + 10 bytes
    QTest::newRow("7 at start") << 7 << frame7 << false << 16;
    QTest::newRow("7 with checksum") << 7 << frame7 << true << 18;
    QTest::newRow("7 after junk") << 7 << QByteArray("junk") + frame7 << false << 20;
    QTest::newRow("7 header only") << 7 << frame7.left(6) << false << 16;
    QTest::newRow("7 incomplete header") << 7 << frame7.left(5) << false << -1;
    QTest::newRow("7 host frame is not searched")
        << 7 << lengthFrame('\x7E', '\x07', "@DFMQCU") << false << -1;
    QTest::newRow("8 ignores 7") << 8 << frame7 << false << -1;
    QTest::newRow("9") << 9 << lengthFrame('\x02', '\x09', "@A") << false << 10;
    QTest::newRow("protocol 1 has no length") << 1 << frame7 << false << -1;
    QTest::newRow("largest length saturates")
        << 7 << lengthFrame('\x02', '\x07', "@A", 0xFFFFFFFF) << true << INT_MAX;
    QTest::newRow("length just below saturation")
        << 9 << lengthFrame('\x02', '\x09', "@A", INT_MAX - 6) << false << INT_MAX;
}

void tst_KXDataStreamEnvelope::measuresLengthPrefixedFrames()
{
    QFETCH(int, protocol);
    QFETCH(QByteArray, data);
    QFETCH(bool, hasChecksum);
    QFETCH(int, length);

    QCOMPARE(getDataStreamFrameLength(EDataProtocol(protocol), data, hasChecksum), length);
}

void tst_KXDataStreamEnvelope::findsResponseHeader_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("protocol");
    QTest::addColumn<QStringList>("cmds");
    QTest::addColumn<int>("pos");

    const QByteArray sys = textFrame(bytes("@QRYSYSx\x06"));
    const QByteArray qcu = textFrame(bytes("@DFMQCU\x06"));
    QTest::newRow("any header") << QByteArray("xy") + sys << 1 << QStringList() << 2;
    QTest::newRow("first matching command")
        << qcu + sys << 1 << QStringList({"QRYSYS"}) << qcu.size();
    QTest::newRow("case-sensitive") << sys << 1 << QStringList({"qrysys"}) << -1;
    QTest::newRow("protocol 1 needs all six header bytes") << bytes("\x02\x01"
                                                                    "0001@QRYSYSx")
                                                           << 1 << QStringList() << -1;
    QTest::newRow("too short to read a mnemonic")
        << sys.left(12) << 1 << QStringList({"QRYSYS"}) << -1;
    QTest::newRow("just long enough") << sys.left(13) << 1 << QStringList({"QRYSYS"}) << 0;
    QTest::newRow("protocol 8 upstream")
        << QByteArray("barcode") + lengthFrame('\x02', '\x08', "@RUNDAT1") << 8
        << QStringList({"RUNDAT"}) << 7;
    QTest::newRow("protocol 7 skips other protocols")
        << lengthFrame('\x02', '\x09', "@QRYSYS") + lengthFrame('\x02', '\x07', "@QRYSYS") << 7
        << QStringList({"QRYSYS"}) << 15;
    QTest::newRow("unknown protocol") << sys << -1 << QStringList() << -1;
    QTest::newRow("start byte at the very end")
        << QByteArray("abc\x02") << 7 << QStringList() << -1;
}

void tst_KXDataStreamEnvelope::findsResponseHeader()
{
    QFETCH(QByteArray, data);
    QFETCH(int, protocol);
    QFETCH(QStringList, cmds);
    QFETCH(int, pos);

    QCOMPARE(GetCmdResponsePos(data, EDataProtocol(protocol), cmds), pos);
}

void tst_KXDataStreamEnvelope::splitsReceiveBuffer_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QByteArray>("rest");

    const QByteArray f7 = lengthFrame('\x02', '\x07', "@DFMQCU\x06");
    const QByteArray f8 = lengthFrame('\x02', '\x08', "@RUNDAT1");
    const QByteArray t1 = textFrame(bytes("@DFMQCU\x06"));
    const QByteArray t2 = textFrame(bytes("@LUAQRY\x06"));
    const QByteArray untouched = "untouched";

    QTest::newRow("frame alone") << f7 << true << QByteArray() << f7 << QByteArray();
    QTest::newRow("junk, frame, partial next")
        << QByteArray("junk") + f7 + f8.left(5) << true << QByteArray("junk") << f7 << f8.left(5);
    QTest::newRow("two frames: the first, then the second as rest")
        << f7 + f8 << true << QByteArray() << f7 << f8;
    QTest::newRow("partial frame waits")
        << f7.left(f7.size() - 1) << false << untouched << untouched << untouched;
    QTest::newRow("partial header waits")
        << QByteArray("ab") + f7.left(4) << false << untouched << untouched << untouched;
    QTest::newRow("no header") << QByteArray("barcode 123;\x03") << false << untouched << untouched
                               << untouched;
    QTest::newRow("protocol 1 frame")
        << QByteArray("xx") + t1 << true << QByteArray("xx") << t1 << QByteArray();
    QTest::newRow("two protocol 1 frames come out as one")
        << t1 + t2 << true << QByteArray() << t1 + t2 << QByteArray();
    QTest::newRow("protocol 1 without terminator waits")
        << t1.chopped(2) << false << untouched << untouched << untouched;
    QTest::newRow("protocol 1 terminator only before the header")
        << bytes(";\x03") + t1.chopped(2) << false << untouched << untouched << untouched;
    QTest::newRow("lowest header wins") << f8 + t1 << true << QByteArray() << f8 << t1;
    QTest::newRow("oversized length drops the header")
        << QByteArray("ab") + lengthFrame('\x02', '\x07', "@X", 0xFFFFFF) << true
        << QByteArray("ab") + lengthFrame('\x02', '\x07', "@X", 0xFFFFFF).left(6) << untouched
        << untouched;
    QTest::newRow("largest length drops the header")
        << lengthFrame('\x02', '\x09', "@X", 0xFFFFFFFF) << true
        << lengthFrame('\x02', '\x09', "@X", 0xFFFFFFFF).left(6) << untouched << untouched;
    QTest::newRow("large length below the limit waits")
        << lengthFrame('\x02', '\x07', "@X", 0xFFFFFF - 7) << false << untouched << untouched
        << untouched;
}

void tst_KXDataStreamEnvelope::splitsReceiveBuffer()
{
    QFETCH(QByteArray, data);
    QFETCH(bool, result);
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, rest);

    QByteArray outBefore = "untouched";
    QByteArray outFrame = "untouched";
    QByteArray outRest = "untouched";
    QCOMPARE(splitDataStreamFrame(data, outBefore, outFrame, outRest), result);
    QCOMPARE(outBefore, before);
    QCOMPARE(outFrame, frame);
    QCOMPARE(outRest, rest);
}

void tst_KXDataStreamEnvelope::checksOutgoingCommands_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("special");
    QTest::addColumn<QByteArray>("params");
    QTest::addColumn<QStringList>("cmds");

    QTest::newRow("plain") << textFrame("@DFMQCU;LUAQRY", false) << true << QString()
                           << QByteArray() << QStringList({"DFMQCU", "LUAQRY"});
    QTest::newRow("image command with parameters")
        << textFrame("@IMGGET*;IMGJGT1T", false) << true << "IMGJGT" << QByteArray("1T")
        << QStringList({"IMGGET", "IMGJGT"});
    QTest::newRow("image query forms only")
        << textFrame("@IMGGET*,TGT&", false) << true << QString() << QByteArray()
        << QStringList({"IMGGET", "IMGTGT"});
    QTest::newRow("not a frame") << QByteArray("@DFMQCU") << false << QString() << QByteArray()
                                 << QStringList({"untouched"});
}

void tst_KXDataStreamEnvelope::checksOutgoingCommands()
{
    QFETCH(QByteArray, frame);
    QFETCH(bool, valid);
    QFETCH(QString, special);
    QFETCH(QByteArray, params);
    QFETCH(QStringList, cmds);

    QString outSpecial;
    QByteArray outParams;
    QStringList outCmds{"untouched"};
    QCOMPARE(KXCheckDataStreamCmd(frame, outSpecial, outParams, &outCmds), valid);
    QCOMPARE(outSpecial, special);
    QCOMPARE(outParams, params);
    QCOMPARE(outCmds, cmds);
    QCOMPARE(KXCheckDataStreamCmd(frame, outSpecial, outParams, nullptr), valid);
}

namespace {

// A protocol 1 image reply: header, text, the result byte and terminator.
QByteArray imageReply(const QByteArray& text)
{
    return textFrame("@" + text + "\x06");
}

const QByteArray kWindow = "10W20H|-30W40H|50W-60H|70W80H";

} // namespace

void tst_KXDataStreamEnvelope::locatesExtendedLength_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QByteArray>("cmd");
    QTest::addColumn<QByteArray>("params");
    QTest::addColumn<int>("pos");
    QTest::addColumn<int>("frameLength");

    const int start = 7; // header and prefix
    const QByteArray jgt = imageReply("IMGJGT1T00000003abc00000004WXYZ");
    QTest::newRow("IMGJGT skips its first block")
        << jgt << QByteArray("IMGJGT") << QByteArray("1T") << start + 8 + 8 + 3 << jgt.size();
    QTest::newRow("IMGJGT block past the reply")
        << imageReply("IMGJGT1T0000FFFFabc") << QByteArray("IMGJGT") << QByteArray("1T") << -1
        << -1;
    QTest::newRow("IMGJGT largest block") << imageReply("IMGJGT1TFFFFFFFFabc")
                                          << QByteArray("IMGJGT") << QByteArray("1T") << -1 << -1;
    QTest::newRow("IMGJGT not hexadecimal") << imageReply("IMGJGT1T0000000Gabc")
                                            << QByteArray("IMGJGT") << QByteArray("1T") << -1 << -1;
    QTest::newRow("IMGJGT result byte instead of data")
        << textFrame(bytes("@IMGJGT1T\x15"
                           "0000000"))
        << QByteArray("IMGJGT") << QByteArray("1T") << -1 << -1;
    QTest::newRow("IMGJGT second length huge")
        << imageReply("IMGJGT1T00000000FFFFFFFF") << QByteArray("IMGJGT") << QByteArray("1T")
        << start + 16 << INT_MAX;

    const QByteArray gli = imageReply("IMGGLI0000000100000002abXXXXXXXXrest");
    QTest::newRow("IMGGLI") << gli << QByteArray("IMGGLI") << QByteArray() << start + 6 + 16 + 2
                            << -1;
    QTest::newRow("IMGGLI too short")
        << imageReply("IMGGLI00000001000") << QByteArray("IMGGLI") << QByteArray() << -1 << -1;

    const QByteArray get = imageReply("IMGGET2T" + kWindow + "00000002hi");
    QTest::newRow("IMGGET one window") << get << QByteArray("IMGGET") << QByteArray("2T")
                                       << start + 8 + kWindow.size() << get.size();
    QTest::newRow("IMGGET window missing") << imageReply("IMGGET2T10W20H00000002hi")
                                           << QByteArray("IMGGET") << QByteArray("2T") << -1 << -1;
    QTest::newRow("IMGGET without window")
        << imageReply("IMGGET1T00000002hi") << QByteArray("IMGGET") << QByteArray("1T") << start + 8
        << start + 8 + 8 + 2 + 3;

    const QByteArray tgt = imageReply("IMGTGT4T2N" + kWindow + kWindow + "00000001z");
    QTest::newRow("IMGTGT counted windows") << tgt << QByteArray("IMGTGT") << QByteArray("4T")
                                            << start + 10 + 2 * kWindow.size() << tgt.size();
    QTest::newRow("IMGTGT fewer windows than counted")
        << imageReply("IMGTGT5T3N" + kWindow + kWindow + "00000001z") << QByteArray("IMGTGT")
        << QByteArray("5T") << -1 << -1;
    QTest::newRow("IMGTGT count without N") << imageReply("IMGTGT4T123456789" + kWindow)
                                            << QByteArray("IMGTGT") << QByteArray("4T") << -1 << -1;
    QTest::newRow("IMGTGT zero windows") << imageReply("IMGTGT4T0N" + kWindow)
                                         << QByteArray("IMGTGT") << QByteArray("4T") << -1 << -1;
    QTest::newRow("IMGTGT 3T one window")
        << imageReply("IMGTGT3T" + kWindow + "00000001z") << QByteArray("IMGTGT")
        << QByteArray("3T") << start + 8 + kWindow.size() << -1;

    QTest::newRow("IMGBGT size text")
        << imageReply("IMGBGTP640W480H00000002hi") << QByteArray("IMGBGT") << QByteArray("P")
        << start + 15 << -1;
    QTest::newRow("IMGBGT width too long") << imageReply("IMGBGTP123456789W480H")
                                           << QByteArray("IMGBGT") << QByteArray("P") << -1 << -1;
    QTest::newRow("IMGBGT no H") << imageReply("IMGBGTP640W480") << QByteArray("IMGBGT")
                                 << QByteArray("P") << -1 << -1;
    QTest::newRow("other command") << imageReply("QRYSYS00000002hi") << QByteArray("QRYSYS")
                                   << QByteArray() << start + 6 << -1;
    QTest::newRow("command missing")
        << imageReply("QRYSYS") << QByteArray("IMGJGT") << QByteArray() << -1 << -1;
}

void tst_KXDataStreamEnvelope::locatesExtendedLength()
{
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, cmd);
    QFETCH(QByteArray, params);
    QFETCH(int, pos);
    QFETCH(int, frameLength);

    QCOMPARE(GetDataStreamExtendLenPos(reply, cmd, params), pos);
    if (frameLength != -1 || pos == -1)
        QCOMPARE(getExtendFrameLength(reply, cmd, params), frameLength);
}

void tst_KXDataStreamEnvelope::unwrapsExtendedData_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QByteArray>("cmd");
    QTest::addColumn<QByteArray>("params");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("data");

    QTest::newRow("IMGJGT") << imageReply("IMGJGT1T00000003abc00000004W;\x03Z")
                            << QByteArray("IMGJGT") << QByteArray("1T") << true
                            << QByteArray("00000003abc") << bytes("W;\x03Z");
    QTest::newRow("IMGGET window text")
        << imageReply("IMGGET2T" + kWindow + "00000002hi") << QByteArray("IMGGET")
        << QByteArray("2T") << true << kWindow << QByteArray("hi");
    QTest::newRow("empty data") << imageReply("IMGGET1T00000000") << QByteArray("IMGGET")
                                << QByteArray("1T") << true << QByteArray() << QByteArray();
    // The data must be followed by at least one byte, the result byte.
    QTest::newRow("data runs to the end") << bytes("\x02\x01"
                                                   "0000@IMGGET1T00000004ab;\x03")
                                          << QByteArray("IMGGET") << QByteArray("1T") << false
                                          << QByteArray() << QByteArray("untouched");
    QTest::newRow("largest length")
        << imageReply("IMGGET1TFFFFFFFFabc") << QByteArray("IMGGET") << QByteArray("1T") << false
        << QByteArray() << QByteArray("untouched");
    QTest::newRow("no length field")
        << imageReply("IMGGET1T0000") << QByteArray("IMGGET") << QByteArray("1T") << false
        << QByteArray("untouched") << QByteArray("untouched");
}

void tst_KXDataStreamEnvelope::unwrapsExtendedData()
{
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, cmd);
    QFETCH(QByteArray, params);
    QFETCH(bool, result);
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, data);

    QByteArray outText = "untouched";
    QByteArray outData = "untouched";
    QCOMPARE(KXGetDataStreamExtendData(reply, cmd, params, outText, outData), result);
    QCOMPARE(outText, text);
    QCOMPARE(outData, data);
}

QTEST_GUILESS_MAIN(tst_KXDataStreamEnvelope)
#include "tst_KXDataStreamEnvelope.moc"
