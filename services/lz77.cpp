// The runtime's own LZ77 format: encoder and decoder.
//
// Bit stream: bits are packed least-significant first; a k-bit field goes low bit first. A token
// is either a literal (a 0 bit and the byte) or a match (a 1 bit, a length code, a distance code).
// Length n = length - 3 (0..563) is a unary-ish prefix and extra bits:
//     1 +2 bits: 0-3   01 +2: 4-7   001 +2: 8-11   0001 +3: 12-19   00001 +5: 20-51   00000 +9: 52-563
// Distance d = distance - 1 (0..262143) is a 4-bit field k: k = 0 is followed by d in 3 bits;
// otherwise j = k + 2 and d = 2^j + the next j bits.
//
// Encoder: per block of at most 1 MiB, a fresh history. Two hash tables give candidates: the
// latest position with the same 3-byte hash, and a chain of positions with the same 4-byte hash
// (walked at most 256 steps inside the 256 KiB window). A farther candidate replaces the best
// only when its gain in length pays for its larger distance code. Hashes are rolled
// incrementally; the block sits in a zero-padded work buffer so looking ahead never leaves it.
//
// Decoder: checks everything against the input before trusting it. The uncompressed size in the
// header is refused before allocating when the input could not encode that much (a 566-byte
// match takes at least 22 bits), every block must fit the size, the blocks must add up exactly to
// both header words, and no read may pass the end of the input.
#include "services/compress.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace kel {

namespace {

constexpr size_t kMaxMatch = 566;
constexpr size_t kWindow = 262144;
constexpr uint32_t kHash3Mask = 0x7FFFF;
constexpr uint32_t kHash4Mask = 0xFFFFF;
constexpr uint32_t kChainMask = 0x3FFFF;
constexpr int kChainSteps = 256;
constexpr size_t kWorkPad = kMaxMatch + 8;   // zeros after the block: hash look-ahead and compares

uint32_t load32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
void store32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); p[2] = uint8_t(v >> 16); p[3] = uint8_t(v >> 24);
}

// Writes bits least-significant first into a fixed buffer; a write that would pass the capacity
// sets overflow and nothing more is written.
struct BitWriter {
    uint8_t* out;
    size_t cap;
    size_t pos = 0;
    uint64_t acc = 0;
    unsigned n = 0;
    bool overflow = false;

    void put(uint32_t value, unsigned k) {
        acc |= uint64_t(value) << n;
        n += k;
        while (n >= 8) {
            if (pos >= cap) { overflow = true; return; }
            out[pos++] = uint8_t(acc);
            acc >>= 8;
            n -= 8;
        }
    }
    // Seven zero bits complete the last partial byte; what stays pending is padding and dropped.
    void finish_block() {
        put(0, 7);
        acc = 0;
        n = 0;
    }
    bool reserve(size_t k) {
        if (overflow || cap - pos < k) { overflow = true; return false; }
        return true;
    }
};

void put_length(BitWriter& w, uint32_t n) {
    if (n < 4) { w.put(1, 1); w.put(n, 2); }
    else if (n < 8) { w.put(2, 2); w.put(n - 4, 2); }
    else if (n < 12) { w.put(4, 3); w.put(n - 8, 2); }
    else if (n < 20) { w.put(8, 4); w.put(n - 12, 3); }
    else if (n < 52) { w.put(16, 5); w.put(n - 20, 5); }
    else { w.put(0, 5); w.put(n - 52, 9); }
}

void put_distance(BitWriter& w, uint32_t d) {
    if (d < 8) { w.put(0, 4); w.put(d, 3); return; }
    unsigned j = unsigned(std::bit_width(d)) - 1;   // 2^j <= d < 2^(j+1), j >= 3
    w.put(j - 2, 4);
    w.put(d - (1u << j), j);
}

