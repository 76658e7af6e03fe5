// The lexer: every literal kind it builds, blocks, parens and paths, new-line markers, the syntax
// errors with their line and snippet, scan and prescan modes, one-value reads, the kinds that are
// recognised but not built yet, loading from string! and binary!, nested scans under collection,
// and the standalone number scanners.
#include "evaluator/lexer.h"

#include "core/errors.h"
#include "core/gc.h"
#include "core/roots.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/unicode.h"
#include "datatypes/datatype.h"

#include "tests/unit/runtime_fixture.h"
#include "tests/unit/test_values.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using namespace kel;

namespace {

class Lexer : public test::RuntimeTest {};

std::string utf8_of(const std::vector<uint32_t>& cps) {
    std::string out;
    for (uint32_t cp : cps) {
        uint8_t buf[4];
        int n = utf8_encode_char(int32_t(cp), buf);
        out.append(reinterpret_cast<char*>(buf), size_t(n));
    }
    return out;
}

std::string word_name(const Cell* c) {
    uint32_t len;
    const uint8_t* name = symbol_name(c->data2, &len);
    return std::string(reinterpret_cast<const char*>(name), len);
}

// A compact rendering of loaded values: the type, then the value; "|" before a value that
// carries the new-line marker.
std::string describe(const Cell* c);

std::string describe_series(const Cell* c) {
    Series* s = node_series(series_node(c));
    std::string out;
    for (uint32_t i = series_index(c); i < s->length(); ++i) {
        if (!out.empty()) out += ' ';
        out += describe(s->cell_at(i));
    }
    return out;
}

std::string describe(const Cell* c) {
    std::string nl = (c->header & CELL_NEWLINE) ? "|" : "";
    char buf[64];
    switch (c->type()) {
    case T_INTEGER: return nl + "int:" + std::to_string(cell_integer(c));
    case T_FLOAT:
        std::snprintf(buf, sizeof buf, "%.17g", c->get_float());
        return nl + "float:" + buf;
    case T_TIME:
        std::snprintf(buf, sizeof buf, "%.17g", c->get_float());
        return nl + "time:" + buf;
    case T_CHAR: return nl + "char:" + std::to_string(c->data2);
    case T_STRING: return nl + "str:\"" + utf8_of(test::code_points(*c)) + "\"";
    case T_WORD: return nl + "word:" + word_name(c);
    case T_SET_WORD: return nl + "set-word:" + word_name(c);
    case T_GET_WORD: return nl + "get-word:" + word_name(c);
    case T_LIT_WORD: return nl + "lit-word:" + word_name(c);
    case T_REFINEMENT: return nl + "refinement:" + word_name(c);
    case T_ISSUE: return nl + "issue:" + word_name(c);
    case T_LOGIC: return nl + (c->data1 ? "true" : "false");
    case T_NONE: return nl + "none";
    case T_UNSET: return nl + "unset";
    case T_DATATYPE: return nl + "datatype:" + type_name(TypeId(c->data1));
    case T_BLOCK: return nl + "[" + describe_series(c) + "]";
    case T_PAREN: return nl + "(" + describe_series(c) + ")";
    case T_PATH: return nl + "path:" + describe_series(c);
    case T_SET_PATH: return nl + "set-path:" + describe_series(c);
    case T_GET_PATH: return nl + "get-path:" + describe_series(c);
    case T_LIT_PATH: return nl + "lit-path:" + describe_series(c);
    default: return nl + "type" + std::to_string(c->type());
    }
}

const Cell k_try_word{T_WORD, 0, 0, 0};

struct Outcome {
    std::string values;    // describe() of the loaded block, or empty
    Err error = Err::Count_;
    std::string args;      // the error's arguments as text
};

std::string text_of_arg(const Cell* a) {
    if (!a) return "";
    if (a->is(T_STRING)) return utf8_of(test::code_points(*a));
    if (a->is(T_DATATYPE)) return type_name(TypeId(a->data1));
    if (a->is(T_CHAR)) return std::string(1, char(a->data2));
    return describe(a);
}

Outcome load(const std::string& text, uint32_t flags = 0) {
    Outcome out;
    Cell* top = g_stack.top;
    Cell* args = g_stack.arguments;
    Cell* result = stack_push(Cell{T_NONE, 0, 0, 0});
    bool done = stack_try(&k_try_word, false, [&] {
        LexerCall call;
        call.flags = flags;
        lexer_scan(result, reinterpret_cast<const uint8_t*>(text.data()), uint32_t(text.size()), call);
        out.values = result->is(T_BLOCK) ? describe_series(result) : describe(result);
    });
    if (!done) {
        const Cell* error = stack_top();
        out.error = error_id_of(error);
        for (uint32_t i = 1; i <= 3; ++i) {
            const Cell* a = error_arg(error, i);
            if (a && !a->is(T_NONE)) out.args += (i > 1 ? " | " : "") + text_of_arg(a);
        }
    }
    g_stack.top = top;
    g_stack.arguments = args;
    return out;
}

struct Case {
    std::string text;
    std::string expected;
};

void check_loads(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        Outcome o = load(c.text);
        EXPECT_EQ(o.error, Err::Count_) << c.text << " raised " << o.args;
        EXPECT_EQ(o.values, c.expected) << c.text;
    }
}

