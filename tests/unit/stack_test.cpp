// Data stack and call stack: the exact limits and recovery after an overflow, dropping and
// unwinding frames, the non-local exits stopping at the right frame, try/all stopping them, an
// error with no try frame ending the process, and the traces that name the frames' words.
#include "core/context.h"
#include "core/cycles.h"
#include "core/gc.h"
#include "core/memory.h"
#include "core/roots.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/unicode.h"

#include "tests/unit/runtime_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace kel;

namespace {

constexpr uint32_t SYM_BODY = 900;
constexpr uint32_t SYM_ANON = 901;

class Stack : public test::RuntimeTest {
protected:
    void SetUp() override {
        RuntimeTest::SetUp();
        stack_init(SYM_BODY, SYM_ANON);
    }
};

Cell word(uint32_t sym, Node ctx = 0) { return make_cell(T_WORD, ctx, sym, 0); }
Cell integer(int32_t i) { return make_integer(i); }

// A function context: a node whose cell 0 is the context cell. Its values live on the data stack,
// so word 2 is a frame reference (the collector must not take it for a node).
Node make_context() {
    Cell context = make_cell(T_CONTEXT, 0, 0, 0);
    context.header |= CELL_CTX_ON_STACK | (1u << CELL_CTX_KIND_SHIFT);
    Node n = alloc_cells(2);
    block_append(n, context);
    block_append(n, make_cell(T_UNSET));
    return n;
}

void expect_integer(const Cell* c, int32_t v) {
    ASSERT_TRUE(c->is(T_INTEGER)) << int(c->type());
    EXPECT_EQ(cell_integer(c), v);
}

std::string report_of(const Cell* error) {
    char buf[256];
    error_form_report(error, buf, sizeof buf);
    return buf;
}

// ---- Limits ------------------------------------------------------------------------------------

TEST_F(Stack, DataStackHolds19999CellsAndTheNextPushOverflows) {
    Cell w = word(1);
    for (int i = 0; i < 7; ++i) cycles_push(Node(100 + i));
    bool finished = stack_try(&w, false, [] {
        for (int32_t i = 0; i < 19999; ++i) stack_push(integer(i));
        EXPECT_EQ(stack_depth(), 19999u);
        expect_integer(stack_top(), 19998);
        stack_push(integer(-1));
        ADD_FAILURE() << "the 20000th cell was pushed";
    });
    ASSERT_FALSE(finished);
    ASSERT_TRUE(stack_top()->is(T_ERROR));
    EXPECT_EQ(error_id_of(stack_top()), Err::StackOverflow);
    EXPECT_EQ(report_of(stack_top()), "*** Internal Error: stack overflow");
    // the top went back five cells from the limit, then the error was pushed
    EXPECT_EQ(stack_depth(), 20000u - 5 + 1);
    EXPECT_EQ(cycles_depth(), 0u);
    EXPECT_EQ(stack_call_depth(), 0u);

    // usable again, up to the same limit
    stack_keep_last_error();
    EXPECT_TRUE(stack_arguments()->is(T_ERROR));
    EXPECT_EQ(stack_depth(), 1u);
    stack_reset();
    ASSERT_TRUE(stack_try(&w, false, [] {
        for (int32_t i = 0; i < 19999; ++i) stack_push(integer(i));
    }));
}

TEST_F(Stack, CallStackHolds12000FramesAndTheNextMarkOverflows) {
    struct Case { uint32_t pushed; uint32_t depth_after; };
    // the data top goes back five cells, never below the bottom, before the error is pushed
    const Case cases[] = {{0, 1}, {3, 1}, {12, 12 - 5 + 1}};
    Cell w = word(1);
    for (const Case& c : cases) {
        stack_init(SYM_BODY, SYM_ANON);
        uint32_t frames_seen = 0;
        bool finished = stack_try(&w, false, [&] {
            for (uint32_t i = 0; i < c.pushed; ++i) stack_push(integer(int32_t(i)));
            for (uint32_t i = 1; i < CALL_STACK_FRAMES; ++i) stack_mark_native(&w);
            frames_seen = stack_call_depth();
            stack_mark_eval(&w);
        });
        EXPECT_EQ(frames_seen, 12000u) << c.pushed;
        ASSERT_FALSE(finished) << c.pushed;
        EXPECT_EQ(error_id_of(stack_top()), Err::StackOverflow);
        EXPECT_EQ(stack_call_depth(), 0u);
        EXPECT_EQ(stack_depth(), c.depth_after) << c.pushed;
    }
    // usable again
    stack_reset();
    stack_mark_native(&w);
    stack_push(integer(3));
    stack_unwind();
    EXPECT_EQ(stack_call_depth(), 0u);
}

TEST_F(Stack, EveryMarkerChecksTheLimit) {
    using Marker = Cell* (*)(const Cell*);
    Cell w = word(1);
    const Marker markers[] = {
        stack_mark_native, stack_mark_interp_native, stack_mark_interp_func, stack_mark_try,
        stack_mark_try_all, stack_mark_catch, stack_mark_eval, stack_mark_loop,
        [](const Cell* x) { return stack_mark(x, 0); },
        [](const Cell* x) { return stack_mark_func(x, 0); },
    };
    for (Marker m : markers) {
        stack_init(SYM_BODY, SYM_ANON);
        bool finished = stack_try(&w, false, [&] {
            while (stack_call_depth() < CALL_STACK_FRAMES) stack_mark_native(&w);
            m(&w);
        });
        EXPECT_FALSE(finished);
        EXPECT_EQ(error_id_of(stack_top()), Err::StackOverflow);
    }
}

TEST_F(Stack, NoFrameOpensOnTheLastDataCell) {
    // A frame based on the last cell would put the top at the limit once its result is set, and
    // the next push would write past the stack.
    struct Case {
        const char* name;
        Cell* (*mark)(const Cell*, Node);
    };
    const Case cases[] = {
        {"native", [](const Cell* x, Node) { return stack_mark_native(x); }},
        {"function", [](const Cell* x, Node ctx) { return stack_mark(x, ctx); }},
        {"compiled body", [](const Cell* x, Node ctx) { return stack_mark_func(x, ctx); }},
    };
    Cell w = word(1);
    Node ctx = make_context();
    Rooted keep(make_cell(T_OBJECT, ctx, 0, 0));   // raising the error allocates
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        stack_init(SYM_BODY, SYM_ANON);
        bool finished = stack_try(&w, false, [&] {
            while (stack_depth() < 19998) stack_push(integer(0));
            c.mark(&w, ctx);              // room for the frame's result cell
            stack_push(integer(1));
            stack_unwind_restore();
            EXPECT_EQ(stack_depth(), 19999u);
            stack_context_frame_word(ctx) = 9;
            c.mark(&w, ctx);
            ADD_FAILURE() << "a frame was opened on the last cell";
        });
        ASSERT_FALSE(finished);
        EXPECT_EQ(error_id_of(stack_top()), Err::StackOverflow);
        EXPECT_EQ(stack_context_frame_word(ctx), 9u);   // refused before anything was set
        EXPECT_EQ(stack_call_depth(), 0u);
    }
}

