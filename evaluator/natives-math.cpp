// Natives: numbers. max, min, shift, to-hex, the trigonometric natives, NaN?, the logarithms,
// exp, square-root and zero?.
//
// Trigonometric natives take degrees unless /radians is given. Degrees are first folded into the
// range where the C library is exact at the angles people type: sine 180 and cosine 90 give 0.0,
// tangent 90 gives +infinity. Results within one double epsilon of zero become exactly 0.0.
// Every native here returns NaN or an infinity where the C library does; none raises for a value
// out of its domain.
#include "core/errors.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/money.h"
#include "datatypes/scalars.h"
#include "evaluator/actions.h"
#include "evaluator/natives.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace kel {

namespace {

inline Cell* arg(uint32_t i) { return stack_arg(i); }
inline Cell* ref(const int32_t* r, uint32_t i) { return r[i] >= 0 ? arg(uint32_t(r[i])) : nullptr; }
inline bool flag(const int32_t* r, uint32_t i) { return r[i] >= 0; }

constexpr double PI = 3.141592653589793;
constexpr double EPSILON = 2.220446049250313e-16;

enum TrigMode { MODE_TANGENT = 0, MODE_COSINE = 1, MODE_SINE = 2 };

// An angle in degrees folded into -180..180 (and, for sine and tangent, into -90..90 by the
// function's symmetry), in radians.
double degrees_to_radians(double x, int mode) {
    double b = std::fmod(x, 360.0);
    if (b > 180.0 || b < -180.0) b = b >= 0 ? b - 360.0 : b + 360.0;
    if (b > 90.0 || b < -90.0) {
        if (mode == MODE_TANGENT) b += b >= 0 ? -180.0 : 180.0;
        else if (mode == MODE_SINE) b = b >= 0 ? 180.0 - b : -180.0 - b;
    }
    return b * PI / 180.0;
}

// The value of an integer!, float! or percent! argument as a double; other types are refused.
double number_to_float(const Cell* c, uint32_t position) {
    switch (c->type()) {
    case T_INTEGER: return double(integer_get_cell(c));
    case T_FLOAT: case T_PERCENT: return c->get_float();
    default: fire_expect_arg(c, position);
    }
}

void set_float(double d) {
    Cell f = make_float(d);
    stack_set_result(&f);
}

double trig_arg_radians(bool radians, int mode) {
    double a = number_to_float(arg(0), 0);
    return radians ? a : degrees_to_radians(a, mode);
}

double cut_epsilon(double d) { return std::fabs(d) < EPSILON ? 0.0 : d; }

void native_sine(bool, const int32_t* r) { set_float(cut_epsilon(std::sin(trig_arg_radians(flag(r, 0), MODE_SINE)))); }
void native_cosine(bool, const int32_t* r) {
    set_float(cut_epsilon(std::cos(trig_arg_radians(flag(r, 0), MODE_COSINE))));
}
void native_tangent(bool, const int32_t* r) {
    double a = trig_arg_radians(flag(r, 0), MODE_TANGENT);
    if (a == PI / 2) set_float(1.0 / 0.0);
    else if (a == PI / -2) set_float(-1.0 / 0.0);
    else set_float(std::tan(a));
}

double to_degrees(double radians_value, bool radians) { return radians ? radians_value : radians_value * 180.0 / PI; }

void native_arcsine(bool, const int32_t* r) { set_float(to_degrees(std::asin(number_to_float(arg(0), 0)), flag(r, 0))); }
void native_arccosine(bool, const int32_t* r) { set_float(to_degrees(std::acos(number_to_float(arg(0), 0)), flag(r, 0))); }
void native_arctangent(bool, const int32_t* r) { set_float(to_degrees(std::atan(number_to_float(arg(0), 0)), flag(r, 0))); }
void native_arctangent2(bool, const int32_t* r) {
    double y = number_to_float(arg(0), 0), x = number_to_float(arg(1), 1);
    set_float(to_degrees(std::atan2(y, x), flag(r, 0)));
}

void native_nan_q(bool, const int32_t*) {
    const Cell* v = arg(0);
    bool nan = (v->is(T_FLOAT) || v->is(T_PERCENT)) && std::isnan(v->get_float());
    Cell result = make_logic(nan);
    stack_set_result(&result);
}

template <double (*F)(double)>
void native_float_fn(bool, const int32_t*) { set_float(F(number_to_float(arg(0), 0))); }

double log_2(double x) { return std::log(x) / 0.6931471805599453; }
double log_10(double x) { return std::log10(x); }
double log_e(double x) { return std::log(x); }
double exp_e(double x) { return std::pow(2.718281828459045, x); }
double root(double x) { return std::sqrt(x); }

// shift: a negative count counts as 0; 32 or more bits shift everything out.
void native_shift(bool, const int32_t* r) {
    int32_t data = integer_get_cell(arg(0));
    int32_t bits = integer_get_cell(arg(1));
    if (bits < 0) bits = 0;
    uint32_t u = uint32_t(data);
    int32_t out;
    if (flag(r, 0)) out = bits >= 32 ? 0 : int32_t(u << bits);
    else if (flag(r, 1)) out = bits >= 32 ? 0 : int32_t(u >> bits);
    else out = bits >= 32 ? (data < 0 ? -1 : 0) : (data >> bits);
    Cell result = make_integer(out);
    stack_set_result(&result);
}

// to-hex: eight uppercase digits, or the last n of them with /size; the digits name an issue!.
void native_to_hex(bool, const int32_t* r) {
    char digits[9];
    std::snprintf(digits, sizeof digits, "%08X", uint32_t(integer_get_cell(arg(0))));
    const char* text = digits;
    if (const Cell* size = ref(r, 0)) {
        int32_t n = integer_get_cell(size);
        if (n <= 0) fire_error(Err::InvalidArg, size);
        if (n < 8) text += 8 - n;
    }
    Cell issue{T_ISSUE, 0, symbol_make(text), 0};
    stack_set_result(&issue);
}

float point_coordinate(const Cell* c, int i) {
    uint32_t bits = i == 0 ? c->data1 : i == 1 ? c->data2 : c->data3;
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

void native_zero_q(bool, const int32_t*) {
    const Cell* v = arg(0);
    bool zero;
    switch (v->type()) {
    case T_INTEGER: case T_CHAR: zero = v->data2 == 0; break;
    case T_FLOAT: case T_PERCENT: case T_TIME: zero = v->get_float() == 0.0; break;
    case T_PAIR: zero = v->data2 == 0 && v->data3 == 0; break;
    case T_POINT2D: zero = point_coordinate(v, 0) == 0.0f && point_coordinate(v, 1) == 0.0f; break;
    case T_POINT3D:
        zero = point_coordinate(v, 0) == 0.0f && point_coordinate(v, 1) == 0.0f && point_coordinate(v, 2) == 0.0f;
        break;
    case T_TUPLE: {
        zero = true;
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(v) + 4;
        for (uint32_t i = 0; i < ((v->header >> 19) & 15); ++i) zero = zero && bytes[i] == 0;
        break;
    }
    case T_MONEY: zero = money_zero(v); break;
    default: zero = false; break;
    }
    Cell result = make_logic(zero);
    stack_set_result(&result);
}

bool is_plain_number(TypeId t) { return t == T_INTEGER || t == T_FLOAT || t == T_PERCENT; }

// A tuple's bytes start at the cell's byte 4; its length is in header bits 19-22.
uint32_t tuple_length(const Cell* c) { return (c->header >> 19) & 15; }
uint8_t* tuple_bytes(Cell* c) { return reinterpret_cast<uint8_t*>(c) + 4; }

// Compound values (pair!, tuple!, point2D!, point3D!) against a number or against their own type,
// component by component. False when neither operand is a compound.
bool max_min_compound(Cell* a, Cell* b, bool is_max) {
    auto compound = [](TypeId t) { return t == T_PAIR || t == T_TUPLE || t == T_POINT2D || t == T_POINT3D; };
    TypeId ta = a->type(), tb = b->type();
    if (!compound(ta) && !compound(tb)) return false;
    auto pick = [is_max](double x, double y) { return (is_max ? y > x : y < x) ? y : x; };
    if (compound(ta) && compound(tb)) {
        if (ta != tb) return false;   // the compare action decides (and raises)
        switch (ta) {
        case T_PAIR:
            a->data2 = uint32_t(int32_t(pick(int32_t(a->data2), int32_t(b->data2))));
            a->data3 = uint32_t(int32_t(pick(int32_t(a->data3), int32_t(b->data3))));
            return true;
        case T_TUPLE: {
            uint32_t n = std::max(tuple_length(a), tuple_length(b));
            uint8_t* x = tuple_bytes(a);
            const uint8_t* y = tuple_bytes(b);
            for (uint32_t i = 0; i < n; ++i) {
                uint8_t xi = i < tuple_length(a) ? x[i] : 0, yi = i < tuple_length(b) ? y[i] : 0;
                x[i] = uint8_t(pick(xi, yi));
            }
            a->header = (a->header & ~(15u << 19)) | (n << 19);
            return true;
        }
        default: {
            int n = ta == T_POINT3D ? 3 : 2;
            uint32_t* wa[3] = {&a->data1, &a->data2, &a->data3};
            for (int i = 0; i < n; ++i) {
                float f = float(pick(point_coordinate(a, i), point_coordinate(b, i)));
                std::memcpy(wa[i], &f, sizeof f);
            }
            return true;
        }
        }
    }
    // One compound and one number, in either order: the result has the compound's type.
    Cell* c = compound(ta) ? a : b;
    Cell* number = compound(ta) ? b : a;
    if (!is_plain_number(number->type())) return false;
    double v = number_to_float(number, compound(ta) ? 1 : 0);
    Cell result = *c;
    switch (c->type()) {
    case T_PAIR:
        if (number->is(T_FLOAT) && !(std::isfinite(v) && std::trunc(v) >= -2147483648.0 && std::trunc(v) <= 2147483647.0)) {
            float x = float(pick(double(int32_t(c->data2)), v)), y = float(pick(double(int32_t(c->data3)), v));
            result = Cell{T_POINT2D, 0, 0, 0};
            std::memcpy(&result.data1, &x, sizeof x);
            std::memcpy(&result.data2, &y, sizeof y);
        } else {
            result.data2 = uint32_t(int32_t(std::trunc(pick(int32_t(c->data2), v))));
            result.data3 = uint32_t(int32_t(std::trunc(pick(int32_t(c->data3), v))));
        }
        break;
    case T_TUPLE: {
        // Tuple components are integers: a float that no integer holds cannot meet them.
        if (!number->is(T_INTEGER) && integer_float_overflow(number)) {
            Cell t = make_datatype(T_INTEGER);
            fire_error(Err::TypeLimit, &t);
        }
        uint8_t* bytes = tuple_bytes(&result);
        for (uint32_t i = 0; i < tuple_length(&result); ++i) {
            double x = pick(bytes[i], v);
            bytes[i] = uint8_t(std::isnan(x) ? 0 : x < 0 ? 0 : x > 255 ? 255 : int(x));
        }
        break;
    }
    default: {
        int n = c->is(T_POINT3D) ? 3 : 2;
        uint32_t* w[3] = {&result.data1, &result.data2, &result.data3};
        for (int i = 0; i < n; ++i) {
            float f = float(pick(point_coordinate(c, i), v));
            std::memcpy(w[i], &f, sizeof f);
        }
    }
    }
    *a = result;
    return true;
}

// max and min: NaN wins between numbers; integers compare as integers, mixed numbers as doubles
// and the winner keeps its type; compound values meet a number component by component; any
// other two values go through the compare action.
void max_min(bool is_max) {
    Cell* a = arg(0);
    Cell* b = arg(1);
    TypeId ta = a->type(), tb = b->type();
    if (is_plain_number(ta) && is_plain_number(tb)) {
        bool nan_a = ta != T_INTEGER && std::isnan(a->get_float());
        bool nan_b = tb != T_INTEGER && std::isnan(b->get_float());
        if (nan_a || nan_b) {
            if (!nan_a) *a = *b;
            stack_keep_result();
            return;
        }
        bool a_greater;
        if (ta == T_INTEGER && tb == T_INTEGER) a_greater = integer_get_cell(a) > integer_get_cell(b);
        else a_greater = number_to_float(a, 0) > number_to_float(b, 1);
        if (a_greater != is_max) *a = *b;
        stack_keep_result();
        return;
    }
    if (max_min_compound(a, b, is_max)) {
        stack_keep_result();
        return;
    }
    int32_t order = compare_values(a, b, is_max ? CMP_GREATER : CMP_LESSER);
    if (order == CMP_NOT_COMPARABLE) fire_error(Err::InvalidCompare, a, b);
    if ((order < 0) == is_max) *a = *b;
    stack_keep_result();
}

void native_max(bool, const int32_t*) { max_min(true); }
void native_min(bool, const int32_t*) { max_min(false); }

} // namespace

void natives_math_register() {
    KEL_NATIVE_SLOT("max", native_max);
    KEL_NATIVE_SLOT("min", native_min);
    KEL_NATIVE_SLOT("shift", native_shift);
    KEL_NATIVE_SLOT("to-hex", native_to_hex);
    KEL_NATIVE_SLOT("sine", native_sine);
    KEL_NATIVE_SLOT("cosine", native_cosine);
    KEL_NATIVE_SLOT("tangent", native_tangent);
    KEL_NATIVE_SLOT("arcsine", native_arcsine);
    KEL_NATIVE_SLOT("arccosine", native_arccosine);
    KEL_NATIVE_SLOT("arctangent", native_arctangent);
    KEL_NATIVE_SLOT("arctangent2", native_arctangent2);
    KEL_NATIVE_SLOT("NaN?", native_nan_q);
    KEL_NATIVE_SLOT("log-2", native_float_fn<log_2>);
    KEL_NATIVE_SLOT("log-10", native_float_fn<log_10>);
    KEL_NATIVE_SLOT("log-e", native_float_fn<log_e>);
    KEL_NATIVE_SLOT("exp", native_float_fn<exp_e>);
    KEL_NATIVE_SLOT("square-root", native_float_fn<root>);
    KEL_NATIVE_SLOT("zero?", native_zero_q);
}

} // namespace kel
