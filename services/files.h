// Files and directories: whole-file read and write, directory listing, deletion and renaming on
// the POSIX file calls (and the last-write time). files_init registers these services in g_file_io (datatypes/file.h), where
// the file! actions read, write, delete and rename find them.
#pragma once

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

// The whole content of the file at the (POSIX, UTF-8) path into out; false when it cannot be
// opened or read, or holds more than a binary! can.
bool files_read_all(const std::string& path, std::vector<uint8_t>& out);

} // namespace kel
