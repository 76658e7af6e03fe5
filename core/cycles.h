// The cycle-detection stack.
//
// Recursive walks over values (mold and form of blocks, parens, paths, maps, hashes and objects,
// comparison of blocks, deep ownership marking, context copying, the Draw parser) keep the node of
// every series they are inside of on this one process-wide stack. A walk that meets a node already
// on the stack has found a value that contains itself; the stack's size also bounds the depth of
// such walks: the 1000th entry raises internal too-deep, after emptying the stack so that the walk
// that raised it leaves nothing behind. Every stack overflow empties it too, and so does stack_init.
#pragma once

#include "core/memory.h"

#include <cstdint>

namespace kel {

constexpr uint32_t CYCLES_LIMIT = 1000;

struct CycleStack {
    Node entries[CYCLES_LIMIT];
    Node* fill;   // the next free entry
};
extern CycleStack g_cycles;

[[noreturn]] void cycles_too_deep();

// Stores the node and advances; when that fills the stack, it is emptied and too-deep raised.
inline void cycles_push(Node n) {
    *g_cycles.fill++ = n;
    if (g_cycles.fill >= g_cycles.entries + CYCLES_LIMIT) [[unlikely]] cycles_too_deep();
}
// Removes the last entry when there is one.
inline void cycles_pop() {
    if (g_cycles.fill > g_cycles.entries) --g_cycles.fill;
}
// Removes the last n entries (all of them when there are fewer).
inline void cycles_drop(uint32_t n) {
    g_cycles.fill = uint32_t(g_cycles.fill - g_cycles.entries) > n ? g_cycles.fill - n : g_cycles.entries;
}
inline void cycles_reset() { g_cycles.fill = g_cycles.entries; }
inline uint32_t cycles_depth() { return uint32_t(g_cycles.fill - g_cycles.entries); }

// True when the node is on the stack.
bool cycles_find(Node n);

// After a collection that moved nodes: every entry is replaced by redirect(entry).
void cycles_mark(Node (*redirect)(Node));

} // namespace kel
