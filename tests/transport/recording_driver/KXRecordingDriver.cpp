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

// One line per call: the name, then each argument after a space. Returns
// `result`, the call's answer.
template <typename Result, typename... Args>
Result record(Result result, const char* name, const Args&... args)
{
    std::ostringstream line;
    line << name;
    ((line << ' ' << args), ...);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_calls += line.str() + '\n';
    return result;
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
    return record(7u, "create");
}

void kxds_destory(uint32_t handle)
{
    record(0, "destory", handle);
}

int kxds_open_usb(uint32_t handle, const uint8_t* record_, int mode, uint32_t* error)
{
    const char* name = reinterpret_cast<const char*>(record_);
    return record(g_openResult, "open_usb", handle, name, mode, given(error));
}

int kxds_open_com(uint32_t handle, const uint8_t* record_, uint32_t* error)
{
    const int port = record_[0] | record_[1] << 8;
    return record(g_openResult, "open_com", handle, port, given(error));
}

int kxds_is_open(uint32_t handle)
{
    return record(g_isOpen, "is_open", handle);
}

void kxds_close(uint32_t handle)
{
    record(0, "close", handle);
}

int kxds_clean(uint32_t handle, int value)
{
    return record(value, "clean", handle, value);
}

int kxds_write(uint32_t handle, const uint8_t* data, uint32_t size)
{
    return record(1, "write", handle, std::string(reinterpret_cast<const char*>(data), size));
}

uint32_t kxds_read_ex(uint32_t handle, uint8_t* buffer, uint32_t capacity, uint32_t reponse_time,
                      uint32_t interval, uint32_t* error)
{
    const uint32_t n = capacity < 3 ? capacity : 3;
    std::memcpy(buffer, "abc", n);
    return record(n, "read_ex", handle, capacity, reponse_time, interval, given(error));
}

uint32_t kxds_read_until(uint32_t handle, uint8_t* buffer, uint32_t capacity, uint32_t reponse_time,
                         uint32_t interval, const char* pattern, int patternLength, uint32_t* error)
{
    std::memcpy(buffer, "xy;", 3);
    return record(3u, "read_until", handle, capacity, reponse_time, interval,
                  std::string(pattern, size_t(patternLength)), given(error));
}

int kxds_update_firmware_file(uint32_t handle, const char16_t* file, int count, void*, int flags,
                              uint32_t* error)
{
    record(0, "update_firmware_file", handle, std::char_traits<char16_t>::length(file), count,
           flags);
    return firmwareResult(error);
}

int kxds_update_firmware_file_1(uint32_t handle, const char16_t* file, int type, int count, void*,
                                int flags, uint32_t* error)
{
    record(0, "update_firmware_file_1", handle, std::char_traits<char16_t>::length(file), type,
           count, flags);
    return firmwareResult(error);
}

} // extern "C"
