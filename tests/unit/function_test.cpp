// The function types: spec checks, making and the more-block layout, the locals collector of
// `function`, locals counting, native!/action! index bounds, op! argument checks and the routine
// table.
#include "core/context.h"
#include "core/errors.h"
#include "core/hash.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/block.h"
#include "datatypes/function.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"

#include "tests/unit/runtime_fixture.h"
#include "tests/unit/test_values.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace kel;
using test::keep;

namespace {

using test::raised;

class Function : public test::RuntimeTest {};

// An unbound word of any word type.
Cell w(TypeId t, const char* name) { return Cell{t, 0, symbol_make(name), 0xFFFFFFFF}; }
Cell word(const char* n) { return w(T_WORD, n); }
Cell ref(const char* n) { return w(T_REFINEMENT, n); }
// A word bound in the global context.
Cell global(const char* name) { return *context_global_word(symbol_make(name)); }
Cell text(const char* s) {
    std::vector<uint32_t> cps(s, s + std::strlen(s));
    return test::text_of(T_STRING, cps, 1);
}

// A block of the cells (not kept).
Cell block_from(const std::vector<Cell>& cells) {
    Cell b = make_unset();
    Cell& kept = keep(b);
    block_make_at(&kept, int32_t(cells.size()) + 1);
    for (const Cell& c : cells) block_append_value(&kept, &c);
    b = kept;
    stack_pop();
    return b;
}

// The symbols of the spec's cells, spelled with their type's sigil.
std::string spec_text(const Cell& spec) {
    std::string out;
    Series* s = value_series(&spec);
    for (uint32_t i = series_index(&spec); i < s->length(); ++i) {
        const Cell* c = s->cell_at(i);
        if (!out.empty()) out += ' ';
        uint32_t len;
        const uint8_t* name = symbol_name(c->data2, &len);
        if (c->is(T_REFINEMENT)) out += '/';
        if (is_any_word(c->type())) out.append(reinterpret_cast<const char*>(name), len);
        else out += '?';
    }
    return out;
}

TEST_F(Function, SpecChecksRaiseTheirErrors) {
    Cell my_type = global("my-type!");
    Cell integer_type = make_datatype(T_INTEGER);
    word_set(&my_type, &integer_type);
    Cell unset_type = global("no-such-type!");
    Cell dt = make_datatype(T_INTEGER);
    struct Case {
        const char* what;
        std::vector<Cell> spec;
        Err err;
    };
    auto types = [](std::vector<Cell> cells) { return block_from(cells); };
    // the cases' values are made with the collector held and their specs kept on the data stack;
    // the checks then run with it free
    std::vector<Cell*> specs;
    std::vector<Case> cases;
    {
    CollectorHold hold;
    cases = {
        {"word, types, doc", {word("a"), types({dt}), text("doc")}, Err::Count_},
        {"word, doc, types", {word("a"), text("doc"), types({dt})}, Err::BadFuncDef},
        {"return: then end", {word("a"), w(T_SET_WORD, "return"), types({dt})}, Err::Count_},
        {"return: then /local", {w(T_SET_WORD, "return"), types({dt}), ref("local")}, Err::Count_},
        {"return: then another refinement", {w(T_SET_WORD, "return"), types({dt}), ref("r")},
         Err::BadFuncDef},
        {"return: then a doc", {w(T_SET_WORD, "return"), types({dt}), text("doc")}, Err::Count_},
        {"return: then a word", {w(T_SET_WORD, "return"), types({dt}), word("a")}, Err::BadFuncDef},
        {"two returns", {w(T_SET_WORD, "return"), types({dt}), w(T_SET_WORD, "return"), types({dt})},
         Err::BadFuncDef},
        {"return: after /local", {ref("local"), word("x"), w(T_SET_WORD, "return"), types({dt})},
         Err::BadFuncDef},
        {"other set-word", {w(T_SET_WORD, "result"), types({dt})}, Err::BadFuncDef},
        {"return: without types", {w(T_SET_WORD, "return")}, Err::BadFuncDef},
        {"lit-word after /local", {ref("local"), w(T_LIT_WORD, "x")}, Err::BadFuncDef},
        {"get-word after /local", {ref("local"), w(T_GET_WORD, "x")}, Err::BadFuncDef},
        {"words after /local", {word("a"), ref("local"), word("x"), word("y")}, Err::Count_},
        {"refinement after /local", {ref("local"), word("x"), ref("r")}, Err::BadFuncDef},
        {"/local twice", {ref("local"), word("x"), ref("local")}, Err::DupVars},
        {"a and A", {word("a"), word("A")}, Err::DupVars},
        {"argument after return:", {w(T_SET_WORD, "return"), types({dt}), ref("local"), word("x")},
         Err::Count_},
        {"integer in a type block", {word("a"), types({make_integer(1)})}, Err::InvalidTypeSpec},
        {"word whose value is a datatype", {word("a"), types({my_type})}, Err::Count_},
        {"word without value", {word("a"), types({unset_type})}, Err::NoValue},
        {"string in the attribute block", {types({text("x")}), word("a")}, Err::BadFuncDef},
        {"block after a refinement", {ref("r"), types({dt})}, Err::BadFuncDef},
        {"integer in the spec", {word("a"), make_integer(3)}, Err::BadFuncDef},
        {"doc strings anywhere", {text("top"), word("a"), text("a"), ref("r"), text("r")}, Err::Count_},
    };
    for (const Case& c : cases) specs.push_back(&keep(block_from(c.spec)));
    }
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(raised([&] { function_validate_spec(specs[i]); }), cases[i].err) << cases[i].what;
}

TEST_F(Function, AttributeBlockGivesTheTraceFlags) {
    Cell& attrs = keep(make_unset());
    block_make_at(&attrs, 2);
    Cell t = word("trace"), other = word("catch");
    block_append_value(&attrs, &other);
    block_append_value(&attrs, &t);
    Cell& spec = keep(make_unset());
    block_make_at(&spec, 2);
    block_append_value(&spec, &attrs);
    EXPECT_EQ(function_validate_spec(&spec), uint32_t(FUNC_FLAG_TRACE));
    Cell nt = word("no-trace");
    block_append_value(&attrs, &nt);
    EXPECT_EQ(function_validate_spec(&spec), uint32_t(FUNC_FLAG_TRACE | FUNC_FLAG_NO_TRACE));
}

TEST_F(Function, MakingLaysOutTheMoreBlockAndBindsABodyCopy) {
    Cell& spec = keep(test::block({word("x"), ref("local"), word("y")}));
    Cell& inner = keep(test::block({word("y")}));
    Cell& body = keep(test::block({word("x"), inner}));
    Node ctx = function_make(&spec, &body, 0, FUNC_FLAG_TRACE);
    Cell fn = *stack_top();
    keep(fn);
    ASSERT_TRUE(fn.is(T_FUNCTION));
    EXPECT_TRUE(fn.header & FUNC_FLAG_TRACE);
    EXPECT_EQ(function_context(&fn), ctx);
    EXPECT_EQ(context_word_count(ctx), 3u);   // x /local y
    EXPECT_TRUE(context_on_stack(ctx));
    EXPECT_EQ(context_kind(ctx), uint32_t(CONTEXT_FUNCTION));
    EXPECT_EQ(context_owner(ctx)->data3, fn.data3);   // the function is its context's owner

    EXPECT_EQ(node_series(function_more_node(&fn))->length(), FUNCTION_MORE_CELLS);
    for (uint32_t i : {MORE_ARGS_CACHE, MORE_CODE, MORE_OP_SOURCE, MORE_OWNER})
        EXPECT_TRUE(function_more_cell(&fn, i)->is(T_UNSET)) << i;
    Cell copy = *function_more_cell(&fn, MORE_BODY);
    ASSERT_TRUE(copy.is(T_BLOCK));
    EXPECT_NE(series_node(&copy), series_node(&body));   // a copy ...
    const Cell* x = block_rs_head(&copy);
    EXPECT_EQ(x->data1, ctx);                             // ... bound to the function
    EXPECT_EQ(x->data3, 0u);
    const Cell* nested = x + 1;
    EXPECT_NE(series_node(nested), series_node(&inner));  // deep: nested blocks copied too
    EXPECT_EQ(block_rs_head(const_cast<Cell*>(nested))->data1, ctx);
    EXPECT_EQ(value_series(&inner)->cell_at(0)->data1, 0u);   // the original stays unbound
}

TEST_F(Function, SpecWithAHeadIndexIsCopiedFromItsHead) {
    Cell& spec = keep(test::block({text("doc"), word("a"), word("b")}));
    spec.data1 = 1;
    Cell& body = keep(test::block({}));
    function_make(&spec, &body, 0, 0);
    Cell fn = keep(*stack_top());
    EXPECT_NE(function_spec_node(&fn), series_node(&spec));
    EXPECT_EQ(spec_text(function_spec_block(&fn)), "a b");
}

TEST_F(Function, NoBodyLeavesNone) {
    Cell& spec = keep(test::block({}));
    function_make(&spec, nullptr, 0, 0);
    Cell fn = keep(*stack_top());
    EXPECT_TRUE(function_more_cell(&fn, MORE_BODY)->is(T_NONE));
}

std::string molded(const Cell& v) {
    Cell& out = keep(make_unset());
    string_make_at(&out, 16);
    mold_typed(&v, &out, false, false, false, false, INT32_MAX, 0);
    std::string s;
    for (uint32_t cp : test::code_points(out)) s += char(cp);
    return s;
}

TEST_F(Function, MoldsOfEachType) {
    Cell& spec = keep(test::block({word("a"), word("b")}));
    Cell& body = keep(test::block({word("a")}));
    function_make(&spec, &body, 0, 0);
    Cell& fn = keep(*stack_top());
    EXPECT_EQ(molded(fn), "func [a b][a]");
    function_make(&spec, nullptr, 0, 0);
    Cell& bodyless = keep(*stack_top());
    EXPECT_EQ(molded(bodyless), "func [a b] none");
    Cell& native = keep(*native_make(&spec, 3));
    EXPECT_EQ(molded(native), "make native! [[a b]]");
    Cell& action = keep(*action_make(&spec, 3));
    EXPECT_EQ(molded(action), "make action! [[a b]]");
    Cell& op = keep(native);
    op_make(&op);
    Cell* top = g_stack.top;
    EXPECT_EQ(molded(op), "make op! [[a b]]");
    EXPECT_EQ(g_stack.top, top + 1);   // the mold's own frame leaves the caller's cells alone
    Cell& fop = keep(fn);
    op_make(&fop);
    EXPECT_EQ(molded(fop), "make op! func [a b][a]");
    Cell& r = keep(*routine_make(&spec, nullptr, 1, -1));
    EXPECT_EQ(molded(r), "routine [a b] none");
    Cell& rb = keep(*routine_make(&spec, &body, 1, -1));
    EXPECT_EQ(molded(rb), "routine [a b][a]");
}

TEST_F(Function, CountsLocals) {
    Cell& with = keep(test::block({word("a"), ref("local"), word("x"), word("y")}));
    Cell& without = keep(test::block({word("a"), ref("r")}));
    EXPECT_EQ(function_count_locals(series_node(&with), 0, false), 3);
    EXPECT_EQ(function_count_locals(series_node(&with), 0, true), 3);
    EXPECT_EQ(function_count_locals(series_node(&without), 0, false), 0);
    EXPECT_EQ(function_count_locals(series_node(&without), 0, true), -1);
}

TEST_F(Function, RefinementArgsNone) {
    Cell* base = g_stack.top;
    refinement_args_none(3);
    ASSERT_EQ(g_stack.top - base, 3);
    EXPECT_TRUE(base[0].is(T_LOGIC) && base[0].data1 == 0);
    EXPECT_TRUE(base[1].is(T_NONE) && base[2].is(T_NONE));
}

TEST_F(Function, CollectorMakesSetWordsLocal) {
    struct Case {
        const char* what;
        std::vector<Cell> spec;
        std::vector<Cell> body;
        const char* result;
    };
    auto nested = [](std::vector<Cell> cells) { return block_from(cells); };
    std::vector<Cell*> specs, bodies;
    std::vector<Case> cases;
    {
    CollectorHold hold;
    cases = {
        {"set-words, one nested", {word("x")},
         {w(T_SET_WORD, "a"), make_integer(1), nested({w(T_SET_WORD, "b"), make_integer(2)}),
          w(T_SET_WORD, "x"), make_integer(3)},
         "x /local a b"},
        {"nothing to add", {word("x")}, {word("x")}, "x"},
        {"after an existing /local", {word("x"), ref("local"), word("a")},
         {w(T_SET_WORD, "a"), w(T_SET_WORD, "c")}, "x /local a c"},
        {"/extern words stay outside", {word("x"), ref("extern"), word("e")},
         {w(T_SET_WORD, "e"), w(T_SET_WORD, "f")}, "x /local f"},
        {"/extern then /local", {ref("extern"), word("e"), ref("local"), word("l")},
         {w(T_SET_WORD, "e")}, "/local l"},
        {"foreach and repeat", {},
         {word("foreach"), nested({word("k"), w(T_LIT_WORD, "v")}), word("data"), word("repeat"),
          word("i"), make_integer(3), word("foreach"), word("z")},
         "/local k v i z"},
        {"case variants are one name", {word("x")}, {w(T_SET_WORD, "X"), w(T_SET_WORD, "Y"),
                                                     w(T_SET_WORD, "y")},
         "x /local Y"},
    };
    for (const Case& c : cases) {
        specs.push_back(&keep(block_from(c.spec)));
        bodies.push_back(&keep(block_from(c.body)));
    }
    }
    for (size_t i = 0; i < cases.size(); ++i) {
        function_collect_words(specs[i], bodies[i]);
        EXPECT_EQ(spec_text(*specs[i]), cases[i].result) << cases[i].what;
    }
}

TEST_F(Function, CollectorRefusesOtherValuesWithExtern) {
    Cell& spec = keep(test::block({word("x"), make_integer(1), ref("extern"), word("e")}));
    Cell& body = keep(test::block({}));
    EXPECT_EQ(raised([&] { function_collect_words(&spec, &body); }), Err::BadFuncExtern);
    Cell& plain = keep(test::block({word("x"), make_integer(1)}));
    EXPECT_EQ(raised([&] { function_collect_words(&plain, &body); }), Err::Count_);
}

TEST_F(Function, CollectorEndsOnABodyHoldingItself) {
    Cell& spec = keep(test::block({}));
    Cell& body = keep(test::block({w(T_SET_WORD, "a")}));
    block_append_value(&body, &body);
    function_collect_words(&spec, &body);
    EXPECT_EQ(spec_text(spec), "/local a");
}

TEST_F(Function, TableIndexesAreBounded) {
    Cell& spec = keep(test::block({word("a")}));
    struct Case { bool native; int32_t index; Err err; };
    const Case cases[] = {
        {true, 0, Err::BadMakeArg},  {true, 1, Err::Count_},   {true, 120, Err::Count_},
        {true, 121, Err::BadMakeArg}, {false, 0, Err::BadMakeArg}, {false, 62, Err::Count_},
        {false, 63, Err::BadMakeArg},
    };
    for (const Case& c : cases) {
        Cell* made = nullptr;
        Err e = raised([&] { made = c.native ? native_make(&spec, c.index) : action_make(&spec, c.index); });
        EXPECT_EQ(e, c.err) << c.native << " " << c.index;
        if (e == Err::Count_) {
            EXPECT_EQ(function_table_index(made), uint32_t(c.index));
            EXPECT_EQ(made->type(), c.native ? T_NATIVE : T_ACTION);
            EXPECT_EQ(node_series(function_more_node(made))->length(), NATIVE_MORE_CELLS);
            EXPECT_TRUE(function_more_cell(made, 0)->is(T_CONTEXT));
            EXPECT_TRUE(function_more_cell(made, 1)->is(T_NONE));
        }
    }
}

TEST_F(Function, OpSpecNeedsTwoArgumentsTheFirstEvaluated) {
    struct Case { const char* what; std::vector<Cell> spec; bool ok; };
    std::vector<Cell*> specs;
    std::vector<Case> cases;
    {
    CollectorHold hold;
    cases = {
        {"two words", {word("a"), word("b")}, true},
        {"one word", {word("a")}, false},
        {"three words", {word("a"), word("b"), word("c")}, false},
        {"get-word first", {w(T_GET_WORD, "a"), word("b")}, false},
        {"word then get-word", {word("a"), w(T_GET_WORD, "b")}, true},
        {"lit-word first", {w(T_LIT_WORD, "a"), word("b")}, false},
        {"two words and /local", {word("a"), word("b"), ref("local"), word("x")}, true},
        {"two words and /extern", {word("a"), word("b"), ref("extern"), word("x")}, true},
        {"two words and a refinement", {word("a"), word("b"), ref("only")}, false},
        {"return: ends the scan", {word("a"), word("b"), w(T_SET_WORD, "return"), word("c")}, true},
        {"docs skipped", {text("doc"), word("a"), text("x"), word("b")}, true},
    };
    for (const Case& c : cases) specs.push_back(&keep(block_from(c.spec)));
    }
    for (size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(op_spec_ok(specs[i]), cases[i].ok) << cases[i].what;
}

TEST_F(Function, OpMakingChecksTypeAndKeepsTheSource) {
    Cell& spec = keep(test::block({word("a"), word("b")}));
    Cell& body = keep(test::block({word("a")}));
    function_make(&spec, &body, 0, 0);
    Cell& fn = keep(*stack_top());
    Cell& op = keep(fn);
    op_make(&op);
    EXPECT_TRUE(op.is(T_OP));
    EXPECT_EQ(op_source_type(&op), T_FUNCTION);
    EXPECT_EQ(op.data3, fn.data3);   // shares the more block
    EXPECT_EQ(function_more_cell(&fn, MORE_OP_SOURCE)->data3, fn.data3);

    Cell& one = keep(make_integer(1));
    EXPECT_EQ(raised([&] { op_make(&one); }), Err::InvalidType);
    Cell& spec1 = keep(test::block({word("a")}));
    Cell* native = native_make(&spec1, 5);
    Cell& n = keep(*native);
    EXPECT_EQ(raised([&] { op_make(&n); }), Err::BadOpSpec);
}

TEST_F(Function, RoutineCellsAndTable) {
    auto entry = [](bool, const int32_t*) {};
    uint32_t i = routine_register("test-entry", entry);
    EXPECT_GE(i, 1u);
    EXPECT_EQ(routine_index("test-entry"), i);
    EXPECT_EQ(routine_register("test-entry", entry), i);   // registering again keeps the index
    EXPECT_EQ(routine_entry(i), static_cast<RoutineFn>(entry));
    EXPECT_EQ(routine_entry(0), nullptr);
    EXPECT_EQ(routine_index("no-such-entry"), 0u);

    Cell& spec = keep(test::block({word("a"), text("doc"), word("b"), ref("r"), word("c")}));
    Cell r = keep(*routine_make(&spec, nullptr, i, int32_t(T_INTEGER)));
    EXPECT_TRUE(r.is(T_ROUTINE));
    EXPECT_TRUE(r.header & ROUTINE_FLAG_CELLS);
    EXPECT_EQ(routine_arity(&r), 3u);   // the word! entries
    EXPECT_EQ(cell_integer(function_more_cell(&r, MORE_CODE)), int32_t(i));
    EXPECT_EQ(cell_integer(function_more_cell(&r, MORE_OWNER)), int32_t(T_INTEGER));
    EXPECT_TRUE(function_more_cell(&r, MORE_BODY)->is(T_NONE));
}

} // namespace