TEST_F(Stack, AnErrorRaisedOnAFullDataStackStaysInItsTry) {
    Cell w = word(1);
    Err caught = Err::Count_;
    bool outer = stack_try(&w, false, [&] {
        bool inner = stack_try(&w, false, [] {
            while (stack_depth() < 19999) stack_push(integer(0));
            fire_error(Err::ZeroDivide);
        });
        EXPECT_FALSE(inner);
        caught = error_id_of(stack_top());
        stack_keep_last_error();
    });
    EXPECT_TRUE(outer);
    EXPECT_EQ(caught, Err::ZeroDivide);
}

TEST_F(Stack, AnOverflowLeavesTheFramesBelowTheTryIntact) {
    // An outer frame with a string that only it holds, then the native that runs the try, with
    // its result cell and an argument; the try's body overflows the call stack.
    Cell w = word(1);
    stack_mark_native(&w);
    Cell* outer = stack_arguments();
    stack_push(integer(100));
    stack_push(integer(101));
    stack_push(make_series(T_STRING, string_from_utf8(reinterpret_cast<const uint8_t*>("kept"), 4)));
    stack_push(integer(103));
    stack_mark_native(&w);
    Cell* caller = stack_arguments();
    stack_push(integer(-1));
    stack_push(integer(-2));

    bool enabled = g_collector_enabled, stress = g_collector_stress;
    g_collector_enabled = g_collector_stress = true;   // making the error collects
    bool finished = stack_try(&w, false, [&] {
        for (;;) stack_mark_native(&w);
    });
    g_collector_enabled = enabled;
    g_collector_stress = stress;

    ASSERT_FALSE(finished);
    EXPECT_EQ(error_id_of(stack_top()), Err::StackOverflow);
    EXPECT_EQ(stack_arguments(), caller);
    EXPECT_EQ(stack_top(), caller + 2);   // pushed at the try's own base
    expect_integer(caller, -1);
    expect_integer(caller + 1, -2);
    expect_integer(outer, 100);
    expect_integer(outer + 1, 101);
    expect_integer(outer + 3, 103);
    ASSERT_TRUE(outer[2].is(T_STRING));
    ASSERT_TRUE(node_slot_used(outer[2].data2));
    Series* text = node_series(outer[2].data2);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(text->head_ptr()), text->length()), "kept");
}

// ---- Errors ------------------------------------------------------------------------------------

TEST_F(Stack, ErrorCodesAreCategoryAndPosition) {
    struct Case { Err err; uint32_t code; };
    const Case cases[] = {
        {Err::NoValue, 300}, {Err::ZeroDivide, 400}, {Err::NotDone, 909}, {Err::Break, 0},
    };
    for (const Case& c : cases) EXPECT_EQ(error_code(c.err), c.code) << error_def(c.err).id;
}

TEST_F(Stack, AnErrorKeepsItsArgumentsAcrossACollection) {
    Cell w = word(1);
    ASSERT_FALSE(stack_try(&w, false, [] {
        Cell arg = make_series(T_STRING, string_from_utf8(reinterpret_cast<const uint8_t*>("argument"), 8));
        fire_error(Err::Throw, &arg);   // the error holds the only reference to the string
    }));
    collector_cycle();   // a full cycle, which may also renumber nodes
    const Cell* error = stack_top();
    ASSERT_TRUE(error->is(T_ERROR));
    const Cell* arg = error_arg(error, 1);
    ASSERT_NE(arg, nullptr);
    ASSERT_TRUE(arg->is(T_STRING));
    ASSERT_TRUE(node_slot_used(arg->data2));
    Series* text = node_series(arg->data2);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(text->head_ptr()), text->length()), "argument");
}

// ---- Data stack and frames ---------------------------------------------------------------------

TEST_F(Stack, PopAndTopStayWithinTheStack) {
    EXPECT_EQ(stack_top(), g_stack.bottom);
    stack_push(integer(1));
    stack_push(integer(2));
    stack_pop(5);
    EXPECT_EQ(g_stack.top, g_stack.bottom);
    stack_push(integer(4));
    stack_set_result(stack_top());
    expect_integer(g_stack.bottom, 4);
    EXPECT_EQ(stack_depth(), 1u);
}

TEST_F(Stack, MarkersWriteTheFrameHeaderAndWords) {
    struct Case { Cell* (*mark)(const Cell*); uint32_t header; };
    const Case cases[] = {
        {stack_mark_interp_func, 0x81000000}, {stack_mark_native, 0x02000000},
        {stack_mark_interp_native, 0x82000000}, {stack_mark_try, 0x04000000},
        {stack_mark_try_all, 0x05000000}, {stack_mark_catch, 0x06000000},
        {stack_mark_eval, 0x87000000}, {stack_mark_loop, 0x08000000},
    };
    Cell w = word(0x1234, 77);
    for (const Case& c : cases) {
        stack_init(SYM_BODY, SYM_ANON);
        stack_push(integer(1));
        Cell* base = c.mark(&w);
        EXPECT_EQ(base, g_stack.bottom + 1);
        EXPECT_EQ(stack_arguments(), base);
        const CallFrame* f = stack_top_frame();
        EXPECT_EQ(f->header, c.header | 0x123400);
        EXPECT_EQ(f->symbol(), 0x1234u);
        EXPECT_EQ(f->saved_args, 0u);
        EXPECT_EQ(f->word_ctx, 77u);
        EXPECT_EQ(f->func_ctx, 0u);
    }
}

