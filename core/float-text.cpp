// Conversions between 64-bit doubles and decimal text.
//
// The correctly rounded cores are the standard library's: std::from_chars gives the double
// nearest to a decimal digit string (ties to even), std::to_chars the shortest round-trip digits
// and the exact value rounded to a given number of significant digits. This file wraps the
// runtime's own text rules around them.
//
// Reading: the text is scanned once for its sign, digits, point and exponent, and the special
// forms "1.#INF" / "1.#NaN". The significant digits (leading and trailing zeros dropped) and the
// decimal-point position P (value = 0.d1d2...dn x 10^P) are then handed to from_chars as
// "d1d2...dn" "e" (P - n), built in a stack buffer. Values far out of range are settled from P
// alone; so an exponent of any length saturates instead of wrapping. Very long digit strings
// are cut to max_read_digits digits plus one non-zero "sticky" digit: the exact decimal value
// of a halfway point between two doubles has fewer significant digits than that, so the cut
// text lies between the same two halfway points as the full one and rounds the same way.
//
// Writing: to_chars in scientific form gives "d.ddde±x"; its digits and exponent become the
// digit string and the point position (exponent + 1), which the layout rules then place.
#include "core/float-text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace kel {

namespace {

constexpr int max_read_digits = 800;

// Decimal-point positions beyond which the value is an infinity or zero whatever its digits:
// 0.d x 10^P >= 10^(P-1) >= 1e310 overflows; 0.d x 10^P < 10^P <= 1e-331 is below half the
// smallest subnormal (about 2.47e-324).
constexpr int64_t point_overflow = 311;
constexpr int64_t point_underflow = -331;

// Exponent digits stop adding to the value beyond this (far past both limits above).
constexpr int64_t exponent_cap = 1'000'000'000;

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

inline double signed_value(double v, bool negative) { return negative ? -v : v; }

double nan_value()
{
    uint64_t bits = 0x7FF8000000000000ull;
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

// The digits of a finite, non-zero magnitude: either the shortest round-trip form or the exact
// value rounded to max_digits significant digits.
struct Digits {
    char text[32];  // digits only, NUL-terminated
    int count;
    int point;
};

void finite_digits(double magnitude, int max_digits, Digits& out)
{
    char buf[48];
    std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, magnitude,
                                           std::chars_format::scientific);
    // Shortest form: "d[.ddd]e±x". It has at most 17 digits, so a limit of 17 or more never
    // applies; a smaller one applies only when the shortest form is longer than it.
    auto digit_count = [&](const char* end) {
        int n = 0;
        for (const char* q = buf; q < end && *q != 'e'; ++q)
            if (*q != '.') ++n;
        return n;
    };
    if (max_digits > 0 && digit_count(r.ptr) > max_digits)
        r = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific,
                          max_digits - 1);

    int n = 0;
    const char* q = buf;
    for (; q < r.ptr && *q != 'e'; ++q)
        if (*q != '.') out.text[n++] = *q;
    while (n > 1 && out.text[n - 1] == '0') --n;  // a limited form may end in zeros
    out.text[n] = 0;
    out.count = n;

    // Exponent after 'e': a sign, then at least two digits.
    ++q;
    bool negative_exponent = *q == '-';
    ++q;
    int e = 0;
    for (; q < r.ptr; ++q) e = e * 10 + (*q - '0');
    out.point = (negative_exponent ? -e : e) + 1;
}

// Text of the values that have no digit string; returns nullptr for finite non-zero values.
const char* special_text(double value, bool zero_form)
{
    if (std::isnan(value)) return "1.#NaN";
    if (std::isinf(value)) return value < 0 ? "-1.#INF" : "1.#INF";
    if (value == 0) {
        if (std::signbit(value)) return zero_form ? "-0.0" : "-0";
        return zero_form ? "0.0" : "0";
    }
    return nullptr;
}

char digits_buffer[float_text_size];
char text_buffer[float_text_size];

} // namespace

