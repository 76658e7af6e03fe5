// The interpreter: evaluates blocks of values on the data stack.
//
// It walks a block one expression at a time: words are looked up in their contexts, functions
// take their arguments from the code that follows them according to their spec (through an
// arguments cache built once per function value), infix operators apply left to right, paths
// select through each value's path action, and every step may be reported to a user trace
// callback. Every value it computes goes through the data stack: an evaluation leaves its result
// in the current frame's result cell (stack_arguments()[0]), and every call opens a call frame
// (core/stack.h), so that deep recursion meets the stacks' limits and raises stack-overflow. A
// native-stack guard does the same when the C++ stack runs low.
//
// Positions in code are cell indices in the code block (from the buffer start, as a series head
// index is), never addresses: the block may move while it is evaluated. Every entry copies the
// code block cell it is given before it evaluates anything.
//
// Function values, as the interpreter reads them:
//   native!/action!  word 1 the 1-based table index, word 2 the spec node, word 3 the more block
//   function!        word 1 the context node, word 2 the spec node, word 3 the more block
//                    (body, arguments cache, code integer or unset, op source, owner context)
//   routine!         word 2 the spec node, word 3 the more block (cell 2 an integer!: the 1-based
//                    index of its C++ entry in the routine table, datatypes/function.h)
//   op!              a copy of the function cell it wraps, the wrapped type in bits 16-23
// The arguments cache is cell 1 of the more block; it is built on the first call.
#pragma once

#include "core/cell.h"
#include "core/memory.h"
#include "core/runtime.h"
#include "evaluator/natives.h"

#include <cstdint>

