// Collector state and entry points. The marking and compaction passes are built on these.
#include "core/gc.h"

#include "core/roots.h"

#include <cstdlib>
#include <cstring>

namespace kel {

bool g_collector_enabled = false;
bool g_collector_stress = false;
uint32_t g_collector_cycles = 0;
Rooted* g_rooted_top = nullptr;

namespace {
bool g_active = false;
}

void collector_init() {
    const char* stress = std::getenv("KEL_GC_STRESS");
    g_collector_stress = stress && std::strcmp(stress, "1") == 0;
    g_collector_cycles = 0;
}

void collector_run() {
    if (g_collector_enabled && !g_active) collector_cycle();
}

// Not yet collecting: counts the cycle only.
void collector_cycle() {
    g_active = true;
    g_collector_cycles++;
    g_active = false;
}

bool collector_active() { return g_active; }

} // namespace kel
