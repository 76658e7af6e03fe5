// vector!: typed numeric series of packed machine numbers.
//
// A vector value is a series cell: word 1 the head index in elements, word 2 the node of a buffer
// whose unit size is the element width, word 3 the element type (char! 10, integer! 11, float!
// 12, percent! 38). Widths: char! and integer! 1, 2 or 4 bytes (default 4), float! 4 or 8
// (default 8), percent! 8. Elements are little-endian and are loaded and stored with memcpy, so
// their alignment does not matter.
#pragma once

#include "core/cell.h"
#include "core/memory.h"

#include <cstdint>

namespace kel {

inline TypeId vector_type(const Cell* v) { return TypeId(v->data3); }
inline uint32_t vector_width(const Cell* v) { return node_series(series_node(v))->unit(); }

// Elements from the index to the tail (0 when the index is past it).
int32_t vector_length(const Cell* v);
// The buffer's tail moves to the index.
void vector_truncate(Cell* v);

// The element at address p as a value: char! zero-extended, integer! sign-extended, float! widened
// from single precision, percent!.
Cell vector_get_element(const uint8_t* p, TypeId type, uint32_t width);
// Element i (counted from index 0 of the buffer), which must lie before the tail.
Cell vector_element_at(const Cell* v, uint32_t i);

// Stores a value at element i (before the tail) of a vector whose element type the value must
// have exactly (else script invalid-arg with the value): the checks of make and poke.
void vector_poke_element(const Cell* v, uint32_t i, const Cell* value);
// Checks what vector_poke_element would refuse, without writing.
void vector_check_poke(const Cell* v, const Cell* value);

// Making (allocate). An empty vector over a buffer with room for count elements (at least 1);
// a product count x width that overflows raises internal no-memory.
Cell* vector_make_empty(Cell* cell, uint64_t count, TypeId type, uint32_t width);
// Appends one 4-byte element, no type check.
void vector_append_int32(Cell* v, int32_t value);
// Appends one element; the value must have the element type (else script invalid-arg).
void vector_append_value(Cell* v, const Cell* value);
// A new block in block_cell holding the elements from the index as values.
void vector_to_block(const Cell* v, Cell* block_cell);

} // namespace kel
