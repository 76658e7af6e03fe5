// Text encodings: the UTF-8 decoders (table and strict) against each other and the encoder, the
// bounded decoder at a guard page, loading UTF-8 and UTF-16 into strings with widening and line
// ends, the conversions to UTF-8 and UTF-16 with their room, and the display-width tables.
#include "core/errors.h"
#include "core/memory.h"
#include "core/roots.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/unicode.h"
#include "core/unicode-tables.inc"

#include "tests/unit/runtime_fixture.h"
#include "tests/unit/test_values.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

using namespace kel;

namespace {

using test::Raised;
using test::raised_with_arg;

using Unicode = test::RuntimeTest;


std::vector<uint8_t> bytes(std::initializer_list<int> b) {
    std::vector<uint8_t> v;
    for (int x : b) v.push_back(uint8_t(x));
    return v;
}

using test::code_points;

// A string! value of the code points in the given unit width. Its buffer lives only as long as
// something the collector sees holds the value: tests that allocate afterwards keep it in a Rooted.
Cell make_string(const std::vector<uint32_t>& cps, uint32_t unit) { return test::text_of(T_STRING, cps, unit); }

std::vector<uint8_t> binary_bytes(const Cell& c) {
    Series* s = node_series(series_node(&c));
    return std::vector<uint8_t>(s->head_ptr(), s->tail_ptr());
}

} // namespace

// Every scalar value encodes and decodes back the same through all three decoders; surrogates,
// which the encoder writes like any other value, are rejected by the table decoders.
TEST_F(Unicode, DecodersRoundTripEveryCodePoint) {
    uint8_t buf[5];
    for (int32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        int n = utf8_encode_char(cp, buf);
        ASSERT_EQ(n, utf8_char_length(cp)) << std::hex << cp;
        buf[n] = 0;
        int32_t fast, bounded;
        const uint8_t* f_end = fast_decode_utf8_char(buf, &fast);
        const uint8_t* b_end = decode_utf8_char(buf, buf + n, &bounded);
        if (cp >= 0xD800 && cp <= 0xDFFF) {
            ASSERT_EQ(fast, -1) << std::hex << cp;
            ASSERT_EQ(bounded, -1) << std::hex << cp;
            continue;
        }
        ASSERT_EQ(fast, cp);
        ASSERT_EQ(bounded, cp);
        ASSERT_EQ(f_end, buf + n);
        ASSERT_EQ(b_end, buf + n);
        int32_t avail = n;
        ASSERT_EQ(utf8_decode_strict(buf, &avail), cp);
        ASSERT_EQ(avail, n);
    }
}

// Over-long forms, surrogates, values above 0x10FFFF and stray bytes: the table decoders give -1,
// the strict decoder raises invalid-utf8 with the leading bytes as a binary!.
TEST_F(Unicode, IllFormedSequencesAreRejected) {
    const std::vector<std::vector<uint8_t>> cases = {
        bytes({0xC0, 0x80}), bytes({0xC1, 0xBF}),                   // over-long 2-byte
        bytes({0xE0, 0x80, 0x80}), bytes({0xE0, 0x9F, 0xBF}),       // over-long 3-byte
        bytes({0xF0, 0x80, 0x80, 0x80}), bytes({0xF0, 0x8F, 0xBF, 0xBF}),
        bytes({0xED, 0xA0, 0x80}), bytes({0xED, 0xB0, 0x80}), bytes({0xED, 0xBF, 0xBF}),
        bytes({0xF4, 0x90, 0x80, 0x80}), bytes({0xF5, 0x80, 0x80, 0x80}), bytes({0xFF}),
        bytes({0x80}), bytes({0xBF, 0x41}),                         // stray continuation
        bytes({0xC3, 0x41}), bytes({0xE2, 0x82, 0x41}),             // missing continuation
        bytes({0xF0, 0x9F, 0x98, 0xC3}),
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> z = c;
        z.push_back(0);
        int32_t cp;
        fast_decode_utf8_char(z.data(), &cp);
        EXPECT_EQ(cp, -1) << int(c[0]);
        decode_utf8_char(c.data(), c.data() + c.size(), &cp);
        EXPECT_EQ(cp, -1) << int(c[0]);
        int32_t avail = int32_t(c.size());
        auto r = raised_with_arg([&] { utf8_decode_strict(c.data(), &avail); });
        ASSERT_TRUE(r) << int(c[0]);
        EXPECT_EQ(r->id, Err::InvalidUtf8);
        ASSERT_TRUE(r->arg1.is(T_BINARY));
        EXPECT_EQ(binary_bytes(r->arg1), c);
    }
}

