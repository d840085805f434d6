// The receive-buffer helpers of the upstream reader on arbitrary bytes:
// frame splitting, frame length, response search and the checksum.

#include "KXFuzz.h"

#include <KXDataStreamTypes.h>

#include "datastream/KXDataStreamInternal.h"

#include <QStringList>

#include <climits>

namespace {

constexpr EDataProtocol kLengthPrefixed[] = {DataProtocol7E07, DataProtocol7E08, DataProtocol7E09};

void checkSplit(const QByteArray& input)
{
    QByteArray before;
    QByteArray frame;
    QByteArray rest;
    if (!splitDataStreamFrame(input, before, frame, rest))
        return;
    if (!frame.isEmpty()) {
        KX_FUZZ_CHECK(before + frame + rest == input);
        KX_FUZZ_CHECK(frame.size() >= kDataStreamHeaderSize);
        KX_FUZZ_CHECK(frame.at(0) == kDataStreamStx);
        // The frame starts at the first device header of any protocol.
        for (const char* header : {"\x02\x01"
                                   "0000",
                                   "\x02\x07", "\x02\x08", "\x02\x09"})
            KX_FUZZ_CHECK(!before.contains(header));
    } else {
        // Garbage length: the header goes back in `before` to be dropped.
        KX_FUZZ_CHECK(rest.isEmpty());
        KX_FUZZ_CHECK(before.size() >= kDataStreamHeaderSize);
        KX_FUZZ_CHECK(input.startsWith(before));
        KX_FUZZ_CHECK(before.at(before.size() - kDataStreamHeaderSize) == kDataStreamStx);
    }
}

void checkFrameLength(const QByteArray& input)
{
    for (const EDataProtocol protocol : kLengthPrefixed) {
        const int plain = getDataStreamFrameLength(protocol, input, false);
        const int withCrc = getDataStreamFrameLength(protocol, input, true);
        KX_FUZZ_CHECK(plain == -1 || plain >= kDataStreamHeaderSize);
        KX_FUZZ_CHECK((plain == -1) == (withCrc == -1));
        if (plain >= 0)
            KX_FUZZ_CHECK(withCrc == qMin<qint64>(qint64(plain) + 2, INT_MAX));
    }
    for (const EDataProtocol other : {DataProtocolNone, DataProtocol7E01})
        KX_FUZZ_CHECK(getDataStreamFrameLength(other, input, false) == -1);
}

void checkResponsePos(const QByteArray& input)
{
    static const QStringList kWanted = {QStringLiteral("RUNDAT"), QStringLiteral("QRYSYS")};
    for (const EDataProtocol protocol :
         {DataProtocol7E01, DataProtocol7E07, DataProtocol7E08, DataProtocol7E09}) {
        const int any = GetCmdResponsePos(input, protocol, QStringList());
        const int wanted = GetCmdResponsePos(input, protocol, kWanted);
        for (const int pos : {any, wanted}) {
            KX_FUZZ_CHECK(pos >= -1 && pos < input.size());
            if (pos >= 0) {
                KX_FUZZ_CHECK(input.size() - pos >= 2);
                KX_FUZZ_CHECK(input.at(pos) == kDataStreamStx);
                KX_FUZZ_CHECK(input.at(pos + 1) == char(protocol));
            }
        }
        if (wanted >= 0) {
            KX_FUZZ_CHECK(any >= 0 && any <= wanted);
            KX_FUZZ_CHECK(input.size() - wanted >= kDataStreamHeaderSize + 1 + 6);
            const QString mnemonic =
                QString::fromLatin1(input.constData() + wanted + kDataStreamHeaderSize + 1, 6);
            KX_FUZZ_CHECK(kWanted.contains(mnemonic));
        }
    }
    KX_FUZZ_CHECK(GetCmdResponsePos(input, DataProtocolNone, QStringList()) == -1);
}

void checkChecksum(const QByteArray& input)
{
    QByteArray copy = input;
    checkDataStreamChecksum(copy, false);
    KX_FUZZ_CHECK(copy == input);

    copy = input;
    if (checkDataStreamChecksum(copy, true))
        KX_FUZZ_CHECK(copy == input.left(input.size() - 2));
    else
        KX_FUZZ_CHECK(copy == input || copy == input.left(input.size() - 2));

    // A CRC we append must verify and come off again.
    QByteArray framed = input;
    if (appendDataStreamChecksum(framed, true) && detectDataProtocol(input) != DataProtocol7E01) {
        KX_FUZZ_CHECK(framed.size() == input.size() + 2);
        KX_FUZZ_CHECK(checkDataStreamChecksum(framed, true));
        KX_FUZZ_CHECK(framed == input);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    kxFuzzQuietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray input = kxFuzzBytes(data, size);
    checkSplit(input);
    checkFrameLength(input);
    checkResponsePos(input);
    checkChecksum(input);
    hasFrameTerminator(input);
    return 0;
}
