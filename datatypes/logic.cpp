// logic!: true and false (word 1 is 1 or 0), with the frame truth tests that every condition of
// the language goes through.
//
// make from a number is false only for zero; to is false only for none and false itself. Logic
// values are equal or not but cannot be ordered (false sorts before true). random draws a coin
// from the generator; and~, or~, xor~ need a logic! second operand.
#include "core/series.h"
#include "core/stack.h"
#include "datatypes/scalars.h"
#include "evaluator/actions.h"
#include "evaluator/random.h"

namespace kel {

void logic_box(bool flag) { init_cell(g_stack.arguments, T_LOGIC, flag ? 1 : 0); }
Cell* logic_push(bool flag) { return stack_push(make_logic(flag)); }
Cell* logic_make_in(const Cell* block, bool flag) {
    return block_append(series_node(block), make_logic(flag));
}

static inline bool falsy(const Cell* c) {
    return c->is(T_NONE) || (c->is(T_LOGIC) && c->data1 == 0);
}

bool frame_true_value() {
    const Cell* c = g_stack.arguments;
    if (c->is(T_UNSET)) fire_error(Err::NoReturn);
    return !falsy(c);
}

bool frame_false_value() { return falsy(g_stack.arguments); }

bool logic_cell_true(const Cell* c, bool check, const Cell* arg) {
    if (check && c->is(T_UNSET)) fire_error(Err::NoValue, arg);
    return !falsy(c);
}

bool stack_top_false() {
    const Cell* c = g_stack.top > g_stack.arguments + 1 ? g_stack.top - 1 : g_stack.arguments;
    return falsy(c);
}

static void logic_to(Cell* proto, Cell* spec, TypeId) {
    if (spec->is(T_LOGIC)) *proto = make_logic(spec->data1 != 0);
    else *proto = falsy(spec) ? g_false_cell : g_true_cell;
}

static void logic_make(Cell* proto, Cell* spec, TypeId type) {
    switch (spec->type()) {
    case T_INTEGER: *proto = make_logic(integer_get_cell(spec) != 0); break;
    case T_FLOAT: case T_PERCENT: *proto = make_logic(spec->get_float() != 0.0); break;
    default: logic_to(proto, spec, type); break;
    }
}

static void logic_random(Cell* value, bool seed, bool secure, bool) {
    if (seed) {
        random_seed(value->data1 ? 1 : 0);
        *value = g_unset_cell;
        return;
    }
    int32_t r = secure ? random_secure() : random_next();
    *value = make_logic(r > 0x3FFFFFFF);
}

static int32_t logic_form(const Cell* v, Cell* buffer, bool, int32_t budget) {
    return scalar_emit(buffer, v->data1 ? "true" : "false", budget);
}

static int32_t logic_mold(const Cell* v, Cell* buffer, bool, bool all, bool, bool, int32_t budget,
                          int32_t) {
    if (all) return scalar_emit(buffer, v->data1 ? "#(true)" : "#(false)", budget);
    return logic_form(v, buffer, false, budget);
}

static int32_t logic_compare(const Cell* a, const Cell* b, int32_t op) {
    if (!b->is(T_LOGIC)) return CMP_NOT_COMPARABLE;
    switch (op) {
    case CMP_EQUAL: case CMP_NOT_EQUAL: case CMP_STRICT_EQUAL: case CMP_SORT: case CMP_CASE_SORT:
    case CMP_SAME: case CMP_SEARCH:
        return int32_t(a->data1 != 0) - int32_t(b->data1 != 0);
    default:
        return CMP_NOT_COMPARABLE;
    }
}

static void logic_complement(Cell* v) { v->data1 = v->data1 ? 0 : 1; }

template <int Op>
static void logic_bitwise(Cell* a, Cell* b) {
    if (!b->is(T_LOGIC)) fire_expect_arg(b, 1);
    bool x = a->data1 != 0, y = b->data1 != 0;
    bool r = Op == OP_AND ? (x && y) : Op == OP_OR ? (x || y) : (x != y);
    a->data1 = r ? 1 : 0;
}

void logic_init() {
    ActionEntries e = action_entries(UNSUPPORTED);
    set_entry<A_MAKE>(e, logic_make);
    set_entry<A_RANDOM>(e, logic_random);
    set_entry<A_TO>(e, logic_to);
    set_entry<A_FORM>(e, logic_form);
    set_entry<A_MOLD>(e, logic_mold);
    set_entry<A_COMPARE>(e, logic_compare);
    set_entry<A_AND>(e, logic_bitwise<OP_AND>);
    set_entry<A_COMPLEMENT>(e, logic_complement);
    set_entry<A_OR>(e, logic_bitwise<OP_OR>);
    set_entry<A_XOR>(e, logic_bitwise<OP_XOR>);
    register_datatype(T_LOGIC, T_NONE_ID, "logic!", e);
}

} // namespace kel
