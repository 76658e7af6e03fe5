// bitset!: sets of non-negative integers (above all characters and bytes) as arrays of bits.
//
// A bitset value is a cell whose word 2 is the node of a byte series (words 1 and 3 unused).
// Member n is bit (0x80 >> (n & 7)) of byte n >> 3, counted from the series head. The buffer flag
// BITSET_COMPLEMENT says what the bits beyond the stored bytes are: members for a complemented set
// (written "[not ...]", listing its non-members), non-members for a plain one. The stored bits
// always tell membership, whatever the flag. A bitset owns its series; copies never share it, and
// a copy keeps the flag.
#pragma once

#include "core/cell.h"
#include "core/memory.h"

#include <cstdint>

namespace kel {

// Buffer flag of a complemented bitset (a type-specific series flag; copies keep it).
constexpr uint32_t BITSET_COMPLEMENT = 0x80000;

// Reading (no allocation).
inline bool bitset_complemented(const Cell* bitset) {
    return (node_series(series_node(bitset))->flags & BITSET_COMPLEMENT) != 0;
}
// Address of the first byte, valid until the next allocation.
inline uint8_t* bitset_bits(const Cell* bitset) { return node_series(series_node(bitset))->head_ptr(); }
inline uint32_t bitset_byte_length(const Cell* bitset) { return node_series(series_node(bitset))->used(); }
// Bits the array holds: bytes x 8 (also `length?`).
inline uint64_t bitset_length(const Cell* bitset) { return uint64_t(bitset_byte_length(bitset)) * 8; }
// Membership of one number (beyond the array: the complement flag).
bool bitset_has(const Cell* bitset, uint32_t n);

// Making (allocate). A new bitset of `bytes` bytes, all `fill`, written into cell.
Cell* bitset_make_at(Cell* cell, uint32_t bytes, uint8_t fill, bool complemented);

// unique (8) returns first as it is; or~ 5, and~ 6, xor~ 7, union 9, intersect 10, exclude 11,
// difference 12 combine the two sets into a new bitset that replaces first. second must be a
// bitset! (else script invalid-type with its datatype). Membership of the result is the operation
// on the memberships of the operands for every number; two plain sets give an and~ as long as the
// shorter one, every other result is as long as the longer operand.
void bitset_set_operation(Cell* first, const Cell* second, int32_t op);

// The value walk over a bitset: every number a value names (char!, integer!, float!, string!,
// blocks of those with `a - b` ranges). Raises the walk's errors; mode 0 make, 1 to, 2 other
// actions picks the error of an unsupported value. set/clear validate the whole value first and
// change nothing when it fails. Answers for set and clear the byte count the value needs, for test
// 1 when every named number is a member, else 0.
enum class BitsetOp : uint8_t { Set = 1, Test = 2, Clear = 3 };
int64_t bitset_walk(Cell* bitset, const Cell* value, BitsetOp op, int mode);

} // namespace kel
