// parse from C++: every way out of a PARSE call (a match, an error in the rules or in a paren,
// the stack limit, break, return and throw from a paren, a trace callback answering false, a
// halt) leaves the input stack and the rule stack as the call found them.
#include "core/console.h"
#include "core/context.h"
#include "core/roots.h"
#include "core/runtime.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/datatype.h"
#include "datatypes/function.h"
#include "evaluator/interpreter.h"
#include "evaluator/lexer.h"
#include "evaluator/parse.h"
#include "environment_fixture.h"

#include <cstring>

namespace kel {
namespace {

using ParseTest = test::EnvironmentTest;

TEST_F(ParseTest, EveryWayOutCutsBothStacksBack) {
    run_caught("deep: copy [] loop 4000 [deep: reduce [deep]] "
        "stop: func [e m r i s] [false] "
        "f: func [] [parse \"abc\" [some [(return 1)]] 0]");
    struct Case { const char* code; TypeId result; } cases[] = {
        {"parse \"abc\" [some skip]", T_LOGIC},
        {"parse \"abc\" [collect [keep to end]]", T_BLOCK},
        {"parse \"x\" [\"x\" |]", T_ERROR},
        {"parse \"x\" [collect [keep skip (1 / 0)]]", T_ERROR},
        {"parse \"\" deep", T_ERROR},
        {"parse [[[c]]] [into [into [(1 / 0)]]]", T_ERROR},
        {"loop 1 [parse \"abc\" [to \"b\" (break)]]", T_UNSET},
        {"f", T_INTEGER},
        {"catch [parse \"abc\" [thru \"c\" (throw 3)]]", T_INTEGER},
        {"parse/trace \"aaa\" [some [\"a\"]] :stop", T_LOGIC},
        {"parse \"ab\" [\"a\" (try [parse \"x\" [some]]) \"b\"]", T_LOGIC},
    };
    for (const Case& c : cases) {
        Cell v = run_caught(c.code);
        EXPECT_EQ(v.type(), c.result) << c.code;
        EXPECT_EQ(parse_stack_cells(0), 0u) << c.code;
        EXPECT_EQ(parse_stack_cells(1), 0u) << c.code;
    }
}

TEST_F(ParseTest, AHaltInsideALoopCutsBothStacksBack) {
    // request-halt: a routine that sets the flag Ctrl-C sets, called from a paren of the loop
    {
        Rooted spec(make_unset());
        LexerCall call;
        lexer_scan(spec.get(), reinterpret_cast<const uint8_t*>(""), 0, call);
        Cell* top = g_stack.top;
        uint32_t entry = routine_register("request-halt", [](bool, const int32_t*) {
            g_halt_requested = 1;
            *stack_arg(0) = make_unset();
        });
        Rooted routine(*routine_make(spec.get(), nullptr, entry, -1));
        g_stack.top = top;
        Cell w = *context_global_word(symbol_make("request-halt"));
        word_set(&w, routine.get());
    }
    Cell* top = g_stack.top;
    Rooted block(make_unset());
    const char* text = "parse \"\" [while [(request-halt)]]";
    LexerCall call;
    lexer_scan(block.get(), reinterpret_cast<const uint8_t*>(text), uint32_t(std::strlen(text)), call);
    bool halted = false;
    try {
        eval(block.get(), false);
    } catch (KelThrow& t) {
        halted = t.code == THROW_HALT;
    }
    g_stack.top = top;
    stack_init();
    EXPECT_TRUE(halted);
    EXPECT_EQ(g_halt_requested, 0);
    EXPECT_EQ(parse_stack_cells(0), 0u);
    EXPECT_EQ(parse_stack_cells(1), 0u);
}

} // namespace
} // namespace kel
