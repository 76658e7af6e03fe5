// Micro-benchmarks of text building and comparison: appending characters to a string (ASCII into
// 1-byte units, and text that widens the buffer to 2 and 4 bytes on the way), appending a whole
// string, and the case-insensitive comparison of two texts that differ only in letter case, in
// 1-byte and 2-byte units. Each pass refills one string emptied with string_rs_reset (which
// also returns it to 1-byte units), so that widening is paid on every pass and no garbage piles up.
#include "core/case-fold.h"
#include "core/memory.h"
#include "core/roots.h"
#include "datatypes/datatype.h"
#include "datatypes/string.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

namespace {

void setup() {
    if (!kel::g_memory.series_current) {
        kel::memory_init();
        kel::memory_frames_init();
        kel::case_folding_init();
    }
}

constexpr uint32_t kChars = 4096;

// range(0): 0 ASCII only; 1 one é in the middle (widens to 2 bytes); 2 one emoji (widens to 4).
void BM_AppendChar(benchmark::State& state) {
    setup();
    std::vector<uint32_t> text(kChars);
    for (uint32_t i = 0; i < kChars; ++i) text[i] = 'a' + i % 26;
    if (state.range(0) == 1) text[kChars / 2] = 0xE9;
    if (state.range(0) == 2) text[kChars / 2] = 0x1F600;
    kel::Rooted s(kel::make_none());
    kel::string_make_at(s.get(), kChars * 4);
    for (auto _ : state) {
        kel::string_rs_reset(s.get());
        kel::Series* buf = kel::value_series(s.get());
        for (uint32_t c : text) buf = kel::string_append_char(buf, c);
        benchmark::DoNotOptimize(buf);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kChars);
}
BENCHMARK(BM_AppendChar)->Arg(0)->Arg(1)->Arg(2)->ArgNames({"wide"});

void BM_AppendString(benchmark::State& state) {
    setup();
    kel::Rooted piece(kel::make_none());
    kel::string_make_at(piece.get(), 64, state.range(0) ? 2 : 1);
    for (int i = 0; i < 64; ++i)
        kel::string_append_char(kel::value_series(piece.get()), state.range(0) ? 0x3B1 + i % 20 : 'a' + i % 26);
    kel::Rooted s(kel::make_none());
    kel::string_make_at(s.get(), kChars * 2);
    for (auto _ : state) {
        kel::string_rs_reset(s.get());
        for (uint32_t i = 0; i < kChars / 64; ++i) kel::string_concatenate(s.get(), piece.get(), -1, 0, true, 0);
        benchmark::DoNotOptimize(kel::value_series(s.get()));
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kChars);
}
BENCHMARK(BM_AppendString)->Arg(0)->Arg(1)->ArgNames({"wide"});

// Two 1000-character texts equal but for letter case; range(0) is the unit (1 or 2).
void BM_CompareCaseless(benchmark::State& state) {
    setup();
    uint32_t unit = uint32_t(state.range(0));
    kel::Rooted a(kel::make_none()), b(kel::make_none());
    kel::string_make_at(a.get(), 1000, unit);
    kel::string_make_at(b.get(), 1000, unit);
    for (uint32_t i = 0; i < 1000; ++i) {
        uint32_t lower = unit == 1 ? 'a' + i % 26 : 0x3B1 + i % 17;
        kel::string_put_char_at(kel::value_series(a.get()), i, lower);
        kel::string_put_char_at(kel::value_series(b.get()), i, uint32_t(kel::fold_upper(lower)));
    }
    for (auto _ : state) {
        int32_t r = kel::string_compare_core(a.get(), b.get(), kel::CMP_EQUAL, false);
        benchmark::DoNotOptimize(r);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * 1000);
}
BENCHMARK(BM_CompareCaseless)->Arg(1)->Arg(2)->ArgNames({"unit"});

} // namespace
