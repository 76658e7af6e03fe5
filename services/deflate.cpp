// The deflate encoder and the zlib and gzip framers around it.
//
// The encoder trades ratio for speed: one pass writing a single final block with the fixed
// Huffman codes, and a small hash table (1024 buckets of 4 positions, on the stack). At each
// position the next three bytes are hashed; the first slot of their bucket holding a position
// less than 32 KiB back whose three bytes are the same gives the match (not the longest one),
// extended up to 258 bytes. After each token its start position goes into the bucket, in a slot
// chosen by the three bytes that follow the token; positions inside a match are not inserted.
// Bytes past the end of the input are taken as zeros and never read.
//
// Output goes through a bit writer that stores bytes only while they fit and keeps counting
// after that, so a too-small buffer still learns the full size (status 1).
#include "services/checksum.h"
#include "services/compress.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace kel {

namespace {

constexpr size_t kMaxDistance = 32768;
constexpr size_t kMaxMatch = 258;
constexpr int kBuckets = 1024;
constexpr int kSlots = 4;

constexpr uint32_t reverse_bits(uint32_t code, unsigned len) {
    uint32_t r = 0;
    for (unsigned i = 0; i < len; i++) r |= ((code >> i) & 1) << (len - 1 - i);
    return r;
}

// A Huffman code as written: the bits already reversed into stream order, and their count.
struct Code {
    uint16_t bits;
    uint8_t len;
};

// Fixed literal/length codes: 0-143 8 bits from 0x30, 144-255 9 bits from 0x190, 256-279 7 bits
// from 0, 280-287 8 bits from 0xC0.
constexpr std::array<Code, 288> make_fixed_literals() {
    std::array<Code, 288> t{};
    for (uint32_t s = 0; s < 288; s++) {
        uint32_t code, len;
        if (s < 144) { code = 0x30 + s; len = 8; }
        else if (s < 256) { code = 0x190 + (s - 144); len = 9; }
        else if (s < 280) { code = s - 256; len = 7; }
        else { code = 0xC0 + (s - 280); len = 8; }
        t[s] = {uint16_t(reverse_bits(code, len)), uint8_t(len)};
    }
    return t;
}
constexpr std::array<Code, 288> kFixedLit = make_fixed_literals();

// A match length (3..258) or distance (1..32768) as its whole bit pattern: Huffman code then
// extra bits, at most 5 + 8 + ... bits; built per length and per distance code.
struct LengthCode {
    uint32_t bits;   // code followed by extra bits, in stream order
    uint8_t len;
};

constexpr std::array<LengthCode, kMaxMatch + 1> make_length_codes() {
    std::array<LengthCode, kMaxMatch + 1> t{};
    for (uint32_t length = 3; length <= kMaxMatch; length++) {
        uint32_t sym, extra_bits = 0, extra = 0;
        uint32_t v = length - 3;
        if (length == 258) sym = 285;
        else if (v < 8) sym = 257 + v;
        else {
            uint32_t nb = uint32_t(std::bit_width(v)) - 1;   // >= 3
            extra_bits = nb - 2;
            sym = 257 + 4 * (nb - 1) + ((v >> extra_bits) & 3);
            extra = v & ((1u << extra_bits) - 1);
        }
        Code c = kFixedLit[sym];
        t[length] = {uint32_t(c.bits) | extra << c.len, uint8_t(c.len + extra_bits)};
    }
    return t;
}
constexpr std::array<LengthCode, kMaxMatch + 1> kLengthCodes = make_length_codes();

// Distance code and extra bits for distance d (1..32768): 5-bit fixed code, 0-13 extra bits.
inline LengthCode distance_code(uint32_t d) {
    uint32_t v = d - 1, sym, extra_bits = 0, extra = 0;
    if (v < 4) sym = v;
    else {
        uint32_t nb = uint32_t(std::bit_width(v)) - 1;   // >= 2
        extra_bits = nb - 1;
        sym = 2 * nb + ((v >> extra_bits) & 1);
        extra = v & ((1u << extra_bits) - 1);
    }
    return {reverse_bits(sym, 5) | extra << 5, uint8_t(5 + extra_bits)};
}

// Bits least-significant first; bytes past the capacity are counted, not stored.
struct BitWriter {
    uint8_t* out;
    size_t cap;
    size_t pos = 0;
    uint64_t acc = 0;
    unsigned n = 0;

