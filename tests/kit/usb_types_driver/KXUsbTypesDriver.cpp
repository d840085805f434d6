// A stand-in for the driver library whose USB enumeration returns records of
// the types a test asks for, which our driver (it makes type-1 records only)
// cannot show. Built as libKXDataStream.so into a folder of its own; tests put
// that folder on the library path. It has no other driver function.

#include "driver/KXDataStreamDriver.h"

#include <string>

namespace {

std::string g_types;
std::string g_arguments;

} // namespace

extern "C" {

// Test controls, not part of the driver interface. `types`: one record type
// per character, as a digit ("153" gives types 1, 5 and 3).
KXDS_EXPORT void kxds_test_set_usb_types(const char* types)
{
    g_types = types;
}

// The arguments of the last enumeration after the record array, separated
// by spaces.
KXDS_EXPORT const char* kxds_test_enum_arguments()
{
    return g_arguments.c_str();
}

int kxds_enum_usb_device_ex(uint8_t* records, int capacity, int a, int b, int c, int d, int e,
                            int f)
{
    g_arguments.clear();
    for (int value : {capacity, a, b, c, d, e, f})
        g_arguments += (g_arguments.empty() ? "" : " ") + std::to_string(value);
    int count = 0;
    for (; count < capacity && count < int(g_types.size()); ++count)
        records[size_t(count) * KXDS_USB_RECORD_SIZE + KXDS_USB_TYPE_OFFSET] =
            uint8_t(g_types[size_t(count)] - '0');
    return count;
}

} // extern "C"
