// The compression codecs and checksums: CRC-32 and Adler-32 vectors; the LZ77 format's exact
// output, block layout, round trips and refusal of malformed input; deflate, zlib and gzip against
// zlib (the system library, used here only as an oracle) in both directions, hand-made streams
// for every decoder error, truncation, concatenated gzip members, output counted past the
// capacity (beyond 4 GiB too) and the growing-output entries.
#include "services/checksum.h"
#include "services/compress.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace kel;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::string to_hex(const uint8_t* p, size_t n) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}
std::string to_hex(const Bytes& b) { return to_hex(b.data(), b.size()); }

Bytes random_bytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes out(n);
    for (auto& b : out) b = uint8_t(rng());
    return out;
}

// Words from a small vocabulary with punctuation and line breaks: compressible like prose.
Bytes text_corpus(size_t n, uint32_t seed) {
    static const char* words[] = {"the", "quick", "brown", "fox", "jumps", "over", "lazy", "dog",
                                  "compression", "stream", "block", "window", "of", "a", "and",
                                  "value", "series", "context", "binding", "Kel", "runtime", "42"};
    std::mt19937 rng(seed);
    std::string s;
    while (s.size() < n) {
        s += words[rng() % (sizeof words / sizeof *words)];
        s += rng() % 13 == 0 ? ".\n" : " ";
    }
    s.resize(n);
    return bytes_of(s);
}

// Records of little-endian counters, small floats and sparse noise: typical binary data.
Bytes binary_corpus(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes out;
    for (uint32_t i = 0; out.size() < n; i++) {
        uint32_t v = i * 7;
        float f = float(i % 100) / 8.0f;
        uint8_t rec[12];
        std::memcpy(rec, &v, 4);
        std::memcpy(rec + 4, &f, 4);
        uint32_t noise = rng() % 5 == 0 ? rng() : 0;
        std::memcpy(rec + 8, &noise, 4);
        out.insert(out.end(), rec, rec + 12);
    }
    out.resize(n);
    return out;
}

struct CorpusItem {
    const char* name;
    Bytes data;
};

const std::vector<CorpusItem>& corpus() {
    static const std::vector<CorpusItem> items = [] {
        std::vector<CorpusItem> v;
        v.push_back({"empty", {}});
        v.push_back({"one byte", {0x5A}});
        v.push_back({"three bytes", bytes_of("aaa")});
        v.push_back({"short text", bytes_of("Hello, hello, hello world! Hello world.")});
        v.push_back({"text", text_corpus(100000, 1)});
        v.push_back({"binary", binary_corpus(70000, 2)});
        v.push_back({"random", random_bytes(70000, 3)});
        v.push_back({"zeros", Bytes(300000, 0)});
        v.push_back({"text MiB", text_corpus(1 << 20, 4)});
        v.push_back({"random MiB", random_bytes(1 << 20, 5)});
        return v;
    }();
    return items;
}

// ---- zlib as oracle ----

