// The runtime's error table and the raising of errors.
//
// Each row gives an error's category, its position in the catalogue category (counted after
// `code` and `type`), its id word and its message template. The catalogue itself is language data
// in environment/catalog-errors.kel; this table is generated from it (core/errors-catalog.inc), so
// the runtime names every id of the catalogue and can report errors before the catalogue is loaded.
#include "core/errors.h"

#include "core/memory.h"
#include "core/roots.h"
#include "core/runtime.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/unicode.h"
#include "core/words.h"
#include "datatypes/error.h"
#include "datatypes/string.h"
#include "evaluator/interpreter.h"
#include <climits>

#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace kel {

namespace {

const ErrorDef k_errors[] = {
#define KEL_ERROR_CATEGORY(name, word, title)
#define KEL_ERROR(category, position, name, word, message) {ErrCat::category, position, word, message},
#include "core/errors-catalog.inc"
#undef KEL_ERROR_CATEGORY
#undef KEL_ERROR
};
static_assert(sizeof(k_errors) / sizeof(k_errors[0]) == size_t(Err::Count_));

struct CategoryDef { const char* word; const char* title; };
const CategoryDef k_categories[] = {
#define KEL_ERROR_CATEGORY(name, word, title) {word, title},
#define KEL_ERROR(category, position, name, word, message)
#include "core/errors-catalog.inc"
#undef KEL_ERROR_CATEGORY
#undef KEL_ERROR
};

void append(char*& out, char* end, const char* text, size_t n) {
    while (n-- && out + 1 < end) *out++ = *text++;
    *out = 0;
}

void append_arg(char*& out, char* end, const Cell* arg) {
    char buf[32];
    int n = 0;
    switch (arg->type()) {
    case T_INTEGER: n = std::snprintf(buf, sizeof buf, "%d", cell_integer(arg)); break;
    case T_CHAR: n = std::snprintf(buf, sizeof buf, "#\"%u\"", arg->data2); break;
    case T_NONE: n = std::snprintf(buf, sizeof buf, "none"); break;
    case T_LOGIC: n = std::snprintf(buf, sizeof buf, "%s", arg->data1 ? "true" : "false"); break;
    default: n = 0; break;
    }
    append(out, end, buf, size_t(n));
}

} // namespace

const ErrorDef& error_def(Err e) { return k_errors[size_t(e)]; }

uint32_t error_code(Err e) {
    const ErrorDef& d = error_def(e);
    return uint32_t(d.category) * 100 + d.position;
}

const char* error_category_title(ErrCat c) { return k_categories[size_t(c)].title; }
const char* error_category_word(ErrCat c) { return k_categories[size_t(c)].word; }

// Raising: the error is made as an error! object (datatypes/error.h) with the fields that raising
// sets, reported to a trace callback when tracing is on, and thrown. The runtime's earliest errors
// (before the symbols and the global context exist), and an error raised while another is being
// made (memory exhausted), are made in the interim form instead: an error! cell whose word 2 is the
// runtime id and whose word 1 is a block of the code and the three arguments, or 0. The collector
// marks word 1 of an error! as a context, or as a block of cells when its first cell is not a
// context cell, so both forms keep their arguments alive.
namespace {

int g_making_error = 0;   // nesting of fire_error's error making

[[noreturn]] void fire_interim(Err e, const Cell* arg1, const Cell* arg2, const Cell* arg3) {
    const Cell none{T_NONE, 0, 0, 0};
    Rooted a1(arg1 ? *arg1 : none), a2(arg2 ? *arg2 : none), a3(arg3 ? *arg3 : none);
    Node block = 0;
    if (g_memory.series_current && g_making_error < 2) {   // arguments are kept once memory is up
        ++g_making_error;
        block = alloc_cells(4);
        block_append(block, make_integer(int32_t(error_code(e))));
        for (Rooted* a : {&a1, &a2, &a3}) block_append(block, a->value);
        --g_making_error;
    }
    g_making_error = 0;
    Rooted error(Cell{T_ERROR, block, uint32_t(e), 0});
    throw_error(&error.value);
}

// The runtime id of a catalogue code, or Err::Count_ when the table has none.
Err err_of_code(int32_t code) {
    if (code < 0) return Err::Count_;
    uint32_t c = uint32_t(code) / 100, p = uint32_t(code) % 100;
    for (size_t i = 0; i < size_t(Err::Count_); ++i) {
        const ErrorDef& d = k_errors[i];
        if (uint32_t(d.category) == c && d.position == p) return Err(i);
    }
    return Err::Count_;
}

} // namespace

