// Micro-benchmarks of blocks: appending integers through the append action and through the
// builder, picking and poking every position of a block, and comparing two equal blocks (of
// integers, and of integers against floats, which goes through the numeric cross-type compare).
// The runtime is brought up once with the collector off; each append pass empties its block with
// block_rs_clear so that the buffer's growth is paid once and nothing piles up.
#include "core/gc.h"
#include "core/roots.h"
#include "core/runtime.h"
#include "core/series.h"
#include "core/stack.h"
#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/series.h"
#include "evaluator/actions.h"

#include <benchmark/benchmark.h>

#include <cstdint>

namespace {

using namespace kel;

constexpr int32_t kCells = 4096;

void setup() {
    static bool started = false;
    if (started) return;
    runtime_init();
    g_root_collect = false;
    g_collector_enabled = false;
    started = true;
}

// A block of n integers (or floats) kept in the rooted cell.
void fill(Rooted& b, int32_t n, bool floats = false) {
    block_make_at(b.get(), n);
    for (int32_t i = 0; i < n; ++i) {
        Cell v = floats ? make_float(double(i)) : make_integer(i);
        block_append_value(b.get(), &v);
    }
}

void BM_BlockAppendAction(benchmark::State& state) {
    setup();
    Rooted b(make_none());
    block_make_at(b.get(), kCells);
    Rooted arg(make_none());
    for (auto _ : state) {
        block_rs_clear(b.get());
        for (int32_t i = 0; i < kCells; ++i) {
            arg.value = b.value;
            Cell v = make_integer(i);
            block_insert(arg.get(), &v, -1, false, 1, true);
        }
        benchmark::DoNotOptimize(value_series(b.get()));
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kCells);
}
BENCHMARK(BM_BlockAppendAction);

void BM_BlockAppendBuilder(benchmark::State& state) {
    setup();
    Rooted b(make_none());
    block_make_at(b.get(), kCells);
    for (auto _ : state) {
        block_rs_clear(b.get());
        for (int32_t i = 0; i < kCells; ++i) {
            Cell v = make_integer(i);
            block_append_value(b.get(), &v);
        }
        benchmark::DoNotOptimize(value_series(b.get()));
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kCells);
}
BENCHMARK(BM_BlockAppendBuilder);

void BM_BlockPick(benchmark::State& state) {
    setup();
    Rooted b(make_none());
    fill(b, kCells);
    Rooted arg(make_none());
    int64_t sum = 0;
    for (auto _ : state) {
        for (int32_t i = 1; i <= kCells; ++i) {
            arg.value = b.value;
            series_pick(arg.get(), i, nullptr);
            sum += cell_integer(arg.get());
        }
    }
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(int64_t(state.iterations()) * kCells);
}
BENCHMARK(BM_BlockPick);

void BM_BlockPoke(benchmark::State& state) {
    setup();
    Rooted b(make_none());
    fill(b, kCells);
    Rooted arg(make_none());
    for (auto _ : state) {
        for (int32_t i = 1; i <= kCells; ++i) {
            arg.value = b.value;
            Cell v = make_integer(i);
            series_poke(arg.get(), i, &v);
        }
        benchmark::DoNotOptimize(value_series(b.get()));
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kCells);
}
BENCHMARK(BM_BlockPoke);

// range(0): 0 integers against integers, 1 integers against floats.
void BM_BlockCompare(benchmark::State& state) {
    setup();
    Rooted a(make_none()), b(make_none());
    fill(a, kCells);
    fill(b, kCells, state.range(0) == 1);
    bool equal = true;
    for (auto _ : state) equal &= compare_truth(a.get(), b.get(), CMP_EQUAL);
    if (!equal) state.SkipWithError("the blocks compared unequal");
    state.SetItemsProcessed(int64_t(state.iterations()) * kCells);
}
BENCHMARK(BM_BlockCompare)->Arg(0)->Arg(1)->ArgNames({"floats"});

} // namespace
