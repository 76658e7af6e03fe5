// money!: exact decimal amounts with an optional currency (layout in datatypes/money.h).
//
// The arithmetic works on the amount as a whole number of units (0.00001) held in an unsigned
// 128-bit integer: 22 digits fit in 74 bits, so sums, products (checked for size before they are
// formed) and scaled dividends are exact, and no binary floating point is involved. The packed
// digits are unpacked into that number and packed back; every limit is the one of the 22-digit
// field: a result of 10^22 units or more raises type-limit.
//
// Text: mold writes -USD$1234.50 (the currency word, "$", the integer digits, and as many fraction
// digits as system/options/money-digits says, 2 when it holds no integer, 5 with /all); form also
// groups digits by three with "'". Digits beyond those shown are cut, not rounded.
#include "datatypes/money.h"

#include "core/context.h"
#include "core/errors.h"
#include "core/float-text.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/datatype.h"
#include "datatypes/object.h"
#include "datatypes/scalars.h"
#include "evaluator/actions.h"
#include "evaluator/lexer.h"
#include "evaluator/random.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace kel {

namespace {

using u128 = unsigned __int128;

constexpr uint64_t P11 = 100000000000ULL;           // 10^11: half of the digits
constexpr uint64_t UNIT = 100000;                   // units in 1
constexpr u128 LIMIT = u128(P11) * P11;             // 10^22: the first amount that does not fit

// ---- packing --------------------------------------------------------------------------------------

u128 units_of(const Cell* c) {
    const uint8_t* b = money_digit_bytes(c);
    uint64_t hi = 0, lo = 0;
    for (int i = 0; i < 5; ++i) hi = hi * 100 + (b[i] >> 4) * 10 + (b[i] & 15);
    hi = hi * 10 + (b[5] >> 4);
    lo = b[5] & 15;
    for (int i = 6; i < MONEY_DIGIT_BYTES; ++i) lo = lo * 100 + (b[i] >> 4) * 10 + (b[i] & 15);
    return u128(hi) * P11 + lo;
}

// Quotient by a constant in 64 bits whenever the value fits (the 128-bit division is a call).
inline u128 div_u128(u128 v, uint64_t d) { return (v >> 64) == 0 ? u128(uint64_t(v) / d) : v / d; }

// The two 11-digit halves of v (< 10^22).
inline void halves(u128 v, uint64_t* hi, uint64_t* lo) {
    *hi = uint64_t(div_u128(v, P11));
    *lo = uint64_t(v - u128(*hi) * P11);
}

// The 22 digits of v (< 10^22), most significant first.
void digits_of(u128 v, uint8_t d[MONEY_DIGITS]) {
    uint64_t hi, lo;
    halves(v, &hi, &lo);
    for (int i = 10; i >= 0; --i) { d[i] = uint8_t(hi % 10); hi /= 10; }
    for (int i = 21; i >= 11; --i) { d[i] = uint8_t(lo % 10); lo /= 10; }
}

// Five packed bytes of the 10 digits of x, most significant first.
inline void pack10(uint64_t x, uint8_t* b) {
    for (int i = 4; i >= 0; --i) {
        uint32_t two = uint32_t(x % 100);
        x /= 100;
        b[i] = uint8_t((two / 10) << 4 | two % 10);
    }
}

// A fresh money! cell: header with the sign (never set on zero), currency and digits.
void put_money(Cell* c, bool negative, uint32_t currency, u128 v) {
    uint64_t hi, lo;
    halves(v, &hi, &lo);
    c->header = T_MONEY | (negative && v != 0 ? uint32_t(CELL_MONEY_SIGN) : 0u);
    c->data1 = currency & 0xFF;
    uint8_t* b = reinterpret_cast<uint8_t*>(c) + 5;
    pack10(hi / 10, b);                                                  // digits 1-10
    b[5] = uint8_t((hi % 10) << 4 | lo / 10000000000ULL);                // digits 11 and 12
    pack10(lo % 10000000000ULL, b + 6);                                  // digits 13-22
}

int significant_digits(u128 v) {
    static const u128 k_powers[] = {
        u128(10ULL), u128(100ULL), u128(1000ULL), u128(10000ULL), u128(100000ULL),
        u128(1000000ULL), u128(10000000ULL), u128(100000000ULL), u128(1000000000ULL),
        u128(10000000000ULL), u128(100000000000ULL), u128(1000000000000ULL),
        u128(10000000000000ULL), u128(100000000000000ULL), u128(1000000000000000ULL),
        u128(10000000000000000ULL), u128(100000000000000000ULL), u128(1000000000000000000ULL),
        u128(10000000000000000000ULL), u128(10000000000000000000ULL) * 10,
        u128(10000000000000000000ULL) * 100, u128(10000000000000000000ULL) * 1000,
    };
    int n = 1;
    for (u128 p : k_powers) {
        if (v < p) break;
        ++n;
    }
    return n;
}

[[noreturn]] void fire_money_limit() {
    Cell t = make_datatype(T_MONEY);
    fire_error(Err::TypeLimit, &t);
}
[[noreturn]] void fire_bad_make(const Cell* item) {
    Cell t = make_datatype(T_MONEY);
    fire_error(Err::BadMakeArg, &t, item);
}

// ---- the system values it reads -------------------------------------------------------------

// system/<a>/<b>, or null when any step is missing.
const Cell* system_field(uint32_t a, uint32_t b) {
    Cell word = *context_global_word(symbol_make("system"));
    if (int32_t(word.data3) < 0) return nullptr;
    const Cell* sys = word_value_in(&word, g_global_context);
    if (!sys->is(T_OBJECT)) return nullptr;
    const Cell* first = object_get_field_sym(sys, a);
    if (!first || !first->is(T_OBJECT)) return nullptr;
    return object_get_field_sym(first, b);
}

// The currency words: system/locale/currencies/list, or null when it is not a block.
const Cell* currency_list() {
    static uint32_t s_locale, s_currencies, s_list;
    if (!s_locale) {
        s_locale = symbol_make("locale");
        s_currencies = symbol_make("currencies");
        s_list = symbol_make("list");
    }
    const Cell* cur = system_field(s_locale, s_currencies);
    if (!cur || !cur->is(T_OBJECT)) return nullptr;
    const Cell* list = object_get_field_sym(cur, s_list);
    return list && is_any_block(list->type()) ? list : nullptr;
}

// The word of a currency index, or null when the list has no such word.
const Cell* currency_word(uint32_t index) {
    const Cell* list = currency_list();
    if (!list || index == 0) return nullptr;
    Series* s = value_series(list);
    uint32_t at = series_index(list) + index - 1;
    if (at >= s->length() || !is_any_word(s->cell_at(at)->type())) return nullptr;
    return s->cell_at(at);
}

int32_t fraction_digits_shown() {
    static uint32_t s_options, s_digits;
    if (!s_options) {
        s_options = symbol_make("options");
        s_digits = symbol_make("money-digits");
    }
    const Cell* d = system_field(s_options, s_digits);
    return d && d->is(T_INTEGER) ? integer_get_cell(d) : 2;
}

// ---- conversions -----------------------------------------------------------------------------

struct Amount {
    bool negative;
    uint32_t currency;
    u128 units;
};

Amount amount_of(const Cell* c) { return Amount{money_sign(c), money_currency(c), units_of(c)}; }

// Digit text into units; false for anything beyond 17 integer or 5 fraction digits.
bool units_from_text(const uint8_t* text, size_t length, u128* out) {
    u128 v = 0;
    int int_digits = 0, frac_digits = 0;
    bool point = false;
    for (size_t i = 0; i < length; ++i) {
        uint8_t ch = text[i];
        if (ch == '\'') continue;
        if (ch == '.' || ch == ',') {
            if (point) return false;
            point = true;
            continue;
        }
        if (ch < '0' || ch > '9') return false;
        if (point) {
            if (++frac_digits > MONEY_FRAC_DIGITS) return false;
        } else if (int_digits > 0 || ch != '0') {
            if (++int_digits > MONEY_INT_DIGITS) return false;
        }
        v = v * 10 + (ch - '0');
    }
    for (int i = frac_digits; i < MONEY_FRAC_DIGITS; ++i) v *= 10;
    *out = v;
    return true;
}

// The float as units, cutting digits beyond the fifth fraction digit (exact: refusing them).
u128 units_from_float(double d, bool exact, const Cell* culprit) {
    if (!std::isfinite(d) || money_float_overflow(d) || money_float_underflow(d)) fire_bad_make(culprit);
    if (d == 0.0) return 0;
    int point = 0, sign = 0, count = 0;
    const char* digits = float_to_digits(d, 0, &point, &sign, &count, false);
    // value = 0.d1d2...dn x 10^point; units = digits x 10^(point + 5 - n)
    int shift = point + MONEY_FRAC_DIGITS - count;
    u128 v = 0;
    int used = count;
    if (shift < 0) {
        used = count + shift;   // digits that land at or above the fifth fraction digit
        for (int i = used < 0 ? 0 : used; i < count; ++i)
            if (exact && digits[i] != '0') fire_bad_make(culprit);
    }
    for (int i = 0; i < used; ++i) v = v * 10 + (digits[i] - '0');
    for (int i = 0; i < shift; ++i) v *= 10;
    return v;
}

Cell float_cell(double d) {
    Cell c{T_FLOAT, 0, 0, 0};
    c.put_float(d);
    return c;
}

// An integer, float or percent operand as an amount; another type raises invalid-type.
Amount amount_of_operand(const Cell* c) {
    switch (c->type()) {
    case T_MONEY: return amount_of(c);
    case T_INTEGER: {
        int32_t i = integer_get_cell(c);
        uint64_t m = i < 0 ? uint64_t(-int64_t(i)) : uint64_t(i);
        return Amount{i < 0, 0, u128(m) * UNIT};
    }
    case T_FLOAT: case T_PERCENT: {
        double d = c->get_float();
        return Amount{d < 0, 0, units_from_float(d, false, c)};
    }
    default: fire_invalid_type(c);
    }
}

// ---- arithmetic ---------------------------------------------------------------------------------

void check_limit(u128 v) {
    if (v >= LIMIT) fire_money_limit();
}

// Signed sum of two amounts (subtract: b's sign flipped first).
Amount add_amounts(Amount a, Amount b) {
    if (a.negative == b.negative) {
        u128 s = a.units + b.units;
        check_limit(s);
        return Amount{a.negative, 0, s};
    }
    if (a.units >= b.units) return Amount{a.negative, 0, a.units - b.units};
    return Amount{b.negative, 0, b.units - a.units};
}

u128 multiply_units(u128 a, u128 b) {
    if (a == 0 || b == 0) return 0;
    if (significant_digits(a) + significant_digits(b) > 28) fire_money_limit();
    u128 p = div_u128(a * b, UNIT);   // below 10^28: no wrap
    check_limit(p);
    return p;
}

u128 divide_units(u128 a, u128 b) {
    if (b == 0) fire_error(Err::ZeroDivide);
    if (a == 0) return 0;
    u128 n = a * UNIT;   // below 10^27
    u128 q = (n >> 64) == 0 && (b >> 64) == 0 ? u128(uint64_t(n) / uint64_t(b)) : n / b;
    check_limit(q);
    return q;
}

// ---- comparison -----------------------------------------------------------------------------------

int32_t amount_order(const Amount& a, const Amount& b) {
    int32_t sa = a.units == 0 ? 0 : a.negative ? -1 : 1;
    int32_t sb = b.units == 0 ? 0 : b.negative ? -1 : 1;
    if (sa != sb) return sa < sb ? -1 : 1;
    if (a.units == b.units) return 0;
    int32_t r = a.units < b.units ? -1 : 1;
    return sa < 0 ? -r : r;
}

// Strict kinds tell currencies apart even when one side has none.
bool strict_op(int32_t op) { return op == CMP_STRICT_EQUAL || op == CMP_SAME || op == CMP_STRICT_WORD; }
bool ordering_op(int32_t op) { return op >= CMP_LESSER && op <= CMP_GREATER_EQUAL; }
bool sort_op(int32_t op) { return op == CMP_SORT || op == CMP_CASE_SORT; }

} // namespace

