// The top level: environment start-up, the text-mode console and the script runner.
//
// Start-up: the boot image (services/kelbin.h) is decoded into the root block, which defines the
// datatype words and adds one block per environment source; none/true/false and the typesets are
// set from C++, `make` is made from its spec, then the source blocks are evaluated in order; the error catalogue's value goes into
// system/catalog/errors and the command line, the current folder and the cache folder into the
// system object. No try frame is open meanwhile: a start-up error ends the process with its
// report on stderr and a non-zero status.
//
// The console reads lines from standard input. Lines are gathered while a block, paren or braced
// string is left open (the prompt becomes the open delimiter and four blanks); a complete input
// is scanned, evaluated inside try/all and a catch named `console`, and its value printed as
// "== " and its mold (a float! formed), cut to the console width ($COLUMNS or 80). An error
// prints its report and an empty line; Ctrl-C stops an evaluation with "(halted)"; the end of
// input ends the process with status 0.
//
// A script named on the command line must have a `Kel [...]` header; it runs in its own folder
// with its arguments in system/script/args, and ends the process when it returns: status 0, or
// 254 after an error (its report is printed).
#include "core/console.h"

#include "core/context.h"
#include "core/errors.h"
#include "core/output.h"
#include "core/roots.h"
#include "core/runtime.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/datatype.h"
#include "datatypes/function.h"
#include "datatypes/handle.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"
#include "evaluator/interpreter.h"
#include "evaluator/lexer.h"
#include "services/kelbin.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace kel {

namespace {

// ---- Values from C++ --------------------------------------------------------------------------

void set_global(const char* name, const Cell& value) {
    Cell w = *context_global_word(symbol_make(name));
    context_put_word_value(g_global_context, &w, &value);
}

const Cell* get_global(const char* name) {
    Cell w = *context_global_word(symbol_make(name));
    if (int32_t(w.data3) < 0) return &g_unset_cell;
    return word_value_in(&w, g_global_context);
}

// The slot of an object's field, or null (no allocation).
Cell* object_field(const Cell* object, const char* name) {
    if (!object->is(T_OBJECT)) return nullptr;
    int32_t i = context_find_word(object->data1, symbol_make(name), true);
    return i < 0 ? nullptr : context_value_at(object->data1, uint32_t(i));
}

void set_system_field(const char* path1, const char* path2, const Cell& value) {
    Rooted v(value);
    Cell sys = *get_global("system");
    Cell* slot = object_field(&sys, path1);
    if (!slot) return;
    if (path2) {
        Cell sub = *slot;
        slot = object_field(&sub, path2);
        if (!slot) return;
    }
    *slot = v.value;
}

// Scans UTF-8 text into a new block (load mode); the text must not lie in a series buffer.
void load_text(Cell* result, const char* text, size_t length) {
    LexerCall call;
    lexer_scan(result, reinterpret_cast<const uint8_t*>(text), uint32_t(length), call);
}

// Evaluates a block at the top level; its value is left in *result.
void eval_top(const Cell* block, Cell* result) {
    Cell* base = g_stack.top;
    eval(block, false);
    *result = *stack_top();
    g_stack.top = base;
}

Cell string_from_utf8(const std::string& s) {
    Rooted str(make_unset());
    string_load(s.data(), int32_t(s.size()), str.get(), TextEncoding::Utf8);
    return str.value;
}

// ---- Typesets -------------------------------------------------------------------------------

void make_typesets() {
    struct Def {
        const char* name;
        std::initializer_list<TypeId> types;
    };
    static const Def defs[] = {
        {"internal!", {T_UNSET, T_FLOAT, T_SYMBOL, T_CONTEXT, T_OP, T_NATIVE, T_ACTION, T_FUNCTION,
                       T_ROUTINE, T_HANDLE, T_EVENT}},
        {"external!", {T_OBJECT, T_PORT, T_IMAGE}},
        {"number!", {T_INTEGER, T_FLOAT, T_PERCENT}},
        {"any-point!", {T_POINT2D, T_POINT3D}},
        {"any-word!", {T_WORD, T_SET_WORD, T_GET_WORD, T_LIT_WORD}},
        {"all-word!", {T_WORD, T_SET_WORD, T_GET_WORD, T_LIT_WORD, T_REFINEMENT, T_ISSUE}},
        {"any-list!", {T_BLOCK, T_PAREN, T_HASH}},
        {"any-path!", {T_PATH, T_SET_PATH, T_GET_PATH, T_LIT_PATH}},
        {"any-block!", {T_BLOCK, T_PAREN, T_HASH, T_PATH, T_SET_PATH, T_GET_PATH, T_LIT_PATH}},
        {"any-function!", {T_NATIVE, T_ACTION, T_OP, T_FUNCTION, T_ROUTINE}},
        {"any-object!", {T_OBJECT, T_ERROR, T_PORT}},
        {"any-string!", {T_STRING, T_FILE, T_URL, T_TAG, T_EMAIL, T_REF}},
        {"series!", {T_BLOCK, T_PAREN, T_HASH, T_PATH, T_SET_PATH, T_GET_PATH, T_LIT_PATH,
                     T_STRING, T_FILE, T_URL, T_TAG, T_EMAIL, T_REF, T_BINARY, T_VECTOR, T_IMAGE}},
        {"immediate!", {T_DATATYPE, T_NONE, T_LOGIC, T_CHAR, T_INTEGER, T_FLOAT, T_WORD,
                        T_SET_WORD, T_LIT_WORD, T_GET_WORD, T_REFINEMENT, T_ISSUE, T_TYPESET,
                        T_PAIR, T_PERCENT, T_TUPLE, T_TIME, T_DATE, T_HANDLE, T_MONEY,
                        T_POINT2D, T_POINT3D}},
        {"scalar!", {T_CHAR, T_INTEGER, T_FLOAT, T_PAIR, T_PERCENT, T_TUPLE, T_TIME, T_DATE,
                     T_MONEY, T_POINT2D, T_POINT3D}},
    };
    for (const Def& d : defs) {
        Cell ts{T_TYPESET, 0, 0, 0};
        for (TypeId t : d.types) typeset_add(&ts, t);
        set_global(d.name, ts);
    }
    Cell any{T_TYPESET, 0, 0, 0};
    for (uint32_t t = 1; t <= T_MAX_REGISTERED; ++t)
        if (t != T_SERIES && t != T_SYMBOL && t != T_CONTEXT) typeset_add(&any, t);
    set_global("any-type!", any);
    Cell def = any;
    reinterpret_cast<uint8_t*>(&def.data1)[T_UNSET >> 3] &= uint8_t(~(0x80u >> (T_UNSET & 7)));
    set_global("default!", def);
}

} // namespace

