// A stand-in for the driver library that records every call it receives, so
// that tests can check which driver functions a transport calls, in which
// order and with which arguments. Built as libKXDataStream.so into a folder
// of its own; tests put that folder on the library path. It has neither
// kxds_read_poll nor kxds_wake_readers, as a driver without our extensions.

#include "driver/KXDataStreamDriver.h"

#include <cstring>
#include <mutex>
#include <sstream>
#include <string>

namespace {

std::mutex g_mutex;
std::string g_calls;
int g_openResult = 1;
int g_isOpen = 0;
uint32_t g_firmwareError = 0;

// One line per call: the name, then each argument after a space.
template <typename... Args>
void record(const char* name, const Args&... args)
{
    std::ostringstream line;
    line << name;
    ((line << ' ' << args), ...);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_calls += line.str() + '\n';
}

const char* given(const uint32_t* error)
{
    return error ? "err" : "noerr";
}

int firmwareResult(uint32_t* error)
{
    if (error)
        *error = g_firmwareError;
    return g_firmwareError == 0;
}

} // namespace

extern "C" {

// Test controls, not part of the driver interface. The calls since the last
// take, one a line; valid until the next take.
KXDS_EXPORT const char* kxds_test_take_calls()
{
    static std::string taken;
    std::lock_guard<std::mutex> lock(g_mutex);
    taken.clear();
    taken.swap(g_calls);
    return taken.c_str();
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
    record("destory", handle);
}

int kxds_open_usb(uint32_t handle, const uint8_t* record_, int mode, uint32_t* error)
{
    record("open_usb", handle, reinterpret_cast<const char*>(record_), mode, given(error));
    return g_openResult;
}

int kxds_open_com(uint32_t handle, const uint8_t* record_, uint32_t* error)
{
    uint16_t port = 0;
    std::memcpy(&port, record_, sizeof port);
    record("open_com", handle, port, given(error));
    return g_openResult;
}

int kxds_is_open(uint32_t handle)
{
    record("is_open", handle);
    return g_isOpen;
}

void kxds_close(uint32_t handle)
{
    record("close", handle);
}

int kxds_clean(uint32_t handle, int value)
{
    record("clean", handle, value);
    return value;
}

int kxds_write(uint32_t handle, const uint8_t* data, uint32_t size)
{
    record("write", handle, std::string(reinterpret_cast<const char*>(data), size));
    return 1;
}

uint32_t kxds_read_ex(uint32_t handle, uint8_t* buffer, uint32_t capacity, uint32_t reponse_time,
                      uint32_t interval, uint32_t* error)
{
    record("read_ex", handle, capacity, reponse_time, interval, given(error));
    const uint32_t n = capacity < 3 ? capacity : 3;
    std::memcpy(buffer, "abc", n);
    return n;
}

uint32_t kxds_read_until(uint32_t handle, uint8_t* buffer, uint32_t capacity, uint32_t reponse_time,
                         uint32_t interval, const char* pattern, int patternLength, uint32_t* error)
{
    record("read_until", handle, capacity, reponse_time, interval,
           std::string(pattern, size_t(patternLength)), given(error));
    std::memcpy(buffer, "xy;", 3);
    return 3;
}

int kxds_update_firmware_file(uint32_t handle, const char16_t* file, int count, void*, int flags,
                              uint32_t* error)
{
    record("update_firmware_file", handle, std::char_traits<char16_t>::length(file), count, flags);
    return firmwareResult(error);
}

int kxds_update_firmware_file_1(uint32_t handle, const char16_t* file, int type, int count, void*,
                                int flags, uint32_t* error)
{
    record("update_firmware_file_1", handle, std::char_traits<char16_t>::length(file), type, count,
           flags);
    return firmwareResult(error);
}

} // extern "C"
