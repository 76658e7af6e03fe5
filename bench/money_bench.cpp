// Micro-benchmarks of money! arithmetic through its action entries: add, subtract, multiply by an
// integer, divide by an integer (5 fraction digits) and money / money (a float! result), over a
// block of 1024 amounts so that the loop overhead is small against the operation.
#include "core/runtime.h"
#include "datatypes/datatype.h"
#include "datatypes/money.h"

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

// Amounts with cents: base + i * 1.37
std::vector<Cell> amounts(int32_t base) {
    std::vector<Cell> v(kCells);
    Cell cents;
    money_from_float(&cents, 1.37, true);
    for (int i = 0; i < kCells; ++i) {
        money_from_integer(&v[i], base);
        Cell step = make_integer(i);
        Cell scaled = cents;
        money_math(&scaled, &step, 2);
        money_math(&v[i], &scaled, 0);
    }
    return v;
}

// range(0): 0 add, 1 subtract, 2 multiply by 7, 3 divide by 7, 4 money / money
void BM_MoneyMath(benchmark::State& state) {
    setup();
    std::vector<Cell> left = amounts(1000), right = amounts(3);
    Cell seven = make_integer(7);
    static const Action actions[] = {A_ADD, A_SUBTRACT, A_MULTIPLY, A_DIVIDE, A_DIVIDE};
    int64_t which = state.range(0);
    BinaryFn fn = reinterpret_cast<BinaryFn>(g_action_table[T_MONEY][actions[which] - 1]);
    for (auto _ : state) {
        for (int i = 0; i < kCells; ++i) {
            Cell c = left[i];
            fn(&c, which == 2 || which == 3 ? &seven : &right[i]);
            benchmark::DoNotOptimize(c);
        }
    }
    state.SetItemsProcessed(state.iterations() * kCells);
}
BENCHMARK(BM_MoneyMath)->DenseRange(0, 4);

} // namespace
