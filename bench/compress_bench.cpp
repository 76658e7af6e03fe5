// Throughput of the compression codecs on one corpus (the project's own C++ and Kel sources,
// about 2 MiB of text): our deflate encoder against zlib at level 6 (with the compressed size
// as the counter "ratio", compressed / original), our inflate against zlib's on the same zlib
// level-6 stream, and the LZ77 encoder and decoder. zlib is linked into the benchmarks only,
// as the reference.
#include "services/checksum.h"
#include "services/compress.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes& corpus() {
    static const Bytes data = [] {
        namespace fs = std::filesystem;
        Bytes out;
        const fs::path root = fs::path(__FILE__).parent_path().parent_path();
        std::vector<fs::path> files;
        for (const char* dir : {"core", "datatypes", "evaluator", "environment"}) {
            std::error_code ec;
            for (const auto& e : fs::directory_iterator(root / dir, ec))
                if (e.is_regular_file()) files.push_back(e.path());
        }
        std::sort(files.begin(), files.end());
        for (const auto& f : files) {
            std::ifstream in(f, std::ios::binary);
            out.insert(out.end(), std::istreambuf_iterator<char>(in), {});
            if (out.size() >= (2u << 20)) break;
        }
        // without the sources, generated text
        for (uint32_t i = 0; out.size() < (1u << 20); i++) {
            const char* w[] = {"value ", "series ", "block ", "word ", "context ", "bind\n"};
            for (const char* c = w[(i * 2654435761u) >> 29 % 6]; *c; c++) out.push_back(uint8_t(*c));
        }
        return out;
    }();
    return data;
}

Bytes zlib_level6(const Bytes& in) {
    uLongf n = compressBound(uLong(in.size()));
    Bytes out(n);
    compress2(out.data(), &n, in.data(), uLong(in.size()), 6);
    out.resize(n);
    return out;
}

void BM_DeflateOurs(benchmark::State& state) {
    const Bytes& in = corpus();
    Bytes out(kel::deflate_bound(in.size()) + kel::kZlibOverhead);
    size_t n = 0;
    for (auto _ : state) {
        n = out.size();
        kel::zlib_compress(out.data(), &n, in.data(), in.size());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
    state.counters["ratio"] = double(n) / double(in.size());
}
BENCHMARK(BM_DeflateOurs)->Unit(benchmark::kMillisecond);

void BM_DeflateZlibLevel6(benchmark::State& state) {
    const Bytes& in = corpus();
    size_t n = 0;
    for (auto _ : state) {
        Bytes out = zlib_level6(in);
        n = out.size();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
    state.counters["ratio"] = double(n) / double(in.size());
}
BENCHMARK(BM_DeflateZlibLevel6)->Unit(benchmark::kMillisecond);

// Bytes processed count the uncompressed output.
void BM_InflateOurs(benchmark::State& state) {
    const Bytes& in = corpus();
    const Bytes packed = zlib_level6(in);
    Bytes out(in.size());
    for (auto _ : state) {
        size_t n = out.size();
        if (kel::zlib_decompress(out.data(), &n, packed.data(), packed.size()) != kel::kCodecOk)
            state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}
BENCHMARK(BM_InflateOurs)->Unit(benchmark::kMillisecond);

void BM_InflateZlib(benchmark::State& state) {
    const Bytes& in = corpus();
    const Bytes packed = zlib_level6(in);
    Bytes out(in.size());
    for (auto _ : state) {
        uLongf n = uLongf(out.size());
        if (uncompress(out.data(), &n, packed.data(), uLong(packed.size())) != Z_OK)
            state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}
BENCHMARK(BM_InflateZlib)->Unit(benchmark::kMillisecond);

void BM_Lz77Compress(benchmark::State& state) {
    const Bytes& in = corpus();
    Bytes out(in.size());
    int64_t n = 0;
    for (auto _ : state) {
        n = kel::lz_compress(in.data(), in.size(), out.data());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
    state.counters["ratio"] = double(n) / double(in.size());
}
BENCHMARK(BM_Lz77Compress)->Unit(benchmark::kMillisecond);

void BM_Lz77Decompress(benchmark::State& state) {
    const Bytes& in = corpus();
    Bytes packed(in.size());
    packed.resize(size_t(kel::lz_compress(in.data(), in.size(), packed.data())));
    for (auto _ : state) {
        size_t n = 0;
        uint8_t* out = kel::lz_decompress(packed.data(), packed.size(), &n);
        if (!out || n != in.size()) state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(out);
        std::free(out);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}
BENCHMARK(BM_Lz77Decompress)->Unit(benchmark::kMillisecond);

void BM_Crc32(benchmark::State& state) {
    const Bytes& in = corpus();
    for (auto _ : state) benchmark::DoNotOptimize(kel::crc32(in.data(), in.size()));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}
BENCHMARK(BM_Crc32);

void BM_Adler32(benchmark::State& state) {
    const Bytes& in = corpus();
    for (auto _ : state) benchmark::DoNotOptimize(kel::adler32(in.data(), in.size()));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}
BENCHMARK(BM_Adler32);

} // namespace
