// file! and url!: names of files and resources, and the percent codec of URL text.
//
// Both types are strings (the string! cell and buffer). What they add, and what the rest of the
// runtime calls here:
//  - the operating system's form of a file name (a POSIX path in UTF-8: the language's file
//    notation maps one to one onto it) and the current directory;
//  - the percent codec: "%" and two hexadecimal digits stand for one byte of the UTF-8 text;
//  - the hook table through which the system services carry out file and URL I/O (an action
//    whose service is not registered raises internal not-done after its argument checks).
//
// Anything that allocates may move buffers: cells passed in must lie on the data stack or in a
// Rooted slot.
#pragma once

#include "core/cell.h"
#include "datatypes/datatype.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kel {

// ---- Percent codec (no allocation of runtime memory) --------------------------------------------

// Which characters the encoder writes as they are: the unreserved set (- . 0-9 A-Z _ a-z ~), the
// URL set (the unreserved set and ! # $ & ' ( ) * + , / : = ? @), or the URL set without "(" and
// ")" (what a molded URL uses, so that the lexer reads the whole URL back).
enum PercentMode : int32_t {
    PERCENT_URL_MOLD = 0xFD,
    PERCENT_UNRESERVED = 0xFE,
    PERCENT_URL = 0xFF,
};

// True when the ASCII character stands in a URL or an unquoted file name as it is.
bool url_char_safe(uint32_t c);

// Decodes the UTF-8 text [s, e), appending code points to out: "%" and two hex digits is one byte;
// an escaped lead byte of a multi-byte sequence takes the escapes that follow it and gives one code
// point when they form well-formed UTF-8, and otherwise its "%" is kept as text and the walk goes
// on after it (so does a "%" that is not followed by two hex digits); an escaped byte below 0xC0
// gives that byte as a code point. Answers false (out then holds the part decoded so far) when a
// byte outside an escape does not begin a well-formed UTF-8 sequence.
bool percent_decode(const uint8_t* s, const uint8_t* e, std::vector<uint32_t>& out);
// The same walk over code points (a string's characters): escapes are ASCII, every other
// character is copied.
void percent_decode_chars(const uint32_t* s, const uint32_t* e, std::vector<uint32_t>& out);

// Appends the bytes [s, e) to out, each byte the mode's set does not hold written as "%" and two
// uppercase hex digits.
void percent_encode(const uint8_t* s, const uint8_t* e, int32_t mode, std::string& out);

// Strict UTF-8: the code point of the sequence of n bytes (2-4) at p, or -1 when it is ill-formed
// (bad continuation, over-long form, surrogate, above U+10FFFF).
int32_t utf8_strict_sequence(const uint8_t* p, int n);

// The UTF-8 bytes of a string (any of the text types) from its head.
std::string string_utf8(const Cell* str);

// ---- Percent codec on strings (allocate) ---------------------------------------------------------

// Appends the text of str with its percent escapes decoded to target.
void url_percent_decode(const Cell* str, Cell* target);
// Appends the UTF-8 bytes of str's text to target, escaping those the mode's set does not hold.
void url_percent_encode(const Cell* str, Cell* target, int32_t mode);

// ---- Files and the operating system ---------------------------------------------------------------

// Appends the operating system's form of the file name to target: the name itself; with full set, a
// name that does not start with "/" gets the current directory (ending with "/") first.
void file_to_local_path(const Cell* file, Cell* target, bool full);
// The operating system's form (relative names stay relative) as UTF-8, NUL-terminated by the
// std::string. A name holding NUL raises script invalid-arg with the file.
std::string file_to_os_path(const Cell* file);
// The process's current directory, always ending with "/".
std::string file_current_dir_text();
// Pushes the current directory as a new string! on the data stack.
Cell* file_get_current_dir();
// Pushes a copy of a file! value on the data stack.
Cell* file_push(const Cell* file);

// ---- I/O services ----------------------------------------------------------------------------------

// The system services register here. Each file entry has the action's own signature and leaves its
// result in the first cell. http_request leaves the answer (none when there is none) in result;
// url_port replaces the URL in its cell with a new, not opened port! for it.
struct FileIoServices {
    PortFn delete_file = nullptr;
    PortFn query_file = nullptr;
    PortFn rename_file = nullptr;
    PortFn read_file = nullptr;
    PortFn write_file = nullptr;
    void (*http_request)(Cell* result, uint32_t method_symbol, const Cell* url, const Cell* headers,
                         const Cell* data, bool binary, bool lines, bool info) = nullptr;
    void (*url_port)(Cell* url) = nullptr;
};
extern FileIoServices g_file_io;

// True when the text from the head starts with "http:" or "https:" (case-insensitive).
bool url_is_http(const Cell* url);

} // namespace kel
