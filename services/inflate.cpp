// The deflate decoder, the zlib and gzip unframers, and the growing-output entries.
//
// The decoder reads stored, fixed and dynamic blocks. Bits come from a 64-bit buffer that is
// refilled to at least 57 bits while input lasts, enough for any whole length/distance token
// (at most 48 bits), so each token is decoded from the buffer without refilling. Past the end
// of the input the buffer reads as zeros; the bit count going negative shows that a token used
// such bits, and the stream is then truncated (status 2), never decoded from padding.
//
// Huffman codes are canonical. A 10-bit table indexed by the next stream bits gives symbol and
// length for the short codes; longer codes (and bit patterns no code covers, which an incomplete
// code leaves) are decoded bit by bit from the per-length counts and the symbols sorted by code.
// Code lengths must form a complete code; the one exception is a code with a single 1-bit
// symbol, and a distance code may have no symbols at all (a block of literals only).
//
// Output past the capacity is counted, not stored: once a byte does not fit, later copies only
// add their length, so a null output of capacity 0 measures the full size, beyond 4 GiB too.
#include "services/checksum.h"
#include "services/compress.h"

#include <algorithm>
#include <cstring>

namespace kel {

namespace {

constexpr unsigned kFastBits = 10;
constexpr unsigned kMaxCodeLen = 15;

constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistBase[30] = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                                    33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                                    1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5,
                                          11, 4,  12, 3, 13, 2, 14, 1, 15};

struct Huffman {
    uint16_t fast[1u << kFastBits];   // symbol << 4 | length; 0 where no short code applies
    uint16_t count[kMaxCodeLen + 1];
    uint16_t symbol[288];

    // Builds the code from n lengths. Returns false for an over-subscribed code, and for an
    // incomplete one unless it is a single 1-bit code (or empty, when allow_empty).
    bool build(const uint8_t* lengths, unsigned n, bool allow_empty) {
        std::fill(std::begin(count), std::end(count), 0);
        for (unsigned s = 0; s < n; s++) count[lengths[s]]++;
        const unsigned used = n - count[0];
        count[0] = 0;
        int left = 1;
        for (unsigned len = 1; len <= kMaxCodeLen; len++) {
            left = left * 2 - count[len];
            if (left < 0) return false;
        }
        if (left > 0) {
            const bool lone_bit = used == 1 && count[1] == 1;
            if (!lone_bit && !(used == 0 && allow_empty)) return false;
        }
        uint16_t offset[kMaxCodeLen + 2];
        offset[1] = 0;
        for (unsigned len = 1; len <= kMaxCodeLen; len++) offset[len + 1] = offset[len] + count[len];
        for (unsigned s = 0; s < n; s++)
            if (lengths[s]) symbol[offset[lengths[s]]++] = uint16_t(s);

        std::fill(std::begin(fast), std::end(fast), 0);
        uint32_t code = 0;
        unsigned index = 0;
        for (unsigned len = 1; len <= kFastBits; len++) {
            for (unsigned i = 0; i < count[len]; i++, code++, index++) {
                uint32_t rev = 0;
                for (unsigned b = 0; b < len; b++) rev |= ((code >> b) & 1) << (len - 1 - b);
                const uint16_t entry = uint16_t(symbol[index] << 4 | len);
                for (uint32_t f = rev; f < (1u << kFastBits); f += 1u << len) fast[f] = entry;
            }
            code <<= 1;
        }
        return true;
    }
};

struct Inflater {
    const uint8_t* in;
    size_t len;
    size_t pos = 0;
    uint64_t buf = 0;
    int cnt = 0;          // negative once bits past the input were used
    uint8_t* out = nullptr;
    size_t cap = 0;
    size_t n = 0;         // bytes produced, stored or not