TEST_F(Stack, FunctionMarksSaveAndSetTheContextFrame) {
    Node ctx = make_context();
    stack_context_frame_word(ctx) = 42;
    Cell w = word(5);
    stack_push(integer(1));
    Cell* base = stack_mark(&w, ctx);
    const CallFrame* f = stack_top_frame();
    EXPECT_EQ(f->header, 0x01000500u);
    EXPECT_EQ(f->func_ctx, ctx);
    EXPECT_EQ(f->saved_fp, 42u);
    EXPECT_EQ(stack_context_frame_word(ctx), 42u);  // the caller sets it, not the mark

    stack_push(integer(10));  // the argument
    stack_mark_func(&w, ctx);
    EXPECT_EQ(stack_frame_cell(stack_context_frame_word(ctx)), base);
    EXPECT_EQ(stack_top_frame()->header, 0x12000500u);
    EXPECT_TRUE(stack_top_frame()->has_return_mark());

    stack_drop_frame();   // the body frame: no context to restore
    EXPECT_EQ(stack_frame_cell(stack_context_frame_word(ctx)), base);
    stack_drop_frame();   // the call frame gives the context its old reference back
    EXPECT_EQ(stack_context_frame_word(ctx), 42u);
    EXPECT_EQ(g_stack.top, g_stack.bottom);   // the call stack is empty: both at the bottom
    EXPECT_EQ(g_stack.arguments, g_stack.bottom);
    // a frame at the very bottom still has a non-zero reference
    EXPECT_NE(stack_frame_ref(g_stack.bottom), 0u);
    EXPECT_EQ(stack_frame_cell(0), nullptr);
}

TEST_F(Stack, DropUnwindAndUnrollVariants) {
    enum Op { DROP, UNWIND, UNWIND_LAST, UNWIND_RESTORE, UNWIND_RESTORE_LAST, UNROLL, UNROLL_RESTORE };
    struct Case { Op op; int top_from_callee_base; bool result_to_caller; bool restores; };
    const Case cases[] = {
        {DROP, 0, false, true},           {UNWIND, 1, false, false},
        {UNWIND_LAST, 1, true, false},    {UNWIND_RESTORE, 1, false, true},
        {UNWIND_RESTORE_LAST, 1, true, true}, {UNROLL, -2, false, false},
        {UNROLL_RESTORE, -2, false, true},
    };
    Node ctx = make_context();
    Cell w = word(3);
    for (const Case& c : cases) {
        stack_init(SYM_BODY, SYM_ANON);
        stack_mark_native(&w);              // the caller's frame
        Cell* caller = stack_arguments();
        stack_push(integer(-1));            // caller's result cell
        stack_push(integer(-2));
        stack_context_frame_word(ctx) = 7;
        Cell* callee = stack_mark(&w, ctx);
        stack_context_frame_word(ctx) = stack_frame_ref(callee);
        stack_push(integer(55));            // callee's result cell
        stack_push(integer(56));
        switch (c.op) {
        case DROP: stack_drop_frame(); break;
        case UNWIND: stack_unwind(); break;
        case UNWIND_LAST: stack_unwind_last(); break;
        case UNWIND_RESTORE: stack_unwind_restore(); break;
        case UNWIND_RESTORE_LAST: stack_unwind_restore_last(); break;
        case UNROLL: stack_unroll(); break;
        case UNROLL_RESTORE: stack_unroll_restore(); break;
        }
        SCOPED_TRACE(int(c.op));
        EXPECT_EQ(stack_call_depth(), 1u);
        EXPECT_EQ(stack_arguments(), caller);
        EXPECT_EQ(g_stack.top, c.top_from_callee_base == -2 ? caller : callee + c.top_from_callee_base);
        expect_integer(caller, c.result_to_caller ? 55 : -1);
        EXPECT_EQ(stack_context_frame_word(ctx), c.restores ? 7u : stack_frame_ref(callee));
    }
}

TEST_F(Stack, UnwindToKindKeepsTheFoundFrame) {
    // frames: native N (base bN), loop L (base bL), native A (base bA), eval E (base bE)
    Cell w = word(3);
    struct Case { uint32_t kind; bool keep; int found; int args; };  // indexes into frames/bases
    const Case cases[] = {
        {FRAME_LOOP, false, 1, 0}, {FRAME_LOOP, true, 1, 1},
        {FRAME_EVAL, false, 3, 2}, {FRAME_EVAL, true, 3, 3},
        {FRAME_CATCH, false, 0, -1},   // not there: the bottom frame is found
    };
    for (const Case& c : cases) {
        stack_init(SYM_BODY, SYM_ANON);
        Cell* bases[4];
        CallFrame* frames[4];
        Cell* (*marks[4])(const Cell*) = {stack_mark_native, stack_mark_loop, stack_mark_native,
                                          stack_mark_eval};
        stack_push(integer(0));
        for (int i = 0; i < 4; ++i) {
            bases[i] = marks[i](&w);
            frames[i] = stack_top_frame();
            stack_push(integer(i));
            stack_push(integer(i));
        }
        Cell* old_args = stack_arguments();
        CallFrame* found = stack_unwind_to_kind(c.kind, c.keep);
        SCOPED_TRACE(c.kind * 10 + c.keep);
        EXPECT_EQ(found, frames[c.found]);
        EXPECT_EQ(stack_top_frame(), frames[c.found]);
        if (c.args < 0) {
            EXPECT_EQ(stack_arguments(), g_stack.bottom);
            EXPECT_EQ(g_stack.top, g_stack.bottom);
        } else {
            EXPECT_EQ(stack_arguments(), bases[c.args]);
            EXPECT_EQ(g_stack.top, old_args + 1);
        }
    }
    stack_init(SYM_BODY, SYM_ANON);
    EXPECT_EQ(stack_unwind_to_kind(FRAME_LOOP, false), nullptr);
    EXPECT_EQ(g_stack.top, g_stack.bottom + 1);
}

