// Fuzz target: any byte string through the lexer in load, scan, prescan and one-value modes, as
// raw text and as the text of a string! and a binary!. Each run must give a value or a language
// error (caught here by a try frame), never a crash, a hang or a sanitizer report.
#include "core/errors.h"
#include "core/memory.h"
#include "core/roots.h"
#include "core/stack.h"
#include "core/unicode.h"
#include "evaluator/lexer.h"
#include "tests/fuzz/runtime_fuzz.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

using namespace kel;

using kel_fuzz::guarded;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kel_fuzz::runtime_once();
    if (size > 1 << 16) return 0;
    // the text lies outside the memory manager's buffers, as lexer_scan asks
    std::vector<uint8_t> text(data, data + size);
    const uint32_t modes[] = {0, LEX_ONE, LEX_SCAN, LEX_SCAN | LEX_ONE, LEX_PRESCAN};
    for (uint32_t mode : modes) {
        guarded([&] {
            Rooted result;
            LexerCall call;
            call.flags = mode;
            LexerReport r = lexer_scan(result.get(), text.data(), uint32_t(text.size()), call);
            if (r.bytes > text.size()) __builtin_trap();
        });
    }
    // the same bytes as a binary! and, when they are valid UTF-8, as a string!
    guarded([&] {
        Node n = alloc_bytes(size);
        Rooted bin(make_series(T_BINARY, n));
        Series* s = node_series(n);
        std::memcpy(s->data(), data, size);
        s->tail = uint32_t(size);
        Rooted result;
        LexerCall call;
        lexer_load_binary(result.get(), bin.get(), -1, call);
        Node str = string_from_utf8(data, uint32_t(size));
        Rooted text_value(make_series(T_STRING, str));
        call.flags = LEX_ONE;
        LexerReport r = lexer_load_string(result.get(), text_value.get(), -1, call);
        if (r.units > r.bytes) __builtin_trap();
    });
    collector_cycle();
    return 0;
}
