// The exported C functions: argument checks and handle lookup, then one
// call into the device, port, USB or TCP code.

#include "KXDataStreamDriver.h"

#include "KXDSDevice.h"
#include "KXDSFirmware.h"
#include "KXDSHandleTable.h"
#include "KXDSKernelInfo.h"
#include "KXDSPortMap.h"
#include "KXDSRecordName.h"
#include "KXDSSerialPort.h"
#include "KXDSTcp.h"
#include "KXDSUsbEnum.h"

#include <cstring>
#include <string>

using namespace kxds;

namespace {

static_assert(sizeof(KXDSComRecord) == KXDS_COM_RECORD_SIZE, "COM record layout");

// Longest file name accepted, in UTF-16 units (the system's PATH_MAX).
constexpr size_t MaxPathUnits = 4096;

void setError(uint32_t* error, uint32_t code)
{
    if (error)
        *error = code;
}

// The open device of a handle, or null with the reason in `error`.
std::shared_ptr<Device> deviceOf(uint32_t handle, uint32_t& error)
{
    const std::shared_ptr<HandleSlot> slot = HandleTable::instance().find(handle);
    if (!slot) {
        error = KXDS_ERROR_BAD_HANDLE;
        return nullptr;
    }
    std::shared_ptr<Device> device = slot->device();
    error = device ? KXDS_ERROR_NONE : KXDS_ERROR_NOT_OPEN;
    return device;
}

// Closes what the handle had open, runs `open` and installs its device.
template <typename Open>
int openOn(uint32_t handle, uint32_t* error, Open&& open)
{
    const std::shared_ptr<HandleSlot> slot = HandleTable::instance().find(handle);
    if (!slot) {
        setError(error, KXDS_ERROR_BAD_HANDLE);
        return 0;
    }
    slot->closeDevice();
    const OpenResult result = open();
    if (!result.device) {
        setError(error, result.error);
        return 0;
    }
    if (!slot->attach(result.device)) {
        setError(error, KXDS_ERROR_BAD_HANDLE);
        return 0;
    }
    setError(error, KXDS_ERROR_NONE);
    return 1;
}

OpenResult openUsbRecord(const uint8_t* record)
{
    OpenResult result;
    std::string name;
    if (!record || !readRecordName(record, name)) {
        result.error = KXDS_ERROR_BAD_ARGUMENT;
        return result;
    }
    switch (record[KXDS_USB_TYPE_OFFSET]) {
    case KXDS_USB_TYPE_DATAPIPE:
        return openSerialPort(name, LineSettings{});
    case KXDS_USB_TYPE_TCP: {
        const uint16_t port = static_cast<uint16_t>(record[KXDS_USB_PORT_OFFSET] |
                                                    record[KXDS_USB_PORT_OFFSET + 1] << 8);
        return openTcpConnection(name, port);
    }
    default:
        result.error = KXDS_ERROR_BAD_ARGUMENT;
        return result;
    }
}

OpenResult openComRecord(const uint8_t* record)
{
    OpenResult result;
    if (!record) {
        result.error = KXDS_ERROR_BAD_ARGUMENT;
        return result;
    }
    KXDSComRecord com;
    std::memcpy(&com, record, sizeof com);
    const LineSettings settings{com.baudRate, com.dataBits, com.stopBits, com.parity};
    if (!isValidLineSettings(settings)) {
        result.error = KXDS_ERROR_BAD_ARGUMENT;
        return result;
    }
    const std::string path = portPath(com.port);
    if (path.empty()) {
        result.error = KXDS_ERROR_NOT_FOUND;
        return result;
    }
    return openSerialPort(path, settings);
}

// Detection kind and current framing of one COM record's port.
void detectPort(KXDSComRecord& com)
{
    const std::string name = portTtyName(com.port);
    const std::string path = portPath(com.port);
    com.detectionKind = usbDetectionKind(name);
    LineSettings settings;
    if (path.empty() || isKernelConsole(name) ||
        readLineSettings(path, settings) != KXDS_ERROR_NONE)
        settings = LineSettings{0, 0, 0, 0};
    com.baudRate = settings.baudRate;
    com.dataBits = settings.dataBits;
    com.stopBits = settings.stopBits;
    com.parity = settings.parity;
}

// A read on the handle's device; `wakeable` lets kxds_wake_readers end it.
uint32_t readFrom(uint32_t handle, uint8_t* buffer, uint32_t capacity, uint32_t timeoutMs,
                  const char* pattern, int patternLength, bool wakeable, uint32_t* error)
{
    // The slot is held too, so its wake-up descriptor outlives the read.
    const std::shared_ptr<HandleSlot> slot = HandleTable::instance().find(handle);
    const std::shared_ptr<Device> device = slot ? slot->device() : nullptr;
    if (!device) {
        setError(error, slot ? KXDS_ERROR_NOT_OPEN : KXDS_ERROR_BAD_HANDLE);
        return 0;
    }
    if (!buffer && capacity > 0) {
        setError(error, KXDS_ERROR_BAD_ARGUMENT);
        return 0;
    }
    const size_t length = pattern && patternLength > 0 ? static_cast<size_t>(patternLength) : 0;
    uint32_t code = KXDS_ERROR_NONE;
    const uint32_t stored = device->read(buffer, capacity, timeoutMs, pattern, length,
                                         wakeable ? slot->wakeFd() : -1, code);
    setError(error, code);
    return stored;
}

// Both firmware entries: the file goes to the handle's device.
int updateFirmware(uint32_t handle, const char16_t* file, void* progress, uint32_t* error)
{
    uint32_t code = KXDS_ERROR_NONE;
    const std::shared_ptr<Device> device = deviceOf(handle, code);
    std::string path;
    if (device && !readWideText(file, MaxPathUnits, path))
        code = KXDS_ERROR_BAD_ARGUMENT;
    if (code == KXDS_ERROR_NONE)
        code = writeFirmware(*device, path, progress);
    setError(error, code);
    return code == KXDS_ERROR_NONE ? 1 : 0;
}

} // namespace