TEST_F(Stack, UnwindToKindLastReturnsAsIfTheCalleeFinished) {
    // A compiled call: caller frame, call frame (kind 1) holding the argument, the body frame,
    // a loop inside the body; returning from the function with kind 1.
    Node ctx = make_context();
    Cell w = word(3);
    stack_mark_native(&w);
    Cell* caller = stack_arguments();
    stack_push(integer(-1));
    stack_push(integer(-2));   // a value the caller already has on its frame
    stack_context_frame_word(ctx) = 0;
    Cell* call = stack_mark(&w, ctx);
    CallFrame* call_frame = stack_top_frame();
    stack_push(integer(10));   // the argument
    stack_mark_func(&w, ctx);
    stack_push(integer(1));
    stack_mark_loop(&w);
    stack_push(integer(99));   // the value being returned, in the current result cell
    stack_push(integer(98));

    EXPECT_EQ(stack_unwind_to_kind_last(FRAME_FUNCTION), call_frame);
    EXPECT_EQ(stack_top_frame(), call_frame);
    EXPECT_EQ(stack_arguments(), call);
    EXPECT_EQ(g_stack.top, call);
    expect_integer(call, 99);
    EXPECT_EQ(stack_context_frame_word(ctx), 0u);   // the function has returned

    stack_unwind_restore();    // the caller's matching unwind
    EXPECT_EQ(stack_arguments(), caller);
    expect_integer(caller, -1);          // the caller's own cells are untouched
    expect_integer(caller + 1, -2);
    expect_integer(stack_top(), 99);     // the call's result is its last value
    EXPECT_EQ(stack_context_frame_word(ctx), 0u);
}

TEST_F(Stack, ReturnMarksAndInterpretedFlags) {
    Cell w = word(3);
    EXPECT_EQ(stack_set_caller_return_mark(), nullptr);   // no caller
    stack_mark_interp_native(&w);
    CallFrame* caller = stack_top_frame();
    stack_mark_native(&w);
    CallFrame* marked = stack_set_caller_return_mark();
    EXPECT_EQ(marked, caller);
    EXPECT_TRUE(caller->has_return_mark());
    EXPECT_EQ(stack_set_caller_return_mark(), nullptr);   // already set: not ours to clear
    stack_clear_return_mark(marked);
    EXPECT_FALSE(caller->has_return_mark());

    EXPECT_FALSE(stack_interpreted(nullptr, true));       // the top frame is not interpreted
    EXPECT_TRUE(stack_interpreted(nullptr, false));       // the one below is
    stack_set_interpreted();
    EXPECT_TRUE(stack_interpreted(nullptr, true));
    EXPECT_FALSE(stack_interpreted(caller, false));       // nothing below the caller
    stack_set_return_mark(true);
    EXPECT_TRUE(stack_top_frame()->has_return_mark());
    stack_set_return_mark(false);
    EXPECT_FALSE(stack_top_frame()->has_return_mark());
}

TEST_F(Stack, TraceWalksSkipBodyAndAnonFrames) {
    const uint32_t names[] = {10, SYM_BODY, 11, SYM_ANON, SYM_BODY};
    for (uint32_t n : names) {
        Cell w = word(n);
        stack_mark_native(&w);
    }
    std::vector<uint32_t> up, down;
    stack_walk_up(nullptr, [&](const CallFrame* f) { up.push_back(f->symbol()); });
    stack_walk_down([&](const CallFrame* f) { down.push_back(f->symbol()); });
    EXPECT_EQ(up, (std::vector<uint32_t>{10, 11}));
    EXPECT_EQ(down, (std::vector<uint32_t>{11, 10}));
    up.clear();
    stack_walk_up(g_calls.bottom + 2, [&](const CallFrame* f) { up.push_back(f->symbol()); });
    EXPECT_EQ(up, (std::vector<uint32_t>{10}));

    ASSERT_NE(stack_caller_frame(), nullptr);
    EXPECT_EQ(stack_caller_frame()->symbol(), 11u);
    g_throw_origin = g_calls.bottom + 2;   // read once, from there
    EXPECT_EQ(stack_caller_frame()->symbol(), 10u);
    EXPECT_EQ(stack_caller_frame()->symbol(), 11u);
    g_throw_origin = g_calls.bottom + 1;
    EXPECT_EQ(stack_caller_frame()->symbol(), 10u);

    stack_init(SYM_BODY, SYM_ANON);
    Cell body = word(SYM_BODY);
    stack_mark_native(&body);
    EXPECT_EQ(stack_caller_frame(), nullptr);   // <not-found>
}

// ---- Non-local exits ---------------------------------------------------------------------------

TEST_F(Stack, BreakAndContinueStopAtTheInnermostLoop) {
    struct Case { bool has_value; bool is_continue; LoopExit exit; bool value_kept; };
    const Case cases[] = {
        {true, false, LoopExit::Break, true},
        {false, false, LoopExit::Break, false},
        {false, true, LoopExit::Continue, false},
        {true, true, LoopExit::Continue, false},
    };
    Node ctx = make_context();
    Cell w = word(3);
    for (const Case& c : cases) {
        stack_init(SYM_BODY, SYM_ANON);
        stack_mark_native(&w);
        stack_mark_loop(&w);                    // an outer loop
        const CallFrame* outer_at = stack_call_top();
        Cell* outer_base = stack_arguments();
        stack_push(integer(1));
        Cell* inner_base = stack_mark_loop(&w);
        const CallFrame* inner_at = stack_call_top();
        stack_push(integer(2));
        stack_mark_native(&w);                  // e.g. `if` inside the loop body
        stack_push(integer(3));
        stack_context_frame_word(ctx) = 0;
        Cell* fn = stack_mark(&w, ctx);         // a function called from the body
        stack_context_frame_word(ctx) = stack_frame_ref(fn);
        stack_mark_try(&w);                     // plain try lets it pass
        stack_mark_native(&w);                  // break's own frame
        stack_push(integer(5));

        LoopExit outer = stack_loop_pass(outer_at, [&] {
            LoopExit inner = stack_loop_pass(inner_at, [&] { throw_break(c.has_value, c.is_continue); });
            EXPECT_EQ(inner, c.exit);
            EXPECT_EQ(stack_call_top(), inner_at);
            EXPECT_EQ(stack_arguments(), inner_base);
            EXPECT_EQ(g_stack.top, inner_base);
            if (c.value_kept) expect_integer(inner_base, 5);
            else EXPECT_TRUE(inner_base->is(T_UNSET));
            EXPECT_EQ(stack_context_frame_word(ctx), 0u);   // the function's frame is gone
        });
        EXPECT_EQ(outer, LoopExit::Normal);
        expect_integer(outer_base, 1);
    }
}

