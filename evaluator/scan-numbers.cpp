// Loaders of the compound number literals: percents (12.5%), tuples (1.2.3), pairs (10x20),
// points ((1.5, 2) and (1, 2, 3)) and money (-USD$1'234.50), and the standalone tuple and money
// scanners of the `to` conversions.
//
// Each loader checks the whole token before it builds anything, so scan mode (loading off) gets
// the same verdict as load mode. Nothing wraps: a pair component outside 32 bits or a tuple
// component above 255 is an error naming the literal's datatype, never a truncated value.
//
// Points come two ways. A "(" followed by number text up to a "," is read here as one token (the
// text between the parens). Otherwise the lexer opens a paren, and a "," inside it turns the
// paren into a point marker; when that marker closes, point_from_cells builds the point from the
// two or three numbers loaded inside it, or refuses anything else.
#include "core/float-text.h"
#include "core/unicode.h"
#include "datatypes/compound.h"
#include "datatypes/money.h"
#include "core/symbol.h"
#include "evaluator/lexer.h"
#include "evaluator/scan.h"

#include <cmath>
#include <cstring>

namespace kel::lex {

namespace {

constexpr size_t PERCENT_TEXT_MAX = 312;   // the float syntax check's own limit

bool is_digit(uint8_t b) { return b >= '0' && b <= '9'; }
bool is_blank(uint8_t b) { return b == ' ' || b == '\t'; }

// An integer with an optional sign and digits with single "'" separators filling [s, e)
// exactly; false when malformed or outside 32 bits.
bool read_int32(const uint8_t* s, const uint8_t* e, int32_t* out) {
    bool negative = false;
    if (s < e && (*s == '+' || *s == '-')) negative = *s++ == '-';
    if (s == e || !is_digit(*s)) return false;
    int64_t v = 0;
    bool separator = false;
    for (; s < e; ++s) {
        if (is_digit(*s)) {
            v = v * 10 + (*s - '0');
            if (v > 2147483648LL) return false;
            separator = false;
        } else if (*s == '\'' && !separator) {
            separator = true;
        } else {
            return false;
        }
    }
    if (separator) return false;
    if (negative) v = -v;
    if (v > 2147483647LL) return false;
    *out = int32_t(v);
    return true;
}

// Tuple components from [s, e): 0-255 each, single dots between, at most 12. Returns the count,
// or 0 when malformed.
uint32_t read_tuple(const uint8_t* s, const uint8_t* e, uint8_t* bytes) {
    uint32_t n = 0;
    while (true) {
        if (n == TUPLE_MAX || s == e || !is_digit(*s)) return 0;
        uint32_t v = 0;
        for (; s < e && is_digit(*s); ++s) {
            v = v * 10 + uint32_t(*s - '0');
            if (v > 255) return 0;
        }
        bytes[n++] = uint8_t(v);
        if (s == e) return n;
        if (*s != '.') return 0;
        ++s;
    }
}

// One point coordinate as a double: special float text when it holds "#", else float text.
void read_coordinate(State* st, const uint8_t* s, const uint8_t* e, double* out) {
    if (std::memchr(s, '#', size_t(e - s))) {
        if (!special_float(s, e, out)) throw_error(st, s, e, T_FLOAT);
        return;
    }
    if (!float_syntax(s, e) || !convert_float(s, e, out)) throw_error(st, s, e, T_FLOAT);
}

// Money text filling [s, e): an optional sign, an optional three-letter currency code, "$",
// digits with single "'" separators and at most one "." or ",", with digits after it. A
// separator may not start the digits, be doubled or touch the point. Fills the cell (false for
// malformed text, an unknown currency or too many digits).
bool read_money(const uint8_t* s, const uint8_t* e, Cell* out) {
    bool negative = false;
    if (s < e && (*s == '+' || *s == '-')) negative = *s++ == '-';
    const uint8_t* dollar = s;
    while (dollar < e && *dollar != '$') ++dollar;
    size_t code_length = size_t(dollar - s);
    if (dollar == e || (code_length != 0 && code_length != 3)) return false;
    for (const uint8_t* p = s; p < dollar; ++p)
        if (!((*p >= 'A' && *p <= 'Z') || (*p >= 'a' && *p <= 'z'))) return false;
    const uint8_t* digits = dollar + 1;
    bool point = false, digit_before = false;
    uint8_t previous = 0;   // 0 at the start
    for (const uint8_t* p = digits; p < e; ++p) {
        uint8_t c = *p;
        if (is_digit(c)) {
            digit_before = true;
        } else if (c == '\'') {
            if (previous == 0 || previous == '\'' || previous == '.' || previous == ',') return false;
        } else if (c == '.' || c == ',') {
            if (point || previous == '\'' || !digit_before) return false;
            point = true;
        } else {
            return false;
        }
        previous = c;
    }
    if (!digit_before || previous == '\'' || previous == '.' || previous == ',') return false;
    uint32_t currency = code_length ? symbol_make_utf8(s, code_length) : 0;
    return money_from_digits(out, negative, currency, digits, size_t(e - digits));
}

} // namespace

// money
void load_money(State* st, const uint8_t* s, const uint8_t* e, uint32_t) {
    Cell m;
    if (!read_money(s, e, &m)) throw_error(st, s, e, T_MONEY);
    st->type = T_MONEY;
    if (st->load) push_value(st, m);
}

// percent: the number text before the "%", read as a float scaled by 1/100
void load_percent(State* st, const uint8_t* s, const uint8_t* e, uint32_t) {
    if (!float_syntax(s, e)) throw_error(st, s, e + 1, T_PERCENT);
    char buf[PERCENT_TEXT_MAX + 1];
    size_t n = 0;
    for (const uint8_t* p = s; p < e; ++p) {
        if (*p == '\'') continue;
        buf[n++] = *p == ',' ? '.' : char(*p);
    }
    int remainder = 0;
    double d = text_to_float(buf, buf + n, -2, &remainder);
    if (remainder != 0) throw_error(st, s, e + 1, T_PERCENT);
    st->type = T_PERCENT;
    if (st->load) push_value(st, make_percent(d));
}

// tuple
void load_tuple(State* st, const uint8_t* s, const uint8_t* e, uint32_t) {
    uint8_t bytes[TUPLE_MAX];
    uint32_t n = read_tuple(s, e, bytes);
    if (n < TUPLE_MIN) throw_error(st, s, e, T_TUPLE);
    st->type = T_TUPLE;
    if (st->load) push_value(st, make_tuple(bytes, n));
}

// pair
void load_pair(State* st, const uint8_t* s, const uint8_t* e, uint32_t) {
    const uint8_t* x = s;
    while (x < e && *x != 'x' && *x != 'X') ++x;
    int32_t a, b;
    if (x == e || !read_int32(s, x, &a) || !read_int32(x + 1, e, &b)) throw_error(st, s, e, T_PAIR);
    st->type = T_PAIR;
    if (st->load) push_value(st, make_pair(a, b));
}

// point literal: the text between "(" and ")", two or three coordinates separated by ","
void load_point(State* st, const uint8_t* s, const uint8_t* e, uint32_t) {
    double c[3] = {0, 0, 0};
    int n = 0;
    const uint8_t* p = s;
    while (true) {
        while (p < e && is_blank(*p)) ++p;
        const uint8_t* start = p;
        while (p < e && *p != ',' && !is_blank(*p)) ++p;
        if (p == start) throw_error(st, s - 1, e + 1, T_POINT2D);
        read_coordinate(st, start, p, &c[n++]);
        while (p < e && is_blank(*p)) ++p;
        if (p == e) break;
        // a third coordinate must be followed by ")"
        if (*p != ',' || n == 3) throw_error(st, s - 1, e + 1, n == 3 ? T_POINT3D : T_POINT2D);
        ++p;
    }
    if (n < 2) throw_error(st, s - 1, e + 1, T_POINT2D);
    st->type = n == 3 ? T_POINT3D : T_POINT2D;
    if (!st->load) return;
    push_value(st, n == 3 ? make_point3d(float(c[0]), float(c[1]), float(c[2]))
                          : make_point2d(float(c[0]), float(c[1])));
    if (st->point_lines > 0) g_cells[st->top - 1].header |= CELL_NEWLINE;
}

Cell point_from_cells(State* st, const Cell* cells, uint32_t count, uint32_t commas,
                      const uint8_t* opener) {
    bool shaped = (count == 2 || count == 3) && commas == count - 1;
    double c[3] = {0, 0, 0};
    for (uint32_t i = 0; shaped && i < count; ++i) {
        if (cells[i].is(T_INTEGER)) c[i] = double(int32_t(cells[i].data2));
        else if (cells[i].is(T_FLOAT)) c[i] = cells[i].get_float();
        else shaped = false;
    }
    if (!shaped) throw_error(st, opener, st->token_end + 1, count == 3 ? T_POINT3D : T_POINT2D);
    return count == 3 ? make_point3d(float(c[0]), float(c[1]), float(c[2]))
                      : make_point2d(float(c[0]), float(c[1]));
}

} // namespace kel::lex

