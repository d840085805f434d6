#ifndef KXDEVICEKITGLOBAL_H
#define KXDEVICEKITGLOBAL_H

#include <QtCore/qglobal.h>

// Symbols are hidden by default; only declarations marked with this macro
// are visible outside libKXDeviceKit.so.
#if defined(KXDEVICEKIT_LIBRARY)
#define KXDEVICEKIT_EXPORT Q_DECL_EXPORT
#else
#define KXDEVICEKIT_EXPORT Q_DECL_IMPORT
#endif

#endif // KXDEVICEKITGLOBAL_H
