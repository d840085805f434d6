#include "KXPakInfo.h"

#include "IfpPackageHandler.h"
#include "KXFirmwareFormats.h"
#include "transport/KXDriverLibrary.h"

namespace {

using Record = KernelInfoRecord;

// Asks the driver to fill `record`; false when it did not, or when the
// driver library or its function is missing.
bool readKernelInfo(const QString& file, Record& record, uint* driverInfo)
{
    const auto getKernelInfo =
        KXDriver::resolveShared<KXDriver::GetKernelInfoFn>("kxds_get_kernel_info");
    if (!getKernelInfo)
        return false;
    static_assert(sizeof(uint) == sizeof(uint32_t), "the driver writes a 32-bit number");
    const int result = getKernelInfo(reinterpret_cast<const char16_t*>(file.utf16()), record.data(),
                                     reinterpret_cast<uint32_t*>(driverInfo));
    // Only the low byte carries the answer.
    return (result & 0xFF) != 0;
}

QString number(const Record& record, int offset)
{
    return QString::number(record.number(offset));
}

} // namespace

bool KXGetPakInfo(const QString& file, QString& info)
{
    const QString suffix = firmwareSuffix(file);
    if (suffix == QLatin1String("ifp"))
        return false;
    Record record;
    uint unused = 0;
    const bool read = readKernelInfo(file, record, &unused);

    const QString version = record.text(Record::Version);
    const QString hardware = record.text(Record::HardwareName);
    if (suffix == QLatin1String("bin") || suffix == QLatin1String("bin2") ||
        suffix == QLatin1String("bin3")) {
        info = QStringLiteral(" version: %1\r\n hardwareName: %2\r\n productInfo: %3\r\n date: "
                              "%4\r\n specialInfo: %5\r\n")
                   .arg(version, hardware, record.text(Record::ProductInfo),
                        record.text(Record::ImageDate), record.text(Record::SpecialInfo));
    } else if (suffix == QLatin1String("pak") || suffix == QLatin1String("pak2")) {
        info = QStringLiteral(
                   " firmwareVersion: %1\r\n hardwareVersion: %2\r\n decoderVersion: %3\r\n")
                   .arg(version, hardware, record.text(Record::Date));
    } else if (suffix == QLatin1String("nfp")) {
        info = QStringLiteral(" version: %1\r\n hardwareName: %2\r\n date: %3\r\ndevicetype: %4\r\n"
                              " extend_blocks: %5\r\n local_blocks: %6\r\n")
                   .arg(version, hardware, record.text(Record::Date),
                        number(record, Record::DeviceType), number(record, Record::ExtendedParts),
                        number(record, Record::LocalParts));
    } else if (suffix == QLatin1String("efp")) {
        info =
            QStringLiteral(
                " version: %1\r\n hardwareName: %2\r\n date: %3\r\nCPUMod: %4\r\nproductMod: %5\r\n"
                " extend_blocks: %6\r\n local_blocks: %7\r\n")
                .arg(version, hardware, record.text(Record::Date), record.text(Record::EfpCpuModel),
                     record.text(Record::ProductInfo), number(record, Record::ExtendedParts),
                     number(record, Record::LocalParts));
    } else if (suffix == QLatin1String("efp2")) {
        info =
            QStringLiteral(
                " version: %1\r\n hardwareName: %2\r\n date: %3\r\nCPUMod: %4\r\nproductMod: %5\r\n"
                " blocksNum: %6\r\n")
                .arg(version, hardware, record.text(Record::Date),
                     record.text(Record::Efp2CpuModel), record.text(Record::LocalParts),
                     number(record, Record::Efp2Blocks));
    }
    return read;
}

bool KXGetPakInfo(const QString& file, QString& model, QString& hardware, QString& version,
                  uint* driverInfo)
{
    // An archive is described by the firmware file inside it, which only the
    // package handler can supply once it has unpacked the archive; until
    // then there is nothing to read and nothing is changed.
    if (firmwareSuffix(file) == QLatin1String("ifp"))
        return IfpPackageHandler::instance()->packageInfo(file, model, hardware, version,
                                                          driverInfo);
    Record record;
    if (!readKernelInfo(file, record, driverInfo))
        return false;
    const QString name = record.text(Record::HardwareName);
    QString product;
    switch (record.number(Record::PackageKind)) {
    case 1:
    case 3:
        product = name;
        break;
    case 2:
    case 4:
        product = record.text(Record::ProductInfo);
        break;
    case 5:
        product = record.text(Record::LocalParts);
        break;
    default:
        // Nothing is reported from a record of unknown layout.
        return false;
    }
    model = product.isEmpty() ? name : product;
    hardware = name;
    version = record.text(Record::Version);
    return true;
}
