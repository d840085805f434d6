#ifndef KXDRIVERLIBRARY_H
#define KXDRIVERLIBRARY_H

#include "driver/KXDataStreamDriver.h"

#include <QLibrary>

// Signatures of the driver library's functions, resolved by name at run
// time. A library or function that cannot be found counts as failure.
namespace KXDriver {

using CreateFn = decltype(&kxds_create);
using DestroyFn = decltype(&kxds_destory);
using OpenUsbFn = decltype(&kxds_open_usb);
using OpenComFn = decltype(&kxds_open_com);
using IsOpenFn = decltype(&kxds_is_open);
using CloseFn = decltype(&kxds_close);
using CleanFn = decltype(&kxds_clean);
using WakeReadersFn = decltype(&kxds_wake_readers);
using WriteFn = decltype(&kxds_write);
using ReadExFn = decltype(&kxds_read_ex);
using ReadUntilFn = decltype(&kxds_read_until);
using ReadPollFn = decltype(&kxds_read_poll);
using UpdateFirmwareFn = decltype(&kxds_update_firmware_file);
using UpdateFirmware1Fn = decltype(&kxds_update_firmware_file_1);
using GetKernelInfoFn = decltype(&kxds_get_kernel_info);
using GetLibVersionFn = decltype(&kxds_get_lib_version);
using EnumUsbFn = decltype(&kxds_enum_usb_device_ex);
using EnumSerialFn = decltype(&kxds_enum_serial_ports);
using DetectSerialFn = decltype(&kxds_detect_serial_settings);

// Name the library is loaded by; the platform adds prefix and suffix.
inline const char* libraryName()
{
    return "KXDataStream";
}

// The function `name` of a loaded library, or null.
template <typename Fn>
Fn resolve(QLibrary* library, const char* name)
{
    if (!library || !library->isLoaded())
        return nullptr;
    return reinterpret_cast<Fn>(library->resolve(name));
}

// The function `name` of the driver library, loading it at each call, for
// the calls made without a handle (version, enumeration, package
// information). Null when the library or the function is missing.
template <typename Fn>
Fn resolveShared(const char* name)
{
    return reinterpret_cast<Fn>(QLibrary::resolve(QString::fromLatin1(libraryName()), name));
}

} // namespace KXDriver

#endif // KXDRIVERLIBRARY_H
