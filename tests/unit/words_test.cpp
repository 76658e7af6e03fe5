// Words: the runtime's fixed names (each global resolves to its name, kept across collections) and
// the word types (molds, comparison, index?, make/to from the values that need no scan).
#include "core/context.h"
#include "core/errors.h"
#include "core/gc.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/unicode.h"
#include "core/words.h"
#include "datatypes/datatype.h"
#include "datatypes/string.h"
#include "datatypes/words.h"

#include "tests/unit/runtime_fixture.h"
#include "tests/unit/test_values.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace kel;
using test::keep;

namespace {

class Words : public test::RuntimeTest {};

std::string name_of(uint32_t symbol) {
    uint32_t n;
    const uint8_t* p = symbol_name(symbol, &n);
    return std::string(reinterpret_cast<const char*>(p), n);
}

uint32_t sym_of(const char* name) { return symbol_make(name); }
Cell word(const char* name, TypeId t = T_WORD) { return Cell{t, 0, sym_of(name), uint32_t(-1)}; }

void expect_global_word(const Cell* w, const char* name) {
    ASSERT_TRUE(w->is(T_WORD)) << name;
    EXPECT_EQ(name_of(w->data2), name);
    ASSERT_EQ(w->data1, g_global_context) << name;
    ASSERT_LT(w->data3, context_word_count(g_global_context)) << name;
    const Cell* stored = context_word_at(g_global_context, w->data3);
    EXPECT_EQ(symbol_resolve(stored->data2), symbol_resolve(w->data2)) << name;
}

TEST_F(Words, EveryRuntimeGlobalResolvesToItsName) {
    for (size_t i = 0; i < size_t(Sym::Count_); ++i)
        EXPECT_EQ(name_of(sym(Sym(i))), runtime_symbol_name(Sym(i)));
    for (size_t i = 0; i < size_t(W::Count_); ++i) expect_global_word(runtime_word(W(i)), runtime_word_name(W(i)));
    const char* refinements[] = {"local", "extern", "compare", "part", "skip", "with"};
    for (size_t i = 0; i < size_t(R::Count_); ++i) {
        const Cell* r = runtime_refinement(R(i));
        EXPECT_TRUE(r->is(T_REFINEMENT));
        EXPECT_EQ(r->data1, 0u);
        EXPECT_EQ(name_of(r->data2), refinements[i]);
    }
    EXPECT_TRUE(runtime_issue(I::Ooo)->is(T_ISSUE));
    EXPECT_EQ(name_of(runtime_issue(I::Ooo)->data2), "ooo");
}

TEST_F(Words, NamesOfSeveralKindsHaveAGlobalEach) {
    struct Case { const char* name; Sym s; W w; };
    const Case cases[] = {
        {"type", Sym::Type, W::Type}, {"head", Sym::Head, W::Head}, {"collect", Sym::Collect, W::Collect},
        {"collect", Sym::Collect, W::Collect2}, {"put", Sym::Put, W::Put}, {"end", Sym::End, W::End},
        {"return", Sym::Return, W::Return}, {"throw", Sym::Code, W::Throw},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(name_of(runtime_word(c.w)->data2), c.name);
        if (c.s != Sym::Code) {
            EXPECT_EQ(runtime_word(c.w)->data2, sym(c.s)) << c.name;
        }
    }
    EXPECT_EQ(sym(Sym::Code), sym(Sym::MoneyCode));
    EXPECT_EQ(runtime_word(W::Throw)->data2, runtime_word(W::ThrowCategory)->data2);
    EXPECT_EQ(sym(Sym::ChangedSymbol), runtime_word(W::Changed)->data2);
    EXPECT_EQ(name_of(runtime_word(W::PutEd)->data2), "put-ed");
    EXPECT_EQ(name_of(runtime_word(W::Swaped)->data2), "swaped");
}

TEST_F(Words, GlobalsFollowTheGlobalContextWhenNodesAreRenumbered) {
    collector_cycle();
    collector_cycle();
    for (size_t i = 0; i < size_t(W::Count_); ++i) expect_global_word(runtime_word(W(i)), runtime_word_name(W(i)));
}

// ---- word types ------------------------------------------------------------------------------------

std::string mold(const Cell& v) {
    Cell* buf = string_push_new(16);
    Cell value = v;
    action_impl<A_MOLD>(value.type())(&value, buf, false, false, false, false, 1000, 0);
    int32_t n = -1;
    std::string out = string_to_utf8(stack_top(), &n);
    stack_pop();
    return out;
}

TEST_F(Words, EachTypeMoldsItsDecorationAndOwnSpelling) {
    struct Case { TypeId t; const char* name; const char* molded; };
    const Case cases[] = {
        {T_WORD, "Abc", "Abc"},      {T_SET_WORD, "abc", "abc:"}, {T_LIT_WORD, "abc", "'abc"},
        {T_GET_WORD, "abc", ":abc"}, {T_REFINEMENT, "abc", "/abc"}, {T_ISSUE, "a b", "#a b"},
        {T_WORD, "é", "é"},
    };
    sym_of("abc");   // the canonical spelling comes first, so Abc is an alias
    for (const Case& c : cases) EXPECT_EQ(mold(word(c.name, c.t)), c.molded) << c.name;
}

TEST_F(Words, CompareFollowsTheOp) {
    sym_of("abc");
    Node ctx = context_make(4, false, false, 0, CONTEXT_OBJECT);
    Cell bound = word("abc");
    bound.data1 = ctx;
    struct Case { Cell a, b; int32_t op; int32_t result; };
    const Case cases[] = {
        {word("abc"), word("ABC"), CMP_EQUAL, 0},
        {word("abc"), word("ABC"), CMP_STRICT_EQUAL, 1},
        {word("abc"), word("abc", T_SET_WORD), CMP_EQUAL, 0},
        {word("abc"), word("abc", T_SET_WORD), CMP_STRICT_EQUAL, 1},
        {word("abc"), word("abc"), CMP_SAME, 0},
        {word("abc"), bound, CMP_SAME, 1},
        {word("abc"), word("abc", T_LIT_WORD), CMP_FIND, 0},
        {word("abc"), word("ABC", T_LIT_WORD), CMP_FIND, 1},
        {word("abc"), word("ABC", T_LIT_WORD), CMP_STRICT_WORD, 0},
        {word("abc"), word("ABC", T_SET_WORD), CMP_STRICT_WORD, 1},
        {word("abc"), word("abd"), CMP_LESSER, -1},
        {word("B"), word("a"), CMP_SORT, 1},
        {word("B"), word("a"), CMP_CASE_SORT, -1},
        {word("ab"), word("abc"), CMP_SORT, -1},
        {word("abc"), word("abc", T_ISSUE), CMP_EQUAL, CMP_NOT_COMPARABLE},
        {word("abc", T_ISSUE), word("abc"), CMP_EQUAL, CMP_NOT_COMPARABLE},
        {word("abc", T_ISSUE), word("ABC", T_ISSUE), CMP_EQUAL, 0},
        {word("abc"), make_integer(1), CMP_EQUAL, CMP_NOT_COMPARABLE},
    };
    for (const Case& c : cases) {
        int32_t r = action_impl<A_COMPARE>(c.a.type())(&c.a, &c.b, c.op);
        EXPECT_EQ(r < 0 ? (r == CMP_NOT_COMPARABLE ? r : -1) : (r > 0 ? 1 : 0), c.result)
            << name_of(c.a.data2) << " " << name_of(c.b.data2) << " op " << c.op;
    }
}

TEST_F(Words, IndexOfAnUnboundWordIsNone) {
    Cell w = word("abc");
    action_impl<A_INDEX_Q>(T_WORD)(&w);
    EXPECT_TRUE(w.is(T_NONE));
    Cell g = keep(Cell{});
    word_make_at(sym_of("abc"), &g);
    Cell i = g;
    action_impl<A_INDEX_Q>(T_WORD)(&i);
    ASSERT_TRUE(i.is(T_INTEGER));
    EXPECT_EQ(cell_integer(&i), int32_t(g.data3) + 1);
    EXPECT_EQ(action_impl<A_INDEX_Q>(T_REFINEMENT), nullptr);
}

struct Raised { bool raised; Err id; };
template <typename F>
Raised raised_by(F&& f) {
    Cell w = word("test");
    if (stack_try(&w, false, f)) return {false, Err::Count_};
    return {true, error_id_of(stack_top())};
}

TEST_F(Words, MakeFromValuesThatNeedNoScan) {
    // a word kind is retyped with its binding kept, the header replaced
    Cell& result = keep(Cell{});
    Cell spec = word("abc");
    spec.header |= CELL_NEWLINE;
    action_impl<A_TO>(T_SET_WORD)(&result, &spec, T_SET_WORD);
    EXPECT_EQ(result.header, uint32_t(T_SET_WORD));
    EXPECT_EQ(result.data2, spec.data2);
    // logic: the word true, bound to the global context
    Cell t = g_true_cell;
    action_impl<A_TO>(T_WORD)(&result, &t, T_WORD);
    expect_global_word(&result, "true");
    // datatype: its name word
    Cell dt = make_datatype(T_INTEGER);
    action_impl<A_MAKE>(T_WORD)(&result, &dt, T_WORD);
    EXPECT_EQ(name_of(result.data2), "integer!");
    // issue! from text keeps every character
    Cell& text = keep(test::text_of(T_STRING, {'a', ' ', 'b'}, 1));
    action_impl<A_TO>(T_ISSUE)(&result, &text, T_ISSUE);
    EXPECT_TRUE(result.is(T_ISSUE));
    EXPECT_EQ(name_of(result.data2), "a b");
    // anything else
    Raised r = raised_by([&] {
        Cell i = make_integer(1);
        action_impl<A_TO>(T_WORD)(&result, &i, T_WORD);
    });
    EXPECT_TRUE(r.raised);
    EXPECT_EQ(r.id, Err::BadToArg);
}

TEST_F(Words, TextConvertsOnlyWhenItReadsAsAWord) {
    Cell& result = keep(Cell{});
    struct Case { std::vector<uint32_t> text; TypeId target; const char* name; };
    const Case good[] = {
        {{'a'}, T_WORD, "a"}, {{'a', ':'}, T_WORD, "a"}, {{'a'}, T_SET_WORD, "a"}, {{' ', 'b', ' '}, T_WORD, "b"},
    };
    for (const Case& c : good) {
        Cell& text = keep(test::text_of(T_STRING, c.text, 1));
        action_impl<A_TO>(c.target)(&result, &text, c.target);
        EXPECT_TRUE(result.is(c.target)) << c.name;
        EXPECT_EQ(name_of(result.data2), c.name);
    }
    for (std::vector<uint32_t> bad : {std::vector<uint32_t>{'1'}, {'a', ' ', 'b'}, {}, {'"', 'x', '"'}}) {
        Cell& text = keep(test::text_of(T_STRING, bad, 1));
        EXPECT_EQ(raised_by([&] { action_impl<A_TO>(T_WORD)(&result, &text, T_WORD); }).id, Err::InvalidChars);
    }
    Cell ch{T_CHAR, 0, 'z', 0};
    action_impl<A_TO>(T_WORD)(&result, &ch, T_WORD);
    EXPECT_EQ(name_of(result.data2), "z");
    // a refinement or issue converts when its spelling reads as a word, bound when global has it
    Cell& g = keep(Cell{});
    word_make_at(sym_of("known"), &g);
    Cell ref = word("known", T_REFINEMENT);
    action_impl<A_TO>(T_WORD)(&result, &ref, T_WORD);
    EXPECT_EQ(result.data1, g_global_context);
    EXPECT_EQ(result.data3, g.data3);
    Cell num = word("12", T_ISSUE);
    EXPECT_EQ(raised_by([&] { action_impl<A_TO>(T_WORD)(&result, &num, T_WORD); }).id, Err::BadToArg);
}

TEST_F(Words, ReadingAndSettingRaiseTheLanguageErrors) {
    Cell& w = keep(Cell{});
    word_make_at(sym_of("fresh-word"), &w);
    EXPECT_EQ(raised_by([&] { word_get_push(&w); }).id, Err::NoValue);
    EXPECT_TRUE(get_word_push_value(&w)->is(T_UNSET));
}

} // namespace
