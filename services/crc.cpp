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
// On x86-64 processors with carry-less multiplication, inputs of 64 bytes or more are first
// folded: four 128-bit lanes are each multiplied (over GF(2)) by x^512 mod P split in two halves
// and XORed with the next 64 bytes, then folded into one lane (x^128 mod P) and 16 bytes at a
// time. Folding keeps the remainder modulo P, so the last 16-byte value and the bytes left over
// finish through the table loop with a zero register.
//
// Adler-32 keeps a = 1 + sum of bytes and b = sum of the a's, both modulo 65521; the sums are
// reduced only once every 5552 bytes, the longest run for which b cannot pass 2^32.
#include "services/checksum.h"

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

// The table loop over a register (already inverted).
uint32_t crc_tables(uint32_t c, const uint8_t* data, size_t len) {
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
    return c;
}

#if defined(__x86_64__)
constexpr size_t kFoldMinimum = 64;

__attribute__((target("pclmul,sse4.1"))) inline __m128i fold(__m128i x, __m128i k, __m128i next) {
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

// len >= kFoldMinimum; c is the inverted register.
__attribute__((target("pclmul,sse4.1"))) uint32_t crc_folded(uint32_t c, const uint8_t* data, size_t len) {
    auto load = [](const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    __m128i x0 = _mm_xor_si128(load(data), _mm_cvtsi32_si128(int32_t(c)));
    __m128i x1 = load(data + 16), x2 = load(data + 32), x3 = load(data + 48);
    data += 64;
    len -= 64;
    const __m128i k512 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
    while (len >= 64) {
        x0 = fold(x0, k512, load(data));
        x1 = fold(x1, k512, load(data + 16));
        x2 = fold(x2, k512, load(data + 32));
        x3 = fold(x3, k512, load(data + 48));
        data += 64;
        len -= 64;
    }
    const __m128i k128 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
    __m128i x = fold(fold(fold(x0, k128, x1), k128, x2), k128, x3);
    while (len >= 16) {
        x = fold(x, k128, load(data));
        data += 16;
        len -= 16;
    }
    uint8_t last[16];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(last), x);
    return crc_tables(crc_tables(0, last, 16), data, len);
}

bool has_folding() {
    static const bool yes = [] {
        __builtin_cpu_init();   // may run before the constructors that would have done it
        return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    }();
    return yes;
}
#endif

} // namespace

uint32_t crc32_update(uint32_t crc, const uint8_t* data, size_t len) {
#if defined(__x86_64__)
    if (len >= kFoldMinimum && has_folding()) return ~crc_folded(~crc, data, len);
#endif
    return ~crc_tables(~crc, data, len);
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