void environment_init() {
    g_root_collect = false;   // from here on the collector may run at any allocation
    // the boot image defines the datatype words and holds one block per environment source
    size_t image_size = 0, source_count = 0;
    const char* const* source_names = nullptr;
    const uint8_t* image = kelbin_boot_image(&image_size, &source_names, &source_count);
    uint32_t base = kelbin_boot(image, image_size);
    set_global("none", make_none());
    set_global("true", make_logic(true));
    set_global("false", make_logic(false));
    {
        Cell null_handle;
        handle_set(&null_handle, HANDLE_NONE, 0);
        set_global("null-handle", null_handle);
    }
    make_typesets();

    // `make` first: every other definition is made by it.
    {
        static const char make_spec[] = "[type [any-type!] spec [any-type!]]";
        Rooted spec(make_unset());
        load_text(spec.get(), make_spec, sizeof make_spec - 1);
        Rooted inner(*value_series(spec.get())->cell_at(0));
        action_make(inner.get(), A_MAKE);
        set_global("make", *stack_top());
        g_stack.top = g_stack.arguments;
    }

    Rooted catalog(make_none());
    for (size_t i = 0; i < source_count; ++i) {
        Rooted block(*boot_cell(base + uint32_t(i)));
        Rooted result(make_unset());
        eval_top(block.get(), result.get());
        if (std::strcmp(source_names[i], "catalog-errors.kel") == 0) catalog.value = result.value;
    }
    set_system_field("catalog", "errors", catalog.value);
    table_layouts_seal();   // natives and actions made from here on must fit the sources' specs

    // the functions the sources made are library functions
    uint32_t n = context_word_count(g_global_context);
    for (uint32_t i = 0; i < n; ++i) {
        Cell* v = context_value_at(g_global_context, i);
        if (v->is(T_FUNCTION)) v->header |= FUNC_FLAG_LIBRARY;
    }
}

// ---- Command line -------------------------------------------------------------------------------

CommandLine parse_command_line(int argc, char** argv) {
    CommandLine cl;
    int i = 1;
    bool switches = true;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (switches && a == "--") { switches = false; continue; }
        if (switches && a.rfind("--", 0) == 0) continue;
        cl.script = a;
        ++i;
        break;
    }
    for (; i < argc; ++i) cl.args.push_back(argv[i]);
    return cl;
}

