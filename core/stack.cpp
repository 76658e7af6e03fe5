// The data stack and the call stack: set-up, overflow, dropping and unwinding frames, and the
// non-local exits.
//
// The exits (throw_error, throw_break, throw_return, throw_value) first look down the call stack
// for their target without changing anything; when the target is missing, or a try/all frame is
// in the way, they raise the matching throw error with both stacks as they found them. Otherwise
// they drop the frames above the target, set the data stack for it and raise the C++ exception.
#include "core/stack.h"

#include "core/context.h"
#include "core/cycles.h"
#include "core/series.h"
#include "core/symbol.h"
#include "core/unicode.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace kel {

DataStack g_stack{};
CallStack g_calls{};
uint32_t g_sym_body = STACK_NO_SYMBOL;
uint32_t g_sym_anon = STACK_NO_SYMBOL;
CallFrame* g_throw_origin = nullptr;

void stack_init(uint32_t sym_body, uint32_t sym_anon) {
    Series* data = node_series(g_data_stack_node);
    uint32_t cells = std::min<uint32_t>(DATA_STACK_CELLS, (data->size - data->head) / sizeof(Cell));
    g_stack.bottom = reinterpret_cast<Cell*>(data->head_ptr());
    g_stack.limit = g_stack.bottom + cells;
    g_stack.top = g_stack.arguments = g_stack.bottom;

    Series* calls = node_series(g_call_stack_node);
    uint32_t frames =
        std::min<uint32_t>(CALL_STACK_FRAMES, (calls->size - calls->head) / sizeof(CallFrame));
    g_calls.bottom = reinterpret_cast<CallFrame*>(calls->head_ptr());
    g_calls.limit = g_calls.bottom + frames;
    g_calls.top = g_calls.bottom;

    g_sym_body = sym_body;
    g_sym_anon = sym_anon;
    g_throw_origin = nullptr;
    // the walks that used the cycle-detection stack had frames on these stacks: they are gone
    cycles_reset();
}

namespace {

// The data base of the nearest try frame (kind 4 or 5), where the error of an overflow lands; the
// bottom when there is none.
Cell* nearest_try_base() {
    for (CallFrame* f = g_calls.top; f > g_calls.bottom;) {
        --f;
        uint32_t k = f->kind();
        if (k == FRAME_TRY || k == FRAME_TRY_ALL)
            return f + 1 < g_calls.top ? stack_at_index(f[1].saved_args) : g_stack.arguments;
    }
    return g_stack.bottom;
}

} // namespace

[[noreturn]] void stack_overflow() {
    Cell* back = stack_depth() > STACK_OVERFLOW_BACKOFF ? g_stack.top - STACK_OVERFLOW_BACKOFF
                                                        : g_stack.bottom;
    // Cells below the try frame belong to the frames that go on after the error: moving the top
    // under them would hide them from the collector while the error is made, and the error would
    // then be pushed over one of them.
    Cell* floor = std::min(nearest_try_base(), g_stack.top);
    g_stack.top = std::max(back, floor);
    cycles_reset();
    fire_error(Err::StackOverflow);
}

void stack_keep_last_error() {
    Cell* last = stack_top();
    if (last->is(T_ERROR)) *g_stack.arguments = *last;
    g_stack.top = g_stack.arguments + 1;
}

// ---- Frame flags -------------------------------------------------------------------------------

void stack_set_return_mark(bool on) {
    CallFrame* f = stack_top_frame();
    if (!f) return;
    if (on) f->header |= FRAME_RETURN_MARK;
    else f->header &= ~FRAME_RETURN_MARK;
}

void stack_set_interpreted() {
    if (CallFrame* f = stack_top_frame()) f->header |= FRAME_INTERPRETED;
}

CallFrame* stack_set_caller_return_mark() {
    if (stack_call_depth() < 2) return nullptr;
    CallFrame* f = g_calls.top - 2;
    if (f->has_return_mark()) return nullptr;
    f->header |= FRAME_RETURN_MARK;
    return f;
}

void stack_clear_return_mark(CallFrame* frame) {
    if (frame) frame->header &= ~FRAME_RETURN_MARK;
}