// ---- helpers for other parts ------------------------------------------------------------------------

int32_t money_currency_index(uint32_t symbol) {
    const Cell* list = currency_list();
    if (!list) return -1;
    Series* s = value_series(list);
    uint32_t canonical = symbol_resolve(symbol);
    uint32_t base = series_index(list), n = s->length();
    for (uint32_t i = base; i < n; ++i) {
        const Cell* w = s->cell_at(i);
        if (is_any_word(w->type()) && symbol_resolve(w->data2) == canonical) {
            uint32_t index = i - base + 1;
            return index <= 255 ? int32_t(index) : -1;
        }
    }
    return -1;
}

bool money_from_digits(Cell* c, bool negative, uint32_t currency_symbol, const uint8_t* text,
                       size_t length) {
    uint32_t currency = 0;
    if (currency_symbol) {
        int32_t index = money_currency_index(currency_symbol);
        if (index < 0) return false;
        currency = uint32_t(index);
    }
    u128 v;
    if (!units_from_text(text, length, &v)) return false;
    put_money(c, negative, currency, v);
    if (negative) money_set_sign(c, true);   // -$0 keeps its flag, as written
    return true;
}

void money_from_raw(Cell* c, bool negative, uint32_t currency, const uint8_t* digits) {
    c->header = T_MONEY | (negative ? uint32_t(CELL_MONEY_SIGN) : 0u);
    c->data1 = currency & 0xFF;
    std::memcpy(reinterpret_cast<uint8_t*>(c) + 5, digits, MONEY_DIGIT_BYTES);
}

