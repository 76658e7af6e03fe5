// tuple!: 3 to 12 bytes written with dots (1.2.3, 255.0.0.128), for versions, addresses and
// colours. The bytes live in the cell itself, from cell byte 4 on, and the length in header bits
// 19-22 (datatypes/compound.h).
//
// Arithmetic works byte by byte and every result byte saturates to 0-255: integer operands go
// through the integer core (a result that leaves 32 bits counts as 255 when positive, else 0;
// division truncates), float and percent operands through the float operation, truncated toward
// zero (a NaN byte is 0). A tuple operand gives the longer length, missing bytes reading as 0.
// Sets through a path saturate the stored integer; setting none cuts the tuple (never below 3).
#include "datatypes/compound.h"

#include "core/errors.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/words.h"
#include "datatypes/scalars.h"
#include "evaluator/actions.h"
#include "evaluator/random.h"

#include <cmath>
#include <cstdio>

namespace kel {

// ---- Constructors --------------------------------------------------------------------------------

Cell make_tuple(const uint8_t* bytes, uint32_t n) {
    if (n > TUPLE_MAX) n = TUPLE_MAX;
    Cell c{T_TUPLE, 0, 0, 0};
    std::memcpy(tuple_bytes(&c), bytes, n);
    tuple_set_length(&c, n < TUPLE_MIN ? TUPLE_MIN : n);
    return c;
}

Cell* tuple_push(const uint8_t* bytes, uint32_t n) { return stack_push(make_tuple(bytes, n)); }

Cell* tuple_rgba(Cell* c, uint8_t r, uint8_t g, uint8_t b, int32_t alpha) {
    uint8_t bytes[4] = {r, g, b, uint8_t(alpha)};
    *c = make_tuple(bytes, alpha < 0 ? 3 : 4);
    return c;
}

Cell* tuple_from_values(uint32_t count, const int32_t* values) {
    uint8_t bytes[TUPLE_MAX] = {};
    if (count > TUPLE_MAX) count = TUPLE_MAX;
    for (uint32_t i = 0; i < count; ++i) bytes[i] = uint8_t(values[i]);
    return tuple_push(bytes, count);
}

bool tuple_zero(const Cell* c) {
    const uint8_t* b = tuple_bytes(c);
    for (uint32_t i = 0; i < tuple_length(c); ++i)
        if (b[i]) return false;
    return true;
}

// ---- Arithmetic ------------------------------------------------------------------------------------

static uint8_t saturate(int64_t v) { return v < 0 ? 0 : v > 255 ? 255 : uint8_t(v); }

// One byte through the integer core: divide truncates, a result past 32 bits counts by its sign.
static uint8_t byte_int_op(int32_t b, int32_t n, int32_t op) {
    if (op == OP_DIVIDE) return saturate(integer_math_int32(b, n, op, nullptr));
    Cell scratch = make_integer(0);
    int32_t r = integer_math_int32(b, n, op, &scratch);
    if (scratch.is(T_FLOAT)) return scratch.get_float() > 0.0 ? 255 : 0;
    return saturate(r);
}

static uint8_t byte_float_op(int32_t b, double x, int32_t op) {
    double r = std::trunc(float_do_math(double(b), x, op));
    if (std::isnan(r) || r <= 0.0) return 0;
    return r >= 255.0 ? 255 : uint8_t(r);
}

void tuple_do_math(Cell* left, const Cell* right, int32_t op) {
    uint8_t a[TUPLE_MAX] = {}, out[TUPLE_MAX] = {};
    uint32_t n = tuple_length(left);
    std::memcpy(a, tuple_bytes(left), n);
    switch (right->type()) {
    case T_INTEGER: {
        int32_t v = integer_get_cell(right);
        for (uint32_t i = 0; i < n; ++i) out[i] = byte_int_op(a[i], v, op);
        break;
    }
    case T_FLOAT: case T_PERCENT: {
        double x = right->get_float();
        for (uint32_t i = 0; i < n; ++i) out[i] = byte_float_op(a[i], x, op);
        break;
    }
    case T_TUPLE: {
        uint8_t b[TUPLE_MAX] = {};
        uint32_t m = tuple_length(right);
        std::memcpy(b, tuple_bytes(right), m);
        if (m > n) n = m;
        for (uint32_t i = 0; i < n; ++i) out[i] = byte_int_op(a[i], b[i], op);
        break;
    }
    default:
        fire_invalid_type(right);
    }
    *left = make_tuple(out, n);
}

void tuple_math_swapped(Cell* left, const Cell* right, int32_t op) {
    if (op == OP_SUBTRACT) fire_not_related("subtract", left->type());
    if (op == OP_DIVIDE) fire_not_related("divide", left->type());
    Cell number = *left;
    if (number.is(T_CHAR)) set_cell_type(&number, T_INTEGER);
    *left = *right;
    left->header &= CELL_TYPE_MASK | TUPLE_LENGTH_MASK;
    tuple_do_math(left, &number, op);
}

template <int Op>
static void tuple_math(Cell* left, Cell* right) { tuple_do_math(left, right, Op); }

static void tuple_complement(Cell* v) {
    uint8_t* b = tuple_bytes(v);
    for (uint32_t i = 0; i < tuple_length(v); ++i) b[i] = uint8_t(~b[i]);
}

static int32_t tuple_length_q(const Cell* v) { return int32_t(tuple_length(v)); }

// ---- Make, to, text -------------------------------------------------------------------------------

// Hex text of an issue: 3 digits (each doubled), 6 or 8 digits (two a byte).
static Cell tuple_from_hex(const Cell* issue) {
    uint32_t length = 0;
    const uint8_t* name = symbol_name(issue->data2, &length);
    if (length != 3 && length != 6 && length != 8) fire_error(Err::InvalidData, issue);
    uint8_t digits[8];
    for (uint32_t i = 0; i < length; ++i) {
        uint8_t c = name[i];
        if (c >= '0' && c <= '9') digits[i] = uint8_t(c - '0');
        else if (c >= 'a' && c <= 'f') digits[i] = uint8_t(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') digits[i] = uint8_t(c - 'A' + 10);
        else fire_error(Err::InvalidData, issue);
    }
    uint8_t bytes[4];
    if (length == 3) {
        for (int i = 0; i < 3; ++i) bytes[i] = uint8_t(digits[i] * 17);
        return make_tuple(bytes, 3);
    }
    for (uint32_t i = 0; i < length / 2; ++i) bytes[i] = uint8_t(digits[2 * i] << 4 | digits[2 * i + 1]);
    return make_tuple(bytes, length / 2);
}

static void tuple_to(Cell* proto, Cell* spec, TypeId) {
    switch (spec->type()) {
    case T_BLOCK: case T_PAREN: case T_HASH: {
        Series* s = value_series(spec);
        uint32_t index = series_index(spec);
        uint32_t count = s->length() > index ? s->length() - index : 0;
        if (count > TUPLE_MAX) fire_bad_to_arg(T_TUPLE, spec);
        uint8_t bytes[TUPLE_MAX] = {};
        for (uint32_t i = 0; i < count; ++i) {
            const Cell* item = s->cell_at(index + i);
            double v;
            if (item->is(T_INTEGER) || item->is(T_CHAR)) v = double(integer_get_cell(item));
            else if (item->is(T_FLOAT)) v = std::trunc(item->get_float());
            else fire_bad_to_arg(T_TUPLE, spec);
            if (!(v >= 0.0 && v <= 255.0)) fire_bad_to_arg(T_TUPLE, spec);
            bytes[i] = uint8_t(v);
        }
        *proto = make_tuple(bytes, count);
        return;
    }
    case T_STRING: case T_FILE: case T_URL: case T_TAG: case T_EMAIL: case T_REF: {
        Cell v = scalar_load_one_value(spec);
        if (!v.is(T_TUPLE)) fire_bad_to_arg(T_TUPLE, spec);
        *proto = make_tuple(tuple_bytes(&v), tuple_length(&v));
        return;
    }
    case T_ISSUE:
        *proto = tuple_from_hex(spec);
        return;
    case T_BINARY: {
        Series* s = value_series(spec);
        uint32_t index = series_index(spec);
        uint32_t used = s->used();
        uint32_t n = used > index ? used - index : 0;
        *proto = make_tuple(s->head_ptr() + index, n > TUPLE_MAX ? TUPLE_MAX : n);
        return;
    }
    case T_TUPLE:
        *proto = make_tuple(tuple_bytes(spec), tuple_length(spec));
        return;
    default:
        fire_bad_to_arg(T_TUPLE, spec);
    }
}

static int32_t tuple_form(const Cell* value, Cell* buffer, bool, int32_t budget) {
    char text[TUPLE_MAX * 4 + 1];
    char* p = text;
    const uint8_t* b = tuple_bytes(value);
    for (uint32_t i = 0; i < tuple_length(value); ++i)
        p += std::snprintf(p, size_t(text + sizeof text - p), i ? ".%u" : "%u", unsigned(b[i]));
    return scalar_emit(buffer, text, budget);
}

static int32_t tuple_mold(const Cell* value, Cell* buffer, bool, bool, bool, bool part,
                          int32_t budget, int32_t) {
    return tuple_form(value, buffer, part, budget);
}

// ---- Compare, random ---------------------------------------------------------------------------------

static int32_t tuple_compare(const Cell* a, const Cell* b, int32_t) {
    if (!b->is(T_TUPLE)) return CMP_NOT_COMPARABLE;
    uint32_t na = tuple_length(a), nb = tuple_length(b);
    uint32_t n = na > nb ? na : nb;
    for (uint32_t i = 0; i < n; ++i) {
        int x = i < na ? tuple_bytes(a)[i] : 0;
        int y = i < nb ? tuple_bytes(b)[i] : 0;
        if (x != y) return x < y ? -1 : 1;
    }
    return 0;
}

static void tuple_random(Cell* value, bool seed, bool secure, bool) {
    if (seed) {
        random_seed(value->data1 ^ value->data2 ^ value->data3);
        *value = g_unset_cell;
        return;
    }
    uint8_t* b = tuple_bytes(value);
    for (uint32_t i = 0; i < tuple_length(value); ++i)
        if (b[i]) b[i] = uint8_t(random_int(int32_t(b[i]) + 1, secure) - 1);
}

// ---- Fields ----------------------------------------------------------------------------------------

static void tuple_eval_path(Cell* parent, const PathStep& step) {
    if (!step.element->is(T_INTEGER)) fire_invalid_type(step.element);
    int32_t index = integer_get_cell(step.element);
    uint32_t n = tuple_length(parent);
    if (index < 1 || uint32_t(index) > n) fire_error(Err::OutOfRange, step.element);
    if (!step.value) {
        *parent = make_integer(tuple_bytes(parent)[index - 1]);
        return;
    }
    Cell changed = make_tuple(tuple_bytes(parent), n);
    uint8_t* b = tuple_bytes(&changed);
    if (step.value->is(T_INTEGER)) {
        b[index - 1] = saturate(integer_get_cell(step.value));
    } else if (step.value->is(T_NONE)) {
        for (uint32_t i = uint32_t(index - 1); i < TUPLE_MAX; ++i) b[i] = 0;
        uint32_t cut = uint32_t(index - 1);
        tuple_set_length(&changed, cut < TUPLE_MIN ? TUPLE_MIN : cut);
    } else {
        fire_invalid_type(step.value);
    }
    scalar_path_write_back(parent, step, changed);
}

static void tuple_pick(Cell* value, int32_t index, const Cell* index_value) {
    if (index_value && !index_value->is(T_INTEGER)) fire_error(Err::OutOfRange, index_value);
    if (index < 1 || uint32_t(index) > tuple_length(value)) {
        Cell i = make_integer(index);
        fire_error(Err::OutOfRange, index_value ? index_value : &i);
    }
    *value = make_integer(tuple_bytes(value)[index - 1]);
}

static void tuple_reverse(Cell* value, const Cell* part, const Cell* skip) {
    uint32_t length = tuple_length(value);
    int32_t n = int32_t(length), size = 1;
    if (part) {
        if (!part->is(T_INTEGER)) fire_error(Err::InvalidRefineArg, runtime_refinement(R::Part), part);
        n = integer_get_cell(part);
        if (n < 0) fire_error(Err::OutOfRange, part);
    }
    if (skip) {
        if (!skip->is(T_INTEGER)) fire_error(Err::InvalidRefineArg, runtime_refinement(R::Skip), skip);
        size = integer_get_cell(skip);
        if (size < 1) fire_error(Err::OutOfRange, skip);
    }
    if (n > int32_t(length)) n = int32_t(length);
    if (skip && (size > n || n % size != 0))
        fire_error(Err::InvalidRefineArg, runtime_refinement(R::Skip), skip);
    uint8_t* b = tuple_bytes(value);
    uint8_t copy[TUPLE_MAX];
    std::memcpy(copy, b, length);
    int32_t records = n / size;
    for (int32_t r = 0; r < records; ++r)
        std::memcpy(b + r * size, copy + (records - 1 - r) * size, size_t(size));
}

void tuple_init() {
    ActionEntries e = action_entries(UNSUPPORTED);
    set_entry<A_MAKE>(e, tuple_to);
    set_entry<A_TO>(e, tuple_to);
    set_entry<A_RANDOM>(e, tuple_random);
    set_entry<A_FORM>(e, tuple_form);
    set_entry<A_MOLD>(e, tuple_mold);
    set_entry<A_EVAL_PATH>(e, tuple_eval_path);
    set_entry<A_COMPARE>(e, tuple_compare);
    set_entry<A_ADD>(e, tuple_math<OP_ADD>);
    set_entry<A_SUBTRACT>(e, tuple_math<OP_SUBTRACT>);
    set_entry<A_MULTIPLY>(e, tuple_math<OP_MULTIPLY>);
    set_entry<A_DIVIDE>(e, tuple_math<OP_DIVIDE>);
    set_entry<A_REMAINDER>(e, tuple_math<OP_REMAINDER>);
    set_entry<A_OR>(e, tuple_math<OP_OR>);
    set_entry<A_AND>(e, tuple_math<OP_AND>);
    set_entry<A_XOR>(e, tuple_math<OP_XOR>);
    set_entry<A_COMPLEMENT>(e, tuple_complement);
    set_entry<A_LENGTH_Q>(e, tuple_length_q);
    set_entry<A_PICK>(e, tuple_pick);
    set_entry<A_REVERSE>(e, tuple_reverse);
    register_datatype(T_TUPLE, T_NONE_ID, "tuple!", e);
}

} // namespace kel
