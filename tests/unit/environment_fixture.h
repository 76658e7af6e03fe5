// A fresh runtime with the start-up environment evaluated (natives, actions, `system`), for tests
// that drive the language from C++ by running source text.
#pragma once

#include "core/roots.h"
#include "core/stack.h"
#include "evaluator/interpreter.h"
#include "evaluator/lexer.h"
#include "runtime_fixture.h"

#include <cstring>

namespace kel::test {

class EnvironmentTest : public RuntimeTest {
protected:
    void SetUp() override {
        RuntimeTest::SetUp();
        environment_init();
    }

    // Evaluates source text at the top level; the value is returned. An error propagates.
    Cell run(const char* text) {
        Rooted block(load(text));
        Cell* base = g_stack.top;
        eval(block.get(), false);
        Cell v = *stack_top();
        g_stack.top = base;
        return v;
    }

    // The same inside a try frame: the value, or the error! raised.
    Cell run_caught(const char* text) {
        Rooted block(load(text));
        Cell* base = g_stack.top;
        Cell* args = g_stack.arguments;
        const Cell word{T_WORD, 0, 0, 0};
        stack_try(&word, false, [&] { eval(block.get(), false); });
        Cell v = *stack_top();
        g_stack.top = base;
        g_stack.arguments = args;
        return v;
    }

private:
    static Cell load(const char* text) {
        Rooted block(make_unset());
        LexerCall call;
        lexer_scan(block.get(), reinterpret_cast<const uint8_t*>(text), uint32_t(std::strlen(text)), call);
        return block.value;
    }
};

} // namespace kel::test