std::string join_command_line(const std::vector<std::string>& args) {
    std::string out;
    for (size_t k = 0; k < args.size(); ++k) {
        const std::string& a = args[k];
        if (k) out += ' ';
        bool quote = a.empty() || a.find_first_of(" \t\"") != std::string::npos;
        if (!quote) { out += a; continue; }
        out += '"';
        size_t backslashes = 0;
        for (char c : a) {
            if (c == '\\') { ++backslashes; continue; }
            if (c == '"') {
                out.append(backslashes * 2 + 1, '\\');
                out += '"';
            } else {
                out.append(backslashes, '\\');
                out += c;
            }
            backslashes = 0;
        }
        out.append(backslashes * 2, '\\');
        out += '"';
    }
    return out;
}

size_t find_script_header(const std::string& text) {
    for (size_t p = text.find("Kel"); p != std::string::npos; p = text.find("Kel", p + 1)) {
        size_t q = p + 3;
        if (text.compare(q, 7, "/System") == 0) q += 7;
        while (q < text.size() && (text[q] == ' ' || text[q] == '\t' || text[q] == '\n' || text[q] == '\r')) ++q;
        if (q < text.size() && text[q] == '[') return p;
    }
    return std::string::npos;
}

namespace {

// ---- Output -------------------------------------------------------------------------------------

void out_text(const std::string& s, bool newline = false) {
    output_write_text(s.data(), s.size(), 1 /* bytes written as they are below */, newline);
}

// Writes UTF-8 text: output_write_text takes code units, so UTF-8 is passed through a string!.
void out_utf8(const char* text, size_t n, bool newline) {
    bool ascii = true;
    for (size_t i = 0; i < n; ++i)
        if (uint8_t(text[i]) >= 0x80) { ascii = false; break; }
    if (ascii) {
        output_write_text(text, n, 1, newline);
        return;
    }
    Rooted s(make_unset());
    string_load(text, int32_t(n), s.get(), TextEncoding::Utf8);
    Series* b = value_series(s.get());
    output_write_text(b->head_ptr(), b->used(), int(b->unit()), newline);
}

// The print hook of the text console: the formed text goes to standard output.
void stdout_value_hook(const Cell* value, bool newline) {
    if (!is_any_string(value->type())) return;
    Series* b = value_series(value);
    uint32_t unit = b->unit();
    uint32_t from = series_index(value) * unit;
    uint32_t used = b->used() > from ? b->used() - from : 0;
    output_write_text(b->head_ptr() + from, used, int(unit), newline);
}

// The error's report: its form when the error is an error object, else the runtime's one-line
// report.
void print_error_report(const Cell* error_in) {
    bool object = error_in->data1 && node_series(error_in->data1)->cells()->is(T_CONTEXT);
    if (object && action_impl<A_FORM>(T_ERROR)) {
        Rooted error(*error_in);
        Rooted buf(make_unset());
        string_make_at(buf.get(), 128, 1);
        form_typed(error.get(), buf.get(), false, INT32_MAX);
        Series* b = value_series(buf.get());
        output_write_text(b->head_ptr(), b->used(), int(b->unit()), true);
        return;
    }
    const Cell* error = error_in;
    char report[4096];
    error_form_report(error, report, sizeof report);
    out_utf8(report, std::strlen(report), true);
}

int console_columns() {
    if (const char* c = std::getenv("COLUMNS")) {
        int n = std::atoi(c);
        if (n > 10) return n;
    }
    return 80;
}

// Prints "== " and the value's mold (form for a float!), cut to the console width.
void print_result(const Cell* value_in) {
    Rooted value(*value_in);
    int32_t limit = console_columns() - 3;
    Rooted buf(make_unset());
    string_make_at(buf.get(), 64, 1);
    if (value->is(T_FLOAT)) form_typed(value.get(), buf.get(), true, limit + 5);
    else mold_typed(value.get(), buf.get(), false, false, false, true, limit + 5, 0);
    Series* b = value_series(buf.get());
    uint32_t unit = b->unit();
    uint32_t len = b->length();
    output_write_text("== ", 3, 1, false);
    if (int32_t(len) > limit) {
        int32_t keep = limit - 3 - 1;
        output_write_text(b->head_ptr(), uint32_t(keep) * unit, int(unit), false);
        output_write_text("...", 3, 1, true);
    } else {
        output_write_text(b->head_ptr(), b->used(), int(unit), true);
    }
}

// ---- Input --------------------------------------------------------------------------------------

// Reads one line (without its line end); false at the end of input. An interrupt while waiting
// for input is dropped.
bool read_line(std::string& line) {
    line.clear();
    while (true) {
        char c;
        ssize_t n = ::read(0, &c, 1);
        if (n < 0) {
            if (errno == EINTR) {
                g_halt_requested = 0;
                continue;
            }
            return !line.empty();
        }
        if (n == 0) return !line.empty();
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return true;
        }
        line += c;
    }
}

