// Conversions between 64-bit doubles and decimal text.
//
// text_to_float reads the decimal notation of the lexer and of `to float!` of strings and gives
// the nearest double (ties to even). float_to_digits gives the shortest digit string that reads
// back to the same double, or that value rounded to a number of significant digits, and
// float_to_text lays those digits out as `mold` of float!, the time formatter (seconds) and the
// float-to-money conversion show them:
//
//   1e16 -> 10000000000000000.0   1e17 -> 1.0e17   1e-7 -> 0.0000001   1e-8 -> 1.0e-8
//   0.0 -> 0.0   -0.0 -> -0.0   +inf -> 1.#INF   -inf -> -1.#INF   NaN -> 1.#NaN
//
// The functions that return a const char* write into one static buffer: the text stays valid
// until the next call of any of them. float_to_text also has a form that writes into the
// caller's buffer. Main thread only.
#pragma once

namespace kel {

// Decimal-point positions float_to_digits reports for values that have no digit string.
inline constexpr int float_point_zero = 9998;      // 0.0 and -0.0
inline constexpr int float_point_special = 9999;   // infinities and NaN

// Room a caller's buffer needs for float_to_text, the closing NUL included.
inline constexpr int float_text_size = 40;

// Reads a number from [start, end): an optional "+" or "-", integer digits, an optional "."
// with fraction digits, and an optional "e"/"E" with an optional sign and exponent digits.
// A single digit followed by ".#" and "I"/"i" is an infinity, by ".#" and "N"/"n" a NaN; only
// that first letter is looked at and the whole text counts as read. extra_exponent is a power of
// ten added to the written exponent. *remainder receives the number of characters after the
// part that was read (0 when the whole text was a number; the whole length when no digit was
// found, and the result is then 0.0). Overflow gives an infinity with the number's sign,
// underflow a zero with the number's sign; an exponent too long to hold saturates the same way.
double text_to_float(const char* start, const char* end, int extra_exponent, int* remainder);

// The digits of value. max_digits 0 (or any count the shortest form fits in) gives the shortest
// digits that read back to the same double; n > 0 limits the result to n significant digits of
// the exact value, the last rounded half to even. Trailing zeros are dropped. The value is
// 0.d1d2...dn x 10^point; *sign is 1 for a negative value, *count the number of digits.
// Zero gives point float_point_zero and the text "0.0" / "-0.0" (zero_form set) or "0" / "-0";
// infinities and NaN give point float_point_special and "1.#INF", "-1.#INF", "1.#NaN". For these
// *count is the length of the text, which carries its own sign.
const char* float_to_digits(double value, int max_digits, int* point, int* sign, int* count,
                            bool zero_form);

// The laid-out text of value: plain notation for magnitudes from 1e-7 up to below 1e17,
// exponent notation ("1.5e17", "1.0e-8"; no "+", no leading zeros) otherwise. A whole number
// ends in ".0" when keep_point_zero is set and in its last digit otherwise ("1200", "1e20");
// zero is "0.0" / "-0.0" with the flag and "0" / "-0" without it.
const char* float_to_text(double value, int max_digits, bool keep_point_zero);

// The same text written into out (at least float_text_size bytes), NUL-terminated; returns its
// length. Does not touch the static buffer.
int float_to_text(double value, int max_digits, bool keep_point_zero, char* out);

} // namespace kel