TEST_F(Stack, ReturnAndExitStopAtTheReturnMarkedFrame) {
    struct Case { bool is_return; bool keep_own; uint32_t code; };
    const Case cases[] = {
        {true, false, THROW_RETURN}, {false, false, THROW_EXIT},
        {true, true, THROW_RETURN}, {false, true, THROW_EXIT},
    };
    Cell w = word(3);
    for (const Case& c : cases) {
        stack_init(SYM_BODY, SYM_ANON);
        stack_mark_native(&w);
        stack_mark_func(&w, 0);                 // an outer function body
        const CallFrame* outer_at = stack_call_top();
        Cell* body = stack_mark_func(&w, 0);    // the inner one
        const CallFrame* at = stack_call_top();
        stack_push(integer(1));
        if (!c.keep_own) {
            stack_mark_loop(&w);                // loops, catches and plain tries are passed
            stack_push(integer(2));
            stack_mark_catch(&w);
            stack_mark_try(&w);
            stack_mark_native(&w);              // return's own frame
        }
        stack_push(integer(7));

        uint32_t outer = stack_catch_return(outer_at, [&] {
            uint32_t got = stack_catch_return(at, [&] { throw_return(c.is_return, c.keep_own); });
            EXPECT_EQ(got, c.code);
            EXPECT_EQ(stack_call_top(), at);
            EXPECT_EQ(stack_arguments(), body);
            EXPECT_EQ(g_stack.top, body);
            if (c.is_return && !c.keep_own) expect_integer(body, 7);
            else if (c.is_return) expect_integer(body, 1);   // the frame's own result cell
            else EXPECT_TRUE(body->is(T_UNSET));
        });
        EXPECT_EQ(outer, 0u);
    }
}

TEST_F(Stack, ThrowStopsAtTheCatchFrameWithValueAndName) {
    Cell w = word(3);
    stack_mark_native(&w);
    stack_mark_catch(&w);                       // an outer catch
    const CallFrame* outer_at = stack_call_top();
    Cell* base = stack_mark_catch(&w);
    const CallFrame* at = stack_call_top();
    stack_push(integer(1));
    stack_mark_loop(&w);
    stack_mark_func(&w, 0);
    stack_mark_try(&w);
    Cell who = word(12);
    stack_mark_native(&who);
    CallFrame* thrower_below = stack_call_top() - 1;
    stack_mark_native(&w);                      // throw's own frame
    stack_push(integer(42));
    stack_push(word(77));                       // the /name

    bool outer = stack_catch_throw(outer_at, [&] {
        ASSERT_TRUE(stack_catch_throw(at, [&] { throw_value(THROW_VALUE); }));
        EXPECT_EQ(stack_call_top(), at);
        EXPECT_EQ(stack_arguments(), base);
        EXPECT_EQ(g_stack.top, base + 2);
        expect_integer(base, 42);
        EXPECT_TRUE(base[1].is(T_WORD));
        EXPECT_EQ(base[1].data2, 77u);
    });
    EXPECT_FALSE(outer);
    // the origin is where the throw came from; read once
    EXPECT_EQ(g_throw_origin, thrower_below + 1);
    stack_set_call_top(thrower_below + 1);
    EXPECT_EQ(stack_caller_frame(), thrower_below);
    EXPECT_EQ(g_throw_origin, nullptr);
}

enum class Exit { Break, Continue, Return, Throw };

[[noreturn]] void raise_exit(Exit e) {
    switch (e) {
    case Exit::Break: throw_break(true, false);
    case Exit::Continue: throw_break(false, true);
    case Exit::Return: throw_return(true, false);
    case Exit::Throw: throw_value(THROW_VALUE);
    }
    std::abort();
}

TEST_F(Stack, TryAllOrAMissingTargetTurnsExitsIntoThrowErrors) {
    struct Case { Exit exit; bool targets_below_try_all; Err err; const char* report; };
    const Case cases[] = {
        {Exit::Break, true, Err::Break, "*** Throw Error: no loop to break"},
        {Exit::Continue, true, Err::Continue, "*** Throw Error: no loop to continue"},
        {Exit::Return, true, Err::Return, "*** Throw Error: return or exit not in function"},
        {Exit::Throw, true, Err::Throw, "*** Throw Error: no catch for throw: 42"},
        {Exit::Break, false, Err::Break, "*** Throw Error: no loop to break"},
        {Exit::Continue, false, Err::Continue, "*** Throw Error: no loop to continue"},
        {Exit::Return, false, Err::Return, "*** Throw Error: return or exit not in function"},
        {Exit::Throw, false, Err::Throw, "*** Throw Error: no catch for throw: 42"},
    };
    Cell w = word(3);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.report);
        stack_init(SYM_BODY, SYM_ANON);
        stack_mark_native(&w);
        if (c.targets_below_try_all) {       // every target exists, but below the try/all
            stack_mark_func(&w, 0);
            stack_mark_catch(&w);
            stack_mark_loop(&w);
        }
        const CallFrame* at = stack_call_top();
        Cell* caller = stack_arguments();
        stack_push(integer(0));
        bool finished = stack_try(&w, c.targets_below_try_all, [&] {
            stack_mark_eval(&w);
            stack_mark_native(&w);           // the exit's own frame
            stack_push(integer(42));
            raise_exit(c.exit);
        });
        ASSERT_FALSE(finished);
        EXPECT_EQ(stack_call_top(), at);
        EXPECT_EQ(stack_arguments(), caller);
        ASSERT_TRUE(stack_top()->is(T_ERROR));
        EXPECT_EQ(error_id_of(stack_top()), c.err);
        EXPECT_EQ(report_of(stack_top()), c.report);
    }
}

TEST_F(Stack, ErrorsGoToTheInnermostTryPastOtherFrames) {
    Cell w = word(3);
    stack_mark_native(&w);
    Cell* outer_caller = stack_arguments();
    int outer_runs_on = 0;
    bool outer = stack_try(&w, false, [&] {
        stack_mark_native(&w);
        Cell* caller = stack_arguments();
        const CallFrame* at = stack_call_top();
        stack_push(integer(0));
        bool inner = stack_try(&w, false, [&] {
            stack_mark_loop(&w);
            stack_mark_catch(&w);
            stack_mark_func(&w, 0);
            stack_push(integer(5));
            stack_push(integer(6));
            fire_error(Err::ZeroDivide);
        });
        EXPECT_FALSE(inner);
        EXPECT_EQ(stack_call_top(), at);
        EXPECT_EQ(stack_arguments(), caller);
        // the data top is where the error was raised, with the error pushed on it
        ASSERT_TRUE(stack_top()->is(T_ERROR));
        expect_integer(stack_top() - 1, 6);
        EXPECT_EQ(error_id_of(stack_top()), Err::ZeroDivide);
        stack_keep_last_error();
        EXPECT_TRUE(caller->is(T_ERROR));
        EXPECT_EQ(g_stack.top, caller + 1);
        ++outer_runs_on;
        stack_unwind();
    });
    EXPECT_TRUE(outer);
    EXPECT_EQ(outer_runs_on, 1);
    EXPECT_EQ(stack_arguments(), outer_caller);
}