void money_from_integer(Cell* c, int32_t v) {
    Cell i = make_integer(v);
    Amount a = amount_of_operand(&i);
    put_money(c, a.negative, 0, a.units);
}

void money_from_float(Cell* c, double d, bool exact) {
    Cell f = float_cell(d);
    put_money(c, d < 0, 0, units_from_float(d, exact, &f));
}

bool money_float_overflow(double d) { return std::fabs(d) >= 1e17; }
bool money_float_underflow(double d) { return d != 0.0 && std::fabs(d) < 1e-05; }

int32_t money_to_integer(const Cell* c) {
    u128 whole = div_u128(units_of(c), UNIT);
    bool negative = money_sign(c);
    if (whole > (negative ? u128(2147483648u) : u128(2147483647u))) {
        Cell t = make_datatype(T_INTEGER);
        fire_error(Err::TypeLimit, &t);
    }
    return negative ? int32_t(-int64_t(whole)) : int32_t(whole);
}

double money_to_float(const Cell* c) {
    u128 v = units_of(c);
    if (v == 0) return 0.0;
    uint8_t d[MONEY_DIGITS];
    digits_of(v, d);
    char text[MONEY_DIGITS + 3];
    char* p = text;
    if (money_sign(c)) *p++ = '-';
    for (int i = 0; i < MONEY_DIGITS; ++i) {
        if (i == MONEY_INT_DIGITS) *p++ = '.';
        *p++ = char('0' + d[i]);
    }
    int remainder = 0;
    return text_to_float(text, p, 0, &remainder);
}