// The delimiters left open at the end of the text: "[", "(" and "{" in nesting order. A string
// or a mismatch that cannot be completed by more lines gives "" (the input is evaluated and its
// error reported).
std::string open_delimiters(const std::string& t) {
    std::string stack;
    size_t i = 0, n = t.size();
    auto skip_quoted = [&](char close) -> bool {   // i at the opening quote
        for (++i; i < n; ++i) {
            if (t[i] == '^') { ++i; continue; }
            if (t[i] == '\n') return false;
            if (t[i] == close) return true;
        }
        return false;
    };
    while (i < n) {
        char c = t[i];
        if (c == ';') {
            while (i < n && t[i] != '\n') ++i;
            continue;
        }
        if (c == '"') {
            if (!skip_quoted('"')) return "";
            ++i;
            continue;
        }
        if (c == '{') {
            int depth = 1;
            for (++i; i < n && depth > 0; ++i) {
                if (t[i] == '^') { ++i; continue; }
                if (t[i] == '{') ++depth;
                else if (t[i] == '}') --depth;
            }
            if (depth > 0) return stack + "{";
            continue;
        }
        if (c == '[' || c == '(') {
            stack += c;
        } else if (c == ']' || c == ')') {
            char want = c == ']' ? '[' : '(';
            if (stack.empty() || stack.back() != want) return "";
            stack.pop_back();
        }
        ++i;
    }
    return stack;
}

// ---- Evaluation ----------------------------------------------------------------------------------

enum class Outcome { Value, Error, Halted };

// Scans and evaluates an input inside try/all and a catch named `console`. The value or the
// error is left in *result.
Outcome evaluate_input(const std::string& text, Cell* result, const Cell* header_skip = nullptr) {
    Cell* saved_top = g_stack.top;
    Cell* saved_args = g_stack.arguments;
    CallFrame* saved_calls = stack_call_top();
    Outcome outcome = Outcome::Value;
    try {
        Cell body{T_WORD, 0, g_sym_body, 0};
        Rooted code(make_unset());
        bool ok = stack_try(&body, true, [&] {
            load_text(code.get(), text.data(), text.size());
            if (header_skip) code->data1 += header_skip->data1;
            stack_mark_catch(&body);
            const CallFrame* at = stack_call_top();
            bool thrown = stack_catch_throw(at, [&] { eval(code.get(), false); });
            if (!thrown) {
                stack_unwind_last();
                return;
            }
            Cell value = g_stack.arguments[0];
            Cell name = g_stack.arguments[1];
            static uint32_t s_console = symbol_make("console");
            static uint32_t s_halt = symbol_make("halt-request");
            bool named = is_any_word(name.type()) && symbol_resolve(name.data2) == symbol_resolve(s_console);
            if (!named) {
                // an unnamed throw or another name: no catch is left for it
                stack_unwind();
                g_stack.arguments[0] = value;
                g_stack.arguments[1] = name;
                g_stack.top = g_stack.arguments + 2;
                throw_value(THROW_VALUE);
            }
            stack_unwind();
            if (is_any_word(value.type()) && symbol_resolve(value.data2) == symbol_resolve(s_halt))
                outcome = Outcome::Halted;
            stack_set_result(&value);
        });
        if (outcome != Outcome::Halted) {
            *result = *stack_top();
            // an error value as the result is reported as an error
            if (!ok || result->is(T_ERROR)) outcome = Outcome::Error;
        }
    } catch (KelThrow& t) {
        if (t.code != THROW_HALT) throw;
        outcome = Outcome::Halted;
    }
    g_stack.top = saved_top;
    g_stack.arguments = saved_args;
    stack_set_call_top(saved_calls);
    return outcome;
}

