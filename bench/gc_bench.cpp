// Collection times: a full cycle over a heap of N live items (each a block of three strings, a
// nested block and an object with its context: nine nodes), with and without N dead items made
// since the previous cycle, and a block nested deep.
#include "core/extres.h"
#include "core/gc.h"
#include "core/memory.h"
#include "core/roots.h"
#include "core/series.h"
#include "core/stack.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

namespace {

using namespace kel;

Node new_string(const char* text) {
    size_t n = std::strlen(text);
    Node s = alloc_units(n, 1);
    std::memcpy(node_series(s)->data(), text, n);
    node_series(s)->tail = uint32_t(n);
    return s;
}

// Builds one item in the block (collection is off while benchmarks build, so no rooting needed).
void add_item(Node top) {
    Node item = alloc_cells(6);
    for (int j = 0; j < 3; ++j) block_append(item, make_series(T_STRING, new_string("a string of the item")));
    Node inner = alloc_cells(1);
    block_append(inner, make_series(T_STRING, new_string("deep")));
    block_append(item, make_series(T_BLOCK, inner));
    Node values = alloc_cells(1);
    block_append(values, make_series(T_STRING, new_string("value")));
    Node ctx = alloc_cells(2);
    block_append(ctx, make_cell(T_CONTEXT, 0, values, 0));
    block_append(ctx, make_cell(T_OBJECT, ctx, 0, 0));
    block_append(item, make_cell(T_OBJECT, ctx, 0, 0));
    block_append(top, make_series(T_BLOCK, item));
}

struct Runtime {
    Runtime() {
        memory_init();
        extres_init();
        memory_frames_init();
        root_blocks_init();
        stack_init();
        collector_init();
        g_collector_enabled = false;
        g_collector_stress = false;
    }
    ~Runtime() {
        free_unmanaged_series(g_root_block);
        free_unmanaged_series(g_data_stack_node);
        free_unmanaged_series(g_call_stack_node);
        memory_release_all();
        extres_release_all();
    }
};

void BM_CollectLive(benchmark::State& state) {
    Runtime rt;
    Rooted top(make_series(T_BLOCK, alloc_cells(16)));
    for (int64_t i = 0; i < state.range(0); ++i) add_item(series_node(top.get()));
    collector_cycle();
    for (auto _ : state) collector_cycle();
    state.counters["live_nodes"] = double(state.range(0) * 9);
}
BENCHMARK(BM_CollectLive)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_CollectLiveAndDead(benchmark::State& state) {
    Runtime rt;
    Rooted top(make_series(T_BLOCK, alloc_cells(16)));
    Rooted dead(make_series(T_BLOCK, alloc_cells(16)));
    for (int64_t i = 0; i < state.range(0); ++i) add_item(series_node(top.get()));
    for (auto _ : state) {
        state.PauseTiming();
        dead.value = make_series(T_BLOCK, alloc_cells(16));
        for (int64_t i = 0; i < state.range(0); ++i) add_item(series_node(dead.get()));
        dead.value = make_cell(T_NONE);
        state.ResumeTiming();
        collector_cycle();
    }
}
BENCHMARK(BM_CollectLiveAndDead)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_CollectDeepBlock(benchmark::State& state) {
    Runtime rt;
    Node inner = alloc_cells(1);
    for (int64_t i = 1; i < state.range(0); ++i) {
        Node outer = alloc_cells(1);
        block_append(outer, make_series(T_BLOCK, inner));
        inner = outer;
    }
    Rooted top(make_series(T_BLOCK, inner));
    for (auto _ : state) collector_cycle();
}
BENCHMARK(BM_CollectDeepBlock)->Arg(1000000)->Unit(benchmark::kMillisecond);

} // namespace