bool stack_interpreted(const CallFrame* from, bool only_next) {
    if (!from) from = g_calls.top;
    while (from > g_calls.bottom) {
        --from;
        if (from->interpreted()) return true;
        if (only_next) return false;
    }
    return false;
}

// ---- Dropping frames ---------------------------------------------------------------------------

namespace {

// Pops the top frame; a function frame with a context gives the context back its frame reference.
inline CallFrame* pop_frame() {
    CallFrame* f = --g_calls.top;
    if (f->kind() == FRAME_FUNCTION && f->func_ctx) stack_context_frame_word(f->func_ctx) = f->saved_fp;
    return f;
}

// Pops the top frame; any frame with a context gives it back its frame reference.
inline CallFrame* pop_frame_restore() {
    CallFrame* f = --g_calls.top;
    if (f->func_ctx) stack_context_frame_word(f->func_ctx) = f->saved_fp;
    return f;
}

inline Cell* unwind_data(const CallFrame* f, bool last) {
    Cell* result = g_stack.arguments;
    g_stack.top = result + 1;
    g_stack.arguments = stack_at_index(f->saved_args);
    if (last) *g_stack.arguments = *result;
    return result;
}

inline Cell* unroll_data(const CallFrame* f) {
    g_stack.arguments = stack_at_index(f->saved_args);
    return g_stack.top = g_stack.arguments;
}

// The data base of the frame just below `above`: the saved arguments of the frame at `above`
// when that slot still held a frame at `old_top`, else the current arguments.
inline Cell* own_base_below(const CallFrame* above, const CallFrame* old_top) {
    return above < old_top ? stack_at_index(above->saved_args) : g_stack.arguments;
}

} // namespace

void stack_drop_frame() {
    CallFrame* f = pop_frame();
    if (g_calls.top == g_calls.bottom) {
        g_stack.arguments = g_stack.top = g_stack.bottom;
    } else {
        g_stack.top = g_stack.arguments;
        g_stack.arguments = stack_at_index(f->saved_args);
    }
}

Cell* stack_unwind() { return unwind_data(--g_calls.top, false); }
Cell* stack_unwind_last() { return unwind_data(--g_calls.top, true); }
Cell* stack_unwind_restore() { return unwind_data(pop_frame_restore(), false); }
Cell* stack_unwind_restore_last() { return unwind_data(pop_frame_restore(), true); }
Cell* stack_unroll() { return unroll_data(--g_calls.top); }
Cell* stack_unroll_restore() { return unroll_data(pop_frame_restore()); }

CallFrame* stack_unwind_to_kind(uint32_t kind, bool keep) {
    CallFrame* old_top = g_calls.top;
    CallFrame* found = nullptr;
    while (g_calls.top > g_calls.bottom) {
        found = pop_frame();
        uint32_t k = found->kind();
        if (k == kind || k == FRAME_TRY_ALL) break;
    }
    if (!found) {   // empty call stack: nothing to drop
        g_stack.top = g_stack.arguments + 1;
        return nullptr;
    }
    if (keep) ++g_calls.top;
    if (g_calls.top == old_top) {
        g_stack.top = g_stack.arguments + 1;
    } else if (g_calls.top == g_calls.bottom) {
        g_stack.arguments = g_stack.top = g_stack.bottom;
    } else {
        g_stack.top = g_stack.arguments + 1;
        g_stack.arguments = stack_at_index(g_calls.top->saved_args);
    }
    if (!keep) ++g_calls.top;
    return found;
}

CallFrame* stack_unwind_to_kind_last(uint32_t kind) {
    Cell result = *g_stack.arguments;
    // With keep, arguments end at the found frame's own base, whose cell 0 is its result cell.
    CallFrame* found = stack_unwind_to_kind(kind, true);
    *g_stack.arguments = result;
    g_stack.top = g_stack.arguments;
    return found;
}

// ---- Traces ------------------------------------------------------------------------------------

CallFrame* stack_caller_frame() {
    CallFrame* p = g_throw_origin ? g_throw_origin : g_calls.top;
    g_throw_origin = nullptr;
    if (p > g_calls.top) p = g_calls.top;
    while (p > g_calls.bottom) {
        --p;
        if (!stack_frame_reserved(p)) return p;
    }
    return nullptr;
}

