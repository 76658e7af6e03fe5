// Micro-benchmarks of the record sorts against the standard library's sorts: one million 32-bit
// integers random, presorted and reversed, and random 16-byte records (the size of a value cell).
// The standard sorts are measured twice: calling the same compare callback through a pointer
// (the cost model of our callers) and with an inlined comparison (the floor).
#include "core/sort.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr size_t kCount = 1000000;

int int_compare(const void* x, const void* y, intptr_t, intptr_t) {
    int32_t a, b;
    std::memcpy(&a, x, 4);
    std::memcpy(&b, y, 4);
    return (a > b) - (a < b);
}

struct Record {
    uint32_t header;
    int32_t key;
    uint32_t payload[2];
};

int record_compare(const void* x, const void* y, intptr_t, intptr_t) {
    int32_t a, b;
    std::memcpy(&a, static_cast<const uint8_t*>(x) + 4, 4);
    std::memcpy(&b, static_cast<const uint8_t*>(y) + 4, 4);
    return (a > b) - (a < b);
}

// Not const: the standard sorts cannot see through it and inline the callback.
kel::SortCompare g_int_compare = int_compare;
kel::SortCompare g_record_compare = record_compare;

enum Shape { Random = 0, Presorted = 1, Reversed = 2 };

std::vector<int32_t> ints(int shape) {
    std::vector<int32_t> v(kCount);
    std::mt19937 rng(42);
    for (size_t i = 0; i < kCount; ++i) {
        if (shape == Random) v[i] = int32_t(rng());
        else if (shape == Presorted) v[i] = int32_t(i);
        else v[i] = int32_t(kCount - i);
    }
    return v;
}

std::vector<Record> records() {
    std::vector<Record> v(kCount);
    std::mt19937 rng(42);
    for (size_t i = 0; i < kCount; ++i) v[i] = Record{11, int32_t(rng()), {uint32_t(i), 0}};
    return v;
}

// Times fn over a fresh copy of input each iteration.
template <class T, class Fn>
void run(benchmark::State& state, const std::vector<T>& input, Fn fn) {
    std::vector<T> v;
    for (auto _ : state) {
        state.PauseTiming();
        v = input;
        state.ResumeTiming();
        fn(v);
        benchmark::DoNotOptimize(v.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(input.size()));
}

void BM_IntSortMerge(benchmark::State& state) {
    run(state, ints(int(state.range(0))),
        [](std::vector<int32_t>& v) { kel::sort_merge(v.data(), v.size(), 4, 0, 0, int_compare); });
}
void BM_IntSortUnstable(benchmark::State& state) {
    run(state, ints(int(state.range(0))),
        [](std::vector<int32_t>& v) { kel::sort_unstable(v.data(), v.size(), 4, 0, 0, int_compare); });
}
void BM_IntStdStableSortCallback(benchmark::State& state) {
    run(state, ints(int(state.range(0))), [](std::vector<int32_t>& v) {
        std::stable_sort(v.begin(), v.end(),
                         [](const int32_t& a, const int32_t& b) { return g_int_compare(&a, &b, 0, 0) < 0; });
    });
}
void BM_IntStdSortCallback(benchmark::State& state) {
    run(state, ints(int(state.range(0))), [](std::vector<int32_t>& v) {
        std::sort(v.begin(), v.end(),
                  [](const int32_t& a, const int32_t& b) { return g_int_compare(&a, &b, 0, 0) < 0; });
    });
}
void BM_IntStdSortInline(benchmark::State& state) {
    run(state, ints(int(state.range(0))), [](std::vector<int32_t>& v) { std::sort(v.begin(), v.end()); });
}

void BM_RecordSortMerge(benchmark::State& state) {
    run(state, records(), [](std::vector<Record>& v) {
        kel::sort_merge(v.data(), v.size(), sizeof(Record), 0, 0, record_compare);
    });
}
void BM_RecordSortUnstable(benchmark::State& state) {
    run(state, records(), [](std::vector<Record>& v) {
        kel::sort_unstable(v.data(), v.size(), sizeof(Record), 0, 0, record_compare);
    });
}
void BM_RecordStdStableSortCallback(benchmark::State& state) {
    run(state, records(), [](std::vector<Record>& v) {
        std::stable_sort(v.begin(), v.end(),
                         [](const Record& a, const Record& b) { return g_record_compare(&a, &b, 0, 0) < 0; });
    });
}
void BM_RecordStdSortCallback(benchmark::State& state) {
    run(state, records(), [](std::vector<Record>& v) {
        std::sort(v.begin(), v.end(),
                  [](const Record& a, const Record& b) { return g_record_compare(&a, &b, 0, 0) < 0; });
    });
}

} // namespace

#define SHAPES ArgName("shape:0rnd/1asc/2desc")->Arg(Random)->Arg(Presorted)->Arg(Reversed)
BENCHMARK(BM_IntSortMerge)->SHAPES->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IntStdStableSortCallback)->SHAPES->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IntSortUnstable)->SHAPES->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IntStdSortCallback)->SHAPES->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IntStdSortInline)->SHAPES->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordSortMerge)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordStdStableSortCallback)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordSortUnstable)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordStdSortCallback)->Unit(benchmark::kMillisecond);
