// string!: the text routines the whole runtime uses to build and read strings.
//
// A string value is a series cell (word 1 the head index in units, word 2 the buffer's node, word 3
// the node of its scratch buffer or 0) over a buffer of 1-, 2- or 4-byte units (Latin-1, UCS-2,
// UCS-4). A buffer only widens while text is written into it; string_rs_reset is the one way back
// to 1-byte units.
//
// Writers that take a Series* return it because widening or growth may move it: carry the returned
// buffer on. Writers that take a Cell* fetch the buffer through the cell again after allocating,
// so that cell must not itself lie in a buffer that can move (keep it on the data stack or in a
// Rooted slot). Every function that may allocate says so.
#pragma once

#include "core/cell.h"
#include "core/memory.h"
#include "core/series.h"
#include "datatypes/datatype.h"

#include <cstddef>
#include <cstdint>

namespace kel {

// ---- Reading (no allocation) ----------------------------------------------------------------------
// rs_head clips a head index beyond the tail to the tail, in the cell.
uint8_t* string_rs_head(Cell* str);
uint8_t* string_rs_tail(const Cell* str);
bool string_rs_tail_q(const Cell* str);
int32_t string_rs_length(const Cell* str);   // units from the head, never below 0
uint32_t string_get_char(const uint8_t* p, uint32_t unit);
uint32_t string_rs_abs_char(const Cell* str, uint32_t index);
// Index from the head of the first occurrence of the exact code point, -1 when absent.
int32_t string_find_char(const Cell* str, uint32_t cp);
// True when cp occurs at the head or at every step-th unit after it; folded unless case_sensitive.
bool string_has_char(const Cell* str, uint32_t cp, int32_t step, bool case_sensitive);
// True when the string from its head begins with the bytes of text (each a code point <= 255).
bool string_starts_with(const Cell* str, const char* text);
// True when the code point at the head is in the bitset (beyond its bits: its complement flag).
bool string_char_in_bitset(const Cell* str, const Cell* bitset);
// True when the string holds "<" at its head and ">" right after the tag's text.
bool string_tag_at_head(const Cell* str, const Cell* tag);
// PARSE's matching test at the string's head: a char!, a tag! or any string as a prefix; op 2
// compares exactly, any other op after case folding.
bool string_match(const Cell* str, const Cell* value, int32_t op);

// ---- Making (allocate) ----------------------------------------------------------------------------
// room is in units of `unit` (1, 2 or 4; room 0 gives 1); the cell reads unset meanwhile and ends
// as a string! with head 0 and no scratch buffer.
Cell* string_make_at(Cell* cell, uint32_t room, uint32_t unit = 1);
Cell* string_push(const Cell* str);
// A new empty string on the data stack with room for n 1-byte units.
Cell* string_push_new(uint32_t room);

// ---- Writing (allocate) ---------------------------------------------------------------------------
// Appends one code point at the tail: a 1-byte buffer takes 0-0x7F as they are and widens to 2
// bytes for 0x80-0xFFFF, to 4 above; a 2-byte buffer widens to 4 above 0xFFFF.
Series* string_append_char(Series* s, uint32_t cp);
// Overwrites the unit at the unit index counted from the buffer start (the tail moves when the
// index is at or past it); a 1-byte buffer keeps 0-0xFF, widens to 2 up to 0xFFFF, to 4 above.
Series* string_put_char_at(Series* s, uint32_t index, uint32_t cp);
// Inserts one code point at the unit index counted from the buffer start (widening as put does).
Series* string_insert_char_at(Series* s, uint32_t index, uint32_t cp);
// Removes count units at the unit index counted from the buffer start (no allocation).
void string_remove_units(Cell* str, uint32_t index, uint32_t count);
// Widens the buffer to at least `unit` (no change when it is as wide already).
Series* string_widen_to(Series* s, uint32_t unit);
// Makes sure count more units of the buffer's unit fit after the tail.
Series* string_reserve(Series* s, uint64_t count);

void string_concatenate_literal(Cell* str, const char* text);   // bytes as Latin-1 code points
void string_append_utf8(Cell* str, const uint8_t* text, size_t length);   // bad sequences: U+FFFD
void string_append_bytes(Cell* str, const uint8_t* bytes, size_t n);      // Latin-1 code points
// Copies the characters of source (any string from its head, or a symbol! cell as symbol_get gives
// it, read through its cached spelling) into the
// target. mode 0 appends at the tail, 1 inserts at offset (units from the target's head), 2
// overwrites from offset (the tail never moves back). part limits the characters taken (-1: all).
// The target widens to the source's unit when the source is wider; the source is never changed
// (keep_source is accepted for callers' sake: the narrower source is read unit by unit either way).
void string_concatenate(Cell* target, const Cell* source, int32_t part, int32_t offset,
                        bool keep_source, int mode);
void string_rs_reset(Cell* str);
void string_truncate_buffer(Series* s, uint32_t n);

// ---- Loading external text (allocate) -------------------------------------------------------------
// A new string! made from UTF-8 (or UTF-16LE, length in units) text. The text must not lie in a
// buffer of the memory manager.
enum class TextEncoding : int8_t { Utf8 = 0, Utf16le = -1 };
Cell* string_load(const void* text, int32_t length, Cell* target, TextEncoding encoding);
Cell* string_load_push(const void* text, int32_t length, TextEncoding encoding);
Cell* string_load_in(const void* text, int32_t length, Cell* block, TextEncoding encoding);
// A new string on the data stack from the UTF-8 bytes of a series (a binary!) from offset; bytes
// that do not decode raise access invalid-utf8 with a binary! of the bytes from the first one not
// consumed.
Cell* string_from_utf8_checked(const Cell* binary);

// ---- Hexadecimal helpers (static buffers, valid until the next call) -------------------------------
const char* string_byte_to_hex(uint8_t byte);
const char* string_int_to_hex(int32_t value, bool trim);

// ---- Comparison ------------------------------------------------------------------------------------
// 0 equal, -1 less, 1 greater; a and b are any strings or symbol! cells with their cached
// spelling (symbol_get); op is the compare protocol's. No allocation.
int32_t string_compare_core(const Cell* a, const Cell* b, int32_t op, bool prefix);

// ---- Form and mold (allocate) ---------------------------------------------------------------------
int32_t string_form(const Cell* value, Cell* buffer, bool part, int32_t budget);
int32_t string_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, bool part,
                    int32_t budget, int32_t indent);
