// Micro-benchmarks of UTF-8 decoding: the bounded table decoder walking a text character by
// character (what the lexer and character counting do), and the strict load of the same text
// into a string buffer. Two texts of about 1 MB: plain ASCII source, and a mix of ASCII, Latin-1,
// Greek, CJK and emoji. Throughput is reported in bytes of UTF-8 input per second.
#include "core/memory.h"
#include "core/roots.h"
#include "core/unicode.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

std::vector<uint8_t> make_text(bool mixed) {
    const uint32_t pool_mixed[] = {'a', 'b', ' ', '\n', 'x', '[', '1', 0xE9, 0xFC, 0x3B1, 0x3C9,
                                   0x4E00, 0x65E5, 0x1F600, 'q', 'z'};
    const uint32_t pool_ascii[] = {'a', 'b', ' ', '\n', 'x', '[', ']', '1', ':', '"', 'q', 'z'};
    std::mt19937 rng(11);
    std::vector<uint8_t> out;
    while (out.size() < (1u << 20)) {
        uint32_t c = mixed ? pool_mixed[rng() % std::size(pool_mixed)]
                           : pool_ascii[rng() % std::size(pool_ascii)];
        uint8_t buf[4];
        int n = kel::utf8_encode_char(int32_t(c), buf);
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

const std::vector<uint8_t>& text(bool mixed) {
    static const std::vector<uint8_t> ascii = make_text(false);
    static const std::vector<uint8_t> mix = make_text(true);
    return mixed ? mix : ascii;
}

void BM_TableDecode(benchmark::State& state) {
    const std::vector<uint8_t>& t = text(state.range(0) != 0);
    const uint8_t* end = t.data() + t.size();
    for (auto _ : state) {
        uint32_t sum = 0;
        int32_t cp;
        for (const uint8_t* p = t.data(); p < end;) {
            p = kel::decode_utf8_char(p, end, &cp);
            sum += uint32_t(cp);
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(t.size()));
}
BENCHMARK(BM_TableDecode)->Arg(0)->Arg(1)->ArgNames({"mixed"});

void BM_StrictLoad(benchmark::State& state) {
    if (!kel::g_memory.series_current) {
        kel::memory_init();
        kel::memory_frames_init();
    }
    const std::vector<uint8_t>& t = text(state.range(0) != 0);
    // One target, refilled each pass, so that the passes do not pile up garbage.
    kel::Rooted target(kel::make_series(kel::T_STRING, kel::alloc_series(t.size(), 4, 0)));
    for (auto _ : state) {
        kel::Node n = kel::string_load_utf8(t.data(), uint32_t(t.size()),
                                            kel::series_node(target.get()), nullptr, false);
        benchmark::DoNotOptimize(n);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(t.size()));
}
BENCHMARK(BM_StrictLoad)->Arg(0)->Arg(1)->ArgNames({"mixed"});

} // namespace
