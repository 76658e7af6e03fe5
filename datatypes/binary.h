// binary!: the byte series, its raw byte services and the base-2/16/58/64 text codecs.
//
// A binary value is a series cell (word 1 the head index in bytes, word 2 the node of a buffer of
// 1-byte units, word 3 unused). A head index beyond the tail reads as the tail.
//
// The base codecs are plain functions over memory: they never allocate from the memory manager
// and never raise, so they serve the lexer, the encoding natives, PARSE, the fuzz target and the
// tests alike. Encoders write into a caller-sized output and answer the characters written;
// decoders read text of 1-, 2- or 4-byte units, write at most `room` bytes and answer the bytes
// written or BASE_INVALID. The runtime wrappers below them (binary_debase, binary_enbase) take
// cells, so that the text or bytes are fetched again after the result buffer is allocated.
//
// The byte helpers that take a Cell* fetch the buffer through the cell after any allocation:
// keep such cells on the data stack or in a Rooted slot. A raw address passed to a helper that
// allocates must not point into a buffer of the memory manager.
#pragma once

#include "core/cell.h"
#include "core/memory.h"
#include "datatypes/datatype.h"

#include <cstddef>
#include <cstdint>

namespace kel {

// ---- Base codecs (no allocation, no errors) ------------------------------------------------------

constexpr int64_t BASE_INVALID = -1;

// Characters an encoder writes for n bytes (base 58: the room it needs, an upper bound).
constexpr size_t base2_encoded_size(size_t n) { return n * 8; }
constexpr size_t base16_encoded_size(size_t n) { return n * 2; }
constexpr size_t base64_encoded_size(size_t n) { return (n + 2) / 3 * 4; }
constexpr size_t base58_encode_room(size_t n) { return n * 2 + 1; }

// Each writes the text of the n bytes at data to out and answers the characters written.
size_t base2_encode(char* out, const uint8_t* data, size_t n);    // "0"/"1", high bit first
size_t base16_encode(char* out, const uint8_t* data, size_t n);   // uppercase digits
size_t base64_encode(char* out, const uint8_t* data, size_t n);   // standard alphabet, "=" pad
// Each leading zero byte gives one "1"; the rest is the big-endian number in base 58. Never
// writes more than base58_encode_room(n) characters.
size_t base58_encode(char* out, const uint8_t* data, size_t n);

// Bytes a decoder may need for `count` characters: room enough for any text of that length.
size_t base_decode_room(int base, size_t count);

// Decodes count characters of unit size `unit` (1, 2 or 4) in base 2, 16, 58 or 64 into out,
// writing at most room bytes. ";" starts a comment up to the next line feed; characters above
// 127 are invalid in every base. Answers the bytes written, or BASE_INVALID for invalid text (or
// too little room, or an unknown base).
//   base 2:  codes up to space are skipped; eight "0"/"1" per byte; a partial byte is invalid.
//   base 16: codes up to space are skipped; digits of either case; an odd digit count is invalid.
//   base 58: tab, line feed, form feed, carriage return, backspace, space and "'" are skipped;
//            each leading "1" gives a zero byte.
//   base 64: the same skip set; "=" ends the data after 2 or 3 characters of a group. Text that
//            ends with 2 or 3 characters of a group and no "=" decodes as if padded, unless
//            strict_groups is set (the lexer's literals), which refuses any incomplete group; a
//            group of 1 is always invalid.
int64_t base_decode(int base, const void* text, size_t count, uint32_t unit, uint8_t* out,
                    size_t room, bool strict_groups = false);

// ---- Reading (no allocation) ---------------------------------------------------------------------

// Bytes from the index to the tail (the index is clipped to the tail in the cell).
int32_t binary_rs_length(Cell* bin);
// Address of the byte at the index (clipped to the tail).
uint8_t* binary_rs_head(Cell* bin);
// The byte at a 0-based position from the buffer's first unit.
uint8_t binary_byte_at(const Cell* bin, uint32_t position);
// The byte comparison: 0 equal, -1/1 order, -2 not comparable. With prefix, 0 when the binary's
// bytes from its index begin with all the bytes of other (an empty other: 0 for the equality ops
// 0, 2 and 12, else 1).
int32_t binary_compare_bytes(const Cell* bin, const Cell* other, int32_t op, bool prefix);
// PARSE: is the byte at the index in the bitset (past the bitset's bits: its complement flag).
bool binary_byte_in_bitset(const Cell* bin, const Cell* bitset);
// PARSE: does the value match at the index (text and binaries as a prefix, a char! by its code).
bool binary_match(const Cell* bin, const Cell* value, int32_t op);

// ---- Building (allocate) -------------------------------------------------------------------------

// The cell becomes an empty binary! (index 0) over a new buffer of that capacity.
Cell* binary_make(Cell* result, uint32_t capacity);
// A new binary! holding a copy of the bytes, into result or (null) pushed on the data stack.
Cell* binary_load_into(const uint8_t* data, uint64_t length, Cell* result);
Cell* binary_load(const uint8_t* data, uint64_t length);
// Pushes a copy of the binary from its index.
Cell* binary_push_copy(const Cell* bin);
// Appends a copy of the memory block at the tail, growing the buffer.
void binary_append_raw(Cell* bin, const uint8_t* data, uint32_t length);
// Opens a gap of length bytes at index + position and copies the block into it.
void binary_insert_raw(Cell* bin, uint32_t position, const uint8_t* data, uint32_t length);
// Appends the value as 4 bytes, most significant first.
void binary_append_int32_be(uint32_t value, Cell* bin);
// Stores the low 8 bits of an integer! (-128..255) or char! (0..255) value; anything else raises
// script invalid-arg with the value.
void binary_set_byte(uint8_t* at, const Cell* value);

// The bytes a value stands for when put into a binary. mode 0 measures, 1 measures and writes to
// dest; 2 also forms values of other types (their UTF-8 text) instead of refusing them, which
// allocates, so with mode 2 dest must be null. A part limit of 1 or more caps the count (for a
// block: the elements taken). Raises invalid-arg for an integer outside -128..255, bad-to-arg for
// an unsupported type (modes 0 and 1), no-cycle for a block that contains itself. Answers the
// byte count.
uint64_t binary_value_bytes(uint8_t* dest, const Cell* value, int32_t part, int mode);

// ---- Base codecs on values (allocate) ------------------------------------------------------------

// Decodes a string (any unit size, from its index) or binary (its bytes as characters) in the
// base; result becomes the new binary!, or none when the text is invalid. Any base other than 2,
// 16, 58 and 64 raises script invalid-arg with the base.
void binary_debase(Cell* result, const Cell* text, int32_t base);
// Encodes the bytes of a binary from its index as a new string! in result; an unknown base
// raises script invalid-arg with the base.
void binary_enbase(Cell* result, const Cell* bin, int32_t base);

// ---- Actions -------------------------------------------------------------------------------------

void binary_to(Cell* proto, Cell* spec, TypeId type);
int32_t binary_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, bool part,
                    int32_t budget, int32_t indent);
int32_t binary_form(const Cell* value, Cell* buffer, bool part, int32_t budget);
int32_t binary_compare(const Cell* a, const Cell* b, int32_t op);
void binary_insert(Cell* series, const Cell* value, int32_t part, bool only, int32_t dup, bool append);
void binary_change(Cell* series, const Cell* value, int32_t part, bool only, int32_t dup);
void binary_poke(Cell* series, int32_t index, const Cell* value);
void binary_trim(Cell* series, const TrimOpts& opts);
void binary_and(Cell* left, Cell* right);
void binary_or(Cell* left, Cell* right);
void binary_xor(Cell* left, Cell* right);
void binary_complement(Cell* value);

} // namespace kel
