// KELBIN codec: exact bytes of both forms, round trips of every datatype (compared by mold/all),
// shared series and cycles, decoded functions that run, an LZ77-compressed body, and malformed or
// truncated input refused with an error instead of a crash.
#include "core/console.h"
#include "core/context.h"
#include "core/errors.h"
#include "core/roots.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "datatypes/function.h"
#include "datatypes/object.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"
#include "evaluator/interpreter.h"
#include "evaluator/lexer.h"
#include "services/compress.h"
#include "services/kelbin.h"

#include "tests/unit/environment_fixture.h"
#include "tests/unit/test_values.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace kel;
using test::keep;

namespace {

using Bytes = std::vector<uint8_t>;
constexpr KelbinForm kForms[] = {KelbinForm::Standard, KelbinForm::Compact};

class Kelbin : public test::EnvironmentTest {
protected:
    // Evaluates source text; the result stays on the data stack.
    Cell& run(const char* text) { return keep(EnvironmentTest::run(text)); }

    std::string molded(const Cell& v) {
        Cell& out = keep(make_unset());
        string_make_at(&out, 16);
        mold_typed(&v, &out, false, true, false, false, INT32_MAX, 0);
        std::string s;
        for (uint32_t cp : test::code_points(out)) s += cp < 128 ? char(cp) : '?';
        return s;
    }

    // Decodes into a new block (kept on the stack) and returns its first value.
    Cell& decode(const Bytes& b) {
        Cell& block = keep(make_series(T_BLOCK, alloc_cells(1), 0));
        uint32_t first = kelbin_decode(b.data(), b.size(), series_node(&block));
        return keep(*node_series(series_node(&block))->cell_at(first));
    }

    Cell& round_trip(const Cell& v, KelbinForm form) {
        Bytes b = kelbin_encode_bytes(&v, form);
        return decode(b);
    }