// The table decoders stop before the byte that broke a sequence, so decoding resumes there.
TEST_F(Unicode, TableDecoderResumesAfterBadSequence) {
    auto in = bytes({0xE2, 0x82, 0x41, 0xC3, 0xA9, 0x80, 0x62, 0});
    std::vector<int32_t> got;
    const uint8_t* end = in.data() + in.size() - 1;
    for (const uint8_t* p = in.data(); p < end;) {
        int32_t cp;
        p = decode_utf8_char(p, end, &cp);
        got.push_back(cp);
    }
    EXPECT_EQ(got, (std::vector<int32_t>{-1, 0x41, 0xE9, -1, 0x62}));
    EXPECT_EQ(utf8_count_chars(in.data(), end), 5);
    // NUL-terminated, the fast decoder gives the same
    got.clear();
    for (const uint8_t* p = in.data(); *p;) {
        int32_t cp;
        p = fast_decode_utf8_char(p, &cp);
        got.push_back(cp);
    }
    EXPECT_EQ(got, (std::vector<int32_t>{-1, 0x41, 0xE9, -1, 0x62}));
}

// Bounded decoding never touches the byte at `end`: the input sits right before a page that
// cannot be read.
TEST_F(Unicode, BoundedDecodingStopsAtEnd) {
    long page = sysconf(_SC_PAGESIZE);
    auto* mem = static_cast<uint8_t*>(mmap(nullptr, size_t(page) * 2, PROT_READ | PROT_WRITE,
                                           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(mem, MAP_FAILED);
    ASSERT_EQ(mprotect(mem + page, size_t(page), PROT_NONE), 0);
    uint8_t* end = mem + page;
    const std::vector<std::vector<uint8_t>> tails = {
        bytes({0x61, 0xE2, 0x82}), bytes({0xF0, 0x9F, 0x98}), bytes({0xF0}), bytes({0xC3}),
    };
    for (const auto& t : tails) {
        uint8_t* start = end - t.size();
        std::copy(t.begin(), t.end(), start);
        int32_t n = utf8_count_chars(start, end);
        EXPECT_EQ(n, t[0] == 0x61 ? 2 : 1);
        EXPECT_EQ(utf8_skip_chars(start, end, 10), end);
        const uint8_t* p = start;
        int32_t cp = 0;
        while (p < end) p = decode_utf8_char(p, end, &cp);
        EXPECT_EQ(p, end);
        EXPECT_EQ(cp, -1);
        // the strict decoder asks for more instead of reading on
        uint8_t* lead = t[0] == 0x61 ? start + 1 : start;
        int32_t avail = int32_t(end - lead);
        EXPECT_EQ(utf8_decode_strict(lead, &avail), -1);
    }
    // given no bytes at all, the strict decoder reads none
    int32_t none = 0;
    EXPECT_EQ(utf8_decode_strict(end, &none), -1);
    EXPECT_EQ(none, 0);
    munmap(mem, size_t(page) * 2);
}

TEST_F(Unicode, SkipCharsAndLeadLength) {
    auto in = bytes({0x61, 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80, 0x62});
    const uint8_t* s = in.data();
    const uint8_t* e = s + in.size();
    const std::pair<int, int> skips[] = {{0, 0}, {1, 1}, {2, 3}, {3, 6}, {4, 10}, {5, 11}, {9, 11}};
    for (auto [n, off] : skips) EXPECT_EQ(utf8_skip_chars(s, e, n) - s, off) << n;
    EXPECT_EQ(utf8_count_chars(s, e), 5);

    const std::pair<int, int> leads[] = {{0x41, 0}, {0x80, 0}, {0xBF, 0}, {0xC0, 2}, {0xDF, 2},
                                         {0xE0, 3}, {0xEF, 3}, {0xF0, 4}, {0xFF, 4}};
    for (auto [b, len] : leads) EXPECT_EQ(utf8_lead_length(uint8_t(b)), len) << b;
}

// Incomplete final sequences that may still become valid are "needs more"; those that cannot
// are errors right away.
TEST_F(Unicode, StrictDecoderIncompleteInput) {
    const std::vector<uint8_t> more[] = {bytes({0xC3}), bytes({0xE2}), bytes({0xE2, 0x82}),
                                         bytes({0xF0, 0x9F}), bytes({0xF0, 0x9F, 0x98}),
                                         bytes({0xF4, 0x8F, 0xBF})};
    for (const auto& c : more) {
        int32_t avail = int32_t(c.size());
        EXPECT_EQ(utf8_decode_strict(c.data(), &avail), -1);
        EXPECT_EQ(avail, int32_t(c.size()));
    }
    const std::vector<uint8_t> bad[] = {bytes({0xE0, 0x80}), bytes({0xED, 0xA0}),
                                        bytes({0xF4, 0x90}), bytes({0xE2, 0x41})};
    for (const auto& c : bad) {
        int32_t avail = int32_t(c.size());
        auto r = raised_with_arg([&] { utf8_decode_strict(c.data(), &avail); });
        ASSERT_TRUE(r);
        EXPECT_EQ(binary_bytes(r->arg1), c);
    }
}

TEST_F(Unicode, EncoderLengthsAndLimits) {
    const std::pair<int32_t, int> lengths[] = {{0, 1}, {0x7F, 1}, {0x80, 2}, {0x7FF, 2},
                                               {0x800, 3}, {0xFFFF, 3}, {0x10000, 4}, {0x10FFFF, 4}};
    for (auto [cp, n] : lengths) EXPECT_EQ(utf8_char_length(cp), n) << std::hex << cp;

    for (int32_t bad : {0x110000, 0x7FFFFFFF, -1}) {
        uint8_t buf[8];
        for (int which = 0; which < 3; ++which) {
            auto r = raised_with_arg([&] {
                if (which == 0) utf8_char_length(bad);
                else if (which == 1) utf8_encode_char(bad, buf);
                else utf8_encode_char_bounded(bad, buf, 8);
            });
            ASSERT_TRUE(r);
            EXPECT_EQ(r->id, Err::InvalidChar);
            ASSERT_TRUE(r->arg1.is(T_INTEGER));
            EXPECT_EQ(cell_integer(&r->arg1), bad);
        }
    }

    // bounded: only the bytes that fit are written
    for (int room = 0; room <= 5; ++room) {
        uint8_t buf[6] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
        int n = utf8_encode_char_bounded(0x1F600, buf, room);
        EXPECT_EQ(n, std::min(room, 4));
        const uint8_t full[4] = {0xF0, 0x9F, 0x98, 0x80};
        for (int i = 0; i < 6; ++i) EXPECT_EQ(buf[i], i < n ? full[i] : 0xAA) << room << " " << i;
    }
}

TEST_F(Unicode, Utf8LengthOfUnits) {
    const std::vector<uint32_t> text = {0x41, 0xE9, 0x20AC, 0x1F600, 0x0A};
    struct Case { uint32_t unit; std::vector<uint32_t> cps; int64_t bytes; };
    const Case cases[] = {
        {1, {0x41, 0xE9, 0x0A, 0xFF}, 1 + 2 + 1 + 2},
        {2, {0x41, 0x7FF, 0x800, 0xFFFF}, 1 + 2 + 3 + 3},
        {4, text, 1 + 2 + 3 + 4 + 1},
    };
    for (const Case& c : cases) {
        Cell s = make_string(c.cps, c.unit);
        Series* b = node_series(series_node(&s));
        EXPECT_EQ(utf8_length_of_units(b->head_ptr(), b->tail_ptr(), c.unit), c.bytes) << c.unit;
    }
    Cell bad = make_string({0x41, 0x110000}, 4);
    auto r = raised_with_arg([&] {
        Series* b = node_series(series_node(&bad));
        utf8_length_of_units(b->head_ptr(), b->tail_ptr(), 4);
    });
    ASSERT_TRUE(r);
    EXPECT_EQ(r->id, Err::InvalidChar);
}

// Loading UTF-8: byte-order mark, unit choice and widening, CR LF, leftover bytes.
TEST_F(Unicode, LoadUtf8) {
    struct Case {
        const char* what;
        std::vector<uint8_t> in;
        bool crlf;
        uint32_t unit;
        std::vector<uint32_t> cps;
        int32_t leftover;
    };
    const Case cases[] = {
        {"BOM alone", bytes({0xEF, 0xBB, 0xBF}), false, 1, {}, 0},
        {"BOM + A", bytes({0xEF, 0xBB, 0xBF, 0x41}), false, 1, {0x41}, 0},
        {"BOM not at start", bytes({0x41, 0xEF, 0xBB, 0xBF}), false, 2, {0x41, 0xFEFF}, 0},
        {"empty", {}, false, 1, {}, 0},
        {"Latin-1", bytes({0xC3, 0xA9}), false, 1, {0xE9}, 0},
        {"UCS-2", bytes({0xE2, 0x82, 0xAC}), false, 2, {0x20AC}, 0},
        {"1 to 4 mid-string", bytes({0x61, 0xC3, 0xA9, 0xF0, 0x9F, 0x98, 0x80, 0x62}), false, 4,
         {0x61, 0xE9, 0x1F600, 0x62}, 0},
        {"1 to 2 to 4", bytes({0xC3, 0xBF, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80}), false, 4,
         {0xFF, 0x20AC, 0x1F600}, 0},
        {"CR LF", bytes({0x61, 0x0D, 0x0A, 0x62}), true, 1, {0x61, 0x0A, 0x62}, 0},
        {"lone CR", bytes({0x61, 0x0D, 0x62}), true, 1, {0x61, 0x0A, 0x62}, 0},
        {"CR at end", bytes({0x61, 0x0D}), true, 1, {0x61, 0x0A}, 0},
        {"CR CR LF", bytes({0x0D, 0x0D, 0x0A}), true, 1, {0x0A, 0x0A}, 0},
        {"CR LF kept", bytes({0x61, 0x0D, 0x0A, 0x62}), false, 1, {0x61, 0x0D, 0x0A, 0x62}, 0},
        {"cut 3-byte", bytes({0x61, 0xE2, 0x82}), false, 1, {0x61}, 2},
        {"cut 4-byte", bytes({0xC3, 0xA9, 0xF0, 0x9F, 0x98}), false, 1, {0xE9}, 3},
        {"only a lead", bytes({0xE2}), false, 1, {}, 1},
    };
    for (const Case& c : cases) {
        int32_t left = 99;
        Node n = string_load_utf8(c.in.data(), uint32_t(c.in.size()), 0, &left, c.crlf);
        EXPECT_EQ(node_series(n)->unit(), c.unit) << c.what;
        EXPECT_EQ(code_points(n), c.cps) << c.what;
        EXPECT_EQ(left, c.leftover) << c.what;
    }
}

TEST_F(Unicode, LoadUtf8RejectsIllFormedInput) {
    const std::vector<uint8_t> cases[] = {
        bytes({0x61, 0xC0, 0x80}), bytes({0x61, 0xED, 0xA0, 0x80}), bytes({0xED, 0xB0, 0x80}),
        bytes({0xF4, 0x90, 0x80, 0x80}), bytes({0x61, 0x80, 0x62}), bytes({0xE2, 0x41, 0x42}),
        bytes({0x61, 0xE0, 0x80}),   // an impossible prefix at the end is not leftover
    };
    for (const auto& c : cases) {
        auto r = raised_with_arg([&] { string_load_utf8(c.data(), uint32_t(c.size()), 0, nullptr, false); });
        ASSERT_TRUE(r);
        EXPECT_EQ(r->id, Err::InvalidUtf8);
    }
}

// Long texts that widen early and then have to grow the buffer several times.
TEST_F(Unicode, LoadUtf8GrowsAfterWidening) {
    for (uint32_t wide : {0x20ACu, 0x1F600u}) {
        std::vector<uint8_t> in;
        std::vector<uint32_t> expect;
        for (int i = 0; i < 300; ++i) {
            uint32_t c = (i % 50 == 0) ? wide : uint32_t('a' + i % 26);
            uint8_t buf[4];
            int n = utf8_encode_char(int32_t(c), buf);
            in.insert(in.end(), buf, buf + n);
            expect.push_back(c);
        }
        Node n = string_load_utf8(in.data(), uint32_t(in.size()), 0, nullptr, false);
        EXPECT_EQ(node_series(n)->unit(), wide > 0xFFFF ? 4u : 2u);
        EXPECT_EQ(code_points(n), expect);
    }
}

// A target keeps its unit and is refilled from its start; the series form reads movable bytes.
TEST_F(Unicode, LoadUtf8IntoTargetAndFromSeries) {
    Cell target = make_string({0x3B1, 0x3B2}, 2);
    auto in = bytes({0x68, 0x69, 0x21, 0xC3, 0xA9});
    int32_t left = -1;
    Node n = string_load_utf8_into(&target, in.data(), uint32_t(in.size()), &left);
    EXPECT_EQ(n, series_node(&target));
    EXPECT_EQ(node_series(n)->unit(), 2u);
    EXPECT_EQ(code_points(n), (std::vector<uint32_t>{0x68, 0x69, 0x21, 0xE9}));
    EXPECT_EQ(left, 0);

    Node src = alloc_bytes(16);
    Series* s = node_series(src);
    auto text = bytes({0x78, 0x41, 0xE2, 0x82, 0xAC, 0x42});
    std::copy(text.begin(), text.end(), s->head_ptr());
    s->tail = uint32_t(text.size());
    Node m = string_load_utf8_series(src, 1, 5, 0, nullptr, false);
    EXPECT_EQ(code_points(m), (std::vector<uint32_t>{0x41, 0x20AC, 0x42}));
    EXPECT_EQ(code_points(string_from_utf8(text.data(), 2)), (std::vector<uint32_t>{0x78, 0x41}));
}

// Widening a full buffer expands it first; code points and the tail follow the new width.
TEST_F(Unicode, WidenInPlace) {
    std::vector<uint32_t> cps;
    for (uint32_t i = 0; i < 16; ++i) cps.push_back(0xE0 + i);
    struct Case { uint32_t from, to; };
    for (Case c : {Case{1, 2}, Case{1, 4}, Case{2, 4}}) {
        Rooted str(make_string(cps, c.from));
        Series* s = node_series(series_node(str.get()));
        ASSERT_EQ(s->size, 16 * c.from);   // full: it has to grow
        s = c.from == 2 ? string_widen_2_to_4(s)
            : c.to == 2 ? string_widen_1_to_2(s) : string_widen_1_to_4(s);
        EXPECT_EQ(s, node_series(series_node(str.get())));
        EXPECT_EQ(s->unit(), c.to);
        EXPECT_EQ(s->tail, 16 * c.to);
        EXPECT_GE(s->size, 17 * c.to);
        EXPECT_EQ(code_points(series_node(str.get())), cps);
    }
}

TEST_F(Unicode, Utf16Input) {
    struct Case {
        const char* what;
        std::vector<uint16_t> in;
        bool crlf;
        uint32_t unit;
        std::vector<uint32_t> cps;
    };
    const Case cases[] = {
        {"Latin-1", {0x41, 0xE9}, false, 1, {0x41, 0xE9}},
        {"UCS-2", {0x41, 0x20AC}, false, 2, {0x41, 0x20AC}},
        {"pair", {0xD83D, 0xDE00}, false, 4, {0x1F600}},
        {"pair among text", {0x41, 0xD83D, 0xDE00, 0x20AC}, false, 4, {0x41, 0x1F600, 0x20AC}},
        {"highest pair", {0xDBFF, 0xDFFF}, false, 4, {0x10FFFF}},
        {"CR LF", {0x61, 0x0D, 0x0A, 0x62}, true, 1, {0x61, 0x0A, 0x62}},
        {"lone CR", {0x61, 0x0D, 0x62}, true, 1, {0x61, 0x0A, 0x62}},
        {"CR LF in UCS-2", {0x20AC, 0x0D, 0x0A}, true, 2, {0x20AC, 0x0A}},
        {"CR LF in UCS-4", {0xD83D, 0xDE00, 0x0D, 0x0A}, true, 4, {0x1F600, 0x0A}},
        {"CR kept", {0x61, 0x0D, 0x0A}, false, 1, {0x61, 0x0D, 0x0A}},
        {"empty", {}, false, 2, {}},
    };
    for (const Case& c : cases) {
        Node n = utf16_input_to_string(c.in.data(), uint32_t(c.in.size()), nullptr, c.crlf);
        Series* s = node_series(n);
        EXPECT_EQ(s->unit(), c.unit) << c.what;
        EXPECT_TRUE(s->flags & SER_UTF16_INPUT) << c.what;
        EXPECT_EQ(code_points(n), c.cps) << c.what;
    }
}

// Broken pairs raise an error before a target is touched.
TEST_F(Unicode, Utf16BadPairsRaise) {
    const std::vector<uint16_t> cases[] = {
        {0xD83D, 0x41}, {0x41, 0xD83D}, {0xDE00, 0x41}, {0xD83D, 0xD83D, 0xDE00},
    };
    for (const auto& c : cases) {
        Rooted target(make_string({0x61, 0x62}, 1));
        auto r = raised_with_arg([&] { utf16_input_to_string(c.data(), uint32_t(c.size()), target.get(), false); });
        ASSERT_TRUE(r);
        EXPECT_EQ(r->id, Err::InvalidUtf16);
        EXPECT_EQ(node_series(series_node(target.get()))->unit(), 1u);
        EXPECT_EQ(code_points(series_node(target.get())), (std::vector<uint32_t>{0x61, 0x62}));
    }
}

// With a target and no source pointer, the units come from the target's scratch buffer.
TEST_F(Unicode, Utf16InputFromScratchIntoTarget) {
    Rooted target(make_string({0x61}, 1));
    const uint16_t units[] = {0x3B1, 0xD83D, 0xDE00, 0x42};
    auto* scratch = reinterpret_cast<uint16_t*>(string_scratch_buffer(target.get(), sizeof units));
    std::copy(std::begin(units), std::end(units), scratch);
    Node n = utf16_input_to_string(nullptr, 4, target.get(), false);
    EXPECT_EQ(n, series_node(target.get()));
    EXPECT_EQ(node_series(n)->unit(), 4u);
    EXPECT_EQ(code_points(n), (std::vector<uint32_t>{0x3B1, 0x1F600, 0x42}));
}

TEST_F(Unicode, ToUtf16) {
    struct Case {
        const char* what;
        std::vector<uint32_t> cps;
        uint32_t unit;
        int32_t count;
        bool crlf;
        std::vector<uint16_t> out;
    };
    const Case cases[] = {
        {"pair", {0x10000}, 4, -1, false, {0xD800, 0xDC00}},
        {"pairs and LF", {0x1F600, 0x0A, 0x10FFFF}, 4, -1, true,
         {0xD83D, 0xDE00, 0x0D, 0x0A, 0xDBFF, 0xDFFF}},
        {"Latin-1 LF", {0x61, 0x0A, 0xE9}, 1, -1, true, {0x61, 0x0D, 0x0A, 0xE9}},
        {"UCS-2 as is", {0x20AC, 0x0A}, 2, -1, false, {0x20AC, 0x0A}},
        {"count", {0x61, 0x62, 0x63}, 1, 2, false, {0x61, 0x62}},
        {"count past tail", {0x61}, 2, 9, false, {0x61}},
        {"empty", {}, 1, -1, false, {}},
    };
    for (const Case& c : cases) {
        Rooted str(make_string(c.cps, c.unit));
        int32_t count = c.count;
        const uint16_t* out = to_utf16_cstring(str.get(), &count, c.crlf);
        ASSERT_NE(out, nullptr) << c.what;
        EXPECT_EQ(std::vector<uint16_t>(out, out + count), c.out) << c.what;
        EXPECT_EQ(out[count], 0) << c.what;
        // the terminator lies inside the scratch buffer
        Series* scratch = node_series(str->data3);
        EXPECT_LE(uint64_t(count + 1) * 2, scratch->size) << c.what;
    }
    Rooted tail_str(make_string({0x61, 0x0A}, 1));
    const uint16_t* whole = to_utf16_cstring_crlf(tail_str.get());
    EXPECT_EQ(std::vector<uint16_t>(whole, whole + 4), (std::vector<uint16_t>{0x61, 0x0D, 0x0A, 0}));

    Rooted bad(make_string({0x61, 0x110000}, 4));
    int32_t count = -1;
    EXPECT_EQ(to_utf16_cstring(bad.get(), &count, false), nullptr);
}

// The scratch buffer is sized from the worst case of each width, so the largest outputs fit.
TEST_F(Unicode, ToUtf16RoomForWorstCase) {
    for (uint32_t cp : {0x10000u, 0x0Au}) {
        std::vector<uint32_t> cps(1000, cp);
        Rooted str(make_string(cps, 4));
        int32_t count = -1;
        const uint16_t* out = to_utf16_cstring(str.get(), &count, true);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(count, 2000);
        EXPECT_LE(uint64_t(count + 1) * 2, node_series(str->data3)->size);
    }
}

TEST_F(Unicode, ToUtf8) {
    struct Case {
        std::vector<uint32_t> cps;
        uint32_t unit;
        int32_t count;
        bool crlf;
        std::string out;
    };
    const Case cases[] = {
        {{0x61, 0xE9}, 1, -1, false, "a\xC3\xA9"},
        {{0xFF, 0x0A, 0xFF}, 1, -1, true, "\xC3\xBF\r\n\xC3\xBF"},
        {{0x20AC, 0x0A}, 2, -1, true, "\xE2\x82\xAC\r\n"},
        {{0x1F600, 0x41}, 4, 1, false, "\xF0\x9F\x98\x80"},
        {{0x61, 0x62}, 1, 100, false, "ab"},
        {{}, 1, -1, false, ""},
    };
    for (const Case& c : cases) {
        Rooted str(make_string(c.cps, c.unit));
        int32_t count = c.count;
        const char* out = c.crlf ? string_to_utf8_crlf(str.get(), &count, true) : string_to_utf8(str.get(), &count);
        EXPECT_EQ(std::string(out, size_t(count)), c.out);
        EXPECT_EQ(out[count], 0);
    }
    // from the head index; a head past the tail gives nothing
    Rooted str(make_string({0x61, 0x62, 0x63}, 1));
    str->data1 = 1;
    int32_t count = -1;
    EXPECT_EQ(std::string(string_to_utf8(str.get(), &count)), "bc");
    str->data1 = 7;
    count = -1;
    EXPECT_EQ(std::string(string_to_utf8(str.get(), &count)), "");
}

// UTF-8 text of every width survives load and conversion back unchanged.
TEST_F(Unicode, Utf8RoundTrip) {
    const std::string texts[] = {"plain", "caf\xC3\xA9", "\xE2\x82\xAC" "5", "a\xF0\x9F\x98\x80z",
                                 "\xC3\xBF\xE2\x82\xAC\xF0\x9F\x98\x80"};
    for (const std::string& t : texts) {
        Node n = string_from_utf8(reinterpret_cast<const uint8_t*>(t.data()), uint32_t(t.size()));
        Rooted str(make_series(T_STRING, n));
        int32_t count = -1;
        EXPECT_EQ(std::string(string_to_utf8(str.get(), &count)), t);
        std::vector<uint8_t> buf(t.size() + 1);
        EXPECT_EQ(string_encode_utf8(str.get(), buf.data(), int32_t(buf.size()), -1, true), int32_t(t.size()));
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.data())), t);
    }
}