namespace kel {

void scan_tuple(const uint8_t* text, uint32_t length, uint32_t unit, int32_t* error, Cell* result) {
    *error = -1;
    if (length == 0 || length > TUPLE_MAX * 4) return;
    uint8_t ascii[TUPLE_MAX * 4];
    for (uint32_t i = 0; i < length; ++i) {
        uint32_t cp = unit_get(text + size_t(i) * unit, unit);
        if (cp > 0x7F) return;
        ascii[i] = uint8_t(cp);
    }
    uint8_t bytes[TUPLE_MAX];
    uint32_t n = lex::read_tuple(ascii, ascii + length, bytes);
    if (n == 0) return;
    *error = 0;
    *result = make_tuple(bytes, n);
}

void scan_money(const uint8_t* text, uint32_t length, uint32_t unit, int32_t* error, Cell* result) {
    *error = -1;
    constexpr uint32_t MAX = 64;   // longer text cannot hold 22 digits with their separators
    if (length == 0 || length > MAX) return;
    uint8_t ascii[MAX];
    for (uint32_t i = 0; i < length; ++i) {
        uint32_t cp = unit_get(text + size_t(i) * unit, unit);
        if (cp > 0x7F) return;
        ascii[i] = uint8_t(cp);
    }
    if (lex::read_money(ascii, ascii + length, result)) *error = 0;
}

} // namespace kel