// window_bits: -15 raw deflate, 15 zlib, 31 gzip.
Bytes zlib_deflate(const Bytes& in, int level, int window_bits, int strategy = Z_DEFAULT_STRATEGY) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, window_bits, 8, strategy), Z_OK);
    Bytes out(deflateBound(&z, uLong(in.size())));
    z.next_in = const_cast<Bytes::value_type*>(in.data());
    z.avail_in = uInt(in.size());
    z.next_out = out.data();
    z.avail_out = uInt(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

Bytes zlib_inflate(const Bytes& in, int window_bits, size_t expected_size) {
    z_stream z{};
    EXPECT_EQ(inflateInit2(&z, window_bits), Z_OK);
    Bytes out(expected_size + 1);
    z.next_in = const_cast<Bytes::value_type*>(in.data());
    z.avail_in = uInt(in.size());
    z.next_out = out.data();
    z.avail_out = uInt(out.size());
    EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
    EXPECT_EQ(z.avail_in, 0u);
    out.resize(z.total_out);
    inflateEnd(&z);
    return out;
}

// ---- running our codecs on exact-size buffers, so that a read past the input is caught ----

using Codec = int (*)(uint8_t*, size_t*, const uint8_t*, size_t);

struct Outcome {
    int status;
    size_t size;
    Bytes out;   // the stored bytes: min(size, capacity)
};

Outcome run(Codec codec, const Bytes& in, size_t cap) {
    std::unique_ptr<uint8_t[]> input(new uint8_t[in.size() ? in.size() : 1]);
    if (!in.empty()) std::memcpy(input.get(), in.data(), in.size());
    std::unique_ptr<uint8_t[]> out(cap ? new uint8_t[cap] : nullptr);
    size_t size = cap;
    int status = codec(out.get(), &size, input.get(), in.size());
    Outcome r{status, size, {}};
    r.out.assign(out.get(), out.get() + std::min(size, cap));
    return r;
}

struct Framing {
    const char* name;
    Codec compress, decompress;
    int window_bits;
    size_t overhead;
};
const Framing kFramings[] = {
    {"deflate", deflate_compress, inflate_decompress, -15, 0},
    {"zlib", zlib_compress, zlib_decompress, 15, kZlibOverhead},
    {"gzip", gzip_compress, gzip_decompress, 31, kGzipOverhead},
};

Bytes ours(Codec compress, const Bytes& in) {
    Outcome r = run(compress, in, deflate_bound(in.size()) + kGzipOverhead);
    EXPECT_EQ(r.status, kCodecOk);
    return r.out;
}

// ---- bit-level writer for hand-made streams (least-significant bit first) ----

struct Bits {
    Bytes bytes;
    uint64_t acc = 0;
    unsigned n = 0;
    void put(uint32_t v, unsigned k) {
        acc |= uint64_t(v & ((uint64_t(1) << k) - 1)) << n;
        n += k;
        for (; n >= 8; n -= 8, acc >>= 8) bytes.push_back(uint8_t(acc));
    }
    // A Huffman code goes most-significant bit first.
    void code(uint32_t c, unsigned len) {
        uint32_t r = 0;
        for (unsigned i = 0; i < len; i++) r |= ((c >> i) & 1) << (len - 1 - i);
        put(r, len);
    }
    void align() { if (n) put(0, 8 - n); }
    Bytes done() { align(); return bytes; }
};

// Canonical codes for a list of code lengths.
std::vector<uint32_t> canonical(const std::vector<uint8_t>& lengths) {
    uint32_t count[16] = {}, next[16] = {};
    for (uint8_t l : lengths) count[l]++;
    count[0] = 0;
    for (int l = 1, code = 0; l < 16; l++) { code = (code + count[l - 1]) << 1; next[l] = code; }
    std::vector<uint32_t> codes(lengths.size());
    for (size_t s = 0; s < lengths.size(); s++)
        if (lengths[s]) codes[s] = next[lengths[s]]++;
    return codes;
}

constexpr uint8_t kClenOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// A dynamic block header. The lengths are sent with the code-length code clen, one symbol each,
// unless seq gives the (symbol, extra bits) to send instead.
struct Dynamic {
    std::vector<uint8_t> lit, dist;
    std::vector<uint8_t> clen = std::vector<uint8_t>(19, 0);
    std::vector<std::pair<int, uint32_t>> seq;
    std::vector<uint32_t> lit_codes, dist_codes;

    void header(Bits& b, bool final) {
        b.put(final, 1);
        b.put(2, 2);
        b.put(uint32_t(lit.size() - 257), 5);
        b.put(uint32_t(dist.size() - 1), 5);
        b.put(15, 4);   // all 19 code-length code lengths
        for (uint8_t s : kClenOrder) b.put(clen[s], 3);
        std::vector<uint32_t> cc = canonical(clen);
        if (seq.empty()) {
            for (uint8_t l : lit) b.code(cc[l], clen[l]);
            for (uint8_t l : dist) b.code(cc[l], clen[l]);
        } else {
            for (auto [sym, extra] : seq) {
                b.code(cc[sym], clen[sym]);
                if (sym == 16) b.put(extra, 2);
                if (sym == 17) b.put(extra, 3);
                if (sym == 18) b.put(extra, 7);
            }
        }
        lit_codes = canonical(lit);
        dist_codes = canonical(dist);
    }
    void literal(Bits& b, int sym) { b.code(lit_codes[sym], lit[sym]); }
    void distance(Bits& b, int sym) { b.code(dist_codes[sym], dist[sym]); }
};

// Fixed-code symbols.
void fixed_lit(Bits& b, int s) {
    if (s < 144) b.code(0x30 + s, 8);
    else if (s < 256) b.code(0x190 + s - 144, 9);
    else if (s < 280) b.code(s - 256, 7);
    else b.code(0xC0 + s - 280, 8);
}

// ---- LZ77 stream reader and writer for the tests ----

struct LzToken {
    uint32_t length;     // 1 with distance 0: a literal
    uint32_t distance;
    bool operator==(const LzToken&) const = default;
};
struct LzBlock {
    uint32_t length;
    std::vector<LzToken> tokens;
};

// Splits a compressed buffer into its blocks and tokens (the decoder's view, without copying).
std::vector<LzBlock> lz_parse(const Bytes& c) {
    auto le32 = [&](size_t p) { return uint32_t(c[p]) | c[p + 1] << 8 | c[p + 2] << 16 | uint32_t(c[p + 3]) << 24; };
    std::vector<LzBlock> blocks;
    size_t p = 8, end = 8 + le32(0);
    while (p < end) {
        LzBlock blk{le32(p), {}};
        p += 4;
        size_t bit = 0;
        auto get = [&](unsigned k) {
            uint32_t v = 0;
            for (unsigned i = 0; i < k; i++, bit++) v |= uint32_t((c.at(p + bit / 8) >> (bit % 8)) & 1) << i;
            return v;
        };
        uint32_t made = 0;
        while (made < blk.length) {
            if (!get(1)) { get(8); blk.tokens.push_back({1, 0}); made++; continue; }
            uint32_t n;
            if (get(1)) n = get(2);
            else if (get(1)) n = 4 + get(2);
            else if (get(1)) n = 8 + get(2);
            else if (get(1)) n = 12 + get(3);
            else if (get(1)) n = 20 + get(5);
            else n = 52 + get(9);
            uint32_t k = get(4), d = k == 0 ? get(3) : (1u << (k + 2)) + get(k + 2);
            blk.tokens.push_back({n + 3, d + 1});
            made += n + 3;
        }
        p += (bit + 7) / 8;
        blocks.push_back(std::move(blk));
    }
    return blocks;
}

void lz_put_literal(Bits& b, uint8_t byte) { b.put(0, 1); b.put(byte, 8); }
void lz_put_match(Bits& b, uint32_t length, uint32_t distance) {
    b.put(1, 1);
    uint32_t n = length - 3;
    if (n < 4) { b.put(1, 1); b.put(n, 2); }
    else if (n < 8) { b.put(2, 2); b.put(n - 4, 2); }
    else if (n < 12) { b.put(4, 3); b.put(n - 8, 2); }
    else if (n < 20) { b.put(8, 4); b.put(n - 12, 3); }
    else if (n < 52) { b.put(16, 5); b.put(n - 20, 5); }
    else { b.put(0, 5); b.put(n - 52, 9); }
    uint32_t d = distance - 1;
    if (d < 8) { b.put(0, 4); b.put(d, 3); return; }
    unsigned j = 31 - unsigned(__builtin_clz(d));
    b.put(j - 2, 4);
    b.put(d - (1u << j), j);
}

void put_le32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; i++) b.push_back(uint8_t(v >> (8 * i)));
}

// A compressed buffer from blocks given as (length, bit stream); header words as given or summed.
Bytes lz_buffer(const std::vector<std::pair<uint32_t, Bytes>>& blocks, int64_t body = -1,
                int64_t total = -1) {
    Bytes b;
    uint32_t sum_len = 0;
    for (auto& [len, bits] : blocks) {
        put_le32(b, len);
        b.insert(b.end(), bits.begin(), bits.end());
        sum_len += len;
    }
    Bytes out;
    put_le32(out, body < 0 ? uint32_t(b.size()) : uint32_t(body));
    put_le32(out, total < 0 ? sum_len : uint32_t(total));
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

struct LzResult {
    bool ok;
    Bytes data;
};

LzResult lz_roundtrip_decode(const Bytes& c) {
    std::unique_ptr<uint8_t[]> in(new uint8_t[c.size() ? c.size() : 1]);
    if (!c.empty()) std::memcpy(in.get(), c.data(), c.size());
    size_t size = 12345;
    uint8_t* out = lz_decompress(in.get(), c.size(), &size);
    if (!out) return {false, {}};
    LzResult r{true, Bytes(out, out + size)};
    std::free(out);
    return r;
}

Bytes lz_compress_bytes(const Bytes& in) {
    Bytes out(in.size());
    int64_t n = lz_compress(in.data(), in.size(), out.data());
    if (n < 0) return {};
    out.resize(size_t(n));
    return out;
}

} // namespace

