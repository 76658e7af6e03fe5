// The lexer's literal loaders and the standalone number scanners.
//
// A loader gets the text of one token the automaton accepted, checks it, and (in load mode) pushes
// the value it stands for into the lexer's cell buffer. The token flags gathered by the automaton
// spare most loaders a second look: text without the "^" flag has no escapes, text without the
// multi-byte flags is ASCII unless it holds a stray continuation byte, which every loader of text
// rejects. Every failure goes through throw_error with the datatype the literal names.
//
// scan_integer and scan_float read string units of any width for the `to` conversions; they
// report failures through an error code instead of raising.
#include "evaluator/lexer.h"

#include "core/context.h"
#include "core/errors.h"
#include "core/float-text.h"
#include "core/memory.h"
#include "core/symbol.h"
#include "core/unicode.h"
#include "datatypes/datatype.h"
#include "evaluator/scan.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace kel::lex {

constexpr size_t FLOAT_TEXT_MAX = 312;

namespace {

bool is_digit(uint8_t b) { return b >= '0' && b <= '9'; }
int hex_value(uint8_t b) {
    if (b >= '0' && b <= '9') return b - '0';
    if (b >= 'A' && b <= 'F') return b - 'A' + 10;
    if (b >= 'a' && b <= 'f') return b - 'a' + 10;
    return -1;
}
bool same_caseless(const uint8_t* s, size_t n, const char* name) {
    if (std::strlen(name) != n) return false;
    for (size_t i = 0; i < n; ++i) {
        uint8_t a = s[i], b = uint8_t(name[i]);
        if (a >= 'A' && a <= 'Z') a = uint8_t(a + 32);
        if (b >= 'A' && b <= 'Z') b = uint8_t(b + 32);
        if (a != b) return false;
    }
    return true;
}

// Code points of the text being decoded (reused, so decoding does not allocate per token).
std::vector<uint32_t>& scratch() {
    static std::vector<uint32_t> buffer;
    return buffer;
}

struct EscapeName { const char* name; uint32_t cp; };
constexpr EscapeName k_escape_names[] = {
    {"null", 0}, {"back", 8}, {"tab", 9}, {"line", 10}, {"page", 12}, {"esc", 27}, {"del", 127},
};

// Decodes the escape after a "^" at p (p points after the "^"). Returns the position after it
// and the code point, or null for a bad escape.
const uint8_t* decode_escape(const uint8_t* p, const uint8_t* end, int32_t* cp) {
    if (p >= end) return nullptr;
    uint8_t b = *p;
    if (b == '(') {
        const uint8_t* close = p + 1;
        while (close < end && *close != ')' && close - p <= 7) ++close;
        if (close >= end || *close != ')') return nullptr;
        const uint8_t* s = p + 1;
        size_t n = size_t(close - s);
        for (const EscapeName& e : k_escape_names) {
            if (same_caseless(s, n, e.name)) { *cp = int32_t(e.cp); return close + 1; }
        }
        if (n == 0 || n > 6) return nullptr;
        uint32_t v = 0;
        for (const uint8_t* q = s; q < close; ++q) {
            int h = hex_value(*q);
            if (h < 0) return nullptr;
            v = v * 16 + uint32_t(h);
        }
        if (v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return nullptr;
        *cp = int32_t(v);
        return close + 1;
    }
    switch (b) {
    case '"': *cp = '"'; return p + 1;
    case '-': *cp = '\t'; return p + 1;
    case '/': *cp = '\n'; return p + 1;
    case '^': *cp = '^'; return p + 1;
    case '{': *cp = '{'; return p + 1;
    case '}': *cp = '}'; return p + 1;
    case '~': *cp = 127; return p + 1;
    case '@': *cp = 0; return p + 1;
    default: break;
    }
    if (b >= 'a' && b <= 'z') { *cp = b - 'a' + 1; return p + 1; }
    if (b >= 'A' && b <= '_') { *cp = b - 'A' + 1; return p + 1; }
    const uint8_t* q = decode_utf8_char(p, end, cp);
    return *cp < 0 ? nullptr : q;
}

// Decodes [s, e) into the scratch buffer (escapes only when asked); false on an undecodable byte
// or a bad escape. *widest receives the largest code point.
bool decode_text(const uint8_t* s, const uint8_t* e, bool escapes, uint32_t* widest) {
    std::vector<uint32_t>& out = scratch();
    out.clear();
    uint32_t w = 0;
    while (s < e) {
        int32_t cp;
        if (*s < 0x80 && !(escapes && *s == '^')) {
            cp = *s++;
        } else if (*s == '^') {
            s = decode_escape(s + 1, e, &cp);
            if (!s) return false;
        } else {
            s = decode_utf8_char(s, e, &cp);
            if (cp < 0) return false;
        }
        out.push_back(uint32_t(cp));
        if (uint32_t(cp) > w) w = uint32_t(cp);
    }
    *widest = w;
    return true;
}

Cell make_string_from_scratch(TypeId type, uint32_t widest) { return make_text_value(type, scratch(), widest); }

} // namespace

Cell make_text_value(TypeId type, const std::vector<uint32_t>& cps, uint32_t widest) {
    uint32_t unit = widest > 0xFFFF ? 4 : widest > 0xFF ? 2 : 1;
    uint32_t n = uint32_t(cps.size());
    Node node = alloc_units(n, unit);
    Series* s = node_series(node);
    uint8_t* d = s->data();
    for (uint32_t i = 0; i < n; ++i) unit_put(d + i * unit, unit, cps[i]);
    s->tail = n * unit;
    return make_series(type, node);
}

namespace {

// ASCII text copied as it stands (unit 1); false when a byte is not ASCII.
bool ascii_only(const uint8_t* s, const uint8_t* e) {
    for (; s < e; ++s)
        if (*s >= 0x80) return false;
    return true;
}

Cell make_ascii_string(TypeId type, const uint8_t* s, const uint8_t* e) {
    uint32_t n = uint32_t(e - s);
    Node node = alloc_units(n, 1);
    Series* ser = node_series(node);
    std::memcpy(ser->data(), s, n);
    ser->tail = n;
    return make_series(type, node);
}

} // namespace

// Checks the float syntax: optional sign, digits with "'" separators, at most one "." or ",",
// an optional exponent letter with optional sign and digits. At least one mantissa digit.
bool float_syntax(const uint8_t* s, const uint8_t* e) {
    if (size_t(e - s) > FLOAT_TEXT_MAX) return false;
    if (s < e && (*s == '+' || *s == '-')) ++s;
    int digits = 0;
    bool point = false;
    uint8_t prev = 0;
    for (; s < e; ++s) {
        uint8_t b = *s;
        if (is_digit(b)) { ++digits; prev = b; continue; }
        if (b == '\'') {
            if (!is_digit(prev)) return false;
            prev = b;
            continue;
        }
        if (b == '.' || b == ',') {
            if (point || prev == '\'') return false;
            point = true;
            prev = b;
            continue;
        }
        break;
    }
    if (digits == 0 || prev == '\'') return false;
    if (s == e) return true;
    if (*s != 'e' && *s != 'E') return false;
    ++s;
    if (s < e && (*s == '+' || *s == '-')) ++s;
    if (s == e) return false;
    for (; s < e; ++s)
        if (!is_digit(*s)) return false;
    return true;
}

// Converts checked float text: "'" removed, "," read as ".". False when the conversion does not
// read the whole text.
bool convert_float(const uint8_t* s, const uint8_t* e, double* out) {
    char buf[FLOAT_TEXT_MAX + 1];
    size_t n = 0;
    for (; s < e && n < FLOAT_TEXT_MAX; ++s) {
        if (*s == '\'') continue;
        buf[n++] = *s == ',' ? '.' : char(*s);
    }
    int remainder = 0;
    *out = text_to_float(buf, buf + n, 0, &remainder);
    return remainder == 0;
}

// Special floats: optional sign, "1.#", then NAN or INF in any case.
bool special_float(const uint8_t* s, const uint8_t* e, double* out) {
    bool negative = false;
    if (s < e && (*s == '+' || *s == '-')) negative = *s++ == '-';
    if (e - s != 6 || s[0] != '1' || s[1] != '.' || s[2] != '#') return false;
    if (same_caseless(s + 3, 3, "nan")) {
        uint64_t bits = 0x7FF8000000000000ull;
        std::memcpy(out, &bits, 8);
        return true;
    }
    if (same_caseless(s + 3, 3, "inf")) {
        *out = negative ? -std::numeric_limits<double>::infinity()
                        : std::numeric_limits<double>::infinity();
        return true;
    }
    return false;
}

namespace {

// Reads digits with single "'" separators from s; returns false on a doubled or leading "'" or
// on no digit. *value saturates at a large bound; *count is the number of digits.
bool read_digits(const uint8_t*& s, const uint8_t* e, int64_t* value, int* count) {
    int64_t v = 0;
    int n = 0;
    bool sep = false;
    while (s < e) {
        if (is_digit(*s)) {
            if (v < 100000000000LL) v = v * 10 + (*s - '0');
            ++n;
            sep = false;
        } else if (*s == '\'') {
            if (n == 0 || sep) return false;
            sep = true;
        } else {
            break;
        }
        ++s;
    }
    *value = v;
    *count = n;
    return n > 0 && !sep;
}

// Pushes a float read from [s, e) (shared by the float and the long-integer loaders).
void push_float_text(State* st, const uint8_t* s, const uint8_t* e) {
    double d;
    if (!float_syntax(s, e) || !convert_float(s, e, &d)) throw_error(st, s, e, T_FLOAT);
    st->type = T_FLOAT;
    if (st->load) push_value(st, make_float(d));
}

} // namespace

bool is_unicode_space(int32_t cp) {
    switch (cp) {
    case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F:
    case 0x3000: case 0x180E: case 0x200B:
        return true;
    default:
        return cp >= 0x2000 && cp <= 0x200A;
    }
}

Cell make_word(TypeId type, const uint8_t* name, uint32_t length) {
    uint32_t sym = symbol_make_utf8(name, length);
    if (type == T_ISSUE) return Cell{T_ISSUE, 0, sym, 0};
    Cell word = *context_add_global(sym, true, false);
    word.header = type;
    word.data2 = sym;   // keep the spelling as written; the index is shared by every variant
    return word;
}

void load_string(State* st, const uint8_t* s, const uint8_t* e, uint32_t flags) {
    st->type = T_STRING;
    TypeId type = st->error_kind > 0 ? TypeId(st->error_kind) : T_STRING;
    if (!(flags & (F_MULTIBYTE | F_CARET))) {
        if (!ascii_only(s, e)) throw_error(st, s - 1, e, type);
        if (st->load) push_value(st, make_ascii_string(T_STRING, s, e));
        return;
    }
    uint32_t widest;
    if (!decode_text(s, e, flags & F_CARET, &widest)) throw_error(st, s - 1, e, type);
    if (st->load) push_value(st, make_string_from_scratch(T_STRING, widest));
}

void load_raw_string(State* st, const uint8_t* s, const uint8_t* e) {
    st->type = T_STRING;
    const uint8_t* p = s;
    while (p < e && *p == '%') ++p;
    size_t n = size_t(p - s);
    if (p >= e || *p != '{') throw_error(st, s, e, T_STRING);
    const uint8_t* text = p + 1;
    // the closing "}" is the first one followed by exactly n "%"
    const uint8_t* close = nullptr;
    for (const uint8_t* q = text; q < e; ++q) {
        if (*q != '}') continue;
        const uint8_t* r = q + 1;
        while (r < e && *r == '%') ++r;
        if (size_t(r - q - 1) == n) { close = q; break; }
    }
    if (!close || close + 1 + n != e) throw_error(st, s, e, T_STRING);
    uint32_t widest;
    if (!decode_text(text, close, false, &widest)) throw_error(st, s, e, T_STRING);
    if (st->load) push_value(st, make_string_from_scratch(T_STRING, widest));
}

void load_word(State* st, const uint8_t* s, const uint8_t* e, uint32_t flags, bool in_path) {
    // the word ends at the first Unicode space in it; the text must be valid UTF-8
    bool ascii = true;
    for (const uint8_t* p = s; p < e;) {
        if (*p < 0x80) { ++p; continue; }
        ascii = false;
        int32_t cp;
        const uint8_t* q = decode_utf8_char(p, e, &cp);
        if (cp < 0) throw_error(st, s, e, T_WORD);
        if (is_unicode_space(cp)) { e = p; st->pos = p; break; }
        p = q;
    }
    (void)ascii;
    TypeId type = T_WORD;
    const uint8_t* name = s;
    const uint8_t* name_end = e;
    bool colon = false;
    if (flags & F_COLON) {   // the flag may come from the byte after the token
        for (const uint8_t* p = s; p < e && !colon; ++p) colon = *p == ':';
    }
    if (colon) {
        bool lead = *s == ':';
        bool trail = e - s > 1 && e[-1] == ':';
        if (lead && !trail) { type = T_GET_WORD; ++name; }
        else if (trail && !lead) { type = T_SET_WORD; --name_end; }
        else if (!(in_path && lead)) throw_error(st, s, e, T_WORD);
        else { type = T_GET_WORD; ++name; }
        for (const uint8_t* p = name; p < name_end; ++p) {
            if (*p == ':') throw_error(st, s, e, T_WORD);
        }
    }
    if (name < name_end && *name == '\'') {
        if (type == T_SET_WORD) throw_error(st, s, e, T_LIT_WORD);
        if (type == T_WORD) { type = T_LIT_WORD; ++name; }
    }
    if (name == name_end) throw_error(st, s, e, T_WORD);
    st->type = type;
    if (st->load) push_value(st, make_word(type, name, uint32_t(name_end - name)));
}

void load_issue(State* st, const uint8_t* s, const uint8_t* e, uint32_t flags) {
    (void)flags;
    st->type = T_ISSUE;
    if (e - s < 2) throw_error(st, s, e, T_ISSUE);
    for (const uint8_t* p = s + 1; p < e;) {
        if (*p < 0x80) { ++p; continue; }
        int32_t cp;
        p = decode_utf8_char(p, e, &cp);
        if (cp < 0) throw_error(st, s, e, T_ISSUE);
    }
    if (st->load) push_value(st, make_word(T_ISSUE, s + 1, uint32_t(e - s - 1)));
}

void load_refinement(State* st, const uint8_t* s, const uint8_t* e, uint32_t flags) {
    (void)flags;
    if (*s != '/') throw_error(st, s, e, T_REFINEMENT);
    if (e - s == 1) {
        st->type = T_WORD;
        if (st->load) push_value(st, make_word(T_WORD, s, 1));
        return;
    }
    for (const uint8_t* p = s + 1; p < e;) {
        if (*p < 0x80) { ++p; continue; }
        int32_t cp;
        p = decode_utf8_char(p, e, &cp);
        if (cp < 0) throw_error(st, s, e, T_REFINEMENT);
    }
    st->type = T_REFINEMENT;
    if (st->load) push_value(st, make_word(T_REFINEMENT, s + 1, uint32_t(e - s - 1)));
}

void load_integer(State* st, const uint8_t* s, const uint8_t* e, uint32_t flags) {
    (void)flags;
    const uint8_t* p = s;
    bool negative = false;
    if (p < e && (*p == '+' || *p == '-')) negative = *p++ == '-';
    int64_t v;
    int n;
    const uint8_t* digits = p;
    if (p == e || !is_digit(*p)) throw_error(st, s, e, T_PAIR);
    if (!read_digits(p, e, &v, &n) || p != e) throw_error(st, s, e, T_INTEGER);
    (void)digits;
    if (negative) v = -v;
    if (n > 10 || v > 2147483647LL || v < -2147483648LL) {
        push_float_text(st, s, e);
        return;
    }
    st->type = T_INTEGER;
    if (st->load) push_value(st, make_integer(int32_t(v)));
}

void load_hex_integer(State* st, const uint8_t* s, const uint8_t* e, uint32_t flags) {
    (void)flags;
    size_t n = size_t(e - s) - 1;   // digits before the "h"
    if (n == 1 && !is_digit(*s)) throw_error(st, s, e, T_WORD);
    if (n == 0 || n > 8 || e[-1] != 'h') throw_error(st, s, e, T_INTEGER);
    uint32_t v = 0;
    for (const uint8_t* p = s; p < e - 1; ++p) {
        int h = hex_value(*p);
        if (h < 0) throw_error(st, s, e, T_INTEGER);
        v = v * 16 + uint32_t(h);
    }
    st->type = T_INTEGER;
    if (st->load) push_value(st, make_integer(int32_t(v)));
}

void load_float(State* st, const uint8_t* s, const uint8_t* e, uint32_t flags) {
    (void)flags;
    push_float_text(st, s, e);
}

void load_special_float(State* st, const uint8_t* s, const uint8_t* e) {
    double d;
    if (!special_float(s, e, &d)) throw_error(st, s, e, T_FLOAT);
    st->type = T_FLOAT;
    if (st->load) push_value(st, make_float(d));
}

void load_char(State* st, const uint8_t* s, const uint8_t* e, uint32_t flags) {
    // #"x : the text between the quotes is [s + 2, e)
    st->type = T_CHAR;
    const uint8_t* p = s + 2;
    if (p >= e) throw_error(st, s, e + 1, T_CHAR);
    int32_t cp;
    const uint8_t* q;
    if (*p == '^' && (flags & F_CARET)) q = decode_escape(p + 1, e, &cp);
    else q = decode_utf8_char(p, e, &cp);
    if (!q || cp < 0 || q != e || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        throw_error(st, s, e + 1, T_CHAR);
    if (st->load) push_value(st, Cell{T_CHAR, 0, uint32_t(cp), 0});
}

void load_time(State* st, const uint8_t* s, const uint8_t* e, uint32_t flags) {
    if (flags & F_EXPONENT) throw_error(st, s, e, T_TIME);
    const uint8_t* p = s;
    bool negative = false;
    if (p < e && (*p == '+' || *p == '-')) negative = *p++ == '-';
    int64_t first, second;
    int n;
    if (!read_digits(p, e, &first, &n) || p >= e || *p != ':') throw_error(st, s, e, T_TIME);
    ++p;
    if (p < e && *p == '-') throw_error(st, s, e, T_TIME);   // a negative minute
    if (!read_digits(p, e, &second, &n)) throw_error(st, s, e, T_TIME);
    double hours = 0, minutes, seconds = 0;
    auto fraction = [&](const uint8_t* from) {
        // digits after "." or "," up to e, read as a decimal fraction
        double f = 0, scale = 0.1;
        const uint8_t* q = from;
        for (; q < e; ++q) {
            if (*q == '\'') continue;
            if (!is_digit(*q)) throw_error(st, s, e, T_TIME);
            f += (*q - '0') * scale;
            scale /= 10;
        }
        return f;
    };
    if (p < e && (*p == '.' || *p == ',')) {   // minutes:seconds.fraction
        minutes = double(first);
        seconds = double(second) + fraction(p + 1);
        if (second >= 60) throw_error(st, s, e, T_TIME);
    } else {
        hours = double(first);
        minutes = double(second);
        if (second >= 60) throw_error(st, s, e, T_TIME);
        if (p < e) {
            if (*p != ':') throw_error(st, s, e, T_TIME);
            ++p;
            int64_t secs;
            if (!read_digits(p, e, &secs, &n)) throw_error(st, s, e, T_TIME);
            if (secs >= 60) throw_error(st, s, e, T_TIME);
            seconds = double(secs);
            if (p < e) {
                if (*p != '.' && *p != ',') throw_error(st, s, e, T_TIME);
                seconds += fraction(p + 1);
            }
        }
    }
    double total = hours * 3600 + minutes * 60 + seconds;
    if (negative) total = -total;
    st->type = T_TIME;
    if (st->load) {
        Cell c{T_TIME, 0, 0, 0};
        c.put_float(total);
        push_value(st, c);
    }
}

void load_construction(State* st, const uint8_t* s, const uint8_t* e) {
    // "#(" name ")" : the token runs from "#" to the byte before ")"
    const uint8_t* p = s + 2;
    while (p < e && (*p == ' ' || *p == '\t')) ++p;
    const uint8_t* name = p;
    while (p < e && *p != ' ' && *p != '\t' && *p != '\n' && *p != '\r') ++p;
    const uint8_t* name_end = p;
    while (p < e && (*p == ' ' || *p == '\t')) ++p;
    if (p != e) throw_error(st, s, e + 1, ERR_MALCONSTRUCT);
    size_t n = size_t(name_end - name);
    Cell value{T_NONE, 0, 0, 0};
    bool found = true;
    if (same_caseless(name, n, "true")) value = make_logic(true);
    else if (same_caseless(name, n, "false")) value = make_logic(false);
    else if (same_caseless(name, n, "none")) value = Cell{T_NONE, 0, 0, 0};
    else if (same_caseless(name, n, "unset")) value = Cell{T_UNSET, 0, 0, 0};
    else {
        found = false;
        for (int t = 1; t <= g_highest_type && t < T_TABLE_SIZE; ++t) {
            const char* tn = g_datatypes[t].name;
            if (tn && same_caseless(name, n, tn)) {
                value = make_datatype(TypeId(t));
                found = true;
                break;
            }
        }
    }
    if (!found) throw_error(st, s, e + 1, ERR_MALCONSTRUCT);
    st->type = int32_t(value.type());
    if (st->load) push_value(st, value);
}

} // namespace kel::lex

namespace kel {

namespace {

// Copies n units of text as bytes (units above 0xFF become 0xFF, which no number holds).
size_t units_to_bytes(const uint8_t* text, uint32_t length, uint32_t unit, uint8_t* out, size_t room) {
    size_t n = length < room ? length : room;
    for (size_t i = 0; i < n; ++i) {
        uint32_t cp = unit_get(text + i * unit, unit);
        out[i] = cp > 0xFF ? 0xFF : uint8_t(cp);
    }
    return n;
}

} // namespace

int32_t scan_integer(const uint8_t* text, uint32_t length, uint32_t unit, int32_t* error) {
    *error = 0;
    uint32_t i = 0;
    bool negative = false;
    if (length > 0) {
        uint32_t c = unit_get(text, unit);
        if (c == '+' || c == '-') { negative = c == '-'; i = 1; }
    }
    int64_t v = 0;
    int digits = 0;
    for (; i < length; ++i) {
        uint32_t c = unit_get(text + i * unit, unit);
        if (c == '\'') continue;
        if (c < '0' || c > '9') { *error = -1; return 0; }
        v = v * 10 + (c - '0');
        ++digits;
        if (v > 2147483648LL) { *error = -2; return 0; }
    }
    if (digits == 0) { *error = -1; return 0; }
    if (negative) v = -v;
    if (v > 2147483647LL) { *error = -2; return 0; }
    return int32_t(v);
}

double scan_float(const uint8_t* text, uint32_t length, uint32_t unit, int32_t* error) {
    *error = 0;
    const double nan = [] { double d; uint64_t b = 0x7FF8000000000000ull; std::memcpy(&d, &b, 8); return d; }();
    if (length > lex::FLOAT_TEXT_MAX) { *error = -1; return nan; }
    uint8_t buf[lex::FLOAT_TEXT_MAX];
    size_t n = units_to_bytes(text, length, unit, buf, sizeof buf);
    double d;
    if (n >= 3 && std::memchr(buf, '#', n)) {
        if (lex::special_float(buf, buf + n, &d)) return d;
        *error = -1;
        return nan;
    }
    if (!lex::float_syntax(buf, buf + n) || !lex::convert_float(buf, buf + n, &d)) {
        *error = -1;
        return nan;
    }
    return d;
}

} // namespace kel
