// The interpreter: block evaluation, argument fetching, calls, paths and tracing.
//
// Everything computed goes through the data stack. eval_expression always leaves its value as
// one new cell at the top; when the caller asked for the current result cell instead (arg clear),
// the frame is trimmed to that cell at the end. A call pushes a copy of the function value (the
// cell the result will replace), opens a call frame whose base is the next cell (the first
// argument, which is also the callee's result cell), pushes the arguments and runs the callee;
// unwinding leaves the result above the function copy, which it then replaces. An infix call
// uses the left operand's cell as its frame base, so the left operand is the first argument.
//
// Code blocks are held in Rooted cells while they are evaluated (the collector may renumber the
// nodes of values it can see, never those in bare C++ locals), and positions are cell indices.
// Each recursion of the evaluator opens a call frame, so runaway recursion meets the call-stack
// limit; the native-stack guard covers any path that recurses without one.
//
// Non-local exits pass through here as C++ exceptions (core/stack.h): nothing here restores the
// stacks on the way out; only interpreter state (the current-code cell, the trace flags) is put
// back by scope guards.
#include "evaluator/interpreter.h"

#include "core/context.h"
#include "core/errors.h"
#include "core/gc.h"
#include "core/roots.h"
#include "core/runtime.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/function.h"
#include "datatypes/object.h"
#include "datatypes/scalars.h"
#include "evaluator/actions.h"

#include <array>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <pthread.h>
#include <vector>