// ================================ checksums ================================

TEST(Checksum, KnownVectors) {
    struct Case {
        std::string data;
        uint32_t crc, adler;
    } cases[] = {
        {"", 0x00000000, 0x00000001},
        {"a", 0xE8B7BE43, 0x00620062},
        {"abc", 0x352441C2, 0x024D0127},
        {"123456789", 0xCBF43926, 0x091E01DE},
        {"Wikipedia", 0xADAAC02E, 0x11E60398},
        {"The quick brown fox jumps over the lazy dog", 0x414FA339, 0x5BDC0FDA},
    };
    for (const auto& c : cases) {
        Bytes b = bytes_of(c.data);
        EXPECT_EQ(crc32(b.data(), b.size()), c.crc) << c.data;
        EXPECT_EQ(adler32(b.data(), b.size()), c.adler) << c.data;
    }
}

// Long inputs cross the sums' reduction runs and the CRC's eight-byte steps at every alignment;
// the same checksum must come out of one call, of pieces, and of zlib.
TEST(Checksum, LongInputsInPiecesAgainstZlib) {
    Bytes inputs[] = {random_bytes(1 << 20, 9), Bytes(100000, 0xFF), text_corpus(77777, 8)};
    for (const Bytes& in : inputs) {
        for (size_t len : {in.size(), in.size() - 1, size_t(5551), size_t(5553), size_t(7)}) {
            uLong want_crc = ::crc32(0, in.data(), uInt(len));
            uLong want_adler = ::adler32(1, in.data(), uInt(len));
            EXPECT_EQ(kel::crc32(in.data(), len), want_crc) << len;
            EXPECT_EQ(kel::adler32(in.data(), len), want_adler) << len;
            size_t cut = len / 3 + 1;
            if (cut > len) cut = len;
            EXPECT_EQ(crc32_update(kel::crc32(in.data(), cut), in.data() + cut, len - cut), want_crc);
            EXPECT_EQ(adler32_update(kel::adler32(in.data(), cut), in.data() + cut, len - cut),
                      want_adler);
        }
    }
}

// Every length around the 64-byte folding of the CRC (and its 16-byte steps and table tail), at
// every alignment, continued from a register that is not the initial one.
TEST(Checksum, CrcAtEveryLengthAndAlignment) {
    Bytes in = random_bytes(512 + 16, 21);
    for (size_t offset = 0; offset < 16; ++offset)
        for (size_t len = 0; len <= 512; ++len) {
            const uint8_t* p = in.data() + offset;
            ASSERT_EQ(kel::crc32(p, len), ::crc32(0, p, uInt(len))) << offset << " " << len;
            ASSERT_EQ(crc32_update(0x12345678, p, len), ::crc32(0x12345678, p, uInt(len))) << offset << " " << len;
        }
}

// ================================ LZ77 ================================

TEST(Lz77, ShortInputIsNotCompressed) {
    Bytes in(127, 'a');
    Bytes out(127);
    EXPECT_EQ(lz_compress(in.data(), in.size(), out.data()), -1);
    in.push_back('a');
    out.resize(128);
    EXPECT_GT(lz_compress(in.data(), in.size(), out.data()), 0);
}

TEST(Lz77, ExactBytesOfARun) {
    Bytes c = lz_compress_bytes(Bytes(128, 'a'));
    EXPECT_EQ(to_hex(c), "08000000" "80000000" "80000000" "C2022400");
    LzResult d = lz_roundtrip_decode(c);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.data, Bytes(128, 'a'));
}

TEST(Lz77, RunIsALiteralThenLongestMatches) {
    Bytes c = lz_compress_bytes(Bytes(600, 'a'));
    auto blocks = lz_parse(c);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].length, 600u);
    std::vector<LzToken> want = {{1, 0}, {566, 1}, {33, 1}};
    EXPECT_EQ(blocks[0].tokens, want);
    EXPECT_EQ(lz_roundtrip_decode(c).data, Bytes(600, 'a'));
}

TEST(Lz77, BlocksOfOneMebibyte) {
    Bytes one = text_corpus(kLzBlock, 11);
    Bytes two = one;
    two.push_back('!');
    Bytes c1 = lz_compress_bytes(one), c2 = lz_compress_bytes(two);
    ASSERT_FALSE(c1.empty());
    ASSERT_FALSE(c2.empty());
    auto b1 = lz_parse(c1), b2 = lz_parse(c2);
    ASSERT_EQ(b1.size(), 1u);
    EXPECT_EQ(b1[0].length, kLzBlock);
    ASSERT_EQ(b2.size(), 2u);
    EXPECT_EQ(b2[0].length, kLzBlock);
    EXPECT_EQ(b2[1].length, 1u);
    EXPECT_EQ(b2[1].tokens, (std::vector<LzToken>{{1, 0}}));   // no match into the first block
    EXPECT_EQ(lz_roundtrip_decode(c1).data, one);
    EXPECT_EQ(lz_roundtrip_decode(c2).data, two);
}