TEST_F(Stack, AnErrorWithNoTryFrameEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Cell w = word(3);
    // with frames but none of them a try frame
    EXPECT_EXIT(
        {
            stack_mark_native(&w);
            stack_mark_loop(&w);
            stack_mark_catch(&w);
            fire_error(Err::ZeroDivide);
        },
        ::testing::ExitedWithCode(254), "\\*\\*\\* Math Error: attempt to divide by zero");
    // with an empty call stack
    EXPECT_EXIT(fire_error(Err::StackOverflow), ::testing::ExitedWithCode(254),
                "\\*\\*\\* Internal Error: stack overflow");
    // a break with no loop and no try frame: its throw error is uncaught too
    EXPECT_EXIT(
        {
            stack_mark_native(&w);
            stack_mark_native(&w);
            throw_break(false, false);
        },
        ::testing::ExitedWithCode(254), "\\*\\*\\* Throw Error: no loop to break");
}

// ---- Traces named by symbols and contexts ------------------------------------------------------
//
// The runtime as started registers the real <body> and <anon>; every frame below is named by an
// interned symbol, and the contexts the frames name are kept reachable with Rooted cells.

class StackTrace : public test::RuntimeTest {};

uint32_t sym(const char* name) { return symbol_make(name); }

// A context made with the given words and their values (unset when none is given).
Node context_with(uint32_t kind, bool on_stack, std::initializer_list<const char*> names) {
    Node ctx = context_make(uint32_t(names.size()), on_stack, false, 0, kind);
    Rooted keep(make_cell(T_OBJECT, ctx, 0, 0));
    for (const char* n : names) {
        Cell w = word(sym(n));
        context_add_word(ctx, &w);
    }
    return ctx;
}

// Stores the value in the context's slot for the name (added when missing).
void set_value(Node ctx, const char* name, const Cell& value) {
    Cell w = word(sym(name));
    context_put_word_value(ctx, &w, &value);
}
// A function! with no parameter block, body or context: only its type counts here.
const Cell FUNCTION_VALUE = make_cell(T_FUNCTION, 0, 0, 0);

// Marks one frame per (name, word context, function context), in order.
struct FrameSpec {
    const char* name;
    Node word_ctx;
    Node func_ctx;
};
void mark_frames(std::initializer_list<FrameSpec> frames) {
    for (const FrameSpec& f : frames) {
        Cell w = word(sym(f.name), f.word_ctx);
        if (f.func_ctx) stack_mark(&w, f.func_ctx);
        else stack_mark_native(&w);
    }
}

std::string spelling(uint32_t symbol) {
    uint32_t length = 0;
    const uint8_t* p = symbol_name(symbol, &length);
    return std::string(reinterpret_cast<const char*>(p), length);
}

// The block's words as "name@ctx" (ctx "global" for the global context), integers as "#n".
std::vector<std::string> listing(Node block) {
    std::vector<std::string> out;
    Series* s = node_series(block);
    for (uint32_t i = 0; i < s->length(); ++i) {
        const Cell* c = s->cell_at(i);
        if (c->is(T_INTEGER)) {
            out.push_back("#" + std::to_string(cell_integer(c)));
            continue;
        }
        EXPECT_TRUE(c->is(T_WORD)) << int(c->type());
        std::string where = c->data1 == g_global_context ? "global" : "ctx" + std::to_string(c->data1);
        out.push_back(spelling(c->data2) + "@" + where);
    }
    return out;
}
std::string named(const char* name, Node ctx) {
    return std::string(name) + "@" + (ctx == g_global_context ? "global" : "ctx" + std::to_string(ctx));
}

// The word must be the one the context holds for the name (same symbol, context and slot).
void expect_word_of(const Cell& w, const char* name, Node ctx) {
    ASSERT_TRUE(w.is(T_WORD));
    EXPECT_EQ(w.data2, sym(name));
    EXPECT_EQ(w.data1, ctx) << name;
    int32_t i = context_find_word(ctx, sym(name), false);
    ASSERT_GE(i, 0) << name;
    EXPECT_EQ(w.data3, context_word_slot(ctx, uint32_t(i))->data3) << name;
}

std::u32string text_of(Node str) {
    Series* s = node_series(str);
    std::u32string out;
    for (uint32_t i = 0; i < s->length(); ++i) out += char32_t(unit_get(s->head_ptr() + i * s->unit(), s->unit()));
    return out;
}

TEST_F(StackTrace, ReservedWordsAreTheRegisteredSymbols) {
    EXPECT_EQ(g_sym_body, sym("<body>"));
    EXPECT_EQ(g_sym_anon, sym("<anon>"));
}

TEST_F(StackTrace, CallerWordSkipsReservedFramesAndIsSeenFromTheGivenContext) {
    Rooted own(make_cell(T_OBJECT, context_with(CONTEXT_OBJECT, false, {"solve", "x"}), 0, 0));
    Rooted other(make_cell(T_OBJECT, context_with(CONTEXT_OBJECT, false, {"y"}), 0, 0));
    Node own_ctx = own->data1, other_ctx = other->data1;
    struct Case {
        const char* caller;   // the named frame below <body> and <anon>
        Node seen_from;
        Node expected_ctx;
    };
    const Case cases[] = {
        {"solve", own_ctx, own_ctx},                    // the context's own word
        {"solve", other_ctx, g_global_context},         // not there: the global word
        {"solve", 0, g_global_context},                 // no context: the global word
        {"SOLVE", own_ctx, g_global_context},           // exact search: a case variant is not found
    };
    for (const Case& c : cases) {
        stack_init(g_sym_body, g_sym_anon);
        mark_frames({{"main", 0, 0}, {c.caller, 0, 0}, {"<body>", 0, 0}, {"<anon>", 0, 0}, {"<body>", 0, 0}});
        Cell w = stack_caller_word(c.seen_from);
        SCOPED_TRACE(c.caller);
        expect_word_of(w, c.caller, c.expected_ctx);
    }
}

