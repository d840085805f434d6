#include "KXDSKernelInfo.h"

#include "KXDataStreamDriver.h"
#include "KXUpgrade/KXFirmwareLayout.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace kxds {

namespace {

// Larger files are not firmware; refusing them keeps the read bounded.
constexpr uint64_t MaxFileSize = 256u << 20;

constexpr size_t ImageTableSize = 368;
constexpr char InfoMarker[8] = {'K', 'X', 'F', 'W', 'I', 'N', 'F', 'O'};
constexpr size_t InfoHeaderSize = 16;
constexpr size_t InfoPayloadSize = 224;

uint32_t le32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void putLe32(uint8_t* p, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(value >> (8 * i));
}

// Copies `text`, already cut to its field, with its terminator.
void copyText(uint8_t* dst, const std::string& text)
{
    std::memcpy(dst, text.data(), text.size());
    dst[text.size()] = 0;
}

} // namespace

std::string suffixOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t dot = name.rfind('.');
    std::string suffix = dot == std::string::npos ? std::string() : name.substr(dot + 1);
    for (char& c : suffix)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return suffix;
}

bool readFirmwareFile(const std::string& path, std::vector<uint8_t>& data, uint32_t& error)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        error = KXDS_ERROR_NOT_FOUND;
        return false;
    }
    const std::streamoff size = in.tellg();
    if (size < 0 || uint64_t(size) > MaxFileSize) {
        error = KXDS_ERROR_BAD_ARGUMENT;
        return false;
    }
    data.resize(size_t(size));
    in.seekg(0);
    if (!in.read(reinterpret_cast<char*>(data.data()), size)) {
        error = KXDS_ERROR_IO;
        return false;
    }
    return true;
}

bool readNfpRecord(const std::vector<uint8_t>& file, uint8_t* record)
{
    KXNfpHeader header;
    if (!kxReadNfpHeader(file.data(), file.size(), header))
        return false;
    uint32_t kernOffset = 0, kernSize = 0;
    for (uint32_t i = 0; i < header.localParts; ++i) {
        if (header.parts[i].code == 2)
            kernOffset = header.parts[i].offset, kernSize = header.parts[i].size;
    }
    std::memset(record, 0, KXDS_KERNEL_INFO_RECORD_SIZE);
    putLe32(record + 0, kernOffset);
    putLe32(record + 4, kernSize);
    putLe32(record + 8, 3);
    copyText(record + 12, header.hardwareName);
    copyText(record + 44, header.version);
    copyText(record + 76, header.date);
    putLe32(record + 96, header.deviceType);
    putLe32(record + 100, header.localParts);
    putLe32(record + 104, header.extendedParts);
    return true;
}

namespace {

// The information block sits right before the image's part table.
bool readInfoBlock(const std::vector<uint8_t>& file, uint8_t* record)
{
    const size_t blockSize = InfoHeaderSize + InfoPayloadSize;
    if (file.size() < blockSize + ImageTableSize)
        return false;
    const uint8_t* block = file.data() + file.size() - ImageTableSize - blockSize;
    const uint8_t* payload = block + InfoHeaderSize;
    if (std::memcmp(block, InfoMarker, sizeof InfoMarker) != 0 ||
        le32(block + 8) != InfoPayloadSize ||
        le32(block + 12) != uint32_t(crc32(crc32(0L, Z_NULL, 0), payload, InfoPayloadSize)))
        return false;
    std::memset(record, 0, KXDS_KERNEL_INFO_RECORD_SIZE);
    std::memcpy(record, payload, InfoPayloadSize);
    return true;
}

} // namespace

uint32_t readKernelInfo(const std::string& path, uint8_t* record)
{
    static const char* const blockKinds[] = {"bin", "bin2", "bin3", "pak", "pak2", "efp", "efp2"};
    const std::string suffix = suffixOf(path);
    const bool nfp = suffix == "nfp";
    if (!nfp &&
        std::find(std::begin(blockKinds), std::end(blockKinds), suffix) == std::end(blockKinds))
        return KXDS_ERROR_UNSUPPORTED;
    std::vector<uint8_t> file;
    uint32_t error = KXDS_ERROR_NONE;
    if (!readFirmwareFile(path, file, error))
        return error;
    const bool read = nfp ? readNfpRecord(file, record) : readInfoBlock(file, record);
    return read ? KXDS_ERROR_NONE : KXDS_ERROR_BAD_ARGUMENT;
}

} // namespace kxds
