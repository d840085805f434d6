#include "datastream/KXCodecTestUtil.h"
#include "datastream/KXDataStreamInternal.h"

#include <KXDataStream.h>

#include <QRandomGenerator>
#include <QtTest>

#include <climits>

using namespace kxtest;

namespace {

QByteArray withCrc(QByteArray frame)
{
    const auto crc = qChecksum(frame.constData() + 6, uint(frame.size() - 6), Qt::ChecksumIso3309);
    return frame.append(char(crc & 0xFF)).append(char(crc >> 8));
}

// A protocol 1 image reply: header, text, the result byte and terminator.
QByteArray imageReply(const QByteArray& text)
{
    return textFrame("@" + text + "\x06");
}

const QByteArray kWindow = "10W20H|-30W40H|50W-60H|70W80H";
const QByteArray kNo = "untouched";

} // namespace

class tst_KXDataStreamEnvelope : public QObject
{
    Q_OBJECT

private slots:
    void makesHostFrames_data()
    {
        const auto row = table<QByteArray, int, bool, QByteArray>();
        row("7E01 adds '#', drops trailing ';'", "DFMQCU;", 1, true, hostFrame("#DFMQCU"));
        row("7E01 keeps '#'", "#DFMQCU", 1, true, hostFrame("#DFMQCU"));
        row("7E01 without prefix", "DFMQCU", 1, false, hostFrame("DFMQCU"));
        row("7E07 counts the dropped ';'", "DFMQCU;", 7, true, lengthFrame(0x7E07, "#DFMQCU", 10));
        row("7E07 short text", "@A", 7, true, lengthFrame(0x7E07, "@A"));
        row("7E08 only prefixes", "DFMQCU;", 8, true, "#DFMQCU;");
        row("none returns input as is", "DFMQCU;", -1, true, "DFMQCU;");
    }

    void makesHostFrames()
    {
        const auto [text, protocol, addPrefix, frame] = fetch<QByteArray, int, bool, QByteArray>();
        QCOMPARE(KXMakeDataStreamCmd(text, EDataProtocol(protocol), addPrefix), frame);
    }

    void readsResultByte_data()
    {
        const auto row = table<QByteArray, int, QByteArray, bool>();
        row("empty", "", 21, "", false);
        row("ACK alone", "\x06", 6, "", true);
        row("value ACK", "12\x06", 6, "12", true);
        row("value ENQ", "Data\x05", 5, "Data", false);
        row("value NAK", "Data\x15", 21, "Data", false);
        row("no result byte", "1234", 21, "123", false);
    }

    void readsResultByte()
    {
        const auto [data, result, value, ack] = fetch<QByteArray, int, QByteArray, bool>();

        QByteArray out = "stale";
        QCOMPARE(int(KXParseDataStreamResult(data, out, DataProtocol7E07)), result);
        QCOMPARE(out, value);
        QCOMPARE(KXCheckDataACK(data), ack);
    }

    void crcMatchesIso3309()
    {
        // Every length around the eight-byte stride, against Qt's reference.
        QRandomGenerator random(42);
        QByteArray data;
        for (int size = 0; size < 80; ++size, data.append(char(random.bounded(256))))
            QCOMPARE(dataStreamCrc16(data.constData(), size),
                     qChecksum(data.constData(), uint(size), Qt::ChecksumIso3309));
    }

    void appendsCrc_data()
    {
        const auto row = table<QByteArray, bool, QByteArray>();
        const QByteArray f7 = lengthFrame(0x7E07, "@DFMQCU");
        const QByteArray f8 = lengthFrame(0x0208, "@RUNDAT1");
        row("7E07", f7, true, withCrc(f7));
        row("0208", f8, true, withCrc(f8));
        row("7E01 never carries a CRC", hostFrame("@DFMQCU"), true, hostFrame("@DFMQCU"));
        row("not recognised", "@DFMQCU;\x03", false, "@DFMQCU;\x03");
    }

    void appendsCrc()
    {
        auto [frame, result, withCrc] = fetch<QByteArray, bool, QByteArray>();

        QByteArray plain = frame;
        QCOMPARE(appendDataStreamChecksum(plain, false), result);
        QCOMPARE(plain, frame);
        QCOMPARE(appendDataStreamChecksum(frame, true), result);
        QCOMPARE(frame, withCrc);
    }

