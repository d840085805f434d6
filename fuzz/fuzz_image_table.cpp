// The part table at the end of a plain firmware image. Input: the image.
// Entries are read as stored, only from the table's first 304 bytes.

#include "KXFuzz.h"

#include "KXUpgrade/KXFirmwareFormats.h"

#include <QtEndian>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray image = kxFuzzBytes(data, size);
    const auto entries = readImagePartTable(image);
    if (image.size() < KXImagePartTable::Size) {
        for (const KXImagePartEntry& entry : entries)
            KX_FUZZ_CHECK(entry.size == 0 && entry.offset == 0 && entry.type.isEmpty());
        return 0;
    }
    const char* table = image.constData() + image.size() - KXImagePartTable::Size;
    for (int i = 0; i < KXImagePartTable::EntryCount; ++i) {
        const char* raw = table + i * KXImagePartTable::EntrySize;
        const KXImagePartEntry& entry = entries[size_t(i)];
        KX_FUZZ_CHECK(entry.offset == qFromLittleEndian<quint32>(raw));
        KX_FUZZ_CHECK(entry.size == qFromLittleEndian<quint32>(raw + 4));
        KX_FUZZ_CHECK(entry.type == QByteArray(raw + 8, 4));
        KX_FUZZ_CHECK(entry.flag == quint8(raw[12]));
        KX_FUZZ_CHECK(entry.extra == qFromLittleEndian<quint32>(raw + 40));
    }
    // The 64 bytes after the entries are not read.
    QByteArray changed = image;
    for (int i = changed.size() - 64; i < changed.size(); ++i)
        changed[i] = char(~changed[i]);
    const auto again = readImagePartTable(changed);
    for (int i = 0; i < KXImagePartTable::EntryCount; ++i)
        KX_FUZZ_CHECK(again[size_t(i)].size == entries[size_t(i)].size &&
                      again[size_t(i)].type == entries[size_t(i)].type);
    return 0;
}