// Matches of every length code and distances across the window, over several blocks.
TEST(Lz77, RoundTrips) {
    std::vector<Bytes> inputs = {Bytes(128, 0), text_corpus(200, 1), binary_corpus(300000, 2),
                                 text_corpus(3 * kLzBlock + 1000, 3), Bytes(kLzBlock + 5, 7)};
    // Far repeats: random blocks repeated at distances up to the window size.
    Bytes far = random_bytes(20000, 4);
    Bytes filler = text_corpus(262144 - 20000, 5);
    far.insert(far.end(), filler.begin(), filler.end());
    far.insert(far.end(), far.begin(), far.begin() + 20000);
    inputs.push_back(far);
    for (const Bytes& in : inputs) {
        Bytes c = lz_compress_bytes(in);
        ASSERT_FALSE(c.empty()) << in.size();
        EXPECT_LT(c.size(), in.size());
        LzResult d = lz_roundtrip_decode(c);
        ASSERT_TRUE(d.ok) << in.size();
        EXPECT_EQ(d.data, in) << in.size();
    }
    // the far copy was found, at the largest distance
    bool farthest = false;
    for (const auto& blk : lz_parse(lz_compress_bytes(far)))
        for (const auto& t : blk.tokens) farthest |= t.distance == 262144 && t.length == 566;
    EXPECT_TRUE(farthest);
}

TEST(Lz77, IncompressibleInputDoesNotFit) {
    Bytes in = random_bytes(5000, 6);
    Bytes out(in.size());
    EXPECT_EQ(lz_compress(in.data(), in.size(), out.data()), -1);
}

TEST(Lz77, MalformedInputIsRefused) {
    Bits lit_a;
    lz_put_literal(lit_a, 'a');
    Bits lit_match;   // "a" then 4 more: 5 bytes
    lz_put_literal(lit_match, 'a');
    lz_put_match(lit_match, 4, 1);
    Bits match_first;   // a match with nothing produced yet
    lz_put_match(match_first, 3, 1);
    Bits too_long;   // "a" then a match of 5: passes the block of 4
    lz_put_literal(too_long, 'a');
    lz_put_match(too_long, 5, 1);
    Bits far;   // "ab" then distance 3
    lz_put_literal(far, 'a');
    lz_put_literal(far, 'b');
    lz_put_match(far, 3, 3);

    Bytes good = lz_buffer({{5, lit_match.done()}});
    ASSERT_TRUE(lz_roundtrip_decode(good).ok);
    EXPECT_EQ(lz_roundtrip_decode(good).data, bytes_of("aaaaa"));

    Bytes two_blocks = lz_buffer({{1, lit_a.done()}, {5, lit_match.done()}});
    ASSERT_TRUE(lz_roundtrip_decode(two_blocks).ok);
    Bytes cross_block = lz_buffer({{1, lit_a.done()}, {3, match_first.done()}});

    Bytes big_block = lz_buffer({{5, lit_match.done()}});
    big_block[8] = 0x01; big_block[9] = 0x00; big_block[10] = 0x10;   // 1048577
    struct Case {
        const char* name;
        Bytes data;
    } cases[] = {
        {"shorter than the header", Bytes(7, 0)},
        {"block length 0", lz_buffer({{0, lit_a.done()}})},
        {"block length 1048577", big_block},
        {"match before the block start", lz_buffer({{3, match_first.done()}})},
        {"match into the previous block", cross_block},
        {"match past the block end", lz_buffer({{4, too_long.done()}})},
        {"distance past the output", lz_buffer({{5, far.done()}})},
        {"byte count beyond the input", lz_buffer({{5, lit_match.done()}}, 20)},
        {"byte count short of the blocks", lz_buffer({{1, lit_a.done()}, {5, lit_match.done()}}, 6)},
        {"total size above the blocks", lz_buffer({{5, lit_match.done()}}, -1, 6)},
        {"total size below the blocks", lz_buffer({{5, lit_match.done()}}, -1, 4)},
        {"total size beyond what the input can encode", lz_buffer({{5, lit_match.done()}}, -1, 0xFFFFFFF0)},
        {"block header cut", Bytes{6, 0, 0, 0, 5, 0, 0, 0, 5, 0}},
    };
    for (const auto& c : cases) EXPECT_FALSE(lz_roundtrip_decode(c.data).ok) << c.name;

    // Every proper prefix of a real stream (its header still claiming the whole) is refused.
    Bytes real = lz_compress_bytes(text_corpus(3000, 12));
    ASSERT_FALSE(real.empty());
    for (size_t n = 0; n < real.size(); n++)
        EXPECT_FALSE(lz_roundtrip_decode(Bytes(real.begin(), real.begin() + n)).ok) << n;
    // Bytes after the declared body are not part of the data.
    Bytes padded = real;
    padded.push_back(0xEE);
    EXPECT_EQ(lz_roundtrip_decode(padded).data, text_corpus(3000, 12));
}

// ================================ deflate ================================

TEST(Deflate, EmptyInput) {
    EXPECT_EQ(to_hex(ours(deflate_compress, {})), "0300");
    EXPECT_EQ(to_hex(ours(zlib_compress, {})), "7801030000000001");
    EXPECT_EQ(to_hex(ours(gzip_compress, {})), "1F8B08000000000004040300" "0000000000000000");
    for (const Framing& f : kFramings) {
        Outcome r = run(f.decompress, ours(f.compress, {}), 16);
        EXPECT_EQ(r.status, kCodecOk) << f.name;
        EXPECT_EQ(r.size, 0u) << f.name;
    }
}

// Three identical bytes are all literals (no match starts before three bytes precede it): the
// block header, three 8-bit codes and the end code, exactly.
TEST(Deflate, ShortInputsAreLiterals) {
    Bytes in = bytes_of("aaa");
    Bits b;
    b.put(1, 1);
    b.put(1, 2);
    for (int i = 0; i < 3; i++) fixed_lit(b, 'a');
    fixed_lit(b, 256);
    EXPECT_EQ(ours(deflate_compress, in), b.done());
}

// Our encoder's output read back by zlib, in all three framings.
TEST(Deflate, OursDecodedByZlib) {
    for (const auto& item : corpus()) {
        for (const Framing& f : kFramings) {
            Bytes c = ours(f.compress, item.data);
            EXPECT_LE(c.size(), deflate_bound(item.data.size()) + f.overhead);
            EXPECT_EQ(zlib_inflate(c, f.window_bits, item.data.size()), item.data)
                << item.name << " " << f.name;
        }
    }
}