struct ErrorCase {
    std::string text;
    Err error;
    std::string args;
};

void check_errors(const std::vector<ErrorCase>& cases) {
    for (const ErrorCase& c : cases) {
        Outcome o = load(c.text);
        EXPECT_EQ(int(o.error), int(c.error)) << c.text << " gave " << o.values << o.args;
        EXPECT_EQ(o.args, c.args) << c.text;
    }
}

TEST_F(Lexer, Numbers) {
    check_loads({
        {"0 1 -1 +7 2147483647", "int:0 int:1 int:-1 int:7 int:2147483647"},
        {"2147483648", "float:2147483648"},
        {"-2147483648 -2147483649", "int:-2147483648 float:-2147483649"},
        {"00000000001", "float:1"},
        {"1'000 1'000'000", "int:1000 int:1000000"},
        {"0Fh FFFFFFFFh 7FFFFFFFh 10h", "int:15 int:-1 int:2147483647 int:16"},
        {"1.5 -0.25 .5 1. 1e3 1.5E-2 1'000.5", "float:1.5 float:-0.25 float:0.5 float:1 float:1000 float:0.014999999999999999 float:1000.5"},
        {"1.#NaN 1.#INF -1.#inf", "float:nan float:inf float:-inf"},
    });
}

TEST_F(Lexer, NumberErrors) {
    check_errors({
        {"1''0", Err::Invalid, "(line 1) | integer! | 1''0"},
        {"Fh", Err::Invalid, "(line 1) | word! | Fh"},
        {"123456789h", Err::Invalid, "(line 1) | integer! | 123456789h"},
        {"1.#FOO", Err::Invalid, "(line 1) | float! | 1.#FOO"},
        {"1.2e", Err::Invalid, "(line 1) | float! | 1.2e"},
    });
}

TEST_F(Lexer, Times) {
    check_loads({
        {"12:30 1:2.5 0:0:1.25 -1:30", "time:45000 time:62.5 time:1.25 time:-5400"},
        {"10:20:30", "time:37230"},
    });
    check_errors({
        {"1:60", Err::Invalid, "(line 1) | time! | 1:60"},
        {"1:2:60", Err::Invalid, "(line 1) | time! | 1:2:60"},
    });
}

