#include "KXDSRecordName.h"

#include "KXDataStreamDriver.h"

#include <cstring>

namespace kxds {

namespace {

char16_t unitAt(const uint8_t* record, size_t index)
{
    // Records need not be aligned for char16_t.
    char16_t unit;
    std::memcpy(&unit, record + KXDS_USB_NAME_OFFSET + index * sizeof unit, sizeof unit);
    return unit;
}

void appendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Decodes one UTF-8 sequence at `text[i]`; false on malformed, overlong or
// surrogate encodings.
bool decodeUtf8(const std::string& text, size_t& i, char32_t& cp)
{
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    size_t length;
    char32_t min;
    if (lead < 0x80) {
        cp = lead;
        ++i;
        return true;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, cp = lead & 0x1F, min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, cp = lead & 0x0F, min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, cp = lead & 0x07, min = 0x10000;
    } else {
        return false;
    }
    if (text.size() - i < length)
        return false;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return false;
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return false;
    i += length;
    return true;
}

} // namespace

// UTF-16 units from `unitAt(0)` up to a terminator within `maxUnits` units,
// as UTF-8; false when there is none, the text is empty or not valid.
template <typename UnitAt>
bool decodeUtf16(UnitAt unitAt, size_t maxUnits, std::string& name)
{
    name.clear();
    for (size_t i = 0; i <= maxUnits; ++i) {
        const char16_t unit = unitAt(i);
        if (unit == 0)
            return !name.empty();
        if (unit >= 0xDC00 && unit <= 0xDFFF)
            return false;
        if (unit < 0xD800 || unit > 0xDBFF) {
            appendUtf8(name, unit);
            continue;
        }
        if (i + 1 > maxUnits)
            return false;
        const char16_t low = unitAt(++i);
        if (low < 0xDC00 || low > 0xDFFF)
            return false;
        appendUtf8(name, 0x10000 + ((char32_t(unit) - 0xD800) << 10) + (char32_t(low) - 0xDC00));
    }
    return false;
}

bool readRecordName(const uint8_t* record, std::string& name)
{
    return decodeUtf16([record](size_t i) { return unitAt(record, i); }, KXDS_USB_NAME_MAX, name);
}

bool readWideText(const char16_t* text, size_t maxUnits, std::string& out)
{
    if (!text) {
        out.clear();
        return false;
    }
    return decodeUtf16([text](size_t i) { return text[i]; }, maxUnits, out);
}

bool writeRecordName(uint8_t* record, const std::string& name)
{
    std::u16string units;
    for (size_t i = 0; i < name.size();) {
        char32_t cp;
        if (!decodeUtf8(name, i, cp))
            return false;
        if (cp < 0x10000) {
            units += static_cast<char16_t>(cp);
        } else {
            units += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            units += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        }
    }
    if (units.empty() || units.size() > KXDS_USB_NAME_MAX)
        return false;
    units += u'\0';
    std::memcpy(record + KXDS_USB_NAME_OFFSET, units.data(), units.size() * sizeof(char16_t));
    return true;
}

} // namespace kxds
