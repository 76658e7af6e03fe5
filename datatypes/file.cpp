// file!: a string that names a file, written in the language's own notation.
//
// On Linux that notation is the POSIX path itself (forward slashes, "/" the root), so the
// operating system's form of a file name is its text in UTF-8; a relative name gets the current
// directory in front only when a full path is asked for. A name holding NUL cannot reach the
// operating system: it is refused rather than cut short.
//
// mold writes "%" and the name bare when the lexer reads it back as one file token, and otherwise
// between double quotes, with caret escapes for the caret, the double quote and control
// characters. Characters at or above 0x7F are written as they are.
//
// The cell, the buffer and the series actions are string!'s; make, to, form, path access and
// compare come from url!. The I/O actions check their arguments and hand the work to the services
// registered in g_file_io.
#include "datatypes/file.h"

#include "core/errors.h"
#include "core/roots.h"
#include "core/stack.h"
#include "core/unicode.h"
#include "datatypes/string.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <vector>

namespace kel {

namespace {

// Characters that make mold write the name in quotes: those outside the URL set, and those that
// end an unquoted file token.
bool needs_quotes(uint32_t c) {
    if (c >= 0x7F) return false;
    return !url_char_safe(c) || c == '(' || c == ')' || c == ':' || c == '@';
}

int32_t file_mold(const Cell* value, Cell* buffer, bool, bool, bool, bool part, int32_t budget, int32_t) {
    Rooted v(*value);
    string_rs_head(v.get());   // the head is clipped to the tail
    int32_t len = string_rs_length(v.get());
    if (part) len = std::clamp(budget, 0, len);
    // the characters first: the buffer grows (and moves) while the text is written
    std::vector<uint32_t> chars(static_cast<size_t>(len));
    {
        Series* s = value_series(v.get());
        uint32_t unit = s->unit();
        const uint8_t* p = s->head_ptr() + uint64_t(series_index(v.get())) * unit;
        for (int32_t i = 0; i < len; ++i, p += unit) chars[size_t(i)] = unit_get(p, unit);
    }
    Series* s = string_append_char(value_series(buffer), '%');
    int32_t written = 1;
    if (string_rs_length(v.get()) == 0) {
        s = string_append_char(s, '"');
        string_append_char(s, '"');
        return budget - 3;
    }
    bool quoted = std::any_of(chars.begin(), chars.end(), needs_quotes);
    if (!quoted) {
        for (uint32_t c : chars) s = string_append_char(s, c);
        return budget - (written + len);
    }
    static const char digits[] = "0123456789ABCDEF";
    s = string_append_char(s, '"');
    ++written;
    for (uint32_t c : chars) {
        if (c == '^') {
            s = string_append_char(string_append_char(s, '^'), '^');
            written += 2;
        } else if (c == '\n') {
            s = string_append_char(string_append_char(s, '^'), '/');
            written += 2;
        } else if (c == '"' || c < 0x20) {
            s = string_append_char(string_append_char(s, '^'), '(');
            s = string_append_char(string_append_char(s, uint8_t(digits[c >> 4])), uint8_t(digits[c & 15]));
            s = string_append_char(s, ')');
            written += 5;
        } else {
            s = string_append_char(s, c);
            ++written;
        }
    }
    string_append_char(s, '"');
    return budget - (written + 1);
}

[[noreturn]] void not_done() { fire_error(Err::NotDone); }

PortFn service(PortFn fn) {
    if (!fn) not_done();
    return fn;
}

void file_delete(Cell* file, const Cell*, const PortOpts& opts) { service(g_file_io.delete_file)(file, nullptr, opts); }
void file_query(Cell* file, const Cell*, const PortOpts& opts) { service(g_file_io.query_file)(file, nullptr, opts); }
void file_rename(Cell* file, const Cell* to, const PortOpts& opts) { service(g_file_io.rename_file)(file, to, opts); }

void file_read(Cell* file, const Cell*, const PortOpts& opts) {
    if (opts.as) not_done();
    service(g_file_io.read_file)(file, nullptr, opts);
}

void file_write(Cell* file, const Cell* value, const PortOpts& opts) {
    if (opts.allow || opts.as) not_done();
    service(g_file_io.write_file)(file, value, opts);
    *file = make_unset();
}

} // namespace

std::string file_current_dir_text() {
    std::vector<char> buf(PATH_MAX);
    while (!getcwd(buf.data(), buf.size())) {
        if (errno != ERANGE || buf.size() > (1u << 20)) return "./";   // no current directory
        buf.resize(buf.size() * 2);
    }
    std::string dir(buf.data());
    if (dir.empty() || dir.back() != '/') dir.push_back('/');
    return dir;
}

Cell* file_get_current_dir() {
    std::string dir = file_current_dir_text();
    return string_load_push(dir.data(), int32_t(dir.size()), TextEncoding::Utf8);
}

Cell* file_push(const Cell* file) { return stack_push(file); }

void file_to_local_path(const Cell* file, Cell* target, bool full) {
    Rooted f(*file);
    string_rs_head(f.get());
    bool absolute = string_rs_length(f.get()) > 0 && string_rs_abs_char(f.get(), series_index(f.get())) == '/';
    if (full && !absolute) {
        std::string dir = file_current_dir_text();
        Cell* d = string_load_push(dir.data(), int32_t(dir.size()), TextEncoding::Utf8);
        string_concatenate(target, d, -1, 0, true, 0);
        stack_pop();
    }
    string_concatenate(target, f.get(), -1, 0, true, 0);
}

std::string file_to_os_path(const Cell* file) {
    Cell f = *file;
    string_rs_head(&f);
    if (string_find_char(&f, 0) >= 0) fire_error(Err::InvalidArg, file);
    return string_utf8(&f);
}

void file_init() {
    ActionEntries e = action_entries(INHERIT);
    for (Action a : {A_RANDOM, A_REFLECT, A_ABSOLUTE, A_ADD, A_DIVIDE, A_MULTIPLY, A_NEGATE, A_POWER,
                     A_REMAINDER, A_ROUND, A_SUBTRACT, A_EVEN_Q, A_ODD_Q, A_AND, A_COMPLEMENT, A_OR,
                     A_XOR, A_PUT, A_SORT, A_TRIM, A_CREATE, A_CLOSE, A_OPEN, A_OPEN_Q, A_UPDATE})
        e[a - 1] = UNSUPPORTED;
    set_entry<A_MOLD>(e, file_mold);
    set_entry<A_DELETE>(e, file_delete);
    set_entry<A_QUERY>(e, file_query);
    set_entry<A_READ>(e, file_read);
    set_entry<A_RENAME>(e, file_rename);
    set_entry<A_WRITE>(e, file_write);
    register_datatype(T_FILE, T_URL, "file!", e);
}

} // namespace kel
