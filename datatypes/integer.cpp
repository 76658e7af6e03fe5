// integer!: the 32-bit signed integer (word 2), its constructors, text, conversions and actions.
//
// Arithmetic never wraps. integer_math_int32 is the one core shared with char! (and the pair and
// tuple arithmetic): add, subtract and multiply are computed with the compiler's overflow
// builtins and, when they overflow, the result cell becomes the exact float! result; a divide
// that leaves a remainder does the same when a result cell is given. negate and absolute of the
// smallest value, and -2147483648 divided by -1, raise math overflow. round is computed in 64 bits
// and raises overflow only when the chosen result leaves the range.
//
// Mixed operands: a float!, percent! or time! second operand hands the operation to the float
// arithmetic (float.cpp) with the integer widened.
#include "core/errors.h"
#include "core/runtime.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/unicode.h"
#include "datatypes/compound.h"
#include "datatypes/date.h"
#include "datatypes/money.h"
#include "datatypes/scalars.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"
#include "evaluator/lexer.h"
#include "evaluator/random.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace kel {

// ---- Constructors and accessors ---------------------------------------------------------------------

Cell* integer_push(int32_t v) { return stack_push(make_integer(v)); }

Cell* integer_make_at(Cell* c, int32_t v) {
    set_cell_type(c, T_INTEGER);
    c->data2 = uint32_t(v);
    return c;
}

Cell* integer_make_in(const Cell* block, int32_t v) {
    return block_append(series_node(block), make_integer(v));
}

void integer_box(int32_t v) { *g_stack.arguments = make_integer(v); }
int32_t integer_get() { return integer_get_cell(g_stack.arguments); }
int32_t integer_get_or_zero() {
    return g_stack.arguments->is(T_INTEGER) ? integer_get_cell(g_stack.arguments) : 0;
}

int32_t integer_abs(int32_t v) {
    if (v == INT32_MIN) fire_error(Err::Overflow);
    return v < 0 ? -v : v;
}

bool integer_float_overflow(const Cell* float_cell) {
    double d = float_cell->get_float();
    return std::isnan(d) || d > 2147483647.0 || d < -2147483648.0;
}

char* integer_digits(int32_t v, char* end) {
    static constexpr char pairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    char* p = end;
    uint32_t magnitude = v < 0 ? 0u - uint32_t(v) : uint32_t(v);
    while (magnitude >= 100) {
        uint32_t pair = magnitude % 100;
        magnitude /= 100;
        p -= 2;
        std::memcpy(p, pairs + 2 * pair, 2);
    }
    if (magnitude >= 10) {
        p -= 2;
        std::memcpy(p, pairs + 2 * magnitude, 2);
    } else {
        *--p = char('0' + magnitude);
    }
    if (v < 0) *--p = '-';
    return p;
}

const char* integer_form_signed(int32_t v) {
    static char buffer[12];
    buffer[11] = 0;
    return integer_digits(v, buffer + 11);
}

// ---- Arithmetic core ----------------------------------------------------------------------------------

int32_t integer_math_int32(int32_t l, int32_t r, int32_t op, Cell* result) {
    int32_t out;
    switch (op) {
    case OP_ADD:
        if (__builtin_add_overflow(l, r, &out)) {
            if (result) float_make_at(result, double(l) + double(r));
            return 0;
        }
        return out;
    case OP_SUBTRACT:
        if (__builtin_sub_overflow(l, r, &out)) {
            if (result) float_make_at(result, double(l) - double(r));
            return 0;
        }
        return out;
    case OP_MULTIPLY:
        if (__builtin_mul_overflow(l, r, &out)) {
            // the exact product fits in 63 bits; its double is the correctly rounded value
            if (result) float_make_at(result, double(int64_t(l) * int64_t(r)));
            return 0;
        }
        return out;
    case OP_DIVIDE:
        if (r == 0) fire_error(Err::ZeroDivide);
        if (l == INT32_MIN && r == -1) fire_error(Err::Overflow);
        if (result && l % r != 0) {
            float_make_at(result, double(l) / double(r));
            return 0;
        }
        return l / r;
    case OP_REMAINDER:
        if (r == 0) fire_error(Err::ZeroDivide);
        if (l == INT32_MIN && r == -1) fire_error(Err::Overflow);
        return l % r;
    case OP_OR: return l | r;
    case OP_AND: return l & r;
    case OP_XOR: return l ^ r;
    default:
        runtime_quit(101, 0);
    }
}

void integer_do_math(Cell* left, const Cell* right, int32_t op) {
    switch (right->type()) {
    case T_INTEGER:
    case T_CHAR: {
        int32_t v = integer_math_int32(integer_get_cell(left), integer_get_cell(right), op, left);
        if (left->is(T_INTEGER)) left->data2 = uint32_t(v);
        return;
    }
    case T_FLOAT:
    case T_PERCENT:
    case T_TIME:
        float_do_math_values(left, right, op);
        return;
    case T_PAIR: case T_POINT2D: case T_POINT3D:
        compound_math_swapped(left, right, op);
        return;
    case T_TUPLE:
        tuple_math_swapped(left, right, op);
        return;
    case T_MONEY:
        money_math(left, right, op);
        return;
    case T_DATE: {   // days + date is the date that many days on
        if (op != OP_ADD || !left->is(T_INTEGER)) fire_not_related("subtract", T_INTEGER);
        Cell date = *right;
        date_math(&date, left, false);
        *left = date;
        return;
    }
    default:
        fire_invalid_type(right);
    }
}