// zlib's output at every level and strategy read back by our decoders: stored, fixed and
// dynamic blocks.
TEST(Deflate, ZlibDecodedByOurs) {
    auto check = [](const Framing& f, const Bytes& c, const Bytes& want, const std::string& what) {
        Outcome r = run(f.decompress, c, want.size());
        EXPECT_EQ(r.status, kCodecOk) << what;
        EXPECT_EQ(r.size, want.size()) << what;
        EXPECT_TRUE(r.out == want) << what;
    };
    for (const auto& item : corpus()) {
        for (int level = 0; level <= 9; level++)
            check(kFramings[1], zlib_deflate(item.data, level, 15), item.data,
                  std::string(item.name) + " level " + std::to_string(level));
        for (int strategy : {Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED}) {
            check(kFramings[0], zlib_deflate(item.data, 6, -15, strategy), item.data,
                  std::string(item.name) + " raw strategy " + std::to_string(strategy));
            check(kFramings[2], zlib_deflate(item.data, 6, 31, strategy), item.data,
                  std::string(item.name) + " gzip strategy " + std::to_string(strategy));
        }
    }
    // The usual zlib header 78 9C.
    Bytes c = zlib_deflate(bytes_of("hello hello hello"), Z_DEFAULT_COMPRESSION, 15);
    EXPECT_EQ(c[0], 0x78);
    EXPECT_EQ(c[1], 0x9C);
    check(kFramings[1], c, bytes_of("hello hello hello"), "78 9C");
}

// A stream with stored, fixed and dynamic blocks, cut anywhere before its end, never decodes.
TEST(Deflate, EveryProperPrefixFails) {
    Bytes text = text_corpus(800, 21), noise = random_bytes(150, 22);
    auto mixed = [&](int window_bits) {
        z_stream z{};
        deflateInit2(&z, 6, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY);
        Bytes out(20000);
        z.next_out = out.data();
        z.avail_out = uInt(out.size());
        auto feed = [&](const Bytes& in, int level, int strategy, int flush) {
            deflateParams(&z, level, strategy);
            z.next_in = const_cast<uint8_t*>(in.data());
            z.avail_in = uInt(in.size());
            deflate(&z, flush);
        };
        feed(text, 0, Z_DEFAULT_STRATEGY, Z_FULL_FLUSH);
        feed(text, 6, Z_FIXED, Z_FULL_FLUSH);
        feed(noise, 6, Z_DEFAULT_STRATEGY, Z_FULL_FLUSH);
        feed(text, 9, Z_DEFAULT_STRATEGY, Z_FINISH);
        out.resize(z.total_out);
        deflateEnd(&z);
        return out;
    };
    Bytes whole = text;
    whole.insert(whole.end(), text.begin(), text.end());
    whole.insert(whole.end(), noise.begin(), noise.end());
    whole.insert(whole.end(), text.begin(), text.end());
    // By hand, surely one block of each type: stored "abc", fixed "ab" and a match of 3 at
    // distance 3, dynamic "aa".
    Bits b;
    b.put(0, 3);
    b.align();
    b.put(3, 16);
    b.put(0xFFFC, 16);
    for (char ch : std::string("abc")) b.put(uint8_t(ch), 8);
    b.put(2, 3);
    fixed_lit(b, 'a');
    fixed_lit(b, 'b');
    fixed_lit(b, 257);
    b.code(2, 5);
    fixed_lit(b, 256);
    Dynamic d;
    d.lit.assign(257, 0);
    d.lit['a'] = 1;
    d.lit[256] = 1;
    d.dist = {1};
    d.clen[0] = 1;
    d.clen[1] = 1;
    d.header(b, true);
    d.literal(b, 'a');
    d.literal(b, 'a');
    d.literal(b, 256);
    const Bytes hand_raw = b.done(), hand_out = bytes_of("abcabcabaa");
    auto framed = [&](const Framing& f) {
        Bytes s = hand_raw;
        const uint32_t adler = kel::adler32(hand_out.data(), hand_out.size());
        const uint32_t crc = kel::crc32(hand_out.data(), hand_out.size());
        if (f.window_bits == 15) {
            s.insert(s.begin(), {0x78, 0x01});
            for (int i = 3; i >= 0; i--) s.push_back(uint8_t(adler >> (8 * i)));
        } else if (f.window_bits == 31) {
            s.insert(s.begin(), {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 3});
            put_le32(s, crc);
            put_le32(s, uint32_t(hand_out.size()));
        }
        return s;
    };
    for (const Framing& f : kFramings) {
        Outcome h = run(f.decompress, framed(f), 64);
        ASSERT_EQ(h.status, kCodecOk) << f.name;
        ASSERT_EQ(h.out, hand_out) << f.name;
        for (const Bytes& stream : {mixed(f.window_bits), ours(f.compress, whole), framed(f)}) {
            const Bytes& want = stream == framed(f) ? hand_out : whole;
            Outcome r = run(f.decompress, stream, want.size());
            ASSERT_EQ(r.status, kCodecOk) << f.name;
            ASSERT_EQ(r.out, want) << f.name;
            for (size_t n = 0; n < stream.size(); n++) {
                Outcome p = run(f.decompress, Bytes(stream.begin(), stream.begin() + n), whole.size());
                EXPECT_NE(p.status, kCodecOk) << f.name << " prefix " << n;
                EXPECT_NE(p.status, kCodecShort) << f.name << " prefix " << n;
            }
        }
    }
}