size_t match_length(const uint8_t* a, const uint8_t* b, size_t limit) {
    size_t m = 0;
    while (m + 8 <= limit) {
        uint64_t x, y;
        std::memcpy(&x, a + m, 8);
        std::memcpy(&y, b + m, 8);
        if (x != y) return m + size_t(std::countr_zero(x ^ y) >> 3);
        m += 8;
    }
    while (m < limit && a[m] == b[m]) m++;
    return m;
}

// Heads and chain links hold position + 1, so that 0 is "none" and the tables start out as the
// zero pages of a fresh allocation: a short input touches only the few pages it hashes into.
struct Tables {
    int32_t head3[kHash3Mask + 1];
    int32_t head4[kHash4Mask + 1];
    int32_t chain[kChainMask + 1];
    uint8_t work[kLzBlock + kWorkPad];
};

void compress_block(Tables& t, size_t block_len, bool clear, BitWriter& w) {
    const uint8_t* buf = t.work;
    const int32_t L = int32_t(block_len);
    if (clear) {
        std::memset(t.head3, 0, sizeof t.head3);
        std::memset(t.head4, 0, sizeof t.head4);
    }
    uint32_t h3 = 0, h4 = 0;
    for (int i = 0; i < 3; i++) h3 = (h3 * 128 + buf[i]) & kHash3Mask;
    for (int i = 0; i < 4; i++) h4 = (h4 * 32 + buf[i]) & kHash4Mask;

    int32_t p = 0;
    while (p < L) {
        int32_t best = 2, best_dist = 0;
        const int32_t window_start = p > int32_t(kWindow) ? p - int32_t(kWindow) : 0;
        const int32_t limit = std::min<int32_t>(int32_t(kMaxMatch), L - p);
        const uint8_t* cur = buf + p;

        int32_t c = t.head3[h3] - 1;
        if (c >= window_start && c >= 0) {
            int32_t m = int32_t(match_length(buf + c, cur, size_t(limit)));
            if (m > best) { best = m; best_dist = p - c; }
        }
        // The chain walk cannot beat a best that already reaches the limit.
        if (best < int32_t(kMaxMatch) && best < limit) {
            c = t.head4[h4] - 1;
            for (int steps = 0; steps < kChainSteps && c >= 0 && c >= window_start; steps++) {
                if (buf[c + best] == cur[best] && buf[c] == cur[0]) {
                    int32_t m = int32_t(match_length(buf + c, cur, size_t(limit)));
                    int32_t dist = p - c;
                    // each factor of 8 in distance beyond the current best costs one byte
                    int32_t cost = 0;
                    for (int32_t x = dist >> 4; x > best_dist; x >>= 3) cost++;
                    if (m > best + cost) { best = m; best_dist = dist; }
                    if (m >= limit) break;
                }
                int32_t next = t.chain[uint32_t(c) & kChainMask] - 1;
                if (next >= c) break;   // links always lead back; anything else is stale
                c = next;
            }
        }
        if (best == 3 && best_dist > 65536) best = 2;

        int32_t advance;
        if (best < 3) {
            w.put(0, 1);
            w.put(cur[0], 8);
            advance = 1;
        } else {
            w.put(1, 1);
            put_length(w, uint32_t(best - 3));
            put_distance(w, uint32_t(best_dist - 1));
            advance = best;
        }
        if (w.overflow) return;
        for (int32_t q = p; q < p + advance; q++) {
            t.head3[h3] = q + 1;
            t.chain[uint32_t(q) & kChainMask] = t.head4[h4];
            t.head4[h4] = q + 1;
            h3 = (h3 * 128 + buf[q + 3]) & kHash3Mask;
            h4 = (h4 * 32 + buf[q + 4]) & kHash4Mask;
        }
        p += advance;
    }
    w.finish_block();
}

// Reads bits least-significant first from [pos, limit). A token needs at most 36 bits; refill
// keeps at least 57 buffered while input lasts, so a token is decoded without refilling and the
// bit count going negative afterwards means the token read past the input.
struct BitReader {
    const uint8_t* in;
    size_t pos;
    size_t limit;
    uint64_t buf = 0;
    int cnt = 0;