// ---- Actions ----------------------------------------------------------------------------------------------

// Decimal text of a string from its head, through the lexer's integer scanner.
static bool scan_integer_text(const Cell* str, int32_t* out) {
    Series* s = value_series(str);
    uint32_t unit = s->unit();
    uint64_t offset = uint64_t(series_index(str)) * unit;
    uint64_t bytes = s->tail - s->head;
    if (offset >= bytes) return false;
    int32_t error = 0;
    *out = scan_integer(s->head_ptr() + offset, uint32_t((bytes - offset) / unit), unit, &error);
    return error == 0;
}

static int32_t integer_from_issue(const Cell* issue) {
    uint32_t length = 0;
    const uint8_t* name = symbol_name(issue->data2, &length);
    if (length < 1 || length > 8) fire_error(Err::InvalidData, issue);
    uint32_t v = 0;
    for (uint32_t i = 0; i < length; ++i) {
        uint8_t c = name[i];
        uint32_t digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else fire_error(Err::InvalidData, issue);
        v = v << 4 | digit;
    }
    return int32_t(v);
}

static int32_t integer_from_binary(const Cell* bin) {
    Series* s = value_series(bin);
    const uint8_t* p = s->data() + series_index(bin);
    const uint8_t* end = s->tail_ptr();
    uint32_t v = 0;
    for (int i = 0; i < 4 && p < end; ++i, ++p) v = v << 8 | *p;
    return int32_t(v);
}

static void integer_to(Cell* proto, Cell* spec, TypeId) {
    int32_t v = 0;
    switch (spec->type()) {
    case T_INTEGER: case T_CHAR: v = integer_get_cell(spec); break;
    case T_FLOAT: case T_PERCENT: {
        if (integer_float_overflow(spec)) {
            Cell t = make_datatype(T_INTEGER);
            fire_error(Err::TypeLimit, &t);
        }
        v = int32_t(std::trunc(spec->get_float()));
        break;
    }
    case T_TIME: {
        double r = std::round(spec->get_float());   // halves away from zero
        if (!(r >= -2147483648.0 && r <= 2147483647.0)) {
            Cell t = make_datatype(T_INTEGER);
            fire_error(Err::TypeLimit, &t);
        }
        v = int32_t(r);
        break;
    }
    case T_STRING: case T_FILE: case T_URL: case T_TAG: case T_EMAIL: case T_REF:
        if (!scan_integer_text(spec, &v)) fire_bad_to_arg(T_INTEGER, spec);
        break;
    case T_ISSUE: v = integer_from_issue(spec); break;
    case T_BINARY: v = integer_from_binary(spec); break;
    case T_DATE: v = date_to_epoch(spec); break;
    case T_MONEY: v = money_to_integer(spec); break;
    default: fire_bad_to_arg(T_INTEGER, spec);
    }
    *proto = make_integer(v);
}

static void integer_make(Cell* proto, Cell* spec, TypeId type) {
    if (spec->is(T_LOGIC)) *proto = make_integer(spec->data1 ? 1 : 0);
    else integer_to(proto, spec, type);
}

static void integer_random(Cell* value, bool seed, bool secure, bool) {
    int32_t n = integer_get_cell(value);
    if (seed) {
        random_seed(uint32_t(n));
        *value = g_unset_cell;
        return;
    }
    value->data2 = uint32_t(random_int(n, secure));   // a char! stays a char!
}

static int32_t integer_form(const Cell* value, Cell* buffer, bool, int32_t budget) {
    char text[11];
    char* start = integer_digits(integer_get_cell(value), text + sizeof text);
    size_t n = size_t(text + sizeof text - start);
    string_append_bytes(buffer, reinterpret_cast<const uint8_t*>(start), n);
    return budget - int32_t(n);
}

static int32_t integer_mold(const Cell* value, Cell* buffer, bool, bool, bool, bool part,
                            int32_t budget, int32_t) {
    return integer_form(value, buffer, part, budget);
}

int32_t float_compare_doubles(double a, double b, int32_t op);  // float.cpp

static int32_t integer_compare(const Cell* a, const Cell* b, int32_t op) {
    if ((op == CMP_STRICT_EQUAL || op == CMP_SEARCH) && !b->is(T_INTEGER)) return 1;
    switch (b->type()) {
    case T_INTEGER: case T_CHAR: {
        int32_t x = integer_get_cell(a), y = integer_get_cell(b);
        return (x > y) - (x < y);
    }
    case T_FLOAT: case T_PERCENT: case T_TIME:
        return float_compare_doubles(double(integer_get_cell(a)), b->get_float(), op);
    case T_MONEY:
        return money_compare_swapped(a, b, op);
    default:
        return CMP_NOT_COMPARABLE;
    }
}