    void checksCrc_data()
    {
        const auto row = table<QByteArray, bool, bool, QByteArray>();
        const QByteArray frame = lengthFrame(0x0207, "@DFMQCU12\x06");
        QByteArray damaged = withCrc(frame);
        damaged[8] = char(damaged.at(8) ^ 0x10);
        // A correct CRC over bytes that are no frame still fails the check.
        const QByteArray noFrame = bytes("\x02\x07\\x00\\x00\\x00\\x00abc");
        row("CRC stripped", withCrc(frame), true, true, frame);
        row("no CRC expected", frame, false, true, frame);
        row("one flipped bit", damaged, true, false, damaged);
        row("too short", "\x02\x07\x01", true, false, "\x02\x07\x01");
        row("no frame", withCrc(noFrame), true, false, noFrame);
    }

    void checksCrc()
    {
        auto [frame, hasChecksum, result, after] = fetch<QByteArray, bool, bool, QByteArray>();
        QCOMPARE(checkDataStreamChecksum(frame, hasChecksum), result);
        QCOMPARE(frame, after);
    }

    void findsTerminator()
    {
        QVERIFY(hasFrameTerminator(bytes("abc;\x03xyz")));
        QVERIFY(!hasFrameTerminator(bytes("\x03;;")));
        QVERIFY(!hasFrameTerminator(QByteArray()));
    }

    void measuresLengthPrefixedFrames_data()
    {
        const auto row = table<int, QByteArray, bool, int>();
        const QByteArray f7 = lengthFrame(0x0207, "@DFMQCU\x06"); // 6 + 10 bytes
        row("7 header only", 7, f7.left(6), false, 16);
        row("7 with checksum", 7, f7, true, 18);
        row("7 after junk", 7, "junk" + f7, false, 20);
        row("7 incomplete header", 7, f7.left(5), false, -1);
        row("7 host frame is not searched", 7, lengthFrame(0x7E07, "@A"), false, -1);
        row("8 ignores 7", 8, f7, false, -1);
        row("9", 9, lengthFrame(0x0209, "@A"), false, 10);
        row("protocol 1 has no length", 1, f7, false, -1);
        // No limit at the split's garbage bound: the length is what it says.
        row("end at 0xFFFFFF", 8, lengthFrame(0x0208, "@A", 0xFFFFFF - 6), false, 0xFFFFFF);
        row("length saturates", 7, lengthFrame(0x0207, "@A", 0xFFFFFFFF), true, INT_MAX);
    }

    void measuresLengthPrefixedFrames()
    {
        const auto [protocol, data, hasChecksum, length] = fetch<int, QByteArray, bool, int>();
        QCOMPARE(getDataStreamFrameLength(EDataProtocol(protocol), data, hasChecksum), length);
    }

    void findsResponseHeader_data()
    {
        const auto row = table<QByteArray, int, QStringList, int>();
        const QByteArray sys = textFrame(bytes("@QRYSYSx\x06"));
        const QByteArray qcu = textFrame(bytes("@DFMQCU\x06"));
        const QStringList qrysys{"QRYSYS"};
        row("any header", "xy" + sys, 1, {}, 2);
        row("first matching command", qcu + sys, 1, qrysys, qcu.size());
        row("case-sensitive", sys, 1, {"qrysys"}, -1);
        row("protocol 1 needs all six header bytes", bytes("\x02\x01\\x30001@QRYSYSx"), 1, {}, -1);
        row("just long enough", sys.left(13), 1, qrysys, 0);
        row("protocol 8 upstream", "barcode" + lengthFrame(0x0208, "@RUNDAT1"), 8, {"RUNDAT"}, 7);
        row("protocol 7 skips other protocols",
            lengthFrame(0x0209, "@QRYSYS") + lengthFrame(0x0207, "@QRYSYS"), 7, qrysys, 15);
        row("unknown protocol", sys, -1, {}, -1);
    }

    void findsResponseHeader()
    {
        const auto [data, protocol, cmds, pos] = fetch<QByteArray, int, QStringList, int>();
        QCOMPARE(GetCmdResponsePos(data, EDataProtocol(protocol), cmds), pos);
    }

