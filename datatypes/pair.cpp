// pair!: two 32-bit integers written 10x20, used for sizes and offsets.
//
// Arithmetic runs component by component through the integer core (integer_math_int32), which
// never wraps: when either component cannot stay an integer (an add, subtract or multiply that
// leaves 32 bits, a divide that leaves a remainder, a float operand that is not integral under
// add, subtract or remainder, any float under multiply or divide) the whole operation is redone
// on the point2D! of the pair, so the result is a point2D!. Bitwise operations take the integer
// part of a float operand. Floats become components only through float_to_int_checked, so an
// out-of-range or NaN value raises instead of wrapping.
//
// Also here: the helpers the compound types share (the one value a text loads as, the write-back
// of a changed value after a set through a path, the swapped arithmetic that integer! and float!
// hand pair and point operands to).
#include "datatypes/compound.h"

#include "core/context.h"
#include "core/errors.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/support.h"
#include "core/symbol.h"
#include "core/words.h"
#include "datatypes/block.h"
#include "datatypes/scalars.h"
#include "evaluator/actions.h"
#include "evaluator/lexer.h"
#include "evaluator/random.h"

#include <cmath>
#include <cstdio>

namespace kel {

// ---- Shared by the compound types ------------------------------------------------------------

// A field selector: 1-based integer, or the words x, y, z as 1, 2, 3; 0 for anything else.
int32_t compound_field(const Cell* element, int32_t count) {
    if (element->is(T_INTEGER)) {
        int32_t i = integer_get_cell(element);
        return i >= 1 && i <= count ? i : 0;
    }
    if (!is_any_word(element->type())) return 0;
    uint32_t s = symbol_resolve(element->data2);
    static const Sym fields[3] = {Sym::X, Sym::Y, Sym::Z};
    for (int32_t i = 0; i < count; ++i)
        if (s == symbol_resolve(sym(fields[i]))) return i + 1;
    return 0;
}

// A selector the value has no field for: invalid-path in a path, cannot-use outside one.
[[noreturn]] void compound_bad_field(const Cell* value, const PathStep& step) {
    if (!step.path) fire_error(Err::CannotUse, step.element, value);
    fire_error(Err::InvalidPath, step.path, step.element);
}

// ---- Constructors ------------------------------------------------------------------------------

Cell* pair_set(Cell* c, int32_t x, int32_t y) {
    *c = make_pair(x, y);
    return c;
}
Cell* pair_push(int32_t x, int32_t y) { return stack_push(make_pair(x, y)); }
Cell* pair_make_in(const Cell* block, int32_t x, int32_t y) {
    return block_append(series_node(block), make_pair(x, y));
}

int32_t pair_component(const Cell* number) {
    switch (number->type()) {
    case T_INTEGER: return integer_get_cell(number);
    case T_FLOAT: return float_to_int_checked(number);
    case T_PERCENT: {
        Cell f = make_float(number->get_float());
        return float_to_int_checked(&f);
    }
    default: fire_invalid_type(number);
    }
}

void pair_to_point2d(Cell* c) {
    *c = make_point2d(float(pair_x(c)), float(pair_y(c)));
}

// ---- Arithmetic ----------------------------------------------------------------------------------

// x op a, y op b through the integer core; false (nothing changed) when either component cannot
// stay an integer.
static bool pair_integer_step(Cell* left, int32_t a, int32_t b, int32_t op) {
    Cell scratch = make_integer(0);
    int32_t x = integer_math_int32(pair_x(left), a, op, &scratch);
    if (scratch.is(T_FLOAT)) return false;
    int32_t y = integer_math_int32(pair_y(left), b, op, &scratch);
    if (scratch.is(T_FLOAT)) return false;
    *left = make_pair(x, y);
    return true;
}

static void pair_promote(Cell* left, const Cell* right, int32_t op) {
    pair_to_point2d(left);
    point2d_do_math(left, right, op);
}

void pair_do_math(Cell* left, const Cell* right, int32_t op) {
    switch (right->type()) {
    case T_INTEGER: case T_CHAR: {
        int32_t n = integer_get_cell(right);
        if (!pair_integer_step(left, n, n, op)) {
            Cell number = make_integer(n);
            pair_promote(left, &number, op);
        }
        return;
    }
    case T_FLOAT: case T_PERCENT: {
        double f = right->get_float();
        if (std::isnan(f) || (op != OP_DIVIDE && std::isinf(f))) fire_error(Err::InvalidArg, right);
        Cell number = make_float(f);
        if (op == OP_MULTIPLY || op == OP_DIVIDE) {
            pair_promote(left, &number, op);
            return;
        }
        bool bitwise = op >= OP_OR;
        bool integral = std::trunc(f) == f && f >= -2147483648.0 && f <= 2147483647.0;
        if (!bitwise && !integral) {
            pair_promote(left, &number, op);
            return;
        }
        int32_t n = float_to_int_checked(&number);
        if (!pair_integer_step(left, n, n, op)) {
            Cell whole = make_integer(n);
            pair_promote(left, &whole, op);
        }
        return;
    }
    case T_PAIR: {
        Cell operand = *right;
        if (!pair_integer_step(left, pair_x(&operand), pair_y(&operand), op))
            pair_promote(left, &operand, op);
        return;
    }
    case T_POINT2D:
        pair_promote(left, right, op);
        return;
    default:
        fire_invalid_type(right);
    }
}

template <int Op>
static void pair_math(Cell* left, Cell* right) { pair_do_math(left, right, Op); }

static void pair_absolute(Cell* v) {
    *v = make_pair(integer_abs(pair_x(v)), integer_abs(pair_y(v)));
}

static void pair_negate(Cell* v) {
    if (pair_x(v) == INT32_MIN || pair_y(v) == INT32_MIN) fire_error(Err::Overflow);
    *v = make_pair(-pair_x(v), -pair_y(v));
}

// ---- Make, to, text ------------------------------------------------------------------------------

static void pair_make(Cell* proto, Cell* spec, TypeId) {
    switch (spec->type()) {
    case T_BLOCK: {
        Series* s = value_series(spec);
        uint32_t index = series_index(spec);
        if (s->length() < index + 2) fire_error(Err::Malconstruct, spec);
        Cell a = *s->cell_at(index), b = *s->cell_at(index + 1);
        for (const Cell* c : {&a, &b})
            if (!c->is(T_INTEGER) && !c->is(T_FLOAT)) fire_error(Err::Malconstruct, spec);
        *proto = make_pair(pair_component(&a), pair_component(&b));
        return;
    }
    case T_STRING: case T_FILE: case T_URL: case T_TAG: case T_EMAIL: case T_REF: {
        Cell v = scalar_load_one_value(spec);
        if (!v.is(T_PAIR)) fire_bad_to_arg(T_PAIR, spec);
        *proto = make_pair(pair_x(&v), pair_y(&v));
        return;
    }
    case T_PAIR:
        *proto = make_pair(pair_x(spec), pair_y(spec));
        return;
    case T_INTEGER: {
        int32_t n = integer_get_cell(spec);
        *proto = make_pair(n, n);
        return;
    }
    case T_FLOAT: case T_PERCENT: {
        int32_t n = pair_component(spec);
        *proto = make_pair(n, n);
        return;
    }
    case T_POINT2D: {
        float x = point_coord(spec, 0), y = point_coord(spec, 1);
        if (!std::isfinite(x) || !std::isfinite(y)) fire_error(Err::InvalidArg, spec);
        Cell fx = make_float(x), fy = make_float(y);
        *proto = make_pair(float_to_int_checked(&fx), float_to_int_checked(&fy));
        return;
    }
    default:
        fire_bad_to_arg(T_PAIR, spec);
    }
}

static int32_t pair_form(const Cell* value, Cell* buffer, bool, int32_t budget) {
    char text[32];
    std::snprintf(text, sizeof text, "%dx%d", pair_x(value), pair_y(value));
    return scalar_emit(buffer, text, budget);
}

static int32_t pair_mold(const Cell* value, Cell* buffer, bool, bool, bool, bool part,
                         int32_t budget, int32_t) {
    return pair_form(value, buffer, part, budget);
}

// ---- Compare, random, round -------------------------------------------------------------------------

static int32_t pair_compare(const Cell* a, const Cell* b, int32_t op) {
    if (b->is(T_POINT2D)) {
        if (op == CMP_STRICT_EQUAL || op == CMP_SAME || op == CMP_SEARCH) return 1;
        Cell p = *a;
        pair_to_point2d(&p);
        return point2d_compare(&p, b, op);
    }
    if (!b->is(T_PAIR)) return CMP_NOT_COMPARABLE;
    int32_t x1 = pair_x(a), x2 = pair_x(b);
    if (x1 != x2) return x1 < x2 ? -1 : 1;
    int32_t y1 = pair_y(a), y2 = pair_y(b);
    return (y1 > y2) - (y1 < y2);
}

static void pair_random(Cell* value, bool seed, bool secure, bool) {
    if (seed) {
        random_seed(value->data2 ^ value->data3);
        *value = g_unset_cell;
        return;
    }
    int32_t x = pair_x(value), y = pair_y(value);
    int32_t rx = x ? random_int(x, secure) : 0;   // x draws first
    int32_t ry = y ? random_int(y, secure) : 0;
    *value = make_pair(rx, ry);
}

// One component rounded as an integer with the given scale, back to an integer.
static int32_t pair_round_component(int32_t c, const Cell* scale, const RoundOpts& opts) {
    RoundOpts o = opts;
    o.to = scale;
    Cell v = make_integer(c);
    integer_round(&v, o);
    if (v.is(T_INTEGER)) return integer_get_cell(&v);
    Cell f = make_float(v.get_float());
    return float_to_int_checked(&f);
}

static void pair_round(Cell* value, const RoundOpts& opts) {
    if (opts.to && opts.to->is(T_MONEY)) fire_not_related("round", T_MONEY);
    Cell sx, sy;
    const Cell* scale_x = opts.to;
    const Cell* scale_y = opts.to;
    if (opts.to && opts.to->is(T_PAIR)) {
        sx = make_integer(pair_x(opts.to));
        sy = make_integer(pair_y(opts.to));
        scale_x = &sx;
        scale_y = &sy;
    }
    int32_t x = pair_round_component(pair_x(value), scale_x, opts);
    int32_t y = pair_round_component(pair_y(value), scale_y, opts);
    *value = make_pair(x, y);
}

// ---- Fields ----------------------------------------------------------------------------------------

static void pair_eval_path(Cell* parent, const PathStep& step) {
    int32_t field = compound_field(step.element, 2);
    if (field == 0) compound_bad_field(parent, step);
    if (!step.value) {
        *parent = make_integer(field == 1 ? pair_x(parent) : pair_y(parent));
        return;
    }
    if (!step.value->is(T_INTEGER)) fire_invalid_type(step.value);
    Cell changed = *parent;
    changed.header &= CELL_TYPE_MASK;
    (&changed.data2)[field - 1] = step.value->data2;
    scalar_path_write_back(parent, step, changed);
}

static void pair_pick(Cell* value, int32_t index, const Cell* index_value) {
    int32_t field = index_value && is_any_word(index_value->type())
                        ? compound_field(index_value, 2)
                        : (index == 1 || index == 2 ? index : 0);
    if (field == 0) {
        Cell i = make_integer(index);
        fire_error(Err::OutOfRange, index_value ? index_value : &i);
    }
    *value = make_integer(field == 1 ? pair_x(value) : pair_y(value));
}

static void pair_reverse(Cell* value, const Cell*, const Cell*) {
    *value = make_pair(pair_y(value), pair_x(value));
}

void compound_math_swapped(Cell* left, const Cell* right, int32_t op) {
    TypeId number_type = left->type();
    bool from_integer = number_type == T_INTEGER || number_type == T_CHAR;
    if (op == OP_DIVIDE) fire_not_related("divide", from_integer ? T_INTEGER : right->type());
    if (op == OP_SUBTRACT && !from_integer) fire_not_related("subtract", right->type());
    Cell number = *left;
    if (number.is(T_CHAR)) set_cell_type(&number, T_INTEGER);
    *left = *right;
    left->header &= CELL_TYPE_MASK;
    if (op == OP_SUBTRACT) {
        // n - p is (-p) + n
        compound_negate(left);
        op = OP_ADD;
    }
    switch (left->type()) {
    case T_PAIR: pair_do_math(left, &number, op); break;
    case T_POINT2D: point2d_do_math(left, &number, op); break;
    default: point3d_do_math(left, &number, op); break;
    }
}

void compound_negate(Cell* value) {
    if (value->is(T_PAIR)) {
        pair_negate(value);
        return;
    }
    int n = value->is(T_POINT3D) ? 3 : 2;
    for (int i = 0; i < n; ++i) (&value->data1)[i] = float32_bits(0.0f - point_coord(value, i));
}

void pair_init() {
    ActionEntries e = action_entries(UNSUPPORTED);
    set_entry<A_MAKE>(e, pair_make);
    set_entry<A_TO>(e, pair_make);
    set_entry<A_RANDOM>(e, pair_random);
    set_entry<A_FORM>(e, pair_form);
    set_entry<A_MOLD>(e, pair_mold);
    set_entry<A_EVAL_PATH>(e, pair_eval_path);
    set_entry<A_COMPARE>(e, pair_compare);
    set_entry<A_ABSOLUTE>(e, pair_absolute);
    set_entry<A_ADD>(e, pair_math<OP_ADD>);
    set_entry<A_SUBTRACT>(e, pair_math<OP_SUBTRACT>);
    set_entry<A_MULTIPLY>(e, pair_math<OP_MULTIPLY>);
    set_entry<A_DIVIDE>(e, pair_math<OP_DIVIDE>);
    set_entry<A_REMAINDER>(e, pair_math<OP_REMAINDER>);
    set_entry<A_OR>(e, pair_math<OP_OR>);
    set_entry<A_AND>(e, pair_math<OP_AND>);
    set_entry<A_XOR>(e, pair_math<OP_XOR>);
    set_entry<A_NEGATE>(e, pair_negate);
    set_entry<A_ROUND>(e, pair_round);
    set_entry<A_PICK>(e, pair_pick);
    set_entry<A_REVERSE>(e, pair_reverse);
    register_datatype(T_PAIR, T_NONE_ID, "pair!", e);
}

} // namespace kel
