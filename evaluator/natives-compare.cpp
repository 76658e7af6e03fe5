// Natives: comparison, logic and type tests, reduce and compose, memory statistics and the set
// operations.
//
// The comparison natives go through compare_truth (the compare protocol of the first value's
// type). reduce and compose evaluate through the interpreter one expression (or paren) at a time
// and put each value into their target: a new block, or with /into the given series (appended
// when it is at its tail, else inserted one value after the other at its position). The set
// operations check that both sets have one kind and hand them to that kind's routine.
#include "core/context.h"
#include "core/errors.h"
#include "core/memory.h"
#include "core/roots.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/date.h"
#include "datatypes/money.h"
#include "datatypes/scalars.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"

#include <cmath>

namespace kel {

namespace {

inline Cell* arg(uint32_t i) { return stack_arg(i); }
inline Cell* ref(const int32_t* r, uint32_t i) { return r[i] >= 0 ? arg(uint32_t(r[i])) : nullptr; }
inline bool flag(const int32_t* r, uint32_t i) { return r[i] >= 0; }
inline void set_logic(bool b) {
    Cell v = make_logic(b);
    stack_set_result(&v);
}

// ---- comparison --------------------------------------------------------------------------------------

template <int32_t Op>
void native_compare(bool, const int32_t*) {
    set_logic(compare_truth(arg(0), arg(1), Op));
}

bool same_values(const Cell* a, const Cell* b) {
    if (a->type() != b->type()) return false;
    TypeId t = a->type();
    if (is_series_type(t)) return a->data1 == b->data1 && a->data2 == b->data2;
    switch (t) {
    case T_DATATYPE: case T_LOGIC: case T_OBJECT: return a->data1 == b->data1;
    case T_CHAR: case T_INTEGER: case T_BITSET: return a->data2 == b->data2;
    case T_FLOAT: case T_PERCENT: case T_PAIR: case T_TIME:
        return a->data2 == b->data2 && a->data3 == b->data3;
    case T_TUPLE: {
        CompareFn fn = action_impl<A_COMPARE>(T_TUPLE);
        return fn && (a->header & 0x780000) == (b->header & 0x780000) && fn(a, b, CMP_EQUAL) == 0;
    }
    case T_NONE: case T_UNSET: return true;
    case T_MONEY: {
        CompareFn fn = action_impl<A_COMPARE>(T_MONEY);
        return fn && fn(a, b, CMP_SAME) == 0;
    }
    case T_ACTION: case T_NATIVE: case T_POINT2D: return a->data1 == b->data1 && a->data2 == b->data2;
    case T_OP: return a->data2 == b->data2 && a->data3 == b->data3;
    default: return a->data1 == b->data1 && a->data2 == b->data2 && a->data3 == b->data3;
    }
}

void native_same(bool, const int32_t*) { set_logic(same_values(arg(0), arg(1))); }

void native_not(bool, const int32_t*) { set_logic(!truthy(arg(0))); }

void native_type(bool, const int32_t* r) {
    TypeId t = arg(0)->type();
    if (flag(r, 0)) {
        Cell w = g_datatypes[t].word;
        if (w.is(T_UNSET)) w = *context_global_word(symbol_make(g_datatypes[t].name));
        stack_set_result(&w);
        return;
    }
    Cell d = make_datatype(t);
    stack_set_result(&d);
}

void native_complement_q(bool, const int32_t*) {
    if (!arg(0)->is(T_BITSET)) fire_expect_arg(arg(0), 0);
    set_logic(bitset_complemented(arg(0)));
}

// The sign of a number: -1, 0 or 1 (0 for NaN and both zeros).
int32_t number_sign(const Cell* v) {
    switch (v->type()) {
    case T_INTEGER: return integer_sign(integer_get_cell(v));
    case T_FLOAT: case T_PERCENT: case T_TIME: {
        double d = v->get_float();
        return (d > 0.0) - (d < 0.0);
    }
    case T_MONEY: return money_signum(v);
    default: fire_expect_arg(v, 0);
    }
}

void native_negative(bool, const int32_t*) { set_logic(number_sign(arg(0)) < 0); }
void native_positive(bool, const int32_t*) { set_logic(number_sign(arg(0)) > 0); }
void native_sign(bool, const int32_t*) {
    Cell v = make_integer(number_sign(arg(0)));
    stack_set_result(&v);
}

// ---- reduce and compose -------------------------------------------------------------------------------

// Where reduce and compose put their values: a new block, or the /into series, appended at its
// tail or inserted one value after another from its position.
struct Target {
    Rooted series;    // the target at its current insertion point
    Rooted start;     // the position the result reports when appending
    bool insert;

