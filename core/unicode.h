// Text encodings: UTF-8 and UTF-16 at the program's edges, fixed-width units inside.
//
// A string buffer holds code points in units of 1 byte (Latin-1, 0-0xFF), 2 bytes (UCS-2,
// little-endian, 0-0xFFFF, no surrogate pairs) or 4 bytes (UCS-4, up to 0x10FFFF); the unit lives
// in bits 0-4 of the buffer's flags word. A buffer only widens (1 to 2, 1 to 4, 2 to 4), in place
// from the end. Text that comes in or goes out is UTF-8 (source text, files, symbol names) or
// UTF-16 (operating-system texts handed over as UTF-16). This file is the set of free functions
// between the two worlds; it keeps no state beyond read-only tables.
//
// Decoding comes in three strengths:
// - the table decoder (decode_utf8_char, fast_decode_utf8_char): one table read per byte, never
//   raises, reports a bad sequence as -1. decode_utf8_char is bounded by an end pointer and is the
//   one for any input whose end is known; fast_decode_utf8_char has no end and may only be used on
//   text ended by a NUL (the decoder stops at the NUL, which can never continue a sequence).
// - the strict decoder (utf8_decode_strict): raises access error invalid-utf8 on any ill-formed
//   sequence (over-long forms, surrogates, values above 0x10FFFF, stray or missing continuation
//   bytes) and reports a well-formed but incomplete final sequence as "needs more bytes".
// Both reject exactly the same byte sequences.
//
// Functions that take a string value (a cell) read its node and head index; those that allocate
// (the scratch-buffer conversions, loading, widening) may move every buffer, so they return fresh
// addresses and the value cell they are given must not itself live in a buffer that can move
// (keep it on the data stack or in a Rooted slot).
//
// Every unit width other than 1, 2 or 4 reaching these functions ends the process with runtime
// error 101.
#pragma once

#include "core/cell.h"
#include "core/memory.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kel {

// Ends the process with runtime error 101 (a string unit that is not 1, 2 or 4).
[[noreturn]] void bad_unit_width();

// Reads the code point of one string unit (1, 2 or 4 bytes, little-endian).
inline uint32_t unit_get(const uint8_t* p, uint32_t unit) {
    switch (unit) {
    case 1: return *p;
    case 2: { uint16_t v; std::memcpy(&v, p, 2); return v; }
    case 4: { uint32_t v; std::memcpy(&v, p, 4); return v; }
    default: bad_unit_width();
    }
}

// Writes one code point as a unit; the caller has made sure it fits the width.
inline void unit_put(uint8_t* p, uint32_t unit, uint32_t cp) {
    switch (unit) {
    case 1: *p = uint8_t(cp); return;
    case 2: { uint16_t v = uint16_t(cp); std::memcpy(p, &v, 2); return; }
    case 4: std::memcpy(p, &cp, 4); return;
    default: bad_unit_width();
    }
}

// ---- UTF-8 decoding ---------------------------------------------------------------------------

// The byte-class automaton shared by the table decoders: bytes 0-255 are the class of each byte,
// bytes 256-363 the transitions indexed by state + class. State 0 accepts, 12 rejects.
extern const std::array<uint8_t, 364> utf8_decoder_table;
constexpr uint8_t UTF8_ACCEPT = 0;
constexpr uint8_t UTF8_REJECT = 12;

// One table-decoder step; with an end it never reads at or past it, and a sequence cut short by
// the end is invalid (-1) and consumed up to the end.
template <bool Bounded>
inline const uint8_t* utf8_table_decode(const uint8_t* p, const uint8_t* end, int32_t* cp) {
    if (*p < 0x80) { *cp = *p; return p + 1; }
    uint32_t cls = utf8_decoder_table[*p];
    uint32_t value = (0xFFu >> cls) & *p++;
    uint32_t state = utf8_decoder_table[256 + cls];
    while (state != UTF8_ACCEPT && state != UTF8_REJECT) {
        if (Bounded && p == end) { state = UTF8_REJECT; break; }
        cls = utf8_decoder_table[*p];
        uint32_t next = utf8_decoder_table[256 + state + cls];
        if (next == UTF8_REJECT) { state = next; break; }
        value = (value << 6) | (*p++ & 0x3Fu);
        state = next;
    }
    *cp = state == UTF8_ACCEPT ? int32_t(value) : -1;
    return p;
}