// Appends one code point in molded form (caret escapes; with all, ^(hex) above 0x7F). Returns the
// number of characters written.
int32_t string_append_escaped_char(Cell* buffer, uint32_t cp, bool all);

// ---- Trimming ---------------------------------------------------------------------------------------
// Removes, in place from the head, every unit of the set (a string!, binary!, char! or integer!;
// null: tab, line feed, carriage return and space).
void string_trim_all(Cell* str, const Cell* with);

// ---- Actions and the helpers they share -------------------------------------------------------------
// An unbound word! of the name (error arguments, owner notification words).
Cell word_cell(const char* name);
// Forms any value through its type's form action into the string buffer.
int32_t string_form_value(const Cell* value, Cell* buffer, bool part, int32_t budget);
// A /part argument as a count: an integer!, or a position in the same series; else script
// invalid-refine-arg with the word `part`.
int32_t string_part_count(const Cell* series, const Cell* part);
// The head index, clipped to the tail in the cell.
uint32_t string_head_index(Cell* str);

void string_make(Cell* proto, Cell* spec, TypeId type);
void string_to(Cell* proto, Cell* spec, TypeId type);
int32_t string_compare(const Cell* a, const Cell* b, int32_t op);
void string_append(Cell* series, const Cell* value, int32_t part, bool only, int32_t dup, bool notify);
void string_insert(Cell* series, const Cell* value, int32_t part, bool only, int32_t dup, bool append);
void string_change(Cell* series, const Cell* value, int32_t part, bool only, int32_t dup);
void string_swap(Cell* left, Cell* right);
void string_take(Cell* series, const Cell* part, bool deep, bool last);
void string_trim(Cell* series, const TrimOpts& opts);
void string_eval_path(Cell* parent, const PathStep& step);
void string_find(Cell* series, const Cell* value, const FindOpts& opts);
void string_select(Cell* series, const Cell* value, const FindOpts& opts);
void string_sort(Cell* series, const SortOpts& opts);
// unique (op 8), union (9), intersect (10), exclude (11), difference (12) of strings: records of
// the /skip size (null: 1) compared by their first characters. The new string replaces first.
void string_set_operation(Cell* first, const Cell* second, int32_t op, bool case_, const Cell* skip);

// The action entries tag! and email! start from: string!'s, without math, sort, trim or the
// port actions.
ActionEntries markup_text_entries();

} // namespace kel
