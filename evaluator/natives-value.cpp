// Natives: value-making, coercion and line-marker natives: uppercase, lowercase, as-pair,
// as-point2D, as-point3D, as-money, extend, new-line, new-line? and as.
//
// as retypes a value without copying: the spec keeps its buffer and index and only its type id
// changes, within the block kinds or within the string kinds. The line marker is header bit 30 of
// a cell, which block mold reads to start a new line before the value.
#include "core/case-fold.h"
#include "core/errors.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/words.h"
#include "datatypes/map.h"
#include "datatypes/money.h"
#include "datatypes/scalars.h"
#include "evaluator/actions.h"
#include "evaluator/natives.h"

#include <cmath>
#include <cstring>

namespace kel {

namespace {

inline Cell* arg(uint32_t i) { return stack_arg(i); }
inline Cell* ref(const int32_t* r, uint32_t i) { return r[i] >= 0 ? arg(uint32_t(r[i])) : nullptr; }
inline bool flag(const int32_t* r, uint32_t i) { return r[i] >= 0; }

void native_uppercase(bool, const int32_t* r) {
    change_case(arg(0), ref(r, 0), true);
    stack_keep_result();
}
void native_lowercase(bool, const int32_t* r) {
    change_case(arg(0), ref(r, 0), false);
    stack_keep_result();
}

// A pair coordinate: an integer, or a float truncated toward zero that must fit 32 bits.
int32_t pair_coordinate(const Cell* c) {
    if (c->is(T_INTEGER)) return integer_get_cell(c);
    if (!c->is(T_FLOAT)) fire_expect_arg(c, 0);
    double t = std::trunc(c->get_float());
    if (!(t >= -2147483648.0 && t <= 2147483647.0)) fire_error(Err::InvalidArg, c);
    return int32_t(t);
}

void native_as_pair(bool, const int32_t*) {
    int32_t x = pair_coordinate(arg(0)), y = pair_coordinate(arg(1));
    Cell pair{T_PAIR, 0, uint32_t(x), uint32_t(y)};
    stack_set_result(&pair);
}

uint32_t point_coordinate(const Cell* c) {
    float f;
    if (c->is(T_INTEGER)) f = float(integer_get_cell(c));
    else if (c->is(T_FLOAT)) f = float(c->get_float());
    else fire_expect_arg(c, 0);
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    return bits;
}

void native_as_point2d(bool, const int32_t*) {
    Cell p{T_POINT2D, point_coordinate(arg(0)), point_coordinate(arg(1)), 0};
    stack_set_result(&p);
}

void native_as_point3d(bool, const int32_t*) {
    Cell p{T_POINT3D, point_coordinate(arg(0)), point_coordinate(arg(1)), point_coordinate(arg(2))};
    stack_set_result(&p);
}

// as-money: the amount (an integer, or a float within money's range) in the named currency.
void native_as_money(bool, const int32_t*) {
    const Cell* currency = arg(0);
    int32_t index = money_currency_index(currency->data2);
    if (index < 0) fire_error(Err::BadDenom, currency);
    Cell m;
    if (arg(1)->is(T_INTEGER)) money_from_integer(&m, integer_get_cell(arg(1)));
    else if (arg(1)->is(T_FLOAT)) money_from_float(&m, arg(1)->get_float(), false);
    else fire_expect_arg(arg(1), 1);
    money_set_currency(&m, uint32_t(index));
    stack_set_result(&m);
}

bool any_list(TypeId t) { return is_any_block(t); }

// extend: a map! takes each key/value pair of a block, hash! or map!; an object! is not built.
void native_extend(bool, const int32_t* r) {
    Cell* target = arg(0);
    if (!target->is(T_MAP)) fire_error(Err::NotDone);
    Cell* spec = arg(1);
    if (spec->is(T_MAP)) action_impl<A_REFLECT>(T_MAP)(spec, sym(Sym::Body));
    else if (!is_any_block(spec->type())) fire_expect_arg(spec, 1);
    map_extend(target, spec, flag(r, 0));
    stack_set_result(target);
}

void native_new_line(bool, const int32_t* r) {
    Cell* pos = arg(0);
    if (!any_list(pos->type())) fire_expect_arg(pos, 0);
    bool on = !(arg(1)->is(T_NONE) || (arg(1)->is(T_LOGIC) && arg(1)->data1 == 0));
    bool all = flag(r, 0);
    const Cell* skip = ref(r, 1);
    int32_t size = 0;
    if (skip) {
        size = integer_get_cell(skip);
        if (size <= 0) fire_error(Err::OutOfRange, skip);
    }
    Series* s = value_series(pos);
    uint32_t index = series_index(pos), length = s->length();
    if (index >= length) {
        stack_keep_result();
        return;
    }
    if (!all && !skip) {
        Cell* c = s->cell_at(index);
        c->header = on ? c->header | CELL_NEWLINE : c->header & ~CELL_NEWLINE;
    } else {
        for (uint32_t i = index; i < length; ++i) {
            bool mark = skip ? ((i - index) % uint32_t(size) == 0 ? on : !on) : on;
            Cell* c = s->cell_at(i);
            c->header = mark ? c->header | CELL_NEWLINE : c->header & ~CELL_NEWLINE;
        }
    }
    stack_keep_result();
}

void native_new_line_q(bool, const int32_t*) {
    Cell* pos = arg(0);
    if (!any_list(pos->type())) fire_expect_arg(pos, 0);
    Series* s = value_series(pos);
    bool marked = series_index(pos) < s->length() && (s->cell_at(series_index(pos))->header & CELL_NEWLINE);
    Cell v = make_logic(marked);
    stack_set_result(&v);
}

bool list_kind(TypeId t) {
    return t == T_BLOCK || t == T_PAREN || is_any_path(t);
}

void native_as(bool, const int32_t*) {
    Cell* type_arg = arg(0);
    Cell* spec = arg(1);
    TypeId target = type_arg->is(T_DATATYPE) ? TypeId(type_arg->data1) : type_arg->type();
    TypeId source = spec->type();
    bool ok = (list_kind(target) && list_kind(source)) ||
              (is_any_string(target) && is_any_string(source));
    if (!ok) {
        Cell from = make_datatype(source), to = make_datatype(target);
        fire_error(Err::NotSameClass, &from, &to);
    }
    Cell result = *spec;
    set_cell_type(&result, target);
    stack_set_result(&result);
}

} // namespace

void natives_value_register() {
    KEL_NATIVE_SLOT("uppercase", native_uppercase);
    KEL_NATIVE_SLOT("lowercase", native_lowercase);
    KEL_NATIVE_SLOT("as-pair", native_as_pair);
    KEL_NATIVE_SLOT("as-point2D", native_as_point2d);
    KEL_NATIVE_SLOT("as-point3D", native_as_point3d);
    KEL_NATIVE_SLOT("as-money", native_as_money);
    KEL_NATIVE_SLOT("extend", native_extend);
    KEL_NATIVE_SLOT("new-line", native_new_line);
    KEL_NATIVE_SLOT("new-line?", native_new_line_q);
    KEL_NATIVE_SLOT("as", native_as);
}

} // namespace kel