// Table decoder without an end: the text must be NUL-terminated (or end with a complete
// sequence). Returns the pointer after the sequence; *cp is -1 for an invalid sequence, which is
// consumed up to (not including) the byte that made it invalid, a bad lead byte alone.
inline const uint8_t* fast_decode_utf8_char(const uint8_t* p, int32_t* cp) {
    return utf8_table_decode<false>(p, nullptr, cp);
}

// Table decoder bounded by end (p < end): never reads at or past end.
inline const uint8_t* decode_utf8_char(const uint8_t* p, const uint8_t* end, int32_t* cp) {
    return utf8_table_decode<true>(p, end, cp);
}

// Number of characters in [start, end), each taken by the bounded table decoder (an invalid
// sequence counts as one character).
int32_t utf8_count_chars(const uint8_t* start, const uint8_t* end);

// The pointer after n characters from start, never past end.
const uint8_t* utf8_skip_chars(const uint8_t* start, const uint8_t* end, int32_t n);

// 4 when the top four bits of the byte are set, 3 for the top three, 2 for the top two, else 0
// (ASCII or a continuation byte).
inline int utf8_lead_length(uint8_t b) {
    if ((b & 0xF0) == 0xF0) return 4;
    if ((b & 0xE0) == 0xE0) return 3;
    if ((b & 0xC0) == 0xC0) return 2;
    return 0;
}

// Strict decoding of one character from p, with *avail bytes available. Returns the code point
// and sets *avail to the bytes used; returns -1 (leaving *avail alone) when no byte is available
// or the bytes available are a well-formed beginning of a longer sequence. Raises access error
// invalid-utf8, whose argument is a binary! of the bytes that begin the sequence (up to four), on
// anything ill-formed.
int32_t utf8_decode_strict(const uint8_t* p, int32_t* avail);

// ---- UTF-8 encoding ---------------------------------------------------------------------------

// Bytes of the UTF-8 form of a code point (1-4); raises script error invalid-char above 0x10FFFF
// (and below 0).
int utf8_char_length(int32_t cp);

// Total UTF-8 bytes of the units in [start, end); raises invalid-char at the first unit above
// 0x10FFFF.
int64_t utf8_length_of_units(const uint8_t* start, const uint8_t* end, uint32_t unit);

// Encodes one code point into dst, which has room for 4 bytes; returns the bytes written.
// Surrogate code points are encoded like any other. Raises invalid-char above 0x10FFFF.
int utf8_encode_char(int32_t cp, uint8_t* dst);

// Writes byte k of the sequence only when room is at least k + 1 and returns the bytes written,
// so a character that does not fit leaves only its first bytes. Raises invalid-char above
// 0x10FFFF.
int utf8_encode_char_bounded(int32_t cp, uint8_t* dst, int32_t room);

// NUL-terminated UTF-8 of the string from its head, in the string's scratch buffer. *count is the
// number of characters to convert (-1 or more than there are: up to the tail); on return it holds
// the bytes written without the NUL. The crlf variant writes each LF as CR LF when asked.
const char* string_to_utf8(Cell* str, int32_t* count);
const char* string_to_utf8_crlf(Cell* str, int32_t* count, bool crlf);

// Encodes count characters of the string from its head (-1: up to the tail) into dst, writing
// whole characters only and never more than capacity bytes (the NUL included, when asked and
// when it fits). Returns the bytes written without the NUL. Does not allocate.
int32_t string_encode_utf8(const Cell* str, uint8_t* dst, int32_t capacity, int32_t count,
                           bool nul);

// Encodes the string from its head into dst with utf8_encode_char_bounded, the room shrinking by
// what each character wrote; limit applies when it is above 0 and below the length. A NUL is
// added when asked and room is left. Returns the bytes written without the NUL.
int32_t string_encode_utf8_bounded(const Cell* str, uint8_t* dst, int32_t capacity,
                                   int32_t limit, bool nul);

// ---- Loading UTF-8 into strings -----------------------------------------------------------------

