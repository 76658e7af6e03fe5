// typeset!: a set of type ids in the 96 payload bits (id t is bit 0x80 >> (t & 7) of byte t >> 3),
// used by function specs and type tests.
//
// Typesets are made from blocks of datatypes, typesets and words naming them; they form and mold
// as "make typeset! [name! ...]", compare equal when their bits are equal, sort by member count,
// and take part in the set operations and in find (membership of a datatype).
#include "core/context.h"
#include "core/errors.h"
#include "core/runtime.h"
#include "core/series.h"
#include "core/stack.h"
#include "datatypes/scalars.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"

#include <cstring>

namespace kel {

static uint8_t* typeset_bytes(Cell* ts) { return reinterpret_cast<uint8_t*>(&ts->data1); }

void typeset_add(Cell* ts, uint32_t t) {
    if (t < 96) typeset_bytes(ts)[t >> 3] |= uint8_t(0x80u >> (t & 7));
}

void typeset_set_words(Cell* c, uint32_t w1, uint32_t w2, uint32_t w3) {
    init_cell(c, T_TYPESET, w1, w2, w3);
}

void typeset_all(Cell* c) {
    init_cell(c, T_TYPESET, ~0u, ~0u, ~0u);
    typeset_bytes(c)[T_UNSET >> 3] &= uint8_t(~(0x80u >> (T_UNSET & 7)));
}

// Adds one spec element; words stand for their values. Returns false for a value that names no
// type (the caller decides the error).
static bool typeset_add_value(Cell* ts, const Cell* v, bool word_of_word_is_object) {
    if (is_any_word(v->type()) && !v->is(T_ISSUE)) {
        const Cell* value = word_get(v);
        if (word_of_word_is_object && value->is(T_WORD)) {
            typeset_add(ts, T_OBJECT);
            return true;
        }
        v = value;
    }
    if (v->is(T_DATATYPE)) {
        typeset_add(ts, v->data1);
        return true;
    }
    if (v->is(T_TYPESET)) {
        ts->data1 |= v->data1;
        ts->data2 |= v->data2;
        ts->data3 |= v->data3;
        return true;
    }
    return false;
}

Cell* typeset_from_block(Cell* c, const Cell* block) {
    Cell ts = make_cell(T_TYPESET);
    Series* s = value_series(block);
    for (uint32_t i = series_index(block); i < s->length(); ++i) {
        const Cell* v = s->cell_at(i);
        if (v->is(T_BLOCK)) continue;
        if (!typeset_add_value(&ts, v, true)) fire_error(Err::InvalidTypeSpec, v);
    }
    *c = ts;
    return c;
}

int32_t typeset_count(const Cell* ts) {
    int32_t n = 0;
    for (int32_t t = 1; t <= g_highest_type; ++t) n += typeset_has(ts, uint32_t(t));
    return n;
}

void typeset_to_block(const Cell* ts, const Cell* block) {
    Cell set = *ts;   // the source may move while the block grows
    for (int32_t t = 1; t <= g_highest_type; ++t)
        if (typeset_has(&set, uint32_t(t))) datatype_make_in(block, TypeId(t));
}

void typeset_set_operation(Cell* left, const Cell* right, int32_t op) {
    Cell other;
    if (right->is(T_TYPESET)) other = *right;
    else if (right->is(T_DATATYPE)) {
        other = make_cell(T_TYPESET);
        typeset_add(&other, right->data1);
    } else {
        fire_error(Err::InvalidArg, right);
    }
    uint32_t* a = &left->data1;
    const uint32_t* b = &other.data1;
    for (int i = 0; i < 3; ++i) {
        switch (op) {
        case 5: case 9: a[i] |= b[i]; break;
        case 6: case 10: a[i] &= b[i]; break;
        case 7: case 12: a[i] ^= b[i]; break;
        case 11: a[i] &= ~b[i]; break;
        case 8: break;
        default: runtime_quit(101, 0);
        }
    }
    set_cell_type(left, T_TYPESET);
}

static void typeset_make(Cell* proto, Cell* spec, TypeId) {
    if (spec->is(T_TYPESET)) {
        *proto = *spec;
        return;
    }
    if (!spec->is(T_BLOCK)) fire_bad_to_arg(T_TYPESET, spec);
    Cell ts = make_cell(T_TYPESET);
    Series* s = value_series(spec);
    for (uint32_t i = series_index(spec); i < s->length(); ++i) {
        const Cell* v = s->cell_at(i);
        if (!typeset_add_value(&ts, v, false)) fire_error(Err::InvalidArg, v);
    }
    *proto = ts;
}

// One routine for form and mold: "make typeset! [a! b!]", or with only the names alone.
static int32_t typeset_text(const Cell* value, Cell* buffer, bool only, bool part, int32_t budget) {
    Cell ts = *value;
    if (!only) budget = scalar_emit(buffer, "make typeset! [", budget);
    bool any = false;
    for (int32_t t = 1; t <= g_highest_type; ++t) {
        if (!typeset_has(&ts, uint32_t(t))) continue;
        if (part && budget <= 0) break;
        if (any) budget = scalar_emit(buffer, " ", budget);
        budget = scalar_emit(buffer, g_datatypes[t].name, budget);
        any = true;
    }
    if (!only) budget = scalar_emit(buffer, "]", budget);
    return budget;
}

static int32_t typeset_form(const Cell* value, Cell* buffer, bool part, int32_t budget) {
    return typeset_text(value, buffer, false, part, budget);
}
static int32_t typeset_mold(const Cell* value, Cell* buffer, bool only, bool, bool, bool part,
                            int32_t budget, int32_t) {
    return typeset_text(value, buffer, only, part, budget);
}

static int32_t typeset_compare(const Cell* a, const Cell* b, int32_t op) {
    if (!b->is(T_TYPESET)) return CMP_NOT_COMPARABLE;
    switch (op) {
    case CMP_EQUAL: case CMP_NOT_EQUAL: case CMP_STRICT_EQUAL: case CMP_SAME: case CMP_FIND:
    case CMP_STRICT_WORD: case CMP_SEARCH:
        return a->data1 == b->data1 && a->data2 == b->data2 && a->data3 == b->data3 ? 0 : 1;
    case CMP_SORT: case CMP_CASE_SORT: {
        int32_t x = typeset_count(a), y = typeset_count(b);
        return (x > y) - (x < y);
    }
    default:
        return CMP_NOT_COMPARABLE;
    }
}

static void typeset_complement(Cell* v) {
    v->data1 = ~v->data1;
    v->data2 = ~v->data2;
    v->data3 = ~v->data3;
}

static void typeset_find(Cell* ts, const Cell* value, const FindOpts&) {
    if (!value->is(T_DATATYPE)) fire_error(Err::InvalidArg, value);
    *ts = make_logic(typeset_has(ts, value->data1));
}

template <int Op>
static void typeset_op(Cell* left, Cell* right) { typeset_set_operation(left, right, Op); }

void typeset_init() {
    ActionEntries e = action_entries(UNSUPPORTED);
    set_entry<A_MAKE>(e, typeset_make);
    set_entry<A_TO>(e, typeset_make);
    set_entry<A_FORM>(e, typeset_form);
    set_entry<A_MOLD>(e, typeset_mold);
    set_entry<A_COMPARE>(e, typeset_compare);
    set_entry<A_AND>(e, typeset_op<6>);
    set_entry<A_OR>(e, typeset_op<5>);
    set_entry<A_XOR>(e, typeset_op<7>);
    set_entry<A_COMPLEMENT>(e, typeset_complement);
    set_entry<A_FIND>(e, typeset_find);
    register_datatype(T_TYPESET, T_NONE_ID, "typeset!", e);
}

} // namespace kel
