// Unwrapping the binary data of image replies. Input layout:
//   byte 0      command, modulo 6: IMGGET IMGTGT IMGBGT IMGJGT IMGGLI QRYSYS
//   byte 1      parameter length, modulo 5
//   next bytes  parameters (such as "2T", "4T", "1T")
//   rest        the reply

#include "KXFuzz.h"

#include <KXDataStream.h>

#include "datastream/KXDataStreamInternal.h"

#include <climits>

namespace {

const char* const kCommands[] = {"IMGGET", "IMGTGT", "IMGBGT", "IMGJGT", "IMGGLI", "QRYSYS"};
constexpr int kLengthDigits = 8;

bool readHex(const QByteArray& reply, int pos, quint32& value)
{
    if (pos < 0 || reply.size() - pos < kLengthDigits)
        return false;
    const QByteArray digits = reply.mid(pos, kLengthDigits);
    // toUInt would also take a sign or spaces; the field holds digits only.
    for (const char c : digits) {
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex)
            return false;
    }
    bool ok = false;
    value = digits.toUInt(&ok, 16);
    return ok;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    kxFuzzQuietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const QByteArray cmd(kCommands[data[0] % 6]);
    const size_t paramsSize = qMin<size_t>(data[1] % 5, size - 2);
    const QByteArray params = kxFuzzBytes(data + 2, paramsSize);
    const QByteArray reply = kxFuzzBytes(data + 2 + paramsSize, size - 2 - paramsSize);

    const int pos = GetDataStreamExtendLenPos(reply, cmd, params);
    KX_FUZZ_CHECK(pos >= -1 && pos <= reply.size());
    if (pos >= 0)
        KX_FUZZ_CHECK(reply.contains(cmd + params));

    quint32 length = 0;
    const bool hasLength = pos >= 0 && readHex(reply, pos, length);

    const int total = getExtendFrameLength(reply, cmd, params);
    if (hasLength)
        KX_FUZZ_CHECK(total == qMin<qint64>(qint64(pos) + kLengthDigits + length + 3, INT_MAX));
    else
        KX_FUZZ_CHECK(total == -1);

    QByteArray text;
    QByteArray extendData;
    const bool extracted = KXGetDataStreamExtendData(reply, cmd, params, text, extendData);
    KX_FUZZ_CHECK(extracted == (hasLength && qint64(pos) + kLengthDigits + length < reply.size()));
    if (extracted) {
        KX_FUZZ_CHECK(quint32(extendData.size()) == length);
        // The data lies inside the reply, with at least the result byte after it.
        const qint64 start = qint64(pos) + kLengthDigits;
        KX_FUZZ_CHECK(start + extendData.size() < reply.size());
        KX_FUZZ_CHECK(reply.mid(int(start), extendData.size()) == extendData);
        KX_FUZZ_CHECK(text.isEmpty() || reply.contains(text));
    }
    return 0;
}
