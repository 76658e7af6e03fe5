// Non-local exits.
//
// Errors, break, continue, return, exit, the language's throw and quit all leave native code as
// one C++ exception type, KelThrow, that carries the throw code and a value. A frame that must
// intercept exits has a catch level: a throw of code c stops at the innermost frame whose catch
// level is at least c (unsigned), every other frame lets it pass (core/stack.h says how natives
// receive them); the entry point's frame, level 0xFFFFFFFF, stops everything. No KelThrow may
// cross a C library's frames: callbacks from C code catch everything at their boundary.
#pragma once

#include "core/cell.h"

#include <cstdint>

namespace kel {

enum ThrowCode : uint32_t {
    THROW_ERROR    = 0x7FFFFFFF,
    THROW_BREAK    = 0x7FFFFFFE,
    THROW_CONTINUE = 0x7FFFFFFD,
    THROW_RETURN   = 0x7FFFFFFC,
    THROW_EXIT     = 0x7FFFFFFB,
    THROW_VALUE    = 0x7FFFFFFA,   // the language's throw
    THROW_MEM_8    = 0x7FFFFFF8,
    THROW_MEM_ALLOC = 0x7FFFFFF7,  // os-virtual-alloc failed
    THROW_MEM_FREE = 0x7FFFFFF6,   // os-virtual-free failed
    QUIT_MARKER    = 0x0BADCAFE,   // ends the process with status 0 at the top level
    CATCH_ALL      = 0xFFFFFFFF,   // catch level of the entry point's frame
};

struct KelThrow {
    uint32_t code;
    Cell value;   // the error, or the value carried by break/return/throw (unset when none)
};

// Raises a low-level throw of the given code. The value travels with the exception.
[[noreturn]] void low_throw(uint32_t code, const Cell* value = nullptr);

} // namespace kel
