// Console output primitives and output hooks.
//
// Output goes through one fixed 1024-byte buffer. Text of any unit width is encoded into it as
// UTF-8; whenever more than 1020 bytes are gathered the buffer is written out with write(2), and
// every write ends with a final flush, so nothing stays buffered between calls and a long text
// costs one system call per kilobyte. Short writes are continued, EINTR is retried, any other
// error drops the rest of that text silently (SIGPIPE is ignored process-wide, so a closed pipe
// is just such an error).
//
// Escape sequences are copied through like any other character: a terminal interprets them, a
// file keeps them. The console control operations produce the ANSI sequence that a terminal
// understands for the same effect, and only when the output is a terminal.
//
// The hook lists are plain arrays of function pointers that grow by five entries. The calling
// loops re-read the array on every step, so a hook may add hooks while it runs.
#include "core/output.h"

#include "core/runtime.h"
#include "core/unicode.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace kel {

namespace {

// ---- hook lists ----

[[noreturn]] [[gnu::noinline]] void no_memory() {
    runtime_quit(RT_OUT_OF_MEMORY, reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
}

template <class Fn>
struct HookList {
    Fn* items = nullptr;
    size_t count = 0;
    size_t capacity = 0;

    void reset(size_t cap) {
        std::free(items);
        items = static_cast<Fn*>(std::malloc(cap * sizeof(Fn)));
        if (!items) no_memory();
        count = 0;
        capacity = cap;
    }
    void add(Fn fn) {
        if (!items) reset(HOOKS_INITIAL_CAPACITY);
        if (count == capacity) {
            size_t cap = capacity + HOOKS_GROWTH;
            Fn* grown = static_cast<Fn*>(std::malloc(cap * sizeof(Fn)));
            if (!grown) no_memory();
            std::memcpy(grown, items, count * sizeof(Fn));
            std::free(items);
            items = grown;
            capacity = cap;
        }
        items[count++] = fn;
    }
    void remove(Fn fn) {
        for (size_t i = 0; i < count; ++i) {
            if (items[i] == fn) {
                std::memmove(items + i, items + i + 1, (count - i - 1) * sizeof(Fn));
                --count;
                return;
            }
        }
    }
};

HookList<ValueHook> g_value_hooks;
HookList<TextHook> g_text_hooks;

// ---- output state ----

int g_fd = STDOUT_FILENO;
bool g_console = false;
uint64_t g_write_calls = 0;
uint8_t g_buffer[OUTPUT_BUFFER_SIZE];
size_t g_pos = 0;

int32_t g_attribute = ATTR_INITIAL;
int32_t g_default_attribute = ATTR_INITIAL;

constexpr uint32_t REPLACEMENT_CHAR = 0xFFFD;

[[noreturn]] [[gnu::noinline]] void fatal_unit() {
    runtime_quit(RT_NO_SWITCH, reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
}

// Appends a code point as UTF-8. Surrogates (a lone half of a UTF-16 pair, or one held in UCS-4
// text) and values beyond U+10FFFF are written as U+FFFD, so the output stays valid UTF-8.
inline void put_code_point_unflushed(uint32_t cp) {
    if (cp < 0x80) {
        g_buffer[g_pos++] = uint8_t(cp);
        return;
    }
    if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) cp = REPLACEMENT_CHAR;
    g_pos += size_t(utf8_encode_char(int32_t(cp), g_buffer + g_pos));
}

void write_all(const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t done = ::write(g_fd, p, n);
        ++g_write_calls;
        if (done < 0) {
            if (errno == EINTR) continue;
            return;  // the text is lost; nothing is reported
        }
        if (done == 0) return;
        p += done;
        n -= size_t(done);
    }
}

inline void flush() {
    if (g_pos == 0) return;
    size_t n = g_pos;
    g_pos = 0;
    write_all(g_buffer, n);
}

inline void put_code_point(uint32_t cp) {
    put_code_point_unflushed(cp);
    if (g_pos > OUTPUT_FLUSH_AT) flush();
}

// Copies bytes into the buffer as they are, writing every time more than OUTPUT_FLUSH_AT bytes
// are gathered.
void put_bytes(const void* text, size_t n) {
    const uint8_t* p = static_cast<const uint8_t*>(text);
    while (n > 0) {
        size_t room = OUTPUT_FLUSH_AT + 1 - g_pos;
        size_t k = n < room ? n : room;
        std::memcpy(g_buffer + g_pos, p, k);
        g_pos += k;
        p += k;
        n -= k;
        if (g_pos > OUTPUT_FLUSH_AT) flush();
    }
}

inline void emit(const char* s, size_t n) {
    put_bytes(s, n);
    flush();
}

void write_latin1(const uint8_t* s, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        uint8_t c = s[i];
        if (c < 0x80) {
            g_buffer[g_pos++] = c;
        } else {
            g_buffer[g_pos++] = uint8_t(0xC0 | (c >> 6));
            g_buffer[g_pos++] = uint8_t(0x80 | (c & 0x3F));
        }
        if (g_pos > OUTPUT_FLUSH_AT) flush();
    }
}