    void refill() {
        while (cnt <= 56 && pos < limit) {
            buf |= uint64_t(in[pos++]) << cnt;
            cnt += 8;
        }
    }
    uint32_t get(unsigned k) {
        uint32_t v = uint32_t(buf & ((uint64_t(1) << k) - 1));
        buf >>= k;
        cnt -= int(k);
        return v;
    }
    // Byte position after the current partial byte: whole unread bytes go back to the input.
    size_t byte_pos() const { return pos - size_t(cnt / 8); }
};

} // namespace

int64_t lz_compress(const uint8_t* src, size_t len, uint8_t* dst) {
    if (len < kLzMinInput || len > UINT32_MAX) return -1;
    std::unique_ptr<Tables, decltype(&std::free)> t(
        static_cast<Tables*>(std::calloc(1, sizeof(Tables))), &std::free);
    if (!t) return -1;
    BitWriter w{dst, len};
    w.pos = kLzHeader;
    for (size_t off = 0; off < len; off += kLzBlock) {
        size_t block = std::min(kLzBlock, len - off);
        std::memcpy(t->work, src + off, block);
        std::memset(t->work + block, 0, kWorkPad);
        if (!w.reserve(4)) return -1;
        store32(dst + w.pos, uint32_t(block));
        w.pos += 4;
        compress_block(*t, block, off > 0, w);
        if (w.overflow) return -1;
    }
    store32(dst, uint32_t(w.pos - kLzHeader));
    store32(dst + 4, uint32_t(len));
    return int64_t(w.pos);
}

uint8_t* lz_decompress(const uint8_t* in, size_t in_len, size_t* out_size) {
    if (!in || in_len < kLzHeader) return nullptr;
    const uint64_t body = load32(in);
    const uint64_t total = load32(in + 4);
    if (body > in_len - kLzHeader) return nullptr;
    // The densest token is a 566-byte match in 22 bits.
    if (total * 22 > body * 8 * kMaxMatch) return nullptr;
    auto* out = static_cast<uint8_t*>(std::malloc(size_t(total) + 8));
    if (!out) return nullptr;
    auto fail = [&]() -> uint8_t* { std::free(out); return nullptr; };

    const size_t end = kLzHeader + size_t(body);
    size_t p = kLzHeader;
    uint64_t produced = 0;
    while (p < end) {
        if (end - p < 4) return fail();
        const uint32_t L = load32(in + p);
        p += 4;
        if (L == 0 || L > kLzBlock || L > total - produced) return fail();
        uint8_t* dst = out + produced;
        BitReader r{in, p, end};
        uint32_t k = 0;
        while (k < L) {
            r.refill();
            if (r.get(1) == 0) {
                dst[k++] = uint8_t(r.get(8));
                if (r.cnt < 0) return fail();
                continue;
            }
            uint32_t n;
            if (r.get(1)) n = r.get(2);
            else if (r.get(1)) n = 4 + r.get(2);
            else if (r.get(1)) n = 8 + r.get(2);
            else if (r.get(1)) n = 12 + r.get(3);
            else if (r.get(1)) n = 20 + r.get(5);
            else n = 52 + r.get(9);
            uint32_t kd = r.get(4), d;
            if (kd == 0) d = r.get(3);
            else d = (1u << (kd + 2)) + r.get(kd + 2);
            if (r.cnt < 0) return fail();
            const uint32_t length = n + 3, dist = d + 1;
            if (dist > k || length > L - k) return fail();
            uint8_t* to = dst + k;
            const uint8_t* from = to - dist;
            if (dist >= length) std::memcpy(to, from, length);
            else if (dist == 1) std::memset(to, *from, length);
            else for (uint32_t i = 0; i < length; i++) to[i] = from[i];
            k += length;
        }
        produced += L;
        p = r.byte_pos();
    }
    if (produced != total) return fail();
    if (out_size) *out_size = size_t(total);
    return out;
}

} // namespace kel