    void splitsReceiveBuffer_data()
    {
        const auto row = table<QByteArray, bool, QByteArray, QByteArray, QByteArray>();
        const QByteArray f7 = lengthFrame(0x0207, "@DFMQCU\x06");
        const QByteArray f8 = lengthFrame(0x0208, "@RUNDAT1");
        const QByteArray t1 = textFrame(bytes("@DFMQCU\x06"));
        const QByteArray t2 = textFrame(bytes("@LUAQRY\x06"));
        // Frames whose end lies at, above and just below the garbage bound.
        const QByteArray atBound = "ab" + lengthFrame(0x0207, "@X", 0xFFFFFF - 8);
        const QByteArray largest = lengthFrame(0x0209, "@X", 0xFFFFFFFF);
        const QByteArray belowBound = lengthFrame(0x0207, "@X", 0xFFFFFF - 7);

        row("frame alone", f7, true, "", f7, "");
        row("junk, frame, partial next", "junk" + f7 + f8.left(5), true, "junk", f7, f8.left(5));
        row("partial frame waits", f7.chopped(1), false, kNo, kNo, kNo);
        row("partial header waits", "ab" + f7.left(4), false, kNo, kNo, kNo);
        row("no header", "barcode 123;\x03", false, kNo, kNo, kNo);
        row("protocol 1 frame", "xx" + t1, true, "xx", t1, "");
        row("two protocol 1 frames come out as one", t1 + t2, true, "", t1 + t2, "");
        row("protocol 1 without terminator waits", t1.chopped(2), false, kNo, kNo, kNo);
        row("terminator before the header", ";\x03" + t1.chopped(2), false, kNo, kNo, kNo);
        row("lowest header wins", f8 + t1, true, "", f8, t1);
        row("end at 0xFFFFFF drops the header", atBound, true, atBound.left(8), kNo, kNo);
        row("largest length drops the header", largest, true, largest.left(6), kNo, kNo);
        row("end at 0xFFFFFE waits", belowBound, false, kNo, kNo, kNo);
    }

    void splitsReceiveBuffer()
    {
        const auto [data, result, before, frame, rest] =
            fetch<QByteArray, bool, QByteArray, QByteArray, QByteArray>();

        QByteArray outBefore = kNo, outFrame = kNo, outRest = kNo;
        QCOMPARE(splitDataStreamFrame(data, outBefore, outFrame, outRest), result);
        QCOMPARE(outBefore, before);
        QCOMPARE(outFrame, frame);
        QCOMPARE(outRest, rest);
    }

    void checksOutgoingCommands_data()
    {
        const auto row = table<QByteArray, bool, QString, QByteArray, QStringList>();
        row("plain", hostFrame("@DFMQCU;LUAQRY"), true, "", "", {"DFMQCU", "LUAQRY"});
        row("query form skipped", hostFrame("@IMGGET*;IMGJGT1T"), true, "IMGJGT", "1T",
            {"IMGGET", "IMGJGT"});
        row("query forms only", hostFrame("@IMGGET&,TGT^"), true, "", "", {"IMGGET", "IMGTGT"});
        row("empty data counts", hostFrame("@IMGBGT"), true, "IMGBGT", "", {"IMGBGT"});
        row("first image command wins, two bytes are no query form",
            hostFrame("@DFMQCU1;IMGGLI**;IMGGET2T"), true, "IMGGLI", "**",
            {"DFMQCU", "IMGGLI", "IMGGET"});
        row("not an image command", hostFrame("@IMGXXX1"), true, "", "", {"IMGXXX"});
        row("not a frame", "@DFMQCU", false, "", "", {"untouched"});
    }

    void checksOutgoingCommands()
    {
        const auto [frame, valid, special, params, cmds] =
            fetch<QByteArray, bool, QString, QByteArray, QStringList>();

        QString outSpecial;
        QByteArray outParams;
        QStringList outCmds{"untouched"};
        QCOMPARE(KXCheckDataStreamCmd(frame, outSpecial, outParams, &outCmds), valid);
        QCOMPARE(outSpecial, special);
        QCOMPARE(outParams, params);
        QCOMPARE(outCmds, cmds);
        QCOMPARE(KXCheckDataStreamCmd(frame, outSpecial, outParams, nullptr), valid);
    }

