#ifndef KXPAKINFO_H
#define KXPAKINFO_H

#include <QString>

// Package information through the driver library's kxds_get_kernel_info.

// A description of the package `file`: one line per field, by file kind.
// "ifp" archives give false at once. Otherwise `info` is composed from what
// the driver read (from empty fields when it read nothing; left unchanged
// for kinds without a text form) and the result is whether it read it.
bool KXGetPakInfo(const QString& file, QString& info);

// The model, hardware name and version of the package `file`; `driverInfo`
// (may be null) receives the driver's own number. False when the driver
// could not read the file or reports an unknown package kind.
bool KXGetPakInfo(const QString& file, QString& model, QString& hardware, QString& version,
                  uint* driverInfo);

#endif // KXPAKINFO_H
