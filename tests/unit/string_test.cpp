// String builders and writers: widening on append and on put, concatenation in its three modes
// (mixed units, shared buffers), loading UTF-8 and UTF-16 text, the hex helpers and the comparison
// core. Every test keeps its values on the data stack, so the suite also runs under
// KEL_GC_STRESS=1, where each allocation collects and moves buffers.
#include "datatypes/string.h"

#include "core/case-fold.h"
#include "core/context.h"
#include "core/ownership.h"
#include "core/symbol.h"
#include "core/errors.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/throw.h"
#include "core/unicode.h"
#include "datatypes/datatype.h"

#include "tests/unit/runtime_fixture.h"
#include "tests/unit/test_values.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

using namespace kel;
using test::code_points;
using test::keep;

namespace {

using test::Raised;
using test::raised_with_arg;

class StringTest : public test::RuntimeTest {};


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
    auto r = raised_with_arg([&] { string_from_utf8_checked(&bin); });
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
        {0x1F600, true, "1F600"}, {int32_t(0x80000000), true, "80000000"}, {5, true, "5"},
        {-1, true, "F"},
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

// ---- Actions ---------------------------------------------------------------------------------------

namespace {

class StringActions : public test::RuntimeTest {};

// A string! of UTF-8 text, kept on the data stack.
Cell& str(const char* utf8) {
    Cell* c = string_load_push(utf8, int32_t(std::strlen(utf8)), TextEncoding::Utf8);
    return *c;
}

// The UTF-8 text of a string value from its head.
std::string text(const Cell& c) {
    std::string out;
    for (uint32_t cp : code_points(c)) {
        uint8_t buf[4];
        int n = utf8_encode_char(int32_t(cp), buf);
        out.append(reinterpret_cast<const char*>(buf), size_t(n));
    }
    Series* s = value_series(&c);
    uint32_t skip = series_index(&c);
    // code_points reads from the buffer's head: drop the characters before the value's index
    std::string head_part;
    for (uint32_t i = 0; i < skip && i < (s->tail - s->head) / s->unit(); ++i) {
        uint8_t buf[4];
        int n = utf8_encode_char(int32_t(unit_get(s->head_ptr() + i * s->unit(), s->unit())), buf);
        head_part.append(reinterpret_cast<const char*>(buf), size_t(n));
    }
    return out.substr(head_part.size());
}

// The whole text of the value's buffer, whatever its index.
std::string whole(const Cell& c) {
    Cell h = c;
    h.data1 = 0;
    return text(h);
}

Cell chr(uint32_t cp) { return make_cell(T_CHAR, 0, cp, 0); }

std::string molded(const char* utf8, bool all = false, bool part = false, int32_t limit = INT32_MAX) {
    Cell& v = str(utf8);
    Cell& out = str("");
    int32_t left = string_mold(&v, &out, false, all, false, part, limit, 0);
    if (left < 0) string_truncate_buffer(value_series(&out), uint32_t(string_rs_length(&out) + left));
    return text(out);
}

TEST_F(StringActions, MoldChoosesTheNotation) {
    std::string s49(49, 'x'), s50(50, 'x');
    struct Case { std::string in; std::string want; };
    const Case cases[] = {
        {"abc", "\"abc\""},
        {"a\"b", "{a\"b}"},
        {"a\nb\nc", "\"a^/b^/c\""},
        {"a\nb\nc\nd", "{a^/b^/c^/d}"},
        {s49, "\"" + s49 + "\""},
        {s50, "{" + s50 + "}"},
        {"^", "\"^^\""},
        {"\t", "\"^-\""},
        {"\x7F", "\"^~\""},
        {"\x1E", "\"^(1E)\""},
        {"\xC2\x85", "\"^(85)\""},
        {"\xC3\xA9", "\"\xC3\xA9\""},
        {"", "\"\""},
        {std::string("\0", 1), "\"^@\""},
        {"\x1B", "\"^[\""},
        {"{a}\"", "{{a}\"}"},
        {"{\"", "{^{\"}"},
        {"\"}", "{\"^}}"},
        {"\"{{}{", "{\"^{^{^}^{}"},
        {"a^\"", "{a^^\"}"},
    };
    for (const Case& k : cases) {
        Cell& v = keep(make_none());
        string_load(k.in.data(), int32_t(k.in.size()), &v, TextEncoding::Utf8);
        Cell& out = str("");
        string_mold(&v, &out, false, false, false, false, INT32_MAX, 0);
        EXPECT_EQ(text(out), k.want) << k.in;
    }
    EXPECT_EQ(molded("\xC3\xA9", true), "\"^(E9)\"");
    EXPECT_EQ(molded("\xF0\x9F\x98\x80", true), "\"^(1F600)\"");
}

// Molding and forming with a limit never give more characters than the limit, escapes included.
TEST_F(StringActions, MoldAndFormRespectThePartLimit) {
    for (int32_t limit = 0; limit < 12; ++limit) {
        std::string m = molded("a\tb\tc", false, true, limit);
        EXPECT_LE(int32_t(m.size()), limit) << limit << " " << m;
    }
    EXPECT_EQ(molded("abcdef", false, true, 4), "\"abc");
    Cell& v = str("abcdef");
    Cell& out = str("");
    EXPECT_EQ(string_form(&v, &out, true, 3), 0);
    EXPECT_EQ(text(out), "abc");
    EXPECT_EQ(string_form(&v, &out, false, 10), 4);
}

TEST_F(StringActions, FormWidensTheBufferNotTheValue) {
    Cell& v = keep(test::text_of(T_STRING, {0x1F600}, 4));
    Cell& out = str("ab");
    string_form(&v, &out, false, INT32_MAX);
    EXPECT_EQ(unit_of(out), 4u);
    EXPECT_EQ(code_points(out), (std::vector<uint32_t>{'a', 'b', 0x1F600}));
    EXPECT_EQ(unit_of(v), 4u);
}

TEST_F(StringActions, AppendInsertChange) {
    {   // append a char widens
        Cell& s = str("ab");
        Cell c = chr(0xE9);
        string_insert(&s, &c, -1, false, 1, true);
        EXPECT_EQ(text(s), "ab\xC3\xA9");
        EXPECT_EQ(unit_of(s), 2u);
    }
    {   // append/part and /dup
        Cell& s = str("ab");
        Cell& v = str("cdef");
        string_insert(&s, &v, 2, false, 1, true);
        EXPECT_EQ(text(s), "abcd");
        Cell& a = str("a");
        Cell& b = str("b");
        string_insert(&a, &b, -1, false, 3, true);
        EXPECT_EQ(text(a), "abbb");
    }
    {   // a tag brings its brackets
        Cell& s = str("ab");
        Cell tag = str("x");
        set_cell_type(&tag, T_TAG);
        string_insert(&s, &tag, -1, false, 1, true);
        EXPECT_EQ(text(s), "ab<x>");
    }
    {   // insert returns the position after the insertion
        Cell& s = str("bc");
        Cell& v = str("a");
        string_insert(&s, &v, -1, false, 1, false);
        EXPECT_EQ(text(s), "bc");
        EXPECT_EQ(whole(s), "abc");
        Cell& t = str("ab");
        t.data1 = 2;
        Cell& w = str("cd");
        string_insert(&t, &w, -1, false, 2, false);
        EXPECT_EQ(whole(t), "abcdcd");
        EXPECT_EQ(series_index(&t), 6u);
        Cell& z = str("xy");
        Cell& q = str("QQ");
        string_insert(&z, &q, 0, false, 1, false);   // a count of 0 inserts nothing
        EXPECT_EQ(whole(z), "xy");
        Cell& self = str("ab");
        string_insert(&self, &self, -1, false, 1, false);
        EXPECT_EQ(whole(self), "abab");
    }
    {   // change
        Cell& s = str("abc");
        Cell& x = str("X");
        string_change(&s, &x, -1, false, 1);
        EXPECT_EQ(whole(s), "Xbc");
        EXPECT_EQ(text(s), "bc");
        Cell& t = str("abc");
        Cell& xy = str("XY");
        string_change(&t, &xy, 1, false, 1);
        EXPECT_EQ(whole(t), "XYbc");
        Cell& u = str("abc");
        Cell& long_ = str("WXYZ");
        string_change(&u, &long_, -1, false, 1);
        EXPECT_EQ(whole(u), "WXYZ");
        Cell& v = str("abcdef");
        Cell& q = str("Q");
        string_change(&v, &q, 4, false, 1);
        EXPECT_EQ(whole(v), "Qef");
        Cell& w = str("abc");
        Cell big = chr(0x20AC);
        string_change(&w, &big, -1, false, 2);
        EXPECT_EQ(whole(w), "\xE2\x82\xAC\xE2\x82\xAC" "c");
        Cell& z = str("abc");
        Cell& zz = str("Z");
        string_change(&z, &zz, 0, false, 1);  // /part 0 inserts
        EXPECT_EQ(whole(z), "Zabc");
    }
}

TEST_F(StringActions, Trim) {
    struct Case { const char* in; TrimOpts opts; const char* want; };
    TrimOpts plain, head, tail, lines, all;
    head.head = true;
    tail.tail = true;
    lines.lines = true;
    all.all = true;
    const Case cases[] = {
        {"  a  \n  b  \n ", plain, "a\nb\n"},
        {"  a  ", head, "a  "},
        {"  a  ", tail, "  a"},
        {"  a  ", plain, "a"},
        {" a   b ", lines, "a b"},
        {" a \t\r\n b ", all, "ab"},
        {"", plain, ""},
        {"   ", plain, ""},
        {"a\x01", tail, "a"},
    };
    for (const Case& k : cases) {
        Cell& s = str(k.in);
        string_trim(&s, k.opts);
        EXPECT_EQ(text(s), k.want) << k.in;
    }
    Cell& s = str("abcab");
    Cell& set = str("ab");
    TrimOpts with;
    with.with = &set;
    string_trim(&s, with);
    EXPECT_EQ(text(s), "c");
}

int32_t found(Cell& series, const Cell& value, FindOpts o = {}) {
    Cell r = series;
    string_find(&r, &value, o);
    return r.is(T_NONE) ? -1 : int32_t(series_index(&r));
}

TEST_F(StringActions, Find) {
    Cell& s = str("abcabc");
    Cell& bc = str("bc");
    EXPECT_EQ(found(s, bc), 1);
    FindOpts last;
    last.last = true;
    EXPECT_EQ(found(s, bc, last), 4);
    FindOpts tail;
    tail.tail = true;
    Cell& abc = str("abc");
    EXPECT_EQ(found(abc, chr('b'), tail), 2);
    Cell& mixed = str("aBc");
    FindOpts cs;
    cs.case_ = true;
    EXPECT_EQ(found(mixed, chr('b'), cs), -1);
    EXPECT_EQ(found(mixed, chr('b')), 1);
    Cell& abcd = str("abcd");
    Cell two = make_integer(2);
    FindOpts skip;
    skip.skip = &two;
    EXPECT_EQ(found(abcd, chr('c'), skip), 2);
    EXPECT_EQ(found(abcd, chr('b'), skip), -1);
    Cell& ab = str("ab");
    FindOpts match;
    match.match = true;
    EXPECT_EQ(found(abc, ab, match), 0);
    match.tail = true;
    EXPECT_EQ(found(abc, ab, match), 2);
    Cell& bcx = str("bc");
    FindOpts m2;
    m2.match = true;
    EXPECT_EQ(found(abc, bcx, m2), -1);
    FindOpts rev;
    rev.reverse = true;
    Cell at_end = s;
    at_end.data1 = 6;
    EXPECT_EQ(found(at_end, bc, rev), 4);
    Cell& empty = str("");
    EXPECT_EQ(found(empty, chr('a')), -1);
    Cell zero = make_integer(0);
    FindOpts bad;
    bad.skip = &zero;
    EXPECT_TRUE(raised_with_arg([&] { found(abcd, chr('a'), bad); }));
    FindOpts any;
    any.any = true;
    auto r = raised_with_arg([&] { found(abcd, chr('a'), any); });
    ASSERT_TRUE(r);
    EXPECT_EQ(r->id, Err::NotDone);
    Cell part = make_integer(2);
    FindOpts p;
    p.part = &part;
    EXPECT_EQ(found(abcd, chr('c'), p), -1);
    EXPECT_EQ(found(abcd, chr('b'), p), 1);
}

TEST_F(StringActions, Select) {
    Cell& s = str("abc");
    Cell r = s;
    Cell a = chr('a');
    string_select(&r, &a, {});
    ASSERT_TRUE(r.is(T_CHAR));
    EXPECT_EQ(r.data2, uint32_t('b'));
    Cell r2 = s;
    Cell c = chr('c');
    string_select(&r2, &c, {});
    EXPECT_TRUE(r2.is(T_NONE));
}

std::string sorted(const char* in, SortOpts o = {}) {
    Cell& s = str(in);
    string_sort(&s, o);
    return whole(s);
}

TEST_F(StringActions, Sort) {
    SortOpts cs;
    cs.case_ = true;
    SortOpts stable;
    stable.stable = true;
    EXPECT_EQ(sorted("cBa"), "aBc");
    EXPECT_EQ(sorted("cBa", cs), "Bac");
    EXPECT_EQ(sorted("\xC3\xA9\xC3\x89", stable), "\xC3\xA9\xC3\x89");  // é and É fold together
    EXPECT_EQ(sorted("_a"), "a_");
    SortOpts rev;
    rev.reverse = true;
    EXPECT_EQ(sorted("abc", rev), "cba");
    Cell two = make_integer(2);
    SortOpts skip;
    skip.skip = &two;
    EXPECT_EQ(sorted("b1a2", skip), "a2b1");
    Cell& odd = str("abc");
    auto r = raised_with_arg([&] { string_sort(&odd, skip); });
    ASSERT_TRUE(r);
    EXPECT_EQ(r->id, Err::InvalidRefineArg);
    SortOpts all;
    all.all = true;
    r = raised_with_arg([&] { string_sort(&odd, all); });
    ASSERT_TRUE(r);
    EXPECT_EQ(r->id, Err::BadRefines);
    EXPECT_EQ(whole(odd), "abc");
    Cell part = make_integer(2);
    SortOpts p;
    p.part = &part;
    EXPECT_EQ(sorted("cbaz", p), "bcaz");
    // records with equal keys keep their order under /stable, with /case too
    SortOpts stable_case;
    stable_case.stable = stable_case.case_ = true;
    stable_case.skip = &two;
    EXPECT_EQ(sorted("b2a1b1B0", stable_case), "B0a1b2b1");
    // enough records that an unstable sort would reorder equal keys
    std::string in, want_a, want_b;
    for (int i = 0; i < 300; ++i) {
        char key = "ba"[(i * 7) % 3 == 0];
        char tag = char('0' + i % 10);
        in += key;
        in += tag;
        (key == 'a' ? want_a : want_b) += std::string{key, tag};
    }
    EXPECT_EQ(sorted(in.c_str(), stable_case), want_a + want_b);
}

std::string set_op(const char* a, const char* b, int32_t op, bool case_ = false) {
    Cell& x = str(a);
    Cell& y = str(b);
    string_set_operation(&x, &y, op, case_, nullptr);
    return text(x);
}

TEST_F(StringActions, SetOperations) {
    EXPECT_EQ(set_op("aabbc", "", 8), "abc");
    EXPECT_EQ(set_op("abc", "bcd", 12), "ad");
    EXPECT_EQ(set_op("aB", "ab", 10, true), "a");
    EXPECT_EQ(set_op("aB", "ab", 10), "aB");
    EXPECT_EQ(set_op("abc", "bcd", 9), "abcd");
    EXPECT_EQ(set_op("abc", "bcd", 11), "a");
}

TEST_F(StringActions, SwapAndTake) {
    Cell& a = str("ab");
    Cell& b = str("cd");
    string_swap(&a, &b);
    EXPECT_EQ(text(a), "cb");
    EXPECT_EQ(text(b), "ad");
    Cell& e = str("");
    string_swap(&a, &e);
    EXPECT_EQ(text(a), "cb");
    Cell& w = str("x");
    Cell euro = str("\xE2\x82\xAC");
    string_swap(&w, &euro);
    EXPECT_EQ(text(w), "\xE2\x82\xAC");

    Cell& s = str("abc");
    Cell r = s;
    string_take(&r, nullptr, false, false);
    ASSERT_TRUE(r.is(T_CHAR));
    EXPECT_EQ(r.data2, uint32_t('a'));
    EXPECT_EQ(text(s), "bc");
    Cell r2 = s;
    string_take(&r2, nullptr, false, true);
    EXPECT_EQ(r2.data2, uint32_t('c'));
    Cell two = make_integer(2);
    Cell& t = str("wxyz");
    Cell r3 = t;
    string_take(&r3, &two, false, false);
    EXPECT_EQ(keep(r3).is(T_STRING), true);
    EXPECT_EQ(text(r3), "wx");
    EXPECT_EQ(text(t), "yz");
    Cell zero = make_integer(0);
    Cell r4 = t;
    string_take(&r4, &zero, false, false);
    EXPECT_EQ(text(keep(r4)), "");
    EXPECT_EQ(text(t), "yz");
    Cell& none_left = str("");
    Cell r5 = none_left;
    string_take(&r5, nullptr, false, false);
    EXPECT_TRUE(r5.is(T_NONE));
}

TEST_F(StringActions, CompareAcrossTypes) {
    Cell& a = str("abc");
    Cell f = str("ABC");
    set_cell_type(&f, T_FILE);
    EXPECT_EQ(string_compare(&a, &f, CMP_EQUAL), 0);
    EXPECT_EQ(string_compare(&a, &f, CMP_LESSER), CMP_NOT_COMPARABLE);
    Cell i = make_integer(1);
    EXPECT_EQ(string_compare(&a, &i, CMP_EQUAL), CMP_NOT_COMPARABLE);
    Cell& b = str("ABC");
    EXPECT_EQ(string_compare(&a, &b, CMP_EQUAL), 0);
    EXPECT_NE(string_compare(&a, &b, CMP_STRICT_EQUAL), 0);
}

TEST_F(StringActions, MakeAndTo) {
    Cell& proto = keep(make_datatype(T_STRING));
    Cell spec = make_integer(-1);
    auto r = raised_with_arg([&] { string_make(&proto, &spec, T_STRING); });
    ASSERT_TRUE(r);
    EXPECT_EQ(r->id, Err::OutOfRange);
    Cell zero = make_integer(0);
    Cell& p2 = keep(make_datatype(T_STRING));
    string_make(&p2, &zero, T_STRING);
    EXPECT_TRUE(p2.is(T_STRING));
    EXPECT_EQ(string_rs_length(&p2), 0);
    Cell& p3 = keep(make_datatype(T_STRING));
    Cell& src = str("hi");
    string_to(&p3, &src, T_FILE);
    EXPECT_TRUE(p3.is(T_FILE));
    EXPECT_EQ(text(p3), "hi");
    EXPECT_NE(series_node(&p3), series_node(&src));
    Cell none = make_none();
    Cell& p4 = keep(make_datatype(T_STRING));
    r = raised_with_arg([&] { string_to(&p4, &none, T_STRING); });
    ASSERT_TRUE(r);
    EXPECT_EQ(r->id, Err::BadToArg);
    Cell& p5 = keep(make_datatype(T_STRING));
    Cell& blk = keep(test::block({str("a"), str("b")}));
    string_to(&p5, &blk, T_STRING);
    EXPECT_EQ(text(p5), "ab");
}

} // namespace

// ---- Owner notification -----------------------------------------------------------------------------

namespace {

struct Notice {
    std::string action;
    int32_t index;
    int32_t part;
};
std::vector<Notice> g_notices;

void record_notice(const Cell*, const Cell*, const Cell*, const Cell* action, const Cell*,
                   int32_t index, int32_t part) {
    uint32_t len = 0;
    const uint8_t* name = symbol_name(action->data2, &len);
    g_notices.push_back({std::string(reinterpret_cast<const char*>(name), len), index, part});
    stack_push(make_integer(0));
}

class StringOwner : public test::RuntimeTest {
protected:
    void SetUp() override {
        RuntimeTest::SetUp();
        g_notices.clear();
        g_owner_on_deep_change = record_notice;
    }
    void TearDown() override {
        g_owner_on_deep_change = nullptr;
        RuntimeTest::TearDown();
    }
    // A string owned by a reactive object (a change-handler record is present).
    Cell& owned(const char* utf8) {
        Node ctx = context_make(1, false, true, 0, CONTEXT_OBJECT);
        Cell& obj = keep(make_cell(T_OBJECT, ctx, 0, 0));
        Node record = alloc_cells(2);
        obj = make_cell(T_OBJECT, ctx, 1000001, record);
        *context_owner(ctx) = obj;
        Cell& s = str(utf8);
        Cell w = word_cell("field");
        set_owner_deep(&s, &obj, &w);
        return s;
    }
};

// Each editing action reports its word before the change and its past-tense word after it, with
// the position and the number of characters concerned.
TEST_F(StringOwner, EditingActionsReportBeforeAndAfter) {
    struct Case {
        const char* name;
        std::function<void(Cell&)> run;
        std::vector<std::string> words;
        int32_t index, part_after;
    };
    const std::vector<Case> cases = {
        {"append", [](Cell& s) { Cell& v = str("xy"); string_insert(&s, &v, -1, false, 1, true); },
         {"append", "appended"}, 3, 2},
        {"insert", [](Cell& s) { Cell& v = str("xy"); string_insert(&s, &v, -1, false, 1, false); },
         {"insert", "inserted"}, 0, 2},
        {"change", [](Cell& s) { Cell c = chr('Z'); string_change(&s, &c, -1, false, 1); },
         {"change", "changed"}, 0, 1},
        {"swap", [](Cell& s) { Cell& o = str("q"); string_swap(&s, &o); }, {"swap", "swaped"}, 0, 1},
        {"take", [](Cell& s) { Cell r = s; string_take(&r, nullptr, false, true); }, {"take", "taken"}, 2, 1},
        {"trim", [](Cell& s) { string_trim(&s, TrimOpts{}); }, {"trim", "trimmed"}, 0, 3},
        {"sort", [](Cell& s) { string_sort(&s, SortOpts{}); }, {"sort", "sorted"}, 0, 3},
    };
    for (const Case& k : cases) {
        g_notices.clear();
        Cell& s = owned("cab");
        k.run(s);
        ASSERT_EQ(g_notices.size(), 2u) << k.name;
        EXPECT_EQ(g_notices[0].action, k.words[0]);
        EXPECT_EQ(g_notices[1].action, k.words[1]);
        EXPECT_EQ(g_notices[1].index, k.index) << k.name;
        EXPECT_EQ(g_notices[1].part, k.part_after) << k.name;
    }
}

} // namespace

namespace {

TEST_F(StringActions, PathAccess) {
    Cell& s = str("abc");
    Cell two = make_integer(2);
    Cell r = s;
    PathStep get{&two, nullptr, nullptr, nullptr, nullptr, 1, true, false, true};
    string_eval_path(&r, get);
    ASSERT_TRUE(r.is(T_CHAR));
    EXPECT_EQ(r.data2, uint32_t('b'));
    Cell x = chr('X');
    Cell target = s;
    PathStep set{&two, &x, nullptr, nullptr, nullptr, 1, true, false, true};
    string_eval_path(&target, set);
    EXPECT_EQ(text(s), "aXc");
    Cell a = chr('a');
    Cell y = chr('Y');
    Cell t2 = s;
    PathStep by_key{&a, &y, nullptr, nullptr, nullptr, 1, true, false, true};
    string_eval_path(&t2, by_key);
    EXPECT_EQ(text(s), "aYc");
    Cell q = chr('q');
    Cell t3 = s;
    PathStep absent{&q, &y, nullptr, nullptr, nullptr, 1, true, false, true};
    auto e = raised_with_arg([&] { string_eval_path(&t3, absent); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->id, Err::BadPathSet);
    Cell w = word_cell("foo");
    Cell t4 = s;
    PathStep word{&w, nullptr, nullptr, nullptr, nullptr, 1, true, false, true};
    e = raised_with_arg([&] { string_eval_path(&t4, word); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->id, Err::InvalidPath);
}

TEST_F(StringActions, ToStringFormsEachItem) {
    Cell& p = keep(make_datatype(T_STRING));
    Cell& blk = keep(test::block({word_cell("a"), str("b"), make_integer(1), chr('c')}));
    string_to(&p, &blk, T_STRING);
    EXPECT_EQ(text(p), "ab1c");
    Cell& appended = str("n=");
    Cell n = make_integer(12);
    string_insert(&appended, &n, -1, false, 1, true);
    EXPECT_EQ(text(appended), "n=12");
    Cell& f = str("a12");
    EXPECT_EQ(found(f, make_integer(12)), 1);
}

} // namespace

namespace {

// The matching tests that PARSE uses at a string's head.
TEST_F(StringActions, MatchAtHead) {
    Cell& s = str("Abc<b>x");
    Cell a = chr('a');
    EXPECT_TRUE(string_match(&s, &a, CMP_EQUAL));
    EXPECT_FALSE(string_match(&s, &a, CMP_STRICT_EQUAL));
    Cell& pre = str("aB");
    EXPECT_TRUE(string_match(&s, &pre, CMP_EQUAL));
    EXPECT_FALSE(string_match(&s, &pre, CMP_STRICT_EQUAL));
    Cell& longer = str("abcdefghij");
    EXPECT_FALSE(string_match(&s, &longer, CMP_EQUAL));
    Cell i = make_integer(1);
    EXPECT_FALSE(string_match(&s, &i, CMP_EQUAL));
    Cell at_tag = s;
    at_tag.data1 = 3;
    Cell tag = str("b");
    set_cell_type(&tag, T_TAG);
    keep(tag);
    EXPECT_TRUE(string_tag_at_head(&at_tag, &tag));
    EXPECT_TRUE(string_match(&at_tag, &tag, CMP_EQUAL));
    EXPECT_FALSE(string_tag_at_head(&s, &tag));
    EXPECT_TRUE(string_starts_with(&s, "Abc"));
    EXPECT_FALSE(string_starts_with(&s, "abc"));
    EXPECT_EQ(string_find_char(&s, '<'), 3);
    EXPECT_EQ(string_find_char(&s, 'z'), -1);
    EXPECT_TRUE(string_has_char(&s, 'B', 1, false));
    EXPECT_FALSE(string_has_char(&s, 'B', 1, true));
}

// Bit (0x80 >> (c & 7)) of byte (c >> 3); beyond the bitset's bits the complement flag answers.
TEST_F(StringActions, CharInBitset) {
    Node n = alloc_bytes(16);
    Series* b = node_series(n);
    std::memset(b->head_ptr(), 0, 16);
    b->head_ptr()['a' >> 3] |= uint8_t(0x80 >> ('a' & 7));
    b->tail = b->head + 16;   // 128 bits
    Cell& bits = keep(make_series(T_BITSET, n));
    Cell& a = str("a");
    Cell& c = str("c");
    Cell& wide = keep(test::text_of(T_STRING, {0x3A9}, 2));
    EXPECT_TRUE(string_char_in_bitset(&a, &bits));
    EXPECT_FALSE(string_char_in_bitset(&c, &bits));
    EXPECT_FALSE(string_char_in_bitset(&wide, &bits));
    node_series(series_node(&bits))->flags |= 0x80000;   // complemented
    EXPECT_TRUE(string_char_in_bitset(&wide, &bits));
}

TEST_F(StringActions, TrimAllWithSets) {
    struct Case { const char* in; Cell with; const char* want; };
    Cell& set = str("xy");
    Cell& empty = str("");
    const Case cases[] = {
        {"axbyc", set, "abc"}, {"a-b", chr('-'), "ab"}, {"a1b", make_integer('1'), "ab"},
        {"abc", empty, "abc"},
    };
    for (const Case& k : cases) {
        Cell& s = str(k.in);
        string_trim_all(&s, &k.with);
        EXPECT_EQ(text(s), k.want) << k.in;
    }
    Cell& d = str(" a\tb\r\nc ");
    string_trim_all(&d, nullptr);
    EXPECT_EQ(text(d), "abc");
}

} // namespace
