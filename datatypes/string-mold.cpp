// Form and mold of strings, and the escaping of one character in molded text.
//
// form copies the characters from the head as they are. mold writes the notation the lexer reads
// back: "..." for short text without double quotes and with at most two line feeds, {...}
// otherwise, with caret escapes for control characters (^/ line feed, ^- tab, ^@ NUL ...),
// ^(hex) for 0x1E and 0x80-0x9F (and, under /all, every code point above 0x7F), ^^ for the caret
// and ^~ for DEL. In braces, balanced pairs stay as they are and the first unmatched opening brace
// switches to escaping every later one; an unmatched closing brace is escaped.
//
// Both return the part budget less the characters they actually appended (an escape counts at
// its written length), so the entry point's cut never leaves more than the /part limit.
#include "datatypes/string.h"

#include "core/roots.h"
#include "core/unicode.h"
#include "datatypes/datatype.h"

#include <algorithm>
#include <cstring>

namespace kel {

namespace {

// Caret letters of the code points 0-31 (entry 30 is never used: 0x1E takes the hex form).
constexpr const char k_caret_table[] = "@ABCDEFGH-/KLMNOPQRSTUVWXYZ[\\]^_";

inline Series* put(Cell* buffer, uint32_t cp) { return string_append_char(value_series(buffer), cp); }

int32_t append_ascii(Cell* buffer, const char* text) {
    int32_t n = 0;
    Series* s = value_series(buffer);
    for (; text[n]; ++n) s = string_append_char(s, uint8_t(text[n]));
    return n;
}

// True when, counting "{" as +1 and "}" as -1 over [p, end), some "}" brings the count back to 0.
bool scan_braces(const uint8_t* p, const uint8_t* end, uint32_t unit) {
    int32_t depth = 0;
    for (; p < end; p += unit) {
        uint32_t c = unit_get(p, unit);
        if (c == '{') ++depth;
        else if (c == '}' && --depth == 0) return true;
    }
    return false;
}

} // namespace

int32_t string_append_escaped_char(Cell* buffer, uint32_t cp, bool all) {
    if (cp == 0x1E || (cp >= 0x80 && cp <= 0x9F) || (all && cp > 0x7F)) {
        int32_t n = append_ascii(buffer, "^(");
        n += append_ascii(buffer, string_int_to_hex(int32_t(cp), true));
        return n + append_ascii(buffer, ")");
    }
    if (cp < 32) {
        Series* s = put(buffer, '^');
        string_append_char(s, uint8_t(k_caret_table[cp]));
        return 2;
    }
    if (cp == '"' || cp == '^') {
        Series* s = put(buffer, '^');
        string_append_char(s, cp);
        return 2;
    }
    if (cp == 0x7F) return append_ascii(buffer, "^~");
    put(buffer, cp);
    return 1;
}

int32_t string_form(const Cell* value, Cell* buffer, bool part, int32_t budget) {
    int32_t len = string_rs_length(value);
    int32_t take = part ? std::clamp(budget, 0, len) : len;
    string_concatenate(buffer, value, take, 0, true, 0);
    return budget - take;
}

int32_t string_mold(const Cell* value, Cell* buffer, bool /*only*/, bool all, bool /*flat*/,
                    bool part, int32_t budget, int32_t /*indent*/) {
    // the value is read through a rooted copy: the output grows (and buffers move, nodes may be
    // renumbered) while it is read, and the value may even be the output buffer itself
    Rooted v(*value);
    int32_t whole = string_rs_length(v.get());
    int32_t len = part ? std::clamp(budget, 0, whole) : whole;
    uint32_t index = series_index(v.get());

    // choice of notation over the range
    uint32_t quotes = 0, lines = 0;
    {
        Series* s = value_series(v.get());
        uint32_t unit = s->unit();
        const uint8_t* p = s->head_ptr() + uint64_t(index) * unit;
        for (int32_t i = 0; i < len; ++i, p += unit) {
            uint32_t c = unit_get(p, unit);
            quotes += c == '"';
            lines += c == '\n';
        }
    }
    bool braces = lines >= 3 || quotes > 0 || whole >= 50;

    auto char_at = [&](int32_t i) {
        Series* s = value_series(v.get());
        return unit_get(s->head_ptr() + uint64_t(index + uint32_t(i)) * s->unit(), s->unit());
    };
    int32_t written = 1;
    put(buffer, braces ? '{' : '"');
    if (!braces) {
        for (int32_t i = 0; i < len; ++i) written += string_append_escaped_char(buffer, char_at(i), all);
    } else {
        bool tracking = true;
        int32_t depth = 0;
        for (int32_t i = 0; i < len; ++i) {
            uint32_t c = char_at(i);
            if (c == '{') {
                if (tracking) {
                    Series* s = value_series(v.get());
                    uint32_t unit = s->unit();
                    const uint8_t* p = s->head_ptr() + uint64_t(index + uint32_t(i)) * unit;
                    const uint8_t* end = s->head_ptr() + uint64_t(index + uint32_t(len)) * unit;
                    if (scan_braces(p, end, unit)) {
                        ++depth;
                        put(buffer, '{');
                        written += 1;
                        continue;
                    }
                    tracking = false;
                }
                written += append_ascii(buffer, "^{");
            } else if (c == '}') {
                if (depth > 0) {
                    --depth;
                    put(buffer, '}');
                    written += 1;
                } else {
                    written += append_ascii(buffer, "^}");
                }
            } else if (c == '"') {
                put(buffer, '"');
                written += 1;
            } else {
                written += string_append_escaped_char(buffer, c, all);
            }
        }
    }
    put(buffer, braces ? '}' : '"');
    return budget - (written + 1);
}

} // namespace kel
