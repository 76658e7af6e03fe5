// Micro-benchmarks of scalar arithmetic and comparison: integer add (in range and overflowing into
// float!), integer divide with a remainder (float! result), float add and multiply, each through
// the action implementation and through the interpreter's fast path; integer, float and mixed
// comparison through the compare protocol and the integer fast compare. Each iteration works on
// a block of 1024 cells so that the loop overhead is small against the operation.
#include "core/runtime.h"
#include "datatypes/scalars.h"
#include "evaluator/actions.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

namespace {

using namespace kel;

void setup() {
    static bool up = false;
    if (!up) {
        runtime_init();
        up = true;
    }
}

constexpr int kCells = 1024;

std::vector<Cell> integers(int32_t base) {
    std::vector<Cell> v;
    for (int i = 0; i < kCells; ++i) v.push_back(make_integer(base + i));
    return v;
}
std::vector<Cell> floats(double base) {
    std::vector<Cell> v;
    for (int i = 0; i < kCells; ++i) v.push_back(make_float(base + i * 0.25));
    return v;
}

// range(0): 0 action add, 1 fast-path add
void BM_IntegerAdd(benchmark::State& state) {
    setup();
    std::vector<Cell> left = integers(1), right = integers(7);
    BinaryFn add = action_impl<A_ADD>(T_INTEGER);
    for (auto _ : state) {
        for (int i = 0; i < kCells; ++i) {
            Cell c = left[i];
            if (state.range(0)) fast_math(&c, &right[i], OP_ADD);
            else add(&c, &right[i]);
            benchmark::DoNotOptimize(c);
        }
    }
    state.SetItemsProcessed(state.iterations() * kCells);
}
BENCHMARK(BM_IntegerAdd)->Arg(0)->Arg(1);

void BM_IntegerAddOverflow(benchmark::State& state) {
    setup();
    std::vector<Cell> left = integers(2147483647 - kCells / 2), right = integers(kCells);
    BinaryFn add = action_impl<A_ADD>(T_INTEGER);
    for (auto _ : state) {
        for (int i = 0; i < kCells; ++i) {
            Cell c = left[i];
            add(&c, &right[i]);
            benchmark::DoNotOptimize(c);
        }
    }
    state.SetItemsProcessed(state.iterations() * kCells);
}
BENCHMARK(BM_IntegerAddOverflow);

void BM_IntegerDivide(benchmark::State& state) {
    setup();
    std::vector<Cell> left = integers(1000), right = integers(3);
    BinaryFn divide = action_impl<A_DIVIDE>(T_INTEGER);
    for (auto _ : state) {
        for (int i = 0; i < kCells; ++i) {
            Cell c = left[i];
            divide(&c, &right[i]);
            benchmark::DoNotOptimize(c);
        }
    }
    state.SetItemsProcessed(state.iterations() * kCells);
}
BENCHMARK(BM_IntegerDivide);

// range(0): 0 action add, 1 fast-path add, 2 action multiply, 3 integer + float (mixed)
void BM_FloatMath(benchmark::State& state) {
    setup();
    std::vector<Cell> left = state.range(0) == 3 ? integers(1) : floats(1.5), right = floats(0.125);
    BinaryFn add = action_impl<A_ADD>(left[0].type());
    BinaryFn multiply = action_impl<A_MULTIPLY>(T_FLOAT);
    for (auto _ : state) {
        for (int i = 0; i < kCells; ++i) {
            Cell c = left[i];
            switch (state.range(0)) {
            case 1: fast_math(&c, &right[i], OP_ADD); break;
            case 2: multiply(&c, &right[i]); break;
            default: add(&c, &right[i]); break;
            }
            benchmark::DoNotOptimize(c);
        }
    }
    state.SetItemsProcessed(state.iterations() * kCells);
}
BENCHMARK(BM_FloatMath)->DenseRange(0, 3);

// range(0): 0 integer < integer (protocol), 1 integer < integer (fast compare), 2 float = float
// (tolerant), 3 integer = float
void BM_Compare(benchmark::State& state) {
    setup();
    std::vector<Cell> a = state.range(0) == 2 ? floats(1.0) : integers(5);
    std::vector<Cell> b = state.range(0) >= 2 ? floats(3.0) : integers(3);
    int32_t op = state.range(0) >= 2 ? CMP_EQUAL : CMP_LESSER;
    for (auto _ : state) {
        int n = 0;
        for (int i = 0; i < kCells; ++i) {
            bool r = false;
            if (state.range(0) == 1) fast_compare(&a[i], &b[(i + 7) % kCells], op, &r);
            else r = compare_truth(&a[i], &b[(i + 7) % kCells], op);
            n += r;
        }
        benchmark::DoNotOptimize(n);
    }
    state.SetItemsProcessed(state.iterations() * kCells);
}
BENCHMARK(BM_Compare)->DenseRange(0, 3);

} // namespace
