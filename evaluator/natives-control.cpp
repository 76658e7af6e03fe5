// Natives: control flow, loops, do, non-local exits and error natives, transcode and apply; and the
// loop-step services that loops share.
//
// Each native reads its arguments from the current frame (stack_arg(i)) and leaves its result in
// the frame's result cell. Blocks are evaluated through the interpreter (eval with chain: the
// block's last value becomes the native's result). Loops open one loop frame before their first
// round and run each round through stack_loop_pass, which receives break and continue aimed at
// that frame; every other exit passes through untouched (core/stack.h). Each round polls the
// interrupt flag.
#include "evaluator/interpreter.h"

#include "core/context.h"
#include "core/errors.h"
#include "core/roots.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/support.h"
#include "core/symbol.h"
#include "datatypes/datatype.h"
#include "datatypes/function.h"
#include "datatypes/image.h"
#include "datatypes/map.h"
#include "datatypes/vector.h"
#include "evaluator/actions.h"
#include "evaluator/lexer.h"
#include "evaluator/natives.h"

#include <cmath>

namespace kel {

namespace {

inline Cell* arg(uint32_t i) { return stack_arg(i); }
inline Cell body_word() { return Cell{T_WORD, 0, g_sym_body, 0}; }
inline Cell native_word(const char* name) { return *context_global_word(symbol_make(name)); }

void set_none() { stack_set_result(&g_none_cell); }
void set_unset() { stack_set_result(&g_unset_cell); }

// The value of a global word by name, or null when it has none.
const Cell* global_value(const char* name) {
    Cell w = *context_global_word(symbol_make(name));
    if (int32_t(w.data3) < 0) return nullptr;
    const Cell* v = word_value_in(&w, g_global_context);
    return v->is(T_UNSET) ? nullptr : v;
}

// A loop count: integer!, or float! checked as float-to-int-checked.
int32_t loop_count(const Cell* c) { return float_to_int_checked(c); }

// ---- Conditionals ----------------------------------------------------------------------------

void native_if(bool, const int32_t*) {
    if (truthy(arg(0))) eval(arg(1), true);
    else set_none();
}
void native_unless(bool, const int32_t*) {
    if (!truthy(arg(0))) eval(arg(1), true);
    else set_none();
}
void native_either(bool, const int32_t*) {
    eval(true_value(arg(0)) ? arg(1) : arg(2), true);
}

void native_any(bool, const int32_t*) {
    Rooted block(*arg(0));
    int32_t pos = int32_t(series_index(block.get()));
    while (pos < int32_t(value_series(block.get())->length())) {
        pos = eval_step(block.get(), pos, -1, true);
        if (truthy(stack_top())) {
            stack_set_result(stack_top());
            return;
        }
        stack_pop(1);
    }
    set_none();
}

void native_all(bool, const int32_t*) {
    Rooted block(*arg(0));
    int32_t pos = int32_t(series_index(block.get()));
    if (pos >= int32_t(value_series(block.get())->length())) return set_none();
    while (pos < int32_t(value_series(block.get())->length())) {
        pos = eval_step(block.get(), pos, -1, true);
        if (!truthy(stack_top())) return set_none();
        Cell v = *stack_top();
        stack_pop(1);
        *arg(0) = v;
    }
}

// ---- switch and case ------------------------------------------------------------------------

bool values_equal_same_type(const Cell* a, const Cell* b) {
    if (a->type() != b->type()) return false;
    CompareFn f = action_impl<A_COMPARE>(a->type());
    if (!f) return false;
    return f(a, b, CMP_EQUAL) == 0;
}

void native_switch(bool, const int32_t* refs) {
    Rooted value(*arg(0));
    Rooted cases(*arg(1));
    Series* s = value_series(cases.get());
    uint32_t n = s->length();
    int32_t found = -1;
    if (!value->is(T_BLOCK)) {
        for (uint32_t i = series_index(cases.get()); i < n; ++i) {
            const Cell* c = value_series(cases.get())->cell_at(i);
            if (c->is(T_BLOCK)) continue;
            if (values_equal_same_type(value.get(), c)) {
                found = int32_t(i);
                break;
            }
        }
    }
    if (found >= 0) {
        for (uint32_t i = uint32_t(found) + 1; i < n; ++i) {
            const Cell* c = value_series(cases.get())->cell_at(i);
            if (c->is(T_BLOCK)) {
                Cell b = *c;
                eval(&b, true);
                return;
            }
        }
        return set_none();
    }
    if (refs[0] >= 0) {
        Cell b = *arg(uint32_t(refs[0]));
        eval(&b, true);
        return;
    }
    set_none();
}

void native_case(bool, const int32_t* refs) {
    bool all = refs[0] >= 0;
    Rooted block(*arg(0));
    int32_t pos = int32_t(series_index(block.get()));
    auto length = [&] { return int32_t(value_series(block.get())->length()); };
    if (pos >= length()) return set_none();
    Rooted result(make_none());
    while (pos < length()) {
        pos = eval_step(block.get(), pos, -1, true);
        Cell cond = *stack_top();
        stack_pop(1);
        if (pos >= length()) {
            Cell w = native_word("case");
            fire_error(Err::NeedValue, &w);
        }
        if (all) result.value = make_none();
        if (!true_value(&cond)) {
            ++pos;
            continue;
        }
        Cell branch = *value_series(block.get())->cell_at(uint32_t(pos));
        if (branch.is(T_BLOCK)) {
            ++pos;
            eval(&branch, false);
        } else {
            pos = eval_step(block.get(), pos, -1, true);
        }
        result.value = *stack_top();
        stack_pop(1);
        if (!all) break;
    }
    stack_set_result(result.get());
}

// ---- Loops ------------------------------------------------------------------------------------

// Opens the loop frame; returns the call top that identifies it.
inline const CallFrame* open_loop() {
    Cell w = body_word();
    stack_mark_loop(&w);
    return stack_call_top();
}

// One round of a body in the loop frame: its value is the frame's result cell.
inline LoopExit run_body(const CallFrame* at, const Cell* body) {
    interp_poll_halt();
    stack_reset();
    return stack_loop_pass(at, [&] { eval(body, false); });
}

void native_while(bool, const int32_t*) {
    Rooted cond(*arg(0));
    Rooted body(*arg(1));
    const CallFrame* at = open_loop();
    while (true) {
        interp_poll_halt();
        stack_reset();
        LoopExit e = stack_loop_pass(at, [&] { eval(cond.get(), false); });
        if (e != LoopExit::Normal) {
            stack_unwind();
            fire_error(Err::WhileCond);
        }
        if (!true_value(stack_top())) break;
        if (run_body(at, body.get()) == LoopExit::Break) break;
    }
    stack_unwind();
    set_unset();
}

void native_until(bool, const int32_t*) {
    Rooted body(*arg(0));
    const CallFrame* at = open_loop();
    while (true) {
        LoopExit e = run_body(at, body.get());
        if (e == LoopExit::Break) break;
        if (e == LoopExit::Continue) continue;
        if (true_value(g_stack.arguments)) break;
    }
    stack_unwind_last();
}

void native_loop(bool, const int32_t*) {
    int32_t count = loop_count(arg(0));
    if (count < 1) return set_none();
    Rooted body(*arg(1));
    const CallFrame* at = open_loop();
    for (int32_t i = 0; i < count; ++i)
        if (run_body(at, body.get()) == LoopExit::Break) break;
    stack_unwind_last();
}

void native_repeat(bool, const int32_t*) {
    int32_t count = loop_count(arg(1));
    if (count < 1) return set_none();
    uint32_t word_i = stack_index(arg(0));
    Rooted body(*arg(2));
    const CallFrame* at = open_loop();
    // The counter stops at the count: stepping past it would overflow for a count of 2147483647.
    for (int32_t i = 1;; ++i) {
        Cell counter = make_integer(i);
        word_set(stack_at_index(word_i), &counter);
        if (run_body(at, body.get()) == LoopExit::Break || i == count) break;
    }
    stack_unwind_last();
}

void native_forever(bool, const int32_t*) {
    Rooted body(*arg(0));
    const CallFrame* at = open_loop();
    while (run_body(at, body.get()) != LoopExit::Break) {}
    stack_unwind_last();
}

} // namespace

// ---- Loop-step services -----------------------------------------------------------------------

bool series_more(const Cell* series) {
    TypeId t = series->type();
    if (t == T_IMAGE) return series_index(series) < image_pixel_count(series);
    if (!is_series_type(t) && t != T_MAP) return false;
    return series_index(series) < value_series(series)->length();
}

// The element of a series at index i as a value (cells for blocks, chars for strings, integers
// for binaries, numbers of the element type for vectors).
void series_element(const Cell* series, uint32_t i, Cell* out) {
    TypeId t = series->type();
    if (t == T_IMAGE) {
        *out = image_get_pixel(series, i);
        return;
    }
    if (t == T_VECTOR) {
        *out = vector_element_at(series, i);
        return;
    }
    Series* s = value_series(series);
    if (is_any_block(t) || t == T_MAP) {
        *out = *s->cell_at(i);
        return;
    }
    uint32_t unit = s->unit();
    const uint8_t* p = s->head_ptr() + uint64_t(i) * unit;
    uint32_t v = unit == 1 ? *p : unit == 2 ? *reinterpret_cast<const uint16_t*>(p)
                                            : *reinterpret_cast<const uint32_t*>(p);
    if (t == T_BINARY) *out = make_integer(int32_t(v));
    else *out = Cell{T_CHAR, 0, v, 0};
}

void set_many(const Cell* words_in, const Cell* value_in, uint32_t count, bool any, bool only,
              bool some) {
    Rooted words(*words_in);
    Rooted value(*value_in);
    TypeId vt = value->type();
    bool block_like = (is_any_block(vt) || vt == T_MAP) && !only;
    auto word_at = [&](uint32_t i) { return value_series(words.get())->cell_at(series_index(words.get()) + i); };
    auto source = [&](uint32_t i, Cell* out) {
        uint32_t at = series_index(value.get()) + i;
        if (at < value_series(value.get())->length()) *out = *value_series(value.get())->cell_at(at);
        else *out = make_none();
    };
    if (block_like) {
        for (uint32_t i = 0; i < count; ++i) {
            Cell w = *word_at(i);
            TypeId t = w.type();
            if (t != T_WORD && t != T_SET_WORD && t != T_LIT_WORD && t != T_GET_WORD)
                fire_error(Err::InvalidArg, &w);
            Cell v;
            source(i, &v);
            if (!any && v.is(T_UNSET)) fire_error(Err::NeedValue, &w);
        }
    }
    for (uint32_t i = 0; i < count; ++i) {
        Cell v;
        if (block_like) source(i, &v);
        else v = value.value;
        Cell w = *word_at(i);
        if (some && v.is(T_NONE)) continue;
        TypeId t = w.type();
        if (t != T_WORD && t != T_SET_WORD && t != T_LIT_WORD && t != T_GET_WORD)
            fire_error(Err::InvalidArg, &w);
        Rooted wr(w);
        word_set(wr.get(), &v);
    }
}

namespace {

// foreach and remove-each share the stepping: the series (rooted) advances by the number of words.
struct ForEach {
    Rooted words;
    Rooted series;
    uint32_t n;
    bool single;

