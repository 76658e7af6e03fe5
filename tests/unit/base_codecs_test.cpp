// The base-2/16/58/64 codecs of binary!: byte-exact vectors, the decoders' rules for blanks,
// comments, padding and bad characters, text of every unit width, the bounds of the output, and
// random round trips.
#include "datatypes/binary.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

using namespace kel;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes from_hex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string encode(int base, const Bytes& data) {
    std::string out(base58_encode_room(data.size()) + 8 * data.size() + 4, '\0');
    char* p = out.data();
    size_t n = base == 2    ? base2_encode(p, data.data(), data.size())
               : base == 16 ? base16_encode(p, data.data(), data.size())
               : base == 58 ? base58_encode(p, data.data(), data.size())
                            : base64_encode(p, data.data(), data.size());
    out.resize(n);
    return out;
}

// Decodes 1-byte text with exactly the room the decoder asks for, a guard byte after it.
std::optional<Bytes> decode(int base, const std::string& text, bool strict = false) {
    size_t room = base_decode_room(base, text.size());
    Bytes out(room + 1, 0xA5);
    int64_t n = base_decode(base, text.data(), text.size(), 1, out.data(), room, strict);
    EXPECT_EQ(out[room], 0xA5) << "wrote past the room, base " << base << " text " << text;
    if (n < 0) return std::nullopt;
    out.resize(size_t(n));
    return out;
}

// The text in units of 2 or 4 bytes (little-endian).
std::vector<uint8_t> widen(const std::u32string& text, uint32_t unit) {
    std::vector<uint8_t> out(text.size() * unit);
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        std::memcpy(out.data() + i * unit, &c, unit);   // little-endian low bytes
    }
    return out;
}

TEST(BaseCodecs, EncodersMatchTheStandardVectors) {
    struct { int base; std::string data; std::string text; } cases[] = {
        // RFC 4648 section 10
        {64, "", ""}, {64, "f", "Zg=="}, {64, "fo", "Zm8="}, {64, "foo", "Zm9v"},
        {64, "foob", "Zm9vYg=="}, {64, "fooba", "Zm9vYmE="}, {64, "foobar", "Zm9vYmFy"},
        {16, "", ""}, {16, "f", "66"}, {16, "fo", "666F"}, {16, "foo", "666F6F"},
        {16, "foobar", "666F6F626172"},
        {2, "", ""}, {2, "f", "01100110"}, {2, "\x80\x01", "1000000000000001"},
        {58, "Hello World!", "2NEpo7TZRRrLZSi2U"}, {58, "", ""},
    };
    for (auto& c : cases) EXPECT_EQ(encode(c.base, bytes_of(c.data)), c.text) << c.base << " " << c.data;

    // base 58, with leading zero bytes each giving a "1"
    struct { const char* hex; const char* text; } b58[] = {
        {"0000", "11"}, {"00000000000000000000", "1111111111"}, {"61", "2g"}, {"626262", "a3gV"},
        {"00eb15231dfceb60925886b67d065299925915aeb172c06647", "1NS17iag9jJgTHD1VXjvLCEnZuQ3rJDE9L"},
        {"73696d706c792061206c6f6e6720737472696e67", "2cFupjhnEsSn59qHXstmK2ffpLv2"},
        {"bf4f89001e670274dd", "3SEo3LWLoPntC"}, {"ecac89cad93923c02321", "EJDM8drfXA6uyA"},
        {"10c8511e", "Rt5zm"},
    };
    for (auto& c : b58) {
        EXPECT_EQ(encode(58, from_hex(c.hex)), c.text) << c.hex;
        EXPECT_EQ(decode(58, c.text), from_hex(c.hex)) << c.text;
    }
}

TEST(BaseCodecs, DecodersFollowTheirRules) {
    const std::optional<Bytes> invalid;
    struct { int base; std::string text; std::optional<Bytes> expected; } cases[] = {
        // base 16: either case, blanks and comments skipped; odd digit count and non-digits refused
        {16, "666f6F", bytes_of("foo")},
        {16, " 66\t6F\n6F ", bytes_of("foo")},
        {16, "66 ; a comment, with 6F digits\n6F", bytes_of("fo")},
        {16, "", Bytes{}},
        {16, "666", invalid},
        {16, "6G", invalid},
        {16, "\xB6\x36", invalid},   // 0xB6 is not "6" taken modulo 128
        // base 2: eight bits a byte; a partial byte is refused
        {2, "01100110", bytes_of("f")},
        {2, "0110 0110\n;x\n 00000001", Bytes{0x66, 0x01}},
        {2, "0110011", invalid},
        {2, "01100112", invalid},
        {2, "\xB0", invalid},
        // base 64: "=" ends the data; two or three pending characters without "=" are as if padded
        {64, "Zm9vYg==", bytes_of("foob")},
        {64, "Zm9vYg=", bytes_of("foob")},
        {64, "Zm9vYg", bytes_of("foob")},
        {64, "Zm9vYmE", bytes_of("fooba")},
        {64, "Zm 9v\r\nYm'E=", bytes_of("fooba")},
        {64, "Zm9v;comment Zm9v\nYmFy", bytes_of("foobar")},
        {64, "Zm9vY", invalid},
        {64, "Zm9vY=", invalid},
        {64, "Zm9v=", invalid},
        {64, "=", invalid},
        {64, "Zm9v*", invalid},
        {64, "Zm9v\xC3\xA9", invalid},
        {64, "Zm9vYg==garbage after the end", bytes_of("foob")},
        // base 58: leading "1"s are zero bytes; 0, O, I and l are not in the alphabet
        {58, "11", Bytes{0, 0}},
        {58, "1 1\n2g", Bytes{0, 0, 0x61}},
        {58, "2NEpo7TZ RRrLZSi2U", bytes_of("Hello World!")},
        {58, "0", invalid}, {58, "O", invalid}, {58, "I", invalid}, {58, "l", invalid},
        {58, "2g\xE9", invalid},
    };
    for (auto& c : cases) EXPECT_EQ(decode(c.base, c.text), c.expected) << "base " << c.base << ": " << c.text;

    // literals want whole groups in base 64
    EXPECT_EQ(decode(64, "Zm9vYg", true), invalid);
    EXPECT_EQ(decode(64, "Zm9vYmE", true), invalid);
    EXPECT_EQ(decode(64, "Zm9vYg==", true), bytes_of("foob"));
    // an unknown base decodes nothing
    uint8_t out[4];
    EXPECT_EQ(base_decode(10, "12", 2, 1, out, sizeof out), BASE_INVALID);
}

