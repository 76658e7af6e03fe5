// Text encodings: UTF-8 and UTF-16 conversions, in-place widening of string buffers, and the
// display width of code points.
//
// UTF-8 is decoded two ways. The table decoder runs a byte-class automaton: each byte has one of
// twelve classes, and the state (a multiple of 12) plus the class indexes the next state; 0
// accepts a character, 12 rejects. The automaton only accepts well-formed UTF-8 (no over-long
// forms, no surrogates, nothing above 0x10FFFF), costs one table read per byte and never raises.
// The strict decoder checks the same rules byte by byte, raises invalid-utf8 on a bad sequence
// and tells an incomplete final sequence apart ("needs more bytes"), which is what loading text in
// chunks needs.
//
// Every conversion that produces text for the outside world writes into the string's scratch
// buffer: a byte series whose node sits in word 3 of the string cell, sized once per call for the
// worst case, so no conversion allocates per character. Anything that allocates may move every
// buffer (and the collector may renumber nodes it holds in rooted cells), so buffer addresses are
// fetched again after each allocation and nodes we create are kept in Rooted cells while we work.
#include "core/unicode.h"

#include "core/errors.h"
#include "core/roots.h"
#include "core/runtime.h"
#include "core/unicode-tables.inc"

#include <algorithm>
#include <array>
#include <iterator>

