// A stand-in for the driver library that records every call it receives, so
// that tests can check which driver functions a transport calls, in which
// order and with which arguments. Built as libKXDataStream.so into a folder
// of its own; tests put that folder on the library path.

#include "driver/KXDataStreamDriver.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace {

std::mutex g_mutex;
std::string g_calls;
int g_openResult = 1;
int g_isOpen = 0;
uint32_t g_firmwareError = 0;

void record(const std::string& call)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_calls += call;
    g_calls += '\n';
}

} // namespace

extern "C" {

// Test controls, not part of the driver interface.
KXDS_EXPORT int kxds_test_take_calls(char* buffer, int capacity)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    const int n = int(std::min<size_t>(g_calls.size(), size_t(capacity > 0 ? capacity - 1 : 0)));
    std::memcpy(buffer, g_calls.data(), size_t(n));
    buffer[n] = '\0';
    g_calls.clear();
    return n;
}

KXDS_EXPORT void kxds_test_configure(int openResult, int isOpen, uint32_t firmwareError)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_openResult = openResult;
    g_isOpen = isOpen;
    g_firmwareError = firmwareError;
}

uint32_t kxds_create(void)
{
    record("create");
    return 7;
}

void kxds_destory(uint32_t handle)
{
    record("destory " + std::to_string(handle));
}

int kxds_open_usb(uint32_t handle, const uint8_t* record_, int mode, uint32_t* error)
{
    record("open_usb " + std::to_string(handle) + " " +
           std::string(reinterpret_cast<const char*>(record_)) + " " + std::to_string(mode) +
           (error ? " err" : " noerr"));
    return g_openResult;
}

int kxds_open_com(uint32_t handle, const uint8_t* record_, uint32_t* error)
{
    uint16_t port = 0;
    std::memcpy(&port, record_, sizeof port);
    record("open_com " + std::to_string(handle) + " " + std::to_string(port) +
           (error ? " err" : " noerr"));
    return g_openResult;
}

int kxds_is_open(uint32_t handle)
{
    record("is_open " + std::to_string(handle));
    return g_isOpen;
}

void kxds_close(uint32_t handle)
{
    record("close " + std::to_string(handle));
}

int kxds_clean(uint32_t handle, int value)
{
    record("clean " + std::to_string(handle) + " " + std::to_string(value));
    return value;
}

int kxds_write(uint32_t handle, const uint8_t* data, uint32_t size)
{
    record("write " + std::to_string(handle) + " " +
           std::string(reinterpret_cast<const char*>(data), size));
    return 1;
}

uint32_t kxds_read_ex(uint32_t handle, uint8_t* buffer, uint32_t capacity, uint32_t reponse_time,
                      uint32_t interval, uint32_t* error)
{
    record("read_ex " + std::to_string(handle) + " " + std::to_string(capacity) + " " +
           std::to_string(reponse_time) + " " + std::to_string(interval) +
           (error ? " err" : " noerr"));
    const char reply[] = "abc";
    const uint32_t n = capacity < 3 ? capacity : 3;
    std::memcpy(buffer, reply, n);
    return n;
}

uint32_t kxds_read_until(uint32_t handle, uint8_t* buffer, uint32_t capacity, uint32_t reponse_time,
                         uint32_t interval, const char* pattern, int patternLength, uint32_t* error)
{
    record("read_until " + std::to_string(handle) + " " + std::to_string(capacity) + " " +
           std::to_string(reponse_time) + " " + std::to_string(interval) + " " +
           std::string(pattern, size_t(patternLength)) + (error ? " err" : " noerr"));
    std::memcpy(buffer, "xy;", 3);
    return 3;
}

int kxds_update_firmware_file(uint32_t handle, const char16_t* file, int count, void*, int flags,
                              uint32_t* error)
{
    record("update_firmware_file " + std::to_string(handle) + " " +
           std::to_string(std::char_traits<char16_t>::length(file)) + " " + std::to_string(count) +
           " " + std::to_string(flags));
    if (error)
        *error = g_firmwareError;
    return g_firmwareError == 0;
}

int kxds_update_firmware_file_1(uint32_t handle, const char16_t* file, int type, int count, void*,
                                int flags, uint32_t* error)
{
    record("update_firmware_file_1 " + std::to_string(handle) + " " +
           std::to_string(std::char_traits<char16_t>::length(file)) + " " + std::to_string(type) +
           " " + std::to_string(count) + " " + std::to_string(flags));
    if (error)
        *error = g_firmwareError;
    return g_firmwareError == 0;
}

int kxds_get_kernel_info(const char16_t*, void*, int)
{
    return 0;
}

uint32_t kxds_get_lib_version(void)
{
    return 0x00090001u;
}

int kxds_enum_usb_device_ex(uint8_t*, int, int, int, int, int, int, int)
{
    return 0;
}

int kxds_enum_serial_ports(uint8_t*, int)
{
    return 0;
}

int kxds_detect_serial_settings(uint8_t*, int count, int)
{
    return count;
}

} // extern "C"
