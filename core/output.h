// Console output primitives and output hooks.
//
// Two paths carry printed text out of the runtime:
//  - print and prin form a value into a string and hand it to the value hooks (hooks_call);
//  - the runtime's own low-level messages and its diagnostic printers write to standard output
//    through output_write_text / print_cstring / the number printers, and every such write is then
//    handed to the text hooks (hooks_call_print).
// The GUI console registers one hook in each list, so that all printed text reaches its terminal.
//
// Standard output is either a terminal or a file/pipe; both receive UTF-8 with LF line ends.
// Escape sequences in the text are passed through untouched: a terminal interprets them itself.
// The console control operations (cursor, clearing, attributes) emit the matching ANSI sequences
// when standard output is a terminal and do nothing otherwise.
//
// Everything runs on the main thread; nothing here is locked.
#pragma once

#include "core/cell.h"

#include <cstddef>
#include <cstdint>

namespace kel {

// ---- Hooks -------------------------------------------------------------------------------------

// Called with a string value and the new-line flag (1 from print, 0 from prin).
using ValueHook = void (*)(const Cell* value, bool newline);
// Called with text just written: unit 0 means bytes (UTF-8), 1/2/4 the string's unit size;
// a length of -1 means NUL-terminated.
using TextHook = void (*)(const void* text, int64_t length, int unit);

constexpr size_t HOOKS_INITIAL_CAPACITY = 5;
constexpr size_t HOOKS_GROWTH = 5;

// Allocates both hook lists with room for 5 callbacks each (first step of runtime start-up).
// Calling it again drops every registered hook.
void hooks_init();
// Appends each given (non-null) callback to its list; a full list grows by 5 entries, order kept.
void hooks_add(ValueHook value_hook, TextHook text_hook);
// Removes the first occurrence of each given (non-null) callback; absent callbacks change nothing.
void hooks_remove(ValueHook value_hook, TextHook text_hook);
// Calls every value hook, in registration order.
void hooks_call(const Cell* value, bool newline);
// Calls every text hook, in registration order.
void hooks_call_print(const void* text, int64_t length, int unit);

struct HookListInfo {
    size_t count;
    size_t capacity;
};
HookListInfo value_hooks_info();
HookListInfo text_hooks_info();

// ---- Writers -----------------------------------------------------------------------------------

constexpr size_t OUTPUT_BUFFER_SIZE = 1024;
constexpr size_t OUTPUT_FLUSH_AT = 1020;  // the buffer is written once more than this is gathered

// Sets the console flag from the output descriptor (standard output unless changed).
void console_detect();
// True when the output descriptor is a terminal.
bool output_is_console();
// Redirects all output to fd and detects whether it is a terminal; returns the previous fd.
int output_set_fd(int fd);
int output_fd();
// Number of write(2) calls made so far (diagnostics and tests).
uint64_t output_write_count();

// Writes length_bytes of text whose code units are unit bytes wide (1 Latin-1, 2 UTF-16, 4 UCS-4)
// as UTF-8; with newline a "\n" follows. Any other unit ends the process with runtime error 101.
// Write errors are ignored: the text is lost and nothing is reported.
void output_write_text(const void* text, size_t length_bytes, int unit, bool newline);
// Writes one code unit (UTF-16 unit or code point) as UTF-8.
void console_write_unit(uint32_t unit);

// Writes the NUL-terminated bytes as they are, then passes them to the text hooks (unit 0).
const char* print_cstring(const char* text);

// Number printers: each writes its digits, then passes the same characters to the text hooks
// as bytes (unit 0).
void print_integer(int32_t value);      // "%i"
void print_hex_byte(int32_t value);     // "%02X"
void print_hex_dword(int32_t value);    // "%08X"
void print_float(double value);         // "%.16g"
void print_float32(float value);        // "%.7g"

// ---- Console control ---------------------------------------------------------------------------
//
// A console attribute holds the foreground colour in bits 0-2 (1 blue, 2 green, 4 red), foreground
// intensity 8, the background colour in bits 4-6, background intensity 0x80 and underscore 0x8000.

enum : int32_t {
    ATTR_FG_BLUE = 0x01, ATTR_FG_GREEN = 0x02, ATTR_FG_RED = 0x04, ATTR_FG_INTENSE = 0x08,
    ATTR_BG_BLUE = 0x10, ATTR_BG_GREEN = 0x20, ATTR_BG_RED = 0x40, ATTR_BG_INTENSE = 0x80,
    ATTR_UNDERSCORE = 0x8000,
    ATTR_INITIAL = 0x07,  // light grey on black: what a terminal shows before any SGR
};

// Keeps the current attribute as the default one (used by SGR 0 and by the clear operations).
void console_save_default_attribute();
int32_t console_default_attribute();
int32_t console_current_attribute();
// Keeps the cursor position (terminal: ESC [ s, restored by ESC [ u).
void console_save_cursor();
// Moves the cursor to a 0-based column and row.
void console_set_cursor(int column, int row);
// Makes attribute the current one and emits its colours.
void console_set_attribute(int32_t attribute);
// Clears part of the screen with the default attribute; modes 0-5, others do nothing:
//   0 cursor row to the end, 1 rows above the cursor, 2 everything and home the cursor,
//   3 the cursor row and move to its start, 4 cursor to end of line, 5 start of line to the cursor
//   and move to its start.
void console_clear(int mode);
// The attribute after applying an SGR code to attribute (-1: the current attribute). Pure.
int32_t console_sgr_attribute(int32_t attribute, int code);
// Writes the SGR parameters for attribute, relative to the default, into out (at least 32 bytes):
// "\x1b[0m" for the default attribute, else "\x1b[0;..m". Returns the length.
size_t console_attribute_sgr(int32_t attribute, char* out);

// Measures the control sequence at text (which starts with ESC): length_bytes bytes of units of
// the given size (0 or 1: bytes, 2, 4; any other unit gives 0). Returns the bytes of
// "ESC [ digits-and-semicolons final", or 0 when the ESC is not followed by "[" or the sequence is
// cut off by the end of the text.
size_t console_escape(const void* text, size_t length_bytes, int unit);

} // namespace kel
