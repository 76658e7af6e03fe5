// Micro-benchmarks of the float/text conversions: laying out doubles as molded text (random bit
// patterns and short "everyday" values), the 6-digit limited form, and reading those texts back.
#include "core/float-text.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr size_t sample_count = 4096;

std::vector<double> random_doubles()
{
    std::mt19937_64 rng(7);
    std::vector<double> out;
    while (out.size() < sample_count) {
        uint64_t b = rng();
        double d;
        std::memcpy(&d, &b, sizeof d);
        if (std::isfinite(d)) out.push_back(d);
    }
    return out;
}

// Values with few digits and small exponents, as scripts usually hold.
std::vector<double> everyday_doubles()
{
    std::mt19937_64 rng(11);
    std::uniform_int_distribution<int> cents(0, 1000000);
    std::vector<double> out;
    while (out.size() < sample_count) out.push_back(cents(rng) / 100.0);
    return out;
}

std::vector<std::string> texts_of(const std::vector<double>& values)
{
    std::vector<std::string> out;
    for (double d : values) out.emplace_back(kel::float_to_text(d, 0, true));
    return out;
}

void BM_FloatToTextRandom(benchmark::State& state)
{
    const std::vector<double> values = random_doubles();
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(kel::float_to_text(values[i], 0, true));
        i = (i + 1) % values.size();
    }
}
BENCHMARK(BM_FloatToTextRandom);

void BM_FloatToTextEveryday(benchmark::State& state)
{
    const std::vector<double> values = everyday_doubles();
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(kel::float_to_text(values[i], 0, true));
        i = (i + 1) % values.size();
    }
}
BENCHMARK(BM_FloatToTextEveryday);

void BM_FloatToTextSixDigits(benchmark::State& state)
{
    const std::vector<double> values = random_doubles();
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(kel::float_to_text(values[i], 6, false));
        i = (i + 1) % values.size();
    }
}
BENCHMARK(BM_FloatToTextSixDigits);

void read_texts(benchmark::State& state, const std::vector<std::string>& texts)
{
    size_t i = 0;
    int remainder = 0;
    for (auto _ : state) {
        const std::string& t = texts[i];
        benchmark::DoNotOptimize(kel::text_to_float(t.data(), t.data() + t.size(), 0, &remainder));
        i = (i + 1) % texts.size();
    }
}

void BM_TextToFloatRandom(benchmark::State& state) { read_texts(state, texts_of(random_doubles())); }
BENCHMARK(BM_TextToFloatRandom);

void BM_TextToFloatEveryday(benchmark::State& state)
{
    read_texts(state, texts_of(everyday_doubles()));
}
BENCHMARK(BM_TextToFloatEveryday);

} // namespace