[[noreturn]] void fire_error(Err e, const Cell* arg1, const Cell* arg2, const Cell* arg3) {
    if (!error_objects_ready() || g_making_error) fire_interim(e, arg1, arg2, arg3);
    ++g_making_error;
    Rooted error(Cell{T_NONE, 0, 0, 0});
    error_create(&error.value, e, arg1, arg2, arg3);
    error_set_raise_fields(&error.value);
    g_making_error = 0;
    if (interp_tracing()) {
        uint32_t thrown = g_process ? g_process->thrown_code : 0;
        if (g_process) g_process->thrown_code = 0;
        fire_event(EV_ERROR, nullptr, -1, nullptr, &error.value);
        if (g_process) g_process->thrown_code = thrown;
    }
    throw_error(&error.value);
}

Err error_id_of(const Cell* error) {
    if (!error_is_object(error)) return Err(error->data2);
    const Cell* code = error_field(error, ERR_CODE);
    return code->is(T_INTEGER) ? err_of_code(cell_integer(code)) : Err::Count_;
}

const Cell* error_arg(const Cell* error, uint32_t n) {
    if (n < 1 || n > 3) return nullptr;
    if (error_is_object(error)) return error_field(error, ErrorField(ERR_ARG1 + n - 1));
    if (!error->data1) return nullptr;
    Series* s = node_series(error->data1);
    return n < s->length() ? s->cell_at(n) : nullptr;
}

uint32_t error_code_of(const Cell* error) {
    if (!error_is_object(error)) return error_code(error_id_of(error));
    const Cell* code = error_field(error, ERR_CODE);
    return code->is(T_INTEGER) ? uint32_t(cell_integer(code)) : 0;
}

namespace {

// The first line made by the error's form, copied into out; false when it cannot be made here
// (the stacks nearly full, or an error while forming).
bool report_by_form(const Cell* error, char* out, size_t room) {
    static bool busy = false;
    if (busy || !error_is_object(error) || g_stack.top + 64 >= g_stack.limit ||
        g_calls.top + 8 >= g_calls.limit)
        return false;
    busy = true;
    Cell* top = g_stack.top;   // the caller's data stack is left as it was
    Cell* arguments = g_stack.arguments;
    Rooted e(*error), text(Cell{T_NONE, 0, 0, 0});
    Cell word = *runtime_word(W::Error);
    bool ok = stack_try(&word, true, [&] {
        string_make_at(text.get(), 80, 1);
        error_form(e.get(), text.get(), false, INT32_MAX);
    });
    g_stack.top = top;
    g_stack.arguments = arguments;
    busy = false;
    if (!ok) return false;
    int32_t n = -1;
    const char* utf8 = string_to_utf8(text.get(), &n);
    size_t len = 0;
    while (len < size_t(n) && utf8[len] != '\n' && len + 1 < room) ++len;
    std::memcpy(out, utf8, len);
    out[len] = 0;
    return true;
}

} // namespace

void error_form_report(const Cell* error, char* out, size_t room) {
    if (!room) return;
    if (report_by_form(error, out, room)) return;
    // the plain form: the runtime table's template with scalar arguments
    char* end = out + room;
    *out = 0;
    Err id = error_id_of(error);
    if (id == Err::Count_) id = Err::InvalidError;
    const ErrorDef& d = error_def(id);
    append(out, end, "*** ", 4);
    const char* title = error_category_title(d.category);
    append(out, end, title, std::strlen(title));
    append(out, end, ": ", 2);
    for (const char* m = d.message; *m;) {
        if (std::strncmp(m, ":arg", 4) == 0 && m[4] >= '1' && m[4] <= '3') {
            if (const Cell* arg = error_arg(error, uint32_t(m[4] - '0'))) append_arg(out, end, arg);
            m += 5;
        } else {
            append(out, end, m++, 1);
        }
    }
}

} // namespace kel
