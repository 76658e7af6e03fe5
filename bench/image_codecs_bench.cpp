// Throughput of the PNG and JPEG codecs on one picture, in MB/s of pixels (width × height × 4
// bytes a second): our PNG decoder and encoder against libpng's simplified API doing the same
// (B, G, R, A rows, default compression), and our JPEG decoder and encoder (bench/image_codecs.sh
// times the JPEG library's own djpeg and cjpeg on the same picture).
//
// The picture is the PPM named by KEL_BENCH_PPM when set (image_codecs.sh makes one), else a
// 1600 × 1200 gradient with noise made here the same way.
#include "services/image-codecs.h"

#include <benchmark/benchmark.h>
#include <png.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using namespace kel;

struct BenchPicture {
    uint32_t width = 0, height = 0;
    std::vector<uint32_t> pixels;
};

// A gradient with a little noise: neither flat (too easy to compress) nor random.
BenchPicture synthesize(uint32_t w, uint32_t h) {
    BenchPicture p{w, h, {}};
    uint32_t seed = 12345;
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x) {
            seed = seed * 1103515245u + 12345u;
            int noise = int(seed >> 28) - 8;
            auto ch = [&](int v) { return uint32_t(std::min(255, std::max(0, v + noise))); };
            p.pixels.push_back(0xFF000000u | ch(int(x * 255 / w)) << 16 | ch(int(y * 255 / h)) << 8 |
                               ch(int((x + y) * 255 / (w + h))));
        }
    }
    return p;
}

const BenchPicture& picture() {
    static const BenchPicture pic = [] {
        const char* path = std::getenv("KEL_BENCH_PPM");
        if (!path) return synthesize(1600, 1200);
        std::ifstream in(path, std::ios::binary);
        std::vector<uint8_t> b(std::istreambuf_iterator<char>(in), {});
        BenchPicture p;
        unsigned w = 0, h = 0, max = 0;
        int used = 0;
        if (std::sscanf(reinterpret_cast<const char*>(b.data()), "P6 %u %u %u%n", &w, &h, &max, &used) != 3)
            return synthesize(1600, 1200);
        const uint8_t* s = b.data() + used + 1;
        p.width = w;
        p.height = h;
        for (size_t i = 0; i < size_t(w) * h; ++i, s += 3)
            p.pixels.push_back(0xFF000000u | uint32_t(s[0]) << 16 | uint32_t(s[1]) << 8 | s[2]);
        return p;
    }();
    return pic;
}

std::vector<uint8_t> encoded(int32_t format) {
    const BenchPicture& p = picture();
    EncodedBytes out;
    if (image_codec_encode(p.pixels.data(), p.width, p.height, format, &out) != ImageStatus::Ok) std::abort();
    std::vector<uint8_t> b(out.data, out.data + out.length);
    encoded_free(&out);
    return b;
}

void set_rate(benchmark::State& state) {
    const BenchPicture& p = picture();
    state.SetBytesProcessed(int64_t(state.iterations()) * p.width * p.height * 4);
}

void BM_ImagePngDecodeOurs(benchmark::State& state) {
    std::vector<uint8_t> png = encoded(IMAGE_PNG);
    for (auto _ : state) {
        DecodedImage img;
        if (image_png_decode(png.data(), png.size(), &img, IMAGE_DECODE_MAX_PIXELS) != ImageStatus::Ok) std::abort();
        benchmark::DoNotOptimize(img.pixels);
        std::free(img.pixels);
    }
    set_rate(state);
}
BENCHMARK(BM_ImagePngDecodeOurs)->Unit(benchmark::kMillisecond);

void BM_ImagePngDecodeSimplified(benchmark::State& state) {
    std::vector<uint8_t> png = encoded(IMAGE_PNG);
    const BenchPicture& p = picture();
    std::vector<uint32_t> out(p.pixels.size());
    for (auto _ : state) {
        png_image img{};
        img.version = PNG_IMAGE_VERSION;
        if (!png_image_begin_read_from_memory(&img, png.data(), png.size())) std::abort();
        img.format = PNG_FORMAT_BGRA;
        if (!png_image_finish_read(&img, nullptr, out.data(), 0, nullptr)) std::abort();
        benchmark::DoNotOptimize(out.data());
    }
    set_rate(state);
}
BENCHMARK(BM_ImagePngDecodeSimplified)->Unit(benchmark::kMillisecond);

void BM_ImagePngEncodeOurs(benchmark::State& state) {
    const BenchPicture& p = picture();
    for (auto _ : state) {
        EncodedBytes out;
        if (image_png_encode(p.pixels.data(), p.width, p.height, &out) != ImageStatus::Ok) std::abort();
        benchmark::DoNotOptimize(out.data);
        state.counters["bytes"] = double(out.length);
        encoded_free(&out);
    }
    set_rate(state);
}
BENCHMARK(BM_ImagePngEncodeOurs)->Unit(benchmark::kMillisecond);

void BM_ImagePngEncodeSimplified(benchmark::State& state) {
    const BenchPicture& p = picture();
    std::vector<uint8_t> out(p.pixels.size() * 5 + 4096);
    // the simplified API takes packed rows: B, G, R of each pixel (made before the timing)
    std::vector<uint8_t> rows(p.pixels.size() * 3);
    for (size_t i = 0; i < p.pixels.size(); ++i) std::memcpy(&rows[i * 3], &p.pixels[i], 3);
    for (auto _ : state) {
        png_image img{};
        img.version = PNG_IMAGE_VERSION;
        img.width = p.width;
        img.height = p.height;
        img.format = PNG_FORMAT_BGR;   // opaque, as ours writes it
        png_alloc_size_t size = out.size();
        if (!png_image_write_to_memory(&img, out.data(), &size, 0, rows.data(), 0, nullptr)) std::abort();
        state.counters["bytes"] = double(size);
    }
    set_rate(state);
}
BENCHMARK(BM_ImagePngEncodeSimplified)->Unit(benchmark::kMillisecond);

void BM_ImageJpegDecodeOurs(benchmark::State& state) {
    std::vector<uint8_t> jpg = encoded(IMAGE_JPEG);
    for (auto _ : state) {
        DecodedImage img;
        if (image_jpeg_decode(jpg.data(), jpg.size(), &img, IMAGE_DECODE_MAX_PIXELS) != ImageStatus::Ok) std::abort();
        benchmark::DoNotOptimize(img.pixels);
        std::free(img.pixels);
    }
    set_rate(state);
}
BENCHMARK(BM_ImageJpegDecodeOurs)->Unit(benchmark::kMillisecond);

void BM_ImageJpegEncodeOurs(benchmark::State& state) {
    const BenchPicture& p = picture();
    for (auto _ : state) {
        EncodedBytes out;
        if (image_jpeg_encode(p.pixels.data(), p.width, p.height, &out) != ImageStatus::Ok) std::abort();
        benchmark::DoNotOptimize(out.data);
        encoded_free(&out);
    }
    set_rate(state);
}
BENCHMARK(BM_ImageJpegEncodeOurs)->Unit(benchmark::kMillisecond);

} // namespace
