// The cycle-detection stack: the rare paths. The hot operations are inline in core/cycles.h.
#include "core/cycles.h"

#include "core/errors.h"

namespace kel {

CycleStack g_cycles{{}, g_cycles.entries};

[[noreturn]] void cycles_too_deep() {
    cycles_reset();
    fire_error(Err::TooDeep);
}

bool cycles_find(Node n) {
    for (const Node* p = g_cycles.entries; p < g_cycles.fill; ++p)
        if (*p == n) return true;
    return false;
}

void cycles_mark(Node (*redirect)(Node)) {
    for (Node* p = g_cycles.entries; p < g_cycles.fill; ++p) *p = redirect(*p);
}

} // namespace kel
