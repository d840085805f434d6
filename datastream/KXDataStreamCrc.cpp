#include "KXDataStreamInternal.h"

#include <array>

namespace {

// Reflected form of the CCITT polynomial 0x1021.
constexpr quint16 kPolynomial = 0x8408;

using CrcTables = std::array<std::array<quint16, 256>, 8>;

// Slicing-by-8: table k advances the CRC over a byte followed by k zero
// bytes, so eight bytes fold in with eight look-ups and no loop over bits.
constexpr CrcTables makeTables()
{
    CrcTables t{};
    for (int i = 0; i < 256; ++i) {
        quint16 crc = quint16(i);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? quint16((crc >> 1) ^ kPolynomial) : quint16(crc >> 1);
        t[0][i] = crc;
    }
    for (int k = 1; k < 8; ++k) {
        for (int i = 0; i < 256; ++i)
            t[k][i] = quint16((t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF]);
    }
    return t;
}

constexpr CrcTables kTables = makeTables();

} // namespace

quint16 dataStreamCrc16(const char* data, qsizetype size)
{
    const auto* p = reinterpret_cast<const uchar*>(data);
    quint16 crc = 0xFFFF;
    while (size >= 8) {
        const uint low = p[0] ^ (crc & 0xFF);
        const uint high = p[1] ^ (crc >> 8);
        crc = kTables[7][low] ^ kTables[6][high] ^ kTables[5][p[2]] ^ kTables[4][p[3]] ^
              kTables[3][p[4]] ^ kTables[2][p[5]] ^ kTables[1][p[6]] ^ kTables[0][p[7]];
        p += 8;
        size -= 8;
    }
    while (size-- > 0)
        crc = quint16((crc >> 8) ^ kTables[0][(crc ^ *p++) & 0xFF]);
    return quint16(~crc);
}