extern "C" {

uint32_t kxds_create(void)
{
    return HandleTable::instance().create();
}

void kxds_destory(uint32_t handle)
{
    if (const std::shared_ptr<HandleSlot> slot = HandleTable::instance().remove(handle))
        slot->destroy();
}

int kxds_open_usb(uint32_t handle, const uint8_t* record, int /*mode*/, uint32_t* error)
{
    return openOn(handle, error, [record] { return openUsbRecord(record); });
}

int kxds_open_com(uint32_t handle, const uint8_t* record, uint32_t* error)
{
    return openOn(handle, error, [record] { return openComRecord(record); });
}

int kxds_is_open(uint32_t handle)
{
    uint32_t code = KXDS_ERROR_NONE;
    const std::shared_ptr<Device> device = deviceOf(handle, code);
    return device && device->isOpen() ? 1 : 0;
}

void kxds_close(uint32_t handle)
{
    if (const std::shared_ptr<HandleSlot> slot = HandleTable::instance().find(handle))
        slot->closeDevice();
}

void kxds_wake_readers(uint32_t handle)
{
    if (const std::shared_ptr<HandleSlot> slot = HandleTable::instance().find(handle))
        slot->wakeReaders();
}

int kxds_clean(uint32_t handle, int value)
{
    uint32_t code = KXDS_ERROR_NONE;
    if (const std::shared_ptr<Device> device = deviceOf(handle, code))
        device->discardInput();
    return value;
}

int kxds_write(uint32_t handle, const uint8_t* data, uint32_t size)
{
    uint32_t code = KXDS_ERROR_NONE;
    const std::shared_ptr<Device> device = deviceOf(handle, code);
    if (!device || (!data && size > 0))
        return 0;
    if (size == 0)
        return device->isOpen() ? 1 : 0;
    return device->write(data, size, KXDS_WRITE_TIMEOUT_MS) ? 1 : 0;
}

uint32_t kxds_read_ex(uint32_t handle, uint8_t* buffer, uint32_t capacity, uint32_t reponse_time,
                      uint32_t /*interval*/, uint32_t* error)
{
    return readFrom(handle, buffer, capacity, reponse_time, nullptr, 0, false, error);
}

uint32_t kxds_read_poll(uint32_t handle, uint8_t* buffer, uint32_t capacity, uint32_t reponse_time,
                        uint32_t /*interval*/, uint32_t* error)
{
    return readFrom(handle, buffer, capacity, reponse_time, nullptr, 0, true, error);
}

uint32_t kxds_read_until(uint32_t handle, uint8_t* buffer, uint32_t capacity, uint32_t reponse_time,
                         uint32_t /*interval*/, const char* pattern, int patternLength,
                         uint32_t* error)
{
    return readFrom(handle, buffer, capacity, reponse_time, pattern, patternLength, false, error);
}

int kxds_update_firmware_file(uint32_t handle, const char16_t* file, int /*retries*/,
                              void* progress, int /*flags*/, uint32_t* error)
{
    return updateFirmware(handle, file, progress, error);
}

int kxds_update_firmware_file_1(uint32_t handle, const char16_t* file, int /*type*/, int /*count*/,
                                void* progress, int /*flags*/, uint32_t* error)
{
    return updateFirmware(handle, file, progress, error);
}

int kxds_get_kernel_info(const char16_t* file, void* info, uint32_t* driverInfo)
{
    std::string path;
    uint32_t error = KXDS_ERROR_BAD_ARGUMENT;
    if (info && readWideText(file, MaxPathUnits, path))
        error = readKernelInfo(path, static_cast<uint8_t*>(info));
    setError(driverInfo, error);
    return error == KXDS_ERROR_NONE ? 1 : 0;
}

uint32_t kxds_get_lib_version(void)
{
    return KXDS_LIB_VERSION;
}

int kxds_enum_usb_device_ex(uint8_t* records, int capacity, int, int, int, int, int, int)
{
    if (!records || capacity <= 0)
        return 0;
    int count = 0;
    for (const std::string& node : listUsbDataPipes()) {
        if (count == capacity)
            break;
        uint8_t* record = records + static_cast<size_t>(count) * KXDS_USB_RECORD_SIZE;
        std::memset(record, 0, KXDS_USB_RECORD_SIZE);
        if (!writeRecordName(record, node))
            continue; // a path that no record can carry
        record[KXDS_USB_TYPE_OFFSET] = KXDS_USB_TYPE_DATAPIPE;
        ++count;
    }
    return count;
}

int kxds_enum_serial_ports(uint8_t* records, int capacity)
{
    if (!records || capacity <= 0)
        return 0;
    int count = 0;
    for (const uint16_t port : listSerialPorts()) {
        if (count == capacity)
            break;
        KXDSComRecord com{};
        com.port = port;
        std::memcpy(records + static_cast<size_t>(count) * KXDS_COM_RECORD_SIZE, &com, sizeof com);
        ++count;
    }
    return count;
}

int kxds_detect_serial_settings(uint8_t* records, int count, int /*timeout*/)
{
    if (!records || count <= 0)
        return 0;
    for (int i = 0; i < count; ++i) {
        uint8_t* record = records + static_cast<size_t>(i) * KXDS_COM_RECORD_SIZE;
        KXDSComRecord com;
        std::memcpy(&com, record, sizeof com);
        detectPort(com);
        std::memcpy(record, &com, sizeof com);
    }
    return count;
}

} // extern "C"