// The caller-buffer encoders respect their capacity: whole characters in one, leading bytes of
// the last character in the other.
TEST_F(Unicode, EncodeIntoCallerBuffer) {
    Cell str = make_string({0x61, 0xE9, 0x20AC}, 2);   // 1 + 2 + 3 bytes
    struct Case { int32_t capacity; bool nul; int32_t whole; int32_t bounded; };
    const Case cases[] = {{0, false, 0, 0}, {1, true, 0, 1}, {3, false, 3, 3}, {4, true, 3, 4},
                          {4, false, 3, 4}, {6, false, 6, 6}, {7, true, 6, 6}};
    for (const Case& c : cases) {
        uint8_t buf[16];
        std::fill(std::begin(buf), std::end(buf), 0xAA);
        EXPECT_EQ(string_encode_utf8(&str, buf, c.capacity, -1, c.nul), c.whole) << c.capacity;
        if (c.nul && c.capacity > 0) {
            EXPECT_EQ(buf[c.whole], 0) << c.capacity;
        }
        EXPECT_EQ(buf[c.capacity], 0xAA) << c.capacity;
        std::fill(std::begin(buf), std::end(buf), 0xAA);
        EXPECT_EQ(string_encode_utf8_bounded(&str, buf, c.capacity, 0, c.nul), c.bounded) << c.capacity;
        EXPECT_EQ(buf[c.capacity], 0xAA) << c.capacity;
    }
    uint8_t buf[16];
    EXPECT_EQ(string_encode_utf8(&str, buf, 16, 2, false), 3);
    EXPECT_EQ(string_encode_utf8_bounded(&str, buf, 16, 2, false), 3);
}