TEST(BaseCodecs, WideTextDecodesLikeNarrowAndRefusesCodesAbove127) {
    struct { int base; std::u32string text; std::optional<Bytes> expected; } cases[] = {
        {64, U"Zm9vYmFy", bytes_of("foobar")},
        {16, U"66 6f", bytes_of("f" "o")},
        {2, U"01100110", bytes_of("f")},
        {58, U"2NEpo7TZRRrLZSi2U", bytes_of("Hello World!")},
        // a code point whose low byte (or its value modulo 128) is a digit is still refused
        {16, U"6\u0136", std::nullopt},
        {64, U"Zm9\u0176", std::nullopt},
        {58, U"2\U00010067", std::nullopt},
        {2, U"0110011\u0131", std::nullopt},
    };
    for (auto& c : cases) {
        for (uint32_t unit : {2u, 4u}) {
            bool fits = std::all_of(c.text.begin(), c.text.end(), [&](char32_t ch) { return unit == 4 || ch <= 0xFFFF; });
            if (!fits) continue;
            std::vector<uint8_t> wide = widen(c.text, unit);
            size_t room = base_decode_room(c.base, c.text.size());
            Bytes out(room + 1, 0xA5);
            int64_t n = base_decode(c.base, wide.data(), c.text.size(), unit, out.data(), room);
            EXPECT_EQ(out[room], 0xA5);
            std::optional<Bytes> got;
            if (n >= 0) got = Bytes(out.begin(), out.begin() + n);
            EXPECT_EQ(got, c.expected) << "base " << c.base << " unit " << unit;
        }
    }
}

TEST(BaseCodecs, DecodersRefuseRatherThanOverrunASmallRoom) {
    struct { int base; std::string text; size_t need; } cases[] = {
        {16, "666F6F", 3}, {2, "0110011001100110", 2}, {64, "Zm9vYmFy", 6}, {64, "Zm9vYg", 4},
        {58, "2NEpo7TZRRrLZSi2U", 12}, {58, "111", 3},
    };
    for (auto& c : cases) {
        for (size_t room = 0; room < c.need; ++room) {
            Bytes out(room + 1, 0xA5);
            EXPECT_EQ(base_decode(c.base, c.text.data(), c.text.size(), 1, out.data(), room), BASE_INVALID)
                << c.text << " room " << room;
            EXPECT_EQ(out[room], 0xA5) << c.text << " room " << room;
        }
        Bytes out(c.need);
        EXPECT_EQ(base_decode(c.base, c.text.data(), c.text.size(), 1, out.data(), c.need), int64_t(c.need));
    }
}

TEST(BaseCodecs, Base58StaysWithinTwiceTheInputPlusOne) {
    // the longest texts: high bytes; the shortest: zero bytes, one "1" each
    for (size_t n = 0; n <= 300; ++n) {
        for (uint8_t fill : {uint8_t(0xFF), uint8_t(0x00), uint8_t(0x01)}) {
            Bytes data(n, fill);
            std::string out(base58_encode_room(n) + 1, '#');
            size_t len = base58_encode(out.data(), data.data(), n);
            EXPECT_LE(len, base58_encode_room(n));
            EXPECT_EQ(out.back(), '#') << n;
            EXPECT_EQ(decode(58, out.substr(0, len)), data) << n;
        }
    }
}

TEST(BaseCodecs, RandomRoundTrips) {
    std::mt19937 rng(20261210);
    for (int base : {2, 16, 58, 64}) {
        for (size_t n = 0; n <= 2000; ++n) {
            Bytes data(n);
            for (auto& b : data) b = uint8_t(rng());
            // some inputs lead with zero bytes, which base 58 keeps as "1"s
            for (size_t z = 0; z < n && rng() % 4 == 0; ++z) data[z] = 0;
            std::string text = encode(base, data);
            size_t expected_size = base == 16 ? 2 * n : base == 64 ? (n + 2) / 3 * 4 : base == 2 ? 8 * n : text.size();
            ASSERT_EQ(text.size(), expected_size);
            std::optional<Bytes> back = decode(base, text);
            ASSERT_TRUE(back.has_value()) << "base " << base << " length " << n;
            ASSERT_EQ(*back, data) << "base " << base << " length " << n;
        }
    }
}

} // namespace
