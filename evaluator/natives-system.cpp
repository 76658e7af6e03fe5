// Natives that reach the operating system: wait, recycle, browse, call, now, to-local-file,
// size?, set-env, get-env and list-env.
//
// Environment names and values are UTF-8. A name that is empty or holds "=" or NUL, or a value
// holding NUL, would reach another variable than the one named (or a truncated one): such a
// set-env sets nothing, and get-env of such a name gives none.
//
// browse starts the desktop's opener (xdg-open) with the text as its only argument, never through
// a shell, with its standard streams on /dev/null; it is reaped, so no zombie is
// left. Its failures are not reported.
#include "core/errors.h"
#include "core/gc.h"
#include "core/memory.h"
#include "core/platform.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/unicode.h"
#include "datatypes/date.h"
#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/file.h"
#include "datatypes/map.h"
#include "datatypes/scalars.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "services/process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <optional>
#include <string>

extern char** environ;

namespace kel {

void (*g_gui_loop_turn)() = nullptr;

namespace {

inline Cell* arg(uint32_t i) { return stack_arg(i); }
inline Cell* ref(const int32_t* r, uint32_t i) { return r[i] >= 0 ? arg(uint32_t(r[i])) : nullptr; }
inline bool flag(const int32_t* r, uint32_t i) { return r[i] >= 0; }

// The UTF-8 text of a string-kind value from its index, or of a word's spelling. nullopt when the
// text holds NUL.
std::optional<std::string> text_of(Cell* v) {
    if (is_any_word(v->type())) {
        uint32_t n = 0;
        const uint8_t* name = symbol_name(v->data2, &n);
        return std::string(reinterpret_cast<const char*>(name), n);
    }
    int32_t count = -1;
    const char* p = string_to_utf8(v, &count);
    std::string s(p, size_t(count));
    if (s.find('\0') != std::string::npos) return std::nullopt;
    return s;
}

// A new string! on the data stack from UTF-8 bytes; bytes that are not UTF-8 become U+FFFD.
Cell* push_text(const char* text, size_t length) {
    Cell* s = string_load_push("", 0, TextEncoding::Utf8);
    string_append_utf8(s, reinterpret_cast<const uint8_t*>(text), length);
    return s;
}

bool usable_env_name(const std::optional<std::string>& name) {
    return name && !name->empty() && name->find('=') == std::string::npos;
}

// wait: an integer! or float! of seconds or a time!; then one turn of the GUI loop when there is one.
// Ctrl-C ends the sleep and halts.
void native_wait(bool, const int32_t*) {
    Cell* v = arg(0);
    double seconds;
    switch (v->type()) {
    case T_INTEGER: seconds = integer_get_cell(v); break;
    case T_FLOAT: case T_TIME: seconds = v->get_float(); break;
    default: fire_error(Err::InvalidArg, v);
    }
    os_sleep(seconds);
    interp_poll_halt();   // a halt that cut the sleep short stops the evaluation here
    if (g_gui_loop_turn) g_gui_loop_turn();
    Cell none = make_none();
    stack_set_result(&none);
}

// recycle: a full collection and the memory still in use; /on and /off switch collection.
void native_recycle(bool, const int32_t* r) {
    if (flag(r, 0) || flag(r, 1)) {
        g_collector_enabled = flag(r, 0);
        Cell unset = make_unset();
        stack_set_result(&unset);
        return;
    }
    collector_cycle();
    double bytes = memory_stats(nullptr, 1);
    Cell v = bytes > 2147483647.0 ? make_float(bytes) : make_integer(int32_t(bytes));
    stack_set_result(&v);
}

void native_browse(bool, const int32_t*) {
    std::optional<std::string> text = text_of(arg(0));
    if (text) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        for (int fd = 0; fd < 3; ++fd)
            posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
        char program[] = "xdg-open";
        char* argv[] = {program, text->data(), nullptr};
        pid_t pid;
        if (posix_spawnp(&pid, program, &actions, nullptr, argv, environ) == 0) reap_child_later(pid);
        posix_spawn_file_actions_destroy(&actions);
    }
    Cell unset = make_unset();
    stack_set_result(&unset);
}

void native_set_env(bool, const int32_t*) {
    std::optional<std::string> name = text_of(arg(0));
    Cell* value = arg(1);
    if (usable_env_name(name)) {
        if (value->is(T_NONE)) {
            os_unset_env(*name);
        } else if (std::optional<std::string> text = text_of(value)) {
            os_set_env(*name, *text);
        }
    }
    Cell result = *value;
    stack_set_result(&result);
}

void native_get_env(bool, const int32_t*) {
    std::optional<std::string> name = text_of(arg(0));
    std::optional<std::string> value;
    if (usable_env_name(name)) value = os_get_env(*name);
    if (!value) {
        Cell none = make_none();
        stack_set_result(&none);
        return;
    }
    stack_set_result(push_text(value->data(), value->size()));
}

// call: a file! or string! command; /input from a string or binary (from its position) or a
// file; /output and /error into a string or binary (inserted at its position) or appended to a
// file.
CallStream call_stream(Cell* target, bool input) {
    CallStream s;
    if (!target) return s;
    switch (target->type()) {
    case T_FILE:
        if (std::optional<std::string> path = text_of(target)) s.path = *path;
        else fire_error(Err::InvalidArg, target);   // a path holding NUL names no file
        s.kind = CallStream::Kind::File;
        break;
    case T_STRING:
        if (input) {
            s.kind = CallStream::Kind::Bytes;
            int32_t count = -1;
            const char* p = string_to_utf8(target, &count);
            s.bytes.assign(p, size_t(count));
        } else {
            s.kind = CallStream::Kind::Capture;
        }
        break;
    case T_BINARY:
        if (input) {
            s.kind = CallStream::Kind::Bytes;
            s.bytes.assign(reinterpret_cast<const char*>(binary_rs_head(target)), size_t(binary_rs_length(target)));
        } else {
            s.kind = CallStream::Kind::Capture;
        }
        break;
    default: fire_error(Err::InvalidArg, target);
    }
    return s;
}

// Captured output text: UTF-8 without a leading byte-order mark, CR LF as LF.
std::string captured_text(const std::string& bytes) {
    size_t from = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    std::string text;
    text.reserve(bytes.size() - from);
    for (size_t i = from; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
        text += bytes[i];
    }
    return text;
}

// Captured bytes go into a binary as they are, into a string as text.
void insert_captured(Cell* target, const std::string& bytes) {
    if (bytes.empty()) return;
    if (target->is(T_BINARY)) {
        Cell* b = binary_load(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        insert_typed(target, b, -1, false, 1, false);
        stack_pop();
        return;
    }
    std::string text = captured_text(bytes);
    Cell* s = string_load_push("", 0, TextEncoding::Utf8);
    string_append_utf8(s, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    insert_typed(target, s, -1, false, 1, false);
    stack_pop();
}

void native_call(bool, const int32_t* r) {
    if (flag(r, 2)) fire_error(Err::NotDone);   // /console
    Cell* input = ref(r, 4);
    Cell* output = ref(r, 5);
    Cell* error = ref(r, 6);
    std::optional<std::string> command = text_of(arg(0));
    if (!command) fire_error(Err::InvalidArg, arg(0));
    CallStream in = call_stream(input, true), out = call_stream(output, false), err = call_stream(error, false);
    CallResult result = call_process(*command, flag(r, 0), flag(r, 3), in, out, err);
    if (result.halted) interp_halt();
    if (out.kind == CallStream::Kind::Capture) insert_captured(output, out.bytes);
    if (err.kind == CallStream::Kind::Capture) insert_captured(error, err.bytes);
    Cell v = make_integer(int32_t(result.value));
    stack_set_result(&v);
}

void native_to_local_file(bool, const int32_t* r) {
    Cell* s = string_load_push("", 0, TextEncoding::Utf8);
    file_to_local_path(arg(0), s, flag(r, 0));
    stack_set_result(s);
}

// size?: none for a directory (by its spelling or by what it is) and for a file that cannot be
// opened; sizes above 2147483647 bytes are float!s. The open does not block, so a FIFO without a
// writer answers at once.
void native_size_q(bool, const int32_t*) {
    Cell result = make_none();
    std::string path = file_to_os_path(arg(0));
    bool dir_spelling = path == "." || path == ".." || (!path.empty() && path.back() == '/');
    if (!dir_spelling) {
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        struct stat st;
        if (fd >= 0 && fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode)) {
            double size = double(st.st_size);
            result = size > 2147483647.0 ? make_float(size) : make_integer(int32_t(st.st_size));
        }
        if (fd >= 0) close(fd);
    }
    stack_set_result(&result);
}

// now: the current date, time and zone from the system clock, or one field of it.
void native_now(bool, const int32_t* r) {
    enum { YEAR, MONTH, DAY, TIME, ZONE, DATE, WEEKDAY, YEARDAY, PRECISE, UTC };
    int given = 0;
    for (int i = YEAR; i <= PRECISE; ++i) given += flag(r, i);
    if (given > 1 && !(given == 2 && flag(r, TIME) && flag(r, PRECISE))) fire_error(Err::BadRefines);
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    tm utc{}, local{};
    gmtime_r(&ts.tv_sec, &utc);
    long offset = 0;
    if (!flag(r, UTC)) {
        tzset();   // the zone follows TZ as it is now
        localtime_r(&ts.tv_sec, &local);
        offset = local.tm_gmtoff;
    }
    Cell* date = stack_push(g_none_cell);
    date_from_utc_fields(date, utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                         utc.tm_sec, flag(r, PRECISE) ? ts.tv_nsec : 0);
    // the same instant in the local zone
    uint32_t zone = date_zone_bits(int32_t(offset / 60));
    double time = date_time(date);
    int64_t days = date_normalize_time(date_to_days(date_word(date)), &time, zone);
    date_set(date, days_to_date(days, zone, true), time);
    static const char* const k_fields[] = {"year", "month", "day", "zone", "time", "weekday", "yearday"};
    static const int k_refinements[] = {YEAR, MONTH, DAY, ZONE, TIME, WEEKDAY, YEARDAY};
    if (flag(r, DATE)) {
        date_set(date, date_word(date) & ~DATE_HAS_TIME, 0.0);
    } else {
        for (int i = 0; i < 7; ++i) {
            if (!flag(r, k_refinements[i])) continue;
            Cell field{T_WORD, 0, symbol_make(k_fields[i]), 0};
            pick_typed(date, &field);
            break;
        }
    }
    stack_set_result(date);
}

// list-env: every variable of the process, names as keys (case-sensitive: FOO and foo both
// stay). The first "=" that is not an entry's first character ends its name.
void native_list_env(bool, const int32_t*) {
    Cell* map = stack_push(g_none_cell);
    Cell* pairs = block_push_only(0);
    map_from_block(map, series_node(pairs), pairs);
    stack_pop();
    for (char** entry = environ; entry && *entry; ++entry) {
        const char* e = *entry;
        const char* eq = std::strchr(e + (e[0] ? 1 : 0), '=');
        size_t name_length = eq ? size_t(eq - e) : std::strlen(e);
        Cell* key = push_text(e, name_length);
        Cell* value = eq ? push_text(eq + 1, std::strlen(eq + 1)) : push_text("", 0);
        map_put(map, key, value, true);
        stack_pop(2);
    }
    stack_set_result(map);
}

} // namespace

void natives_system_register() {
    KEL_NATIVE_SLOT("list-env", native_list_env);
    KEL_NATIVE_SLOT("now", native_now);
    KEL_NATIVE_SLOT("to-local-file", native_to_local_file);
    KEL_NATIVE_SLOT("size?", native_size_q);
    KEL_NATIVE_SLOT("call", native_call);
    KEL_NATIVE_SLOT("wait", native_wait);
    KEL_NATIVE_SLOT("recycle", native_recycle);
    KEL_NATIVE_SLOT("browse", native_browse);
    KEL_NATIVE_SLOT("set-env", native_set_env);
    KEL_NATIVE_SLOT("get-env", native_get_env);
}

} // namespace kel