    ForEach(const Cell* w, const Cell* s) : words(*w), series(*s), n(1), single(true) {
        if (w->is(T_BLOCK)) {
            single = false;
            n = value_series(w)->length() - std::min(value_series(w)->length(), series_index(w));
            // a map! is walked as key and value: exactly two words
            if (n == 0 || (s->is(T_MAP) && n != 2)) fire_error(Err::InvalidArg, w);
        } else if (s->is(T_MAP)) {
            fire_error(Err::InvalidArg, w);
        }
    }
    // Sets the words from the series at its index and advances it; false at the tail.
    bool next() {
        if (series->is(T_MAP)) return next_pair();
        if (!series_more(series.get())) return false;
        uint32_t at = series_index(series.get());
        uint32_t len = series->is(T_IMAGE) ? image_pixel_count(series.get()) : value_series(series.get())->length();
        for (uint32_t k = 0; k < n; ++k) {
            Cell v = make_none();
            if (at + k < len) series_element(series.get(), at + k, &v);
            Cell w = single ? words.value : *value_series(words.get())->cell_at(series_index(words.get()) + k);
            Rooted wr(w);
            word_set(wr.get(), &v);
        }
        series->data1 = at + n;
        return true;
    }
    // A map!'s keys and values in turn: removed entries (value header 0) are passed over, a
    // set-word key is given as a word.
    bool next_pair() {
        uint32_t at = series_index(series.get());
        auto skip_holes = [&](uint32_t p) {
            Series* s = value_series(series.get());
            while (p % 2 == 0 && p + 1 < s->length() && s->cell_at(p + 1)->header == 0) p += 2;
            return p;
        };
        at = skip_holes(at);
        if (at >= value_series(series.get())->length()) return false;
        for (uint32_t k = 0; k < n; ++k) {
            at = skip_holes(at);
            Cell v = make_none();
            if (at < value_series(series.get())->length()) {
                v = *value_series(series.get())->cell_at(at);
                v.header &= ~CELL_NEWLINE;
                if (at % 2 == 0 && v.is(T_SET_WORD)) set_cell_type(&v, T_WORD);
                else if (at % 2 == 0 && is_series_type(v.type())) map_normalize_key(&v);   // a copy
                ++at;
            }
            Cell w = single ? words.value : *value_series(words.get())->cell_at(series_index(words.get()) + k);
            Rooted wr(w);
            word_set(wr.get(), &v);
        }
        series->data1 = at;
        return true;
    }
};

void native_foreach(bool, const int32_t*) {
    ForEach fe(arg(0), arg(1));
    Rooted body(*arg(2));
    *arg(0) = make_unset();
    const CallFrame* at = open_loop();
    stack_reset();
    *stack_push_slot() = make_unset();
    while (fe.next())
        if (run_body(at, body.get()) == LoopExit::Break) break;
    stack_unwind_last();
}

void native_remove_each(bool, const int32_t*) {
    ForEach fe(arg(0), arg(1));
    Rooted body(*arg(2));
    Rooted original(*arg(1));
    const CallFrame* at = open_loop();
    while (true) {
        uint32_t before = series_index(fe.series.get());
        if (!fe.next()) break;
        LoopExit e = run_body(at, body.get());
        if (e == LoopExit::Break) break;
        if (e == LoopExit::Normal && truthy(g_stack.arguments)) {
            // remove the round's values: the remove action with /part over the words' count
            Cell s = fe.series.value;
            s.data1 = before;
            uint32_t len = value_series(&s)->length();
            uint32_t cnt = std::min(fe.n, len - before);
            RemoveFn rm = action_impl<A_REMOVE>(s.type());
            if (!rm) fire_error(Err::NotDone);
            Cell* sc = stack_push(&s);
            Cell part = make_integer(int32_t(cnt));
            Cell* pc = stack_push(&part);
            rm(sc, pc, nullptr);
            fe.series->data1 = before;
        }
    }
    stack_unwind();
    stack_set_result(original.get());
}

void native_forall(bool, const int32_t*) {
    Rooted word(*arg(0));
    Rooted body(*arg(1));
    const Cell* v = word_get(word.get());
    if (!is_series_type(v->type())) {
        Cell n = native_word("forall");
        Cell dt = make_datatype(v->type());
        Cell w = native_word("word");
        fire_error(Err::ExpectArg, &n, &dt, &w);
    }
    Rooted original(*v);
    const CallFrame* at = open_loop();
    bool broke = false;
    while (true) {
        const Cell* cur = word_get(word.get());
        if (!is_series_type(cur->type()) || series_node(cur) != series_node(original.get())) {
            Cell bad = *cur;
            fire_error(Err::BadLoopSeries, &bad);
        }
        if (!series_more(cur)) break;
        LoopExit e = run_body(at, body.get());
        if (e == LoopExit::Break) { broke = true; break; }
        cur = word_get(word.get());
        if (!is_series_type(cur->type()) || series_node(cur) != series_node(original.get())) {
            Cell bad = *cur;
            fire_error(Err::BadLoopSeries, &bad);
        }
        Cell next = *cur;
        next.data1 += 1;
        word_set(word.get(), &next);
    }
    stack_unwind_last();
    if (!broke) word_set(word.get(), original.get());
}

// ---- do ---------------------------------------------------------------------------------------------

// Calls a global function by name with the given arguments; its result becomes the native's.
void call_global(const char* name, const Cell* args, uint32_t count) {
    const Cell* f = global_value(name);
    if (!f || !is_any_function(f->type())) fire_error(Err::NotDone);
    Cell fn = *f;
    Cell w = native_word(name);
    call_with_args(&fn, args, count, &w);
    stack_set_result(stack_top());
}

void do_value(const Cell* value_in, const int32_t* refs) {
    Rooted value(*value_in);
    switch (value->type()) {
    case T_BLOCK: case T_PAREN: case T_HASH: {
        if (refs[0] >= 0) {
            Cell args[2] = {value.value, make_none()};
            call_global("expand", args, 2);
            value.value = *g_stack.arguments;
        }
        if (refs[2] >= 0) {
            uint32_t word_i = uint32_t(refs[2]);
            int32_t next = do_next(value.get());
            Cell result = *g_stack.arguments;
            Cell pos = value.value;
            pos.data1 = uint32_t(next);
            Rooted r(result);
            word_set(stack_arg(word_i), &pos);
            stack_set_result(r.get());
            return;
        }
        eval(value.get(), true);
        return;
    }
    case T_PATH: case T_LIT_PATH: case T_GET_PATH: {
        Cell p = value.value;
        set_cell_type(&p, T_PATH);
        Rooted empty(make_series(T_BLOCK, alloc_cells(1)));
        eval_path(&p, empty.get(), 0, 0, false, false, nullptr);
        return;
    }
    case T_STRING: {
        Rooted block(make_unset());
        LexerCall call;
        lexer_load_string(block.get(), value.get(), -1, call);
        eval(block.get(), true);
        return;
    }
    case T_FILE: case T_URL: {
        Cell args[2] = {value.value, refs[1] >= 0 ? *stack_arg(uint32_t(refs[1])) : make_none()};
        call_global("do-file", args, 2);
        return;
    }
    case T_ERROR:
        throw_error(value.get());
    default: {
        // one value as an expression: a word gives its value (a function it names is called with
        // no arguments to take); a function value is returned as it is
        Rooted code(make_series(T_BLOCK, alloc_cells(1)));
        block_append(series_node(code.get()), value.value);
        eval_expression(code.get(), 0, 1, true, false, true);
        return;
    }
    }
}

// Resets the trace state when an exit leaves a do/trace.
struct TraceGuard {
    bool active;
    ~TraceGuard() {
        if (active && g_interp.trace_run) {
            g_interp.tracing = 0;
            g_interp.trace_run = 0;
            *interp_trace_callback() = make_none();
        }
    }
};

void native_do(bool, const int32_t* refs) {
    if (refs[3] >= 0) {
        Cell cb = *stack_arg(uint32_t(refs[3]));
        TraceGuard guard{trace_begin(&cb)};
        do_value(arg(0), refs);
        if (guard.active) {
            trace_end();
            guard.active = false;
        }
        return;
    }
    do_value(arg(0), refs);
}

// ---- Non-local exits --------------------------------------------------------------------------------

// break and continue do not cross a function boundary: with a return-marked frame before the
// nearest loop frame they raise throw/break or throw/continue.
void check_loop_reachable(bool is_continue) {
    CallFrame* p = g_calls.top;
    if (p > g_calls.bottom) --p;   // the native's own frame
    while (p > g_calls.bottom) {
        CallFrame* f = p - 1;
        if (f->kind() == FRAME_LOOP) return;
        if (f->has_return_mark() || f->kind() == FRAME_TRY_ALL) break;
        p = f;
    }
    fire_error(is_continue ? Err::Continue : Err::Break);
}

void native_break(bool, const int32_t* refs) {
    check_loop_reachable(false);
    if (refs[0] >= 0) *arg(0) = *arg(uint32_t(refs[0]));
    throw_break(refs[0] >= 0, false);
}
void native_continue(bool, const int32_t*) {
    check_loop_reachable(true);
    throw_break(false, true);
}
void native_exit(bool, const int32_t*) { throw_return(false, false); }
void native_return(bool, const int32_t*) { throw_return(true, false); }

void native_throw(bool, const int32_t* refs) {
    if (refs[0] < 0) {
        g_stack.top = g_stack.arguments + 1;
        *stack_push_slot() = make_unset();
    }
    if (g_interp.tracing) fire_event(EV_THROW, nullptr, -1, nullptr, arg(0));
    throw_value(THROW_VALUE);
}

bool catch_name_matches(const Cell* catch_name, const Cell* thrown) {
    if (!is_any_word(thrown->type())) return false;
    uint32_t sym = symbol_resolve(thrown->data2);
    if (catch_name->is(T_BLOCK)) {
        Series* s = value_series(catch_name);
        for (uint32_t i = series_index(catch_name); i < s->length(); ++i) {
            const Cell* w = s->cell_at(i);
            if (!is_any_word(w->type())) {
                Cell nm = native_word("name");
                Cell b = *catch_name;
                fire_error(Err::InvalidRefineArg, &nm, &b);
            }
            if (symbol_resolve(w->data2) == sym) return true;
        }
        return false;
    }
    return symbol_resolve(catch_name->data2) == sym;
}

void native_catch(bool, const int32_t* refs) {
    Rooted block(*arg(0));
    Rooted name(refs[0] >= 0 ? *arg(uint32_t(refs[0])) : make_none());
    Cell w = body_word();
    stack_mark_catch(&w);
    const CallFrame* at = stack_call_top();
    bool thrown = stack_catch_throw(at, [&] { eval(block.get(), false); });
    if (!thrown) {
        stack_unwind_last();
        return;
    }
    Cell value = g_stack.arguments[0];
    Cell thrown_name = g_stack.arguments[1];
    stack_unwind();
    if (refs[0] >= 0 && !catch_name_matches(name.get(), &thrown_name)) {
        g_stack.arguments[0] = value;
        g_stack.arguments[1] = thrown_name;
        g_stack.top = g_stack.arguments + 2;
        throw_value(THROW_VALUE);
    }
    stack_set_result(&value);
    if (g_interp.tracing) fire_event(EV_CATCH, nullptr, -1, nullptr, &value);
}

void native_try(bool, const int32_t* refs) {
    Rooted block(*arg(0));
    Cell w = body_word();
    bool all = refs[0] >= 0;
    if (stack_try(&w, all, [&] { eval(block.get(), false); })) stack_set_result(stack_top());
    else stack_keep_last_error();
}

// ---- transcode and apply ----------------------------------------------------------------------------

void native_transcode(bool, const int32_t* refs) {
    // refinements: /next /one /prescan /scan /part length /into dst /trace callback
    Rooted src(*arg(0));
    LexerCall call;
    if (refs[2] >= 0) call.flags |= LEX_PRESCAN;
    if (refs[3] >= 0) call.flags |= LEX_SCAN;
    if (refs[0] >= 0 || refs[1] >= 0) call.flags |= LEX_ONE;
    Rooted into(refs[5] >= 0 ? *arg(uint32_t(refs[5])) : make_none());
    if (refs[5] >= 0) call.into = into.get();
    Rooted callback(refs[6] >= 0 ? *arg(uint32_t(refs[6])) : make_none());
    if (refs[6] >= 0) {
        call.callback = callback.get();
        call.input = src.get();
    }
    bool binary = src->is(T_BINARY);
    int32_t length = -1;
    if (refs[4] >= 0) {
        const Cell* part = arg(uint32_t(refs[4]));
        if (part->is(T_INTEGER)) {
            length = std::max(0, cell_integer(part));
        } else if (part->type() == src->type() && series_node(part) == series_node(src.get())) {
            length = std::max(0, int32_t(series_index(part)) - int32_t(series_index(src.get())));
        } else {
            Cell p = *part;
            fire_error(Err::InvalidArg, &p);
        }
    }
    if (binary) {
        // a UTF-8 byte-order mark at the index is skipped
        Series* s = value_series(src.get());
        uint32_t i = series_index(src.get());
        const uint8_t* p = s->head_ptr() + i;
        if (s->length() >= i + 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
            src->data1 = i + 3;
            if (length >= 0) length = std::max(0, length - 3);
        }
    }
    Rooted result(make_unset());
    LexerReport rep = binary ? lexer_load_binary(result.get(), src.get(), length, call)
                             : lexer_load_string(result.get(), src.get(), length, call);
    if (refs[2] >= 0 || refs[3] >= 0 || refs[1] >= 0) {
        stack_set_result(result.get());
        return;
    }
    if (refs[0] >= 0) {
        // a block of the value read and the input advanced past it
        Rooted out(make_series(T_BLOCK, alloc_cells(2)));
        block_append(series_node(out.get()), result.value);
        Cell rest = src.value;
        rest.data1 += rep.units;
        block_append(series_node(out.get()), rest);
        stack_set_result(out.get());
        return;
    }
    stack_set_result(result.get());
}

void native_apply(bool, const int32_t* refs) {
    Rooted f(*arg(0));
    Rooted args(*arg(1));
    Rooted path(make_none());
    Rooted name(make_none());
    Cell fn;
    if (is_any_word(f->type())) {
        name.value = f.value;
        set_cell_type(name.get(), T_WORD);
        fn = *word_get(f.get());
    } else if (is_any_path(f->type())) {
        path.value = f.value;
        set_cell_type(path.get(), T_PATH);
        Series* s = value_series(path.get());
        if (series_index(path.get()) >= s->length()) fire_error(Err::InvalidArg, f.get());
        name.value = *s->cell_at(series_index(path.get()));
        if (!name->is(T_WORD)) fire_error(Err::InvalidArg, f.get());
        fn = *word_get(name.get());
    } else {
        fn = f.value;
    }
    if (!is_any_function(fn.type())) fire_error(Err::InvalidArg, f.get());
    if (fn.is(T_OP)) set_cell_type(&fn, function_kind(&fn)), fn.header &= ~CELL_OP_TYPE_MASK;
    int32_t mode = refs[0] >= 0 ? CALL_ALL : CALL_REFINES;
    if (refs[1] >= 0) mode |= CALL_SAFER;
    Rooted fnr(fn);
    eval_code(fnr.get(), args.get(), int32_t(series_index(args.get())), -1, false,
              name->is(T_WORD) ? name.get() : nullptr, path->is(T_PATH) ? path.get() : nullptr,
              int32_t(series_index(path.get())) + 1, nullptr, mode, false);
}

} // namespace

void natives_control_register() {
    KEL_NATIVE_SLOT("if", native_if);
    KEL_NATIVE_SLOT("unless", native_unless);
    KEL_NATIVE_SLOT("either", native_either);
    KEL_NATIVE_SLOT("any", native_any);
    KEL_NATIVE_SLOT("all", native_all);
    KEL_NATIVE_SLOT("while", native_while);
    KEL_NATIVE_SLOT("until", native_until);
    KEL_NATIVE_SLOT("loop", native_loop);
    KEL_NATIVE_SLOT("repeat", native_repeat);
    KEL_NATIVE_SLOT("forever", native_forever);
    KEL_NATIVE_SLOT("foreach", native_foreach);
    KEL_NATIVE_SLOT("forall", native_forall);
    KEL_NATIVE_SLOT("remove-each", native_remove_each);
    KEL_NATIVE_SLOT("switch", native_switch);
    KEL_NATIVE_SLOT("case", native_case);
    KEL_NATIVE_SLOT("do", native_do);
    KEL_NATIVE_SLOT("break", native_break);
    KEL_NATIVE_SLOT("continue", native_continue);
    KEL_NATIVE_SLOT("exit", native_exit);
    KEL_NATIVE_SLOT("return", native_return);
    KEL_NATIVE_SLOT("throw", native_throw);
    KEL_NATIVE_SLOT("catch", native_catch);
    KEL_NATIVE_SLOT("try", native_try);
    KEL_NATIVE_SLOT("transcode", native_transcode);
    KEL_NATIVE_SLOT("apply", native_apply);
}

} // namespace kel