// Loads length bytes of UTF-8 into a string buffer and returns its node. Without a target (0) a
// new series of max(length, 1) one-byte units is made; a target keeps its unit, is expanded to
// length × unit bytes when smaller, and is filled from its start. A leading byte-order mark is
// skipped. An incomplete final sequence stops the load: its byte count goes to *leftover (0 when
// nothing is left; leftover may be null). With crlf, CR LF becomes LF and a lone CR becomes LF.
// Ill-formed input raises invalid-utf8. The bytes must not lie in a buffer of the memory manager
// (they could move); use string_load_utf8_series for those.
Node string_load_utf8(const uint8_t* bytes, uint32_t length, Node target, int32_t* leftover,
                      bool crlf);
// The same, reading the bytes from offset in the series of source (re-fetched after every
// allocation).
Node string_load_utf8_series(Node source, uint32_t offset, uint32_t length, Node target,
                             int32_t* leftover, bool crlf);
// Fills the buffer of an existing string value (no CR LF handling).
Node string_load_utf8_into(Cell* str, const uint8_t* bytes, uint32_t length, int32_t* leftover);
// A new string of the bytes, without CR LF handling; leftover bytes are dropped.
Node string_from_utf8(const uint8_t* bytes, uint32_t length);

// ---- Widening in place ----------------------------------------------------------------------------

// Each takes a string buffer and returns it widened, possibly moved (the buffer is expanded
// first when it lacks room for the wider units plus one). The units from the buffer start to the
// tail are rewritten from the last to the first.
Series* string_widen_1_to_2(Series* s);
Series* string_widen_1_to_4(Series* s);
Series* string_widen_2_to_4(Series* s);

// ---- UTF-16 --------------------------------------------------------------------------------------

// The narrowest unit that holds count UTF-16LE units: 4 at the first surrogate, else 2 when any
// unit is above 0xFF, else 1.
uint32_t utf16_detect_unit(const uint16_t* units, uint32_t count);

// Makes a string of count UTF-16LE units and returns its node. units null: they are taken from
// the target's scratch buffer. With a target string value its buffer is refilled (expanded to
// count × unit bytes, unit set); without one a new series is made. The buffer gets the flag
// SER_UTF16_INPUT. With crlf, CR LF becomes LF and a lone CR becomes LF. A high surrogate not
// followed by a low one, or a lone low surrogate, raises access error invalid-utf16 (argument:
// the offending unit as an integer) before anything is changed.
Node utf16_input_to_string(const uint16_t* units, uint32_t count, Cell* target, bool crlf);

// 2 for every unit in [start, end) that is LF or a code point of 0x10000 and up.
uint32_t utf16_extra_bytes(const uint8_t* start, const uint8_t* end, uint32_t unit);

// NUL-terminated UTF-16LE copy of the string from its head, in its scratch buffer. *count is the
// units to convert (-1: up to the tail); on return it holds the UTF-16 units written without the
// terminator. Returns null when a unit above 0x10FFFF is met. With crlf each LF is preceded by CR.
const uint16_t* to_utf16_cstring(Cell* str, int32_t* count, bool crlf);
const uint16_t* to_utf16_cstring_crlf(Cell* str);

// Widens each byte of the NUL-terminated text to one UTF-16 unit (Latin-1) in dst, which has room
// for room units; the result is NUL-terminated and cut to fit. Returns the units written without
// the terminator.
size_t cstring_to_utf16(const char* text, uint16_t* dst, size_t room);

// Data of the string's scratch buffer (a byte series whose node is word 3 of the string cell),
// made on first use and expanded when smaller than bytes. Its content is valid until the next
// conversion of the same string.
uint8_t* string_scratch_buffer(Cell* str, uint32_t bytes);

// ---- Display width ----------------------------------------------------------------------------

// 2 in an East Asian ambiguous-width range, else char_width_narrow.
int char_width(int32_t cp);
// 0 for U+0000; 1 below 0x20 and for 0x7F-0x9F; 0 for zero-width characters; 2 for wide ones;
// else 1.
int char_width_narrow(int32_t cp);
// True when cp lies in one of the inclusive (low, high) ranges of the table of `entries` 32-bit
// entries (ascending pairs).
bool codepoint_in_ranges(int32_t cp, const uint32_t* table, size_t entries);

// The three range tables (pairs of inclusive bounds) and their number of 32-bit entries.
struct RangeTable {
    const uint32_t* entries;
    size_t count;
};
RangeTable zero_width_table();
RangeTable wide_table();
RangeTable ambiguous_table();

} // namespace kel