// UTF-16: a high surrogate followed by a low one is one code point; a lone surrogate is U+FFFD.
void write_utf16(const uint8_t* s, size_t units) {
    for (size_t i = 0; i < units; ++i) {
        uint16_t u;
        std::memcpy(&u, s + 2 * i, 2);
        uint32_t cp = u;
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
            uint16_t low;
            std::memcpy(&low, s + 2 * (i + 1), 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                cp = 0x10000 + ((uint32_t(u) - 0xD800) << 10) + (uint32_t(low) - 0xDC00);
                ++i;
            }
        }
        put_code_point(cp);
    }
}

void write_ucs4(const uint8_t* s, size_t units) {
    for (size_t i = 0; i < units; ++i) {
        uint32_t cp;
        std::memcpy(&cp, s + 4 * i, 4);
        put_code_point(cp);
    }
}

// Writes the characters of a formatted number and hands them to the text hooks as bytes.
void print_number(const char* format, ...) __attribute__((format(printf, 1, 2)));
void print_number(const char* format, ...) {
    char digits[64];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(digits, sizeof digits, format, args);
    va_end(args);
    if (n < 0) return;
    size_t len = size_t(n) < sizeof digits ? size_t(n) : sizeof digits - 1;
    emit(digits, len);
    hooks_call_print(digits, int64_t(len), 0);
}

// ANSI colour index (red 1, green 2, blue 4) of the console colour bits (blue 1, green 2, red 4).
inline int ansi_colour(int32_t bits) {
    return ((bits & 4) >> 2) | (bits & 2) | ((bits & 1) << 2);
}

} // namespace

// ---- hooks ----

void hooks_init() {
    g_value_hooks.reset(HOOKS_INITIAL_CAPACITY);
    g_text_hooks.reset(HOOKS_INITIAL_CAPACITY);
}

void hooks_add(ValueHook value_hook, TextHook text_hook) {
    if (value_hook) g_value_hooks.add(value_hook);
    if (text_hook) g_text_hooks.add(text_hook);
}

void hooks_remove(ValueHook value_hook, TextHook text_hook) {
    if (value_hook) g_value_hooks.remove(value_hook);
    if (text_hook) g_text_hooks.remove(text_hook);
}

void hooks_call(const Cell* value, bool newline) {
    for (size_t i = 0; i < g_value_hooks.count; ++i) g_value_hooks.items[i](value, newline);
}

void hooks_call_print(const void* text, int64_t length, int unit) {
    for (size_t i = 0; i < g_text_hooks.count; ++i) g_text_hooks.items[i](text, length, unit);
}

HookListInfo value_hooks_info() { return {g_value_hooks.count, g_value_hooks.capacity}; }
HookListInfo text_hooks_info() { return {g_text_hooks.count, g_text_hooks.capacity}; }

// ---- writers ----

void console_detect() { g_console = ::isatty(g_fd) == 1; }

bool output_is_console() { return g_console; }

int output_set_fd(int fd) {
    flush();
    int previous = g_fd;
    g_fd = fd;
    console_detect();
    return previous;
}

int output_fd() { return g_fd; }

uint64_t output_write_count() { return g_write_calls; }

void output_write_text(const void* text, size_t length_bytes, int unit, bool newline) {
    const uint8_t* s = static_cast<const uint8_t*>(text);
    switch (unit) {
    case 1: write_latin1(s, length_bytes); break;
    case 2: write_utf16(s, length_bytes / 2); break;
    case 4: write_ucs4(s, length_bytes / 4); break;
    default: fatal_unit();
    }
    if (newline) {
        g_buffer[g_pos++] = '\n';
    }
    flush();
}

void console_write_unit(uint32_t unit) {
    put_code_point(unit);
    flush();
}

const char* print_cstring(const char* text) {
    size_t n = std::strlen(text);
    emit(text, n);
    hooks_call_print(text, int64_t(n), 0);
    return text;
}

void print_integer(int32_t value) { print_number("%i", value); }
void print_hex_byte(int32_t value) { print_number("%02X", unsigned(value)); }
void print_hex_dword(int32_t value) { print_number("%08X", unsigned(value)); }
void print_float(double value) { print_number("%.16g", value); }
void print_float32(float value) { print_number("%.7g", double(value)); }

// ---- console control ----

