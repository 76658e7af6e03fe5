// The binary value codec on one structure: 20000 small records, each a block of an integer, a
// float, a string, a word, a nested block of three integers, a date and a binary (the same data
// as bench/kelbin_bench.py builds for python3's pickle). Encode and decode in both forms, and the
// compact form with its body compressed by our LZ77 (counters: bytes written). The boot-image
// pair compares the two ways of reading the environment sources at start-up: scanning their text
// with the lexer, and decoding the embedded image.
#include "core/memory.h"
#include "core/roots.h"
#include "core/runtime.h"
#include "core/series.h"
#include "core/gc.h"
#include "datatypes/datatype.h"
#include "evaluator/lexer.h"
#include "services/compress.h"
#include "services/kelbin.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using namespace kel;
using Bytes = std::vector<uint8_t>;

void setup() {
    static bool started = false;
    if (started) return;
    runtime_init();
    g_root_collect = false;
    g_collector_enabled = true;
    started = true;
}

std::string structure_text() {
    std::string t = "[";
    for (int i = 0; i < 20000; ++i)
        t += "[" + std::to_string(i) + " " + std::to_string(i) + ".5 \"name-" + std::to_string(i) +
             "\" word-" + std::to_string(i % 100) + " [1 2 3] 10-Dec-2026 #{0102}]\n";
    return t + "]";
}

// The structure, loaded once and kept in the root block.
Cell structure() {
    static Cell value = [] {
        std::string text = structure_text();
        Rooted block(make_unset());
        LexerCall call;
        lexer_scan(block.get(), reinterpret_cast<const uint8_t*>(text.data()), uint32_t(text.size()), call);
        Cell inner = *node_series(series_node(block.get()))->cell_at(0);
        block_append(g_root_block, inner);
        return inner;
    }();
    return value;
}

void encode(benchmark::State& state, KelbinForm form) {
    setup();
    Rooted v(structure());
    size_t bytes = 0;
    for (auto _ : state) {
        Bytes b = kelbin_encode_bytes(v.get(), form);
        bytes = b.size();
        benchmark::DoNotOptimize(b.data());
    }
    state.counters["bytes"] = double(bytes);
    state.SetBytesProcessed(int64_t(state.iterations() * bytes));
}

void decode(benchmark::State& state, KelbinForm form, bool packed) {
    setup();
    Rooted v(structure());
    Bytes file = kelbin_encode_bytes(v.get(), form);
    if (packed) {
        Bytes out(file.size());
        int64_t n = lz_compress(file.data() + 8, file.size() - 8, out.data());
        Bytes p(file.begin(), file.begin() + 8);
        p[7] |= 2;
        p.insert(p.end(), out.begin(), out.begin() + n);
        file = p;
    }
    for (auto _ : state) {
        Rooted out(make_series(T_BLOCK, alloc_cells(1), 0));
        kelbin_decode(file.data(), file.size(), series_node(out.get()));
    }
    state.counters["bytes"] = double(file.size());
    state.SetBytesProcessed(int64_t(state.iterations() * file.size()));
}

void BM_KelbinEncodeStandard(benchmark::State& s) { encode(s, KelbinForm::Standard); }
void BM_KelbinEncodeCompact(benchmark::State& s) { encode(s, KelbinForm::Compact); }
void BM_KelbinDecodeStandard(benchmark::State& s) { decode(s, KelbinForm::Standard, false); }
void BM_KelbinDecodeCompact(benchmark::State& s) { decode(s, KelbinForm::Compact, false); }
void BM_KelbinDecodeCompactLz77(benchmark::State& s) { decode(s, KelbinForm::Compact, true); }

void BM_KelbinEncodeCompactLz77(benchmark::State& state) {
    setup();
    Rooted v(structure());
    size_t bytes = 0;
    for (auto _ : state) {
        Bytes b = kelbin_encode_bytes(v.get(), KelbinForm::Compact);
        Bytes out(b.size());
        bytes = size_t(lz_compress(b.data() + 8, b.size() - 8, out.data())) + 8;
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["bytes"] = double(bytes);
}

// Start-up's reading of the environment: the sources' text through the lexer...
void BM_StartupSourcesScanned(benchmark::State& state) {
    setup();
    namespace fs = std::filesystem;
    const fs::path dir = fs::path(__FILE__).parent_path().parent_path() / "environment";
    std::vector<std::string> texts;
    for (const char* name : {"natives.kel", "actions.kel", "operators.kel", "system.kel", "catalog-errors.kel"}) {
        std::ifstream in(dir / name, std::ios::binary);
        texts.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    for (auto _ : state) {
        for (const std::string& t : texts) {
            Rooted block(make_unset());
            LexerCall call;
            lexer_scan(block.get(), reinterpret_cast<const uint8_t*>(t.data()), uint32_t(t.size()), call);
        }
    }
}

// ...against decoding the boot image into the root block (its tail is put back each time).
void BM_StartupBootImage(benchmark::State& state) {
    setup();
    size_t size = 0, count = 0;
    const char* const* names = nullptr;
    const uint8_t* image = kelbin_boot_image(&size, &names, &count);
    for (auto _ : state) {
        uint32_t tail = node_series(g_root_block)->tail;
        kelbin_boot(image, size);
        node_series(g_root_block)->tail = tail;
    }
    state.counters["bytes"] = double(size);
}

BENCHMARK(BM_KelbinEncodeStandard)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KelbinEncodeCompact)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KelbinEncodeCompactLz77)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KelbinDecodeStandard)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KelbinDecodeCompact)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KelbinDecodeCompactLz77)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StartupSourcesScanned)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StartupBootImage)->Unit(benchmark::kMicrosecond);

} // namespace
