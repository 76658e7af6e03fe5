// Micro-benchmarks of interning (names already known and new ones, the latter including the
// table's growth), hash-table insertion and look-up with integer and string keys, record-table
// look-up, and the allocation of a node with a small series buffer.
//
// Each benchmark starts from a fresh runtime with the collector off, so what is measured is the
// table and allocation code alone.
#include "core/case-fold.h"
#include "core/gc.h"
#include "core/hash.h"
#include "core/memory.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/unicode.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

using namespace kel;

namespace {

bool g_started = false;

// Releases the previous runtime's frames and brings up a new one. The root blocks live on the
// malloc heap and are not returned; this happens a few times per benchmark run only.
void fresh_runtime() {
    if (g_started) memory_release_all();
    memory_init();
    memory_frames_init();
    root_blocks_init();
    stack_init();
    if (!g_started) case_folding_init();
    symbols_init();
    g_collector_enabled = false;
    g_started = true;
}

constexpr uint32_t KEYS = 10000;

std::vector<std::string> names(uint32_t n, const char* prefix) {
    std::vector<std::string> out;
    for (uint32_t i = 0; i < n; ++i) out.push_back(prefix + std::to_string(i));
    return out;
}

void BM_InternExisting(benchmark::State& state) {
    fresh_runtime();
    const std::vector<std::string> words = names(KEYS, "word-");
    for (const std::string& w : words) symbol_make(w.c_str());
    uint32_t i = 0;
    for (auto _ : state) {
        const std::string& w = words[i];
        benchmark::DoNotOptimize(symbol_make_utf8(reinterpret_cast<const uint8_t*>(w.data()), w.size()));
        if (++i == KEYS) i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InternExisting);

void BM_InternNew(benchmark::State& state) {
    fresh_runtime();
    char name[32];
    uint32_t i = 0;
    for (auto _ : state) {
        int n = std::snprintf(name, sizeof name, "fresh-%u", i++);
        benchmark::DoNotOptimize(symbol_make_utf8(reinterpret_cast<const uint8_t*>(name), size_t(n)));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InternNew)->Iterations(10000);    // within the first bucket count
BENCHMARK(BM_InternNew)->Iterations(1 << 20);  // through two sixteenfold growths

// A block of KEYS keys and an empty hash! table over it, which the timed loop fills again after
// each clear (the table keeps the size it reached).
struct Filled {
    Node block;
    Node table;
};

Filled hash_block(bool strings) {
    Node block = alloc_cells(KEYS);
    for (uint32_t i = 0; i < KEYS; ++i) {
        if (strings) {
            std::string s = "key-" + std::to_string(i * 7919);
            Node n = string_from_utf8(reinterpret_cast<const uint8_t*>(s.data()), uint32_t(s.size()));
            block_append(block, make_series(T_STRING, n));
        } else {
            block_append(block, make_integer(int32_t(i * 7919)));
        }
    }
    return {block, hashtable_make(KEYS, block, HASH_KIND_HASH, 0)};
}

void insert_all(benchmark::State& state, bool strings) {
    fresh_runtime();
    Filled f = hash_block(strings);
    for (auto _ : state) {
        hashtable_clear(f.table);
        Cell* cells = node_series(f.block)->cells();
        for (uint32_t i = 0; i < KEYS; ++i) hashtable_put(f.table, cells + i);
    }
    state.SetItemsProcessed(state.iterations() * KEYS);
}

void find_all(benchmark::State& state, bool strings) {
    fresh_runtime();
    Filled f = hash_block(strings);
    std::vector<Cell> keys(node_series(f.block)->cells(), node_series(f.block)->cells() + KEYS);
    uint32_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(hashtable_find(f.table, &keys[i], 0, 1, 0, false, false));
        if (++i == KEYS) i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_HashInsertIntegers(benchmark::State& state) { insert_all(state, false); }
void BM_HashInsertStrings(benchmark::State& state) { insert_all(state, true); }
void BM_HashFindIntegers(benchmark::State& state) { find_all(state, false); }
void BM_HashFindStrings(benchmark::State& state) { find_all(state, true); }
BENCHMARK(BM_HashInsertIntegers);
BENCHMARK(BM_HashInsertStrings);
BENCHMARK(BM_HashFindIntegers);
BENCHMARK(BM_HashFindStrings);

void BM_RecordGet(benchmark::State& state) {
    fresh_runtime();
    Node table = hashtable_make(KEYS, 0, HASH_KIND_RECORDS, 1);
    for (uint32_t k = 1; k <= KEYS; ++k) hashtable_put_int(table, k * 2654435761u);
    uint32_t k = 1;
    for (auto _ : state) {
        benchmark::DoNotOptimize(hashtable_get_int(table, k * 2654435761u));
        if (++k > KEYS) k = 1;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RecordGet);

void BM_NodeSeriesAlloc(benchmark::State& state) {
    fresh_runtime();
    for (auto _ : state) benchmark::DoNotOptimize(alloc_bytes(32));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NodeSeriesAlloc)->Iterations(1 << 20);

} // namespace