namespace kel {


InterpState g_interp{};

namespace {

Cell s_trace_callback{T_NONE, 0, 0, 0};
// The native-stack position below which the guard looks closer (interp_check_native_stack): on
// the runtime thread, whose stack bounds are known, its floor; elsewhere every position.
uintptr_t s_guard_floor = UINTPTR_MAX;
// The current-code cell: that of the innermost block evaluation (a rooted cell of eval or do_next,
// the block with the position of the expression under way in word 1), else s_no_code.
Cell s_no_code{T_UNSET, 0, 0, 0};
Cell* s_current_code = &s_no_code;

void mark_interp_cells() {
    collector_mark_cells(&s_trace_callback, &s_trace_callback + 1);
}

// Frame names.
inline Cell body_word() { return Cell{T_WORD, 0, g_sym_body, 0}; }
inline Cell anon_word() { return Cell{T_WORD, 0, g_sym_anon, 0}; }

// ---- Code access ------------------------------------------------------------------------------

// Code is always a series of cells: its length is a shift, not the unit division of length().
inline Series* code_series(const Cell* code) { return node_series(series_node(code)); }
inline uint32_t cell_count(const Series* s) { return (s->tail - s->head) / sizeof(Cell); }
[[gnu::always_inline]] inline Cell* code_at(const Cell* code, int32_t i) {
    return code_series(code)->cell_at(uint32_t(i));
}
inline int32_t code_limit(const Cell* code, int32_t end) {
    int32_t n = int32_t(cell_count(code_series(code)));
    return uint32_t(end) > uint32_t(n) ? n : end;   // end -1: the tail
}

// Inline forms of the stack's unwinds for the evaluator's own frames (same effect as
// stack_unwind, stack_unwind_last and stack_unwind_restore in core/stack.cpp): the top frame is
// dropped, its result cell stays as the last value, arguments go back to the caller's base; with
// last the result also goes into the caller's result cell; with restore a frame with a function
// context gives the context back its frame reference.
[[gnu::always_inline]] inline void unwind_frame(bool last, bool restore) {
    CallFrame* f = --g_calls.top;
    if (restore && f->func_ctx) stack_context_frame_word(f->func_ctx) = f->saved_fp;
    Cell* result = g_stack.arguments;
    g_stack.top = result + 1;
    g_stack.arguments = stack_at_index(f->saved_args);
    if (last) *g_stack.arguments = *result;
}

// Makes a block evaluation's own current-code cell the current one, and gives the previous one
// back on the way out.
struct CodeGuard {
    Cell* saved;
    explicit CodeGuard(Cell* current) : saved(s_current_code) { s_current_code = current; }
    ~CodeGuard() { s_current_code = saved; }
};

// ---- Typesets ---------------------------------------------------------------------------------

// typeset_has and typeset_add come from datatypes/scalars.h.
inline void typeset_union(Cell* ts, const Cell* other) {
    ts->data1 |= other->data1;
    ts->data2 |= other->data2;
    ts->data3 |= other->data3;
}
Cell default_typeset() {
    Cell ts{T_TYPESET, 0, 0, 0};
    for (uint32_t t = 1; t <= T_MAX_REGISTERED; ++t)
        if (t != T_UNSET) typeset_add(&ts, t);
    return ts;
}
Cell any_typeset() {
    Cell ts{T_TYPESET, 0, 0, 0};
    for (uint32_t t = 1; t <= T_MAX_REGISTERED; ++t) typeset_add(&ts, t);
    return ts;
}

// The value a word has, or null when it has none that can be read without raising.
[[gnu::always_inline]] inline const Cell* peek_word_value(const Cell* w) {
    Node ctx = w->data1;
    int32_t i = int32_t(w->data3);
    if (!ctx || i < 0) return nullptr;
    const Cell* cc = context_cell(ctx);
    if (!cc->data2) return nullptr;
    return word_value_in(w, ctx);
}

// The typeset of one spec type block: each word's value (a datatype! or typeset!) adds its types;
// a word with no such value lets every type through (its definition may not be loaded yet).
Cell typeset_from_spec_block(const Cell* block) {
    Cell ts{T_TYPESET, 0, 0, 0};
    Series* s = node_series(series_node(block));
    uint32_t n = s->length();
    for (uint32_t i = series_index(block); i < n; ++i) {
        const Cell* c = s->cell_at(i);
        if (c->is(T_DATATYPE)) { typeset_add(&ts, c->data1); continue; }
        if (c->is(T_TYPESET)) { typeset_union(&ts, c); continue; }
        if (!c->is(T_WORD)) continue;
        const Cell* v = peek_word_value(c);
        if (v && v->is(T_DATATYPE)) typeset_add(&ts, v->data1);
        else if (v && v->is(T_TYPESET)) typeset_union(&ts, v);
        else return any_typeset();
    }
    return ts;
}

// ---- Function values ----------------------------------------------------------------------------

inline TypeId call_type(const Cell* fn) {
    return fn->is(T_OP) ? TypeId((fn->header & CELL_OP_TYPE_MASK) >> CELL_OP_TYPE_SHIFT) : fn->type();
}
inline Node fn_spec(const Cell* fn) { return fn->data2; }
inline Node fn_more(const Cell* fn) { return fn->data3; }
inline bool is_func_like(TypeId t) { return t == T_FUNCTION || t == T_ROUTINE; }

// The cache block cell (as kept in the more block) carries in word 3 a summary of its entries
// that ordinary calls read instead of walking them. Plain: no return entry and, for function!/
// routine!, no refinement; the arguments before the first refinement are then fetched in order and
// the refinements of a native or action stay unused. A cell whose word 3 lacks SUMMARY_VALID has
// no summary (the slow path handles every call).
constexpr uint32_t SUMMARY_VALID = 0x80000000;
constexpr uint32_t SUMMARY_PLAIN = 0x40000000;
constexpr uint32_t SUMMARY_ALL_EVAL = 0x20000000;   // plain, and every argument evaluated
constexpr uint32_t SUMMARY_ANY_VALUE = 0x10000000;  // every argument takes any value but unset
// if, unless or either with the frame of start-up: plain, every argument evaluated, the blocks
// taking block!
constexpr uint32_t SUMMARY_CONDITIONAL = 0x08000000;
// with SUMMARY_CONDITIONAL: the condition takes exactly the types of any-type! (NOT_ANY_TYPE)
constexpr uint32_t SUMMARY_FIRST_ANY_TYPE = 0x04000000;
// plain, exactly two evaluated arguments, no refinement, each argument taking integer! and
// float!: an operator of it may be computed inline on two such values (infix_compute)
constexpr uint32_t SUMMARY_NUMERIC = 0x00080000;
constexpr uint32_t SUMMARY_ARGS_MASK = 0xFF;         // arguments before the first refinement
constexpr uint32_t SUMMARY_LOCALS_SHIFT = 8;         // locals of a function!/routine! (11 bits)
constexpr uint32_t SUMMARY_LOCALS_MASK = 0x7FF;
constexpr uint32_t SUMMARY_REFINES_SHIFT = 20;       // refinements of a native/action (6 bits)
constexpr uint32_t SUMMARY_REFINES_MASK = 0x3F;
constexpr uint32_t MAX_REFINEMENTS = 32;
// The refinement indices of a native or action call that uses none of its refinements.
constexpr std::array<int32_t, MAX_REFINEMENTS> NO_REFINEMENTS = [] {
    std::array<int32_t, MAX_REFINEMENTS> r{};
    for (int32_t& x : r) x = -1;
    return r;
}();

constexpr uint32_t NATIVE_IF = native_index("if");
constexpr uint32_t NATIVE_UNLESS = native_index("unless");
constexpr uint32_t NATIVE_EITHER = native_index("either");
inline bool is_conditional(uint32_t native) {
    return native == NATIVE_IF || native == NATIVE_UNLESS || native == NATIVE_EITHER;
}

// The types that any-type! leaves out.
constexpr uint64_t NOT_ANY_TYPE =
    (uint64_t(1) << T_SYMBOL) | (uint64_t(1) << T_CONTEXT) | (uint64_t(1) << T_SERIES);

// The summary of a built cache; fn: the function value, native: its call type is native!.
uint32_t cache_summary(const Cell* cache, bool func_like, const Cell* fn, bool native) {
    Series* cs = node_series(series_node(cache));
    uint32_t n_entries = cell_count(cs);
    uint32_t n = n_entries;
    while (n > 0 && cs->cell_at(n - 1)->is(T_INTEGER)) --n;
    uint32_t n_args = n, refines = 0;
    bool plain = true, all_eval = true, any_value = true;
    const Cell any = default_typeset();
    for (uint32_t i = 0; i < n; ++i) {
        const Cell* e = cs->cell_at(i);
        if (e->is(T_REFINEMENT)) {
            if (func_like) plain = false;
            if (refines++ == 0) n_args = i;
            continue;
        }
        if (!e->is(T_TYPESET) || (e->header & KIND_MASK) == KIND_RETURN) {
            plain = false;
        } else if (refines == 0) {
            if ((e->header & KIND_MASK) != KIND_EVAL) all_eval = false;
            if (e->data1 != any.data1 || e->data2 != any.data2 || e->data3 != any.data3)
                any_value = false;
        }
    }
    int32_t locals = func_like && n < n_entries ? cell_integer(cs->cell_at(n)) : 0;
    if (refines > MAX_REFINEMENTS || n_args > SUMMARY_ARGS_MASK || locals < 0 ||
        uint32_t(locals) > SUMMARY_LOCALS_MASK)
        plain = false;
    if (!plain) return SUMMARY_VALID;
    bool conditional = false;
    if (native && is_conditional(fn->data1) && all_eval && refines == 0 &&
        n_args == (fn->data1 == NATIVE_EITHER ? 3u : 2u)) {
        conditional = true;
        for (uint32_t i = 1; i < n_args; ++i)
            conditional = conditional && typeset_has(cs->cell_at(i), T_BLOCK);
    }
    bool first_any_type = conditional;   // looked at only for if, unless and either
    for (uint32_t t = 1; first_any_type && t <= T_MAX_REGISTERED; ++t)
        first_any_type = typeset_has(cs->cell_at(0), t) == !((NOT_ANY_TYPE >> t) & 1);
    bool numeric = all_eval && n_args == 2 && refines == 0;
    for (uint32_t i = 0; numeric && i < 2; ++i)
        numeric = typeset_has(cs->cell_at(i), T_INTEGER) && typeset_has(cs->cell_at(i), T_FLOAT);
    return SUMMARY_VALID | SUMMARY_PLAIN | (all_eval ? SUMMARY_ALL_EVAL : 0) |
           (numeric ? SUMMARY_NUMERIC : 0) |
           (conditional ? SUMMARY_CONDITIONAL : 0) |
           (first_any_type ? SUMMARY_FIRST_ANY_TYPE : 0) |
           (any_value ? SUMMARY_ANY_VALUE : 0) | n_args |
           (uint32_t(locals) << SUMMARY_LOCALS_SHIFT) | (refines << SUMMARY_REFINES_SHIFT);
}

// Builds the arguments cache from the spec (see interpreter.h for its entries).
Cell build_args_cache(const Cell* fn_in) {
    Cell fn = *fn_in;
    bool native_like = !is_func_like(call_type(&fn));
    Series* spec = node_series(fn_spec(&fn));
    uint32_t n = spec->length();
    Rooted cache(make_series(T_BLOCK, alloc_cells(n + 2)));
    uint32_t refinements = 0;
    int32_t locals = 0;
    bool in_locals = false;
    for (uint32_t i = 0; i < n; ++i) {
        Cell c = *node_series(fn_spec(&fn))->cell_at(i);
        TypeId t = c.type();
        if (in_locals) {
            if (t == T_WORD) ++locals;
            else if (t == T_SET_WORD || t == T_REFINEMENT) in_locals = false;
            if (in_locals) continue;
        }
        uint32_t kind = 0;
        switch (t) {
        case T_WORD: kind = KIND_EVAL; break;
        case T_LIT_WORD: kind = KIND_LIT; break;
        case T_GET_WORD: kind = KIND_GET; break;
        case T_SET_WORD: {
            static uint32_t s_return = 0;
            if (!s_return) s_return = symbol_make("return");
            if (symbol_resolve(c.data2) != symbol_resolve(s_return)) fire_error(Err::BadFuncDef, &c);
            kind = KIND_RETURN;
            break;
        }
        case T_REFINEMENT: {
            static uint32_t s_local = 0;
            if (!s_local) s_local = symbol_make("local");
            if (symbol_resolve(c.data2) == symbol_resolve(s_local)) {
                // the function context holds `local` itself too: its frame slot comes first
                in_locals = true;
                if (!native_like) ++locals;
                continue;
            }
            Cell r = c;
            r.data3 = native_like ? ++refinements : 0;
            block_append(series_node(cache.get()), r);
            continue;
        }
        default: continue;
        }
        Cell ts = default_typeset();
        if (i + 1 < n) {
            const Cell* next = node_series(fn_spec(&fn))->cell_at(i + 1);
            if (next->is(T_BLOCK) && node_series(series_node(next))->length() > series_index(next)) ts = typeset_from_spec_block(next);
        }
        ts.header = T_TYPESET | kind;
        block_append(series_node(cache.get()), ts);
    }
    if (locals > 0) {
        Cell l = make_integer(locals);
        block_append(series_node(cache.get()), l);
    }
    if (native_like && refinements > 0) {
        Cell r = make_integer(int32_t(refinements));
        block_append(series_node(cache.get()), r);
    }
    cache->data3 = cache_summary(cache.get(), !native_like, &fn, call_type(&fn) == T_NATIVE);
    // The more block may have moved; store through its node.
    Node more = fn_more(&fn);
    if (more && cell_count(node_series(more)) > 1) *node_series(more)->cell_at(1) = cache.value;
    return cache.value;
}

// The spec word of the n-th argument entry (for error reports).
Cell arg_word(const Cell* fn, uint32_t nth) {
    Series* spec = node_series(fn_spec(fn));
    uint32_t k = 0;
    for (uint32_t i = 0; i < spec->length(); ++i) {
        const Cell* c = spec->cell_at(i);
        if (c->is(T_WORD) || c->is(T_LIT_WORD) || c->is(T_GET_WORD) || c->is(T_SET_WORD)) {
            if (k == nth) {
                Cell w = *c;
                set_cell_type(&w, T_WORD);
                return w;
            }
            ++k;
        }
    }
    return make_none();
}

// The name word of a call, as error arguments want it.
inline Cell name_or_anon(const Cell* name) {
    if (name && name->is(T_WORD)) return *name;
    if (name && is_any_word(name->type())) {
        Cell w = *name;
        set_cell_type(&w, T_WORD);
        return w;
    }
    return anon_word();
}


// ---- Native-stack guard ----------------------------------------------------------------------

constexpr uintptr_t NATIVE_STACK_RESERVE = uintptr_t(8) << 20;   // 8 MiB kept for error handling

} // namespace

Cell* interp_trace_callback() { return &s_trace_callback; }
Cell* interp_current_code() { return s_current_code; }

void interpreter_init() {
    g_interp = InterpState{};
    s_trace_callback = make_none();
    s_current_code = &s_no_code;
    s_guard_floor = g_runtime_stack.low ? g_runtime_stack.low + NATIVE_STACK_RESERVE : UINTPTR_MAX;
    static bool registered = false;
    if (!registered) registered = collector_register(mark_interp_cells);
}

// The lowest address the guard lets evaluation reach. On the runtime thread it lies the reserve
// above its stack's usable end; on any other thread (unit tests evaluate on their own main
// thread) the system's figures for that thread are used, keeping a quarter of its stack.
static uintptr_t native_stack_floor() {
    if (g_runtime_stack.low) return g_runtime_stack.low + NATIVE_STACK_RESERVE;
    thread_local const uintptr_t floor = [] {
        pthread_attr_t attr;
        void* base = nullptr;
        size_t size = 0;
        if (pthread_getattr_np(pthread_self(), &attr) != 0) return uintptr_t(0);
        pthread_attr_getstack(&attr, &base, &size);
        pthread_attr_destroy(&attr);
        return reinterpret_cast<uintptr_t>(base) + size / 4;
    }();
    return floor;
}

void interp_check_native_stack() {
    char probe;
    uintptr_t here = reinterpret_cast<uintptr_t>(&probe);
    if (here < native_stack_floor() && here >= g_runtime_stack.guard_low) stack_overflow();
}

void interp_halt() {
    g_halt_requested = 0;
    low_throw(THROW_HALT);
}

void true_value_unset() { fire_error(Err::NoReturn); }

Cell interp_args_cache(const Cell* fn) {
    Node more = fn_more(fn);
    if (more && cell_count(node_series(more)) > 1) [[likely]] {
        const Cell* c = node_series(more)->cell_at(1);
        if (c->is(T_BLOCK)) return *c;
    }
    return build_args_cache(fn);
}

// ---- Tracing --------------------------------------------------------------------------------------

uint32_t trace_event_mask(const Cell* callback) {
    if (!callback->is(T_FUNCTION)) return TRACE_DEFAULT_MASK;
    Node more = fn_more(callback);
    if (!more) return TRACE_DEFAULT_MASK;
    const Cell* body = node_series(more)->cell_at(0);
    if (!body->is(T_BLOCK)) return TRACE_DEFAULT_MASK;
    Series* b = node_series(series_node(body));
    if (series_index(body) >= b->length()) return TRACE_DEFAULT_MASK;
    const Cell* first = b->cell_at(series_index(body));
    if (!first->is(T_BLOCK)) return TRACE_DEFAULT_MASK;
    static const char* const names[] = {"init", "end", "prolog", "epilog", "enter", "exit",
                                        "open", "return", "fetch", "push", "set", "call",
                                        "error", "throw", "catch", "expr"};
    uint32_t mask = 0;
    Series* evs = node_series(series_node(first));
    for (uint32_t i = series_index(first); i < evs->length(); ++i) {
        const Cell* w = node_series(series_node(first))->cell_at(i);
        if (!w->is(T_WORD)) continue;
        uint32_t sym = symbol_resolve(w->data2);
        for (uint32_t k = 0; k < 16; ++k)
            if (symbol_resolve(symbol_make(names[k])) == sym) mask |= 1u << k;
    }
    return mask;
}

namespace {
const char* event_name(uint32_t ev) {
    static const char* const names[] = {"init", "end", "prolog", "epilog", "enter", "exit",
                                        "open", "return", "fetch", "push", "set", "call",
                                        "error", "throw", "catch", "expr"};
    for (uint32_t k = 0; k < 16; ++k)
        if (ev == (1u << k)) return names[k];
    return "expr";
}

// Tracing is switched off while the callback runs and back on afterwards, exits included.
struct TraceOff {
    uint32_t saved;
    TraceOff() : saved(g_interp.tracing) { g_interp.tracing = 0; }
    ~TraceOff() { g_interp.tracing = saved; }
};
} // namespace

void fire_event(uint32_t event, const Cell* code, int32_t pos, const Cell* ref, const Cell* value) {
    if (!g_interp.tracing || !(g_interp.trace_mask & event)) return;
    Cell* saved_top = g_stack.top;
    CallFrame* saved_calls = stack_call_top();
    Cell args[6];
    Cell ev{T_WORD, g_global_context, symbol_make(event_name(event)), 0xFFFFFFFF};
    args[0] = *context_global_word(ev.data2);
    args[1] = code ? *code : make_none();
    if (code) args[1].data1 = series_index(code);
    args[2] = make_integer(pos);
    args[3] = value ? *value : make_none();
    args[4] = ref ? *ref : make_none();
    args[5] = Cell{T_PAIR, 0, stack_index(g_stack.arguments), stack_index(g_stack.top)};
    Cell cb = s_trace_callback;
    {
        TraceOff off;
        call_with_args(&cb, args, 6, nullptr);
    }
    g_stack.top = saved_top;
    stack_set_call_top(saved_calls);
}

bool trace_begin(const Cell* callback) {
    if (g_interp.trace_run) return false;
    s_trace_callback = *callback;
    g_interp.trace_mask = trace_event_mask(callback);
    g_interp.trace_run = 1;
    g_interp.tracing = 1;
    fire_event(EV_INIT, nullptr, -1, nullptr, nullptr);
    return true;
}

void trace_end() {
    fire_event(EV_END, nullptr, -1, nullptr, nullptr);
    g_interp.tracing = 0;
    g_interp.trace_run = 0;
    s_trace_callback = make_none();
}

// ---- Block evaluation ------------------------------------------------------------------------------

namespace {
// The expressions of a block, evaluated in the frame on top (defined with eval_expression).
[[gnu::always_inline]] inline void eval_in_frame(const Cell* block);
void eval_body_in_frame(const Cell* block);
template <bool to_result>
void eval_pushed(const Cell* block);

// eval, inline for the evaluator's own hot paths.
[[gnu::always_inline]] inline void eval_block(const Cell* block, bool chain) {
    Cell body = body_word();
    stack_mark_eval(&body);
    eval_in_frame(block);
    unwind_frame(chain, false);
}
} // namespace

void eval(const Cell* block, bool chain) { eval_block(block, chain); }

int32_t eval_step(const Cell* code_in, int32_t pos, int32_t end, bool arg) {
    Rooted code(*code_in);
    Cell body = body_word();
    stack_mark_eval(&body);
    pos = eval_expression(code.get(), pos, end, false, false, false);
    if (arg) stack_unwind();
    else stack_unwind_last();
    return pos;
}

int32_t do_next(const Cell* block) {
    Rooted code(*block);
    int32_t pos = int32_t(series_index(code.get()));
    if (pos >= code_limit(code.get(), -1)) {
        stack_set_result(&g_unset_cell);
        return pos;
    }
    CodeGuard guard(code.get());
    return eval_step(code.get(), pos, -1, false);
}

// ---- One expression -------------------------------------------------------------------------------

namespace {

inline void push_value(const Cell* v) { stack_push(v); }

inline int32_t infix_operands(const Cell* op, int32_t sel, const Cell* name, const Cell* code,
                              int32_t pos, int32_t end);

// interp_check_native_stack with one comparison while the stack is far from its end: only a
// position below s_guard_floor is looked at closer.
[[gnu::always_inline]] inline void native_stack_guard() {
    char probe;
    if (reinterpret_cast<uintptr_t>(&probe) < s_guard_floor) [[unlikely]] interp_check_native_stack();
}

uint32_t plain_call_summary(const Cell* fn);
uint32_t plain_call_summary(const Cell* fn, TypeId t);

// Fast selectors of the operators the infix step computes inline: add, subtract and multiply
// (math selectors 0-2) and the comparisons (FAST_COMPARE + compare op) whose arguments cache is
// built and takes two evaluated integer! or float! values (SUMMARY_NUMERIC; an action or native
// made with narrower types is called, so that it checks them); -1 for the others.
constexpr int32_t FAST_COMPARE = 16;
[[gnu::always_inline]] inline int32_t op_fast_selector(const Cell* op) {
    uint32_t wrapped = (op->header & CELL_OP_TYPE_MASK) >> CELL_OP_TYPE_SHIFT;
    uint32_t idx = op->data1;
    int32_t sel;
    if (wrapped == T_ACTION) {
        switch (idx) {
        case A_ADD: sel = OP_ADD; break;
        case A_SUBTRACT: sel = OP_SUBTRACT; break;
        case A_MULTIPLY: sel = OP_MULTIPLY; break;
        default: return -1;
        }
    } else if (wrapped == T_NATIVE) {
        switch (idx) {
        case native_index("equal?"): sel = FAST_COMPARE + CMP_EQUAL; break;
        case native_index("not-equal?"): sel = FAST_COMPARE + CMP_NOT_EQUAL; break;
        case native_index("strict-equal?"): sel = FAST_COMPARE + CMP_STRICT_EQUAL; break;
        case native_index("lesser?"): sel = FAST_COMPARE + CMP_LESSER; break;
        case native_index("lesser-or-equal?"): sel = FAST_COMPARE + CMP_LESSER_EQUAL; break;
        case native_index("greater?"): sel = FAST_COMPARE + CMP_GREATER; break;
        case native_index("greater-or-equal?"): sel = FAST_COMPARE + CMP_GREATER_EQUAL; break;
        default: return -1;
        }
    } else {
        return -1;
    }
    // plain_call_summary, with the call type known: native! or action!
    Node more = fn_more(op);
    if (!more) return -1;
    Series* ms = node_series(more);
    if (cell_count(ms) <= MORE_ARGS_CACHE) return -1;
    const Cell* cache = ms->cell_at(MORE_ARGS_CACHE);
    return cache->is(T_BLOCK) && (cache->data3 & SUMMARY_NUMERIC) ? sel : -1;
}

// One infix step computed without a call (tracing off): the operator is one of the above and the
// two operands are two integer! or two float! values; the result replaces the left one. When the
// right operand is taken straight from the code (a literal, or a word whose value can be read
// without raising), it is exactly what fetching it would give (no further infix applies to it).
// The results are those of the actions and natives, overflow to float! included. Answers false,
// touching nothing, otherwise.
[[gnu::always_inline]] inline bool infix_compute(int32_t sel, Cell* left, const Cell* r) {
    if (sel >= FAST_COMPARE) {
        bool truth;
        if (!fast_compare(left, r, sel - FAST_COMPARE, &truth)) return false;
        *left = Cell{T_LOGIC, truth ? 1u : 0u, 0, 0};   // make_logic, kept inline here
        return true;
    }
    if (left->type() != r->type()) return false;   // mixed integer and float: the action decides
    return fast_math(left, r, sel);
}

const Cell* cache_entry(const Cell* fn, uint32_t i);
template <bool infix, bool function>
int32_t eval_code_plain(const Cell* fn_in, const Cell* code, int32_t pos, int32_t end, bool arg,
                        const Cell* name_in, const Cell* object, TypeId ct, uint32_t summary);
int32_t eval_conditional(const Cell* fn_in, const Cell* code, int32_t pos, int32_t end, bool arg,
                         const Cell* name_in, uint32_t summary);
// eval_code_plain with the function! case apart from the native! and action! one. name: the call's
// name, a word! (name_or_anon).
template <bool infix>
inline int32_t eval_code_plain_any(const Cell* fn, const Cell* code, int32_t pos, int32_t end,
                                   bool arg, const Cell* name, const Cell* object, TypeId ct,
                                   uint32_t summary) {
    if (ct == T_FUNCTION)
        return eval_code_plain<infix, true>(fn, code, pos, end, arg, name, object, ct, summary);
    if (!infix && (summary & SUMMARY_CONDITIONAL))
        return eval_conditional(fn, code, pos, end, arg, name, summary);
    return eval_code_plain<infix, false>(fn, code, pos, end, arg, name, object, ct, summary);
}

// Types that evaluate to themselves with no event but push (eval_expression's default case),
// and the word values that a word expression pushes as they are.
constexpr uint64_t type_bits(std::initializer_list<TypeId> ts) {
    uint64_t m = 0;
    for (TypeId t : ts) m |= uint64_t(1) << t;
    return m;
}
constexpr uint64_t NOT_LITERAL = type_bits({T_PAREN, T_WORD, T_SET_WORD, T_LIT_WORD, T_GET_WORD,
                                            T_ISSUE, T_NATIVE, T_ACTION, T_OP, T_FUNCTION, T_PATH,
                                            T_LIT_PATH, T_SET_PATH, T_GET_PATH, T_ROUTINE});
constexpr uint64_t NOT_PLAIN_VALUE = type_bits({T_UNSET, T_NATIVE, T_ACTION, T_OP, T_FUNCTION,
                                                T_ROUTINE});
static_assert(T_TABLE_SIZE <= 64);

// word_set, with the store into a function's frame or a global or function context's values
// done here; object contexts (change marks and handlers) and unresolved words go to word_set.
[[gnu::always_inline]] inline void set_word_value(Cell* word, const Cell* value) {
    Node ctx = word->data1;
    int32_t i = int32_t(word->data3);
    if (ctx && i >= 0) {
        const Cell* cc = context_cell(ctx);
        uint32_t values = cc->data2;
        if (values) {
            if (cc->header & CELL_CTX_ON_STACK) {
                stack_frame_cell(values)[i] = *value;
                return;
            }
            if (context_kind(ctx) != CONTEXT_OBJECT) {
                reinterpret_cast<Cell*>(node_series(values)->head_ptr())[i] = *value;
                return;
            }
        }
    }
    word_set(word, value);
}

// The operator at pos (the value of a word there that is an op!), or null when none is there;
// lim is the code limit.
[[gnu::always_inline]] inline const Cell* op_at(const Cell* code, int32_t pos, int32_t lim) {
    if (pos >= lim) return nullptr;
    const Cell* w = code_at(code, pos);
    if (!w->is(T_WORD)) return nullptr;
    const Cell* v = peek_word_value(w);
    return v && v->is(T_OP) ? v : nullptr;
}
// sel: the op_fast_selector of v when infix_inline was tried and did not take it, else SEL_UNKNOWN
constexpr int32_t SEL_UNKNOWN = -2;
int32_t eval_infix_ops(const Cell* code, int32_t pos, int32_t end, const Cell* v, int32_t lim,
                       int32_t sel);
// One operator step computed inline (tracing off): the operator of op_fast_selector `sel`, found
// in the code at w, applied to the value so far (the last pushed cell) when the cell after w is a
// literal or a readable word and infix_compute takes the pair. Nothing runs. False, touching
// nothing, otherwise.
[[gnu::always_inline]] inline bool infix_inline(const Cell* w, int32_t sel) {
    const Cell* r = w + 1;
    if (r->is(T_WORD)) r = peek_word_value(r);
    return r && infix_compute(sel, g_stack.top - 1, r);
}
// Infix look-ahead (eval-infix): while an operator is at pos, it is applied to the value so far
// (the last pushed cell) and the operand after it; so operators apply left to right, each to the
// value so far. Returns the position after the last operand taken. lim: the code limit, when the
// caller knows it (nothing ran since it was read). A first step that infix_inline takes is done
// here, the rest in eval_infix_ops.
[[gnu::always_inline]] inline int32_t eval_infix(const Cell* code, int32_t pos, int32_t end,
                                                 int32_t lim) {
    const Cell* v = op_at(code, pos, lim);
    if (!v) return pos;
    if (!g_interp.tracing && pos + 1 < lim) {
        int32_t sel = op_fast_selector(v);
        if (sel >= 0) {
            if (!infix_inline(code_at(code, pos), sel))
                return eval_infix_ops(code, pos, end, v, lim, sel);
            pos += 2;   // nothing ran: the limit stands
            v = op_at(code, pos, lim);
            if (!v) return pos;
        }
    }
    return eval_infix_ops(code, pos, end, v, lim, SEL_UNKNOWN);
}
[[gnu::always_inline]] inline int32_t eval_infix(const Cell* code, int32_t pos, int32_t end) {
    return eval_infix(code, pos, end, code_limit(code, end));
}
// eval_infix once the operator v was found at pos. While tracing is off, an operator of
// op_fast_selector whose right operand is a literal or a readable word is computed inline
// (infix_compute), else with a numeric left operand through infix_operands; every other case is
// the general call.
[[gnu::noinline]] int32_t eval_infix_ops(const Cell* code, int32_t pos, int32_t end, const Cell* v,
                                         int32_t lim, int32_t sel) {
    for (;; sel = SEL_UNKNOWN) {
        const Cell* w = code_at(code, pos);
        if (!g_interp.tracing && pos + 1 < lim) {
            if (sel == SEL_UNKNOWN) {
                sel = op_fast_selector(v);
                if (sel >= 0 && infix_inline(w, sel)) {
                    // nothing ran: the limit stands
                    pos += 2;
                    if (!(v = op_at(code, pos, lim))) break;
                    continue;
                }
            }
            Cell* left = g_stack.top - 1;
            if (sel >= 0 && (left->is(T_INTEGER) || left->is(T_FLOAT))) {
                pos = infix_operands(v, sel, w, code, pos + 1, end);
                lim = code_limit(code, end);
                if (!(v = op_at(code, pos, lim))) break;
                continue;
            }
        }
        if (g_interp.tracing) [[unlikely]] {
            // rooted: the fetch event's callback may renumber the nodes of the operator and of
            // its word's context
            Rooted op(*v);
            Rooted name(*w);
            fire_event(EV_FETCH, code, pos, nullptr, name.get());
            pos = eval_code(op.get(), code, pos + 1, end, true, name.get(), nullptr, 0, nullptr,
                            CALL_NORMAL, true);
        } else {
            Cell op = *v;
            Cell name = *w;
            pos = eval_code(&op, code, pos + 1, end, true, &name, nullptr, 0, nullptr, CALL_NORMAL, true);
        }
        lim = code_limit(code, end);
        if (!(v = op_at(code, pos, lim))) break;
    }
    return pos;
}

// The value of the code cell c when evaluating it runs nothing and cannot fail: c itself when it
// is a literal, the value of a word whose value is readable and neither unset nor a function;
// else null.
[[gnu::always_inline]] inline const Cell* plain_operand(const Cell* c) {
    TypeId t = c->type();
    if (!((NOT_LITERAL >> t) & 1)) return c;
    if (t != T_WORD) return nullptr;
    const Cell* v = peek_word_value(c);
    return v && !((NOT_PLAIN_VALUE >> v->type()) & 1) ? v : nullptr;
}

// One evaluated argument while tracing is off, pushed as a new cell: a literal, or a word whose
// value is pushed as it is, is pushed here at once, a paren evaluated in its own frame, then any
// operators after it apply (unless no_infix); anything else (and the end of the code) goes
// through eval_expression, which gives the same value.
[[gnu::always_inline]] inline int32_t eval_arg(const Cell* code, int32_t pos, int32_t end,
                                               int32_t lim, bool no_infix) {
    if (pos < lim) {
        const Cell* c = code_at(code, pos);
        if (const Cell* v = plain_operand(c)) {
            stack_push(v);
            return no_infix ? pos + 1 : eval_infix(code, pos + 1, end, lim);
        }
        if (c->is(T_PAREN)) {
            // its own eval frame leaves its value as the new top cell
            Cell paren = *c;
            eval_block(&paren, false);
            return no_infix ? pos + 1 : eval_infix(code, pos + 1, end);
        }
    }
    return eval_expression(code, pos, end, no_infix, true, false);
}
[[gnu::always_inline]] inline int32_t eval_arg(const Cell* code, int32_t pos, int32_t end,
                                               bool no_infix) {
    return eval_arg(code, pos, end, code_limit(code, end), no_infix);
}

// eval_expression, inline into the block loop; lim is the code limit (code_limit of end).
[[gnu::always_inline]] inline int32_t expression(const Cell* code, int32_t pos, int32_t end,
                                                 int32_t lim, bool no_infix, bool arg, bool no_call) {
    interp_poll_halt();
    native_stack_guard();
    if (pos >= lim) {
        // Nothing left: the value is unset.
        *stack_push_slot() = make_unset();
        if (!arg) stack_set_result(stack_top());
        return pos;
    }
    if (g_interp.tracing) fire_event(EV_FETCH, code, pos, nullptr, code_at(code, pos));
    Cell value = *code_at(code, pos);
    int32_t start = pos;
    ++pos;
    switch (value.type()) {
    case T_PAREN:
        // the paren's own eval frame leaves its value as the new top cell
        eval_block(&value, false);
        lim = -1;
        break;
    case T_SET_WORD: {
        if (pos >= lim) fire_error(Err::NeedValue, &value);
        Cell* w = stack_push(&value);
        uint32_t wi = stack_index(w);
        if (g_interp.tracing) {
            fire_event(EV_PUSH, code, start, nullptr, &value);
            pos = eval_expression(code, pos, end, false, true, false);
        } else {
            pos = eval_arg(code, pos, end, lim, false);
        }
        Cell* slot = stack_at_index(wi);
        if (g_interp.tracing) fire_event(EV_SET, code, start, slot, slot + 1);
        set_word_value(slot, slot + 1);
        slot = stack_at_index(wi);
        slot[0] = slot[1];
        g_stack.top = slot + 1;
        lim = -1;
        break;
    }
    case T_SET_PATH: {
        if (pos >= lim) fire_error(Err::NeedValue, &value);
        // rooted while the value is evaluated: a recycle there may renumber the path's node
        Rooted path(value);
        pos = eval_expression(code, pos, end, false, true, false);
        uint32_t vi = stack_index(stack_top());
        if (g_interp.tracing) fire_event(EV_SET, code, start, path.get(), stack_top());
        // rooted too: a recycle in the path's parens may renumber the value's node
        Rooted v(*stack_at_index(vi));
        eval_path(path.get(), code, pos, end, true, false, v.get());
        // the set-path's value is the assigned value
        Cell* at = stack_at_index(vi);
        at[0] = *v.get();
        g_stack.top = at + 1;
        lim = -1;
        break;
    }
    case T_GET_WORD: {
        const Cell* v = word_get(&value);
        push_value(v);
        if (g_interp.tracing) fire_event(EV_PUSH, code, start, nullptr, stack_top());
        break;
    }
    case T_LIT_WORD: {
        set_cell_type(&value, T_WORD);
        push_value(&value);
        if (g_interp.tracing) fire_event(EV_PUSH, code, start, nullptr, &value);
        break;
    }
    case T_WORD: {
        const Cell* v = word_get(&value);
        TypeId t = v->type();
        // tests in place of a jump table: a word's value is mostly a function or a plain value
        if (!((NOT_PLAIN_VALUE >> t) & 1)) {
            push_value(v);
            if (g_interp.tracing) fire_event(EV_PUSH, code, start, nullptr, stack_top());
            break;
        }
        if (t == T_UNSET) fire_error(Err::NoValue, &value);
        if (t == T_OP) fire_error(Err::NoOpArg, &value);
        // native!, action!, function!, routine!: both calls copy the value before anything
        // allocates
        uint32_t summary = g_interp.tracing ? 0 : plain_call_summary(v, t);
        if (summary)
            pos = eval_code_plain_any<false>(v, code, pos, end, true, &value, nullptr, t, summary);
        else
            pos = eval_code(v, code, pos, end, true, &value, nullptr, 0, nullptr, CALL_NORMAL, false);
        lim = -1;
        break;
    }
    case T_PATH: case T_GET_PATH:
        pos = eval_path(&value, code, pos, end, true, value.is(T_GET_PATH), nullptr);
        lim = -1;
        break;
    case T_LIT_PATH:
        set_cell_type(&value, T_PATH);
        push_value(&value);
        break;
    case T_OP:
        fire_error(Err::NotDone);
    case T_NATIVE: case T_ACTION: case T_FUNCTION: case T_ROUTINE:
        if (no_call) push_value(&value);
        else pos = eval_code(&value, code, pos, end, true, nullptr, nullptr, 0, nullptr, CALL_NORMAL, false);
        lim = -1;
        break;
    default:
        push_value(&value);
        if (g_interp.tracing) fire_event(EV_PUSH, code, start, nullptr, &value);
        break;
    }

    // lim: -1 once anything ran that may have changed the code (a trace callback too)
    if (!no_infix)
        pos = lim >= 0 && !g_interp.tracing ? eval_infix(code, pos, end, lim) : eval_infix(code, pos, end);
    if (!arg) {
        stack_set_result(stack_top());
        if (g_interp.tracing) fire_event(EV_EXPR, code, pos, nullptr, g_stack.arguments);
    }
    return pos;
}

} // namespace

int32_t eval_expression(const Cell* code, int32_t pos, int32_t end, bool no_infix, bool arg,
                        bool no_call) {
    return expression(code, pos, end, code_limit(code, end), no_infix, arg, no_call);
}

namespace {
// The expressions of a block, evaluated in the frame on top (opened by the caller): the last
// one's value is the frame's result cell, unset for an empty block. Untraced, eval_pushed does it;
// traced, each expression's value goes through the result cell as the events report it.
void eval_in_frame_traced(const Cell* block) {
    Rooted code(*block);
    Rooted current(*block);
    CodeGuard guard(current.get());
    int32_t pos = int32_t(series_index(code.get()));
    fire_event(EV_ENTER, code.get(), pos, nullptr, nullptr);
    int32_t lim = code_limit(code.get(), -1);
    if (pos >= lim) {
        stack_set_result(&g_unset_cell);
    } else {
        while (pos < lim) {
            current->data1 = uint32_t(pos);
            pos = expression(code.get(), pos, -1, lim, false, false, false);
            lim = code_limit(code.get(), -1);
            if (pos < lim) stack_reset();
        }
    }
    fire_event(EV_EXIT, code.get(), lim, nullptr, g_stack.arguments);
}
inline void eval_in_frame(const Cell* block) {
    if (g_interp.tracing) [[unlikely]] eval_in_frame_traced(block);
    else eval_pushed<true>(block);
}

// The expressions of a block while tracing is off, evaluated in the frame on top: in a frame of
// their own, or in the frame of the call they belong to (a function body in its function's
// frame, a paren operand in its operator's frame). Each value is pushed above the frame's cells
// and dropped before the next expression. With to_result the last one goes into the frame's
// result cell (unset for an empty block); without, it is left as the one cell pushed above where
// the data top was, and the result cell is not touched.
//
// The current-code cell is also the code the expressions read: untraced evaluation reads only the
// series of its code cell, never its index (trace events report the block at its own index, so
// the traced evaluation keeps a copy).
//
// A block of one value that is a literal or a word with a plain value (plain_operand) gives that
// value at once: nothing runs and nothing can fail, so no current-code cell is needed. Answers
// whether the block was such a one.
template <bool to_result>
[[gnu::always_inline]] inline bool eval_one_plain(const Cell* block, int32_t pos, int32_t lim) {
    if (pos + 1 != lim) return false;
    const Cell* v = plain_operand(code_at(block, pos));
    if (!v) return false;
    interp_poll_halt();
    if constexpr (to_result) stack_set_result(v);
    else stack_push(v);
    return true;
}
template <bool to_result>
[[gnu::always_inline]] inline void eval_pushed_inline(const Cell* block) {
    int32_t pos = int32_t(series_index(block));
    int32_t lim = code_limit(block, -1);
    if (pos >= lim) {
        if constexpr (to_result) stack_set_result(&g_unset_cell);
        else stack_push(&g_unset_cell);
        return;
    }
    if (eval_one_plain<to_result>(block, pos, lim)) return;
    Rooted current(*block);
    CodeGuard guard(current.get());
    const Cell* code = current.get();
    Cell* base = g_stack.top;
    for (;;) {
        current->data1 = uint32_t(pos);
        pos = expression(code, pos, -1, lim, false, true, false);
        lim = code_limit(code, -1);
        if (pos >= lim) break;
        g_stack.top = base;
    }
    if constexpr (to_result) stack_set_result(g_stack.top - 1);
}
template <bool to_result>
void eval_pushed(const Cell* block) { eval_pushed_inline<to_result>(block); }
// eval_pushed with its one-value case inline (the conditional's chosen block).
template <bool to_result>
[[gnu::always_inline]] inline void eval_pushed_short(const Cell* block) {
    if (!eval_one_plain<to_result>(block, int32_t(series_index(block)), code_limit(block, -1)))
        eval_pushed<to_result>(block);
}
void eval_body_in_frame(const Cell* block) { eval_pushed<true>(block); }
} // namespace

// ---- Calls ------------------------------------------------------------------------------------------

namespace {

// An operator of op_fast_selector whose left operand (the stack top) is an integer! or float!,
// called without tracing: the same frame as a call opens, the right operand evaluated into it,
// then computed inline when both operands allow it, else by the wrapped native or action after
// the same type checks (the left operand's type is one its first argument takes:
// SUMMARY_NUMERIC). op_in and name_in (the operator word) are copied before anything runs.
// Returns the position after the right operand.
[[gnu::always_inline]] inline int32_t infix_operands(const Cell* op_in, int32_t sel,
                                                     const Cell* name_in, const Cell* code,
                                                     int32_t pos, int32_t end) {
    Rooted op(*op_in);
    Rooted name(*name_in);
    auto check = [&](const Cell* value, uint32_t nth) {
        if (typeset_has(cache_entry(op.get(), nth), value->type())) [[likely]] return;
        Cell n = name_or_anon(name.get());
        Cell dt = make_datatype(value->type());
        Cell w = arg_word(op.get(), nth);
        fire_error(Err::ExpectArg, &n, &dt, &w);
    };
    // the left operand (the last pushed cell) becomes the frame's first cell; the data stack
    // never moves, so `left` stays valid
    Cell* left = g_stack.top - 1;
    g_stack.top = left;
    stack_mark_interp_native(name.get());
    g_stack.top = left + 1;
    // a paren operand is evaluated in this frame, its values above the left operand
    if (pos < code_limit(code, end) && code_at(code, pos)->is(T_PAREN)) {
        eval_pushed<false>(code_at(code, pos));   // copied before anything runs
        ++pos;
    } else {
        pos = eval_arg(code, pos, end, true);
    }
    if (!infix_compute(sel, left, left + 1)) {
        check(left + 1, 1);
        g_stack.arguments = left;
        uint32_t idx = op->data1;
        NativeFn f = call_type(op.get()) == T_NATIVE ? g_natives[idx - 1] : g_action_entries[idx - 1];
        if (!f) fire_error(Err::NotDone);
        int32_t refs[1] = {-1};
        f(false, refs);
    }
    unwind_frame(false, false);
    return pos;
}

} // namespace

namespace {

// The trace flags switched on in system/state/callbacks/bits; 0 when a step of the path is
// missing or the bits are not an integer.
uint32_t enabled_trace_flags() {
    int32_t i = context_find_word(g_global_context, symbol_make("system"), true);
    if (i < 0) return 0;
    const Cell* v = context_value_at(g_global_context, uint32_t(i));
    for (const char* field : {"state", "callbacks", "bits"}) {
        if (!v->is(T_OBJECT)) return 0;
        v = object_get_field_sym(v, symbol_make(field));
    }
    return v->is(T_INTEGER) ? uint32_t(cell_integer(v)) : 0;
}

// The body of a function! value (more-block cell 0), none when it has none.
inline Cell function_body(const Cell* fn) {
    Node more = fn_more(fn);
    return more ? *node_series(more)->cell_at(0) : make_none();
}

// Evaluates a function's body block: traced, in an eval frame of its own; untraced, in the
// function's frame itself (eval_body_in_frame), whose call frame is the one this recursion
// opened. A return or exit aimed at the function's frame (marked_top, the call top just after
// it) ends here. The result is the function frame's result cell, the last value.
template <bool traced>
inline void eval_function_body(const Cell* body, bool library, const CallFrame* marked_top) {
    auto run = [&] {
        if constexpr (traced) eval_block(body, true);
        else eval_body_in_frame(body);
    };
    if (library) run();
    else stack_catch_return(marked_top, run);
    g_stack.top = g_stack.arguments + 1;   // after a return the result cell lies at the top
}

// run_function_body during a trace run. Outside a trace run tracing stays off whatever the
// function's flags say. In one: a flagged callback (a change handler) is traced only when its
// flag is switched on, and then between call and return events; library functions run untraced;
// the trace and no-trace attributes switch it to the run's state or off.
[[gnu::noinline]] void run_traced_function_body(Cell* fn, const Cell* name, uint32_t trace_flags,
                                                bool library, const CallFrame* marked_top) {
    struct Restore {
        uint32_t v;
        ~Restore() { g_interp.tracing = v; }
    } restore{g_interp.tracing};
    bool flagged_trace = false;
    if (trace_flags && g_interp.tracing) {
        if (trace_flags & enabled_trace_flags()) flagged_trace = true;
        else g_interp.tracing = 0;
    }
    if (library) g_interp.tracing = 0;
    else if (fn->header & 0x400) g_interp.tracing = g_interp.trace_run;
    else if (fn->header & 0x200) g_interp.tracing = 0;
    // rooted: the events' callbacks may renumber the body's node
    Rooted body(function_body(fn));
    flagged_trace = flagged_trace && g_interp.tracing && body->is(T_BLOCK);
    if (flagged_trace) fire_event(EV_CALL, nullptr, -1, name, fn);
    if (g_interp.tracing) fire_event(EV_PROLOG, body.get(), -1, name, fn);
    if (!body->is(T_BLOCK)) {
        stack_set_result(&g_unset_cell);
        return;
    }
    eval_function_body<true>(body.get(), library, marked_top);
    if (g_interp.tracing) fire_event(EV_EPILOG, body.get(), -1, name, fn);
    if (flagged_trace) fire_event(EV_RETURN, nullptr, -1, name, stack_top());
}

// call_function on a function value that is already rooted (fn stays in place).
[[gnu::always_inline]] inline void run_function_body(Cell* fn, Node object_ctx, const Cell* name,
                                                     uint32_t trace_flags) {
    (void)object_ctx;
    Node ctx = fn->data1;
    if (ctx) stack_context_frame_word(ctx) = stack_frame_ref(g_stack.arguments);
    bool library = fn->header & FUNC_FLAG_LIBRARY;
    if (!library) {
        if (CallFrame* f = stack_top_frame()) f->header |= FRAME_RETURN_MARK;
    }
    const CallFrame* marked_top = stack_call_top();
    if (g_interp.trace_run) [[unlikely]]
        return run_traced_function_body(fn, name, trace_flags, library, marked_top);
    Cell body = function_body(fn);
    if (body.is(T_BLOCK)) eval_function_body<false>(&body, library, marked_top);
    else stack_set_result(&g_unset_cell);
}

struct ArgContext {
    const Cell* fn;       // rooted function value (its call type decides the layout)
    const Cell* code;     // rooted code block
    int32_t end;
    const Cell* name;
    bool infix;
    int32_t mode;
};

// Fetches one argument by its kind and pushes it; returns the new position.
int32_t fetch_arg(const ArgContext& ac, uint32_t kind, int32_t pos, uint32_t arg_no) {
    int32_t lim = code_limit(ac.code, ac.end);
    if (pos >= lim) {
        Cell n = name_or_anon(ac.name);
        Cell w = arg_word(ac.fn, arg_no);
        fire_error(Err::NoArg, &n, &w);
    }
    if (ac.mode & CALL_VALUES) {
        stack_push(code_at(ac.code, pos));
        return pos + 1;
    }
    int32_t one_end = (ac.mode & CALL_SAFER) ? pos + 1 : ac.end;
    switch (kind) {
    case KIND_GET: {
        if (g_interp.tracing) fire_event(EV_FETCH, ac.code, pos, nullptr, code_at(ac.code, pos));
        stack_push(code_at(ac.code, pos));
        if (g_interp.tracing) fire_event(EV_PUSH, ac.code, pos, nullptr, stack_top());
        return pos + 1;
    }
    case KIND_LIT: {
        // read after the event: its callback may renumber the node of the value in the code
        if (g_interp.tracing) fire_event(EV_FETCH, ac.code, pos, nullptr, code_at(ac.code, pos));
        Cell v = *code_at(ac.code, pos);
        if (v.is(T_PAREN)) {
            eval(&v, false);
        } else if (v.is(T_GET_WORD)) {
            stack_push(word_get(&v));
        } else if (v.is(T_GET_PATH)) {
            return eval_path(&v, ac.code, pos + 1, ac.end, true, true, nullptr);
        } else {
            stack_push(&v);
        }
        return pos + 1;
    }
    default:
        return eval_expression(ac.code, pos, one_end, ac.infix, true, false);
    }
}

void check_arg_type(const ArgContext& ac, const Cell* entry, const Cell* value, uint32_t arg_no) {
    if (typeset_has(entry, value->type())) return;
    Cell n = name_or_anon(ac.name);
    Cell dt = make_datatype(value->type());
    Cell w = arg_word(ac.fn, arg_no);
    fire_error(Err::ExpectArg, &n, &dt, &w);
}

// Builds the frame of arguments (the current frame, just opened) from the code; for natives and
// actions calls their code. Returns the position after the last argument.
// Calls the native or action of the current frame (its arguments in place).
void call_native_code(const Cell* fn, TypeId ct, const int32_t* refs) {
    uint32_t idx = fn->data1;
    NativeFn f = nullptr;
    if (ct == T_NATIVE) f = idx >= 1 && idx <= NATIVES_TABLE_SLOTS ? g_natives[idx - 1] : nullptr;
    else if (ct == T_ACTION) f = idx >= 1 && idx <= ACTION_COUNT ? g_action_entries[idx - 1] : nullptr;
    else return;
    if (!f) fire_error(Err::NotDone);
    f(false, refs);
}

// Block pick and navigation computed inline (the result into the frame's first cell) for a
// block! whose index is not past its tail; pick only for an integer index from 1 (beyond the
// tail: none). Answers false, touching nothing, for anything the action must decide.
bool block_action_fast(uint32_t action, Cell* args) {
    if (!args->is(T_BLOCK) || series_index(args) > value_series(args)->length()) return false;
    int32_t selector;
    switch (action) {
    case A_PICK: {
        if (!args[1].is(T_INTEGER) || cell_integer(&args[1]) < 1) return false;
        Cell out;
        if (!pick_fast(args, &args[1], &out)) return false;
        args[0] = out;
        return true;
    }
    case A_LENGTH_Q: selector = 1; break;
    case A_INDEX_Q: selector = 2; break;
    case A_HEAD_Q: selector = 3; break;
    case A_TAIL_Q: selector = 4; break;
    case A_NEXT: selector = 5; break;
    case A_BACK: selector = 6; break;
    case A_HEAD: selector = 7; break;
    case A_TAIL: selector = 8; break;
    default: return false;
    }
    return series_navigate(args, selector);
}

// The branch that if, unless and either take for the condition `cond`: 1 the first block, 2 the
// second, 0 none (the result is none); -1 for any other native.
[[gnu::always_inline]] inline int32_t conditional_branch(uint32_t native, const Cell* cond) {
    switch (native) {
    case native_index("if"): return truthy(cond) ? 1 : 0;
    case native_index("unless"): return truthy(cond) ? 0 : 1;
    case native_index("either"): return true_value(cond) ? 1 : 2;
    default: return -1;
    }
}

// if, unless and either with their arguments in the native frame on top: the chosen block is
// evaluated in that frame (as the native would, but without a frame of its own), else the result
// is none. Answers false, touching nothing, for any other native.
[[gnu::always_inline]] inline bool conditional_in_frame(uint32_t native, Cell* args) {
    int32_t branch = conditional_branch(native, args);
    if (branch < 0) return false;
    if (branch == 0) stack_set_result(&g_none_cell);
    else eval_in_frame(args + branch);
    return true;
}

// The common call while tracing is off: an ordinary call without refinements in the path whose
// cache summary is plain. Each argument is pushed where its frame slot is, then the locals (none);
// natives and actions are called with every refinement unused. Returns -1, having done nothing,
// for any other spec.
int32_t eval_plain_arguments(const ArgContext& ac, const Cell* cache, int32_t pos, TypeId ct,
                             bool func_like) {
    uint32_t summary = cache->data3;
    if (!(summary & SUMMARY_PLAIN)) return -1;
    uint32_t n_args = summary & SUMMARY_ARGS_MASK;
    uint32_t base_i = stack_index(g_stack.arguments);
    uint32_t i = 0;
    if (ac.infix && n_args > 0) {
        // the left operand is already the frame's first cell
        Cell entry = *node_series(series_node(cache))->cell_at(0);
        check_arg_type(ac, &entry, g_stack.arguments, 0);
        i = 1;
    }
    bool all_eval = summary & SUMMARY_ALL_EVAL;
    for (; i < n_args; ++i) {
        // an evaluated argument within the code: the expression itself (fetch_arg reports the
        // missing one)
        if (all_eval && pos < code_limit(ac.code, ac.end)) {
            pos = eval_arg(ac.code, pos, ac.end, ac.infix);
        } else {
            uint32_t kind = node_series(series_node(cache))->cell_at(i)->header & KIND_MASK;
            if (kind == KIND_EVAL && pos < code_limit(ac.code, ac.end))
                pos = eval_expression(ac.code, pos, ac.end, ac.infix, true, false);
            else
                pos = fetch_arg(ac, kind, pos, i);
        }
        const Cell* entry = node_series(series_node(cache))->cell_at(i);
        if (!typeset_has(entry, stack_top()->type())) [[unlikely]] {
            Cell e = *entry;
            check_arg_type(ac, &e, stack_top(), i);
        }
    }
    if (func_like) {
        uint32_t locals = (summary >> SUMMARY_LOCALS_SHIFT) & SUMMARY_LOCALS_MASK;
        for (uint32_t k = 0; k < locals; ++k) *stack_push_slot() = make_none();
    } else {
        g_stack.arguments = stack_at_index(base_i);
        if (ct == T_ACTION && block_action_fast(ac.fn->data1, g_stack.arguments)) return pos;
        call_native_code(ac.fn, ct, NO_REFINEMENTS.data());
    }
    return pos;
}

int32_t eval_arguments(const ArgContext& ac, int32_t pos, const Cell* path, int32_t path_pos) {
    TypeId ct = call_type(ac.fn);
    bool func_like = is_func_like(ct);
    Rooted cache(interp_args_cache(ac.fn));
    if (!path && ac.mode == CALL_NORMAL && !g_interp.tracing) {
        int32_t next = eval_plain_arguments(ac, cache.get(), pos, ct, func_like);
        if (next >= 0) return next;
    }
    Cell* base = g_stack.arguments;
    uint32_t base_i = stack_index(base);
    Series* cs = node_series(series_node(cache.get()));
    uint32_t n_entries = cs->length();
    // entries: typesets and refinements, then trailing integers
    int32_t locals = 0;
    uint32_t n = n_entries;
    while (n > 0 && cs->cell_at(n - 1)->is(T_INTEGER)) --n;
    if (func_like && n < n_entries) locals = cell_integer(cs->cell_at(n));
    uint32_t refine_count = 0;
    for (uint32_t i = 0; i < n; ++i)
        if (cs->cell_at(i)->is(T_REFINEMENT)) ++refine_count;
    if (refine_count > MAX_REFINEMENTS) fire_error(Err::NotDone);
    int32_t refs[MAX_REFINEMENTS];
    for (uint32_t i = 0; i < refine_count; ++i) refs[i] = -1;

    // Argument numbers for error reports: the n-th argument word of the spec.
    auto entry_at = [&](uint32_t i) { return node_series(series_node(cache.get()))->cell_at(i); };

    // An infix call's left operand is already the frame's first cell.
    bool first_given = ac.infix;
    if (func_like) {
        // the whole frame in spec order: none for arguments, false for refinements, then locals
        for (uint32_t i = first_given ? 1 : 0; i < n; ++i) {
            const Cell* e = entry_at(i);
            if (e->is(T_TYPESET) && (e->header & KIND_MASK) == KIND_RETURN) continue;
            *stack_push_slot() = e->is(T_REFINEMENT) ? make_logic(false) : make_none();
        }
    }

    // frame slot of entry i for functions, and its argument number for error reports; both are
    // counted once per call
    uint16_t small_slots[64], small_argnos[64];
    std::vector<uint16_t> big_slots, big_argnos;
    uint16_t* slots = small_slots;
    uint16_t* argnos = small_argnos;
    if (n > 64) {
        big_slots.resize(n);
        big_argnos.resize(n);
        slots = big_slots.data();
        argnos = big_argnos.data();
    }
    {
        uint16_t sl = 0, an = 0;
        for (uint32_t i = 0; i < n; ++i) {
            const Cell* e = entry_at(i);
            slots[i] = sl;
            argnos[i] = an;
            if (e->is(T_TYPESET)) ++an;
            if (!(e->is(T_TYPESET) && (e->header & KIND_MASK) == KIND_RETURN)) ++sl;
        }
    }
    auto func_slot = [&](uint32_t idx) { return uint32_t(slots[idx]); };
    auto arg_number = [&](uint32_t idx) { return uint32_t(argnos[idx]); };
    // Fetches the argument of entry i into its place.
    auto take = [&](uint32_t i, bool keep) {
        Cell entry = *entry_at(i);
        uint32_t kind = entry.header & KIND_MASK;
        uint32_t argn = arg_number(i);
        pos = fetch_arg(ac, kind, pos, argn);
        if (!keep) { stack_pop(1); return; }
        // values handed over as they stand may be unset (a trace event's value); a function
        // takes them into its frame as it is
        if (!((ac.mode & CALL_VALUES) && ct == T_FUNCTION && stack_top()->is(T_UNSET)))
            check_arg_type(ac, &entry, stack_top(), argn);
        if (func_like) {
            Cell v = *stack_top();
            stack_pop(1);
            stack_at_index(base_i + func_slot(i))[0] = v;
        }
    };

    int32_t mode = ac.mode & 3;
    if (mode == CALL_ALL) {
        // every argument and refinement in spec order from the code
        bool active = true;
        uint32_t rnum = 0;
        for (uint32_t i = 0; i < n; ++i) {
            const Cell* e = entry_at(i);
            int32_t lim = code_limit(ac.code, ac.end);
            if (e->is(T_REFINEMENT)) {
                ++rnum;
                if (pos >= lim) { active = false; continue; }
                pos = eval_expression(ac.code, pos, (ac.mode & CALL_SAFER) ? pos + 1 : ac.end, true, true);
                Cell v = *stack_top();
                stack_pop(1);
                if (!v.is(T_LOGIC)) {
                    Cell nm = name_or_anon(ac.name);
                    Cell dt = make_datatype(v.type());
                    Cell w = *entry_at(i);   // read again: the collector may have moved the cache
                    fire_error(Err::ExpectArg, &nm, &dt, &w);
                }
                active = v.data1 != 0;
                if (active) {
                    if (func_like) stack_at_index(base_i + func_slot(i))[0] = make_logic(true);
                    else refs[rnum - 1] = int32_t(g_stack.top - stack_at_index(base_i));
                }
                continue;
            }
            if ((e->header & KIND_MASK) == KIND_RETURN) continue;
            if (pos >= lim) {
                if (!func_like && active) *stack_push_slot() = make_none();
                continue;
            }
            if (!active && (ac.mode & CALL_SAFER)) { ++pos; continue; }
            take(i, active);
        }
    } else {
        // the arguments before the first refinement
        uint32_t i = 0;
        for (; i < n; ++i) {
            const Cell* e = entry_at(i);
            if (e->is(T_REFINEMENT)) break;
            if ((e->header & KIND_MASK) == KIND_RETURN) continue;
            if (first_given) {
                Cell entry = *e;
                check_arg_type(ac, &entry, stack_at_index(base_i), arg_number(i));
                first_given = false;
                continue;
            }
            take(i, true);
        }
        // refinements named in the path (or, in mode 2, refinement! values in the code)
        bool used[MAX_REFINEMENTS] = {};
        auto activate = [&](const Cell* el, bool on) {
            uint32_t sym = symbol_resolve(el->data2);
            uint32_t rnum = 0;
            for (uint32_t k = 0; k < n; ++k) {
                const Cell* e = entry_at(k);
                if (!e->is(T_REFINEMENT)) continue;
                ++rnum;
                if (symbol_resolve(e->data2) != sym) continue;
                if (used[rnum - 1]) {
                    Cell r = *el;
                    fire_error(Err::DupRefine, &r);
                }
                used[rnum - 1] = true;
                if (!func_like) refs[rnum - 1] = int32_t(g_stack.top - stack_at_index(base_i));
                if (func_like && on) stack_at_index(base_i + func_slot(k))[0] = make_logic(true);
                for (uint32_t j = k + 1; j < n; ++j) {
                    const Cell* a = entry_at(j);
                    if (a->is(T_REFINEMENT)) break;
                    if ((a->header & KIND_MASK) == KIND_RETURN) continue;
                    // safer: the one value of each argument of a refinement that is off is
                    // passed over, not evaluated
                    if (!on && (ac.mode & CALL_SAFER)) {
                        if (pos < code_limit(ac.code, ac.end)) ++pos;
                        continue;
                    }
                    take(j, true);
                }
                if (!on) {
                    // the refinement is off: its arguments were taken but it stays unused
                    if (!func_like) {
                        g_stack.top = stack_at_index(base_i) + refs[rnum - 1];
                        refs[rnum - 1] = -1;
                    } else {
                        for (uint32_t j = k + 1; j < n; ++j) {
                            const Cell* a = entry_at(j);
                            if (a->is(T_REFINEMENT)) break;
                            stack_at_index(base_i + func_slot(j))[0] = make_none();
                        }
                    }
                }
                return;
            }
            Cell nm = name_or_anon(ac.name);
            Cell r = *el;
            set_cell_type(&r, T_WORD);
            fire_error(Err::NoRefine, &nm, &r);
        };
        if (path) {
            Rooted p(*path);
            int32_t plen = code_limit(p.get(), -1);
            for (int32_t k = path_pos; k < plen; ++k) {
                Cell el = *code_at(p.get(), k);
                if (el.is(T_WORD)) activate(&el, true);
                else if (el.is(T_GET_WORD)) activate(&el, truthy(word_get(&el)));
                else fire_error(Err::BadRefine, &el);
            }
        }
        if (mode == CALL_REFINES) {
            while (pos < code_limit(ac.code, ac.end) && code_at(ac.code, pos)->is(T_REFINEMENT)) {
                // rooted: its value's expression may renumber the node of its binding
                Rooted el(*code_at(ac.code, pos));
                pos = eval_expression(ac.code, pos + 1, (ac.mode & CALL_SAFER) ? pos + 2 : ac.end, true, true);
                bool on = truthy(stack_top());
                stack_pop(1);
                activate(el.get(), on);
            }
        }
    }
    if (func_like) {
        for (int32_t k = 0; k < locals; ++k) *stack_push_slot() = make_none();
    }
    if (g_interp.tracing) fire_event(EV_CALL, ac.code, pos, ac.name, ac.fn);
    if (!func_like) {
        g_stack.arguments = stack_at_index(base_i);
        if (ct == T_NATIVE) {
            uint32_t idx = ac.fn->data1;
            NativeFn f = idx >= 1 && idx <= NATIVES_TABLE_SLOTS ? g_natives[idx - 1] : nullptr;
            if (!f) fire_error(Err::NotDone);
            f(false, refs);
        } else if (ct == T_ACTION) {
            uint32_t a = ac.fn->data1;
            NativeFn f = a >= 1 && a <= ACTION_COUNT ? g_action_entries[a - 1] : nullptr;
            if (!f) fire_error(Err::NotDone);
            f(false, refs);
        }
    }
    return pos;
}

} // namespace

namespace {

// Entry i of the arguments cache of a function value whose cache is built (no allocation).
inline const Cell* cache_entry(const Cell* fn, uint32_t i) {
    const Cell* cache = node_series(fn_more(fn))->cell_at(MORE_ARGS_CACHE);
    return node_series(series_node(cache))->cell_at(i);
}

// The cache summary of a native!, action! or function! value whose cache is built and plain, else
// 0; t: the value's call type.
[[gnu::always_inline]] inline uint32_t plain_call_summary(const Cell* fn, TypeId t) {
    Node more = fn->data3;
    if (!(t == T_FUNCTION || t == T_NATIVE || t == T_ACTION) || !more) return 0;
    Series* ms = node_series(more);
    if (cell_count(ms) <= MORE_ARGS_CACHE) return 0;
    const Cell* cache = ms->cell_at(MORE_ARGS_CACHE);
    return cache->is(T_BLOCK) && (cache->data3 & SUMMARY_PLAIN) ? cache->data3 : 0;
}
[[gnu::always_inline]] inline uint32_t plain_call_summary(const Cell* fn) {
    return plain_call_summary(fn, call_type(fn));
}

// The end of a call of eval_code_plain, its frame unwound: a prefix call's result replaces the
// function cell `f`; with arg clear it also goes into the current result cell.
template <bool infix>
[[gnu::always_inline]] inline int32_t finish_plain_call(Cell* f, int32_t pos, bool arg) {
    // the result lies above f (a prefix call) or is f itself (infix): the stack is not empty
    if constexpr (!infix) {
        f[0] = g_stack.top[-1];
        g_stack.top = f + 1;
    }
    if (!arg) stack_set_result(g_stack.top - 1);
    return pos;
}

// The type error of argument i of a plain call (its value `top`), raised as check_arg_type does.
[[gnu::noinline, noreturn]] void plain_arg_type_error(const Cell* fn, const Cell* code, int32_t end,
                                                      const Cell* name, bool infix, uint32_t i,
                                                      const Cell* top) {
    Cell e = *cache_entry(fn, i);
    check_arg_type(ArgContext{fn, code, end, name, infix, CALL_NORMAL}, &e, top, i);
    runtime_quit(RT_NO_SWITCH, 0);   // not reached: the type is not in the typeset
}

// Fetches argument i of a plain call (cache summary `summary`) onto the frame and checks its type;
// returns the position after it. fn: the function value of the call, held where the collector
// sees it (its cache built); name: the call's rooted name. first_any_type: the argument takes
// any-type!. entries and cycles: the cache entries as last read (null: not yet) and the collector
// cycle then; they are read again after a cycle (nothing else moves or renumbers the cache block:
// it never grows once built).
template <bool infix>
[[gnu::always_inline]] inline int32_t take_plain_arg(const Cell* fn, const Cell* code, int32_t pos,
                                                     int32_t end, const Cell* name, uint32_t i,
                                                     uint32_t summary, bool first_any_type,
                                                     const Cell*& entries, uint32_t& cycles) {
    auto entry = [&](uint32_t k) {
        if (!entries || g_collector_cycles != cycles) {
            entries = cache_entry(fn, 0);
            cycles = g_collector_cycles;
        }
        return entries + k;
    };
    int32_t lim = code_limit(code, end);
    if ((summary & SUMMARY_ALL_EVAL) && pos < lim)
        pos = eval_arg(code, pos, end, lim, infix);
    else
        pos = fetch_arg(ArgContext{fn, code, end, name, infix, CALL_NORMAL},
                        entry(i)->header & KIND_MASK, pos, i);
    const Cell* top = g_stack.top - 1;
    // with SUMMARY_ANY_VALUE every argument takes any value but unset
    bool bad = first_any_type                       ? (NOT_ANY_TYPE >> top->type()) & 1
               : (summary & SUMMARY_ANY_VALUE) != 0 ? top->is(T_UNSET)
                                                    : !typeset_has(entry(i), top->type());
    if (bad) [[unlikely]] plain_arg_type_error(fn, code, end, name, infix, i, top);
    return pos;
}

// if, unless and either in an ordinary prefix call while tracing is off, with the frame of
// start-up (SUMMARY_CONDITIONAL): the frame and checks of eval_code_plain. When the blocks are
// block! literals in the code, only the condition goes onto the frame and the chosen block is
// evaluated straight from the code in the native's frame, as conditional_in_frame does with the
// blocks on the frame; with any other argument the blocks are fetched as usual.
[[gnu::noinline]] int32_t eval_conditional(const Cell* fn_in, const Cell* code, int32_t pos,
                                           int32_t end, bool arg, const Cell* name_in,
                                           uint32_t summary) {
    // the data stack never moves, and the collector sees the function cell pushed here
    Cell* f = stack_push(fn_in);
    Rooted name(*name_in);
    stack_mark_interp_native(name.get());
    Cell* base = g_stack.arguments;
    const Cell* entries = nullptr;
    uint32_t cycles = 0;
    pos = take_plain_arg<false>(f, code, pos, end, name.get(), 0, summary,
                                summary & SUMMARY_FIRST_ANY_TYPE, entries, cycles);
    uint32_t n_args = summary & SUMMARY_ARGS_MASK;
    int32_t blocks_end = pos + int32_t(n_args) - 1;
    const Cell* blocks = code_at(code, pos);
    if (blocks_end <= code_limit(code, end) && blocks[0].is(T_BLOCK) &&
        (n_args == 2 || blocks[1].is(T_BLOCK))) {
        pos = blocks_end;
        int32_t branch = conditional_branch(f->data1, base);
        if (branch == 0) stack_set_result(&g_none_cell);
        else if (g_interp.tracing) [[unlikely]] eval_in_frame_traced(blocks + (branch - 1));
        else eval_pushed_short<true>(blocks + (branch - 1));   // copied before anything runs
    } else {
        for (uint32_t i = 1; i < n_args; ++i)
            pos = take_plain_arg<false>(f, code, pos, end, name.get(), i, summary, false, entries,
                                        cycles);
        g_stack.arguments = base;
        conditional_in_frame(f->data1, base);   // true: f is if, unless or either
    }
    unwind_frame(false, false);
    return finish_plain_call<false>(f, pos, arg);
}

// eval_code for an ordinary call, while tracing is off and without refinements in a path, of a
// native!, action! or function! whose cache summary is plain: the same frame, arguments, checks
// and call as the general path, without its per-call tables. `code` stays in place and in the
// collector's sight (every caller holds it rooted).
template <bool infix, bool function>
int32_t eval_code_plain(const Cell* fn_in, const Cell* code, int32_t pos, int32_t end, bool arg,
                        const Cell* name_in, const Cell* object, TypeId ct, uint32_t summary) {
    // A prefix call: the function cell pushed here (the data stack never moves, and the
    // collector sees it) is the function value for the whole call; the result replaces it at the
    // end. An infix call: the left operand (the last pushed cell) is the frame's first cell and
    // receives the result; the operator is held rooted.
    Cell* fn;
    Cell* f;
    std::optional<Rooted> op;
    if constexpr (infix) {
        op.emplace(*fn_in);
        fn = op->get();
        f = stack_top();
        g_stack.top = f;
    } else {
        fn = stack_push(fn_in);
        f = fn;
    }
    Rooted name(*name_in);
    if constexpr (function) {
        // stack_mark with the interpreted flag in the header it writes
        stack_mark_interp_func(name.get());
        if (Node ctx = fn->data1) {
            CallFrame* frame = g_calls.top - 1;
            frame->func_ctx = ctx;
            frame->saved_fp = stack_context_frame_word(ctx);
        }
    } else {
        stack_mark_interp_native(name.get());
    }
    Cell* base = g_stack.arguments;
    uint32_t n_args = summary & SUMMARY_ARGS_MASK;
    const Cell* entries = nullptr;
    uint32_t cycles = 0;
    uint32_t first = 0;
    if (infix && n_args > 0) {
        // the left operand is already the frame's first cell
        g_stack.top = g_stack.arguments + 1;
        const Cell* left = g_stack.arguments;
        if ((summary & SUMMARY_ANY_VALUE) ? left->is(T_UNSET)
                                          : !typeset_has(cache_entry(fn, 0), left->type()))
            [[unlikely]] plain_arg_type_error(fn, code, end, name.get(), infix, 0, left);
        first = 1;
    }
    for (uint32_t i = first; i < n_args; ++i)
        pos = take_plain_arg<infix>(fn, code, pos, end, name.get(), i, summary, false, entries,
                                    cycles);
    if constexpr (function) {
        uint32_t locals = (summary >> SUMMARY_LOCALS_SHIFT) & SUMMARY_LOCALS_MASK;
        for (uint32_t k = 0; k < locals; ++k) *stack_push_slot() = make_none();
        Node obj = object && object->is(T_OBJECT) && object->data1 != g_global_context ? object->data1 : 0;
        run_function_body(fn, obj, name.get(), 0);
        unwind_frame(false, true);
    } else {
        g_stack.arguments = base;
        if (ct == T_NATIVE ? !conditional_in_frame(fn->data1, g_stack.arguments)
                           : !(ct == T_ACTION && block_action_fast(fn->data1, g_stack.arguments)))
            call_native_code(fn, ct, NO_REFINEMENTS.data());
        unwind_frame(false, false);
    }
    return finish_plain_call<infix>(f, pos, arg);
}

} // namespace

int32_t eval_code(const Cell* fn_in, const Cell* code_in, int32_t pos, int32_t end, bool arg,
                  const Cell* name_in, const Cell* path, int32_t path_pos, const Cell* object,
                  int32_t mode, bool infix) {
    if (!path && mode == CALL_NORMAL && !g_interp.tracing) {
        if (uint32_t summary = plain_call_summary(fn_in)) {
            Cell name = name_or_anon(name_in);
            if (infix)
                return eval_code_plain_any<true>(fn_in, code_in, pos, end, arg, &name, object,
                                                 call_type(fn_in), summary);
            return eval_code_plain_any<false>(fn_in, code_in, pos, end, arg, &name, object,
                                              call_type(fn_in), summary);
        }
    }
    Rooted fn(*fn_in);
    Rooted code(*code_in);
    Rooted name(name_in && is_any_word(name_in->type()) ? name_or_anon(name_in) : anon_word());
    TypeId ct = call_type(fn.get());
    if (g_interp.tracing) fire_event(EV_OPEN, code.get(), pos, name.get(), fn.get());
    uint32_t f_i;
    if (infix) {
        // the left operand (the last pushed cell) becomes the first argument
        f_i = stack_index(stack_top());
        g_stack.top = stack_at_index(f_i);
    } else {
        f_i = stack_index(stack_push(fn.get()));
    }
    ArgContext ac{fn.get(), code.get(), end, name.get(), infix, mode};
    switch (ct) {
    case T_NATIVE:
    case T_ACTION: {
        stack_mark_interp_native(name.get());
        if (infix) g_stack.top = g_stack.arguments + 1;
        pos = eval_arguments(ac, pos, path, path_pos);
        stack_unwind();
        break;
    }
    case T_ROUTINE: {
        stack_mark_interp_native(name.get());
        if (infix) g_stack.top = g_stack.arguments + 1;
        pos = eval_arguments(ac, pos, path, path_pos);
        Node more = fn_more(fn.get());
        const Cell* entry = more ? node_series(more)->cell_at(2) : nullptr;
        RoutineFn r = entry && entry->is(T_INTEGER) ? routine_entry(uint32_t(cell_integer(entry))) : nullptr;
        if (!r) fire_error(Err::NotDone);
        r(false, nullptr);
        stack_unwind();
        break;
    }
    case T_FUNCTION: {
        Node ctx = fn->data1;
        stack_mark(name.get(), ctx);
        stack_set_interpreted();
        if (infix) g_stack.top = g_stack.arguments + 1;
        pos = eval_arguments(ac, pos, path, path_pos);
        Node obj = object && object->is(T_OBJECT) && object->data1 != g_global_context ? object->data1 : 0;
        call_function(fn.get(), obj, name.get(), 0);
        stack_unwind_restore();
        break;
    }
    default:
        runtime_quit(RT_NO_SWITCH, 0);
    }
    if (g_interp.tracing) fire_event(EV_RETURN, code.get(), pos, name.get(), stack_top());
    if (!infix) {
        Cell* f = stack_at_index(f_i);
        f[0] = *stack_top();
        g_stack.top = f + 1;
    }
    if (!arg) stack_set_result(stack_top());
    return pos;
}

void call_function(const Cell* fn_in, Node object_ctx, const Cell* name, uint32_t trace_flags) {
    Rooted fn(*fn_in);
    run_function_body(fn.get(), object_ctx, name, trace_flags);
}

void call_with_args(const Cell* fn_in, const Cell* args, uint32_t count, const Cell* name_in) {
    // A function! with a plain spec of exactly `count` arguments, tracing off: the frame is built
    // here as the general path below would build it (arguments as they stand, type checked unless
    // unset, locals none), without its code block. Callers such as sort call this per comparison.
    if (!g_interp.tracing && fn_in->is(T_FUNCTION)) {
        uint32_t summary = plain_call_summary(fn_in);
        if (summary && (summary & SUMMARY_ARGS_MASK) == count) {
            // the data stack never moves: the pushed copy is the function value of the call, and
            // the arguments are copied before anything allocates
            Cell* fn = stack_push(fn_in);
            uint32_t f_i = stack_index(fn);
            Cell name = name_in && is_any_word(name_in->type()) ? name_or_anon(name_in) : anon_word();
            stack_mark(&name, fn->data1);
            (g_calls.top - 1)->header |= FRAME_INTERPRETED;
            const Cell* entries = cache_entry(fn, 0);  // nothing allocates until the body runs
            for (uint32_t i = 0; i < count; ++i) {
                Cell* v = stack_push(&args[i]);
                const Cell* entry = entries + i;
                if (!v->is(T_UNSET) && !typeset_has(entry, v->type())) [[unlikely]] {
                    ArgContext ac{fn, nullptr, 0, &name, false, CALL_REFINES | CALL_SAFER | CALL_VALUES};
                    Cell e = *entry;
                    check_arg_type(ac, &e, v, i);
                }
            }
            uint32_t locals = (summary >> SUMMARY_LOCALS_SHIFT) & SUMMARY_LOCALS_MASK;
            for (uint32_t k = 0; k < locals; ++k) *stack_push_slot() = make_none();
            Rooted held_name(name);
            run_function_body(fn, 0, held_name.get(), 0);
            unwind_frame(false, true);
            Cell* f = stack_at_index(f_i);
            f[0] = *stack_top();
            g_stack.top = f + 1;
            return;
        }
    }
    Rooted fn(*fn_in);
    // the arguments go to the stack first: they may lie in buffers that move
    uint32_t f_i = stack_index(stack_push(fn.get()));
    for (uint32_t i = 0; i < count; ++i) stack_push(&args[i]);
    // a code block of the argument values, evaluated one value each (get kind semantics)
    Rooted code(make_series(T_BLOCK, alloc_cells(count ? count : 1)));
    for (uint32_t i = 0; i < count; ++i) block_append(series_node(code.get()), *stack_at_index(f_i + 1 + i));
    g_stack.top = stack_at_index(f_i);
    Rooted name(name_in ? *name_in : anon_word());
    // Apply the function with every given value taken as it stands (set-words, parens, get-words
    // and functions included, nothing is evaluated); remaining arguments are none.
    eval_code(fn.get(), code.get(), 0, int32_t(count), true, name.get(), nullptr, 0, nullptr,
              CALL_REFINES | CALL_SAFER | CALL_VALUES, false);
}

// ---- Paths ---------------------------------------------------------------------------------------

int32_t eval_path(const Cell* path_in, const Cell* code_in, int32_t pos, int32_t end, bool arg,
                  bool get, const Cell* set_value) {
    Rooted path(*path_in);
    Rooted code(code_in ? *code_in : make_none());
    Rooted setv(set_value ? *set_value : make_unset());
    bool set = set_value != nullptr;
    int32_t head = int32_t(series_index(path.get()));
    int32_t plen = code_limit(path.get(), -1);
    if (head >= plen) fire_error(Err::EmptyPath);
    // rooted: the enter event's callback may renumber the node of the word's context
    Rooted first(*code_at(path.get(), head));
    if (!first->is(T_WORD)) fire_error(Err::WordFirst, path.get());
    if (g_interp.tracing) fire_event(EV_ENTER, path.get(), head, nullptr, nullptr);
    const Cell* hv = word_get(first.get());
    if (is_any_function(hv->type()) && !hv->is(T_OP)) {
        if (get) fire_error(Err::InvalidPathGet, path.get());
        if (set) fire_error(Err::InvalidPathSet, path.get());
        Cell fn = *hv;
        pos = eval_code(&fn, code.get(), pos, end, true, first.get(), path.get(), head + 1);
        if (g_interp.tracing) fire_event(EV_EXIT, path.get(), plen, nullptr, stack_top());
        if (!arg) stack_set_result(stack_top());
        return pos;
    }
    if (hv->is(T_UNSET)) fire_error(Err::UnsetPath, path.get(), first.get());
    // the current value and the previous container live on the stack
    uint32_t cur_i = stack_index(stack_push(hv));
    uint32_t prev_i = stack_index(stack_push(&g_none_cell));
    uint32_t prev_el_i = stack_index(stack_push(first.get()));
    for (int32_t k = head + 1; k < plen; ++k) {
        if (g_interp.tracing) fire_event(EV_FETCH, path.get(), k, nullptr, code_at(path.get(), k));
        Cell el = *code_at(path.get(), k);
        if (el.is(T_PAREN)) {
            eval(&el, false);
            el = *stack_top();
            stack_pop(1);
        } else if (el.is(T_GET_WORD)) {
            el = *word_get(&el);
        }
        if (el.is(T_UNSET)) {
            Cell pe = *code_at(path.get(), k);
            fire_error(Err::InvalidPath, path.get(), &pe);
        }
        uint32_t el_i = stack_index(stack_push(&el));
        bool last = k + 1 == plen;
        Cell* cur = stack_at_index(cur_i);
        EvalPathFn f = action_impl<A_EVAL_PATH>(cur->type());
        if (!f) {
            Cell pe = *code_at(path.get(), k);
            fire_error(Err::InvalidPath, path.get(), &pe);
        }
        Cell parent_before = *cur;
        PathStep step{stack_at_index(el_i), last && set ? setv.get() : nullptr, path.get(),
                      stack_at_index(prev_i), stack_at_index(prev_el_i), k - head, last, false, true};
        f(stack_at_index(cur_i), step);
        *stack_at_index(prev_i) = parent_before;
        *stack_at_index(prev_el_i) = *stack_at_index(el_i);
        g_stack.top = stack_at_index(el_i);
        if (g_interp.tracing) fire_event(EV_PUSH, path.get(), k, nullptr, stack_at_index(cur_i));
        Cell* now = stack_at_index(cur_i);
        if (!get && !set && is_any_function(now->type()) && !now->is(T_OP)) {
            Cell fn = *now;
            Cell object = *stack_at_index(prev_i);
            Cell name = *stack_at_index(prev_el_i);   // the element that selected the function
            g_stack.top = stack_at_index(cur_i);
            pos = eval_code(&fn, code.get(), pos, end, true, &name, path.get(), k + 1, &object);
            Cell result = *stack_top();
            *stack_at_index(cur_i) = result;
            g_stack.top = stack_at_index(cur_i) + 1;
            if (g_interp.tracing) fire_event(EV_EXIT, path.get(), plen, nullptr, stack_top());
            if (!arg) stack_set_result(stack_top());
            return pos;
        }
    }
    g_stack.top = stack_at_index(cur_i) + 1;
    if (g_interp.tracing) fire_event(EV_EXIT, path.get(), plen, nullptr, stack_top());
    if (!arg) stack_set_result(stack_top());
    return pos;
}

} // namespace kel