void report(Outcome o, const Cell* value) {
    switch (o) {
    case Outcome::Halted: out_text("(halted)", true); break;
    case Outcome::Error:
        print_error_report(value);
        out_text("", true);
        break;
    case Outcome::Value: {
        if (value->is(T_UNSET)) break;
        // an error raised while molding the result is printed instead
        Cell* saved_top = g_stack.top;
        Cell* saved_args = g_stack.arguments;
        CallFrame* saved_calls = stack_call_top();
        Rooted v(*value);
        Cell body{T_WORD, 0, g_sym_body, 0};
        if (!stack_try(&body, false, [&] { print_result(v.get()); })) {
            Rooted error(*stack_top());
            print_error_report(error.get());
            out_text("", true);
        }
        g_stack.top = saved_top;
        g_stack.arguments = saved_args;
        stack_set_call_top(saved_calls);
        break;
    }
    }
}

[[noreturn]] void run_console() {
    g_interrupt_halts = 1;
    out_text("--== Kel 0.1.0 ==--", true);
    out_text("Type HELP for starting information.", true);
    out_text("", true);
    std::string buffer, line, cue;
    while (true) {
        std::string prompt = cue.empty() ? ">> " : cue;
        output_write_text(prompt.data(), prompt.size(), 1, false);
        if (!read_line(line)) {
            out_text("", true);
            runtime_quit(0, 0);
        }
        if (buffer.empty() && line.empty()) continue;
        if (!line.empty() && line.back() == 27) {
            cue.clear();
            buffer.clear();
            out_text("(escape)", true);
            continue;
        }
        buffer += line;
        buffer += '\n';
        std::string open = open_delimiters(buffer);
        if (!open.empty()) {
            cue = std::string(1, open.back()) + "    ";
            continue;
        }
        cue.clear();
        Rooted result(make_unset());
        Outcome o = evaluate_input(buffer, result.get());
        buffer.clear();
        g_halt_requested = 0;
        report(o, result.get());
    }
}

[[noreturn]] void run_script(const CommandLine& cl) {
    std::string text;
    if (FILE* f = std::fopen(cl.script.c_str(), "rb")) {
        char chunk[65536];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
        std::fclose(f);
    } else {
        std::string msg = "*** Access Error: cannot open: " + cl.script;
        out_utf8(msg.data(), msg.size(), true);
        std::exit(254);
    }
    // the script runs in its own folder
    std::string folder;
    size_t slash = cl.script.rfind('/');
    if (slash != std::string::npos) {
        folder = cl.script.substr(0, slash + 1);
        if (::chdir(folder.c_str()) != 0) folder.clear();
    }
    size_t at = find_script_header(text);
    if (at == std::string::npos) {
        out_text("*** Error: Kel header not found!", true);
        std::exit(254);
    }
    if (text.compare(at, 10, "Kel/System") == 0) {
        out_text("*** Error: contains Kel/System code which requires compilation!", true);
        std::exit(254);
    }
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd)) {
        std::string path = std::string(cwd) + "/";
        Rooted p(string_from_utf8(path));
        set_cell_type(p.get(), T_FILE);
        set_system_field("options", "path", p.value);
    }
    Cell skip{T_NONE, 2, 0, 0};   // past `Kel` and its header block
    Rooted result(make_unset());
    Outcome o = evaluate_input(text.substr(at), result.get(), &skip);
    if (o == Outcome::Error) {
        print_error_report(result.get());
        std::exit(254);
    }
    if (o == Outcome::Halted) out_text("(halted)", true);
    runtime_quit(0, 0);
}

} // namespace

[[noreturn]] void console_main(int argc, char** argv) {
    hooks_add(stdout_value_hook, nullptr);
    CommandLine cl = parse_command_line(argc, argv);
    Rooted args(string_from_utf8(join_command_line(cl.args)));
    set_system_field("script", "args", cl.script.empty() ? make_none() : args.value);
    {
        const char* home = std::getenv("HOME");
        std::string cache = home && *home ? std::string(home) + "/.kel/" : std::string("/tmp/.kel/");
        Rooted c(string_from_utf8(cache));
        set_cell_type(c.get(), T_FILE);
        set_system_field("options", "cache", c.value);
        char cwd[4096];
        if (::getcwd(cwd, sizeof cwd)) {
            Rooted p(string_from_utf8(std::string(cwd) + "/"));
            set_cell_type(p.get(), T_FILE);
            set_system_field("options", "path", p.value);
        }
    }
    if (!cl.script.empty()) run_script(cl);
    run_console();
}

} // namespace kel