    void refill() {
        while (cnt <= 56 && pos < len) {
            buf |= uint64_t(in[pos++]) << cnt;
            cnt += 8;
        }
    }
    uint32_t get(unsigned k) {
        const uint32_t v = uint32_t(buf & ((uint64_t(1) << k) - 1));
        buf >>= k;
        cnt -= int(k);
        return v;
    }
    // The next symbol of h, or -1 for a bit pattern that is no code.
    int decode(const Huffman& h) {
        const uint16_t e = h.fast[buf & ((1u << kFastBits) - 1)];
        if (e) {
            const unsigned l = e & 15;
            buf >>= l;
            cnt -= int(l);
            return e >> 4;
        }
        int code = 0, first = 0, index = 0;
        uint64_t b = buf;
        for (unsigned l = 1; l <= kMaxCodeLen; l++) {
            code |= int(b & 1);
            b >>= 1;
            const int c = h.count[l];
            if (code - c < first) {
                buf >>= l;
                cnt -= int(l);
                return h.symbol[index + (code - first)];
            }
            index += c;
            first = (first + c) << 1;
            code <<= 1;
        }
        return -1;
    }
    void put(uint8_t byte) {
        if (n < cap) out[n] = byte;
        n++;
    }
    void copy(size_t dist, size_t length) {
        if (n + length <= cap) {
            uint8_t* to = out + n;
            const uint8_t* from = to - dist;
            if (dist >= length) std::memcpy(to, from, length);
            else if (dist == 1) std::memset(to, *from, length);
            else for (size_t i = 0; i < length; i++) to[i] = from[i];
        } else {
            for (size_t i = 0; i < length && n + i < cap; i++) out[n + i] = out[n + i - dist];
        }
        n += length;
    }
    // Byte position just after the bits consumed so far.
    size_t byte_pos() const { return pos - size_t(cnt / 8); }