TEST_F(Lexer, Strings) {
    check_loads({
        {R"x("abc" "")x", R"x(str:"abc" str:"")x"},
        {R"x("a^(41)b^(tab)^/^@")x", "str:\"aAb\t\n" + std::string(1, '\0') + "\""},
        {R"x("^"q^" ^^ ^{ ^} ^- ^~")x", "str:\"\"q\" ^ { } \t \x7f\""},
        {R"x("^a^Z^[")x", "str:\"\x01\x1a\x1b\""},
        {"\"\xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\"", "str:\"\xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
        {"{a{b}c}", "str:\"a{b}c\""},
        {"{a^}b} {x}", "str:\"a}b\" str:\"x\""},
        {"{line\none}", "str:\"line\none\""},
        {"%{a}b}% %%{x}%%", "str:\"a}b\" str:\"x\""},
        {"%{^/}%", "str:\"^/\""},
    });
}

TEST_F(Lexer, StringErrors) {
    check_errors({
        {"\"abc", Err::Invalid, "(line 1) | string! | \"abc"},
        {"\"a\nb\"", Err::Invalid, "(line 1) | string! | \"a"},
        {"{abc", Err::Invalid, "(line 1) | string! | {abc"},
        {"{a{b}", Err::Invalid, "(line 1) | string! | {a{b}"},
        {"\"^(110000)\"", Err::Invalid, "(line 1) | string! | \"^(110000)\""},
        {"\"^(D800)\"", Err::Invalid, "(line 1) | string! | \"^(D800)\""},
        {"\"^(1234567)\"", Err::Invalid, "(line 1) | string! | \"^(1234567)\""},
        {"\"a\x80\"", Err::Invalid, "(line 1) | string! | \"a\xef\xbf\xbd\""},
        {"%%{x}%", Err::Invalid, "(line 1) | string! | %%{x}%"},
    });
}

TEST_F(Lexer, Chars) {
    check_loads({
        {R"x(#"a" #"^/" #"^(41)" #"^(tab)" #"^"")x", "char:97 char:10 char:65 char:9 char:34"},
        {"#\"\xc3\xa9\" #\"\xf0\x9f\x98\x80\"", "char:233 char:128512"},
    });
    check_errors({
        {R"x(#"")x", Err::Invalid, "(line 1) | char! | #\"\""},
        {R"x(#"ab")x", Err::Invalid, "(line 1) | char! | #\"ab\""},
        {R"x(#"^(DFFF)")x", Err::Invalid, "(line 1) | char! | #\"^(DFFF)\""},
    });
}

TEST_F(Lexer, Words) {
    check_loads({
        {"abc Abc a-b? + - * = <> //", "word:abc word:Abc word:a-b? word:+ word:- word:* word:= word:<> word://"},
        {"a: :a 'a", "set-word:a get-word:a lit-word:a"},
        {"/ /a /:", "word:/ refinement:a set-word:/"},
        {"#abc #1", "issue:abc issue:1"},
        {"\xc3\xa9t\xc3\xa9", "word:\xc3\xa9t\xc3\xa9"},
        // U+3000 and U+00A0 end a word; a token made only of them is skipped
        {"ab\xe3\x80\x80" "cd", "word:ab word:cd"},
        {"ab\xc2\xa0 \xc2\xa0 cd", "word:ab word:cd"},
    });
    check_errors({
        {":a:", Err::Invalid, "(line 1) | word! | :a:"},
        {"'a:", Err::Invalid, "(line 1) | lit-word! | 'a:"},
        {"# ", Err::Invalid, "(line 1) | issue! | # "},
    });
}

TEST_F(Lexer, Constructions) {
    check_loads({
        {"#(true) #(FALSE) #(none) #(unset) #(integer!)", "true false none unset datatype:integer!"},
    });
    check_errors({
        {"#(foo)", Err::Malconstruct, "(line 1) | #(foo)"},
        {"#(true x)", Err::Malconstruct, "(line 1) | #(true x)"},
    });
}

TEST_F(Lexer, BlocksParensPaths) {
    check_loads({
        {"", ""},
        {"[1 [2 (3)] []]", "[int:1 [int:2 (int:3)] []]"},
        {"a/b/c a/1 :a/b 'a/b a/b: a/(1 + 2)", "path:word:a word:b word:c path:word:a int:1 get-path:word:a word:b lit-path:word:a word:b set-path:word:a word:b path:word:a (int:1 word:+ int:2)"},
        {"[a/b]", "[path:word:a word:b]"},
        {"; comment\n1 ;x\n2", "|int:1 |int:2"},
        {"1\n\n[\n2]", "int:1 |[|int:2]"},
    });
    check_errors({
        {"[1 2", Err::Missing, "(line 1) | ] | [1 2"},
        {"1 2]", Err::Missing, "(line 1) | [ | ]"},
        {"(1 2", Err::Missing, "(line 1) | ) | (1 2"},
        {"[1)", Err::Missing, "(line 1) | ] | )"},
        {"1 2)", Err::Missing, "(line 1) | ( | )"},
        {"(1]", Err::Missing, "(line 1) | ) | ]"},
        {"#[a 1)", Err::Missing, "(line 1) | ] | )"},
        {"#[a 1", Err::Missing, "(line 1) | ] | #[a 1"},
        {"[a/(1]", Err::Missing, "(line 1) | ) | ]"},
        {"a/", Err::Invalid, "(line 1) | path! | a/"},
        // a path has no closer: the message names the end of the path, never a NUL char
        {"'a/b:", Err::Missing, "(line 1) | end of path | 'a/b:"},
        {":a/b:", Err::Missing, "(line 1) | end of path | :a/b:"},
        {"[x 'a/b: 1]", Err::Missing, "(line 1) | end of path | 'a/b: 1]"},
        {"1 , 2", Err::Invalid, "(line 1) | point2D! | , 2"},
        {"1\n2\n3 }", Err::BadChar, "(line 3) | }"},
        {"a \\ b", Err::BadChar, "(line 1) | \\ b"},
    });
}

TEST_F(Lexer, SnippetsAreCut) {
    // 30 bytes at most, never in the middle of a character, and never past a line feed
    std::string long_text = "\"" + std::string(27, 'x') + "\xc3\xa9\xc3\xa9";
    Outcome o = load(long_text);
    EXPECT_EQ(o.args, "(line 1) | string! | \"" + std::string(27, 'x') + "\xc3\xa9");
    o = load("\"ab\xff\xfe");
    EXPECT_EQ(o.args, "(line 1) | string! | \"ab\xef\xbf\xbd\xef\xbf\xbd");
}

TEST_F(Lexer, MoneyScanGivesTheLoadVerdict) {
    // scan mode checks a money token as fully as loading does
    struct { const char* text; const char* expected; } cases[] = {
        {"$1", "datatype:money!"},
        {"-$1'000.50", "datatype:money!"},
        {"$1.", "datatype:error!"},
        {"$1''0", "datatype:error!"},
        {"$123456789012345678", "datatype:error!"},
    };
    for (auto& c : cases) EXPECT_EQ(load(c.text, LEX_SCAN).values, c.expected) << c.text;
}

TEST_F(Lexer, ScanAndPrescan) {
    struct { const char* text; uint32_t flags; const char* expected; } cases[] = {
        {"", LEX_SCAN, "none"},
        {"1", LEX_SCAN, "datatype:integer!"},
        {"a:", LEX_SCAN, "datatype:set-word!"},
        {"1 [2", LEX_SCAN, "datatype:error!"},
        {"1 \"a", LEX_SCAN | LEX_ONE, "datatype:integer!"},
        {"[1 2] 3", LEX_PRESCAN, "datatype:block!"},
        {"\"a", LEX_PRESCAN, "datatype:error!"},
    };
    for (auto& c : cases) EXPECT_EQ(load(c.text, c.flags).values, c.expected) << c.text;
    EXPECT_EQ(lexer_scan_type(reinterpret_cast<const uint8_t*>("abc"), 3), T_WORD);
    EXPECT_EQ(lexer_scan_type(reinterpret_cast<const uint8_t*>("abc:"), 4), T_SET_WORD);
}

TEST_F(Lexer, OneValue) {
    Rooted result;
    LexerCall call;
    call.flags = LEX_ONE;
    const char* text = "1 2";
    LexerReport r = lexer_scan(result.get(), reinterpret_cast<const uint8_t*>(text), 3, call);
    EXPECT_EQ(describe(result.get()), "int:1");
    EXPECT_EQ(r.bytes, 1u);
    text = "[a b] c";
    r = lexer_scan(result.get(), reinterpret_cast<const uint8_t*>(text), 7, call);
    EXPECT_EQ(describe(result.get()), "[word:a word:b]");
    EXPECT_EQ(r.bytes, 5u);
}

TEST_F(Lexer, LoadsStringAndBinaryInput) {
    // the report counts characters of a string! and bytes of a binary!
    Cell& str = test::keep(test::text_of(T_STRING, {0xE9, ' ', '2'}, 1));
    Cell& result = test::keep(Cell{T_NONE, 0, 0, 0});
    LexerCall call;
    call.flags = LEX_ONE;
    LexerReport r = lexer_load_string(&result, &str, -1, call);
    EXPECT_EQ(describe(&result), "word:\xc3\xa9");
    EXPECT_EQ(r.units, 1u);
    EXPECT_EQ(r.bytes, 2u);
    Cell& bin = test::keep(test::text_of(T_BINARY, {'3', ' ', '4'}, 1));
    r = lexer_load_binary(&result, &bin, 1, LexerCall{});
    EXPECT_EQ(describe_series(&result), "int:3");
    EXPECT_EQ(r.units, 1u);
}

TEST_F(Lexer, IntoBlock) {
    Cell& target = test::keep(test::block({make_integer(0)}));
    Cell& result = test::keep(Cell{T_NONE, 0, 0, 0});
    LexerCall call;
    call.into = &target;
    const char* text = "1 [2]";
    lexer_scan(&result, reinterpret_cast<const uint8_t*>(text), 5, call);
    EXPECT_EQ(describe_series(&result), "int:0 int:1 [int:2]");
}

TEST_F(Lexer, SurvivesCollections) {
    // many strings and nested blocks, collecting on every allocation
    bool stress = g_collector_stress, enabled = g_collector_enabled;
    g_collector_stress = g_collector_enabled = true;
    std::string text;
    for (int i = 0; i < 50; ++i) text += "[\"s" + std::to_string(i) + "\" w" + std::to_string(i) + " (1.5)] ";
    Outcome o = load(text);
    g_collector_stress = stress;
    g_collector_enabled = enabled;
    EXPECT_EQ(o.error, Err::Count_);
    EXPECT_EQ(o.values.substr(0, 29), "[str:\"s0\" word:w0 (float:1.5)");
    collector_cycle();
}

TEST_F(Lexer, CellBufferGrows) {
    std::string text = "[";
    for (int i = 0; i < 5000; ++i) text += std::to_string(i) + " ";
    text += "]";
    Outcome o = load(text);
    ASSERT_EQ(o.error, Err::Count_);
    EXPECT_EQ(o.values.substr(o.values.size() - 10), " int:4999]");
}

TEST_F(Lexer, StandaloneScanners) {
    struct { const char* text; int32_t value; int32_t error; } ints[] = {
        {"123", 123, 0}, {"-2147483648", -2147483647 - 1, 0}, {"+1'000", 1000, 0},
        {"2147483648", 0, -2}, {"12a", 0, -1}, {"", 0, -1}, {"-", 0, -1},
    };
    for (auto& c : ints) {
        int32_t error;
        int32_t v = scan_integer(reinterpret_cast<const uint8_t*>(c.text), uint32_t(std::strlen(c.text)), 1, &error);
        EXPECT_EQ(error, c.error) << c.text;
        if (!error) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
    // two-byte units
    uint16_t wide[] = {'4', '2'};
    int32_t error;
    EXPECT_EQ(scan_integer(reinterpret_cast<const uint8_t*>(wide), 2, 2, &error), 42);
    struct { const char* text; double value; bool ok; } floats[] = {
        {"1.5", 1.5, true}, {"1,5", 1.5, true}, {"-2e3", -2000, true}, {"1'000.25", 1000.25, true},
        {"abc", 0, false}, {"1.2.3", 0, false}, {"", 0, false},
    };
    for (auto& c : floats) {
        double d = scan_float(reinterpret_cast<const uint8_t*>(c.text), uint32_t(std::strlen(c.text)), 1, &error);
        EXPECT_EQ(error == 0, c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(d, c.value) << c.text;
        } else {
            EXPECT_TRUE(std::isnan(d)) << c.text;
        }
    }
    std::string long_text(313, '1');
    scan_float(reinterpret_cast<const uint8_t*>(long_text.data()), 313, 1, &error);
    EXPECT_EQ(error, -1);
    EXPECT_TRUE(std::isinf(scan_float(reinterpret_cast<const uint8_t*>("-1.#INF"), 7, 1, &error)));
}

} // namespace
