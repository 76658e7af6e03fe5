// The interpreter and the start-up environment, from C++: the natives and actions bound at start-up
// carry their table positions, and blocks evaluate through eval/eval_expression/do_next.
#include "core/console.h"
#include "core/context.h"
#include "core/roots.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/datatype.h"
#include "evaluator/interpreter.h"
#include "evaluator/lexer.h"
#include "evaluator/natives.h"
#include "environment_fixture.h"

#include <cstring>
#include <string>

namespace kel {
namespace {

class InterpreterTest : public test::EnvironmentTest {
protected:
    const Cell* global(const char* name) {
        Cell w = *context_global_word(symbol_make(name));
        return word_value_in(&w, g_global_context);
    }
};

TEST_F(InterpreterTest, EveryNativeCarriesItsListIndex) {
    for (uint32_t i = 0; i < k_native_names.size(); ++i) {
        std::string name(k_native_names[i]);
        const Cell* v = global(name.c_str());
        ASSERT_TRUE(v->is(T_NATIVE)) << name;
        EXPECT_EQ(v->data1, i + 1) << name;
    }
    struct { const char* name; uint32_t index; } fixed[] = {{"if", 1}, {"debase", 84}, {"size?", 101}, {"apply", 107}};
    for (auto& f : fixed) EXPECT_EQ(global(f.name)->data1, f.index) << f.name;
}

TEST_F(InterpreterTest, EveryActionCarriesItsSlot) {
    for (uint32_t a = 1; a <= ACTION_COUNT; ++a) {
        if (a == A_EVAL_PATH || a == A_RESERVED_8 || a == A_COMPARE) continue;
        const Cell* v = global(k_action_names[a - 1]);
        ASSERT_TRUE(v->is(T_ACTION)) << k_action_names[a - 1];
        EXPECT_EQ(v->data1, a) << k_action_names[a - 1];
    }
}

TEST_F(InterpreterTest, OperatorsApplyLeftToRight) {
    struct { const char* code; int32_t value; } cases[] = {
        {"1 + 2 * 3", 9}, {"1 + negate 2 * 3", -5}, {"2 * 3 + 1", 7}, {"x: 4 y: x * x y", 16},
        {"f: func [n] [either n < 2 [n] [(f n - 1) + (f n - 2)]] f 10", 55},
    };
    for (auto& c : cases) {
        Cell v = run(c.code);
        ASSERT_TRUE(v.is(T_INTEGER)) << c.code;
        EXPECT_EQ(cell_integer(&v), c.value) << c.code;
    }
}

TEST_F(InterpreterTest, DoNextStepsOneExpression) {
    Rooted block(make_unset());
    const char* text = "1 + 1 3 * 3";
    LexerCall call;
    lexer_scan(block.get(), reinterpret_cast<const uint8_t*>(text), uint32_t(std::strlen(text)), call);
    Cell* base = g_stack.top;
    *stack_push_slot() = make_unset();
    Cell frame_word{T_WORD, 0, g_sym_body, 0};
    stack_mark_eval(&frame_word);
    int32_t next = do_next(block.get());
    EXPECT_EQ(next, 3);
    EXPECT_EQ(cell_integer(g_stack.arguments), 2);
    block->data1 = uint32_t(next);
    EXPECT_EQ(do_next(block.get()), 6);
    EXPECT_EQ(cell_integer(g_stack.arguments), 9);
    block->data1 = 6;
    EXPECT_EQ(do_next(block.get()), 6);   // at the tail: unset, index unchanged
    EXPECT_TRUE(g_stack.arguments->is(T_UNSET));
    stack_unwind();
    g_stack.top = base;
}

TEST_F(InterpreterTest, RuntimeOverflowIsAnErrorNotACrash) {
    Cell v = run("f: func [n] [f n + 1] try [f 1]");
    ASSERT_TRUE(v.is(T_ERROR));
    EXPECT_EQ(error_id_of(&v), Err::StackOverflow);
    Cell after = run("1 + 1");
    EXPECT_EQ(cell_integer(&after), 2);
}

TEST_F(InterpreterTest, ReturnGoesThroughALibraryFunctionToItsCaller) {
    // the sources' own functions carry the library flag
    EXPECT_TRUE(global("modulo")->header & FUNC_FLAG_LIBRARY);
    // a function that evaluates a block for its caller, as library functions do
    run("evaluate: func [b] [do b 'evaluate-returned]");
    Cell plain = run("g: func [] [evaluate [return 5] 6] g");
    ASSERT_TRUE(plain.is(T_INTEGER));
    EXPECT_EQ(cell_integer(&plain), 6);   // an ordinary function is the return's target
    Cell w = *context_global_word(symbol_make("evaluate"));
    word_value_in(&w, g_global_context)->header |= FUNC_FLAG_LIBRARY;
    Cell through = run("g");
    ASSERT_TRUE(through.is(T_INTEGER));
    EXPECT_EQ(cell_integer(&through), 5);   // the library function passes it to its caller
}

} // namespace
} // namespace kel
