// Shared pieces of the fuzz targets that run the runtime: one runtime for the whole process, and
// a try frame around each step so that a language error is an accepted outcome.
#pragma once

#include "core/gc.h"
#include "core/runtime.h"
#include "core/stack.h"

// The runtime lives for the whole process: what it holds at exit is not a leak.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

namespace kel_fuzz {

// Brings the runtime up on the first call (collection only where it is asked for).
inline void runtime_once() {
    static bool ready = false;
    if (ready) return;
    kel::runtime_init();
    kel::g_root_collect = false;
    ready = true;
}

// Runs f inside a try frame; the data stack is restored afterwards.
template <class F>
void guarded(F&& f) {
    using namespace kel;
    Cell* top = g_stack.top;
    Cell* args = g_stack.arguments;
    const Cell word{T_WORD, 0, 0, 0};
    stack_try(&word, false, [&] { f(); });
    g_stack.top = top;
    g_stack.arguments = args;
}

} // namespace kel_fuzz
