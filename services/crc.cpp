// CRC-32 and Adler-32.
//
// The CRC runs eight bytes per step over eight 256-entry tables ("slicing"): table 0 is the
// classic byte table, where entry n is n shifted right eight times, each time XORed with the
// polynomial when the bit shifted out is 1; table k gives the effect of a byte followed by k zero
// bytes, so eight table look-ups fold one 64-bit word into the register. The tables are computed
// at compile time. The result equals the byte-at-a-time definition
//     reg = (reg >> 8) ^ table0[(reg ^ byte) & 0xFF]
// with reg preset to 0xFFFFFFFF and inverted at the end.
//
// Adler-32 keeps a = 1 + sum of bytes and b = sum of the a's, both modulo 65521; the sums are
// reduced only once every 5552 bytes, the longest run for which b cannot pass 2^32.
#include "services/checksum.h"

#include <array>
#include <cstring>

namespace kel {

namespace {

constexpr uint32_t kCrcPolynomial = 0xEDB88320u;

using CrcTables = std::array<std::array<uint32_t, 256>, 8>;

constexpr CrcTables make_crc_tables() {
    CrcTables t{};
    for (uint32_t n = 0; n < 256; n++) {
        uint32_t c = n;
        for (int k = 0; k < 8; k++) c = (c & 1) ? (c >> 1) ^ kCrcPolynomial : c >> 1;
        t[0][n] = c;
    }
    for (uint32_t n = 0; n < 256; n++)
        for (int k = 1; k < 8; k++) t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFF];
    return t;
}

constexpr CrcTables kCrc = make_crc_tables();

constexpr uint32_t kAdlerBase = 65521;
constexpr size_t kAdlerRun = 5552;

} // namespace

uint32_t crc32_update(uint32_t crc, const uint8_t* data, size_t len) {
    uint32_t c = ~crc;
    while (len >= 8) {
        uint32_t lo, hi;
        std::memcpy(&lo, data, 4);
        std::memcpy(&hi, data + 4, 4);
        lo ^= c;  // little-endian host: the first byte is the low byte
        c = kCrc[7][lo & 0xFF] ^ kCrc[6][(lo >> 8) & 0xFF] ^ kCrc[5][(lo >> 16) & 0xFF] ^
            kCrc[4][lo >> 24] ^ kCrc[3][hi & 0xFF] ^ kCrc[2][(hi >> 8) & 0xFF] ^
            kCrc[1][(hi >> 16) & 0xFF] ^ kCrc[0][hi >> 24];
        data += 8;
        len -= 8;
    }
    while (len--) c = (c >> 8) ^ kCrc[0][(c ^ *data++) & 0xFF];
    return ~c;
}

uint32_t crc32(const uint8_t* data, size_t len) { return crc32_update(0, data, len); }

uint32_t adler32_update(uint32_t adler, const uint8_t* data, size_t len) {
    uint32_t a = adler & 0xFFFF, b = adler >> 16;
    while (len > 0) {
        size_t run = len < kAdlerRun ? len : kAdlerRun;
        len -= run;
        while (run >= 8) {
            a += data[0]; b += a; a += data[1]; b += a; a += data[2]; b += a; a += data[3]; b += a;
            a += data[4]; b += a; a += data[5]; b += a; a += data[6]; b += a; a += data[7]; b += a;
            data += 8;
            run -= 8;
        }
        while (run--) { a += *data++; b += a; }
        a %= kAdlerBase;
        b %= kAdlerBase;
    }
    return b << 16 | a;
}

uint32_t adler32(const uint8_t* data, size_t len) { return adler32_update(1, data, len); }

} // namespace kel
