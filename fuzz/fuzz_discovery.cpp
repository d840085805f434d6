// Discovery answers as they come off the network: the input is one whole
// datagram (the kit reads at most 4096 bytes of one).

#include "KXFuzz.h"

#include "discovery/KXDiscoveryParse.h"

namespace {

bool isUsbId(const KXDeviceInfoMap& info)
{
    // Such identifiers take the next value of a process-wide counter, so
    // two readings of one datagram differ.
    return info.value(QStringLiteral("Device Type")) == QLatin1String("USB Device");
}

void checkAnswer(const QByteArray& datagram, const KXDiscoveryAnswer& answer)
{
    const KXDeviceInfoMap& info = answer.info;
    if (answer.action == KXDiscoveryAnswer::Ignore) {
        KX_FUZZ_CHECK(answer.deviceId.isEmpty() || datagram.size() >= 32);
        return;
    }
    // Only frames with the marker and at least 20 payload bytes get here.
    KX_FUZZ_CHECK(datagram.size() >= 32);
    KX_FUZZ_CHECK(qstrnicmp(datagram.constData(), "TARVEN", 6) == 0);
    KX_FUZZ_CHECK(datagram.at(6) == 0x10);
    KX_FUZZ_CHECK(!answer.deviceId.isEmpty());
    KX_FUZZ_CHECK(info.contains(QStringLiteral("Serial Number")));
    KX_FUZZ_CHECK(info.contains(QStringLiteral("MAC Address")));
    KX_FUZZ_CHECK(answer.sn == info.value(QStringLiteral("Serial Number")));
    KX_FUZZ_CHECK(answer.mac == info.value(QStringLiteral("MAC Address")));
    const auto productCode = info.constFind(QStringLiteral("Product Code"));
    if (productCode != info.constEnd())
        KX_FUZZ_CHECK(info.value(QStringLiteral("PRNQRY")) == productCode.value());
    const bool result = answer.action == KXDiscoveryAnswer::NetworkChanged ||
                        answer.action == KXDiscoveryAnswer::AliasChanged ||
                        answer.action == KXDiscoveryAnswer::NetworkGroup;
    KX_FUZZ_CHECK(result == !answer.logLine.isEmpty());
    if (!result)
        KX_FUZZ_CHECK(answer.result == 0);

    // A supplement keeps every stored value and adds the rest.
    KXDeviceInfoMap stored;
    stored.insert(QStringLiteral("MAC Address"), QStringLiteral("stored"));
    KXDeviceInfoMap merged = info;
    KXDiscovery::mergeSupplement(stored, merged);
    KX_FUZZ_CHECK(merged.value(QStringLiteral("MAC Address")) == QLatin1String("stored"));
    KX_FUZZ_CHECK(merged.size() == info.size());
    KXDiscovery::passesGroupGate(info);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    kxFuzzQuietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 4096)
        return 0;
    const QByteArray datagram = kxFuzzBytes(data, size);
    const KXDiscoveryAnswer answer = KXDiscovery::parseDiscoveryAnswer(datagram);
    checkAnswer(datagram, answer);
    if (!isUsbId(answer.info)) {
        const KXDiscoveryAnswer again = KXDiscovery::parseDiscoveryAnswer(datagram);
        KX_FUZZ_CHECK(again.action == answer.action && again.deviceId == answer.deviceId &&
                      again.info == answer.info && again.logLine == answer.logLine);
    }
    return 0;
}