void money_math(Cell* left, const Cell* right, int32_t op) {
    bool lm = left->is(T_MONEY), rm = right->is(T_MONEY);
    if ((lm && rm && op == OP_MULTIPLY) || (!lm && (op == OP_DIVIDE || op == OP_REMAINDER)))
        fire_invalid_type(left);
    Amount a = amount_of_operand(left);
    Amount b = amount_of_operand(right);
    if (a.currency && b.currency && a.currency != b.currency) fire_error(Err::WrongDenom, left, right);
    uint32_t currency = b.currency ? b.currency : a.currency;
    Amount r{false, 0, 0};
    switch (op) {
    case OP_ADD: r = add_amounts(a, b); break;
    case OP_SUBTRACT: b.negative = !b.negative; r = add_amounts(a, b); break;
    case OP_MULTIPLY: r = Amount{a.negative != b.negative, 0, multiply_units(a.units, b.units)}; break;
    case OP_DIVIDE: {
        u128 q = divide_units(a.units, b.units);
        if (lm && rm) {
            Cell m;
            put_money(&m, a.negative != b.negative, 0, q);
            float_make_at(left, money_to_float(&m));
            return;
        }
        r = Amount{a.negative != b.negative, 0, q};
        break;
    }
    case OP_REMAINDER:
        if (b.units == 0) fire_error(Err::ZeroDivide);
        r = Amount{a.negative, 0, a.units % b.units};
        break;
    default: fire_invalid_type(left);
    }
    put_money(left, r.negative, currency, r.units);
}