TEST(Deflate, DecoderErrors) {
    // a stored block "abc" (final), optionally damaged
    auto stored = [](uint16_t len, uint16_t nlen, const std::string& body) {
        Bytes b{0x01, uint8_t(len), uint8_t(len >> 8), uint8_t(nlen), uint8_t(nlen >> 8)};
        b.insert(b.end(), body.begin(), body.end());
        return b;
    };
    auto fixed = [](std::initializer_list<std::pair<int, int>> syms) {   // (symbol, extra bits count) pairs
        Bits b;
        b.put(1, 1);
        b.put(1, 2);
        for (auto [s, dist] : syms) {
            if (s >= 0) fixed_lit(b, s);
            else { b.code(uint32_t(-s - 1), 5); (void)dist; }
        }
        return b.done();
    };
    // Dynamic blocks: the code-length code gives 0, 1, 2 and 16/17/18 2- or 3-bit codes.
    auto dyn_base = [] {
        Dynamic d;
        d.lit.assign(257, 0);
        d.lit['a'] = 1;
        d.lit[256] = 1;
        d.dist.assign(1, 1);
        d.clen[0] = 2; d.clen[1] = 2; d.clen[16] = 3; d.clen[17] = 3; d.clen[18] = 2;
        return d;
    };
    auto dyn_seq = [&](std::vector<std::pair<int, uint32_t>> seq) {
        Dynamic d = dyn_base();
        d.seq = std::move(seq);
        Bits b;
        d.header(b, true);
        return b.done();
    };
    auto dyn_lengths = [&](std::vector<uint8_t> lit, std::vector<uint8_t> dist, bool end_block) {
        Dynamic d = dyn_base();
        d.lit = std::move(lit);
        d.dist = std::move(dist);
        d.clen.assign(19, 0);
        d.clen[0] = 2; d.clen[1] = 2; d.clen[2] = 2; d.clen[3] = 2;
        Bits b;
        d.header(b, true);
        if (end_block) d.literal(b, 256);
        return b.done();
    };
    std::vector<uint8_t> lit257(257, 0);
    auto with = [&](std::initializer_list<std::pair<int, uint8_t>> set) {
        std::vector<uint8_t> v = lit257;
        for (auto [s, l] : set) v[size_t(s)] = l;
        return v;
    };
    struct Case {
        const char* name;
        Bytes data;
        int status;
        Bytes out;
    } cases[] = {
        {"stored", stored(3, 0xFFFC, "abc"), kCodecOk, bytes_of("abc")},
        {"stored past the input", stored(4, 0xFFFB, "abc"), kCodecStoredPastEnd, {}},
        {"stored NLEN not the complement", stored(3, 0xFFFD, "abc"), kCodecBadData, {}},
        {"stored header cut", Bytes{0x01, 3, 0, 0xFC}, kCodecBadData, {}},
        {"block type 3", Bytes{0x07, 0}, kCodecBlockType3, {}},
        {"empty input", Bytes{}, kCodecBadData, {}},
        {"fixed literals", fixed({{'h', 0}, {'i', 0}, {256, 0}}), kCodecOk, bytes_of("hi")},
        {"fixed without the end code", fixed({{'h', 0}, {'i', 0}}), kCodecBadData, {}},
        {"fixed literal/length 286", fixed({{'h', 0}, {286, 0}}), kCodecBadData, {}},
        {"fixed literal/length 287", fixed({{'h', 0}, {287, 0}}), kCodecBadData, {}},
        {"fixed distance 30", fixed({{'h', 0}, {257, 0}, {-31, 0}, {256, 0}}), kCodecBadData, {}},
        {"fixed distance 31", fixed({{'h', 0}, {257, 0}, {-32, 0}, {256, 0}}), kCodecBadData, {}},
        {"distance before the output", fixed({{'h', 0}, {257, 0}, {-2, 0}, {256, 0}}), kCodecFarDistance, {}},
        {"match at distance 1", fixed({{'h', 0}, {257, 0}, {-1, 0}, {256, 0}}), kCodecOk, bytes_of("hhhh")},
        {"repeat 16 first", dyn_seq({{16, 0}}), kCodecBadData, {}},
        {"lengths past HLIT+HDIST", dyn_seq({{18, 127}, {18, 127}, {18, 127}}), kCodecBadData, {}},
        {"literal code over-subscribed",
         dyn_lengths(with({{'a', 1}, {'b', 1}, {256, 1}}), {1}, true), kCodecBadData, {}},
        {"literal code incomplete", dyn_lengths(with({{'a', 2}, {256, 2}}), {1}, true), kCodecBadData, {}},
        {"literal code a lone 1-bit code", dyn_lengths(with({{256, 1}}), {0}, true), kCodecOk, {}},
        {"distance code incomplete", dyn_lengths(with({{'a', 1}, {256, 1}}), {2, 2, 2}, true),
         kCodecBadData, {}},
        {"distance code over-subscribed", dyn_lengths(with({{'a', 1}, {256, 1}}), {1, 1, 1}, true),
         kCodecBadData, {}},
        {"dynamic header cut", Bytes{0x05, 0x00}, kCodecBadData, {}},
    };
    for (const auto& c : cases) {
        Outcome r = run(inflate_decompress, c.data, 64);
        EXPECT_EQ(r.status, c.status) << c.name;
        if (c.status == kCodecOk) {
            EXPECT_EQ(r.out, c.out) << c.name;
        }
    }
    // Code-length codes: over-subscribed and incomplete are refused.
    for (auto [name, lens] : {std::pair{"over-subscribed", std::vector<uint8_t>{1, 1, 1}},
                              std::pair{"incomplete", std::vector<uint8_t>{2, 2, 0}}}) {
        Bits b;
        b.put(1, 1);
        b.put(2, 2);
        b.put(0, 5);
        b.put(0, 5);
        b.put(15, 4);
        for (uint8_t s : kClenOrder) b.put(s < 3 ? lens[s] : 0, 3);
        b.put(0, 32);
        b.put(0, 32);
        EXPECT_EQ(run(inflate_decompress, b.done(), 64).status, kCodecBadData) << name;
    }
}

TEST(Deflate, ZlibFrameErrors) {
    Bytes good = ours(zlib_compress, bytes_of("framed data"));
    auto changed = [&](size_t at, uint8_t v) { Bytes b = good; b[at] = v; return b; };
    Bytes bad_adler = good;
    bad_adler.back() ^= 1;
    // 78 01 with FDICT set: 0x78 0x20 | check bits
    Bytes fdict = good;
    fdict[1] = 0x20;
    fdict[1] = uint8_t(fdict[1] + (31 - (0x78 * 256 + fdict[1]) % 31) % 31);
    struct Case {
        const char* name;
        Bytes data;
    } cases[] = {
        {"under 6 bytes", Bytes{0x78, 0x01, 0x03, 0x00, 0x00}},
        {"header check", changed(1, 0x02)},
        {"method not 8", changed(0, 0x77)},
        {"window above 32 KiB", Bytes{0x88, 0x1C, 0x03, 0x00, 0, 0, 0, 1}},
        {"preset dictionary", fdict},
        {"Adler-32 mismatch", bad_adler},
    };
    ASSERT_EQ(run(zlib_decompress, good, 64).status, kCodecOk);
    for (const auto& c : cases) EXPECT_EQ(run(zlib_decompress, c.data, 64).status, kCodecBadData) << c.name;
}