    int stored();
    int codes(const Huffman& lit, const Huffman& dist);
    int dynamic(Huffman& lit, Huffman& dist);
};

int Inflater::stored() {
    // drop to the byte boundary; whole buffered bytes go back to the input
    get(unsigned(cnt & 7));
    pos -= size_t(cnt / 8);
    buf = 0;
    cnt = 0;
    if (len - pos < 4) return kCodecBadData;
    const uint32_t length = uint32_t(in[pos]) | uint32_t(in[pos + 1]) << 8;
    const uint32_t nlength = uint32_t(in[pos + 2]) | uint32_t(in[pos + 3]) << 8;
    pos += 4;
    if ((length ^ 0xFFFF) != nlength) return kCodecBadData;
    if (len - pos < length) return kCodecStoredPastEnd;
    if (n < cap) std::memcpy(out + n, in + pos, std::min<size_t>(length, cap - n));
    n += length;
    pos += length;
    return kCodecOk;
}

int Inflater::codes(const Huffman& lit, const Huffman& dist) {
    for (;;) {
        refill();
        const int sym = decode(lit);
        if (sym < 256) {
            if (sym < 0 || cnt < 0) return kCodecBadData;
            put(uint8_t(sym));
            continue;
        }
        if (sym == 256) return cnt < 0 ? kCodecBadData : kCodecOk;
        if (sym > 285) return kCodecBadData;
        const size_t length = kLengthBase[sym - 257] + get(kLengthExtra[sym - 257]);
        const int dsym = decode(dist);
        if (dsym < 0 || dsym > 29) return kCodecBadData;
        const size_t d = kDistBase[dsym] + get(kDistExtra[dsym]);
        if (cnt < 0) return kCodecBadData;
        if (d > n) return kCodecFarDistance;
        copy(d, length);
    }
}

int Inflater::dynamic(Huffman& lit, Huffman& dist) {
    refill();
    const unsigned nlit = get(5) + 257, ndist = get(5) + 1, nclen = get(4) + 4;
    uint8_t lengths[288 + 32] = {};
    for (unsigned i = 0; i < nclen; i++) {
        refill();
        lengths[kCodeLengthOrder[i]] = uint8_t(get(3));
    }
    if (cnt < 0) return kCodecBadData;
    Huffman& clen = lit;   // the code-length code is done before the literal code is built
    if (!clen.build(lengths, 19, false)) return kCodecBadData;
    std::fill(std::begin(lengths), std::end(lengths), 0);
    const unsigned total = nlit + ndist;
    unsigned i = 0;
    while (i < total) {
        refill();
        const int sym = decode(clen);
        if (sym < 0) return kCodecBadData;
        if (sym < 16) {
            lengths[i++] = uint8_t(sym);
        } else {
            uint8_t value = 0;
            unsigned repeat;
            if (sym == 16) {
                if (i == 0) return kCodecBadData;
                value = lengths[i - 1];
                repeat = 3 + get(2);
            } else if (sym == 17) {
                repeat = 3 + get(3);
            } else {
                repeat = 11 + get(7);
            }
            if (repeat > total - i) return kCodecBadData;
            std::fill(lengths + i, lengths + i + repeat, value);
            i += repeat;
        }
        if (cnt < 0) return kCodecBadData;
    }
    if (!lit.build(lengths, nlit, false) || !dist.build(lengths + nlit, ndist, true))
        return kCodecBadData;
    return kCodecOk;
}

struct FixedCodes {
    Huffman lit, dist;
    FixedCodes() {
        uint8_t l[288];
        for (int s = 0; s < 288; s++) l[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
        lit.build(l, 288, false);
        std::fill(l, l + 32, 5);
        dist.build(l, 32, false);
    }
};

const FixedCodes& fixed_codes() {
    static const FixedCodes codes;
    return codes;
}

// Inflates one deflate stream from in[0, len). Stores the produced count in *produced and the
// byte position after the final block in *consumed. Statuses as the codec entries give them,
// except that output past the capacity is not reported here (the caller compares).
int inflate_stream(uint8_t* out, size_t cap, const uint8_t* in, size_t len, size_t* produced,
                   size_t* consumed) {
    Inflater s{in, len};
    s.out = out;
    s.cap = out ? cap : 0;
    int status = kCodecOk;
    Huffman* dyn = nullptr;
    for (;;) {
        s.refill();
        const uint32_t final = s.get(1);
        const uint32_t type = s.get(2);
        if (s.cnt < 0) { status = kCodecBadData; break; }
        if (type == 0) {
            status = s.stored();
        } else if (type == 1) {
            status = s.codes(fixed_codes().lit, fixed_codes().dist);
        } else if (type == 2) {
            if (!dyn) dyn = new Huffman[2];
            status = s.dynamic(dyn[0], dyn[1]);
            if (status == kCodecOk) status = s.codes(dyn[0], dyn[1]);
        } else {
            status = kCodecBlockType3;
        }
        if (status != kCodecOk || final) break;
    }
    delete[] dyn;
    *produced = s.n;
    *consumed = status == kCodecOk ? s.byte_pos() : len;
    return status;
}

uint32_t load_be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
uint32_t load_le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Length of the gzip member header at in, or 0 when it is malformed.
size_t gzip_header(const uint8_t* in, size_t len) {
    if (len < kGzipOverhead || in[0] != 0x1F || in[1] != 0x8B || in[2] != 8 || in[3] >= 32) return 0;
    const uint8_t flags = in[3];
    size_t p = 10;
    if (flags & 4) {   // FEXTRA
        const size_t xlen = size_t(in[10]) | size_t(in[11]) << 8;
        if (len - 12 < xlen) return 0;
        p = 12 + xlen;
    }
    for (uint8_t bit : {uint8_t(8), uint8_t(16)}) {   // FNAME, FCOMMENT
        if (!(flags & bit)) continue;
        const void* nul = p < len ? std::memchr(in + p, 0, len - p) : nullptr;
        if (!nul) return 0;
        p = size_t(static_cast<const uint8_t*>(nul) - in) + 1;
    }
    if (flags & 2) {   // FHCRC
        if (len - p < 2) return 0;
        const uint32_t want = uint32_t(in[p]) | uint32_t(in[p + 1]) << 8;
        if ((crc32(in, p) & 0xFFFF) != want) return 0;
        p += 2;
    }
    return p;
}

} // namespace

int inflate_decompress(uint8_t* out, size_t* size, const uint8_t* in, size_t len) {
    const size_t cap = out ? *size : 0;
    size_t consumed;
    const int status = inflate_stream(out, cap, in, len, size, &consumed);
    if (status != kCodecOk) return status;
    return *size > cap ? kCodecShort : kCodecOk;
}

int zlib_decompress(uint8_t* out, size_t* size, const uint8_t* in, size_t len) {
    if (len < kZlibOverhead) { *size = 0; return kCodecBadData; }
    const uint8_t cmf = in[0], flg = in[1];
    if ((cmf * 256u + flg) % 31 != 0 || (cmf & 15) != 8 || (cmf >> 4) >= 8 || (flg & 0x20)) {
        *size = 0;
        return kCodecBadData;
    }
    const int status = inflate_decompress(out, size, in + 2, len - kZlibOverhead);
    if (status != kCodecOk) return status;
    if (adler32(out, *size) != load_be32(in + len - 4)) return kCodecBadData;
    return kCodecOk;
}

int gzip_decompress(uint8_t* out, size_t* size, const uint8_t* in, size_t len) {
    const size_t cap = out ? *size : 0;
    size_t total = 0, p = 0;
    do {
        const size_t header = gzip_header(in + p, len - p);
        if (!header) { *size = total; return kCodecBadData; }
        p += header;
        uint8_t* member_out = total < cap ? out + total : nullptr;
        size_t produced, consumed;
        const int status = inflate_stream(member_out, cap - std::min(total, cap), in + p, len - p,
                                          &produced, &consumed);
        if (status != kCodecOk) { *size = total + produced; return status; }
        p += consumed;
        if (len - p < 8) { *size = total + produced; return kCodecBadData; }
        const uint32_t crc = load_le32(in + p), isize = load_le32(in + p + 4);
        p += 8;
        bool ok = isize == uint32_t(produced);
        // the check sum can be taken only over bytes that were stored
        if (ok && total + produced <= cap) ok = crc32(out + total, produced) == crc;
        total += produced;
        if (!ok) { *size = total; return kCodecBadData; }
    } while (p < len);
    *size = total;
    return total > cap ? kCodecShort : kCodecOk;
}

int codec_compress(CodecMethod method, const uint8_t* in, size_t len, std::vector<uint8_t>& out,
                   size_t limit, size_t* size) {
    const size_t overhead = method == CodecMethod::Zlib   ? kZlibOverhead
                            : method == CodecMethod::Gzip ? kGzipOverhead
                                                          : 0;
    size_t need = deflate_bound(len) + overhead;
    out.clear();
    if (need > limit) {
        // measure first: the encoder counts what it would write
        const bool passthrough = method == CodecMethod::Gzip && len > 2 && in[0] == 0x1F &&
                                 in[1] == 0x8B && in[2] == 0x08;
        size_t n = 0;
        if (passthrough) n = len;
        else { deflate_compress(nullptr, &n, in, len); n += overhead; }
        if (n > limit) {
            if (size) *size = n;
            return kCodecShort;
        }
        need = n;
    }
    out.resize(need);
    size_t n = need;
    const int status = method == CodecMethod::Deflate ? deflate_compress(out.data(), &n, in, len)
                       : method == CodecMethod::Zlib  ? zlib_compress(out.data(), &n, in, len)
                                                      : gzip_compress(out.data(), &n, in, len);
    if (size) *size = n;
    if (status != kCodecOk) {
        out.clear();
        return status;
    }
    out.resize(n);
    return kCodecOk;
}

int codec_decompress(CodecMethod method, const uint8_t* in, size_t len, std::vector<uint8_t>& out,
                     size_t limit, size_t* size) {
    auto run = [&](size_t cap, size_t* n) {
        out.resize(cap);
        *n = cap;
        uint8_t* o = cap ? out.data() : nullptr;
        return method == CodecMethod::Deflate ? inflate_decompress(o, n, in, len)
               : method == CodecMethod::Zlib  ? zlib_decompress(o, n, in, len)
                                              : gzip_decompress(o, n, in, len);
    };
    out.clear();
    size_t guess = len < SIZE_MAX / 4 ? std::max<size_t>(len * 4, 4096) : len;
    size_t n;
    int status = run(std::min(guess, limit), &n);
    if (status == kCodecShort && n <= limit) status = run(n, &n);
    if (size) *size = n;
    if (status != kCodecOk) {
        out.clear();
        return status;
    }
    out.resize(n);
    return kCodecOk;
}

} // namespace kel
