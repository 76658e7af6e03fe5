// float!: the 64-bit IEEE double (words 2-3), parent of time! and percent!.
//
// float_format is the one formatter of every float-like value: printf-style digits per kind,
// with the pretty rules (tiny magnitudes print as zero, a 16-17 digit text ending in 01/99 is
// printed again with fewer digits) and the language's exponent notation ("1.0e20", "1.0e-5").
// mold writes the shortest text that reads back to the same double.
//
// Equality is tolerant (float_almost_equal: 2^-52 absolute, or at most 10 doubles apart);
// strict-equal? is exact IEEE equality and same? compares the bits. A NaN makes every ordering
// test false. Arithmetic never raises: division by zero gives infinities and NaNs. Results keep
// the operand kind: time when a time takes part, percent when the first operand is one.
#include "core/errors.h"
#include "core/float-text.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/unicode.h"
#include "datatypes/compound.h"
#include "datatypes/money.h"
#include "datatypes/scalars.h"
#include "evaluator/actions.h"
#include "evaluator/lexer.h"
#include "evaluator/random.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

namespace kel {

bool g_float_pretty = true;
bool g_float_full = false;

constexpr double EPSILON_52 = 2.220446049250313e-16;   // 2^-52

// ---- Helpers ------------------------------------------------------------------------------------------

void float_box(double d) { *g_stack.arguments = make_float(d); }
Cell* float_make_at(Cell* c, double d) {
    init_cell(c, T_FLOAT);
    c->put_float(d);
    return c;
}
Cell* float_make_in(const Cell* block, double d) {
    return block_append(series_node(block), make_float(d));
}
Cell* float_push(double d) { return stack_push(make_float(d)); }
Cell* float_push_bits(uint32_t high, uint32_t low) { return stack_push(Cell{T_FLOAT, 0, low, high}); }

double float_abs(double d) { return std::fabs(d); }
bool float_nan(double d) { return std::isnan(d); }
bool float32_nan(float f) { return f != f; }
bool float_not_finite(double d) { return !std::isfinite(d); }

int32_t float_to_int(double d) {
    if (std::isnan(d)) return 0;
    double r = std::round(d);
    if (r >= 2147483647.0) return INT32_MAX;
    if (r <= -2147483648.0) return INT32_MIN;
    return int32_t(r);
}

int32_t float_trunc_checked(double d) {
    double t = std::trunc(d);
    if (!(t >= -2147483648.0 && t <= 2147483647.0)) fire_error(Err::Overflow);
    return int32_t(t);
}

// Maps a double's bits to an integer that orders like the doubles.
static int64_t ordered_bits(double d) {
    int64_t bits;
    std::memcpy(&bits, &d, 8);
    int64_t magnitude = bits & INT64_MAX;
    return bits < 0 ? -magnitude : magnitude;
}

bool float_almost_equal(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return false;
    if (a == b) return true;
    if (std::fabs(a - b) < EPSILON_52) return true;
    int64_t x = ordered_bits(a), y = ordered_bits(b);
    uint64_t distance = x > y ? uint64_t(x) - uint64_t(y) : uint64_t(y) - uint64_t(x);
    return distance <= 10;
}

bool float32_almost_equal(float a, float b) {
    if (a != a || b != b) return false;
    if (a == b) return true;
    int32_t ba, bb;
    std::memcpy(&ba, &a, 4);
    std::memcpy(&bb, &b, 4);
    int32_t ma = ba & INT32_MAX, mb = bb & INT32_MAX;
    if (ma == 0 && mb == 0) return true;
    const float largest = std::numeric_limits<float>::max();
    if (std::fabs(a) >= largest || std::fabs(b) >= largest)
        return (ba < 0) == (bb < 0) && std::abs(int64_t(ma) - int64_t(mb)) < 0x100000;
    int64_t x = ba < 0 ? -int64_t(ma) : ma, y = bb < 0 ? -int64_t(mb) : mb;
    return std::abs(x - y) <= 10;
}

// ---- Formatting -------------------------------------------------------------------------------------------

const char* float_format(double d, int32_t kind) {
    static char buffer[64];
    if (std::isnan(d)) return "1.#NaN";
    if (std::isinf(d)) return d > 0 ? "1.#INF" : "-1.#INF";
    bool percent = kind == FK_PERCENT32 || kind == FK_PERCENT;
    if (g_float_pretty && std::fabs(d) < EPSILON_52)
        return percent ? "0%" : kind == FK_POINT ? "0" : "0.0";

    auto print = [&](int digits) {
        if (kind == FK_TIME && digits == 0) float_to_text(d, 6, false, buffer);
        else std::snprintf(buffer, sizeof buffer, "%.*g", digits, d);
    };
    static const int k_digits[] = {7, 16, 7, 13, 0, 7};
    print(k_digits[kind]);

    if (g_float_pretty) {
        char* e = std::strchr(buffer, 'e');
        size_t mantissa = e ? size_t(e - buffer) : std::strlen(buffer);
        bool long_text;
        if (e) {
            long_text = mantissa > 16;
        } else {
            const char* first = buffer[0] == '-' ? buffer + 1 : buffer;
            long_text = mantissa > (first[0] == '0' ? 17u : 16u);
        }
        if (long_text && mantissa >= 2) {
            const char* last2 = buffer + mantissa - 2;
            if (std::strncmp(last2, "01", 2) == 0 || std::strncmp(last2, "99", 2) == 0) {
                bool short_kind = kind == FK_FLOAT32 || kind == FK_TIME || kind == FK_POINT;
                std::snprintf(buffer, sizeof buffer, "%.*g", short_kind ? 5 : 14, d);
            }
        }
    }

    // exponent: "e", "-" when negative, digits without leading zeros
    if (char* e = std::strchr(buffer, 'e')) {
        char* p = e + 1;
        bool negative = *p == '-';
        if (*p == '+' || *p == '-') ++p;
        while (*p == '0' && p[1]) ++p;
        char exponent[16];
        std::snprintf(exponent, sizeof exponent, "%s%s", negative ? "-" : "", p);
        std::strcpy(e + 1, exponent);
    }
    if (percent) {
        std::strcat(buffer, "%");
    } else if (!std::strchr(buffer, '.') && kind != FK_TIME && kind != FK_POINT) {
        if (char* e = std::strchr(buffer, 'e')) {
            size_t tail = std::strlen(e);
            std::memmove(e + 2, e, tail + 1);
            e[0] = '.';
            e[1] = '0';
        } else {
            std::strcat(buffer, ".0");
        }
    }
    return buffer;
}

// ---- Arithmetic ---------------------------------------------------------------------------------------------

double float_do_math(double x, double y, int32_t op) {
    switch (op) {
    case OP_ADD: return x + y;
    case OP_SUBTRACT: return x - y;
    case OP_MULTIPLY: return x * y;
    case OP_DIVIDE: return x / y;
    case OP_REMAINDER:
        if (std::isnan(y)) return y;
        if (std::isinf(y)) return std::isfinite(x) ? x : std::numeric_limits<double>::quiet_NaN();
        return std::fmod(x, y);
    default: {
        Cell action = stack_caller_word(0);
        Cell type = make_datatype(T_FLOAT);
        fire_error(Err::CannotUse, &action, &type);
    }
    }
}

static inline double number_of(const Cell* c) {
    return c->is(T_INTEGER) || c->is(T_CHAR) ? double(integer_get_cell(c)) : c->get_float();
}

void float_do_math_values(Cell* left, const Cell* right, int32_t op) {
    TypeId lt = left->type(), rt = right->type();
    switch (rt) {
    case T_INTEGER: case T_FLOAT: case T_PERCENT: case T_TIME: break;
    case T_TUPLE:
        tuple_math_swapped(left, right, op);
        return;
    case T_PAIR: case T_POINT2D: case T_POINT3D:
        if (lt == T_TIME) fire_invalid_type(right);
        compound_math_swapped(left, right, op);
        return;
    case T_CHAR:
        if (lt == T_TIME || lt == T_PERCENT) fire_invalid_type(right);
        break;
    case T_MONEY:
        money_math(left, right, op);
        return;
    default:
        fire_invalid_type(right);
    }
    double r = float_do_math(number_of(left), number_of(right), op);
    TypeId type = (lt == T_TIME || rt == T_TIME) ? T_TIME : lt == T_PERCENT ? T_PERCENT : T_FLOAT;
    float_make_at(left, r);
    set_cell_type(left, type);
}

void float_power_cells(Cell* base, const Cell* exponent) {
    if (!exponent->is(T_INTEGER) && !exponent->is(T_FLOAT)) fire_expect_arg(exponent, 1);
    base->put_float(std::pow(number_of(base), number_of(exponent)));
    if (base->is(T_INTEGER)) set_cell_type(base, T_FLOAT);
}

// ---- Round ------------------------------------------------------------------------------------------------------

void float_round(Cell* value, const RoundOpts& o) {
    if (o.to && o.to->is(T_MONEY)) fire_not_related("round", T_MONEY);
    double x = value->get_float();
    bool percent = value->is(T_PERCENT);
    double s = percent ? 0.01 : 1.0;
    if (o.to) {
        if (!o.to->is(T_INTEGER) && !o.to->is(T_FLOAT) && !o.to->is(T_PERCENT) && !o.to->is(T_TIME))
            fire_expect_arg(o.to, 1);
        s = std::fabs(number_of(o.to));
        if (percent) s /= 100.0;
    }
    double result;
    if (!std::isfinite(x) || s == 0.0 || s < std::fabs(x) * 0x1p-53 || std::isnan(s)) {
        result = x;
    } else {
        // a step below 1 is applied through its reciprocal; a tiny one is first split into
        // mantissa and exponent so that the reciprocal stays finite
        int exponent = 0;
        double step = s, scaled = x;
        if (s < 1.0) {
            int e;
            double m = std::frexp(s, &e);
            if (e < -1021) {
                step = m;
                exponent = e;
                scaled = std::ldexp(x, -e);
            }
        }
        double v = step >= 1.0 ? scaled / step : scaled * (1.0 / step);
        double a = std::fabs(v), d;
        if (o.down) d = std::copysign(std::trunc(a), v);
        else if (o.floor) d = std::floor(v);
        else if (o.ceiling) d = std::ceil(v);
        else {
            double f = a - std::floor(a);
            if (f > 0.5) d = std::copysign(std::ceil(a), v);
            else if (f < 0.5) d = std::copysign(std::floor(a), v);
            else if (o.even)
                d = std::copysign(std::fmod(std::floor(a), 2.0) != 0.0 ? std::ceil(a) : std::floor(a), v);
            else if (o.half_down) d = std::copysign(std::floor(a), v);
            else if (o.half_ceiling) d = std::ceil(v);
            else d = std::copysign(std::ceil(a), v);
        }
        result = step >= 1.0 ? d * step : d / (1.0 / step);
        if (exponent) result = std::ldexp(result, exponent);
        if (!std::isfinite(result)) fire_error(Err::Overflow);
    }
    if (o.to && o.to->is(T_INTEGER)) {
        *value = make_integer(float_trunc_checked(result));
        return;
    }
    TypeId type = o.to ? o.to->type() : value->type();
    float_make_at(value, result);
    set_cell_type(value, type);
}

// ---- Random -------------------------------------------------------------------------------------------------------

double float_random_scaled(double x, bool secure) {
    if (!secure) return x * double(random_next()) / 2147483647.0;
    double r1 = random_secure();
    double r2 = random_secure();
    return x * (r2 + r1 / 2147483647.0) / 2147483648.0;
}

static void float_random(Cell* value, bool seed, bool secure, bool) {
    if (seed) {
        random_seed(value->data2 ^ value->data3);
        *value = g_unset_cell;
        return;
    }
    value->put_float(float_random_scaled(value->get_float(), secure));
}

// ---- Make and to ---------------------------------------------------------------------------------------------------

// A float from text: for float! the lexer's float scanner (a comma is the decimal point); for
// percent! the text is loaded as one value, which must be a number.
static bool scan_float_text(const Cell* str, TypeId type, double* out) {
    Series* s = value_series(str);
    uint32_t unit = s->unit();
    uint64_t offset = uint64_t(series_index(str)) * unit;
    uint64_t bytes = s->tail - s->head;
    if (offset >= bytes) return false;
    if (type == T_PERCENT) {
        Cell* loaded = stack_push(g_unset_cell);
        LexerCall call;
        call.flags = LEX_ONE;
        lexer_load_string(loaded, str, -1, call);
        Cell v = *loaded;
        stack_pop();
        if (!v.is(T_INTEGER) && !v.is(T_FLOAT) && !v.is(T_PERCENT)) return false;
        *out = number_of(&v);
        return true;
    }
    int32_t error = 0;
    *out = scan_float(s->head_ptr() + offset, uint32_t((bytes - offset) / unit), unit, &error);
    return error == 0;
}

static void float_to(Cell* proto, Cell* spec, TypeId type) {
    if (type != T_PERCENT) type = T_FLOAT;
    double d = 0.0;
    switch (spec->type()) {
    case T_INTEGER: case T_CHAR: d = double(integer_get_cell(spec)); break;
    case T_FLOAT: case T_PERCENT: case T_TIME: d = spec->get_float(); break;
    case T_MONEY: d = money_to_float(spec); break;
    case T_BINARY: {
        Series* s = value_series(spec);
        const uint8_t* p = s->data() + series_index(spec);
        const uint8_t* end = s->tail_ptr();
        uint64_t bits = 0;
        for (int i = 0; i < 8 && p < end; ++i, ++p) bits = bits << 8 | *p;
        std::memcpy(&d, &bits, 8);
        break;
    }
    case T_BLOCK: case T_PAREN: case T_HASH: {
        Series* s = value_series(spec);
        uint32_t index = series_index(spec);
        if (s->length() < index || s->length() - index != 2) fire_bad_to_arg(type, spec);
        const Cell* m = s->cell_at(index);
        const Cell* e = m + 1;
        for (const Cell* c : {m, e})
            if (!c->is(T_INTEGER) && !c->is(T_FLOAT)) fire_bad_to_arg(type, c);
        double exponent = std::trunc(number_of(e));
        d = number_of(m) * std::pow(10.0, exponent);
        break;
    }
    case T_STRING: case T_FILE: case T_URL: case T_TAG: case T_EMAIL: case T_REF:
        if (!scan_float_text(spec, type, &d)) fire_bad_to_arg(type, spec);
        break;
    default:
        fire_bad_to_arg(type, spec);
    }
    float_make_at(proto, d);
    set_cell_type(proto, type);
}

// ---- Actions ---------------------------------------------------------------------------------------------------------

static int32_t float_form(const Cell* value, Cell* buffer, bool, int32_t budget) {
    return scalar_emit(buffer, float_format(value->get_float(), FK_FLOAT), budget);
}

static int32_t float_mold(const Cell* value, Cell* buffer, bool, bool, bool, bool, int32_t budget,
                          int32_t) {
    char text[float_text_size];
    float_to_text(value->get_float(), 0, true, text);
    return scalar_emit(buffer, text, budget);
}

int32_t float_compare_doubles(double a, double b, int32_t op) {
    switch (op) {
    case CMP_EQUAL: case CMP_NOT_EQUAL: case CMP_FIND: case CMP_STRICT_WORD: case CMP_SEARCH:
        return float_almost_equal(a, b) ? 0 : 1;
    case CMP_STRICT_EQUAL:
        return a == b ? 0 : 1;
    case CMP_SAME: {
        uint64_t x, y;
        std::memcpy(&x, &a, 8);
        std::memcpy(&y, &b, 8);
        return x == y ? 0 : 1;
    }
    default:
        break;
    }
    if (std::isnan(a) || std::isnan(b)) {
        if (op == CMP_LESSER || op == CMP_LESSER_EQUAL) return 1;
        if (op == CMP_GREATER || op == CMP_GREATER_EQUAL) return -1;
        return 0;
    }
    return (a > b) - (a < b);
}

static int32_t float_compare(const Cell* a, const Cell* b, int32_t op) {
    if ((op == CMP_STRICT_EQUAL || op == CMP_SAME || op == CMP_SEARCH) && a->type() != b->type())
        return 1;
    switch (b->type()) {
    case T_INTEGER: case T_FLOAT: case T_PERCENT: case T_TIME:
        return float_compare_doubles(a->get_float(), number_of(b), op);
    case T_MONEY:
        return money_compare_swapped(a, b, op);
    default:
        return CMP_NOT_COMPARABLE;
    }
}

static void float_absolute(Cell* v) { v->put_float(std::fabs(v->get_float())); }
static void float_negate(Cell* v) { v->put_float(0.0 - v->get_float()); }

template <int Op>
static void float_math(Cell* left, Cell* right) { float_do_math_values(left, right, Op); }

static void float_power(Cell* base, Cell* exponent) { float_power_cells(base, exponent); }

static bool float_odd(const Cell* v) {
    double x = v->get_float();
    if (!std::isfinite(x)) fire_error(Err::Overflow);
    return std::fmod(std::trunc(x), 2.0) != 0.0;
}
static bool float_even(const Cell* v) { return !float_odd(v); }

void float_init() {
    ActionEntries e = action_entries(UNSUPPORTED);
    set_entry<A_MAKE>(e, float_to);
    set_entry<A_RANDOM>(e, float_random);
    set_entry<A_TO>(e, float_to);
    set_entry<A_FORM>(e, float_form);
    set_entry<A_MOLD>(e, float_mold);
    set_entry<A_COMPARE>(e, float_compare);
    set_entry<A_ABSOLUTE>(e, float_absolute);
    set_entry<A_ADD>(e, float_math<OP_ADD>);
    set_entry<A_DIVIDE>(e, float_math<OP_DIVIDE>);
    set_entry<A_MULTIPLY>(e, float_math<OP_MULTIPLY>);
    set_entry<A_NEGATE>(e, float_negate);
    set_entry<A_POWER>(e, float_power);
    set_entry<A_REMAINDER>(e, float_math<OP_REMAINDER>);
    set_entry<A_ROUND>(e, float_round);
    set_entry<A_SUBTRACT>(e, float_math<OP_SUBTRACT>);
    set_entry<A_EVEN_Q>(e, float_even);
    set_entry<A_ODD_Q>(e, float_odd);
    register_datatype(T_FLOAT, T_NONE_ID, "float!", e);
}

} // namespace kel