TEST_F(StackTrace, CallerWordIsNotFoundPastTheBottom) {
    for (bool with_frames : {false, true}) {
        stack_init(g_sym_body, g_sym_anon);
        if (with_frames) mark_frames({{"<anon>", 0, 0}, {"<body>", 0, 0}});
        expect_word_of(stack_caller_word(0), "<not-found>", g_global_context);
    }
}

TEST_F(StackTrace, CallerWordReadsTheThrowOriginOnce) {
    mark_frames({{"main", 0, 0}, {"thrower", 0, 0}, {"<body>", 0, 0}, {"throw", 0, 0},
                 {"<anon>", 0, 0}, {"later", 0, 0}});
    // where throw-value records it: the position of the throwing native's own frame
    g_throw_origin = g_calls.bottom + 3;
    expect_word_of(stack_caller_word(0), "thrower", g_global_context);
    EXPECT_EQ(g_throw_origin, nullptr);
    expect_word_of(stack_caller_word(0), "later", g_global_context);   // from the call top again
}

TEST_F(StackTrace, CollectCallsListsFramesTopDownWithTheirSavedArguments) {
    Rooted fn(make_cell(T_OBJECT, context_with(CONTEXT_FUNCTION, true, {"local-fn", "arg"}), 0, 0));
    Node fn_ctx = fn->data1;
    Rooted blk(make_series(T_BLOCK, alloc_cells(2)));
    Node block = series_node(blk.get());

    std::vector<int32_t> saved;
    const FrameSpec frames[] = {
        {"main", 0, 0},            // no function context: the global word
        {"<body>", 0, 0},
        {"local-fn", 0, fn_ctx},   // the function context has its own word for it
        {"g", 0, fn_ctx},          // ... and none for this one
        {"<anon>", 0, 0},
    };
    for (const FrameSpec& f : frames) {
        saved.push_back(int32_t(stack_index(stack_arguments())));
        mark_frames({f});
        stack_push(integer(0));   // each frame's result cell, so that every base differs
        stack_push(integer(1));
    }
    stack_collect_calls(block);
    EXPECT_EQ(listing(block), (std::vector<std::string>{
                                  named("g", g_global_context), "#" + std::to_string(saved[3]),
                                  named("local-fn", fn_ctx), "#" + std::to_string(saved[2]),
                                  named("main", g_global_context), "#" + std::to_string(saved[0])}));
    EXPECT_EQ(saved[0], 0);
    EXPECT_NE(saved[2], saved[3]);
    // appending keeps what the block held
    stack_collect_calls(block);
    EXPECT_EQ(node_series(block)->length(), 12u);
}

// Frames for the trace tests: function-valued words in the global context and in an object,
// other values, a word nobody defined, and words of a function context whose values are read
// from the global context (which holds only one of them).
class TraceFrames : public StackTrace {
protected:
    void SetUp() override {
        StackTrace::SetUp();
        obj_ = std::make_unique<Rooted>(
            make_cell(T_OBJECT, context_with(CONTEXT_OBJECT, false, {"method", "field"}), 0, 0));
        fn_ = std::make_unique<Rooted>(
            make_cell(T_OBJECT, context_with(CONTEXT_FUNCTION, true, {"helper", "local-only"}), 0, 0));
        set_value(g_global_context, "main", FUNCTION_VALUE);
        set_value(g_global_context, "count", integer(3));
        set_value(g_global_context, "helper", FUNCTION_VALUE);
        set_value(obj(), "method", FUNCTION_VALUE);
        set_value(g_global_context, "method", integer(0));   // the object's own value counts
        set_value(obj(), "field", integer(0));
        mark_frames({{"main", obj(), 0},   // the object has no `main`: the global one
                     {"<body>", 0, 0},
                     {"count", g_global_context, 0},
                     {"method", obj(), 0},
                     {"field", obj(), 0},
                     {"<anon>", 0, 0},
                     {"nobody", 0, 0},
                     {"helper", fn(), 0},
                     {"local-only", fn(), 0}});   // no global word of that name
    }
    Node obj() { return (*obj_)->data1; }
    Node fn() { return (*fn_)->data1; }
    std::unique_ptr<Rooted> obj_, fn_;
};