namespace {

// The context a frame names; 0 (or a node that holds no context) stands for the global one.
inline Node or_global(Node ctx) {
    if (!ctx) return g_global_context;
    Series* s = node_series(ctx);
    bool context = s->unit() == sizeof(Cell) && s->size >= 2 * sizeof(Cell) &&
                   context_cell(ctx)->is(T_CONTEXT);
    return context ? ctx : g_global_context;
}

// The frame's word as seen from ctx: ctx's own word for the symbol, else the global one. A copy,
// since the word lists move on the next allocation.
inline Cell frame_word(Node ctx, uint32_t symbol) {
    return *context_word_or_global(or_global(ctx), symbol);
}

// Whether the frame goes into a trace of this level: any named frame above level 1, else only a
// frame whose word (as frame_word names it from the called word's context) holds a function!.
// Never allocates: the global context is searched without adding to it.
bool trace_keeps(const CallFrame* f, int32_t level) {
    if (level > 1) return true;
    uint32_t symbol = f->symbol();
    Node ctx = or_global(f->word_ctx);
    if (context_find_word(ctx, symbol, false) < 0) ctx = g_global_context;
    if (context_on_stack(ctx)) ctx = g_global_context;
    if (context_find_word(ctx, symbol, true) < 0) return false;
    return context_value_by_symbol(symbol, ctx)->is(T_FUNCTION);
}

inline CallFrame* trace_end(uint32_t end) {
    return g_calls.bottom + std::min(end, stack_call_depth());
}

// Appends the code points to the string's tail, widening it first when one needs wider units.
void string_append_points(Node target, const std::vector<uint32_t>& points) {
    if (points.empty()) return;
    uint32_t widest = *std::max_element(points.begin(), points.end());
    uint32_t need = widest > 0xFFFF ? 4 : widest > 0xFF ? 2 : 1;
    Series* s = node_series(target);
    uint32_t unit = s->unit();
    if (need > unit) {   // the buffer may move: it is reached through the node again below
        if (unit == 1 && need == 2) string_widen_1_to_2(s);
        else if (unit == 1) string_widen_1_to_4(s);
        else string_widen_2_to_4(s);
        unit = need;
    }
    uint8_t* p = reserve_tail_bytes(target, uint64_t(points.size()) * unit);
    for (uint32_t cp : points) {
        unit_put(p, unit, cp);
        p += unit;
    }
}

} // namespace

Cell stack_caller_word(Node ctx) {
    CallFrame* f = stack_caller_frame();
    if (!f) return *context_global_word(symbol_make("<not-found>"));
    return frame_word(ctx, f->symbol());
}

void stack_collect_calls(Node block) {
    // the frames stay where they are: the call stack is a fixed buffer, and nothing here pushes
    stack_walk_down([&](const CallFrame* f) {
        Cell word = frame_word(f->func_ctx, f->symbol());
        block_append(block, word);
        block_append(block, make_integer(int32_t(f->saved_args)));
    });
}

void stack_collect_trace(int32_t level, Node block, uint32_t end) {
    stack_walk_up(trace_end(end), [&](const CallFrame* f) {
        if (!trace_keeps(f, level)) return;
        Cell word = frame_word(f->word_ctx, f->symbol());
        block_append(block, word);
    });
}

int32_t stack_form_trace(int32_t level, uint32_t end, Node target, int32_t limit) {
    std::vector<uint32_t> points;
    bool first = true;
    stack_walk_up(trace_end(end), [&](const CallFrame* f) {
        if (limit <= 0 || !trace_keeps(f, level)) return;
        points.clear();
        if (!first) points.push_back(' ');
        first = false;
        uint32_t length = 0;
        const uint8_t* name = symbol_name(f->symbol(), &length);
        const uint8_t* stop = name + length;
        while (name < stop && points.size() < uint32_t(limit)) {
            int32_t cp;
            name = decode_utf8_char(name, stop, &cp);
            points.push_back(cp < 0 ? 0xFFFD : uint32_t(cp));
        }
        if (points.size() > uint32_t(limit)) points.resize(uint32_t(limit));
        limit -= int32_t(points.size());
        string_append_points(target, points);
    });
    return std::max(limit, 0);
}

// ---- Non-local exits ---------------------------------------------------------------------------