double text_to_float(const char* start, const char* end, int extra_exponent, int* remainder)
{
    const char* s = start;
    bool negative = false;
    if (s < end && (*s == '+' || *s == '-')) {
        negative = *s == '-';
        ++s;
    }

    // One digit, ".#" and the first letter of "INF" / "NaN".
    if (end - s >= 4 && is_digit(s[0]) && s[1] == '.' && s[2] == '#') {
        char letter = static_cast<char>(s[3] | 0x20);
        if (letter == 'i') {
            *remainder = 0;
            return signed_value(std::numeric_limits<double>::infinity(), negative);
        }
        if (letter == 'n') {
            *remainder = 0;
            return nan_value();
        }
    }

    bool any_digit = false;
    while (s < end && *s == '0') {
        any_digit = true;
        ++s;
    }
    // Significant digits lie in [a0, a1) (integer part) and [b0, b1) (fraction part).
    const char* a0 = s;
    while (s < end && is_digit(*s)) ++s;
    const char* a1 = s;
    const char* b0 = s;
    const char* b1 = s;
    int64_t point = a1 - a0;
    if (s < end && *s == '.') {
        ++s;
        b0 = s;
        while (s < end && is_digit(*s)) ++s;
        b1 = s;
        any_digit = any_digit || b1 > b0;
        if (a1 == a0) {  // no integer digits: fraction zeros move the point left
            while (b0 < b1 && *b0 == '0') ++b0;
            point = -(b0 - (a1 + 1));
        }
    }
    any_digit = any_digit || a1 > a0;
    if (!any_digit) {
        *remainder = static_cast<int>(end - start);
        return 0.0;
    }

    // The exponent counts as read only when at least one digit follows "e" and its sign.
    int64_t exponent = 0;
    if (s < end && (*s == 'e' || *s == 'E')) {
        const char* t = s + 1;
        bool negative_exponent = false;
        if (t < end && (*t == '+' || *t == '-')) {
            negative_exponent = *t == '-';
            ++t;
        }
        if (t < end && is_digit(*t)) {
            for (; t < end && is_digit(*t); ++t)
                if (exponent < exponent_cap) exponent = exponent * 10 + (*t - '0');
            if (negative_exponent) exponent = -exponent;
            s = t;
        }
    }
    *remainder = static_cast<int>(end - s);

    // Trailing zeros do not count.
    while (b1 > b0 && b1[-1] == '0') --b1;
    if (b1 == b0)
        while (a1 > a0 && a1[-1] == '0') --a1;
    int64_t count = (a1 - a0) + (b1 - b0);
    if (count == 0) return signed_value(0.0, negative);

    point += exponent + extra_exponent;
    if (point >= point_overflow)
        return signed_value(std::numeric_limits<double>::infinity(), negative);
    if (point <= point_underflow) return signed_value(0.0, negative);

    // "d1...dn" "e" (point - n), with the digits cut to max_read_digits plus a sticky digit.
    char buf[max_read_digits + 1 + 16];
    char* q = buf;
    int room = max_read_digits;
    int64_t take = std::min<int64_t>(a1 - a0, room);
    std::memcpy(q, a0, static_cast<size_t>(take));
    q += take;
    room -= static_cast<int>(take);
    take = std::min<int64_t>(b1 - b0, room);
    std::memcpy(q, b0, static_cast<size_t>(take));
    q += take;
    if (count > max_read_digits) *q++ = '1';  // the last digit cut off is non-zero
    *q++ = 'e';
    q = std::to_chars(q, buf + sizeof buf, point - (q - 1 - buf)).ptr;

    double value = 0;
    std::from_chars_result r = std::from_chars(buf, q, value, std::chars_format::scientific);
    if (r.ec == std::errc::result_out_of_range)
        value = point > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    return signed_value(value, negative);
}

const char* float_to_digits(double value, int max_digits, int* point, int* sign, int* count,
                            bool zero_form)
{
    if (const char* text = special_text(value, zero_form)) {
        *point = value == 0 ? float_point_zero : float_point_special;
        *sign = !std::isnan(value) && std::signbit(value) ? 1 : 0;
        *count = static_cast<int>(std::strlen(text));
        std::memcpy(digits_buffer, text, static_cast<size_t>(*count) + 1);
        return digits_buffer;
    }
    Digits d;
    finite_digits(std::fabs(value), max_digits, d);
    *point = d.point;
    *sign = value < 0 ? 1 : 0;
    *count = d.count;
    std::memcpy(digits_buffer, d.text, static_cast<size_t>(d.count) + 1);
    return digits_buffer;
}

int float_to_text(double value, int max_digits, bool keep_point_zero, char* out)
{
    if (const char* text = special_text(value, keep_point_zero)) {
        int len = static_cast<int>(std::strlen(text));
        std::memcpy(out, text, static_cast<size_t>(len) + 1);
        return len;
    }
    Digits d;
    finite_digits(std::fabs(value), max_digits, d);
    const int n = d.count;
    const int p = d.point;
    char* q = out;
    if (value < 0) *q++ = '-';

    // Ends a whole number that stands before "." with ".0" or with its last digit.
    auto close_point = [&] {
        *q++ = '.';
        if (keep_point_zero)
            *q++ = '0';
        else
            --q;
    };

    if (p >= 18 || p < -6) {
        *q++ = d.text[0];
        if (n > 1) {
            *q++ = '.';
            std::memcpy(q, d.text + 1, static_cast<size_t>(n - 1));
            q += n - 1;
        } else {
            close_point();
        }
        *q++ = 'e';
        q = std::to_chars(q, out + float_text_size, p - 1).ptr;
    } else if (p >= 1) {
        if (n <= p) {
            std::memcpy(q, d.text, static_cast<size_t>(n));
            q += n;
            std::memset(q, '0', static_cast<size_t>(p - n));
            q += p - n;
            close_point();
        } else {
            std::memcpy(q, d.text, static_cast<size_t>(p));
            q += p;
            *q++ = '.';
            std::memcpy(q, d.text + p, static_cast<size_t>(n - p));
            q += n - p;
        }
    } else {
        *q++ = '0';
        *q++ = '.';
        std::memset(q, '0', static_cast<size_t>(-p));
        q += -p;
        std::memcpy(q, d.text, static_cast<size_t>(n));
        q += n;
    }
    *q = 0;
    return static_cast<int>(q - out);
}

const char* float_to_text(double value, int max_digits, bool keep_point_zero)
{
    float_to_text(value, max_digits, keep_point_zero, text_buffer);
    return text_buffer;
}

} // namespace kel
