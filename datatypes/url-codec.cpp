// The percent codec of URL and file text.
//
// Encoding walks the UTF-8 bytes of a text and writes every byte outside the chosen set of safe
// characters as "%" and two uppercase hex digits. Decoding reverses it: an escape stands for one
// byte; an escaped lead byte of a multi-byte UTF-8 sequence is decoded together with the escapes
// that follow it, and only when they make well-formed UTF-8 (anything else keeps the "%" as text,
// so a text that is not an escape survives a decode unchanged). An escaped byte below 0xC0 gives
// that byte as a code point. Bytes outside escapes are the text's own UTF-8.
//
// The byte-level routines touch no runtime memory, so the lexer can call them on token text; the
// string-level ones convert through std::string and std::vector before writing into the target.
#include "datatypes/file.h"

#include "core/roots.h"
#include "core/unicode.h"
#include "datatypes/string.h"

namespace kel {

namespace {

int hex_digit(uint8_t b) {
    if (b >= '0' && b <= '9') return b - '0';
    if (b >= 'A' && b <= 'F') return b - 'A' + 10;
    if (b >= 'a' && b <= 'f') return b - 'a' + 10;
    return -1;
}

// The byte of the escape at p ("%" and two hex digits before e), or -1.
int escape_at(const uint32_t* p, const uint32_t* e) {
    if (e - p < 3 || p[0] != '%' || p[1] > 0x7F || p[2] > 0x7F) return -1;
    int h = hex_digit(uint8_t(p[1])), l = hex_digit(uint8_t(p[2]));
    return h < 0 || l < 0 ? -1 : h * 16 + l;
}

bool unreserved(uint8_t c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

bool safe_in(uint8_t c, int32_t mode) {
    if (mode == PERCENT_UNRESERVED) return unreserved(c);
    if (mode == PERCENT_URL_MOLD && (c == '(' || c == ')')) return false;
    return url_char_safe(c);
}

} // namespace

bool url_char_safe(uint32_t c) {
    if (c >= 0x80) return false;
    if (unreserved(uint8_t(c))) return true;
    switch (c) {
    case '!': case '#': case '$': case '&': case '\'': case '(': case ')': case '*': case '+':
    case ',': case '/': case ':': case '=': case '?': case '@':
        return true;
    default:
        return false;
    }
}

int32_t utf8_strict_sequence(const uint8_t* p, int n) {
    uint8_t b0 = p[0];
    int32_t cp;
    uint8_t lo = 0x80, hi = 0xBF;   // range of the second byte
    switch (n) {
    case 2:
        if (b0 < 0xC2 || b0 > 0xDF) return -1;
        cp = b0 & 0x1F;
        break;
    case 3:
        if (b0 < 0xE0 || b0 > 0xEF) return -1;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
        cp = b0 & 0x0F;
        break;
    case 4:
        if (b0 < 0xF0 || b0 > 0xF4) return -1;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
        cp = b0 & 0x07;
        break;
    default:
        return -1;
    }
    for (int i = 1; i < n; ++i) {
        uint8_t b = p[i];
        if (i == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) return -1;
        cp = (cp << 6) | (b & 0x3F);
    }
    return cp;
}

void percent_decode_chars(const uint32_t* s, const uint32_t* e, std::vector<uint32_t>& out) {
    const uint32_t* p = s;
    while (p < e) {
        int b = escape_at(p, e);
        if (b >= 0xC0) {
            int n = b <= 0xDF ? 2 : b <= 0xEF ? 3 : 4;
            uint8_t bytes[4] = {uint8_t(b), 0, 0, 0};
            bool all = true;
            for (int k = 1; k < n && all; ++k) {
                int c = p + 3 * k < e ? escape_at(p + 3 * k, e) : -1;
                if (c < 0) all = false;
                else bytes[k] = uint8_t(c);
            }
            int32_t cp = all ? utf8_strict_sequence(bytes, n) : -1;
            if (cp >= 0) {
                out.push_back(uint32_t(cp));
                p += 3 * n;
            } else {
                out.push_back('%');   // not decodable: the "%" stays text, the digits follow
                ++p;
            }
        } else if (b >= 0) {
            out.push_back(uint32_t(b));
            p += 3;
        } else {
            out.push_back(*p++);
        }
    }
}

bool percent_decode(const uint8_t* s, const uint8_t* e, std::vector<uint32_t>& out) {
    // the text's own UTF-8 first (escapes are ASCII, so they survive it unchanged)
    static std::vector<uint32_t> chars;
    chars.clear();
    bool whole = true;
    while (s < e) {
        uint8_t c = *s;
        if (c < 0x80) {
            chars.push_back(c);
            ++s;
            continue;
        }
        int n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
        int32_t cp = n == 0 || e - s < n ? -1 : utf8_strict_sequence(s, n);
        if (cp < 0) {
            whole = false;
            break;
        }
        chars.push_back(uint32_t(cp));
        s += n;
    }
    percent_decode_chars(chars.data(), chars.data() + chars.size(), out);
    return whole;
}

void percent_encode(const uint8_t* s, const uint8_t* e, int32_t mode, std::string& out) {
    static const char digits[] = "0123456789ABCDEF";
    for (; s < e; ++s) {
        uint8_t c = *s;
        if (safe_in(c, mode)) {
            out.push_back(char(c));
        } else {
            out.push_back('%');
            out.push_back(digits[c >> 4]);
            out.push_back(digits[c & 15]);
        }
    }
}

std::string string_utf8(const Cell* str) {
    Series* s = value_series(str);
    uint32_t unit = s->unit();
    int32_t n = string_rs_length(str);
    const uint8_t* p = s->head_ptr() + uint64_t(series_index(str)) * unit;
    std::string out;
    out.reserve(size_t(n));
    uint8_t buf[4];
    for (int32_t i = 0; i < n; ++i, p += unit) {
        uint32_t cp = unit_get(p, unit);
        if (cp < 0x80) {
            out.push_back(char(cp));
        } else {
            int k = utf8_encode_char(int32_t(cp), buf);
            out.append(reinterpret_cast<const char*>(buf), size_t(k));
        }
    }
    return out;
}

void url_percent_decode(const Cell* str, Cell* target) {
    std::vector<uint32_t> chars, cps;
    {
        Series* s = value_series(str);
        uint32_t unit = s->unit();
        int32_t n = string_rs_length(str);
        const uint8_t* p = s->head_ptr() + uint64_t(series_index(str)) * unit;
        chars.reserve(size_t(n));
        for (int32_t i = 0; i < n; ++i, p += unit) chars.push_back(unit_get(p, unit));
    }
    percent_decode_chars(chars.data(), chars.data() + chars.size(), cps);
    Series* s = value_series(target);
    for (uint32_t cp : cps) s = string_append_char(s, cp);
}

void url_percent_encode(const Cell* str, Cell* target, int32_t mode) {
    std::string text = string_utf8(str);
    std::string out;
    const uint8_t* b = reinterpret_cast<const uint8_t*>(text.data());
    percent_encode(b, b + text.size(), mode, out);
    string_append_bytes(target, reinterpret_cast<const uint8_t*>(out.data()), out.size());
}

} // namespace kel