    // Image replies are given by their text; the test frames it (imageReply).
    void locatesExtendedLength_data()
    {
        // frameLength -1 is checked only where pos is -1 too.
        const auto row = table<QByteArray, QByteArray, QByteArray, int, int>();
        const int start = 7; // header and prefix
        const QByteArray jgt = "IMGJGT1T00000003abc0000000aWXYZ";
        row("IMGJGT skips its first block", jgt, "IMGJGT", "1T", start + 19,
            imageReply(jgt).size() + 6);
        row("IMGJGT block past the reply", "IMGJGT1T0000FFFFabc", "IMGJGT", "1T", -1, -1);
        row("IMGJGT largest block", "IMGJGT1TFFFFFFFFabc", "IMGJGT", "1T", -1, -1);
        row("IMGJGT not hexadecimal", "IMGJGT1T0000000Gabc", "IMGJGT", "1T", -1, -1);
        row("IMGJGT result byte", bytes("IMGJGT1T\\x150000000"), "IMGJGT", "1T", -1, -1);
        row("IMGJGT huge frame", "IMGJGT1T00000000FFFFFFFF", "IMGJGT", "1T", start + 16, INT_MAX);
        row("IMGGLI", "IMGGLI0000000100000002abXXXXXXXXrest", "IMGGLI", "", start + 6 + 16 + 2, -1);

        const QByteArray get = "IMGGET2T" + kWindow + "00000002hi";
        row("IMGGET one window", get, "IMGGET", "2T", start + 8 + kWindow.size(),
            imageReply(get).size());
        row("IMGGET window missing", "IMGGET2T10W20H00000002hi", "IMGGET", "2T", -1, -1);
        row("IMGGET without window", "IMGGET1T00000002hi", "IMGGET", "1T", start + 8, start + 21);

        const QByteArray tgt = "IMGTGT4T2N" + kWindow + kWindow + "00000001z";
        row("IMGTGT counted windows", tgt, "IMGTGT", "4T", start + 10 + 2 * kWindow.size(),
            imageReply(tgt).size());
        row("IMGTGT too few windows", "IMGTGT5T3N" + kWindow + kWindow, "IMGTGT", "5T", -1, -1);
        row("IMGTGT count without N", "IMGTGT4T123456789" + kWindow, "IMGTGT", "4T", -1, -1);
        row("IMGTGT zero windows", "IMGTGT4T0N" + kWindow, "IMGTGT", "4T", -1, -1);
        row("IMGTGT 3T one window", "IMGTGT3T" + kWindow + "00000001z", "IMGTGT", "3T",
            start + 8 + kWindow.size(), -1);

        row("IMGBGT size text", "IMGBGTP640W480H00000002hi", "IMGBGT", "P", start + 15, -1);
        row("IMGBGT width too long", "IMGBGTP123456789W480H", "IMGBGT", "P", -1, -1);
        row("IMGBGT no H", "IMGBGTP640W480", "IMGBGT", "P", -1, -1);
        row("other command", "QRYSYS00000002hi", "QRYSYS", "", start + 6, -1);
        row("command missing", "QRYSYS", "IMGJGT", "", -1, -1);
    }

    void locatesExtendedLength()
    {
        const auto [text, cmd, params, pos, frameLength] =
            fetch<QByteArray, QByteArray, QByteArray, int, int>();

        const QByteArray reply = imageReply(text);
        QCOMPARE(GetDataStreamExtendLenPos(reply, cmd, params), pos);
        if (frameLength != -1 || pos == -1)
            QCOMPARE(getExtendFrameLength(reply, cmd, params), frameLength);
    }

    void unwrapsExtendedData_data()
    {
        const auto row = table<QByteArray, QByteArray, QByteArray, bool, QByteArray, QByteArray>();
        row("IMGJGT", "IMGJGT1T00000003abc00000004W;\x03Z", "IMGJGT", "1T", true, "00000003abc",
            "W;\x03Z");
        row("IMGGET window text", "IMGGET2T" + kWindow + "00000002hi", "IMGGET", "2T", true,
            kWindow, "hi");
        row("empty data", "IMGGET1T00000000", "IMGGET", "1T", true, "", "");
        // The data must be followed by at least one byte, the result byte.
        row("data takes the result byte", "IMGGET1T00000005ab", "IMGGET", "1T", false, "", kNo);
        row("largest length", "IMGGET1TFFFFFFFFabc", "IMGGET", "1T", false, "", kNo);
        row("no length field", "IMGGET1T0000", "IMGGET", "1T", false, kNo, kNo);
    }

    void unwrapsExtendedData()
    {
        const auto [text, cmd, params, result, outText, data] =
            fetch<QByteArray, QByteArray, QByteArray, bool, QByteArray, QByteArray>();

        QByteArray gotText = kNo, gotData = kNo;
        QCOMPARE(KXGetDataStreamExtendData(imageReply(text), cmd, params, gotText, gotData),
                 result);
        QCOMPARE(gotText, outText);
        QCOMPARE(gotData, data);
    }
};

QTEST_GUILESS_MAIN(tst_KXDataStreamEnvelope)
#include "tst_KXDataStreamEnvelope.moc"
