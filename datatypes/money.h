// money!: an exact decimal amount with an optional currency, held in the cell itself.
//
// Cell bytes 0-3 are the header (bit 14 is the sign flag), byte 4 the currency index (0 none, n
// the n-th word of system/locale/currencies/list) and bytes 5-15 hold 22 packed decimal digits,
// two per byte, most significant first: 17 integer digits and 5 fraction digits (units of
// 0.00001). Zero is any cell whose digits are all zero, whatever its sign flag says.
//
// The helpers below are what the lexer, the KELBIN codec, the number datatypes and the sign
// natives use. Those that convert raise the language's errors (script bad-make-arg, type-limit).
#pragma once

#include "core/cell.h"

#include <cstddef>
#include <cstdint>

namespace kel {

constexpr int MONEY_DIGITS = 22;
constexpr int MONEY_INT_DIGITS = 17;
constexpr int MONEY_FRAC_DIGITS = 5;
constexpr int MONEY_DIGIT_BYTES = 11;

inline bool money_sign(const Cell* c) { return (c->header & CELL_MONEY_SIGN) != 0; }
inline void money_set_sign(Cell* c, bool negative) {
    c->header = negative ? c->header | CELL_MONEY_SIGN : c->header & ~uint32_t(CELL_MONEY_SIGN);
}
inline uint32_t money_currency(const Cell* c) { return c->data1 & 0xFF; }
inline void money_set_currency(Cell* c, uint32_t index) { c->data1 = (c->data1 & ~0xFFu) | (index & 0xFF); }
inline const uint8_t* money_digit_bytes(const Cell* c) { return reinterpret_cast<const uint8_t*>(c) + 5; }
// All 22 digits zero (the sign flag is not looked at).
inline bool money_zero(const Cell* c) { return (c->data1 >> 8) == 0 && c->data2 == 0 && c->data3 == 0; }
inline int32_t money_signum(const Cell* c) { return money_zero(c) ? 0 : money_sign(c) ? -1 : 1; }
inline bool money_negative(const Cell* c) { return money_signum(c) < 0; }
inline bool money_positive(const Cell* c) { return money_signum(c) > 0; }

// The 1-based position of the word (by canonical symbol) in system/locale/currencies/list, or -1.
int32_t money_currency_index(uint32_t symbol);
// Fills the cell from digit text: digits before the point ("." or ",") fill the integer part
// right-aligned, digits after it the fraction left-aligned; "'" is skipped. currency_symbol 0
// means none. False (the cell untouched) for an unknown currency, more than 17 integer digits
// (leading zeros aside), more than 5 fraction digits or a character that is not a digit.
bool money_from_digits(Cell* c, bool negative, uint32_t currency_symbol, const uint8_t* text,
                       size_t length);
// Fills the cell as stored: sign, currency index and the 11 packed digit bytes.
void money_from_raw(Cell* c, bool negative, uint32_t currency, const uint8_t* digits);
void money_from_integer(Cell* c, int32_t v);
// The float's shortest round-trip digits as money. NaN, infinities, magnitudes of 1e17 or more
// and non-zero magnitudes below 1e-05 raise script bad-make-arg (money!, the float); so do digits
// beyond the fifth fraction digit when exact is set, which are dropped otherwise.
void money_from_float(Cell* c, double d, bool exact);
bool money_float_overflow(double d);    // magnitude at least 1e17 (NaN: false)
bool money_float_underflow(double d);   // magnitude above 0 and below 1e-05
// The integer part with its sign; outside int32 raises script type-limit naming integer!.
int32_t money_to_integer(const Cell* c);
// The amount as the nearest double (all five fraction digits count).
double money_to_float(const Cell* c);

// Arithmetic with at least one money! operand (op 0 add, 1 subtract, 2 multiply, 3 divide,
// 4 remainder); the result replaces left. money / money gives a float!.
void money_math(Cell* left, const Cell* right, int32_t op);
// The compare protocol with a money! first operand.
int32_t money_compare(const Cell* a, const Cell* b, int32_t op);
// The order of a non-money first operand against a money! second one.
int32_t money_compare_swapped(const Cell* a, const Cell* money, int32_t op);

} // namespace kel
