// The "nfp" package header check. Input layout:
//   byte 0   bit 0 set: store a fresh checksum first, so that inputs reach
//            past the checksum to the record filling
//   rest     the package
// A package that passes must describe only parts inside the file, of known
// codes, and fill the record consistently. The driver library fills its own
// information record from the same headers and must accept exactly the same
// packages, with the same fields up to the part list (which it leaves out).

#include "KXFuzz.h"

#include "KXDSKernelInfo.h"
#include "KXUpgrade/KXFirmwareFormats.h"
#include "tools/kxfw/KXFwBuild.h"

#include <QtEndian>

#include <algorithm>
#include <array>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    QByteArray package = kxFuzzBytes(data + 1, size - 1);
    if (data[0] & 1)
        kxfwResealNfp(package);

    KernelInfoRecord record;
    record.bytes.fill(0xAA);
    const bool valid = validateNfpHeader(package, record);
    std::array<uint8_t, KernelInfoRecord::Size> driverRecord{};
    const std::vector<uint8_t> file(package.begin(), package.end());
    KX_FUZZ_CHECK(kxds::readNfpRecord(file, driverRecord.data()) == valid);
    if (!valid) {
        KX_FUZZ_CHECK(record.number(KernelInfoRecord::PackageKind) == 0);
        return 0;
    }
    KX_FUZZ_CHECK(package.size() >= 1024);
    KX_FUZZ_CHECK(record.number(KernelInfoRecord::PackageKind) == 3);
    const quint32 local = record.number(KernelInfoRecord::LocalParts);
    const quint32 extended = record.number(KernelInfoRecord::ExtendedParts);
    KX_FUZZ_CHECK(std::equal(record.bytes.begin(),
                             record.bytes.begin() + KernelInfoRecord::ProductInfo,
                             driverRecord.begin()));
    KX_FUZZ_CHECK(std::all_of(driverRecord.begin() + KernelInfoRecord::ProductInfo,
                              driverRecord.end(), [](uint8_t b) { return b == 0; }));
    KX_FUZZ_CHECK(local + extended >= 1 && local + extended <= 16 && local <= 16 && extended <= 16);
    KX_FUZZ_CHECK(record.number(KernelInfoRecord::DeviceType) ==
                  qFromLittleEndian<quint32>(package.constData() + 44));
    // Texts fit their fields with their terminator.
    KX_FUZZ_CHECK(record.text(KernelInfoRecord::HardwareName).size() < 32);
    KX_FUZZ_CHECK(record.text(KernelInfoRecord::Version).size() < 32);
    KX_FUZZ_CHECK(record.text(KernelInfoRecord::Date).size() < 16);
    bool kern = false;
    for (int i = 0; i < KernelInfoRecord::MaxParts; ++i) {
        const KXNfpPart part = nfpPart(record, i);
        if (quint32(i) >= local + extended) {
            KX_FUZZ_CHECK(part.code == 0 && part.size == 0);
            continue;
        }
        KX_FUZZ_CHECK(part.size != 0 &&
                      quint64(part.offset) + part.size <= quint64(package.size()));
        KX_FUZZ_CHECK(quint32(i) < local ? part.code >= 1 && part.code <= 4 : part.code == 3);
        if (part.code == 2 && quint32(i) < local) {
            kern = true;
            KX_FUZZ_CHECK(record.number(KernelInfoRecord::KernSize) != 0);
        }
    }
    if (!kern)
        KX_FUZZ_CHECK(record.number(KernelInfoRecord::KernSize) == 0);
    // The check is a pure function of the bytes.
    KernelInfoRecord again;
    KX_FUZZ_CHECK(validateNfpHeader(package, again) && again.bytes == record.bytes);
    return 0;
}
