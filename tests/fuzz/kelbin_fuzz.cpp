// Fuzz target: any byte string through the binary value decoder. Each run must give values or a
// language error (caught by a try frame), never a crash, a hang or a sanitizer report. What was
// decoded is then molded and encoded again in both forms, which walks every structure the decoder
// built.
#include "core/errors.h"
#include "core/gc.h"
#include "core/memory.h"
#include "core/roots.h"
#include "core/runtime.h"
#include "core/series.h"
#include "core/stack.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"
#include "services/kelbin.h"

#include <cstddef>
#include <cstdint>

using namespace kel;

namespace {

bool g_ready = false;

template <class F>
void guarded(F&& f) {
    Cell* top = g_stack.top;
    Cell* args = g_stack.arguments;
    const Cell word{T_WORD, 0, 0, 0};
    stack_try(&word, false, [&] { f(); });
    g_stack.top = top;
    g_stack.arguments = args;
}

} // namespace

extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!g_ready) {
        runtime_init();
        g_root_collect = false;
        g_ready = true;
    }
    if (size > 1 << 16) return 0;
    Rooted out(make_series(T_BLOCK, alloc_cells(4), 0));
    bool decoded = false;
    guarded([&] {
        kelbin_decode(data, size, series_node(out.get()));
        decoded = true;
    });
    if (decoded) {
        guarded([&] {
            Rooted text(make_unset());
            string_make_at(text.get(), 64);
            mold_typed(out.get(), text.get(), false, true, false, true, 4096, 0);
        });
        guarded([&] { kelbin_encode_bytes(out.get(), KelbinForm::Standard); });
        guarded([&] { kelbin_encode_bytes(out.get(), KelbinForm::Compact); });
    }
    collector_cycle();
    return 0;
}