    // The error a decode raises (Count_ when none).
    Err decode_error(const Bytes& b, int32_t* position = nullptr) {
        auto r = test::raised_with_arg([&] { decode(b); });
        if (!r) return Err::Count_;
        if (position && r->arg1.is(T_INTEGER)) *position = cell_integer(&r->arg1);
        return r->id;
    }
};

// The records area of a compact file without symbols.
Bytes compact_records(const Bytes& file) {
    size_t i = 8;
    while (file[i] & 0x80) ++i;  // root count
    ++i;
    while (file[i] & 0x80) ++i;  // records length
    ++i;
    return Bytes(file.begin() + long(i), file.end());
}

Bytes compact_file(const Bytes& records, uint8_t flags = 1) {
    Bytes f = {'K', 'E', 'L', 'B', 'I', 'N', 2, flags, 1, uint8_t(records.size())};
    f.insert(f.end(), records.begin(), records.end());
    return f;
}

TEST_F(Kelbin, IntegerOneInBothForms) {
    Cell& one = keep(make_integer(1));
    Bytes std_bytes = kelbin_encode_bytes(&one, KelbinForm::Standard);
    Bytes expect_std = {'K', 'E', 'L', 'B', 'I', 'N', 2, 0, 1, 0, 0, 0, 8, 0, 0, 0,
                        0x0B, 0, 0, 0, 1, 0, 0, 0};
    EXPECT_EQ(std_bytes, expect_std);
    Bytes cp = kelbin_encode_bytes(&one, KelbinForm::Compact);
    Bytes expect_cp = {'K', 'E', 'L', 'B', 'I', 'N', 2, 1, 1, 1, 0x81};
    EXPECT_EQ(cp, expect_cp);
    // the binary! form of the same file
    Cell& bin = keep(make_unset());
    kelbin_encode(&one, &bin, KelbinForm::Compact);
    ASSERT_TRUE(bin.is(T_BINARY));
    Series* s = node_series(series_node(&bin));
    EXPECT_EQ(Bytes(s->head_ptr(), s->tail_ptr()), expect_cp);
}

// Type ids are read whole after tag 0x3F (0x7F with F), and the version byte is not checked.
TEST_F(Kelbin, LongTypeTagsAndEitherVersion) {
    EXPECT_EQ(molded(decode(compact_file({0x3F, 0x0B, 0x02}))), "1");
    EXPECT_EQ(molded(decode(compact_file({0x7F, 0x0C, 0x04}))), "2.0");
    Cell& v = run("[a \"b\" 1.5]");
    for (KelbinForm form : kForms) {
        Bytes b = kelbin_encode_bytes(&v, form);
        b[6] = 1;
        EXPECT_EQ(molded(decode(b)), molded(v));
    }
}

TEST_F(Kelbin, CompactScalarRecords) {
    struct Case {
        const char* source;
        Bytes records;
    } cases[] = {
        {"0", {0x80}},
        {"63", {0xBF}},
        {"64", {0x0B, 0x80, 0x01}},
        {"-1", {0x0B, 0x01}},
        {"1.0", {0x4C, 0x02}},
        {"0.5", {0x0C, 0, 0, 0, 0, 0, 0, 0xE0, 0x3F}},
        {"-0.0", {0x0C, 0, 0, 0, 0, 0, 0, 0, 0x80}},
        {"1%", {0x66, 0x02}},
        {"12.5%", {0x26, 0, 0, 0, 0, 0, 0, 0xC0, 0x3F}},
        {"1.2.3", {0x27, 1, 2, 3}},
        {"1.2.3.4", {0x67, 4, 1, 2, 3, 4}},
        {"true", {0xC2}},
        {"none", {0x03}},
        {"#\"a\"", {0x0A, 0x61}},
        {"3x-4", {0x25, 0x06, 0x07}},
        {"[]", {0x05, 0x00}},
    };
    for (const Case& c : cases) {
        Cell& v = run(c.source);
        EXPECT_EQ(compact_records(kelbin_encode_bytes(&v, KelbinForm::Compact)), c.records) << c.source;
    }
    // a typeset keeps only its bytes up to the last non-zero one
    Cell& empty_ts = keep(Cell{T_TYPESET, 0, 0, 0});
    EXPECT_EQ(compact_records(kelbin_encode_bytes(&empty_ts, KelbinForm::Compact)), (Bytes{0x21, 0}));
    Cell& low_ts = keep(Cell{T_TYPESET, 0x00004000, 0, 0});
    EXPECT_EQ(compact_records(kelbin_encode_bytes(&low_ts, KelbinForm::Compact)), (Bytes{0x21, 2, 0, 0x40}));
}

// A money! record is the cell's currency byte and packed digits; the sign is the F bit (compact)
// or header bit 22 (standard), and a zero keeps the sign flag it was stored with.
TEST_F(Kelbin, MoneyRecordsHoldTheCellBytes) {
    Cell& m = run("-USD$1.5");
    EXPECT_EQ(compact_records(kelbin_encode_bytes(&m, KelbinForm::Compact)),
              (Bytes{0x71, 155, 0, 0, 0, 0, 0, 0, 0, 0, 0x15, 0, 0}));
    Bytes std_bytes = kelbin_encode_bytes(&m, KelbinForm::Standard);
    Bytes std_records(std_bytes.begin() + 16, std_bytes.end());
    EXPECT_EQ(std_records, (Bytes{49, 0, 0x40, 0, 155, 0, 0, 0, 0, 0, 0, 0, 0, 0x15, 0, 0}));
    Cell& minus_zero = run("-$0");
    ASSERT_TRUE(minus_zero.header & CELL_MONEY_SIGN);
    for (KelbinForm form : kForms) {
        for (Cell* v : {&m, &minus_zero}) {
            Cell& back = round_trip(*v, form);
            EXPECT_EQ(back.header & (CELL_TYPE_MASK | CELL_MONEY_SIGN), v->header & (CELL_TYPE_MASK | CELL_MONEY_SIGN));
            EXPECT_EQ(std::memcmp(&back.data1, &v->data1, 12), 0);
        }
    }
}

TEST_F(Kelbin, StandardFloatStartsOnEightBytes) {
    Cell& v = run("[1.5]");
    Bytes b = kelbin_encode_bytes(&v, KelbinForm::Standard);
    ASSERT_EQ(b.size(), 16u + 28u);
    EXPECT_EQ(b[12], 28);
    // block header, head, count, one padding word, float header, high and low words
    Bytes records(b.begin() + 16, b.end());
    Bytes expect = {5, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 12, 0, 0, 0,
                    0, 0, 0xF8, 0x3F, 0, 0, 0, 0};
    EXPECT_EQ(records, expect);
    EXPECT_EQ(molded(decode(b)), "[1.5]");
}

// Every datatype with a literal, plus values that only evaluation makes, round-trips in both forms.
TEST_F(Kelbin, ValuesRoundTripInBothForms) {
    const char* sources[] = {
        "integer!", "()", "none", "true", "false", "#\"^(10FFFF)\"", "-2147483648",
        "1.0e300", "-0.0", "0.1", "50%", "0.1%", "12:30:15.5", "-1:00", "3x4", "(1.5, 2.5)", "(1, 2, 3)",
        "1.2.3.4.5.6.7.8.9.10.11.12", "10-Dec-2026/22:05:01+01:00", "10-Dec-2026", "#issue",
        "[a b: 'c :d /e #f]", "[1 [2 [3]] (4) a/b/c 'a/b :a/b a/b:]", "next next [1 2 3]",
        "\"text\"", "\"^(20AC)uro\"", "\"^(1F600)\"", "next \"abc\"", "%a/file.txt", "http://x.y/z",
        "<tag a=1>", "me@here.org", "@ref", "#{00FF10}", "make bitset! [#\"a\" - #\"z\"]",
        "complement make bitset! \"abc\"", "make vector! [integer! 16 [1 -2 300]]",
        "make vector! [float! 64 [1.5 -2.25]]", "make vector! [char! 32 [#\"a\"]]",
        "make map! [a 1 \"b\" [2] 3 4.0]", "make hash! [a 1 b 2]",
        "[1\n2\n]", "make object! [a: 1 b: \"two\" c: [3]]", "make image! [2x2 #{FF000000FF000000FF000000}]",
        "number!", "make typeset! [integer! float!]", "block!",
        "-USD$1234.56789", "$99999999999999999.99999", "[$1 EUR$0.5 -$0.00001]",
        // heads of the other series kinds, and new-line markers at depth
        "next #{0102}", "next make vector! [integer! 8 [1 2 3]]", "next to path! [a b c]",
        "next make image! [2x1 #{FF000000FF00}]", "[[1\n2] (\n3) [\n]]", "1-Jan-2020/10:00+5:45",
    };
    for (KelbinForm form : kForms) {
        for (const char* src : sources) {
            Cell& v = run(src);
            std::string before = molded(v);
            Cell& back = round_trip(v, form);
            EXPECT_EQ(molded(back), before) << src << (form == KelbinForm::Compact ? " (compact)" : " (standard)");
            EXPECT_EQ(back.type(), v.type()) << src;
            if (series_index(&v) != 0 && v.type() != T_OBJECT) EXPECT_EQ(series_index(&back), series_index(&v)) << src;
        }
    }
}

TEST_F(Kelbin, WordsKeepTheirBindings) {
    for (KelbinForm form : kForms) {
        Cell& o = run("o: make object! [x: 10 code: [x + 1]]");
        Cell& back = round_trip(o, form);
        Cell* code = const_cast<Cell*>(object_get_field_sym(&back, symbol_make("code")));
        Cell& code_value = keep(*code);
        Cell* base = g_stack.top;
        eval(&code_value, false);
        EXPECT_EQ(cell_integer(stack_top()), 11);
        g_stack.top = base;
        // the decoded object is a new one: its x is not the original's
        EXPECT_NE(object_context(&back), object_context(&o));
    }
}

TEST_F(Kelbin, DecodedFunctionsRun) {
    for (KelbinForm form : kForms) {
        Cell& f = run("func [n /twice k] [either twice [n * k * 2] [n + 1]]");
        Cell& back = round_trip(f, form);
        ASSERT_TRUE(back.is(T_FUNCTION));
        Cell* word = context_global_word(symbol_make("kb-f"));
        Cell w = *word;
        context_set_in(&w, &back, g_global_context, false);
        EXPECT_EQ(cell_integer(&run("kb-f 41")), 42);
        EXPECT_EQ(cell_integer(&run("kb-f/twice 3 5")), 30);
        Cell& natives = run("reduce [:add :append :+]");
        EXPECT_EQ(molded(round_trip(natives, form)), molded(natives));
        Cell& op = run(":+");
        Cell& op_back = round_trip(op, form);
        EXPECT_TRUE(op_back.is(T_OP));
        Cell* wp = context_global_word(symbol_make("kb-plus"));
        Cell pw = *wp;
        context_set_in(&pw, &op_back, g_global_context, false);
        EXPECT_EQ(cell_integer(&run("2 kb-plus 3")), 5);
    }
}

TEST_F(Kelbin, SharedSeriesStayShared) {
    for (KelbinForm form : kForms) {
        Cell& v = run("s: \"abc\" b: reduce [s next s [x] none] b/4: b/3 b");
        Cell& back = round_trip(v, form);
        Series* blk = node_series(series_node(&back));
        Cell s1 = *blk->cell_at(0), s2 = *blk->cell_at(1), b3 = *blk->cell_at(2), b4 = *blk->cell_at(3);
        EXPECT_EQ(series_node(&s1), series_node(&s2));
        EXPECT_EQ(series_index(&s1), 0u);
        EXPECT_EQ(series_index(&s2), 1u);
        EXPECT_EQ(series_node(&b3), series_node(&b4));
        EXPECT_NE(series_node(&s1), series_node(&run("s")));
    }
}

TEST_F(Kelbin, CyclesComeBackAsCycles) {
    for (KelbinForm form : kForms) {
        Cell& b = run("b: [1 2] append/only b b b");
        Cell& back = round_trip(b, form);
        Cell inner = *node_series(series_node(&back))->cell_at(2);
        EXPECT_EQ(series_node(&inner), series_node(&back));

        Cell& o = run("o: make object! [self-ref: none list: []] o/self-ref: o append o/list o o");
        Cell& ob = round_trip(o, form);
        const Cell* s = object_get_field_sym(&ob, symbol_make("self-ref"));
        ASSERT_TRUE(s->is(T_OBJECT));
        EXPECT_EQ(object_context(s), object_context(&ob));
        const Cell* list = object_get_field_sym(&ob, symbol_make("list"));
        Cell first = *node_series(series_node(list))->cell_at(0);
        EXPECT_EQ(object_context(&first), object_context(&ob));
    }
}

TEST_F(Kelbin, ErrorsRoundTripAndRefuseCycles) {
    for (KelbinForm form : kForms) {
        Cell& e = run("try [1 / 0]");
        ASSERT_TRUE(e.is(T_ERROR));
        Cell& back = round_trip(e, form);
        ASSERT_TRUE(back.is(T_ERROR));
        EXPECT_EQ(cell_integer(error_field(&back, ERR_CODE)), cell_integer(error_field(&e, ERR_CODE)));
        Cell& looped = run("e: try [1 / 0] e/arg1: e e");
        EXPECT_EQ(test::raised([&] { kelbin_encode_bytes(&looped, form); }), Err::NoCycle);
    }
}

TEST_F(Kelbin, UnsupportedValuesAreRefused) {
    Cell& ctx = keep(Cell{T_CONTEXT, 0, 0, 0});
    Cell& sym = keep(Cell{T_SYMBOL, 0, 0, 0});
    Cell& handle = keep(Cell{T_HANDLE, 0, 0, 0});
    for (KelbinForm form : kForms)
        for (Cell* v : {&ctx, &sym, &handle})
            EXPECT_EQ(test::raised([&] { kelbin_encode_bytes(v, form); }), Err::NotSupported) << int(v->type());
}

TEST_F(Kelbin, CompressedBodyDecodes) {
    Cell& v = run("append/dup copy [] \"same text\" 100");
    Bytes plain = kelbin_encode_bytes(&v, KelbinForm::Compact);
    Bytes body(plain.begin() + 8, plain.end());
    Bytes packed(body.size());
    int64_t n = lz_compress(body.data(), body.size(), packed.data());
    ASSERT_GT(n, 0);
    Bytes file(plain.begin(), plain.begin() + 8);
    file[7] |= 2;
    file.insert(file.end(), packed.begin(), packed.begin() + n);
    EXPECT_EQ(molded(decode(file)), molded(v));
    file.resize(file.size() - 3);
    EXPECT_EQ(decode_error(file), Err::InvalidData);
}

TEST_F(Kelbin, MalformedInputIsRefused) {
    struct Case {
        const char* what;
        Bytes records;
        int32_t position;  // expected offset + 1 from the data start, 0: not checked
    } cases[] = {
        {"definition prefix in user data", {0xC4, 0x0F}, 11},
        {"LEB wider than 32 bits", {0x0B, 0xFF, 0xFF, 0xFF, 0xFF, 0x1F}, 16},
        {"string unit code 3", {0x07, 0x07, 'a', 'b'}, 12},
        {"code point above 10FFFF", {0x0A, 0x80, 0x80, 0xC4, 0x00}, 12},
        {"tuple of length 2", {0x67, 2, 1, 2}, 12},
        {"odd map count", {0x28, 3, 0x80, 0x80, 0x80}, 0},
        {"reference before an integer", {0xC1, 0x81}, 12},
        {"symbol without a table", {0x0F, 0}, 12},
        {"unknown tag", {0xC5}, 11},
        {"block count past the data", {0x05, 0x05, 0x80}, 0},
        {"path into nothing", {0xFF, 1, 5}, 0},
        {"native index outside the table", {0x15, 0x7F, 0x05, 0x00}, 12},
        {"symbol! record", {0x0D}, 11},
        {"date of month 13", {0x2F, 0x80, 0xD0, 0xD4, 0x0F}, 11},
        {"30 February", {0x2F, 0x00, 0x2F, 0xD4, 0x0F}, 11},
        {"money digit nibble above 9", {0x31, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x1A, 0, 0}, 11},
        {"money cut short", {0x31, 0, 0, 0}, 0},
        // 1-Jan-2020 with a time: 1e12 s, NaN, and one second before its local day at +01:00
        {"date time past its day", {0x6F, 0x80, 0x10, 0xC9, 0x0F, 0, 0, 0, 0xA2, 0x94, 0x1A, 0x6D, 0x42}, 11},
        {"date time NaN", {0x6F, 0x80, 0x10, 0xC9, 0x0F, 0, 0, 0, 0, 0, 0, 0xF8, 0x7F}, 11},
        {"date time before its day", {0x6F, 0x84, 0x10, 0xC9, 0x0F, 0, 0, 0, 0, 0, 0x22, 0xAC, 0xC0}, 11},
        {"tuple of length 13", {0x67, 13, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}, 12},
        {"image pixels past the data", {0x35, 2, 2, 1, 2, 3, 4}, 0},
        {"image side above 65535", {0x35, 0x80, 0x80, 0x04, 0, 0}, 0},
        {"typed tag of type 0", {0x00}, 11},
        {"long type tag naming no type", {0x3F, 0x80, 0x01}, 0},
        // an object's values cannot live on the data stack: only a function frame's do
        {"object with a stack context", {0x20, 0x00, 0x0E, 0x06, 0x00}, 0},
        {"context record on the stack", {0x0E, 0x06, 0x00}, 0},
    };
    for (const Case& c : cases) {
        int32_t pos = 0;
        EXPECT_EQ(decode_error(compact_file(c.records), &pos), Err::KbInvalidRecord) << c.what;
        if (c.position) EXPECT_EQ(pos, c.position) << c.what;
    }
    // standard form: header words, then records (the records length is taken from them unless given)
    auto standard = [](std::vector<uint32_t> words, int32_t records_length = -1, std::vector<uint32_t> symbols = {}) {
        Bytes f = {'K', 'E', 'L', 'B', 'I', 'N', 2, uint8_t(symbols.empty() ? 0 : 4)};
        std::vector<uint32_t> all = {1, records_length < 0 ? uint32_t(words.size() * 4) : uint32_t(records_length)};
        all.insert(all.end(), symbols.begin(), symbols.end());
        all.insert(all.end(), words.begin(), words.end());
        for (uint32_t w : all)
            for (int i = 0; i < 4; ++i) f.push_back(uint8_t(w >> (8 * i)));
        return f;
    };
    struct StdCase {
        const char* what;
        Bytes file;
        int32_t position;
    } std_cases[] = {
        {"string unit size 3", standard({T_STRING | 3u << 8, 0, 1, 'a'}), 0},
        {"odd map count", standard({T_MAP, 1, T_INTEGER, 5}), 0},
        {"tuple of length 2", standard({T_TUPLE | 2u << 8, 0x0201, 0, 0}), 17},
        {"date time past its day", standard({T_DATE, 0x0FC91080u, 0x426D1A94u, 0xA2000000u}), 17},
        {"date without a time holding one", standard({T_DATE, 0x0FC81080u, 0x40AC2000u, 0}), 17},
        {"records length past the file", standard({T_INTEGER, 1}, 16), 0},
        {"symbol! record", standard({T_SYMBOL}), 17},
        {"unknown type id", standard({60}), 17},
        {"word without a symbol table", standard({T_WORD | 1u << 25, 0, 0}), 0},
        // one symbol whose name runs past the name area (no NUL in it)
        {"name past its area", standard({T_WORD | 1u << 25, 0, 0}, -1, {1, 8, 0, 0x64636261, 0x68676665}), 0},
        {"symbol index outside the table", standard({T_WORD | 1u << 25, 1, 0}, -1, {1, 8, 0, 0x61, 0}), 0},
    };
    for (const StdCase& c : std_cases) {
        int32_t pos = 0;
        EXPECT_EQ(decode_error(c.file, &pos), Err::KbInvalidRecord) << c.what;
        if (c.position) EXPECT_EQ(pos, c.position) << c.what;
    }
    EXPECT_TRUE(decode(compact_file({0x20, 0x00, 0x0E, 0x02, 0x00})).is(T_OBJECT))
        << "the same object without the stack flag decodes";
    EXPECT_TRUE(decode(compact_file({0x0E, 0x02, 0x00})).is(T_OBJECT));
    EXPECT_TRUE(decode(standard({T_WORD | 1u << 25, 0, 0}, -1, {1, 8, 0, 0x61, 0})).is(T_WORD))
        << "the same word with a valid table decodes";
    EXPECT_EQ(decode_error(Bytes{'K', 'E', 'L', 'B', 'I', 'N', 2}), Err::InvalidData);
    EXPECT_EQ(decode_error(Bytes{'K', 'E', 'L', 'B', 'I', 'X', 2, 1, 1, 1, 0x81}), Err::InvalidData);
    EXPECT_EQ(decode_error(Bytes{'K', 'E', 'L', 'B', 'I', 'N', 2, 0, 1, 0, 0}), Err::InvalidData);
}

// A native! record names its entry by index, and the entry reads its arguments as the record's
// spec describes them: a spec that does not describe the frame of the entry's own is refused.
// The fixture is a native made for `if` with narrower types, its record's index patched.
TEST_F(Kelbin, NativeRecordsMustFitTheirEntry) {
    Cell& natives = run("reduce [make native! [[c [logic!] b [block!]] 1] "
                        "make op! make native! [[a [integer!] b [integer!]] 28]]");
    Bytes file = kelbin_encode_bytes(&natives, KelbinForm::Compact);
    std::vector<size_t> index_at;   // the index byte of each native record
    for (size_t i = 10; i + 1 < file.size(); ++i)
        if (file[i] == T_NATIVE && (file[i + 1] == 1 || file[i + 1] == 28)) index_at.push_back(i + 1);
    ASSERT_EQ(index_at.size(), 2u);
    struct Case { const char* what; size_t record; uint8_t index; const char* run; const char* gives; };
    const Case cases[] = {
        {"the slot it was made for", 0, 1, "kb-n true [1 + 2]", "3"},
        {"unless takes the same frame", 0, 2, "kb-n false [1 + 2]", "3"},
        {"either: one argument more", 0, 3, nullptr, nullptr},
        {"all: one argument fewer", 0, 5, nullptr, nullptr},
        {"print: one any-type! argument", 0, 23, nullptr, nullptr},
        {"the op on the slot it was made for", 1, 28, "2 kb-n 3", "#(true)"},
        {"the op on equal?: the same frame", 1, 25, "2 kb-n 3", "#(false)"},
        {"the op on foreach: three arguments", 1, 11, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        Bytes b = file;
        b[index_at[c.record]] = c.index;
        if (!c.run) {
            int32_t pos = 0;
            EXPECT_EQ(decode_error(b, &pos), Err::KbInvalidRecord) << c.what;
            EXPECT_EQ(pos, int32_t(index_at[c.record] + 2)) << c.what << ": the spec's position";
            continue;
        }
        Cell& back = decode(b);
        ASSERT_TRUE(back.is(T_BLOCK)) << c.what;
        Cell v = *node_series(series_node(&back))->cell_at(c.record);
        EXPECT_EQ(function_table_index(&v), c.index) << c.what;
        Cell w = *context_global_word(symbol_make("kb-n"));
        context_set_in(&w, &v, g_global_context, false);
        EXPECT_EQ(molded(run(c.run)), c.gives) << c.what;
    }
    // a record for `if` whose spec is empty
    EXPECT_EQ(decode_error(compact_file({0x15, 0x01, 0x05, 0x00})), Err::KbInvalidRecord);
}

TEST_F(Kelbin, WordIndexOutsideItsContextIsRefused) {
    // a word bound to an object of one word, claiming index 5
    Cell& v = run("o: make object! [a: 1] reduce [in o 'a]");
    Bytes b = kelbin_encode_bytes(&v, KelbinForm::Compact);
    // compact word record: tag 0x4F, symbol index, zigzag word index 0 -> patch to 5 (zz 10)
    bool patched = false;
    for (size_t i = 8; i + 2 < b.size(); ++i)
        if (b[i] == 0x4F && b[i + 2] == 0x00 && b[i + 3] == T_OBJECT) { b[i + 2] = 10; patched = true; break; }
    ASSERT_TRUE(patched);
    EXPECT_EQ(decode_error(b), Err::KbInvalidRecord);
}

// Every proper prefix of a valid file is refused cleanly, in both forms.
TEST_F(Kelbin, TruncatedInputIsRefused) {
    Cell& v = run("reduce [1 2.5 \"text\" [a b] make object! [x: 1] func [a] [a] #{0102} 1.2.3]");
    for (KelbinForm form : kForms) {
        Bytes full = kelbin_encode_bytes(&v, form);
        for (size_t n = 0; n < full.size(); ++n) {
            Bytes cut(full.begin(), full.begin() + long(n));
            Err e = decode_error(cut);
            EXPECT_TRUE(e == Err::KbInvalidRecord || e == Err::InvalidData) << "length " << n;
        }
        EXPECT_EQ(decode_error(full), Err::Count_);
    }
}

TEST_F(Kelbin, DeepNestingRaisesStackOverflow) {
    // 200000 nested empty blocks: 05 01 05 01 ... 05 00
    Bytes records;
    for (int i = 0; i < 200000; ++i) { records.push_back(0x05); records.push_back(0x01); }
    records.push_back(0x05);
    records.push_back(0x00);
    Bytes file = {'K', 'E', 'L', 'B', 'I', 'N', 2, 1, 1};
    uint32_t len = uint32_t(records.size());
    while (len >= 0x80) { file.push_back(uint8_t(len | 0x80)); len >>= 7; }
    file.push_back(uint8_t(len));
    file.insert(file.end(), records.begin(), records.end());
    EXPECT_EQ(decode_error(file), Err::StackOverflow);
}

} // namespace

namespace {

void put_leb(Bytes& b, uint32_t v) {
    while (v >= 0x80) { b.push_back(uint8_t(v | 0x80)); v >>= 7; }
    b.push_back(uint8_t(v));
}
void put_u32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
uint32_t get_leb(const uint8_t* p, size_t* i) {
    uint32_t v = 0;
    for (int shift = 0;; shift += 7) {
        uint8_t b = p[(*i)++];
        v |= uint32_t(b & 0x7F) << shift;
        if (!(b & 0x80)) return v;
    }
}

// A compact boot image (version 1, flags 5) over the names and records given.
Bytes boot_file(const std::vector<std::string>& names, const Bytes& records) {
    Bytes f = {'K', 'E', 'L', 'B', 'I', 'N', 1, 5};
    put_leb(f, 1);
    put_leb(f, uint32_t(records.size()));
    Bytes area;
    std::vector<uint32_t> offsets;
    for (const std::string& n : names) {
        offsets.push_back(uint32_t(area.size()));
        area.insert(area.end(), n.begin(), n.end());
        area.push_back(0);
    }
    put_leb(f, uint32_t(names.size()));
    put_leb(f, uint32_t(area.size()));
    for (uint32_t o : offsets) put_u32(f, o);
    f.insert(f.end(), area.begin(), area.end());
    f.insert(f.end(), records.begin(), records.end());
    return f;
}

} // namespace

TEST_F(Kelbin, EmbeddedBootImageStartsWithTheDatatypeWords) {
    size_t size = 0, count = 0;
    const char* const* names = nullptr;
    const uint8_t* image = kelbin_boot_image(&size, &names, &count);
    ASSERT_GT(size, 16u);
    EXPECT_EQ(std::memcmp(image, "KELBIN\x01\x05", 8), 0);
    size_t i = 8;
    get_leb(image, &i);  // root count
    get_leb(image, &i);  // records length
    uint32_t symbols = get_leb(image, &i);
    uint32_t area = get_leb(image, &i);
    i += size_t(symbols) * 4 + area;
    ASSERT_LT(i + 5, size);
    EXPECT_EQ(Bytes(image + i, image + i + 5), (Bytes{0xC4, 0x10, 0x00, 0x01, 0x02}));
    ASSERT_EQ(count, 5u);
    EXPECT_STREQ(names[0], "natives.kel");
    EXPECT_STREQ(names[4], "catalog-errors.kel");
}

TEST_F(Kelbin, HandMadeBootImageUsesContextsOfRootValues) {
    Bytes records = {
        0xC4, 0x10, 0x00, 0x8A,                         // kb-boot-x: 10
        0x20, 0x0A, 0x0E, 0x12, 0x01, 0x01, 0x87,       // object, class 5, field: 7
        0x05, 0x02, 0x4F, 0x01, 0x00, 0x01,             // [field (looked up in root value 0)
        0x4F, 0x01, 0x00, 0x00,                         //  field (index 0 of root value 0)]
        0x0F, 0x00,                                     // kb-boot-x, global
    };
    Bytes image = boot_file({"kb-boot-x", "field"}, records);
    uint32_t before = node_series(g_root_block)->length();
    uint32_t base = kelbin_boot(image.data(), image.size());
    EXPECT_EQ(base, before);
    EXPECT_EQ(node_series(g_root_block)->length(), before + 3);  // the definition left no value
    Cell& obj = keep(*boot_cell(base));
    ASSERT_TRUE(obj.is(T_OBJECT));
    EXPECT_EQ(object_class_id(&obj), 5);  // the boot image keeps class ids
    Cell& words = keep(*boot_cell(base + 1));
    for (uint32_t k = 0; k < 2; ++k) {
        Cell w = *node_series(series_node(&words))->cell_at(k);
        EXPECT_EQ(w.data1, object_context(&obj));
        EXPECT_EQ(cell_integer(word_get(&w)), 7);
    }
    EXPECT_EQ(cell_integer(&run("kb-boot-x")), 10);

    // the standard form marks a definition with the global bit; its words carry two indexes
    Bytes std_image = {'K', 'E', 'L', 'B', 'I', 'N', 1, 4};
    Bytes body;
    put_u32(body, 1);
    put_u32(body, 24);
    put_u32(body, 1);   // one symbol
    put_u32(body, 16);  // name area
    put_u32(body, 0);
    for (char c : std::string("kb-boot-y\0\0\0\0\0\0\0", 16)) body.push_back(uint8_t(c));
    put_u32(body, T_SET_WORD | (1u << 25));
    put_u32(body, 0);
    put_u32(body, 0xFFFFFFFF);
    put_u32(body, 0xFFFFFFFF);
    put_u32(body, T_INTEGER);
    put_u32(body, 42);
    std_image.insert(std_image.end(), body.begin(), body.end());
    uint32_t length = node_series(g_root_block)->length();
    kelbin_boot(std_image.data(), std_image.size());
    EXPECT_EQ(node_series(g_root_block)->length(), length);
    EXPECT_EQ(cell_integer(&run("kb-boot-y")), 42);
}

TEST_F(Kelbin, BootDefinitionsOnlyAtTheTopLevel) {
    Bytes nested = boot_file({"kb-boot-x"}, {0x05, 0x01, 0xC4, 0x10, 0x00, 0x8A});
    EXPECT_EQ(decode_error(nested), Err::KbInvalidRecord);  // user mode
    EXPECT_EQ(test::raised([&] { kelbin_boot(nested.data(), nested.size()); }), Err::KbInvalidRecord);
    Bytes bad_context = boot_file({"a"}, {0x4F, 0x00, 0x09, 0x01});  // no root value 9
    EXPECT_EQ(test::raised([&] { kelbin_boot(bad_context.data(), bad_context.size()); }), Err::KbInvalidRecord);
}

using KelbinDeathTest = Kelbin;

TEST_F(KelbinDeathTest, CorruptBootImageEndsTheProcess) {
    size_t size = 0, count = 0;
    const char* const* names = nullptr;
    const uint8_t* image = kelbin_boot_image(&size, &names, &count);
    Bytes bad(image, image + size);
    bad[0] = 'X';
    EXPECT_EXIT(kelbin_boot(bad.data(), bad.size()), testing::ExitedWithCode(1), "Error: Not a Kelbin file!");
    Bytes packed = {'K', 'E', 'L', 'B', 'I', 'N', 1, 7, 1, 2, 3};  // compressed body that is not LZ77
    EXPECT_EXIT(kelbin_boot(packed.data(), packed.size()), testing::ExitedWithCode(1), "Error: Not a Kelbin file!");
}
// An op! record wraps a function record; the operator must take exactly two arguments, as
// `make op!` demands. The fixture is a saved function with the op! tag put before it.
TEST_F(Kelbin, OpRecordsTakeTwoArguments) {
    struct Case { const char* fn; const char* gives; } cases[] = {
        {"func [a b] [a - b]", "2"},
        {"func [a] [a]", nullptr},
        {"func [] [1]", nullptr},
        {"func [a b c] [a]", nullptr},
    };
    for (const Case& c : cases) {
        std::string src = std::string("reduce [") + c.fn + "]";
        Bytes b = kelbin_encode_bytes(&run(src.c_str()), KelbinForm::Compact);
        ASSERT_LT(b[9], 0x7F) << "the records length is one LEB byte";
        size_t at = std::find(b.begin() + 11, b.end(), uint8_t(T_FUNCTION)) - b.begin();
        ASSERT_LT(at, b.size()) << c.fn;
        b.insert(b.begin() + long(at), uint8_t(T_OP));
        ++b[9];  // the records length
        if (!c.gives) {
            EXPECT_EQ(decode_error(b), Err::KbInvalidRecord) << c.fn;
            continue;
        }
        Cell& back = decode(b);
        Cell v = *node_series(series_node(&back))->cell_at(0);
        ASSERT_TRUE(v.is(T_OP)) << c.fn;
        Cell w = *context_global_word(symbol_make("kb-op"));
        context_set_in(&w, &v, g_global_context, false);
        EXPECT_EQ(molded(run("5 kb-op 3")), c.gives) << c.fn;
    }
}