TEST_F(TraceFrames, CollectTraceKeepsFunctionsAtLevel1AndAllNamedFramesAbove) {
    const uint32_t all = stack_call_depth();
    struct Case {
        int32_t level;
        uint32_t end;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {1, all, {named("main", g_global_context), named("method", obj()), named("helper", fn())}},
        {0, all, {named("main", g_global_context), named("method", obj()), named("helper", fn())}},
        {1, 4, {named("main", g_global_context), named("method", obj())}},   // frames below depth 4
        {1, 3, {named("main", g_global_context)}},
        {1, 0, {}},
        {1, all + 10, {named("main", g_global_context), named("method", obj()), named("helper", fn())}},
        {2, all,
         {named("main", g_global_context), named("count", g_global_context), named("method", obj()),
          named("field", obj()), named("nobody", g_global_context), named("helper", fn()),
          named("local-only", fn())}},
        {3, 5, {named("main", g_global_context), named("count", g_global_context), named("method", obj()),
                named("field", obj())}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("level " + std::to_string(c.level) + " end " + std::to_string(c.end));
        Rooted blk(make_series(T_BLOCK, alloc_cells(1)));
        uint32_t globals = context_word_count(g_global_context);
        stack_collect_trace(c.level, series_node(blk.get()), c.end);
        EXPECT_EQ(listing(series_node(blk.get())), c.expected);
        // a frame left out adds nothing to the global context
        if (c.level <= 1) {
            EXPECT_EQ(context_word_count(g_global_context), globals);
        }
    }
}

TEST_F(TraceFrames, CollectTraceWordsLeadToTheirValues) {
    Rooted blk(make_series(T_BLOCK, alloc_cells(1)));
    stack_collect_trace(2, series_node(blk.get()), stack_call_depth());
    ASSERT_EQ(node_series(series_node(blk.get()))->length(), 7u);
    struct Case {
        uint32_t i;
        TypeId type;
    };
    for (Case c : {Case{0, T_FUNCTION}, Case{1, T_INTEGER}, Case{2, T_FUNCTION}, Case{3, T_INTEGER},
                   Case{4, T_UNSET}}) {
        Cell w = *node_series(series_node(blk.get()))->cell_at(c.i);
        EXPECT_EQ(word_get(&w)->type(), c.type) << spelling(w.data2);
    }
}

TEST_F(TraceFrames, FormTraceSeparatesBySpacesAndStopsAtTheLimit) {
    const std::u32string full = U"main count method field nobody helper local-only";   // 48 characters
    struct Case {
        int32_t level;
        int32_t limit;
        std::u32string text;
        int32_t left;
    };
    const Case cases[] = {
        {2, 100, full, 100 - 48},
        {2, 48, full, 0},
        {2, 47, full.substr(0, 47), 0},        // the last word cut
        {2, 11, U"main count ", 0},            // cut just after a separator
        {2, 10, U"main count", 0},
        {2, 1, U"m", 0},
        {2, 0, U"", 0},
        {2, -5, U"", 0},
        {1, 100, U"main method helper", 100 - 18},
        {1, 8, U"main met", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("level " + std::to_string(c.level) + " limit " + std::to_string(c.limit));
        Rooted str(make_series(T_STRING, string_from_utf8(reinterpret_cast<const uint8_t*>(">"), 1)));
        int32_t left = stack_form_trace(c.level, stack_call_depth(), series_node(str.get()), c.limit);
        EXPECT_EQ(left, c.left);
        EXPECT_TRUE(text_of(series_node(str.get())) == U">" + c.text);
    }
    Rooted str(make_series(T_STRING, alloc_units(4, 1)));
    EXPECT_EQ(stack_form_trace(2, 4, series_node(str.get()), 50), 50 - 17);
    EXPECT_TRUE(text_of(series_node(str.get())) == U"main count method");
}

TEST_F(StackTrace, FormTraceWidensTheStringForWideNames) {
    struct Case {
        std::vector<const char*> names;   // UTF-8
        std::u32string text;
        uint32_t unit;
    };
    const Case cases[] = {
        {{"größe", "café"}, U"größe café", 1},               // Latin-1 stays one byte a unit
        {{"größe", "λx", "café"}, U"größe λx café", 2},
        {{"a", "\xF0\x9D\x91\x93", "λ"}, U"a \U0001D453 λ", 4},  // outside the BMP
    };
    for (const Case& c : cases) {
        stack_init(g_sym_body, g_sym_anon);
        for (const char* n : c.names) mark_frames({{n, 0, 0}, {"<body>", 0, 0}});
        Rooted str(make_series(T_STRING, string_from_utf8(reinterpret_cast<const uint8_t*>("*: "), 3)));
        int32_t left = stack_form_trace(2, stack_call_depth(), series_node(str.get()), 1000);
        EXPECT_EQ(left, 1000 - int32_t(c.text.size()));
        EXPECT_EQ(node_series(series_node(str.get()))->unit(), c.unit);
        EXPECT_TRUE(text_of(series_node(str.get())) == U"*: " + c.text) << c.unit;
    }
}

// ---- Frame references under node renumbering -------------------------------------------------------

// A compiled body marked for a context that keeps its values (an object's, a closure's) must leave
// word 2 alone: it holds the values node, which the collector marks and renumbers. Only a
// stack-held function context gets the frame reference. Checked across real collections that
// evacuate the node frame both contexts live in.
TEST_F(Stack, OnlyStackHeldContextsGetAFrameReferenceEvenWhenNodesMove) {
    g_collector_enabled = false;  // only the cycles started here
    while (g_memory.node_first->free_head) alloc_bytes(16);  // what follows lands in frame 1

    Node kept_ctx = context_make(2, false, false, 0, CONTEXT_FUNCTION);
    Rooted kept(make_cell(T_OBJECT, kept_ctx, 0, 0));
    Cell name = word(symbol_make("field"));
    Cell text = make_series(T_STRING, string_from_utf8(reinterpret_cast<const uint8_t*>("kept"), 4));
    context_put_word_value(kept_ctx, &name, &text);
    Node stack_ctx = make_context();
    Rooted held(make_cell(T_FUNCTION, stack_ctx, 0, 0));
    NodeFrame* second = g_memory.node_last;
    ASSERT_NE(second, g_memory.node_first);
    ASSERT_EQ(node_frame_of(kept_ctx), second);

    Cell w = word(5);
    Node values_before = context_cell(kept_ctx)->data2;
    stack_push(integer(1));
    Cell* base = stack_arguments();
    stack_mark_func(&w, kept_ctx);
    EXPECT_EQ(context_cell(kept_ctx)->data2, values_before);
    stack_push(integer(2));
    Cell* stack_base = stack_arguments();
    stack_mark_func(&w, stack_ctx);
    EXPECT_EQ(stack_frame_cell(stack_context_frame_word(stack_ctx)), stack_base);
    (void)base;

    while (second->free_head) alloc_bytes(16);  // garbage: frame 1 becomes sparse and stable
    bool evacuated = false;
    for (uint32_t cycle = 1; cycle <= 12 && !evacuated; ++cycle) {
        collector_cycle();
        evacuated = g_memory.node_first == g_memory.node_last;
    }
    ASSERT_TRUE(evacuated) << "the contexts' frame was never evacuated";
    kept_ctx = kept->data1;
    stack_ctx = held->data1;
    EXPECT_EQ(node_frame_of(kept_ctx), g_memory.node_first);
    Node values = context_cell(kept_ctx)->data2;
    ASSERT_TRUE(node_slot_used(values));
    EXPECT_EQ(node_frame_of(values), g_memory.node_first);
    int32_t i = context_find_word(kept_ctx, name.data2, false);
    ASSERT_GE(i, 0);
    const Cell* v = context_value_at(kept_ctx, uint32_t(i));
    ASSERT_TRUE(v->is(T_STRING));
    Series* s = node_series(series_node(v));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(s->head_ptr()), s->used()), "kept");
    EXPECT_EQ(stack_frame_cell(stack_context_frame_word(stack_ctx)), stack_base);
    stack_drop_frame();
    stack_drop_frame();
}

} // namespace
