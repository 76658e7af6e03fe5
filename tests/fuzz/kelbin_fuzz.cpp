// Fuzz target: any byte string through the binary value decoder. Each run must give values or a
// language error (caught by a try frame), never a crash, a hang or a sanitizer report. What was
// decoded is then molded and encoded again in both forms, which walks every structure the decoder
// built. The environment is started, so native! and action! records meet the specs of their slots.
#include "core/console.h"
#include "core/errors.h"
#include "core/memory.h"
#include "core/roots.h"
#include "core/series.h"
#include "core/stack.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"
#include "services/kelbin.h"
#include "tests/fuzz/runtime_fuzz.h"

#include <cstddef>
#include <cstdint>

using namespace kel;

using kel_fuzz::guarded;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool started = false;
    if (!started) {
        kel_fuzz::runtime_once();
        environment_init();
        g_root_collect = false;
        started = true;
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
        // Errors are written in full at each occurrence: decoded errors that hold the same error
        // several times, level under level, would write exponentially many records.
        constexpr size_t limit = size_t(1) << 18;
        guarded([&] { kelbin_encode_bytes(out.get(), KelbinForm::Standard, limit); });
        guarded([&] { kelbin_encode_bytes(out.get(), KelbinForm::Compact, limit); });
    }
    collector_cycle();
    return 0;
}
