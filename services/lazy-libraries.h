// Libraries opened on first use, not at start-up.
//
// The GUI toolkit (with the long chain of libraries it needs), the HTTP client and the TIFF codec
// cost most of a process's start-up when the dynamic linker loads them and resolves their symbols,
// yet most runs call none of them. So the executable is compiled against them but not linked to
// them: each of their functions that the runtime calls is defined in lazy-libraries.cpp as a small
// stub that jumps through a slot of its own. The slot first leads to a resolver, which opens the
// library (once, with its dependencies), looks the function up, stores its address in the slot and
// goes on into it with the caller's arguments untouched; later calls go straight through the slot.
//
// Code that uses such a library opens it first (lazy_library_open) and takes its own failure path
// when it cannot be opened: no display for the toolkit, no answer for HTTP, bad data for TIFF. A
// stub reached while its library cannot be opened has no way to report to its caller, so the
// process then ends with the reason on stderr.
#pragma once

namespace kel {

enum class LazyLibrary { Gtk, Curl, Tiff };

// Opens the library on the first call and answers whether it is open. A failure is reported once
// on stderr (the library's name and the system's reason) and kept: nothing is retried.
bool lazy_library_open(LazyLibrary lib);

} // namespace kel