TEST_F(Unicode, CstringToUtf16) {
    uint16_t out[4] = {9, 9, 9, 9};
    EXPECT_EQ(cstring_to_utf16("a\xE9", out, 4), 2u);
    EXPECT_EQ(out[0], 0x61);
    EXPECT_EQ(out[1], 0xE9);
    EXPECT_EQ(out[2], 0);
    EXPECT_EQ(cstring_to_utf16("abcdef", out, 4), 3u);
    EXPECT_EQ(out[3], 0);
    EXPECT_EQ(cstring_to_utf16("abc", out, 0), 0u);
}

TEST_F(Unicode, CharWidth) {
    struct Case { int32_t cp; int narrow; int width; };
    const Case cases[] = {
        {0x0000, 0, 0}, {0x0007, 1, 1}, {0x0041, 1, 1}, {0x007F, 1, 1}, {0x0085, 1, 1},
        {0x00A1, 1, 2}, {0x00AD, 1, 2}, {0x0301, 0, 0}, {0x200B, 0, 0}, {0x1160, 0, 0},
        {0x1100, 2, 2}, {0x4E00, 2, 2}, {0x3400, 2, 2}, {0xFF01, 2, 2}, {0x1F600, 2, 2},
        {0x2FFFD, 2, 2}, {0x3FFFD, 2, 2}, {0x302A, 0, 0}, {0xE0100, 0, 0}, {0xE000, 1, 2},
        {0x10FFFD, 1, 2}, {0x10FFFF, 1, 1}, {0x2010, 1, 2}, {0x0410, 1, 2},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(char_width_narrow(c.cp), c.narrow) << std::hex << c.cp;
        EXPECT_EQ(char_width(c.cp), c.width) << std::hex << c.cp;
    }
}