    void put(uint32_t bits, unsigned k) {
        acc |= uint64_t(bits) << n;
        n += k;
        if (n >= 32) {
            if (pos + 4 <= cap) {
                uint32_t w = uint32_t(acc);
                std::memcpy(out + pos, &w, 4);
                pos += 4;
            } else {
                for (int i = 0; i < 4; i++, pos++)
                    if (pos < cap) out[pos] = uint8_t(acc >> (8 * i));
            }
            acc >>= 32;
            n -= 32;
        }
    }
    // Pads to a byte boundary and writes what is pending.
    void flush() {
        while (n > 0) {
            if (pos < cap) out[pos] = uint8_t(acc);
            pos++;
            acc >>= 8;
            n = n > 8 ? n - 8 : 0;
        }
    }
};

// The three bytes at p as b0 << 16 | b1 << 8 | b2, bytes past the end taken as zero.
inline uint32_t three_bytes(const uint8_t* in, size_t len, size_t p) {
    if (p + 3 <= len) return uint32_t(in[p]) << 16 | uint32_t(in[p + 1]) << 8 | in[p + 2];
    uint32_t x = 0;
    for (size_t i = 0; i < 3; i++) x = x << 8 | (p + i < len ? in[p + i] : 0);
    return x;
}

inline uint32_t mix(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7FEB352Du;
    x ^= x >> 15;
    x *= 0x846CA68Bu;
    x ^= x >> 16;
    return x;
}

} // namespace

int deflate_compress(uint8_t* out, size_t* size, const uint8_t* in, size_t len) {
    const size_t cap = out ? *size : 0;
    BitWriter w{out, cap};
    w.put(1 | 1 << 1, 3);   // BFINAL = 1, BTYPE = 01 (fixed codes)

    size_t slots[kBuckets][kSlots] = {};
    size_t p = 0;
    while (p < len) {
        const uint32_t x = three_bytes(in, len, p);
        const uint32_t bucket = mix(x) & (kBuckets - 1);
        size_t match = 0, dist = 0;
        if (p >= 3 && len - p >= 3) {
            for (int i = 0; i < kSlots; i++) {
                const size_t c = slots[bucket][i];
                if (c < p && p - c < kMaxDistance && in[c] == in[p] && in[c + 1] == in[p + 1] &&
                    in[c + 2] == in[p + 2]) {
                    const size_t limit = std::min(kMaxMatch, len - p);
                    size_t m = 3;
                    while (m < limit && in[c + m] == in[p + m]) m++;
                    match = m;
                    dist = p - c;
                    break;
                }
            }
        }
        size_t advance;
        if (match) {
            LengthCode lc = kLengthCodes[match];
            LengthCode dc = distance_code(uint32_t(dist));
            w.put(lc.bits, lc.len);
            w.put(dc.bits, dc.len);
            advance = match;
        } else {
            Code c = kFixedLit[in[p]];
            w.put(c.bits, c.len);
            advance = 1;
        }
        const uint32_t next = three_bytes(in, len, p + advance);
        slots[bucket][((next >> 14) - next) & 3] = p;
        p += advance;
    }
    w.put(kFixedLit[256].bits, kFixedLit[256].len);
    w.flush();
    const bool fits = w.pos <= cap;
    *size = w.pos;
    return fits ? kCodecOk : kCodecShort;
}

int zlib_compress(uint8_t* out, size_t* size, const uint8_t* in, size_t len) {
    const size_t cap = *size;
    if (cap < kZlibOverhead) {
        *size = len + kZlibOverhead;
        return kCodecBadData;
    }
    out[0] = 0x78;
    out[1] = 0x01;
    size_t body = cap - 2;
    int status = deflate_compress(out + 2, &body, in, len);
    if (status != kCodecOk) {
        *size = body + kZlibOverhead;
        return status;
    }
    *size = body + kZlibOverhead;
    if (cap - 2 - body < 4) return kCodecShort;
    const uint32_t a = adler32(in, len);
    uint8_t* t = out + 2 + body;
    t[0] = uint8_t(a >> 24); t[1] = uint8_t(a >> 16); t[2] = uint8_t(a >> 8); t[3] = uint8_t(a);
    return kCodecOk;
}

int gzip_compress(uint8_t* out, size_t* size, const uint8_t* in, size_t len) {
    const size_t cap = *size;
    // Data that is already gzip goes through unchanged.
    if (len > 2 && in[0] == 0x1F && in[1] == 0x8B && in[2] == 0x08) {
        *size = len;
        if (cap < len) return kCodecShort;
        std::memmove(out, in, len);
        return kCodecOk;
    }
    if (cap < kGzipOverhead) {
        *size = len + kGzipOverhead;
        return kCodecBadData;
    }
    static const uint8_t header[10] = {0x1F, 0x8B, 0x08, 0x00, 0, 0, 0, 0, 0x04, 0x04};
    std::memcpy(out, header, 10);
    size_t body = cap - 10;
    int status = deflate_compress(out + 10, &body, in, len);
    *size = body + kGzipOverhead;
    if (status != kCodecOk) return status;
    if (cap - 10 - body < 8) return kCodecShort;
    const uint32_t crc = crc32(in, len);
    const uint32_t isize = uint32_t(len);
    uint8_t* t = out + 10 + body;
    for (int i = 0; i < 4; i++) {
        t[i] = uint8_t(crc >> (8 * i));
        t[4 + i] = uint8_t(isize >> (8 * i));
    }
    return kCodecOk;
}

} // namespace kel
