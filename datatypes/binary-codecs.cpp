// The base-2, base-16, base-58 and base-64 codecs of binary!.
//
// Plain functions over memory: no allocation from the memory manager and no errors, so the same
// code serves the lexer, the natives, PARSE and the fuzz target. Every decoder reads text of 1-,
// 2- or 4-byte units through one code-point reader, refuses any character above 127, treats ";"
// as the start of a comment up to the next line feed, and bounds every write by the room it was
// given. The base-16 and base-64 decoders run a fast loop over clean 1-byte text (whole pairs or
// groups of four) and drop to the general loop at the first character that needs a decision.
//
// Base 58 is a positional number system over the whole input, so both directions work on the
// number in 32-bit limbs, five base-58 digits (58^5 < 2^32) per multiply or divide step.
#include "datatypes/binary.h"

#include <cstring>
#include <vector>

namespace kel {

namespace {

inline uint32_t read_unit(const uint8_t* text, size_t i, uint32_t unit) {
    switch (unit) {
    case 1: return text[i];
    case 2: {
        uint16_t v;
        std::memcpy(&v, text + i * 2, 2);
        return v;
    }
    default: {
        uint32_t v;
        std::memcpy(&v, text + i * 4, 4);
        return v;
    }
    }
}

// Skips a ";" comment: i is at the ";"; answers the index of the line feed ending it (or count).
inline size_t skip_comment(const uint8_t* text, size_t i, size_t count, uint32_t unit) {
    while (i < count && read_unit(text, i, unit) != '\n') ++i;
    return i;
}

const char k_hex_digits[] = "0123456789ABCDEF";
const char k_base64_alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char k_base58_alphabet[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";

// Character classes of the decoders, for codes 0-127.
constexpr int8_t C_INVALID = -1;
constexpr int8_t C_SKIP = -2;
constexpr int8_t C_COMMENT = -3;
constexpr int8_t C_PAD = -4;

struct Tables {
    int8_t hex[128];
    int8_t b64[128];
    int8_t b58[128];
    Tables() {
        for (int c = 0; c < 128; ++c) {
            hex[c] = c <= ' ' ? C_SKIP : C_INVALID;
            b64[c] = b58[c] = C_INVALID;
        }
        for (int c = 0; c < 10; ++c) hex['0' + c] = int8_t(c);
        for (int c = 0; c < 6; ++c) hex['A' + c] = hex['a' + c] = int8_t(10 + c);
        for (int c : {8, 9, 10, 12, 13, int(' '), int('\'')}) b64[c] = b58[c] = C_SKIP;
        for (int v = 0; v < 64; ++v) b64[uint8_t(k_base64_alphabet[v])] = int8_t(v);
        for (int v = 0; v < 58; ++v) b58[uint8_t(k_base58_alphabet[v])] = int8_t(v);
        hex[';'] = b64[';'] = b58[';'] = C_COMMENT;
        b64['='] = C_PAD;
    }
};
const Tables k_tables;

int64_t decode_base2(const uint8_t* text, size_t count, uint32_t unit, uint8_t* out, size_t room) {
    size_t n = 0;
    uint32_t acc = 0, bits = 0;
    for (size_t i = 0; i < count; ++i) {
        uint32_t c = read_unit(text, i, unit);
        if (c == '0' || c == '1') {
            acc = (acc << 1) | (c - '0');
            if (++bits == 8) {
                if (n >= room) return BASE_INVALID;
                out[n++] = uint8_t(acc);
                acc = bits = 0;
            }
        } else if (c == ';') {
            i = skip_comment(text, i, count, unit);
        } else if (c > ' ') {
            return BASE_INVALID;
        }
    }
    return bits ? BASE_INVALID : int64_t(n);
}

int64_t decode_base16(const uint8_t* text, size_t count, uint32_t unit, uint8_t* out, size_t room) {
    const int8_t* table = k_tables.hex;
    size_t n = 0, i = 0;
    if (unit == 1) {
        // clean pairs of digits
        while (i + 2 <= count && n < room) {
            uint8_t a = text[i], b = text[i + 1];
            if ((a | b) & 0x80) break;
            int8_t x = table[a], y = table[b];
            if ((x | y) < 0) break;
            out[n++] = uint8_t((x << 4) | y);
            i += 2;
        }
    }
    int high = -1;
    for (; i < count; ++i) {
        uint32_t c = read_unit(text, i, unit);
        if (c > 127) return BASE_INVALID;
        int8_t v = table[c];
        if (v >= 0) {
            if (high < 0) {
                high = v;
            } else {
                if (n >= room) return BASE_INVALID;
                out[n++] = uint8_t((high << 4) | v);
                high = -1;
            }
        } else if (v == C_COMMENT) {
            i = skip_comment(text, i, count, unit);
        } else if (v != C_SKIP) {
            return BASE_INVALID;
        }
    }
    return high >= 0 ? BASE_INVALID : int64_t(n);
}

int64_t decode_base64(const uint8_t* text, size_t count, uint32_t unit, uint8_t* out, size_t room,
                      bool strict_groups) {
    const int8_t* table = k_tables.b64;
    size_t n = 0, i = 0;
    if (unit == 1) {
        // clean groups of four
        while (i + 4 <= count && n + 3 <= room) {
            uint8_t a = text[i], b = text[i + 1], c = text[i + 2], d = text[i + 3];
            if ((a | b | c | d) & 0x80) break;
            int8_t w = table[a], x = table[b], y = table[c], z = table[d];
            if ((w | x | y | z) < 0) break;
            uint32_t v = (uint32_t(w) << 18) | (uint32_t(x) << 12) | (uint32_t(y) << 6) | uint32_t(z);
            out[n] = uint8_t(v >> 16);
            out[n + 1] = uint8_t(v >> 8);
            out[n + 2] = uint8_t(v);
            n += 3;
            i += 4;
        }
    }
    uint32_t acc = 0, pending = 0;
    bool padded = false;
    for (; i < count; ++i) {
        uint32_t c = read_unit(text, i, unit);
        if (c > 127) return BASE_INVALID;
        int8_t v = table[c];
        if (v >= 0) {
            acc = (acc << 6) | uint32_t(v);
            if (++pending == 4) {
                if (n + 3 > room) return BASE_INVALID;
                out[n] = uint8_t(acc >> 16);
                out[n + 1] = uint8_t(acc >> 8);
                out[n + 2] = uint8_t(acc);
                n += 3;
                acc = pending = 0;
            }
        } else if (v == C_PAD) {
            padded = true;   // "=" ends the data
            break;
        } else if (v == C_COMMENT) {
            i = skip_comment(text, i, count, unit);
        } else if (v != C_SKIP) {
            return BASE_INVALID;
        }
    }
    switch (pending) {
    case 0: return padded ? BASE_INVALID : int64_t(n);
    case 1: return BASE_INVALID;
    case 2:
        if (strict_groups && !padded) return BASE_INVALID;
        if (n + 1 > room) return BASE_INVALID;
        out[n++] = uint8_t(acc >> 4);
        return int64_t(n);
    default:
        if (strict_groups && !padded) return BASE_INVALID;
        if (n + 2 > room) return BASE_INVALID;
        out[n] = uint8_t(acc >> 10);
        out[n + 1] = uint8_t(acc >> 2);
        return int64_t(n + 2);
    }
}

constexpr uint32_t B58_POW[6] = {1, 58, 58 * 58, 58 * 58 * 58, 58u * 58 * 58 * 58, 58u * 58 * 58 * 58 * 58};

// A little scratch area on the stack for small inputs, on the heap for large ones.
template <class T, size_t N>
struct Scratch {
    T small[N];
    std::vector<T> large;
    T* get(size_t n) {
        if (n <= N) return small;
        large.resize(n);
        return large.data();
    }
};

int64_t decode_base58(const uint8_t* text, size_t count, uint32_t unit, uint8_t* out, size_t room) {
    const int8_t* table = k_tables.b58;
    // the number in little-endian 32-bit limbs; each digit adds under 5.86 bits
    Scratch<uint32_t, 64> scratch;
    uint32_t* limbs = scratch.get(count / 5 + 2);
    size_t used = 0;         // limbs in use
    size_t zeros = 0;        // leading "1"s
    bool leading = true;
    uint32_t group = 0, digits = 0;
    auto flush = [&] {
        // limbs = limbs * 58^digits + group
        uint64_t carry = group;
        uint64_t mul = B58_POW[digits];
        for (size_t k = 0; k < used; ++k) {
            uint64_t t = uint64_t(limbs[k]) * mul + carry;
            limbs[k] = uint32_t(t);
            carry = t >> 32;
        }
        if (carry) limbs[used++] = uint32_t(carry);
        group = digits = 0;
    };
    for (size_t i = 0; i < count; ++i) {
        uint32_t c = read_unit(text, i, unit);
        if (c > 127) return BASE_INVALID;
        int8_t v = table[c];
        if (v >= 0) {
            if (leading && v == 0) {
                ++zeros;
                continue;
            }
            leading = false;
            group = group * 58 + uint32_t(v);
            if (++digits == 5) flush();
        } else if (v == C_COMMENT) {
            i = skip_comment(text, i, count, unit);
        } else if (v != C_SKIP) {
            return BASE_INVALID;
        }
    }
    if (digits) flush();
    while (used && limbs[used - 1] == 0) --used;
    size_t bytes = 0;
    if (used) {
        uint32_t top = limbs[used - 1];
        bytes = (used - 1) * 4 + (top >> 24 ? 4 : top >> 16 ? 3 : top >> 8 ? 2 : 1);
    }
    if (zeros + bytes > room) return BASE_INVALID;
    std::memset(out, 0, zeros);
    uint8_t* p = out + zeros + bytes;
    for (size_t b = 0; b < bytes; ++b) *--p = uint8_t(limbs[b / 4] >> ((b % 4) * 8));
    return int64_t(zeros + bytes);
}

} // namespace

// ---- Encoders --------------------------------------------------------------------------------------

size_t base2_encode(char* out, const uint8_t* data, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        uint8_t b = data[i];
        for (int k = 7; k >= 0; --k) *out++ = char('0' + ((b >> k) & 1));
    }
    return n * 8;
}

size_t base16_encode(char* out, const uint8_t* data, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        out[2 * i] = k_hex_digits[data[i] >> 4];
        out[2 * i + 1] = k_hex_digits[data[i] & 15];
    }
    return n * 2;
}