// The range tables are searched by bisection, which needs ascending, disjoint ranges.
TEST_F(Unicode, RangeTablesAreOrdered) {
    for (RangeTable t : {zero_width_table(), wide_table(), ambiguous_table()}) {
        ASSERT_GT(t.count, 0u);
        ASSERT_EQ(t.count % 2, 0u);
        for (size_t i = 0; i < t.count; i += 2) {
            EXPECT_LE(t.entries[i], t.entries[i + 1]) << i;
            if (i) {
                EXPECT_LT(t.entries[i - 1] + 1, t.entries[i]) << i;   // disjoint, not adjacent
            }
        }
        // bisection agrees with a plain scan on every bound and its neighbours
        for (size_t i = 0; i < t.count; ++i) {
            for (int64_t d = -1; d <= 1; ++d) {
                int64_t cp = int64_t(t.entries[i]) + d;
                bool scan = false;
                for (size_t j = 0; j < t.count; j += 2)
                    scan = scan || (cp >= t.entries[j] && cp <= t.entries[j + 1]);
                EXPECT_EQ(codepoint_in_ranges(int32_t(cp), t.entries, t.count), scan) << cp;
            }
        }
    }
    EXPECT_FALSE(codepoint_in_ranges(5, nullptr, 0));
}

// Units other than 1, 2 and 4 end the process with runtime error 101.
TEST_F(Unicode, BadUnitWidthIsFatal) {
    Node n = alloc_series(4, 8, 0);
    node_series(n)->tail = 16;
    Cell str = make_series(T_STRING, n);
    EXPECT_EXIT(
        {
            int32_t count = -1;
            string_to_utf8(&str, &count);
        },
        ::testing::ExitedWithCode(101), "101");
    EXPECT_EXIT(string_widen_1_to_2(node_series(n)),
        ::testing::ExitedWithCode(101), "101");
}
