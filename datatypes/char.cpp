// char!: one Unicode code point (word 2, 0 to 0x10FFFF), a child of integer!.
//
// Its form is the character itself; its mold the source notation #"c" with the caret escapes of
// strings. Arithmetic runs as 32-bit integer math (integer_math_int32) and must stay a valid code
// point: anything that would leave 0..0x10FFFF, or would need a float!, raises math overflow.
// Comparison is exact (no case folding) against chars and integers.
#include "core/errors.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/unicode.h"
#include "datatypes/scalars.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"

#include <cmath>

namespace kel {

constexpr uint32_t MAX_CODE_POINT = 0x10FFFF;

Cell* char_push(uint32_t cp) { return stack_push(make_char(cp)); }
Cell* char_make_in(const Cell* block, uint32_t cp) {
    return block_append(series_node(block), make_char(cp));
}

static void char_to(Cell* proto, Cell* spec, TypeId) {
    int64_t cp = 0;
    switch (spec->type()) {
    case T_STRING: case T_FILE: case T_URL: case T_TAG: case T_EMAIL: case T_REF: {
        Series* s = value_series(spec);
        uint64_t offset = uint64_t(series_index(spec)) * s->unit();
        if (offset >= s->tail - s->head) fire_bad_to_arg(T_CHAR, spec);
        cp = unit_get(s->head_ptr() + offset, s->unit());
        break;
    }
    case T_CHAR: case T_INTEGER:
        cp = integer_get_cell(spec);
        if (cp < 0 || cp > MAX_CODE_POINT) fire_error(Err::OutOfRange, spec);
        break;
    case T_FLOAT: case T_PERCENT: {
        double t = std::trunc(spec->get_float());
        if (!(t >= 0.0 && t <= double(MAX_CODE_POINT))) fire_error(Err::OutOfRange, spec);
        cp = int64_t(t);
        break;
    }
    case T_BINARY: {
        Series* s = value_series(spec);
        uint64_t offset = series_index(spec);
        if (offset >= s->tail - s->head) fire_bad_to_arg(T_CHAR, spec);
        const uint8_t* p = s->head_ptr() + offset;
        int32_t avail = int32_t(s->tail - s->head - offset);
        int lead = utf8_lead_length(*p);
        if (lead && lead < avail) avail = lead;
        int32_t decoded = utf8_decode_strict(p, &avail);
        if (decoded < 0) fire_bad_to_arg(T_CHAR, spec);
        cp = decoded;
        break;
    }
    default:
        fire_bad_to_arg(T_CHAR, spec);
    }
    *proto = make_char(uint32_t(cp));
}

static int32_t char_form(const Cell* value, Cell* buffer, bool, int32_t budget) {
    Series* s = value_series(buffer);
    string_append_char(s, char_get(value));
    return budget - 1;
}

static int32_t char_mold(const Cell* value, Cell* buffer, bool, bool all, bool, bool,
                         int32_t budget, int32_t) {
    uint32_t cp = char_get(value);
    string_concatenate_literal(buffer, "#\"");
    int32_t n = string_append_escaped_char(buffer, cp, all);
    string_concatenate_literal(buffer, "\"");
    return budget - n - 3;
}

static int32_t char_compare(const Cell* a, const Cell* b, int32_t op) {
    if ((op == CMP_STRICT_EQUAL || op == CMP_SEARCH) && !b->is(T_CHAR)) return 1;
    if (!b->is(T_CHAR) && !b->is(T_INTEGER)) return CMP_NOT_COMPARABLE;
    int32_t x = integer_get_cell(a), y = integer_get_cell(b);
    return (x > y) - (x < y);
}

static void char_do_math(Cell* left, const Cell* right, int32_t op) {
    int32_t r;
    switch (right->type()) {
    case T_CHAR: case T_INTEGER: r = integer_get_cell(right); break;
    case T_FLOAT: r = float_trunc_checked(right->get_float()); break;
    default: fire_invalid_type(right);
    }
    Cell scratch = g_unset_cell;
    int32_t v = integer_math_int32(integer_get_cell(left), r, op,
                                   op == OP_DIVIDE ? nullptr : &scratch);
    if (!scratch.is(T_UNSET) || v < 0 || uint32_t(v) > MAX_CODE_POINT) fire_error(Err::Overflow);
    left->data2 = uint32_t(v);
}

template <int Op>
static void char_math(Cell* left, Cell* right) { char_do_math(left, right, Op); }

void char_init() {
    ActionEntries e = action_entries(UNSUPPORTED);
    e[A_RANDOM - 1] = INHERIT;
    e[A_ABSOLUTE - 1] = INHERIT;
    e[A_EVEN_Q - 1] = INHERIT;
    e[A_ODD_Q - 1] = INHERIT;
    set_entry<A_MAKE>(e, char_to);
    set_entry<A_TO>(e, char_to);
    set_entry<A_FORM>(e, char_form);
    set_entry<A_MOLD>(e, char_mold);
    set_entry<A_COMPARE>(e, char_compare);
    set_entry<A_ADD>(e, char_math<OP_ADD>);
    set_entry<A_DIVIDE>(e, char_math<OP_DIVIDE>);
    set_entry<A_MULTIPLY>(e, char_math<OP_MULTIPLY>);
    set_entry<A_REMAINDER>(e, char_math<OP_REMAINDER>);
    set_entry<A_SUBTRACT>(e, char_math<OP_SUBTRACT>);
    set_entry<A_AND>(e, char_math<OP_AND>);
    set_entry<A_OR>(e, char_math<OP_OR>);
    set_entry<A_XOR>(e, char_math<OP_XOR>);
    register_datatype(T_CHAR, T_INTEGER, "char!", e);
}

} // namespace kel