TEST(Deflate, GzipHeaderFields) {
    Bytes body = ours(deflate_compress, bytes_of("gzip body"));
    uint32_t crc = kel::crc32(reinterpret_cast<const uint8_t*>("gzip body"), 9);
    auto member = [&](uint8_t flags, bool good_hcrc) {
        Bytes b{0x1F, 0x8B, 0x08, flags, 1, 2, 3, 4, 0, 3};
        if (flags & 4) { b.push_back(3); b.push_back(0); b.push_back('x'); b.push_back('y'); b.push_back('z'); }
        if (flags & 8) { for (char ch : std::string("name.txt")) b.push_back(uint8_t(ch)); b.push_back(0); }
        if (flags & 16) { for (char ch : std::string("a comment")) b.push_back(uint8_t(ch)); b.push_back(0); }
        if (flags & 2) {
            uint32_t h = kel::crc32(b.data(), b.size()) ^ (good_hcrc ? 0 : 1);
            b.push_back(uint8_t(h));
            b.push_back(uint8_t(h >> 8));
        }
        b.insert(b.end(), body.begin(), body.end());
        put_le32(b, crc);
        put_le32(b, 9);
        return b;
    };
    for (uint8_t flags : {0, 2, 4, 8, 16, 8 | 2, 4 | 8 | 16 | 2, 1}) {
        Outcome r = run(gzip_decompress, member(flags, true), 64);
        EXPECT_EQ(r.status, kCodecOk) << int(flags);
        EXPECT_EQ(r.out, bytes_of("gzip body")) << int(flags);
    }
    Bytes no_nul = member(8, true);
    no_nul.resize(12);   // the name runs to the end
    Bytes short_extra = member(4, true);
    short_extra[10] = 0xFF;
    Bytes wrong_crc = member(0, true);
    wrong_crc[wrong_crc.size() - 8] ^= 1;
    struct Case {
        const char* name;
        Bytes data;
    } cases[] = {
        {"wrong header CRC", member(8 | 2, false)},
        {"reserved flag", member(32, true)},
        {"ID1", [&] { Bytes b = member(0, true); b[0] = 0x1E; return b; }()},
        {"ID2", [&] { Bytes b = member(0, true); b[1] = 0x8C; return b; }()},
        {"method", [&] { Bytes b = member(0, true); b[2] = 7; return b; }()},
        {"under 18 bytes", Bytes{0x1F, 0x8B, 0x08, 0, 0, 0, 0, 0, 0, 3, 3, 0, 0, 0, 0, 0, 0}},
        {"name without its NUL", no_nul},
        {"extra field past the end", short_extra},
        {"CRC-32 mismatch", wrong_crc},
    };
    for (const auto& c : cases) EXPECT_EQ(run(gzip_decompress, c.data, 64).status, kCodecBadData) << c.name;
}

TEST(Deflate, GzipMembersConcatenate) {
    Bytes a = text_corpus(5000, 31), b = binary_corpus(7000, 32);
    Bytes stream = ours(gzip_compress, a);
    Bytes second = zlib_deflate(b, 9, 31);
    stream.insert(stream.end(), second.begin(), second.end());
    Bytes empty_member = ours(gzip_compress, {});
    stream.insert(stream.end(), empty_member.begin(), empty_member.end());
    Bytes both = a;
    both.insert(both.end(), b.begin(), b.end());
    Outcome r = run(gzip_decompress, stream, both.size());
    EXPECT_EQ(r.status, kCodecOk);
    EXPECT_EQ(r.out, both);
    // counted without storing, and with only the first member stored
    Outcome counted = run(gzip_decompress, stream, 0);
    EXPECT_EQ(counted.status, kCodecShort);
    EXPECT_EQ(counted.size, both.size());
    Outcome partial = run(gzip_decompress, stream, a.size() + 10);
    EXPECT_EQ(partial.status, kCodecShort);
    EXPECT_EQ(partial.size, both.size());
    EXPECT_TRUE(std::equal(partial.out.begin(), partial.out.end(), both.begin()));

    for (Bytes tail : {Bytes{0}, Bytes(8, 0), Bytes{0x1F, 0x8B}, ours(deflate_compress, a)}) {
        Bytes s = stream;
        s.insert(s.end(), tail.begin(), tail.end());
        EXPECT_EQ(run(gzip_decompress, s, both.size()).status, kCodecBadData) << tail.size();
    }
}

// ISIZE must be the member's length exactly (mod 2^32), and never decides the size reported.
TEST(Deflate, ForgedIsize) {
    Bytes data = text_corpus(1000, 41);
    Bytes good = ours(gzip_compress, data);
    for (uint32_t forged : {999u, 1001u, 0xFFFFFFFFu, 1000u + 0x10000u}) {
        Bytes b = good;
        for (int i = 0; i < 4; i++) b[b.size() - 4 + i] = uint8_t(forged >> (8 * i));
        EXPECT_EQ(run(gzip_decompress, b, 4096).status, kCodecBadData) << forged;
        EXPECT_EQ(run(gzip_decompress, b, 10).status, kCodecBadData) << forged;
    }
    Outcome r = run(gzip_decompress, good, 10);
    EXPECT_EQ(r.status, kCodecShort);
    EXPECT_EQ(r.size, 1000u);
}

// Too small an output: the status is 1, the size is what the whole output needs, and the bytes
// that fit are the right ones. The encoders likewise.
TEST(Deflate, OutputPastTheCapacity) {
    Bytes data = text_corpus(50000, 51);
    for (const Framing& f : kFramings) {
        Bytes c = ours(f.compress, data);
        for (size_t cap : {size_t(0), size_t(1), size_t(777), data.size() - 1}) {
            Outcome r = run(f.decompress, c, cap);
            EXPECT_EQ(r.status, kCodecShort) << f.name << " " << cap;
            EXPECT_EQ(r.size, data.size()) << f.name << " " << cap;
            EXPECT_TRUE(std::equal(r.out.begin(), r.out.end(), data.begin())) << f.name << " " << cap;
        }
        for (size_t cap : {f.overhead, c.size() - 1}) {
            if (cap == 0) continue;
            Outcome r = run(f.compress, data, cap);
            EXPECT_EQ(r.status, kCodecShort) << f.name << " " << cap;
            EXPECT_EQ(r.size, c.size()) << f.name << " " << cap;
            EXPECT_TRUE(std::equal(r.out.begin(), r.out.begin() + 2, c.begin())) << f.name;
        }
        if (f.overhead) {
            Outcome r = run(f.compress, data, f.overhead - 1);
            EXPECT_EQ(r.status, kCodecBadData) << f.name;
            EXPECT_EQ(r.size, data.size() + f.overhead) << f.name;
        }
    }
    Outcome d = run(deflate_compress, data, 0);
    EXPECT_EQ(d.status, kCodecShort);
    EXPECT_EQ(d.size, ours(deflate_compress, data).size());
}

