// Explicit collector roots for values that C++ code keeps across calls that may allocate.
//
// A Rooted holds one cell and registers itself for its lifetime, so the collector marks its value
// and rewrites its node references when it moves nodes. Rooted objects nest like the C++ scopes
// that hold them (a stack of registrations); they must not be copied.
#pragma once

#include "core/cell.h"

namespace kel {

struct Rooted {
    Cell value;
    Rooted* below;

    explicit Rooted(const Cell& v = Cell{T_UNSET, 0, 0, 0});
    ~Rooted();
    Rooted(const Rooted&) = delete;
    Rooted& operator=(const Rooted&) = delete;

    Cell* operator->() { return &value; }
    Cell* get() { return &value; }
};

// The innermost registration (the collector walks the chain through `below`).
extern Rooted* g_rooted_top;

inline Rooted::Rooted(const Cell& v) : value(v), below(g_rooted_top) { g_rooted_top = this; }
inline Rooted::~Rooted() { g_rooted_top = below; }

} // namespace kel
