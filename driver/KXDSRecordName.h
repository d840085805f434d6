#ifndef KXDSRECORDNAME_H
#define KXDSRECORDNAME_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace kxds {

// The UTF-16 name at the start of a USB record as UTF-8; false when it has
// no terminator within KXDS_USB_NAME_MAX code units, is empty or is not
// valid UTF-16.
bool readRecordName(const uint8_t* record, std::string& name);

// A terminated UTF-16 text of at most `maxUnits` units (a file name passed
// to the library) as UTF-8; false when null, empty, unterminated or invalid.
bool readWideText(const char16_t* text, size_t maxUnits, std::string& out);

// Writes a UTF-8 name as terminated UTF-16 at the start of a record; false
// (record unchanged) when it is not valid UTF-8 or does not fit.
bool writeRecordName(uint8_t* record, const std::string& name);

} // namespace kxds

#endif // KXDSRECORDNAME_H