namespace kel {

// ---- State -------------------------------------------------------------------------------------

// Trace event bits.
enum TraceEvent : uint32_t {
    EV_INIT = 0x0001, EV_END = 0x0002, EV_PROLOG = 0x0004, EV_EPILOG = 0x0008,
    EV_ENTER = 0x0010, EV_EXIT = 0x0020, EV_OPEN = 0x0040, EV_RETURN = 0x0080,
    EV_FETCH = 0x0100, EV_PUSH = 0x0200, EV_SET = 0x0400, EV_CALL = 0x0800,
    EV_ERROR = 0x1000, EV_THROW = 0x2000, EV_CATCH = 0x4000, EV_EXPR = 0x8000,
};
constexpr uint32_t TRACE_DEFAULT_MASK = 0x1FFFF;

struct InterpState {
    uint32_t tracing;        // 1 while a trace callback is active (0 while it runs itself)
    uint32_t trace_mask;     // events that reach the callback
    uint32_t trace_run;      // 1 while do/trace runs
    int32_t callback_refs;   // refinement slots pushed after the callback's six arguments
};
extern InterpState g_interp;

// The trace callback (a cell of the root block) and the current-code cell: the block being
// evaluated with, in word 1, the position of the expression under way (an unset cell outside any
// evaluation). Both are collector roots; the current-code cell belongs to the innermost block
// evaluation and is valid while it runs.
Cell* interp_trace_callback();
Cell* interp_current_code();

// Start-up: makes the two cells above; the current code is unset.
void interpreter_init();

// ---- Evaluation ----------------------------------------------------------------------------------

// Evaluates a whole block (block!, paren! or any list of cells) from its head index. The last
// expression's value is the result: with chain it goes into the caller's result cell (the frame
// current before the call), else it stays as the last value pushed. An empty block gives unset.
void eval(const Cell* block, bool chain = true);

// Evaluates one expression of `code` starting at cell index pos (end: the index to stop at,
// -1 for the tail) and returns the index after it. arg: the value is pushed as a new cell,
// else written into the current result cell. no_infix skips operators after the value;
// no_call pushes a function value found in the code instead of calling it.
int32_t eval_expression(const Cell* code, int32_t pos, int32_t end, bool no_infix, bool arg,
                        bool no_call = false);

// One expression inside its own eval frame; with arg its value is left as the last pushed cell,
// else it is the frame's result written into the caller's result cell. Returns the next index.
int32_t eval_step(const Cell* code, int32_t pos, int32_t end, bool arg);

// do/next: evaluates the expression at the block's index into the current result cell and
// returns the index after it; at the tail the result is unset and the index is returned as is.
int32_t do_next(const Cell* block);

// Call modes of eval_code (apply): 0 an ordinary call; 1 every argument and refinement in spec
// order from the code; 2 arguments in order, then refinement! values each with its expression;
// +4 each argument is exactly one value; +8 each argument is that value as it stands, never
// evaluated (whatever its kind in the spec).
enum CallMode : int32_t { CALL_NORMAL = 0, CALL_ALL = 1, CALL_REFINES = 2, CALL_SAFER = 4, CALL_VALUES = 8 };

// Invokes any function value with arguments taken from `code` from index pos. name: the word that
// names the call (null: <anon>); path and path_pos: the path whose elements after path_pos are
// refinements (null for none); object: the object! whose context a function runs in (null for
// none). mode: CallMode. infix: the left operand is the last pushed cell and becomes the first
// argument. With arg the result is left as the last pushed value, else it goes into the current
// result cell. Returns the index after the last argument taken.
int32_t eval_code(const Cell* fn, const Cell* code, int32_t pos, int32_t end, bool arg,
                  const Cell* name, const Cell* path = nullptr, int32_t path_pos = 0,
                  const Cell* object = nullptr, int32_t mode = CALL_NORMAL, bool infix = false);

// Header flag of function! values made by the environment sources (library functions): they are
// no target of a return or exit raised in a block they evaluate for their caller (the return
// goes to the caller's function, as it would through a native), and they run untraced.
constexpr uint32_t FUNC_FLAG_LIBRARY = 0x100;

// Calls a function! value whose arguments (and refinement logic! cells, and none locals) are
// already in the current frame: its body runs with the frame as its context's values; return and
// exit end here. object_ctx: the object context to run in (0 for none). trace_flags: 0, or the
// callback bit (8 on-change*, 16 on-deep-change*) compared with system/state/callbacks/bits.
void call_function(const Cell* fn, Node object_ctx, const Cell* name, uint32_t trace_flags = 0);

// Runs any function value with `count` argument cells (its leading arguments; refinements unused,
// locals none). The result is left as the last pushed value (top - 1); the caller's frame is not
// trimmed. The argument cells are copied before anything allocates. For C++ callers such as sort
// with /compare, change handlers and the lexer's trace callback.
void call_with_args(const Cell* fn, const Cell* args, uint32_t count, const Cell* name = nullptr);

// Evaluates a path!, get-path! or set-path! found at index pos-1 of code (the path itself is
// `path`); set_value: the value a set-path stores (null otherwise). Leaves the result as for
// eval_expression (arg) and returns the index after the path and any arguments it took.
int32_t eval_path(const Cell* path, const Cell* code, int32_t pos, int32_t end, bool arg,
                  bool get, const Cell* set_value);

// Sends one trace event when tracing is on and its bit is in the mask. code null: none; pos -1:
// no position.
void fire_event(uint32_t event, const Cell* code, int32_t pos, const Cell* ref, const Cell* value);
inline bool interp_tracing() { return g_interp.tracing != 0; }
// The trace mask of a callback: the event words of the block that starts its body, else default.
uint32_t trace_event_mask(const Cell* callback);

// do/trace: trace_begin stores the callback, computes its mask, switches tracing on and fires
// init; trace_end fires end and switches it off. A nested do/trace (trace_run already set) is
// ignored: trace_begin returns false and trace_end must then not be called.
bool trace_begin(const Cell* callback);
void trace_end();

// The halt that Ctrl-C raises: a low-level throw no loop, function, catch or try stops; the
// console receives it and prints "(halted)".
constexpr uint32_t THROW_HALT = 0x7FFFFFF9;
// Polls the interrupt flag: a pending Ctrl-C raises the halt.
[[noreturn]] void interp_halt();
inline void interp_poll_halt() {
    if (g_halt_requested) [[unlikely]] interp_halt();
}
// The native-stack guard: raises stack-overflow when the C++ stack is nearly exhausted.
void interp_check_native_stack();

// The arguments cache of a function value (built on first use); a block! cell. Its entries, in
// spec order: a typeset! per argument (and per return declaration) with the fetch kind below in
// its header, a refinement! per refinement but /local, then trailing integer! counts.
Cell interp_args_cache(const Cell* fn);
// Fetch kinds of argument entries (header bits 20-21).
constexpr uint32_t KIND_MASK = 0x300000;
constexpr uint32_t KIND_EVAL = 0;
constexpr uint32_t KIND_GET = 0x100000;
constexpr uint32_t KIND_LIT = 0x200000;
constexpr uint32_t KIND_RETURN = 0x300000;

// ---- Loop-step services ---------------------------------------------------------------------------

// True while the series has elements at its index.
bool series_more(const Cell* series);
// The element at cell/unit index i of a series (from its buffer's head): a cell of a block, a
// char! of a string, an integer! of a binary, a number of the element type of a vector.
void series_element(const Cell* series, uint32_t i, Cell* out);
// set of a block of words: words 1..count from the value (each element of a block-like value
// unless only, else the value itself); any lets unset through, some skips none sources.
void set_many(const Cell* words, const Cell* value, uint32_t count, bool any, bool only, bool some);

// ---- Truth -----------------------------------------------------------------------------------------

// False for none and false, true otherwise (unset counts as true).
inline bool truthy(const Cell* v) {
    return !(v->is(T_NONE) || (v->is(T_LOGIC) && v->data1 == 0));
}
// False for none and false, true otherwise; unset raises script no-return.
[[noreturn]] void true_value_unset();
inline bool true_value(const Cell* v) {
    if (v->is(T_UNSET)) [[unlikely]] true_value_unset();
    return truthy(v);
}

} // namespace kel
