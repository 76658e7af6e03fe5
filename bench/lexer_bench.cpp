// Lexer throughput: about 1 MB of source text loaded into values (load mode) and only recognised
// (scan mode), reported in bytes of input per second. Two texts: code-like source (words,
// set-words, paths, numbers, short strings, nested blocks, comments) and text-heavy data (long
// strings with escapes and non-ASCII characters). Mold throughput: the values loaded from those
// texts molded back into a string, reported in UTF-8 bytes of the molded text per second.
#include "core/extres.h"
#include "core/gc.h"
#include "core/memory.h"
#include "core/roots.h"
#include "core/runtime.h"
#include "core/unicode.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"
#include "evaluator/lexer.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>

namespace {

std::string make_source(bool text_heavy) {
    const char* const code[] = {
        "name: ", "value ", "print ", "append/only ", "block/1 ", "obj/field: ", "x + 1 ",
        "123 ", "-42 ", "3.14159 ", "1e-5 ", "12:30:00 ", "#\"a\" ", "\"short\" ", "'lit ",
        ":get ", "/ref ", "#issue ", "[a b c] ", "(1 + 2) ", "; a comment\n", "\n",
        "if x > 10 [y: x * 2] ", "foreach item list [print item] ",
    };
    const char* const text[] = {
        "\"a string of some length with words in it\" ", "{braced text\nover lines {nested}} ",
        "\"caf\xc3\xa9 na\xc3\xafve \xe2\x82\xac 100\" ", "\"tab^-and line^/escapes\" ", "\n",
        "%{raw text}% ", "key: ",
    };
    std::mt19937 rng(5);
    std::string out = "[\n";
    while (out.size() < (1u << 20)) {
        if (text_heavy) out += text[rng() % std::size(text)];
        else out += code[rng() % std::size(code)];
    }
    out += "\n]";
    return out;
}

struct Runtime {
    Runtime() {
        kel::runtime_init();
        kel::g_root_collect = false;
        kel::g_collector_enabled = getenv("KEL_BENCH_NO_GC") == nullptr;
    }
    ~Runtime() {
        kel::g_collector_enabled = false;
        kel::extres_release_all();
        kel::memory_release_all();
    }
};

// range(0): 0 code-like, 1 text-heavy; range(1): 0 load mode, 1 scan mode
void BM_Lexer(benchmark::State& state) {
    Runtime rt;
    std::string src = make_source(state.range(0) != 0);
    kel::LexerCall call;
    call.flags = state.range(1) ? kel::LEX_SCAN : 0;
    for (auto _ : state) {
        kel::Rooted result;
        kel::lexer_scan(result.get(), reinterpret_cast<const uint8_t*>(src.data()),
                        uint32_t(src.size()), call);
        benchmark::DoNotOptimize(result.value);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(src.size()));
}
BENCHMARK(BM_Lexer)
    ->ArgNames({"text", "scan"})
    ->Args({0, 0})->Args({0, 1})->Args({1, 0})->Args({1, 1})
    ->Unit(benchmark::kMillisecond);

// range(0): 0 code-like, 1 text-heavy
void BM_Mold(benchmark::State& state) {
    Runtime rt;
    std::string src = make_source(state.range(0) != 0);
    kel::Rooted loaded;
    kel::LexerCall call;
    kel::lexer_scan(loaded.get(), reinterpret_cast<const uint8_t*>(src.data()), uint32_t(src.size()), call);
    int64_t molded_bytes = 0;
    for (auto _ : state) {
        kel::Rooted text;
        kel::string_make_at(text.get(), uint32_t(src.size()));
        kel::mold_typed(loaded.get(), text.get(), false, false, false, false, INT32_MAX, 0);
        if (molded_bytes == 0) {
            int32_t count = -1;   // the whole text
            kel::string_to_utf8(text.get(), &count);
            molded_bytes = count;
        }
        benchmark::DoNotOptimize(text.value);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * molded_bytes);
}
BENCHMARK(BM_Mold)->ArgNames({"text"})->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

} // namespace