int32_t money_compare(const Cell* a, const Cell* b, int32_t op) {
    Amount x = amount_of(a);
    if (b->is(T_MONEY)) {
        Amount y = amount_of(b);
        if (x.currency != y.currency) {
            if (sort_op(op)) return x.currency < y.currency ? -1 : 1;
            if (ordering_op(op)) {
                if (x.currency && y.currency) fire_error(Err::WrongDenom, a, b);
            } else if (strict_op(op) || (x.currency && y.currency)) {
                return 1;
            }
        }
        return amount_order(x, y);
    }
    if (strict_op(op) || op == CMP_SEARCH) return 1;   // other types are never the same money
    switch (b->type()) {
    case T_INTEGER: return amount_order(x, amount_of_operand(b));
    case T_FLOAT: case T_PERCENT: {
        double d = b->get_float();
        if (std::isnan(d)) return compare_op_is_equality(op) ? 1 : CMP_NOT_COMPARABLE;
        // beyond the money range the float's own sign orders them (the money lies between)
        if (money_float_overflow(d)) return compare_op_is_equality(op) ? 1 : d > 0 ? -1 : 1;
        if (money_float_underflow(d)) {
            if (compare_op_is_equality(op)) return 1;
            int32_t s = money_signum(a);
            return s != 0 ? s : d > 0 ? -1 : 1;
        }
        return amount_order(x, amount_of_operand(b));
    }
    default: return CMP_NOT_COMPARABLE;
    }
}

int32_t money_compare_swapped(const Cell* a, const Cell* money, int32_t op) {
    int32_t r = money_compare(money, a, op);
    return r == CMP_NOT_COMPARABLE ? r : -r;
}

// ---- actions ----------------------------------------------------------------------------------------

