// The data stack, the call stack and the non-local exits that unwind them.
//
// Data stack: every value that natives, actions, the interpreter and compiled code pass around
// goes through one fixed array of 20000 cells (a buffer inside the root block that never moves).
// Four pointers describe it: bottom, limit (one past the last cell), top (the next free cell) and
// arguments, the base of the current frame: cell 0 of a frame is its result cell, the cells after
// it are its arguments. An empty stack has top = arguments = bottom. At most 19999 cells can be in
// use; the push that would fill the last one raises internal stack-overflow.
//
// Call stack: a fixed array of 12000 call frames of five 32-bit words. Every call, loop, try,
// catch and evaluation opens a frame; errors, break, continue, return, exit and throw unwind them,
// error traces name their words and the collector walks them as a root. A frame's own data base
// is not stored in it: it is the saved arguments of the frame above it, or the current arguments
// when it is the top frame.
//
// Non-local exits travel as one C++ exception, KelThrow (core/throw.h). The thrower puts both
// stacks where the receiving frame expects them BEFORE it raises the exception; C++ frames that the
// exception passes through must leave both stacks alone. See "Receiving non-local exits" below.
//
// Everything here runs on the main thread. The hot operations are inline; the rare paths
// (overflow, unwinding, exits) live in core/stack.cpp.
#pragma once

#include "core/cell.h"
#include "core/errors.h"
#include "core/memory.h"
#include "core/throw.h"

#include <cstdint>
#include <optional>

namespace kel {

// ---- Frames --------------------------------------------------------------------------------------

// Frame kinds (header bits 24-27).
enum FrameKind : uint32_t {
    FRAME_FUNCTION = 1,  // a function call (by word or from the interpreter)
    FRAME_NATIVE = 2,    // a native or action call, a call made by compiled code, a compiled body
    FRAME_TRY = 4,       // try without /all, attempt, other error-trapping code
    FRAME_TRY_ALL = 5,   // try/all, safe evaluation: stops break/continue/return/throw as well
    FRAME_CATCH = 6,     // catch
    FRAME_EVAL = 7,      // the block evaluator
    FRAME_LOOP = 8,      // every loop
};

// Frame header bits.
enum : uint32_t {
    FRAME_SYMBOL_SHIFT = 8,
    FRAME_SYMBOL_MASK = 0x00FFFF00,   // symbol id of the called word
    FRAME_KIND_SHIFT = 24,
    FRAME_KIND_MASK = 0x0F000000,
    FRAME_RETURN_MARK = 0x10000000,   // return and exit stop here
    FRAME_INTERPRETED = 0x80000000,   // opened by the interpreter

    FRAME_HDR_MARK = 0x01000000,
    FRAME_HDR_INTERP_FUNC = 0x81000000,
    FRAME_HDR_NATIVE = 0x02000000,
    FRAME_HDR_INTERP_NATIVE = 0x82000000,
    FRAME_HDR_FUNC = 0x12000000,
    FRAME_HDR_TRY = 0x04000000,
    FRAME_HDR_TRY_ALL = 0x05000000,
    FRAME_HDR_CATCH = 0x06000000,
    FRAME_HDR_EVAL = 0x87000000,
    FRAME_HDR_LOOP = 0x08000000,
};

struct CallFrame {
    uint32_t header;
    uint32_t saved_args;  // the caller's frame base, as a cell index from the data-stack bottom
    Node word_ctx;        // context node of the called word
    Node func_ctx;        // function calls: the function's context node, else 0
    uint32_t saved_fp;    // function calls: the context's frame reference before the call, else 0