static void integer_absolute(Cell* v) { v->data2 = uint32_t(integer_abs(integer_get_cell(v))); }

static void integer_negate(Cell* v) {
    int32_t x = integer_get_cell(v);
    if (x == INT32_MIN) fire_error(Err::Overflow);
    v->data2 = uint32_t(-x);
}

static void integer_complement(Cell* v) { v->data2 = ~v->data2; }

template <int Op>
static void integer_math(Cell* left, Cell* right) { integer_do_math(left, right, Op); }

void float_power_cells(Cell* base, const Cell* exponent);  // float.cpp

static void integer_power(Cell* base, Cell* exponent) {
    if (!exponent->is(T_INTEGER) && !exponent->is(T_FLOAT)) fire_expect_arg(exponent, 1);
    if (exponent->is(T_FLOAT) || integer_get_cell(exponent) < 0) {
        float_make_at(base, double(integer_get_cell(base)));
        float_power_cells(base, exponent);
        return;
    }
    int64_t b = integer_get_cell(base), result = 1;
    uint32_t e = uint32_t(integer_get_cell(exponent));
    auto fits = [](int64_t v) { return v >= INT32_MIN && v <= INT32_MAX; };
    while (e) {
        if (e & 1) {
            result *= b;
            if (!fits(result)) goto escape;
        }
        e >>= 1;
        if (e) {
            b *= b;
            if (!fits(b)) goto escape;
        }
    }
    base->data2 = uint32_t(int32_t(result));
    return;
escape:
    float_make_at(base, double(integer_get_cell(base)));
    float_power_cells(base, exponent);
}

void integer_round(Cell* value, const RoundOpts& o) {
    if (o.to && o.to->is(T_MONEY)) fire_not_related("round", T_MONEY);
    if (o.to && !o.to->is(T_INTEGER)) {
        float_make_at(value, double(integer_get_cell(value)));
        float_round(value, o);
        return;
    }
    int64_t n = integer_get_cell(value);
    int64_t s = o.to ? std::llabs(int64_t(integer_get_cell(o.to))) : 1;
    if (s == 0) return;
    int64_t a = n < 0 ? -n : n;
    int64_t r = a % s, q = a / s;
    if (r == 0) return;
    int64_t down = a - r, up = a + (s - r);
    int64_t sign = n < 0 ? -1 : 1;
    int64_t result;
    if (o.down) result = sign * down;
    else if (o.floor) result = n >= 1 ? down : -up;
    else if (o.ceiling) result = n >= 0 ? up : -down;
    else if (r < s - r) result = sign * down;
    else if (r > s - r) result = sign * up;
    else if (o.even) result = sign * (q & 1 ? up : down);
    else if (o.half_down) result = sign * down;
    else if (o.half_ceiling) result = n >= 0 ? up : -down;
    else result = sign * up;
    if (result < INT32_MIN || result > INT32_MAX) fire_error(Err::Overflow);
    value->data2 = uint32_t(int32_t(result));
}

static bool integer_even(const Cell* v) { return (v->data2 & 1) == 0; }
static bool integer_odd(const Cell* v) { return (v->data2 & 1) != 0; }

void integer_init() {
    ActionEntries e = action_entries(UNSUPPORTED);
    set_entry<A_MAKE>(e, integer_make);
    set_entry<A_RANDOM>(e, integer_random);
    set_entry<A_TO>(e, integer_to);
    set_entry<A_FORM>(e, integer_form);
    set_entry<A_MOLD>(e, integer_mold);
    set_entry<A_COMPARE>(e, integer_compare);
    set_entry<A_ABSOLUTE>(e, integer_absolute);
    set_entry<A_ADD>(e, integer_math<OP_ADD>);
    set_entry<A_DIVIDE>(e, integer_math<OP_DIVIDE>);
    set_entry<A_MULTIPLY>(e, integer_math<OP_MULTIPLY>);
    set_entry<A_NEGATE>(e, integer_negate);
    set_entry<A_POWER>(e, integer_power);
    set_entry<A_REMAINDER>(e, integer_math<OP_REMAINDER>);
    set_entry<A_ROUND>(e, integer_round);
    set_entry<A_SUBTRACT>(e, integer_math<OP_SUBTRACT>);
    set_entry<A_EVEN_Q>(e, integer_even);
    set_entry<A_ODD_Q>(e, integer_odd);
    set_entry<A_AND>(e, integer_math<OP_AND>);
    set_entry<A_COMPLEMENT>(e, integer_complement);
    set_entry<A_OR>(e, integer_math<OP_OR>);
    set_entry<A_XOR>(e, integer_math<OP_XOR>);
    register_datatype(T_INTEGER, T_NONE_ID, "integer!", e);
}

} // namespace kel