    explicit Target(const Cell* into, int32_t room)
        : series(make_unset()), start(make_unset()), insert(false) {
        if (into) {
            series.value = *into;
            start.value = *into;
            insert = length_typed(into) > 0;
        } else {
            block_make_at(series.get(), room);
            start.value = series.value;
        }
    }

    // Puts a copy of the value (a cell on the data stack).
    void put(const Cell* value) {
        Cell* scratch = stack_push(series.value);
        if (insert) {
            insert_typed(scratch, value, -1, true, 1, false);
            series.value.data1 += 1;
        } else {
            append_typed(scratch, value, -1, true, 1);
        }
        stack_pop();
    }

    // Puts every value of a block from its head.
    void splice(const Cell* block) {
        Rooted source(*block);
        detach(source);
        for (uint32_t i = series_index(source.get()); i < value_series(source.get())->length(); ++i) {
            Cell* v = stack_push(*value_series(source.get())->cell_at(i));
            put(v);
            stack_pop();
        }
    }

    Cell result() const { return insert ? series.value : start.value; }

    // Values read from the target itself are read from a copy taken before anything is put:
    // the block would grow ahead of the reading and never reach its end.
    void detach(Rooted& source) {
        if (!is_series_type(series.value.type()) || series_node(series.get()) != series_node(source.get()))
            return;
        source.value = *block_clone(source.get(), false, false);
        stack_pop();
    }
};

} // namespace

void reduce_into(const Cell* value, const Cell* into) {
    Rooted code(*value);
    if (!code->is(T_BLOCK)) {
        if (is_any_function(code->type())) {
            if (!into) {
                stack_set_result(code.get());
                return;
            }
            Target target(into, 1);
            target.put(code.get());
            Cell r = target.result();
            stack_set_result(&r);
            return;
        }
        // one value as a one-value expression
        Cell* holder = block_push_only(1);
        block_append_value(holder, code.get());
        Rooted one(*holder);
        eval_step(one.get(), 0, -1, true);
        if (!into) {
            stack_set_result(stack_top());
            return;
        }
        Cell* v = stack_top();
        Target target(into, 1);
        target.put(v);
        Cell r = target.result();
        stack_set_result(&r);
        return;
    }
    Target target(into, block_rs_length(code.get()));
    target.detach(code);
    int32_t pos = int32_t(series_index(code.get()));
    while (pos < int32_t(value_series(code.get())->length())) {
        pos = eval_step(code.get(), pos, -1, true);
        target.put(stack_top());
        stack_pop();
    }
    Cell r = target.result();
    stack_set_result(&r);
}

namespace {

void native_reduce(bool, const int32_t* r) { reduce_into(arg(0), ref(r, 0)); }

void compose_block(const Cell* block, Target& target, bool deep, bool only) {
    Rooted source(*block);
    target.detach(source);
    for (uint32_t i = series_index(source.get()); i < value_series(source.get())->length(); ++i) {
        Cell* v = stack_push(*value_series(source.get())->cell_at(i));
        if (v->is(T_BLOCK) && deep) {
            Target inner(nullptr, block_rs_length(v));
            compose_block(v, inner, deep, only);
            *v = inner.result();
            target.put(v);
        } else if (v->is(T_PAREN)) {
            if (block_rs_length(v) > 0) {
                Cell* base = g_stack.top;
                eval(v, false);
                Cell* result = stack_top();
                if (result->is(T_UNSET)) {
                    // dropped
                } else if (result->is(T_BLOCK) && !only) {
                    target.splice(result);
                } else {
                    target.put(result);
                }
                g_stack.top = base;
            }
        } else {
            target.put(v);
        }
        stack_pop();
    }
}

void native_compose(bool, const int32_t* r) {
    Cell* value = arg(0);
    if (!value->is(T_BLOCK)) {
        Cell expected = make_datatype(T_BLOCK), got = make_datatype(value->type());
        fire_error(Err::ExpectVal, &expected, &got);
    }
    Target target(ref(r, 2), block_rs_length(value));
    compose_block(value, target, flag(r, 0), flag(r, 1));
    Cell result = target.result();
    stack_set_result(&result);
}

// ---- stats ----------------------------------------------------------------------------------------------

void native_stats(bool, const int32_t* r) {
    if (flag(r, 0)) fire_error(Err::NotDone);   // /show: the environment's statistics printer
    if (flag(r, 1)) {
        Cell* block = block_push_only(5);
        memory_stats(block, 2);
        stack_set_result(block);
        return;
    }
    double bytes = memory_stats(nullptr, 1);
    Cell v = bytes > 2147483647.0 ? make_float(bytes) : make_integer(int32_t(bytes));
    stack_set_result(&v);
}

// ---- set operations ---------------------------------------------------------------------------------------

enum SetOp : int32_t { SET_UNIQUE = 8, SET_UNION, SET_INTERSECT, SET_EXCLUDE, SET_DIFFERENCE };

bool block_kind(TypeId t) { return t == T_BLOCK || t == T_HASH; }

template <int32_t Op>
void native_set_op(bool, const int32_t* r) {
    Cell* a = arg(0);
    Cell* b = Op == SET_UNIQUE ? nullptr : arg(1);
    bool case_ = flag(r, 0);
    const Cell* skip = ref(r, 1);
    TypeId ta = a->type();
    if (b && ta != b->type() && !(block_kind(ta) && block_kind(b->type()))) {
        Cell x = make_datatype(ta), y = make_datatype(b->type());
        fire_error(Err::ExpectVal, &x, &y);
    }
    switch (ta) {
    case T_STRING:
        string_set_operation(a, b, Op, case_, skip);
        break;
    case T_TYPESET: {
        Cell none_set = make_cell(T_TYPESET);
        typeset_set_operation(a, b ? b : &none_set, Op);
        break;
    }
    case T_BLOCK: case T_HASH:
        block_set_operation(a, b, Op, case_, skip);
        break;
    case T_BITSET:
        bitset_set_operation(a, b ? b : a, Op);
        break;
    case T_DATE:   // difference of two dates: the time! between them
        if (Op != SET_DIFFERENCE) fire_expect_arg(a, 0);
        date_difference(a, b);
        break;
    default:
        fire_expect_arg(a, 0);
    }
    stack_keep_result();
}

} // namespace

void natives_compare_register() {
    KEL_NATIVE_SLOT("equal?", native_compare<CMP_EQUAL>);
    KEL_NATIVE_SLOT("not-equal?", native_compare<CMP_NOT_EQUAL>);
    KEL_NATIVE_SLOT("strict-equal?", native_compare<CMP_STRICT_EQUAL>);
    KEL_NATIVE_SLOT("lesser?", native_compare<CMP_LESSER>);
    KEL_NATIVE_SLOT("greater?", native_compare<CMP_GREATER>);
    KEL_NATIVE_SLOT("lesser-or-equal?", native_compare<CMP_LESSER_EQUAL>);
    KEL_NATIVE_SLOT("greater-or-equal?", native_compare<CMP_GREATER_EQUAL>);
    KEL_NATIVE_SLOT("same?", native_same);
    KEL_NATIVE_SLOT("not", native_not);
    KEL_NATIVE_SLOT("type?", native_type);
    KEL_NATIVE_SLOT("reduce", native_reduce);
    KEL_NATIVE_SLOT("compose", native_compose);
    KEL_NATIVE_SLOT("stats", native_stats);
    KEL_NATIVE_SLOT("union", native_set_op<SET_UNION>);
    KEL_NATIVE_SLOT("intersect", native_set_op<SET_INTERSECT>);
    KEL_NATIVE_SLOT("unique", native_set_op<SET_UNIQUE>);
    KEL_NATIVE_SLOT("difference", native_set_op<SET_DIFFERENCE>);
    KEL_NATIVE_SLOT("exclude", native_set_op<SET_EXCLUDE>);
    KEL_NATIVE_SLOT("complement?", native_complement_q);
    KEL_NATIVE_SLOT("negative?", native_negative);
    KEL_NATIVE_SLOT("positive?", native_positive);
    KEL_NATIVE_SLOT("sign?", native_sign);
}

} // namespace kel
