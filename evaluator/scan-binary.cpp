// The loader of binary literals: an optional decimal base before "#{" (none means 16; 2, 16 and
// 64 are the bases there are), then the encoded bytes up to "}".
//
// The text between the braces goes through binary!'s base decoders, which skip blanks and line
// feeds and ";" comments up to the line end. A literal is stricter than `debase` in one point:
// base 64 wants whole groups of four (padded with "="). The token text is the lexer's own copy,
// so it stays put while the result buffer is allocated.
#include "evaluator/scan.h"

#include "core/memory.h"
#include "datatypes/binary.h"

#include <vector>

namespace kel::lex {

void load_binary(State* st, const uint8_t* s, const uint8_t* e, uint32_t) {
    st->type = T_BINARY;
    // the base: decimal digits, saturating (a base that does not fit is no base)
    const uint8_t* p = s;
    uint64_t base = 16;
    if (p < e && *p != '#') {
        base = 0;
        for (; p < e && *p >= '0' && *p <= '9'; ++p) base = base > 1000 ? base : base * 10 + (*p - '0');
    }
    // the token ends before its closing "}"; errors show it whole
    const uint8_t* shown = e + 1;
    if (e - p < 2 || p[0] != '#' || p[1] != '{') throw_error(st, s, shown, T_BINARY);
    if (base != 2 && base != 16 && base != 64) throw_error(st, s, shown, T_BINARY);
    const uint8_t* text = p + 2;
    size_t count = size_t(e - text);
    size_t room = base_decode_room(int(base), count);
    if (!st->load) {
        static std::vector<uint8_t> scratch;
        scratch.resize(room + 1);
        if (base_decode(int(base), text, count, 1, scratch.data(), room, true) < 0)
            throw_error(st, s, shown, T_BINARY);
        return;
    }
    Node node = alloc_bytes(room ? room : 1);
    Series* out = node_series(node);
    int64_t n = base_decode(int(base), text, count, 1, out->head_ptr(), room, true);
    if (n < 0) throw_error(st, s, shown, T_BINARY);
    out->tail = out->head + uint32_t(n);
    push_value(st, make_series(T_BINARY, node));
}

} // namespace kel::lex
