// string!: the text routines the whole runtime uses to build and read strings.
//
// Writers take and return the series buffer because widening or growth may move it: carry the
// returned buffer on. Every function that may allocate says so.
#pragma once

#include "core/cell.h"
#include "core/memory.h"

#include <cstddef>
#include <cstdint>

namespace kel {

// Reading (no allocation). rs_head clips a head index beyond the tail to the tail, in the cell.
uint8_t* string_rs_head(Cell* str);
uint8_t* string_rs_tail(const Cell* str);
int32_t string_rs_length(const Cell* str);   // units from the head, never below 0
uint32_t string_get_char(const uint8_t* p, uint32_t unit);
uint32_t string_rs_abs_char(const Cell* str, uint32_t index);

// Making (allocate). room is in units of `unit` (1, 2 or 4); the cell reads unset meanwhile and
// ends as a string! with head 0.
Cell* string_make_at(Cell* cell, uint32_t room, uint32_t unit = 1);
Cell* string_push(const Cell* str);

// Writing (allocate).
Series* string_append_char(Series* s, uint32_t cp);
void string_concatenate_literal(Cell* str, const char* text);   // bytes as Latin-1 code points
void string_append_utf8(Cell* str, const uint8_t* text, size_t length);
void string_append_bytes(Cell* str, const uint8_t* bytes, size_t n);
// mode 0 append at the tail, 1 insert at offset from the head, 2 overwrite from offset; part -1:
// the whole source from its head.
void string_concatenate(Cell* target, const Cell* source, int32_t part, int32_t offset,
                        bool keep_source, int mode);
void string_rs_reset(Cell* str);
void string_truncate_buffer(Series* s, uint32_t n);

// Loading external text (allocate): a new string! made from UTF-8 (or UTF-16LE) text.
enum class TextEncoding : int8_t { Utf8 = 0, Utf16le = -1 };
Cell* string_load(const void* text, int32_t length, Cell* target, TextEncoding encoding);
Cell* string_load_push(const void* text, int32_t length, TextEncoding encoding);
Cell* string_load_in(const void* text, int32_t length, Cell* block, TextEncoding encoding);

} // namespace kel
