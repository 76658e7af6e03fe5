// Micro-benchmarks of binary!'s base codecs: base 16 and base 64 encoding and decoding of 1 MB
// of random bytes (throughput in bytes of binary data per second), and base 58 both ways on
// 32-byte inputs (the size of a digest or key, where base 58 is used). bench/base_bench.py runs
// python3's base64 module on the same sizes for comparison.
#include "datatypes/binary.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> out(n);
    for (auto& b : out) b = uint8_t(rng());
    return out;
}

constexpr size_t kMegabyte = 1 << 20;

// range(0): 16 or 64
void BM_Encode(benchmark::State& state) {
    int base = int(state.range(0));
    std::vector<uint8_t> data = random_bytes(kMegabyte, 1);
    std::string text(kel::base16_encoded_size(kMegabyte) + 4, '\0');
    for (auto _ : state) {
        size_t n = base == 16 ? kel::base16_encode(text.data(), data.data(), data.size())
                              : kel::base64_encode(text.data(), data.data(), data.size());
        benchmark::DoNotOptimize(n);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kMegabyte));
}
BENCHMARK(BM_Encode)->Arg(16)->Arg(64);

void BM_Decode(benchmark::State& state) {
    int base = int(state.range(0));
    std::vector<uint8_t> data = random_bytes(kMegabyte, 2);
    std::string text(kel::base16_encoded_size(kMegabyte) + 4, '\0');
    text.resize(base == 16 ? kel::base16_encode(text.data(), data.data(), data.size())
                           : kel::base64_encode(text.data(), data.data(), data.size()));
    std::vector<uint8_t> out(kel::base_decode_room(base, text.size()));
    for (auto _ : state) {
        int64_t n = kel::base_decode(base, text.data(), text.size(), 1, out.data(), out.size());
        if (n != int64_t(kMegabyte)) state.SkipWithError("decoding failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kMegabyte));
}
BENCHMARK(BM_Decode)->Arg(16)->Arg(64);

void BM_Base58Encode32(benchmark::State& state) {
    std::vector<uint8_t> data = random_bytes(32, 3);
    char text[kel::base58_encode_room(32)];
    for (auto _ : state) {
        size_t n = kel::base58_encode(text, data.data(), data.size());
        benchmark::DoNotOptimize(n);
        data[0]++;   // a different number each time
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_Base58Encode32);

void BM_Base58Decode32(benchmark::State& state) {
    std::vector<uint8_t> data = random_bytes(32, 4);
    char text[kel::base58_encode_room(32)];
    size_t n = kel::base58_encode(text, data.data(), data.size());
    uint8_t out[64];
    for (auto _ : state) {
        int64_t got = kel::base_decode(58, text, n, 1, out, sizeof out);
        if (got != 32) state.SkipWithError("decoding failed");
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_Base58Decode32);

} // namespace