// A null output holds nothing, whatever capacity the size word claims.
TEST(Deflate, NullOutputOnlyCounts) {
    Bytes data = text_corpus(5000, 81);
    for (const Framing& f : kFramings) {
        Bytes c = ours(f.compress, data);
        size_t size = 1 << 20;
        EXPECT_EQ(f.decompress(nullptr, &size, c.data(), c.size()), kCodecShort) << f.name;
        EXPECT_EQ(size, data.size()) << f.name;
    }
    size_t size = 1 << 20;
    EXPECT_EQ(deflate_compress(nullptr, &size, data.data(), data.size()), kCodecShort);
    EXPECT_EQ(size, ours(deflate_compress, data).size());
}

// Gzip data given to the gzip encoder passes through unchanged.
TEST(Deflate, GzipInputPassesThrough) {
    Bytes g = ours(gzip_compress, text_corpus(2000, 61));
    Outcome r = run(gzip_compress, g, g.size());
    EXPECT_EQ(r.status, kCodecOk);
    EXPECT_EQ(r.out, g);
    EXPECT_EQ(run(gzip_compress, g, g.size() - 1).status, kCodecShort);
}

// The encoder reads only its input: inputs of every small length, in exact-size buffers (a
// sanitized build reports any read past them), and their round trips.
TEST(Deflate, SmallInputsRoundTrip) {
    Bytes pool = bytes_of("abcabcabcaaaaaaaaaaaaxyzxyzxyz");
    for (size_t n = 0; n <= pool.size(); n++) {
        Bytes in(pool.begin(), pool.begin() + n);
        for (const Framing& f : kFramings) {
            Outcome r = run(f.decompress, ours(f.compress, in), 64);
            EXPECT_EQ(r.status, kCodecOk) << f.name << n;
            EXPECT_EQ(r.out, in) << f.name << n;
        }
    }
}

// A dynamic block whose length code 285 and distance code 0 take one bit each: 2 bits per
// 258 bytes. 16.7 million matches make more than 4 GiB, counted without being stored.
TEST(Deflate, OutputBeyondFourGibibytesIsCounted) {
    Dynamic d;
    d.lit.assign(286, 0);
    d.lit['a'] = 2;
    d.lit[256] = 2;
    d.lit[285] = 1;
    d.dist = {1, 1};
    d.clen[0] = 1;
    d.clen[1] = 2;
    d.clen[2] = 2;
    Bits b;
    d.header(b, true);
    d.literal(b, 'a');
    const size_t matches = 16700000;
    for (size_t i = 0; i < matches; i += 16) {
        for (int k = 0; k < 16; k++) { d.literal(b, 285); d.distance(b, 0); }
    }
    d.literal(b, 256);
    Bytes raw = b.done();
    const size_t want = 1 + 258 * ((matches + 15) / 16 * 16);
    ASSERT_GT(want, size_t(1) << 32);

    Outcome r = run(inflate_decompress, raw, 0);
    EXPECT_EQ(r.status, kCodecShort);
    EXPECT_EQ(r.size, want);
    r = run(inflate_decompress, raw, 1000);
    EXPECT_EQ(r.status, kCodecShort);
    EXPECT_EQ(r.size, want);
    EXPECT_EQ(r.out, Bytes(1000, 'a'));

    Bytes z{0x78, 0x01};
    z.insert(z.end(), raw.begin(), raw.end());
    z.insert(z.end(), {0, 0, 0, 0});
    r = run(zlib_decompress, z, 0);
    EXPECT_EQ(r.status, kCodecShort);
    EXPECT_EQ(r.size, want);
}

TEST(Deflate, GrowingOutput) {
    Bytes data = Bytes(1 << 20, 'z');   // compresses far below a quarter: the first guess is short
    Bytes text = text_corpus(300000, 71);
    data.insert(data.end(), text.begin(), text.end());
    const CodecMethod methods[] = {CodecMethod::Deflate, CodecMethod::Zlib, CodecMethod::Gzip};
    for (CodecMethod m : methods) {
        Bytes c, d;
        size_t size = 0;
        ASSERT_EQ(codec_compress(m, data.data(), data.size(), c, SIZE_MAX, &size), kCodecOk);
        EXPECT_EQ(size, c.size());
        ASSERT_EQ(codec_decompress(m, c.data(), c.size(), d, SIZE_MAX, &size), kCodecOk);
        EXPECT_EQ(size, data.size());
        EXPECT_EQ(d, data);
        // a limit below the output: nothing allocated beyond it, the full size reported
        EXPECT_EQ(codec_decompress(m, c.data(), c.size(), d, 1000, &size), kCodecShort);
        EXPECT_TRUE(d.empty());
        EXPECT_EQ(size, data.size());
        size_t full = size;
        ASSERT_EQ(codec_compress(m, data.data(), data.size(), c, SIZE_MAX, &full), kCodecOk);
        EXPECT_EQ(codec_compress(m, data.data(), data.size(), c, 10, &size), kCodecShort);
        EXPECT_TRUE(c.empty());
        EXPECT_EQ(size, full);
        // a limit below the worst case but above the output is enough
        EXPECT_EQ(codec_compress(m, data.data(), data.size(), c, full, &size), kCodecOk);
        EXPECT_EQ(c.size(), full);
        // bad data keeps its status
        Bytes junk = {1, 2, 3, 4, 5, 6, 7, 8, 9};
        EXPECT_NE(codec_decompress(m, junk.data(), junk.size(), d), kCodecOk);
        EXPECT_TRUE(d.empty());
    }
}