size_t base64_encode(char* out, const uint8_t* data, size_t n) {
    const char* a = k_base64_alphabet;
    char* p = out;
    size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        uint32_t v = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8) | data[i + 2];
        p[0] = a[v >> 18];
        p[1] = a[(v >> 12) & 63];
        p[2] = a[(v >> 6) & 63];
        p[3] = a[v & 63];
        p += 4;
    }
    if (n - i == 1) {
        uint32_t v = uint32_t(data[i]) << 16;
        p[0] = a[v >> 18];
        p[1] = a[(v >> 12) & 63];
        p[2] = p[3] = '=';
        p += 4;
    } else if (n - i == 2) {
        uint32_t v = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8);
        p[0] = a[v >> 18];
        p[1] = a[(v >> 12) & 63];
        p[2] = a[(v >> 6) & 63];
        p[3] = '=';
        p += 4;
    }
    return size_t(p - out);
}

size_t base58_encode(char* out, const uint8_t* data, size_t n) {
    size_t zeros = 0;
    while (zeros < n && data[zeros] == 0) ++zeros;
    size_t nb = n - zeros;
    // the number in big-endian 32-bit limbs (the first one holds the odd high bytes)
    size_t count = (nb + 3) / 4;
    Scratch<uint32_t, 32> limb_space;
    uint32_t* limbs = limb_space.get(count);
    {
        size_t head = nb % 4 ? nb % 4 : 4;
        const uint8_t* p = data + zeros;
        for (size_t k = 0; k < count; ++k) {
            size_t take = k == 0 ? head : 4;
            uint32_t v = 0;
            for (size_t j = 0; j < take; ++j) v = (v << 8) | *p++;
            limbs[k] = v;
        }
    }
    // digits from the end of a scratch area: five per division by 58^5
    size_t cap = nb * 2 + 5;
    Scratch<char, 96> digit_space;
    char* digits = digit_space.get(cap);
    char* end = digits + cap;
    char* d = end;
    size_t start = 0;
    while (start < count) {
        uint64_t rem = 0;
        for (size_t k = start; k < count; ++k) {
            uint64_t cur = (rem << 32) | limbs[k];
            limbs[k] = uint32_t(cur / B58_POW[5]);
            rem = cur % B58_POW[5];
        }
        while (start < count && limbs[start] == 0) ++start;
        for (int j = 0; j < 5; ++j) {
            *--d = k_base58_alphabet[rem % 58];
            rem /= 58;
        }
    }
    // the division's own leading zero digits are dropped; each zero byte gives one "1"
    while (d < end && *d == '1') ++d;
    size_t nd = size_t(end - d);
    std::memset(out, '1', zeros);
    std::memcpy(out + zeros, d, nd);
    return zeros + nd;
}

// ---- Decoders --------------------------------------------------------------------------------------

size_t base_decode_room(int base, size_t count) {
    switch (base) {
    case 2: return count / 8;
    case 16: return count / 2;
    case 58: return count;
    case 64: return (count * 3 + 9) / 4;
    default: return 0;
    }
}

int64_t base_decode(int base, const void* text, size_t count, uint32_t unit, uint8_t* out,
                    size_t room, bool strict_groups) {
    const uint8_t* t = static_cast<const uint8_t*>(text);
    if (unit != 1 && unit != 2 && unit != 4) return BASE_INVALID;
    switch (base) {
    case 2: return decode_base2(t, count, unit, out, room);
    case 16: return decode_base16(t, count, unit, out, room);
    case 58: return decode_base58(t, count, unit, out, room);
    case 64: return decode_base64(t, count, unit, out, room, strict_groups);
    default: return BASE_INVALID;
    }
}

} // namespace kel
