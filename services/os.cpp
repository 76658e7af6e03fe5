// The operating-system description (see os.h) and the `os-info` routine that returns it as an
// object: name string!, arch word!, version tuple!, build integer!.
#include "services/os.h"

#include "core/context.h"
#include "core/roots.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/block.h"
#include "datatypes/compound.h"
#include "datatypes/datatype.h"
#include "datatypes/function.h"
#include "datatypes/object.h"
#include "datatypes/string.h"
#include "datatypes/words.h"

#include <sys/utsname.h>

#include <climits>
#include <fstream>
#include <sstream>

namespace kel {

std::string os_release_pretty_name(std::string_view text) {
    static constexpr std::string_view key = "PRETTY_NAME=";
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.remove_suffix(1);
        if (line.substr(0, key.size()) != key) continue;
        std::string_view v = line.substr(key.size());
        std::string out;
        if (!v.empty() && (v.front() == '"' || v.front() == '\'')) {
            char quote = v.front();
            v.remove_prefix(1);
            for (size_t i = 0; i < v.size() && v[i] != quote; ++i) {
                // inside double quotes a backslash takes the next character as it is
                if (quote == '"' && v[i] == '\\' && i + 1 < v.size()) ++i;
                out += v[i];
            }
        } else {
            out.assign(v);
        }
        return out;
    }
    return {};
}

const char* os_arch_word(std::string_view m) {
    if (m == "x86_64" || m == "amd64") return "x86-64";
    if (m == "i386" || m == "i486" || m == "i586" || m == "i686") return "x86-32";
    if (m == "aarch64" || m == "arm64" || m == "aarch64_be") return "ARM64";
    if (m.substr(0, 3) == "arm") return "ARM";
    if (m == "ia64") return "IA-64";
    return "Unknown";
}

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The decimal number at the start of text (saturating at limit); pos moves past its digits.
int64_t leading_number(std::string_view text, size_t& pos, int64_t limit) {
    int64_t n = 0;
    while (pos < text.size() && is_digit(text[pos])) {
        n = n * 10 + (text[pos] - '0');
        if (n > limit) n = limit;
        ++pos;
    }
    return n;
}

} // namespace

KernelRelease os_parse_kernel_release(std::string_view release) {
    KernelRelease r;
    size_t pos = 0;
    for (int i = 0; i < 3; ++i) {
        if (pos >= release.size() || !is_digit(release[pos])) break;
        r.version[i] = uint8_t(leading_number(release, pos, 255));
        if (pos < release.size() && release[pos] == '.') ++pos;
        else break;
    }
    size_t dash = release.find('-');
    if (dash != std::string_view::npos) {
        size_t at = dash + 1;
        r.build = int32_t(leading_number(release, at, INT32_MAX));
    }
    return r;
}

OsInfo os_info_read() {
    OsInfo info;
    for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
        std::ifstream in(path);
        if (!in) continue;
        std::stringstream text;
        text << in.rdbuf();
        info.name = os_release_pretty_name(text.str());
        if (!info.name.empty()) break;
    }
    if (info.name.empty()) info.name = "Linux";
    struct utsname u;
    if (uname(&u) == 0) {
        info.arch = os_arch_word(u.machine);
        info.release = os_parse_kernel_release(u.release);
    }
    return info;
}

namespace {

// Appends `name: value` to the block on the data stack (the value is added by `add`).
template <class Add>
void add_field(Cell* block, const char* name, Add&& add) {
    Cell* w = word_make_in(symbol_make(name), block);
    set_cell_type(w, T_SET_WORD);
    add();
}

// os-info: a new object holding the running system's description.
void routine_os_info(bool, const int32_t*) {
    OsInfo info = os_info_read();
    Cell* base = g_stack.top;
    Cell* spec = block_push_only(8);
    add_field(spec, "name", [&] {
        string_load_in(info.name.data(), int32_t(info.name.size()), spec, TextEncoding::Utf8);
    });
    add_field(spec, "arch", [&] { word_make_in(symbol_make(info.arch), spec); });
    add_field(spec, "version", [&] {
        Cell t = make_tuple(info.release.version, 3);
        block_append_value(spec, &t);
    });
    add_field(spec, "build", [&] {
        Cell b = make_integer(info.release.build);
        block_append_value(spec, &b);
    });
    Cell* result = stack_push(g_none_cell);
    object_construct(result, spec, nullptr, true);
    *stack_arg(0) = *result;
    g_stack.top = base;
}

} // namespace

void os_info_init() {
    uint32_t index = routine_register("os-info", routine_os_info);
    Cell* base = g_stack.top;
    Cell* spec = block_push_only(1);
    static constexpr char doc[] = "Returns detailed operating system version information";
    string_load_in(doc, int32_t(sizeof doc - 1), spec, TextEncoding::Utf8);
    Cell* routine = routine_make(spec, nullptr, index, 0);
    Cell* word = word_push_symbol(symbol_make("os-info"));
    int32_t i = context_find_word(g_global_context, word->data2, false);
    if (i >= 0) *context_value_at(g_global_context, uint32_t(i)) = *routine;
    g_stack.top = base;
}

} // namespace kel