namespace {

// money from text through the lexer's money scanner; bad text raises bad-to-arg.
void money_from_text(Cell* out, const Cell* str) {
    Series* s = value_series(str);
    uint32_t unit = s->unit();
    uint64_t offset = uint64_t(series_index(str)) * unit;
    uint64_t bytes = s->tail - s->head;
    int32_t error = -1;
    Cell result;
    if (offset < bytes)
        scan_money(s->head_ptr() + offset, uint32_t((bytes - offset) / unit), unit, &error, &result);
    if (error != 0) fire_bad_to_arg(T_MONEY, str);
    *out = result;
}

void money_to(Cell* proto, Cell* spec, TypeId) {
    switch (spec->type()) {
    case T_MONEY: *proto = *spec; proto->header &= CELL_TYPE_MASK | CELL_MONEY_SIGN; return;
    case T_INTEGER: money_from_integer(proto, integer_get_cell(spec)); return;
    case T_FLOAT: {
        double d = spec->get_float();
        Cell f = *spec;
        put_money(proto, d < 0, 0, units_from_float(d, true, &f));
        return;
    }
    case T_STRING: case T_FILE: case T_URL: case T_TAG: case T_EMAIL: case T_REF:
        money_from_text(proto, spec);
        return;
    default: fire_bad_to_arg(T_MONEY, spec);
    }
}

// make: a currency word gives zero in it; a block is [currency? amount fraction?].
void money_make(Cell* proto, Cell* spec, TypeId type) {
    if (spec->is(T_WORD)) {
        int32_t index = money_currency_index(spec->data2);
        if (index < 0) fire_bad_make(spec);
        put_money(proto, false, uint32_t(index), 0);
        return;
    }
    if (!spec->is(T_BLOCK) && !spec->is(T_PAREN)) return money_to(proto, spec, type);
    Series* s = value_series(spec);
    uint32_t at = series_index(spec), n = s->length() > at ? s->length() - at : 0;
    if (n < 1 || n > 3) fire_bad_make(spec);
    Cell items[3];
    for (uint32_t i = 0; i < n; ++i) items[i] = *s->cell_at(at + i);
    uint32_t i = 0, currency = 0;
    if (items[0].is(T_WORD)) {
        int32_t index = money_currency_index(items[0].data2);
        if (index < 0) fire_bad_make(&items[0]);
        currency = uint32_t(index);
        ++i;
    }
    if (i == n) fire_bad_make(spec);
    const Cell* amount = &items[i++];
    Amount r;
    if (amount->is(T_INTEGER)) {
        r = amount_of_operand(amount);
    } else if (amount->is(T_FLOAT)) {
        double d = amount->get_float();
        r = Amount{d < 0, 0, units_from_float(d, true, amount)};
    } else {
        fire_bad_make(amount);
    }
    if (i < n) {
        const Cell* fraction = &items[i++];
        if (!fraction->is(T_INTEGER) || amount->is(T_FLOAT)) fire_bad_make(fraction);
        int32_t f = integer_get_cell(fraction);
        if (f < 0 || f > 99999) fire_bad_make(fraction);
        r.units += uint32_t(f);
    }
    if (i != n) fire_bad_make(spec);
    put_money(proto, r.negative, currency, r.units);
}

// Text of the value: "-", currency word, "$", digits. group: form's "'" separators.
int32_t money_text(const Cell* cell, Cell* buffer, bool part, int32_t budget, bool group, bool all) {
    const Cell copy = *cell;   // the cell may move when the currency's text is appended
    const Cell* value = &copy;
    int32_t shown = all ? MONEY_FRAC_DIGITS : fraction_digits_shown();
    if (shown > MONEY_FRAC_DIGITS) shown = MONEY_FRAC_DIGITS;
    if (money_signum(value) < 0) budget = scalar_emit(buffer, "-", budget);
    if (uint32_t index = money_currency(value)) {
        const Cell* word = currency_word(index);
        if (word) {
            Cell w = *word;
            budget = form_typed(&w, buffer, part, budget);
        } else {
            char text[16];
            std::snprintf(text, sizeof text, "#%u", index);   // a currency the list lacks
            budget = scalar_emit(buffer, text, budget);
        }
    }
    uint8_t d[MONEY_DIGITS];
    digits_of(units_of(value), d);
    char text[48];
    char* p = text;
    *p++ = '$';
    int first = 0;
    while (first < MONEY_INT_DIGITS - 1 && d[first] == 0) ++first;
    int last = MONEY_INT_DIGITS + (shown > 0 ? shown : 0);
    for (int i = first; i < last; ++i) {
        if (i == MONEY_INT_DIGITS) *p++ = '.';
        *p++ = char('0' + d[i]);
        // position i + 1 (1-based): a separator after positions 2, 5, 8 ... except the 17th
        if (group && (i + 2) % 3 == 0 && i + 1 != MONEY_INT_DIGITS && i + 1 < last) *p++ = '\'';
    }
    *p = 0;
    return scalar_emit(buffer, text, budget);
}

int32_t money_form(const Cell* value, Cell* buffer, bool part, int32_t budget) {
    return money_text(value, buffer, part, budget, true, false);
}
int32_t money_mold(const Cell* value, Cell* buffer, bool, bool all, bool, bool part, int32_t budget,
                   int32_t) {
    return money_text(value, buffer, part, budget, false, all);
}

// Field 1 (code) or 2 (amount) of a selector, or 0.
int32_t field_of(const Cell* selector) {
    static uint32_t s_code, s_amount;
    if (!s_code) {
        s_code = symbol_resolve(symbol_make("code"));
        s_amount = symbol_resolve(symbol_make("amount"));
    }
    if (selector->is(T_INTEGER)) {
        int32_t i = integer_get_cell(selector);
        return i == 1 || i == 2 ? i : 0;
    }
    if (is_any_word(selector->type())) {
        uint32_t s = symbol_resolve(selector->data2);
        return s == s_code ? 1 : s == s_amount ? 2 : 0;
    }
    return 0;
}

void read_field(Cell* value, int32_t field) {
    if (field == 1) {
        const Cell* word = currency_word(money_currency(value));
        *value = word ? *word : g_none_cell;
        if (word) value->header &= ~CELL_NEWLINE;
        return;
    }
    money_set_currency(value, 0);
}

void money_eval_path(Cell* parent, const PathStep& step) {
    Cell path = step.path ? *step.path : g_none_cell;
    if (step.value) fire_error(Err::BadPathSet, &path, step.element);
    int32_t field = field_of(step.element);
    if (!field) fire_error(Err::InvalidPath, &path, step.element);
    read_field(parent, field);
}

void money_pick(Cell* value, int32_t index, const Cell* index_value) {
    int32_t field = index_value && is_any_word(index_value->type()) ? field_of(index_value)
                    : index == 1 || index == 2                       ? index
                                                                     : 0;
    if (!field) {
        Cell i = make_integer(index);
        fire_error(Err::OutOfRange, index_value ? index_value : &i);
    }
    read_field(value, field);
}

void money_random(Cell* value, bool seed, bool secure, bool) {
    if (seed) {
        random_seed(value->data1 ^ value->data2 ^ value->data3 ^ (money_sign(value) ? 1u : 0u));
        *value = g_unset_cell;
        return;
    }
    uint8_t d[MONEY_DIGITS];
    digits_of(units_of(value), d);
    int i = 0;
    while (i < MONEY_DIGITS && d[i] == 0) ++i;
    bool bounded = true;   // every digit so far equals the original one
    for (; i < MONEY_DIGITS; ++i) {
        if (!bounded) {
            d[i] = uint8_t(random_int(10, secure) - 1);
            continue;
        }
        int bound = d[i];
        if (bound == 0) continue;   // nothing to draw below the bound
        int x = random_int(bound + 1, secure) - 1;
        // staying on the bound is made rare: drawn again unless two draws agree modulo 1000
        while (x == bound && random_int(1000, secure) != random_int(1000, secure))
            x = random_int(bound + 1, secure) - 1;
        d[i] = uint8_t(x);
        if (x < bound) bounded = false;
    }
    u128 v = 0;
    for (int k = 0; k < MONEY_DIGITS; ++k) v = v * 10 + d[k];
    put_money(value, money_sign(value), money_currency(value), v);
}

void money_absolute(Cell* v) { money_set_sign(v, false); }
void money_negate(Cell* v) { money_set_sign(v, !money_sign(v)); }

template <int Op>
void money_action_math(Cell* left, Cell* right) { money_math(left, right, Op); }

void money_round(Cell* value, const RoundOpts& o) {
    Amount v = amount_of(value);
    if (v.units == 0) return;
    u128 scale = UNIT;
    if (o.to) {
        switch (o.to->type()) {
        case T_MONEY: case T_INTEGER: case T_FLOAT: scale = amount_of_operand(o.to).units; break;
        default: fire_not_related("round", o.to->type());
        }
    }
    if (scale == 0) return;
    u128 r = v.units % scale;
    if (r == 0) return;
    u128 down = v.units - r;
    u128 up = v.units + (scale - r);
    bool tie = 2 * r == scale;
    auto up_checked = [&] { check_limit(up); return up; };
    auto nearest = [&] { return r < scale - r ? down : up_checked(); };
    bool positive = !v.negative;
    u128 result;
    if (o.down) result = down;
    else if (o.floor) result = positive ? down : up_checked();
    else if (o.ceiling) result = positive ? up_checked() : down;
    else if (o.even) result = tie ? ((down / scale) % 2 == 0 ? down : up_checked()) : nearest();
    else if (o.half_down) result = tie ? down : nearest();
    else if (o.half_ceiling) result = tie ? (positive ? up_checked() : down) : nearest();
    else result = nearest();
    put_money(value, v.negative, v.currency, result);
}

bool money_odd(const Cell* v) { return (money_digit_bytes(v)[8] >> 4) & 1; }   // digit 17
bool money_even(const Cell* v) { return !money_odd(v); }

} // namespace