namespace {

// Where an exit's search starts: below the native's own frame unless that frame counts.
inline CallFrame* search_start(bool skip_own) {
    CallFrame* p = g_calls.top;
    if (skip_own && p > g_calls.bottom) --p;
    return p;
}

// Looks down from position p for a frame accepted by `is_target`; a try/all frame on the way, or
// the bottom, gives null. Nothing is changed.
template <class Pred>
inline CallFrame* find_target(CallFrame* p, Pred&& is_target) {
    while (p > g_calls.bottom) {
        CallFrame* f = p - 1;
        if (is_target(f)) return f;
        if (f->kind() == FRAME_TRY_ALL) return nullptr;
        p = f;
    }
    return nullptr;
}

// Drops every frame above the target, which stays on top, and empties the target's data: returns
// its own base, now both arguments and top.
inline Cell* unwind_onto(CallFrame* target) {
    CallFrame* old_top = g_calls.top;
    while (g_calls.top > target + 1) pop_frame();
    Cell* base = own_base_below(target + 1, old_top);
    g_stack.arguments = g_stack.top = base;
    return base;
}

[[noreturn]] void exit_uncaught(const Cell* error) {
    // The text of a message box goes to stderr.
    char report[1024];
    error_form_report(error, report, sizeof report);
    std::fflush(stdout);
    std::fputs(report, stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    std::exit(-2);
}

} // namespace

[[noreturn]] void throw_error(const Cell* error_in) {
    Cell error = *error_in;   // the cell may lie in a frame that is about to be dropped
    bool caught = false;
    if (g_calls.top > g_calls.bottom) {
        // The error's where (the word of stack_caller_frame) and stack (stack_call_depth) fields
        // are filled here once error! values carry those fields.
        Cell* entry_top = g_stack.top;
        CallFrame* found = stack_unwind_to_kind(FRAME_TRY, false);
        --g_calls.top;   // the try frame goes too
        // Raised with the data stack full, the error takes the cell below the last one: pushing
        // it at the last one would overflow and carry a stack-overflow past this try frame.
        // Every frame's base lies below that cell (the markers see to it).
        g_stack.top = std::min(entry_top, g_stack.limit - 2);
        uint32_t k = found->kind();
        caught = k == FRAME_TRY || k == FRAME_TRY_ALL;
    }
    if (!caught) exit_uncaught(&error);
    stack_push(&error);
    throw KelThrow{THROW_ERROR, error};
}

[[noreturn]] void throw_break(bool has_value, bool is_continue) {
    Err failure = is_continue ? Err::Continue : Err::Break;
    CallFrame* loop = find_target(search_start(true),
                                  [](const CallFrame* f) { return f->kind() == FRAME_LOOP; });
    if (!loop) fire_error(failure);
    Cell result = has_value && !is_continue ? *g_stack.arguments : Cell{T_UNSET, 0, 0, 0};
    Cell* base = unwind_onto(loop);
    *base = result;
    throw KelThrow{is_continue ? uint32_t(THROW_CONTINUE) : uint32_t(THROW_BREAK), result};
}

[[noreturn]] void throw_return(bool is_return, bool keep_own_frame) {
    CallFrame* marked = find_target(search_start(!keep_own_frame),
                                    [](const CallFrame* f) { return f->has_return_mark(); });
    if (!marked) fire_error(Err::Return);
    Cell result = is_return ? *g_stack.arguments : Cell{T_UNSET, 0, 0, 0};
    Cell* base = unwind_onto(marked);
    *base = result;
    throw KelThrow{is_return ? uint32_t(THROW_RETURN) : uint32_t(THROW_EXIT), result};
}

[[noreturn]] void throw_value(uint32_t code) {
    Cell value = *g_stack.arguments;
    Cell name = g_stack.arguments + 1 < g_stack.limit ? g_stack.arguments[1] : Cell{T_NONE, 0, 0, 0};
    CallFrame* start = search_start(true);
    if (!g_throw_origin) g_throw_origin = start;
    CallFrame* target = find_target(start, [](const CallFrame* f) { return f->kind() == FRAME_CATCH; });
    if (!target) fire_error(Err::Throw, &value);
    unwind_onto(target);
    stack_push(&value);
    stack_push(&name);
    throw KelThrow{code, value};
}

} // namespace kel
