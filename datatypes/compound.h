// The small compound values that live entirely in one cell: pair!, percent!, tuple!, point2D!
// and point3D!, with the constructors the rest of the runtime builds them with and the
// arithmetic entry points that integer!, float! and time! hand mixed operands to.
//
// Cell layouts:
//   pair!     word 2 = x, word 3 = y (int32); word 1 unused
//   percent!  words 2-3 = the double, 1.0 meaning 100% (the float! layout)
//   tuple!    header bits 19-22 = the length (3-12); the bytes from cell byte 4 on (word 1 holds
//             bytes 1-4, lowest byte first); bytes past the length are zero in new tuples
//   point2D!  word 1 = x, word 2 = y (float32 bits); word 3 unused
//   point3D!  words 1-3 = x, y, z (float32 bits)
//
// Constructors named *_push put a new value on the data stack and return its cell; *_set fill a
// given cell (flags cleared); *_make_in append a new cell to a block (they may allocate).
#pragma once

#include "core/cell.h"

#include <cstdint>
#include <cstring>

namespace kel {

// ---- pair! -----------------------------------------------------------------------------------

inline Cell make_pair(int32_t x, int32_t y) { return Cell{T_PAIR, 0, uint32_t(x), uint32_t(y)}; }
inline int32_t pair_x(const Cell* c) { return int32_t(c->data2); }
inline int32_t pair_y(const Cell* c) { return int32_t(c->data3); }
Cell* pair_set(Cell* c, int32_t x, int32_t y);
Cell* pair_push(int32_t x, int32_t y);
Cell* pair_make_in(const Cell* block, int32_t x, int32_t y);
// A pair component from an integer!, or a float! truncated toward zero (out of the 32-bit range or
// NaN raises script out-of-range with the value); any other type raises invalid-type.
int32_t pair_component(const Cell* number);
// Turns a pair cell in place into the point2D! of the same coordinates.
void pair_to_point2d(Cell* c);
// pair OP operand (op: the integer operation codes 0-7); the result replaces left, a point2D!
// when it cannot stay integral.
void pair_do_math(Cell* left, const Cell* right, int32_t op);

// ---- percent! --------------------------------------------------------------------------------

inline Cell make_percent(double d) { Cell c{T_PERCENT, 0, 0, 0}; c.put_float(d); return c; }
Cell* percent_set(Cell* c, double d);
Cell* percent_push(double d);
Cell* percent_make_in(const Cell* block, double d);

// ---- tuple! ----------------------------------------------------------------------------------

constexpr uint32_t TUPLE_MIN = 3;
constexpr uint32_t TUPLE_MAX = 12;
constexpr uint32_t TUPLE_LENGTH_SHIFT = 19;
constexpr uint32_t TUPLE_LENGTH_MASK = 0xFu << TUPLE_LENGTH_SHIFT;

inline uint32_t tuple_length(const Cell* c) { return (c->header & TUPLE_LENGTH_MASK) >> TUPLE_LENGTH_SHIFT; }
inline void tuple_set_length(Cell* c, uint32_t n) {
    c->header = (c->header & ~TUPLE_LENGTH_MASK) | (n << TUPLE_LENGTH_SHIFT);
}
inline uint8_t* tuple_bytes(Cell* c) { return reinterpret_cast<uint8_t*>(&c->data1); }
inline const uint8_t* tuple_bytes(const Cell* c) { return reinterpret_cast<const uint8_t*>(&c->data1); }
// A tuple of n bytes (n up to 12; padded with zeros to 3).
Cell make_tuple(const uint8_t* bytes, uint32_t n);
Cell* tuple_push(const uint8_t* bytes, uint32_t n);
// A colour: three bytes (alpha < 0) or four with the alpha byte.
Cell* tuple_rgba(Cell* c, uint8_t r, uint8_t g, uint8_t b, int32_t alpha);
// The low bytes of count integers (count up to 12), padded to 3, pushed.
Cell* tuple_from_values(uint32_t count, const int32_t* values);
bool tuple_zero(const Cell* c);
// tuple OP operand; the result replaces left (a tuple!).
void tuple_do_math(Cell* left, const Cell* right, int32_t op);
// number OP tuple, from the integer!, float! and time! arithmetic: subtract and divide raise
// script not-related naming the action and the number's datatype; the others run with the tuple
// first. The result (a tuple!) replaces left.
void tuple_math_swapped(Cell* left, const Cell* right, int32_t op);

// ---- point2D! and point3D! -------------------------------------------------------------------

inline uint32_t float32_bits(float f) { uint32_t b; std::memcpy(&b, &f, 4); return b; }
inline float bits_float32(uint32_t b) { float f; std::memcpy(&f, &b, 4); return f; }

inline Cell make_point2d(float x, float y) { return Cell{T_POINT2D, float32_bits(x), float32_bits(y), 0}; }
inline Cell make_point3d(float x, float y, float z) {
    return Cell{T_POINT3D, float32_bits(x), float32_bits(y), float32_bits(z)};
}
// Coordinate n (0-2) of a point.
inline float point_coord(const Cell* c, int n) { return bits_float32((&c->data1)[n]); }
Cell* point2d_set(Cell* c, float x, float y);
Cell* point3d_set(Cell* c, float x, float y, float z);
Cell* point2d_push(float x, float y);
Cell* point3d_push(float x, float y, float z);
Cell* point2d_make_in(const Cell* block, float x, float y);
Cell* point3d_make_in(const Cell* block, float x, float y, float z);
// point OP operand (op 0-4); the result replaces left.
void point2d_do_math(Cell* left, const Cell* right, int32_t op);
void point3d_do_math(Cell* left, const Cell* right, int32_t op);
// The compare protocol of the point types (a pair! operand of a point2D! is converted first).
int32_t point2d_compare(const Cell* a, const Cell* b, int32_t op);

// number OP pair/point, from the integer! and float! arithmetic: the operands swap so that the
// result has the pair or point type; subtract negates the pair or point and adds; divide raises
// script not-related naming `divide` and the number's datatype. The result replaces left.
void compound_math_swapped(Cell* left, const Cell* right, int32_t op);

// ---- Shared by the compound types' own files --------------------------------------------------

struct PathStep;
// The field an element selects among count fields: 1-based integer or the words x, y, z; else 0.
int32_t compound_field(const Cell* element, int32_t count);
// A path element the value has no field for: invalid-path in a path, cannot-use outside one.
[[noreturn]] void compound_bad_field(const Cell* value, const PathStep& step);
// Negates a pair or point in place (a pair component of -2147483648 raises math overflow).
void compound_negate(Cell* value);

// ---- Text ------------------------------------------------------------------------------------

// Reads a tuple from string units (unit 1, 2 or 4): decimal components 0-255 separated by
// single dots, 1 to 12 of them (fewer than 3 are padded with zeros). On success *error is 0 and
// *result holds the tuple; any fault sets *error to -1 and leaves *result alone.
void scan_tuple(const uint8_t* text, uint32_t length, uint32_t unit, int32_t* error, Cell* result);

} // namespace kel
