// Files and directories: whole-file read and write, directory listing, deletion and renaming on
// the POSIX file calls (and the last-write time). files_init registers these services in g_file_io (datatypes/file.h), where
// the file! actions read, write, delete and rename find them.
#pragma once

#include "core/cell.h"

#include <climits>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kel {

// Registers the file services in g_file_io. Called once at start-up.
void files_init();

// True when the name is a directory by its spelling: it ends with "/", or it is "." or "..", or it
// ends with "/." or "/..". An empty name is not.
bool files_dir_path(std::string_view path);

// The largest content a series takes: a binary's bytes, and the bytes of a text that may need four
// bytes per character once decoded.
constexpr uint64_t FILES_BINARY_LIMIT = uint64_t(INT32_MAX) - 64;
constexpr uint64_t FILES_TEXT_LIMIT = FILES_BINARY_LIMIT / 4;

// Text read from outside (files, HTTP bodies), made into result. As lines: a block of strings, split
// at LF, a CR before the LF dropped, the text after the last LF a last string only when not empty.
// As one string: decoded from UTF-8 with CR LF turned into LF (in place in bytes), after a leading
// byte-order mark when skip_bom is set. The bytes must stay within FILES_TEXT_LIMIT.
void files_lines_value(Cell* result, const std::vector<uint8_t>& bytes);
void files_text_value(Cell* result, std::vector<uint8_t>& bytes, bool skip_bom);

// The whole content of the file at the (POSIX, UTF-8) path into out; false when it cannot be
// opened or read, or holds more than a binary! can.
bool files_read_all(const std::string& path, std::vector<uint8_t>& out);

} // namespace kel