void console_save_default_attribute() { g_default_attribute = g_attribute; }
int32_t console_default_attribute() { return g_default_attribute; }
int32_t console_current_attribute() { return g_attribute; }

void console_save_cursor() {
    if (g_console) emit("\x1b[s", 3);
}

void console_set_cursor(int column, int row) {
    if (!g_console) return;
    if (column < 0) column = 0;
    if (row < 0) row = 0;
    char seq[32];
    int n = std::snprintf(seq, sizeof seq, "\x1b[%ld;%ldH", long(row) + 1, long(column) + 1);
    emit(seq, size_t(n));
}

size_t console_attribute_sgr(int32_t attribute, char* out) {
    if (attribute == g_default_attribute) {
        std::memcpy(out, "\x1b[0m", 4);
        return 4;
    }
    size_t n = 0;
    auto put = [&](const char* s) { while (*s) out[n++] = *s++; };
    auto put_number = [&](int v) {
        char digits[8];
        int k = std::snprintf(digits, sizeof digits, ";%d", v);
        std::memcpy(out + n, digits, size_t(k));
        n += size_t(k);
    };
    put("\x1b[0");
    int32_t fg = attribute & 0x0F;
    int32_t bg = (attribute >> 4) & 0x0F;
    if (fg != (g_default_attribute & 0x0F))
        put_number(((fg & ATTR_FG_INTENSE) ? 90 : 30) + ansi_colour(fg));
    if (bg != ((g_default_attribute >> 4) & 0x0F))
        put_number(((bg & 0x8) ? 100 : 40) + ansi_colour(bg));  // bg nibble: bit 3 intensity
    if (attribute & ATTR_UNDERSCORE) put(";4");
    put("m");
    return n;
}

void console_set_attribute(int32_t attribute) {
    g_attribute = attribute;
    if (!g_console) return;
    char seq[32];
    emit(seq, console_attribute_sgr(attribute, seq));
}

void console_clear(int mode) {
    if (!g_console) return;
    // Erased cells take the current colours on a terminal: switch to the default attribute for
    // the erase and back afterwards.
    const char* erase;
    switch (mode) {
    case 0: erase = "\x1b[2K\x1b[J"; break;
    case 1: erase = "\x1b[1J"; break;
    case 2: erase = "\x1b[2J\x1b[H"; break;
    case 3: erase = "\x1b[2K\x1b[1G"; break;
    case 4: erase = "\x1b[K"; break;
    case 5: erase = "\x1b[1K\x1b[1G"; break;
    default: return;
    }
    bool recolour = g_attribute != g_default_attribute;
    if (recolour) put_bytes("\x1b[0m", 4);
    put_bytes(erase, std::strlen(erase));
    if (recolour) {
        char seq[32];
        put_bytes(seq, console_attribute_sgr(g_attribute, seq));
    }
    flush();
}

int32_t console_sgr_attribute(int32_t attribute, int code) {
    static constexpr int32_t fg_bits[8] = {0, 4, 2, 6, 1, 5, 3, 7};
    if (attribute == -1) attribute = g_attribute;
    if (code == 0) return g_default_attribute;
    if (code == 1) return attribute | 0x88;
    if (code == 4) return attribute | ATTR_UNDERSCORE;
    if (code == 7) return ((attribute & 0x0F) << 4) | ((attribute & 0xF0) >> 4);
    if (code >= 30 && code <= 37) return (attribute & 0xF8) + fg_bits[code - 30];
    if (code == 39) return attribute | 0x08;
    if (code >= 40 && code <= 47) return (attribute & 0x8F) + (fg_bits[code - 40] << 4);
    if (code == 49) return attribute | 0x80;
    return attribute;
}

size_t console_escape(const void* text, size_t length_bytes, int unit) {
    if (unit == 0) unit = 1;
    if (unit != 1 && unit != 2 && unit != 4) return 0;
    const uint8_t* s = static_cast<const uint8_t*>(text);
    size_t units = length_bytes / size_t(unit);
    auto at = [&](size_t i) -> uint32_t {
        if (unit == 1) return s[i];
        if (unit == 2) {
            uint16_t u;
            std::memcpy(&u, s + 2 * i, 2);
            return u;
        }
        uint32_t u;
        std::memcpy(&u, s + 4 * i, 4);
        return u;
    };
    if (units < 2 || at(0) != 27 || at(1) != '[') return 0;
    // Digits and ";" carry the parameters; the first other character is the final one.
    for (size_t i = 2; i < units; ++i) {
        uint32_t c = at(i);
        if ((c >= '0' && c <= '9') || c == ';') continue;
        return (i + 1) * size_t(unit);
    }
    return 0;
}

} // namespace kel