void money_init() {
    ActionEntries e = action_entries(UNSUPPORTED);
    set_entry<A_MAKE>(e, money_make);
    set_entry<A_RANDOM>(e, money_random);
    set_entry<A_TO>(e, money_to);
    set_entry<A_FORM>(e, money_form);
    set_entry<A_MOLD>(e, money_mold);
    set_entry<A_EVAL_PATH>(e, money_eval_path);
    set_entry<A_COMPARE>(e, money_compare);
    set_entry<A_ABSOLUTE>(e, money_absolute);
    set_entry<A_ADD>(e, money_action_math<OP_ADD>);
    set_entry<A_SUBTRACT>(e, money_action_math<OP_SUBTRACT>);
    set_entry<A_MULTIPLY>(e, money_action_math<OP_MULTIPLY>);
    set_entry<A_DIVIDE>(e, money_action_math<OP_DIVIDE>);
    set_entry<A_REMAINDER>(e, money_action_math<OP_REMAINDER>);
    set_entry<A_NEGATE>(e, money_negate);
    set_entry<A_ROUND>(e, money_round);
    set_entry<A_EVEN_Q>(e, money_even);
    set_entry<A_ODD_Q>(e, money_odd);
    set_entry<A_PICK>(e, money_pick);
    register_datatype(T_MONEY, T_NONE_ID, "money!", e);
}

} // namespace kel
