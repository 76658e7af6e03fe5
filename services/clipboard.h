// The system clipboard (the X11 CLIPBOARD selection, through GTK) and the `read-clipboard` and
// `write-clipboard` routines.
//
// What moves, and in which form:
//   text        UTF-8 through GTK's text targets; written as it is (LF line ends), read back with
//               CR LF turned into LF and cut at a NUL
//   file lists  text/uri-list: one file: URI a line, each line ending in CR LF; a relative name is
//               made absolute from the current directory first (a URI cannot be relative); read
//               back as file! values, comment lines and URIs that name no local file skipped
//   images      written as image/png (an image without pixels empties the clipboard); read from
//               image/png, image/jpeg, image/gif, in that order (a format whose bytes do not decode
//               gives way to the next), then from any image format GTK can decode
//
// Reading takes the first of text, file list, image that the owner offers; nothing usable gives
// none. Without a display both routines answer false; so does a read whose offered data cannot be
// fetched. Writing none empties the clipboard. Only a value that cannot be written raises an error
// (script invalid-arg), and it does so before the display is tried.
//
// What was written is kept in C++ memory, outside the collector's reach, and served from there
// while the process runs (the selection is answered in the GLib main loop's turns, which `wait`
// runs); at exit it is handed to a clipboard manager when one runs.
#pragma once

#include "core/cell.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kel {

// Registers the routines and binds their global words (start-up, after the natives).
void clipboard_init();

// The clipboard's content as a value into result (a cell on the data stack or rooted). Allocates.
void clipboard_read(Cell* result);
// Puts the value (on the data stack or rooted) on the clipboard; true when it was placed.
bool clipboard_write(const Cell* value);

// ---- Forms of the data (no display needed) -------------------------------------------------------

// Selection text as a string's UTF-8: cut at the first NUL, CR LF turned into LF.
std::string clipboard_text_in(std::string_view text);
// A text/uri-list of absolute POSIX paths (raw bytes; percent-escaped as URIs need).
std::string clipboard_uri_list(const std::vector<std::string>& paths);
// The local paths a text/uri-list names, in order.
std::vector<std::string> clipboard_uri_list_paths(std::string_view list);
// Rows of 8-bit R, G, B (channels 3) or R, G, B, A (channels 4) samples, stride bytes apart, as
// image store pixels (alpha 255 without an A sample) into out, which has room for width × height.
void clipboard_rows_to_pixels(const uint8_t* rows, uint32_t width, uint32_t height, size_t stride,
                              uint32_t channels, uint32_t* out);

} // namespace kel