    uint32_t kind() const { return (header & FRAME_KIND_MASK) >> FRAME_KIND_SHIFT; }
    uint32_t symbol() const { return (header & FRAME_SYMBOL_MASK) >> FRAME_SYMBOL_SHIFT; }
    bool has_return_mark() const { return header & FRAME_RETURN_MARK; }
    bool interpreted() const { return header & FRAME_INTERPRETED; }
};
static_assert(sizeof(CallFrame) == 20, "a call frame is five 32-bit words");

constexpr uint32_t CALL_STACK_FRAMES = 12000;
constexpr uint32_t STACK_OVERFLOW_BACKOFF = 5;  // cells the data top moves back on an overflow

// ---- State -----------------------------------------------------------------------------------------

struct DataStack {
    Cell* bottom;
    Cell* limit;
    Cell* top;
    Cell* arguments;
};
struct CallStack {
    CallFrame* bottom;
    CallFrame* limit;
    CallFrame* top;   // the next free frame
};
extern DataStack g_stack;
extern CallStack g_calls;

// Symbol ids of the reserved trace words <body> and <anon>; frames named by them are skipped by
// every trace walk. STACK_NO_SYMBOL until start-up registers them.
constexpr uint32_t STACK_NO_SYMBOL = 0xFFFFFFFF;
extern uint32_t g_sym_body;
extern uint32_t g_sym_anon;

// The call-stack position recorded by the first throw-value that had none (read once by
// stack_caller_frame); null when there is none.
extern CallFrame* g_throw_origin;

// Takes the two fixed buffers that root_blocks_init made (g_data_stack_node, g_call_stack_node),
// empties both stacks and the cycle-detection stack and records the ids of <body> and <anon>.
// Calling it again resets the stacks.
void stack_init(uint32_t sym_body = STACK_NO_SYMBOL, uint32_t sym_anon = STACK_NO_SYMBOL);

// Raises internal stack-overflow: the data top moves back five cells, but not below the bottom nor
// below the base of the nearest try frame (the frames that receive the error keep their cells, in
// sight of the collector); the cycle-detection stack is emptied.
[[noreturn]] void stack_overflow();

// ---- Data-stack positions --------------------------------------------------------------------------
//
// A frame on the data stack is referred to from 32-bit words by position. A call frame's saved
// arguments is a plain cell index from the bottom. A function context's frame reference (word 2
// of its context cell) is the index plus one, so that 0 still means "the function is not running".

inline uint32_t stack_index(const Cell* c) { return uint32_t(c - g_stack.bottom); }
inline Cell* stack_at_index(uint32_t i) { return g_stack.bottom + i; }
inline uint32_t stack_frame_ref(const Cell* c) { return stack_index(c) + 1; }
inline Cell* stack_frame_cell(uint32_t ref) { return ref ? g_stack.bottom + (ref - 1) : nullptr; }

// Word 2 of a function context's cell: the frame reference of its running call.
inline uint32_t& stack_context_frame_word(Node ctx) { return node_series(ctx)->cells()->data2; }

// ---- Data stack ------------------------------------------------------------------------------------

// Advances top by one cell and returns the old top. Filling the last cell raises stack-overflow.
inline Cell* stack_push_slot() {
    Cell* c = g_stack.top++;
    if (g_stack.top >= g_stack.limit) [[unlikely]] stack_overflow();
    return c;
}
// Copies the value into the top cell, then pushes it.
inline Cell* stack_push(const Cell* value) {
    *g_stack.top = *value;
    return stack_push_slot();
}
inline Cell* stack_push(const Cell& value) { return stack_push(&value); }
// Top moves down n cells, never below the bottom.
inline void stack_pop(uint32_t n = 1) {
    g_stack.top = uint32_t(g_stack.top - g_stack.bottom) > n ? g_stack.top - n : g_stack.bottom;
}
// The last pushed cell, or the bottom when the stack is empty.
inline Cell* stack_top() { return g_stack.top > g_stack.bottom ? g_stack.top - 1 : g_stack.bottom; }
inline TypeId stack_last_type() { return stack_top()->type(); }
inline Cell* stack_arguments() { return g_stack.arguments; }
inline Cell* stack_arg(uint32_t i) { return g_stack.arguments + i; }
inline uint32_t stack_depth() { return uint32_t(g_stack.top - g_stack.bottom); }
// top = arguments (the frame emptied, result cell included); returns arguments.
inline Cell* stack_reset() { return g_stack.top = g_stack.arguments; }
// top = arguments + 1; returns arguments.
inline Cell* stack_keep_result() {
    g_stack.top = g_stack.arguments + 1;
    return g_stack.arguments;
}
// Copies the value into arguments[0], the current result cell.
inline void stack_set_last(const Cell* value) { *g_stack.arguments = *value; }
// top = arguments + 1, then the value goes into arguments[0].
inline Cell* stack_set_result(const Cell* value) {
    Cell v = *value;  // the value may be one of the cells being dropped
    g_stack.top = g_stack.arguments + 1;
    *g_stack.arguments = v;
    return g_stack.arguments;
}
// When the last pushed value is an error!, it becomes the result; then top = arguments + 1.
void stack_keep_last_error();

// ---- Marking frames ----------------------------------------------------------------------------------
//
// Each marker takes the called word's cell (word 1 its context node, word 2 its symbol id) and
// returns the new arguments pointer, the base of the new frame (= the data top). A marker with the
// call stack full raises stack-overflow; the 12000th frame can still be pushed. So does a marker
// with no data cell left for the new frame's result: a frame based on the last cell would put the
// top at the limit once its result is set, and the next push would write past the stack.

inline bool stack_mark_overflows() {
    return g_calls.top >= g_calls.limit || g_stack.top + 1 >= g_stack.limit;
}

inline Cell* stack_mark_frame(const Cell* word, uint32_t header) {
    if (stack_mark_overflows()) [[unlikely]] stack_overflow();
    CallFrame* f = g_calls.top++;
    f->header = header | ((word->data2 << FRAME_SYMBOL_SHIFT) & FRAME_SYMBOL_MASK);
    f->saved_args = stack_index(g_stack.arguments);
    f->word_ctx = word->data1;
    f->func_ctx = 0;
    f->saved_fp = 0;
    return g_stack.arguments = g_stack.top;
}
// A function call by word; saves the function context (0 for none) and its frame reference.
inline Cell* stack_mark(const Cell* word, Node func_ctx) {
    Cell* base = stack_mark_frame(word, FRAME_HDR_MARK);
    if (func_ctx) {
        CallFrame* f = g_calls.top - 1;
        f->func_ctx = func_ctx;
        f->saved_fp = stack_context_frame_word(func_ctx);
    }
    return base;
}
inline Cell* stack_mark_interp_func(const Cell* w) { return stack_mark_frame(w, FRAME_HDR_INTERP_FUNC); }
inline Cell* stack_mark_native(const Cell* w) { return stack_mark_frame(w, FRAME_HDR_NATIVE); }
inline Cell* stack_mark_interp_native(const Cell* w) { return stack_mark_frame(w, FRAME_HDR_INTERP_NATIVE); }
// The body of a compiled function: the function context's frame reference becomes the current
// arguments (where the caller pushed the arguments), then a native frame with the return mark.
// Only a context that keeps its values on the data stack (CELL_CTX_ON_STACK) has a frame
// reference in word 2; any other context holds its values node there, which the collector marks
// and renumbers, so it is left alone.
inline Cell* stack_mark_func(const Cell* word, Node func_ctx) {
    if (stack_mark_overflows()) [[unlikely]] stack_overflow();
    if (func_ctx && (node_series(func_ctx)->cells()->header & CELL_CTX_ON_STACK))
        stack_context_frame_word(func_ctx) = stack_frame_ref(g_stack.arguments);
    return stack_mark_frame(word, FRAME_HDR_FUNC);
}
inline Cell* stack_mark_try(const Cell* w) { return stack_mark_frame(w, FRAME_HDR_TRY); }
inline Cell* stack_mark_try_all(const Cell* w) { return stack_mark_frame(w, FRAME_HDR_TRY_ALL); }
inline Cell* stack_mark_catch(const Cell* w) { return stack_mark_frame(w, FRAME_HDR_CATCH); }
inline Cell* stack_mark_eval(const Cell* w) { return stack_mark_frame(w, FRAME_HDR_EVAL); }
inline Cell* stack_mark_loop(const Cell* w) { return stack_mark_frame(w, FRAME_HDR_LOOP); }

// The top frame, or null when the call stack is empty.
inline CallFrame* stack_top_frame() { return g_calls.top > g_calls.bottom ? g_calls.top - 1 : nullptr; }
// The call top (one past the top frame), and restoring a saved one (trace code).
inline CallFrame* stack_call_top() { return g_calls.top; }
inline void stack_set_call_top(CallFrame* top) { g_calls.top = top; }
// Frames in use; the "call-stack position" that errors record.
inline uint32_t stack_call_depth() { return uint32_t(g_calls.top - g_calls.bottom); }

// Sets or clears the return mark of the top frame; sets the interpreted flag of the top frame.
void stack_set_return_mark(bool on);
void stack_set_interpreted();
// Sets the return mark on the frame below the top frame unless it is set already; returns that
// frame only when it set the mark (null otherwise). stack_clear_return_mark takes it off again.
CallFrame* stack_set_caller_return_mark();
void stack_clear_return_mark(CallFrame* frame);
// Walks down from the call-stack position `from` (the call top when null): true at the first frame
// with the interpreted flag, false at the bottom. With only_next only the frame just below `from`
// is tested.
bool stack_interpreted(const CallFrame* from, bool only_next);

// ---- Dropping frames -----------------------------------------------------------------------------

// Drops the top frame; a function frame (kind 1) with a context restores the context's frame
// reference. With the call stack now empty, arguments = top = bottom; else top = the old
// arguments and arguments = the dropped frame's saved arguments.
void stack_drop_frame();
// Drop the top frame; top = arguments + 1 (the callee's result cell stays as the last value);
// arguments = the frame's saved arguments. Each returns the callee's result cell.
Cell* stack_unwind();
Cell* stack_unwind_last();          // ... and copies that result into the caller's result cell
Cell* stack_unwind_restore();       // stack_unwind + the context restore whenever word 4 is set
Cell* stack_unwind_restore_last();  // stack_unwind_last + that restore
// Drops the top frame; arguments = its saved arguments; top = arguments. Returns arguments.
Cell* stack_unroll();
Cell* stack_unroll_restore();
// Drops frames down to the nearest frame of the kind (or of kind 5, or the bottom frame); that frame
// stays. keep: arguments become its own base, else its caller's. The data top becomes the old
// arguments + 1 (arguments = top = bottom when the stack is left empty). Returns the frame found,
// null when the call stack was empty.
CallFrame* stack_unwind_to_kind(uint32_t kind, bool keep);
// Returns from the nearest frame of the kind: the current result cell goes into that frame's
// result cell, its base becomes the current arguments and is emptied (top = arguments), as if its
// callee had just finished; the caller then unwinds it normally.
CallFrame* stack_unwind_to_kind_last(uint32_t kind);
inline CallFrame* stack_unwind_to_loop(bool keep) { return stack_unwind_to_kind(FRAME_LOOP, keep); }

// ---- Traces ------------------------------------------------------------------------------------------
//
// Walks over the named frames: frames named <body> or <anon> are skipped. The trace functions
// below turn a frame into a word: the word a context holds for the frame's symbol (exact search),
// else the global context's word for it (added there when missing).
//
// A trace "end" is a call-stack depth (stack_call_depth, what an error records): the frames below
// it are walked, and a depth above the current one means the call top. The functions that take
// a block or a string append to it and may allocate: the caller keeps that series reachable (on
// the data stack or in a Rooted cell).

inline bool stack_frame_reserved(const CallFrame* f) {
    uint32_t s = f->symbol();
    return s == g_sym_body || s == g_sym_anon;
}
// The frame that stack-caller-word names: from the recorded throw origin (which is then cleared)
// or else the call top, the first frame below that is not reserved; null for <not-found>.
CallFrame* stack_caller_frame();
// The word of stack_caller_frame's frame as seen from ctx (the global context when 0), or the
// global word <not-found> when there is no named frame. Reads (and clears) the throw origin.
Cell stack_caller_word(Node ctx);
// stack/collect-calls: for every named frame from the top down, appends the frame's word (looked
// up in the frame's function context, or the global context when it has none), then an integer!
// holding the frame's saved arguments (a cell index from the data-stack bottom).
void stack_collect_calls(Node block);
// For every named frame from the bottom up to the end depth, appends the frame's word when level
// is above 1, or when that word's value in its context is a function!. The word is looked up in
// the called word's context (frame word 3; the global context when 0); a context whose values live
// on the data stack has its value read from the global context instead.
void stack_collect_trace(int32_t level, Node block, uint32_t end);
// The words that stack_collect_trace would append, formed at the string's tail: their spellings
// with one space between two of them, cut after `limit` characters (the text added is the first
// `limit` characters of the whole trace). The string is widened when a spelling needs wider
// units. Returns the limit left (0 once it was reached; a limit of 0 or less adds nothing).
int32_t stack_form_trace(int32_t level, uint32_t end, Node target, int32_t limit);
// Calls f(frame) for every named frame from the bottom up to, not including, `end` (a call-stack
// position; the call top when null).
template <class F>
inline void stack_walk_up(const CallFrame* end, F&& f) {
    if (!end || end > g_calls.top) end = g_calls.top;
    for (CallFrame* p = g_calls.bottom; p < end; ++p)
        if (!stack_frame_reserved(p)) f(p);
}
// Calls f(frame) for every named frame from the top down to the bottom.
template <class F>
inline void stack_walk_down(F&& f) {
    for (CallFrame* p = g_calls.top; p > g_calls.bottom;) {
        --p;
        if (!stack_frame_reserved(p)) f(p);
    }
}

// ---- Non-local exits -------------------------------------------------------------------------------
//
// throw_error (declared in core/errors.h) unwinds to the nearest try frame (kind 4 or 5) and drops
// it, puts the data top back where it was, pushes the error and throws THROW_ERROR. With no try
// frame at all, the error's report goes to stderr and the process ends with status -2.
//
// The others act for the native whose frame is on top (break, continue, return, exit, throw):

// Unwinds to the nearest loop frame, which stays with its data emptied; its result is the old
// arguments[0] for break with a value, unset otherwise. Throws THROW_BREAK or THROW_CONTINUE. A
// try/all frame on the way, or no loop, raises throw/break or throw/continue instead.
[[noreturn]] void throw_break(bool has_value, bool is_continue);
// Unwinds to the nearest frame with the return mark (keep_own_frame: the top frame counts too),
// which stays with its data emptied; its result is the old arguments[0] for return, unset for
// exit. Throws THROW_RETURN or THROW_EXIT. A try/all frame on the way, or no marked frame, raises
// throw/return instead.
[[noreturn]] void throw_return(bool is_return, bool keep_own_frame);
// Unwinds to the nearest catch frame, which stays: its data holds the thrown value (old
// arguments[0]) and the throw's name (old arguments[1]). Throws `code`. A try/all frame on the way,
// or no catch frame, raises throw/throw with the value.
[[noreturn]] void throw_value(uint32_t code);

// ---- Receiving non-local exits --------------------------------------------------------------------
//
// A thrower leaves the call stack at a position that identifies the receiver:
//   error            the try frame is dropped: the call top is where it was before the try mark;
//   break, continue  the loop frame stays on top;
//   return, exit     the return-marked frame stays on top;
//   throw            the catch frame stays on top.
// A receiver takes an exit only when its code is one it handles AND the call top is at the
// receiver's position; anything else passes on to outer C++ frames. The innermost receiver on the
// C++ stack thus receives first, as the catch-level rule asks, and C++ unwinding always agrees with
// what the thrower did to the stacks.
//
// Rules for natives:
//  - Never drop call frames or restore the data top in a destructor or a catch-all block: when an
//    exit passes through, the thrower has already put both stacks where its receiver wants them.
//  - After break or return the receiving frame's result cell lies AT the data top, outside what
//    the collector marks: take the value out (stack_unwind_last) before anything allocates.
//  - Open the frame, note the call top, run the body through one of the helpers below, then on
//    the normal path unwind the frame yourself. For example, a loop:
//
//        stack_mark_loop(word);
//        const CallFrame* at = stack_call_top();
//        while (...) {
//            stack_reset();
//            if (stack_loop_pass(at, [&] { run_body(); }) == LoopExit::Break) break;
//        }
//        stack_unwind_last();   // the loop's result becomes the native's result
//
//  - try: `if (!stack_try(word, all, [&] { run_body(); })) stack_keep_last_error();`

// Runs body; a KelThrow with code in [first_code, last_code] that arrives while the call top is
// `at` goes to handler(const KelThrow&), after the C++ exception has been left; all else passes.
template <class Body, class Handler>
inline void stack_catch(uint32_t first_code, uint32_t last_code, const CallFrame* at, Body&& body,
                        Handler&& handler) {
    std::optional<KelThrow> caught;
    try {
        body();
    } catch (KelThrow& t) {
        if (t.code < first_code || t.code > last_code || g_calls.top != at) throw;
        caught.emplace(t);
    }
    if (caught) handler(*caught);
}

// Runs body inside a try frame (kind 5 with all, else 4). Returns true when the body finished:
// the frame is unwound and the body's result cell is the last value. Returns false when an error
// arrived: the try frame is gone, arguments are those of the caller and the error is the last
// pushed value (stack_keep_last_error makes it the caller's result).
template <class Body>
inline bool stack_try(const Cell* word, bool all, Body&& body) {
    const CallFrame* at = g_calls.top;
    if (all) stack_mark_try_all(word);
    else stack_mark_try(word);
    bool finished = false;
    stack_catch(THROW_ERROR, THROW_ERROR, at,
                [&] {
                    body();
                    stack_unwind();
                    finished = true;
                },
                [](const KelThrow&) {});
    return finished;
}

enum class LoopExit : uint8_t { Normal, Break, Continue };
// One pass of a loop body; `loop_top` is the call top just after stack_mark_loop. After Break
// and Continue the loop frame's data is emptied and its result cell holds the break value.
template <class Body>
inline LoopExit stack_loop_pass(const CallFrame* loop_top, Body&& body) {
    LoopExit exit = LoopExit::Normal;
    stack_catch(THROW_CONTINUE, THROW_BREAK, loop_top, body, [&](const KelThrow& t) {
        exit = t.code == THROW_BREAK ? LoopExit::Break : LoopExit::Continue;
    });
    return exit;
}

// Runs body under a catch frame; `catch_top` is the call top just after stack_mark_catch. Returns
// true when a throw arrived: the catch frame's data then holds the value and the name.
template <class Body>
inline bool stack_catch_throw(const CallFrame* catch_top, Body&& body) {
    bool thrown = false;
    stack_catch(THROW_VALUE, THROW_VALUE, catch_top, body, [&](const KelThrow&) { thrown = true; });
    return thrown;
}

// Runs a function body; `marked_top` is the call top just after the return-marked frame was
// opened. Returns 0 when the body finished, THROW_RETURN or THROW_EXIT when one arrived (the
// marked frame's data is then emptied and its result cell holds the returned value).
template <class Body>
inline uint32_t stack_catch_return(const CallFrame* marked_top, Body&& body) {
    uint32_t code = 0;
    stack_catch(THROW_EXIT, THROW_RETURN, marked_top, body, [&](const KelThrow& t) { code = t.code; });
    return code;
}

} // namespace kel
