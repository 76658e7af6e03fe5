// String builders and writers: widening on append and on put, concatenation in its three modes
// (mixed units, shared buffers), loading UTF-8 and UTF-16 text, the hex helpers and the comparison
// core. Every test keeps its values on the data stack, so the suite also runs under
// KEL_GC_STRESS=1, where each allocation collects and moves buffers.
#include "datatypes/string.h"

#include "core/case-fold.h"
#include "core/errors.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/throw.h"
#include "core/unicode.h"
#include "datatypes/datatype.h"

#include "tests/unit/runtime_fixture.h"
#include "tests/unit/test_values.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using namespace kel;
using test::code_points;
using test::keep;

namespace {

class StringTest : public test::RuntimeTest {};

struct Raised {
    Err id;
    Cell arg1;
};
// Runs f inside a try frame; returns the error it raised, if any (its first argument kept on the
// data stack).
template <class F>
std::optional<Raised> raised(F&& f) {
    Cell word = make_cell(T_WORD);
    if (stack_try(&word, false, [&] { f(); })) return std::nullopt;
    Cell* error = stack_top();
    Raised r{error_id_of(error), Cell{T_NONE, 0, 0, 0}};
    if (const Cell* a = error_arg(error, 1)) r.arg1 = *a;
    stack_pop();
    keep(r.arg1);
    return r;
}

uint32_t unit_of(const Cell& c) { return value_series(&c)->unit(); }

std::vector<uint32_t> cps(const char* ascii) {
    std::vector<uint32_t> v;
    for (const char* p = ascii; *p; ++p) v.push_back(uint8_t(*p));
    return v;
}

Cell& new_string(const char* ascii = "") {
    Cell& c = keep(make_none());
    string_make_at(&c, 4);
    string_concatenate_literal(&c, ascii);
    return c;
}

TEST_F(StringTest, MakeAtGivesAnEmptyStringOfTheUnit) {
    Cell& c = keep(make_none());
    string_make_at(&c, 0, 2);
    EXPECT_TRUE(c.is(T_STRING));
    EXPECT_EQ(series_index(&c), 0u);
    EXPECT_EQ(c.data3, 0u);
    EXPECT_EQ(unit_of(c), 2u);
    EXPECT_EQ(string_rs_length(&c), 0);
}

// Appending follows the append rule: a 1-byte buffer widens from 0x80 on, to 4 bytes from 0x10000.
TEST_F(StringTest, AppendCharWidensByTheAppendRule) {
    struct Case { const char* start; uint32_t cp; uint32_t unit; };
    const Case cases[] = {
        {"ab", 'c', 1}, {"ab", 0x7F, 1}, {"ab", 0xE9, 2}, {"ab", 0x20AC, 2}, {"ab", 0x1F600, 4},
    };
    for (const Case& k : cases) {
        Cell& s = new_string(k.start);
        Series* buf = string_append_char(value_series(&s), k.cp);
        EXPECT_EQ(buf, value_series(&s));
        EXPECT_EQ(unit_of(s), k.unit) << std::hex << k.cp;
        std::vector<uint32_t> want = cps(k.start);
        want.push_back(k.cp);
        EXPECT_EQ(code_points(s), want);
    }
    // a 2-byte buffer widens to 4 and keeps its characters
    Cell& w = new_string("x");
    string_append_char(value_series(&w), 0x20AC);
    string_append_char(value_series(&w), 0x10FFFF);
    EXPECT_EQ(unit_of(w), 4u);
    EXPECT_EQ(code_points(w), (std::vector<uint32_t>{'x', 0x20AC, 0x10FFFF}));
}

TEST_F(StringTest, AppendCharGrowsAndKeepsEverything) {
    Cell& s = new_string();
    std::vector<uint32_t> want;
    for (uint32_t i = 0; i < 5000; ++i) {
        uint32_t cp = 'a' + i % 26;
        string_append_char(value_series(&s), cp);
        want.push_back(cp);
    }
    EXPECT_EQ(code_points(s), want);
    EXPECT_EQ(unit_of(s), 1u);
}

TEST_F(StringTest, AppendingAsciiToAOneByteStringWithRoomDoesNotAllocate) {
    Cell& s = keep(make_none());
    string_make_at(&s, 64);
    Series* before = value_series(&s);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(string_append_char(value_series(&s), 'z'), before);
    EXPECT_EQ(string_rs_length(&s), 64);
}

// Storing at a position keeps Latin-1 in 1-byte units; the put rule widens from 0x100 on.
TEST_F(StringTest, PutAndInsertWidenByThePutRule) {
    Cell& s = new_string("abc");
    string_put_char_at(value_series(&s), 1, 0xE9);
    EXPECT_EQ(unit_of(s), 1u);
    EXPECT_EQ(code_points(s), (std::vector<uint32_t>{'a', 0xE9, 'c'}));
    string_insert_char_at(value_series(&s), 0, 0x3A9);
    EXPECT_EQ(unit_of(s), 2u);
    EXPECT_EQ(code_points(s), (std::vector<uint32_t>{0x3A9, 'a', 0xE9, 'c'}));
    string_put_char_at(value_series(&s), 4, 0x1F600);  // at the tail: the string grows by one
    EXPECT_EQ(unit_of(s), 4u);
    EXPECT_EQ(code_points(s), (std::vector<uint32_t>{0x3A9, 'a', 0xE9, 'c', 0x1F600}));
    string_remove_units(&s, 1, 2);
    EXPECT_EQ(code_points(s), (std::vector<uint32_t>{0x3A9, 'c', 0x1F600}));
    string_remove_units(&s, 7, 1);  // past the tail: nothing
    EXPECT_EQ(string_rs_length(&s), 3);
}

TEST_F(StringTest, LiteralsBytesAndUtf8) {
    Cell& s = new_string();
    string_concatenate_literal(&s, "");
    EXPECT_EQ(string_rs_length(&s), 0);
    string_concatenate_literal(&s, "ab");
    const uint8_t latin[] = {0xE9, 'x'};
    string_append_bytes(&s, latin, 2);
    string_append_bytes(&s, latin, 0);
    EXPECT_EQ(code_points(s), (std::vector<uint32_t>{'a', 'b', 0xE9, 'x'}));
    const char* utf8 = "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80!\xFF";
    string_append_utf8(&s, reinterpret_cast<const uint8_t*>(utf8), std::strlen(utf8));
    EXPECT_EQ(code_points(s), (std::vector<uint32_t>{'a', 'b', 0xE9, 'x', 0xE9, 0x20AC, 0x1F600, '!', 0xFFFD}));
    EXPECT_EQ(unit_of(s), 4u);
}

// Concatenation: the target widens to a wider source; a narrower source is read unit by unit and
// never changed.
TEST_F(StringTest, ConcatenateModesAndUnits) {
    struct Case { int mode; int32_t part; int32_t offset; const char* want; };
    const Case cases[] = {
        {0, -1, 0, "abcXYZ"}, {0, 2, 0, "abcXY"}, {0, 0, 0, "abc"}, {0, 99, 0, "abcXYZ"},
        {1, -1, 1, "aXYZbc"}, {1, 1, 0, "Xabc"}, {1, -1, 3, "abcXYZ"},
        {2, -1, 1, "aXYZ"}, {2, 1, 0, "Xbc"}, {2, 2, 1, "aXY"},
    };
    for (const Case& k : cases) {
        Cell& t = new_string("abc");
        Cell& src = new_string("XYZ");
        string_concatenate(&t, &src, k.part, k.offset, true, k.mode);
        EXPECT_EQ(code_points(t), cps(k.want)) << k.mode << " " << k.part << " " << k.offset;
        EXPECT_EQ(code_points(src), cps("XYZ"));
    }
    Cell& narrow = new_string("ab");
    Cell& wide = keep(test::text_of(T_STRING, {0x1F600, 'z'}, 4));
    string_concatenate(&narrow, &wide, -1, 0, false, 0);
    EXPECT_EQ(unit_of(narrow), 4u);
    EXPECT_EQ(code_points(narrow), (std::vector<uint32_t>{'a', 'b', 0x1F600, 'z'}));
    Cell& target = keep(test::text_of(T_STRING, {0x20AC}, 2));
    Cell& latin = new_string("q");
    string_concatenate(&target, &latin, -1, 0, true, 1);
    EXPECT_EQ(code_points(target), (std::vector<uint32_t>{'q', 0x20AC}));
    EXPECT_EQ(unit_of(latin), 1u);
}

TEST_F(StringTest, ConcatenateIntoItsOwnBuffer) {
    Cell& s = new_string("abcd");
    Cell& tail = keep(s);
    tail.data1 = 2;  // "cd"
    string_concatenate(&s, &tail, -1, 1, true, 1);
    EXPECT_EQ(code_points(s), cps("acdbcd"));
    Cell& s2 = new_string("xy");
    string_concatenate(&s2, &s2, -1, 0, true, 0);
    EXPECT_EQ(code_points(s2), cps("xyxy"));
}

TEST_F(StringTest, HeadPastTheTailIsClipped) {
    Cell& s = new_string("abc");
    Cell& later = keep(s);
    later.data1 = 3;
    string_rs_reset(&s);  // empties the buffer
    EXPECT_EQ(string_rs_length(&later), 0);
    EXPECT_TRUE(string_rs_tail_q(&later));
    string_rs_head(&later);
    EXPECT_EQ(series_index(&later), 0u);
}

TEST_F(StringTest, ResetReturnsToOneByteUnits) {
    Cell& s = keep(test::text_of(T_STRING, {0x1F600}, 4));
    s.data1 = 1;
    string_rs_reset(&s);
    EXPECT_EQ(unit_of(s), 1u);
    EXPECT_EQ(series_index(&s), 0u);
    string_concatenate_literal(&s, "ok");
    EXPECT_EQ(code_points(s), cps("ok"));
}

TEST_F(StringTest, TruncateBuffer) {
    Cell& s = new_string("abcdef");
    string_truncate_buffer(value_series(&s), 10);
    EXPECT_EQ(string_rs_length(&s), 6);
    string_truncate_buffer(value_series(&s), 2);
    EXPECT_EQ(code_points(s), cps("ab"));
}

TEST_F(StringTest, LoadUtf8AndUtf16) {
    const char* text = "\xEF\xBB\xBFh\xC3\xA9";
    Cell* a = string_load_push(text, int32_t(std::strlen(text)), TextEncoding::Utf8);
    EXPECT_EQ(code_points(*a), (std::vector<uint32_t>{'h', 0xE9}));
    const uint16_t units[] = {0xD83D, 0xDE00, 'a'};
    Cell* b = string_load_push(units, 3, TextEncoding::Utf16le);
    EXPECT_EQ(code_points(*b), (std::vector<uint32_t>{0x1F600, 'a'}));
    Cell& target = keep(make_none());
    string_load("xy", 2, &target, TextEncoding::Utf8);
    EXPECT_TRUE(target.is(T_STRING));
    EXPECT_EQ(code_points(target), cps("xy"));
    Cell& blk = keep(test::block({}));
    string_load_in("q", 1, &blk, TextEncoding::Utf8);
    string_load_in("r", 1, &blk, TextEncoding::Utf8);
    Series* bs = value_series(&blk);
    ASSERT_EQ(bs->length(), 2u);
    EXPECT_EQ(code_points(*bs->cell_at(1)), cps("r"));
}

TEST_F(StringTest, FromUtf8CheckedNamesTheTrailingBytes) {
    Node n = alloc_bytes(8);
    Series* b = node_series(n);
    const uint8_t bytes[] = {'a', 0xE2, 0x82};
    std::memcpy(b->head_ptr(), bytes, 3);
    b->tail = b->head + 3;
    Cell& bin = keep(make_series(T_BINARY, n));
    auto r = raised([&] { string_from_utf8_checked(&bin); });
    ASSERT_TRUE(r);
    EXPECT_EQ(r->id, Err::InvalidUtf8);
    ASSERT_TRUE(r->arg1.is(T_BINARY));
    Series* a = value_series(&r->arg1);
    EXPECT_EQ(std::vector<uint8_t>(a->head_ptr(), a->tail_ptr()), (std::vector<uint8_t>{0xE2, 0x82}));
    b = node_series(series_node(&bin));
    b->tail = b->head + 1;
    Cell* ok = string_from_utf8_checked(&bin);
    EXPECT_EQ(code_points(*ok), cps("a"));
}

TEST_F(StringTest, HexHelpers) {
    struct Case { int32_t v; bool trim; const char* want; };
    const Case cases[] = {
        {0, true, "00"}, {255, true, "FF"}, {255, false, "000000FF"}, {30, true, "1E"},
        {0x3000, true, "3000"}, {-1, false, "FFFFFFFF"}, {30, false, "0000001E"},
        {0x1F600, true, "1F600"}, {int32_t(0x80000000), true, "80000000"},
    };
    for (const Case& k : cases) EXPECT_STREQ(string_int_to_hex(k.v, k.trim), k.want) << k.v;
    EXPECT_STREQ(string_byte_to_hex(0xA5), "A5");
}

TEST_F(StringTest, CompareCore) {
    struct Case { const char* a; const char* b; int32_t op; int32_t want; };
    const Case cases[] = {
        {"abc", "ABC", CMP_EQUAL, 0}, {"abc", "ABC", CMP_STRICT_EQUAL, 1},
        {"abc", "abd", CMP_LESSER, -1}, {"ab", "abc", CMP_LESSER, -1}, {"", "a", CMP_LESSER, -1},
        {"b", "a", CMP_SORT, 1}, {"a", "B", CMP_SORT, -1}, {"a", "B", CMP_CASE_SORT, 1},
        {"", "", CMP_EQUAL, 0}, {"ab", "abc", CMP_EQUAL, 1},
    };
    for (const Case& k : cases) {
        Cell& a = new_string(k.a);
        Cell& b = new_string(k.b);
        int32_t r = string_compare_core(&a, &b, k.op, false);
        if (k.want == 0) EXPECT_EQ(r, 0) << k.a << " " << k.b;
        else EXPECT_EQ(r > 0 ? 1 : -1, k.want) << k.a << " " << k.b << " op " << k.op;
    }
    // mixed units fold through the case tables
    Cell& w = keep(test::text_of(T_STRING, {0x3C9, 'A'}, 2));
    Cell& l = keep(test::text_of(T_STRING, {0x3A9, 'a'}, 4));
    EXPECT_EQ(string_compare_core(&w, &l, CMP_EQUAL, false), 0);
    // prefix mode
    Cell& p = new_string("abcdef");
    Cell& q = new_string("ABC");
    EXPECT_EQ(string_compare_core(&p, &q, CMP_EQUAL, true), 0);
    EXPECT_NE(string_compare_core(&q, &p, CMP_EQUAL, true), 0);
}

} // namespace