namespace kel {

[[noreturn]] void bad_unit_width() { runtime_quit(RT_NO_SWITCH, 0); }

// ---- The decoder table ------------------------------------------------------------------------

namespace {

constexpr std::array<uint8_t, 364> make_decoder_table() {
    std::array<uint8_t, 364> t{};
    for (int b = 0; b < 256; ++b) {
        uint8_t c;
        if (b < 0x80) c = 0;
        else if (b < 0x90) c = 1;
        else if (b < 0xA0) c = 9;
        else if (b < 0xC0) c = 7;
        else if (b < 0xC2) c = 8;
        else if (b < 0xE0) c = 2;
        else if (b == 0xE0) c = 10;
        else if (b < 0xED) c = 3;
        else if (b == 0xED) c = 4;
        else if (b < 0xF0) c = 3;
        else if (b == 0xF0) c = 11;
        else if (b < 0xF4) c = 6;
        else if (b == 0xF4) c = 5;
        else c = 8;
        t[size_t(b)] = c;
    }
    constexpr uint8_t rows[9][12] = {
        {0, 12, 24, 36, 60, 96, 84, 12, 12, 12, 48, 72},        // 0: start
        {12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12},       // 12: reject
        {12, 0, 12, 12, 12, 12, 12, 0, 12, 0, 12, 12},          // 24: one continuation left
        {12, 24, 12, 12, 12, 12, 12, 24, 12, 24, 12, 12},       // 36: two left
        {12, 12, 12, 12, 12, 12, 12, 24, 12, 12, 12, 12},       // 48: after E0, A0-BF only
        {12, 24, 12, 12, 12, 12, 12, 12, 12, 24, 12, 12},       // 60: after ED, 80-9F only
        {12, 12, 12, 12, 12, 12, 12, 36, 12, 36, 12, 12},       // 72: after F0, 90-BF only
        {12, 36, 12, 12, 12, 12, 12, 36, 12, 36, 12, 12},       // 84: three left
        {12, 36, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12},       // 96: after F4, 80-8F only
    };
    for (int r = 0; r < 9; ++r)
        for (int c = 0; c < 12; ++c) t[size_t(256 + r * 12 + c)] = rows[r][c];
    return t;
}

} // namespace

constinit const std::array<uint8_t, 364> utf8_decoder_table = make_decoder_table();

// ---- UTF-8 decoding ---------------------------------------------------------------------------

int32_t utf8_count_chars(const uint8_t* start, const uint8_t* end) {
    int32_t n = 0;
    int32_t cp;
    for (const uint8_t* p = start; p < end; ++n) p = decode_utf8_char(p, end, &cp);
    return n;
}

const uint8_t* utf8_skip_chars(const uint8_t* start, const uint8_t* end, int32_t n) {
    const uint8_t* p = start;
    int32_t cp;
    while (n-- > 0 && p < end) p = decode_utf8_char(p, end, &cp);
    return p;
}

namespace {

// A binary! value holding n bytes (n <= 4), for error arguments.
Cell make_binary_arg(const uint8_t* bytes, int32_t n) {
    uint8_t copy[4];
    n = std::clamp(n, 0, 4);
    std::memcpy(copy, bytes, size_t(n));   // the source may move when we allocate
    Node node = alloc_bytes(uint64_t(n));
    Series* s = node_series(node);
    std::memcpy(s->head_ptr(), copy, size_t(n));
    s->tail = s->head + uint32_t(n);
    return make_series(T_BINARY, node);
}

[[noreturn]] void raise_invalid_utf8(const uint8_t* p, int32_t avail) {
    if (!g_memory.series_current) fire_error(Err::InvalidUtf8);
    // fire_error allocates the error's argument block: the fresh binary! must be rooted until
    // it has been stored there.
    Rooted arg(make_binary_arg(p, avail));
    fire_error(Err::InvalidUtf8, arg.get());
}

[[noreturn]] void raise_invalid_char(int64_t cp) {
    Cell arg = make_integer(int32_t(cp));
    fire_error(Err::InvalidChar, &arg);
}

inline bool is_continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

} // namespace

int32_t utf8_decode_strict(const uint8_t* p, int32_t* avail) {
    const int32_t n = *avail;
    if (n <= 0) return -1;   // nothing to read yet: every sequence needs more
    const uint8_t b = p[0];
    if (b < 0x80) {
        *avail = 1;
        return b;
    }
    int32_t need;
    uint8_t lo = 0x80, hi = 0xBF;   // the range of the second byte
    if (b < 0xC2) raise_invalid_utf8(p, n);          // continuation byte, or C0/C1 over-long
    if (b < 0xE0) need = 2;
    else if (b < 0xF0) {
        need = 3;
        if (b == 0xE0) lo = 0xA0;                    // over-long below U+0800
        else if (b == 0xED) hi = 0x9F;               // surrogates D800-DFFF
    } else if (b < 0xF5) {
        need = 4;
        if (b == 0xF0) lo = 0x90;                    // over-long below U+10000
        else if (b == 0xF4) hi = 0x8F;               // above U+10FFFF
    } else {
        raise_invalid_utf8(p, n);
    }
    // Every byte we have must fit, even when the sequence is not complete yet: a prefix that can
    // never become valid is an error now, not leftover.
    const int32_t have = std::min(need, n);
    if (have >= 2 && (p[1] < lo || p[1] > hi)) raise_invalid_utf8(p, n);
    for (int32_t i = 2; i < have; ++i)
        if (!is_continuation(p[i])) raise_invalid_utf8(p, n);
    if (n < need) return -1;

    int32_t cp;
    switch (need) {
    case 2: cp = ((b & 0x1F) << 6) | (p[1] & 0x3F); break;
    case 3: cp = ((b & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F); break;
    default:
        cp = ((b & 0x07) << 18) | ((p[1] & 0x3F) << 12) | ((p[2] & 0x3F) << 6) | (p[3] & 0x3F);
        break;
    }
    *avail = need;
    return cp;
}

// ---- UTF-8 encoding ---------------------------------------------------------------------------

int utf8_char_length(int32_t cp) {
    if (uint32_t(cp) < 0x80) return 1;
    if (uint32_t(cp) < 0x800) return 2;
    if (uint32_t(cp) < 0x10000) return 3;
    if (uint32_t(cp) <= 0x10FFFF) return 4;
    raise_invalid_char(cp);
}

int64_t utf8_length_of_units(const uint8_t* start, const uint8_t* end, uint32_t unit) {
    int64_t total = 0;
    switch (unit) {
    case 1:
        for (const uint8_t* p = start; p < end; ++p) total += 1 + (*p >> 7);
        return total;
    case 2:
        for (const uint8_t* p = start; p + 2 <= end; p += 2) {
            uint32_t v = unit_get(p, 2);
            total += v < 0x80 ? 1 : v < 0x800 ? 2 : 3;
        }
        return total;
    case 4:
        for (const uint8_t* p = start; p + 4 <= end; p += 4) total += utf8_char_length(int32_t(unit_get(p, 4)));
        return total;
    default:
        bad_unit_width();
    }
}

int utf8_encode_char(int32_t cp, uint8_t* dst) {
    uint32_t v = uint32_t(cp);
    if (v < 0x80) {
        dst[0] = uint8_t(v);
        return 1;
    }
    if (v < 0x800) {
        dst[0] = uint8_t(0xC0 | (v >> 6));
        dst[1] = uint8_t(0x80 | (v & 0x3F));
        return 2;
    }
    if (v < 0x10000) {
        dst[0] = uint8_t(0xE0 | (v >> 12));
        dst[1] = uint8_t(0x80 | ((v >> 6) & 0x3F));
        dst[2] = uint8_t(0x80 | (v & 0x3F));
        return 3;
    }
    if (v <= 0x10FFFF) {
        dst[0] = uint8_t(0xF0 | (v >> 18));
        dst[1] = uint8_t(0x80 | ((v >> 12) & 0x3F));
        dst[2] = uint8_t(0x80 | ((v >> 6) & 0x3F));
        dst[3] = uint8_t(0x80 | (v & 0x3F));
        return 4;
    }
    raise_invalid_char(cp);
}

int utf8_encode_char_bounded(int32_t cp, uint8_t* dst, int32_t room) {
    uint8_t bytes[4];
    int n = utf8_encode_char(cp, bytes);
    if (room < 0) room = 0;
    if (n > room) n = room;
    std::memcpy(dst, bytes, size_t(n));
    return n;
}

namespace {

// The units of a string value from its head (clipped to the tail) to the tail.
struct StringView {
    const uint8_t* start;
    uint32_t count;   // units
    uint32_t unit;
};

StringView string_view(const Cell* str) {
    Series* s = node_series(series_node(str));
    uint32_t unit = s->unit();
    if (unit != 1 && unit != 2 && unit != 4) bad_unit_width();
    uint32_t total = s->length();
    uint32_t index = std::min(series_index(str), total);
    return {s->head_ptr() + uint64_t(index) * unit, total - index, unit};
}

inline uint32_t clip_count(int32_t asked, uint32_t avail) {
    return (asked < 0 || uint32_t(asked) > avail) ? avail : uint32_t(asked);
}

} // namespace

const char* string_to_utf8(Cell* str, int32_t* count) { return string_to_utf8_crlf(str, count, false); }

const char* string_to_utf8_crlf(Cell* str, int32_t* count, bool crlf) {
    StringView v = string_view(str);
    uint32_t n = clip_count(*count, v.count);
    // Worst case per unit: 2 bytes for Latin-1 (also CR LF), 3 for UCS-2, 4 for UCS-4.
    uint64_t worst = uint64_t(n) * (v.unit == 1 ? 2 : v.unit == 2 ? 3 : 4) + 1;
    uint8_t* out = string_scratch_buffer(str, checked_size(worst));
    v = string_view(str);   // the scratch allocation may have moved the string
    uint8_t* q = out;
    const uint8_t* p = v.start;
    for (uint32_t i = 0; i < n; ++i, p += v.unit) {
        uint32_t c = unit_get(p, v.unit);
        if (c < 0x80) {
            if (crlf && c == '\n') *q++ = '\r';
            *q++ = uint8_t(c);
        } else {
            q += utf8_encode_char(int32_t(c), q);
        }
    }
    *q = 0;
    Series* scratch = node_series(str->data3);
    scratch->tail = scratch->head + uint32_t(q - out);
    *count = int32_t(q - out);
    return reinterpret_cast<const char*>(out);
}

int32_t string_encode_utf8(const Cell* str, uint8_t* dst, int32_t capacity, int32_t count,
                           bool nul) {
    StringView v = string_view(str);
    uint32_t n = clip_count(count, v.count);
    int32_t room = capacity - (nul ? 1 : 0);
    uint8_t* q = dst;
    const uint8_t* p = v.start;
    for (uint32_t i = 0; i < n; ++i, p += v.unit) {
        uint32_t c = unit_get(p, v.unit);
        if (c < 0x80 && q - dst < room) {
            *q++ = uint8_t(c);
            continue;
        }
        uint8_t bytes[4];
        int w = utf8_encode_char(int32_t(c), bytes);
        if (q - dst + w > room) break;
        std::memcpy(q, bytes, size_t(w));
        q += w;
    }
    if (nul && capacity > 0) *q = 0;
    return int32_t(q - dst);
}

int32_t string_encode_utf8_bounded(const Cell* str, uint8_t* dst, int32_t capacity,
                                   int32_t limit, bool nul) {
    StringView v = string_view(str);
    uint32_t n = v.count;
    if (limit > 0 && uint32_t(limit) < n) n = uint32_t(limit);
    int32_t room = capacity;
    uint8_t* q = dst;
    const uint8_t* p = v.start;
    for (uint32_t i = 0; i < n && room > 0; ++i, p += v.unit) {
        int w = utf8_encode_char_bounded(int32_t(unit_get(p, v.unit)), q, room);
        q += w;
        room -= w;
    }
    if (nul && room > 0) *q = 0;
    return int32_t(q - dst);
}

// ---- Widening ---------------------------------------------------------------------------------

namespace {

template <class From, class To>
Series* widen(Series* s) {
    constexpr uint32_t from = sizeof(From), to = sizeof(To);
    if (s->unit() != from) bad_unit_width();
    uint64_t n = s->tail / from;
    uint64_t need = n * to + to;
    if (s->size < need) {
        s = expand_series_copy(s, need);
        n = s->tail / from;
    }
    uint8_t* d = s->data();
    for (uint64_t i = n; i-- > 0;) {
        From f;
        std::memcpy(&f, d + i * from, from);
        To t = To(f);
        std::memcpy(d + i * to, &t, to);
    }
    s->head = s->head / from * to;
    s->tail = uint32_t(n * to);
    s->flags = (s->flags & ~SER_UNIT_MASK) | to;
    return s;
}

} // namespace

Series* string_widen_1_to_2(Series* s) { return widen<uint8_t, uint16_t>(s); }
Series* string_widen_1_to_4(Series* s) { return widen<uint8_t, uint32_t>(s); }
Series* string_widen_2_to_4(Series* s) { return widen<uint16_t, uint32_t>(s); }

// ---- Loading UTF-8 ------------------------------------------------------------------------------

namespace {

// Where the bytes being loaded live: a fixed address, or a series that may move.
struct ByteSource {
    const uint8_t* bytes;
    Rooted* series;      // used when bytes is null
    uint32_t offset;
    const uint8_t* base() const {
        return bytes ? bytes : node_series(series_node(series->get()))->head_ptr() + offset;
    }
};

// Stores the run of ASCII bytes from in[pos] (up to a CR when crlf) as units at the tail, as far
// as the buffer has room; returns the input position after the run.
template <class T>
uint32_t copy_ascii_run(const uint8_t* in, uint32_t pos, uint32_t length, Series* s, bool crlf) {
    T* out = reinterpret_cast<T*>(s->tail_ptr());
    uint32_t n = std::min<uint32_t>((s->size - s->tail) / sizeof(T), length - pos);
    const uint8_t* p = in + pos;
    uint32_t i = 0;
    if (crlf) {
        for (; i < n && p[i] < 0x80 && p[i] != '\r'; ++i) out[i] = p[i];
    } else {
        for (; i < n && p[i] < 0x80; ++i) out[i] = p[i];
    }
    s->tail += i * uint32_t(sizeof(T));
    return pos + i;
}

Node load_utf8(const ByteSource& src, uint32_t length, Node target, int32_t* leftover,
               bool crlf) {
    uint32_t pos = 0;
    if (length > 2) {
        const uint8_t* b = src.base();
        if (b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) pos = 3;
    }

    Rooted dst(make_series(T_STRING, 0));
    Series* s;
    if (target) {
        dst->data2 = target;
        s = node_series(target);
        uint32_t unit = s->unit();
        if (unit != 1 && unit != 2 && unit != 4) bad_unit_width();
        uint64_t need = uint64_t(length) * unit;
        if (s->size - s->head < need) s = expand_series(node_series(target), need);
        s = node_series(series_node(dst.get()));
    } else {
        dst->data2 = alloc_series(std::max<uint32_t>(length, 1), 1, 0);
        s = node_series(series_node(dst.get()));
    }
    s->tail = s->head;
    uint32_t unit = s->unit();
    uint32_t limit = unit == 1 ? 0xFF : unit == 2 ? 0xFFFF : 0x10FFFF;
    const uint8_t* in = src.base();
    int32_t left = 0;

    while (pos < length) {
        pos = unit == 1   ? copy_ascii_run<uint8_t>(in, pos, length, s, crlf)
              : unit == 2 ? copy_ascii_run<uint16_t>(in, pos, length, s, crlf)
                          : copy_ascii_run<uint32_t>(in, pos, length, s, crlf);
        if (pos == length) break;
        int32_t cp = in[pos];
        if (cp < 0x80) {
            ++pos;
        } else {
            int32_t avail = int32_t(length - pos);
            cp = utf8_decode_strict(in + pos, &avail);
            if (cp < 0) {
                left = int32_t(length - pos);
                break;
            }
            pos += uint32_t(avail);
        }
        if (cp == '\r' && crlf) {
            if (pos < length && in[pos] == '\n') continue;   // the LF is stored next
            cp = '\n';
        }
        if (uint32_t(cp) > limit) {
            if (unit == 1) s = cp > 0xFFFF ? string_widen_1_to_4(s) : string_widen_1_to_2(s);
            else s = string_widen_2_to_4(s);
            unit = s->unit();
            limit = unit == 2 ? 0xFFFF : 0x10FFFF;
            in = src.base();
        }
        if (s->tail + unit > s->size) {
            uint32_t grow = std::max<uint32_t>(unit == 2 ? length / 4 : length, unit);
            s = expand_series_copy(s, uint64_t(s->size) + grow);
            in = src.base();
        }
        unit_put(s->tail_ptr(), unit, uint32_t(cp));
        s->tail += unit;
    }
    if (leftover) *leftover = left;
    return series_node(dst.get());
}

} // namespace

Node string_load_utf8(const uint8_t* bytes, uint32_t length, Node target, int32_t* leftover,
                      bool crlf) {
    static const uint8_t empty = 0;
    ByteSource src{bytes ? bytes : &empty, nullptr, 0};
    return load_utf8(src, bytes ? length : 0, target, leftover, crlf);
}

Node string_load_utf8_series(Node source, uint32_t offset, uint32_t length, Node target,
                             int32_t* leftover, bool crlf) {
    Rooted keep(make_series(T_BINARY, source));
    ByteSource src{nullptr, &keep, offset};
    return load_utf8(src, length, target, leftover, crlf);
}

Node string_load_utf8_into(Cell* str, const uint8_t* bytes, uint32_t length, int32_t* leftover) {
    return string_load_utf8(bytes, length, series_node(str), leftover, false);
}

Node string_from_utf8(const uint8_t* bytes, uint32_t length) {
    return string_load_utf8(bytes, length, 0, nullptr, false);
}

// ---- UTF-16 -----------------------------------------------------------------------------------

uint32_t utf16_detect_unit(const uint16_t* units, uint32_t count) {
    uint32_t unit = 1;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t high = units[i] >> 8;
        if (high >= 0xD8 && high <= 0xDF) return 4;
        if (high) unit = 2;
    }
    return unit;
}

namespace {

inline bool is_high_surrogate(uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
inline bool is_low_surrogate(uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

[[noreturn]] void raise_invalid_utf16(uint32_t unit) {
    Cell arg = make_integer(int32_t(unit));
    fire_error(Err::InvalidUtf16, &arg);
}

} // namespace

Node utf16_input_to_string(const uint16_t* units, uint32_t count, Cell* target, bool crlf) {
    // The source: the caller's units, or the target's scratch buffer (which may move).
    auto source = [&]() -> const uint16_t* {
        if (units) return units;
        if (!target || !target->data3) return nullptr;
        return reinterpret_cast<const uint16_t*>(node_series(target->data3)->data());
    };
    const uint16_t* in = source();
    if (!in) count = 0;
    if (!units && in) {   // never read past the end of the scratch buffer
        Series* scratch = node_series(target->data3);
        count = std::min(count, (scratch->size - scratch->head) / 2);
    }
    uint32_t unit = utf16_detect_unit(in, count);
    if (unit == 4) {
        for (uint32_t i = 0; i < count; ++i) {
            if (is_high_surrogate(in[i])) {
                if (i + 1 == count || !is_low_surrogate(in[i + 1])) raise_invalid_utf16(in[i]);
                ++i;
            } else if (is_low_surrogate(in[i])) {
                raise_invalid_utf16(in[i]);
            }
        }
    }

    Rooted dst(make_series(T_STRING, 0));
    Series* s;
    if (target) {
        dst->data2 = series_node(target);
        s = node_series(series_node(dst.get()));
        uint64_t need = uint64_t(count) * unit;
        if (s->size - s->head < need) expand_series(s, need);
    } else {
        dst->data2 = count ? alloc_series(count, unit, 0) : alloc_series(1, 2, 0);
        if (!count) unit = 2;
    }
    s = node_series(series_node(dst.get()));
    s->flags = (s->flags & ~SER_UNIT_MASK) | unit | SER_UTF16_INPUT;
    in = source();

    uint8_t* out = s->head_ptr();
    uint32_t stored = 0;
    if (unit == 2 && !crlf) {
        if (count) std::memcpy(out, in, size_t(count) * 2);
        stored = count;
    } else {
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t c = in[i];
            if (c == '\r' && crlf) {
                if (i + 1 < count && in[i + 1] == '\n') continue;
                c = '\n';
            }
            if (unit == 4 && is_high_surrogate(c)) {
                c = 0x10000 + ((c & 0x3FF) << 10) + (in[i + 1] & 0x3FFu);
                ++i;
            }
            unit_put(out + size_t(stored) * unit, unit, c);
            ++stored;
        }
    }
    s->tail = s->head + stored * unit;
    return series_node(dst.get());
}

uint32_t utf16_extra_bytes(const uint8_t* start, const uint8_t* end, uint32_t unit) {
    if (unit != 1 && unit != 2 && unit != 4) bad_unit_width();
    uint32_t extra = 0;
    for (const uint8_t* p = start; p + unit <= end; p += unit) {
        uint32_t c = unit_get(p, unit);
        if (c == '\n' || c >= 0x10000) extra += 2;
    }
    return extra;
}

const uint16_t* to_utf16_cstring(Cell* str, int32_t* count, bool crlf) {
    StringView v = string_view(str);
    uint32_t n = clip_count(*count, v.count);
    uint64_t bytes = uint64_t(n) * 2 + 2 +
                     utf16_extra_bytes(v.start, v.start + uint64_t(n) * v.unit, v.unit);
    uint8_t* buf = string_scratch_buffer(str, checked_size(bytes));
    v = string_view(str);
    uint16_t* out = reinterpret_cast<uint16_t*>(buf);
    uint16_t* q = out;
    const uint8_t* p = v.start;
    for (uint32_t i = 0; i < n; ++i, p += v.unit) {
        uint32_t c = unit_get(p, v.unit);
        if (c == '\n' && crlf) *q++ = '\r';
        if (c < 0x10000) {
            *q++ = uint16_t(c);
        } else if (c <= 0x10FFFF) {
            c -= 0x10000;
            *q++ = uint16_t(0xD800 + (c >> 10));
            *q++ = uint16_t(0xDC00 + (c & 0x3FF));
        } else {
            return nullptr;
        }
    }
    *q = 0;
    Series* scratch = node_series(str->data3);
    scratch->tail = scratch->head + uint32_t(q - out) * 2;
    *count = int32_t(q - out);
    return out;
}

const uint16_t* to_utf16_cstring_crlf(Cell* str) {
    int32_t count = -1;
    return to_utf16_cstring(str, &count, true);
}

size_t cstring_to_utf16(const char* text, uint16_t* dst, size_t room) {
    if (room == 0) return 0;
    size_t n = 0;
    for (; text[n] && n + 1 < room; ++n) dst[n] = uint8_t(text[n]);
    dst[n] = 0;
    return n;
}

uint8_t* string_scratch_buffer(Cell* str, uint32_t bytes) {
    Node scratch = str->data3;
    if (scratch == 0 || !node_slot_used(scratch)) {
        scratch = alloc_bytes(bytes);
        str->data3 = scratch;
    } else {
        Series* s = node_series(scratch);
        if (s->size - s->head < bytes) expand_series_copy(s, bytes);
    }
    Series* s = node_series(scratch);
    return s->head_ptr();
}

// ---- Display width ----------------------------------------------------------------------------

bool codepoint_in_ranges(int32_t cp, const uint32_t* table, size_t entries) {
    if (entries < 2) return false;
    uint32_t c = uint32_t(cp);
    if (cp < 0 || c < table[0] || c > table[entries - 1]) return false;
    // binary search over the (low, high) pairs for the last low <= c
    size_t lo = 0, hi = entries / 2;
    while (hi - lo > 1) {
        size_t mid = (lo + hi) / 2;
        if (table[mid * 2] <= c) lo = mid;
        else hi = mid;
    }
    return c >= table[lo * 2] && c <= table[lo * 2 + 1];
}

RangeTable zero_width_table() {
    return {unicode_data::zero_width_ranges, std::size(unicode_data::zero_width_ranges)};
}
RangeTable wide_table() { return {unicode_data::wide_ranges, std::size(unicode_data::wide_ranges)}; }
RangeTable ambiguous_table() {
    return {unicode_data::ambiguous_ranges, std::size(unicode_data::ambiguous_ranges)};
}

int char_width_narrow(int32_t cp) {
    if (cp == 0) return 0;
    if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) return 1;
    if (codepoint_in_ranges(cp, unicode_data::zero_width_ranges,
                            std::size(unicode_data::zero_width_ranges)))
        return 0;
    if (codepoint_in_ranges(cp, unicode_data::wide_ranges, std::size(unicode_data::wide_ranges)))
        return 2;
    return 1;
}

int char_width(int32_t cp) {
    if (codepoint_in_ranges(cp, unicode_data::ambiguous_ranges,
                            std::size(unicode_data::ambiguous_ranges)))
        return 2;
    return char_width_narrow(cp);
}

} // namespace kel
