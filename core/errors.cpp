// The runtime's error table and the raising of errors.
//
// Each row gives an error's category, its position in the catalogue category (counted after
// `code` and `type`), its id word and its message template. The catalogue itself is language data
// in environment/catalog-errors.kel; this table is generated from it (core/errors-catalog.inc), so
// the runtime names every id of the catalogue and can report errors before the catalogue is loaded.
#include "core/errors.h"

#include "core/memory.h"
#include "core/roots.h"
#include "core/series.h"

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

// An error value: error! cell, word 2 the runtime id, words 1 and 3 a block of its three
// arguments. The collector follows word 1 of an error! into the cells of that block (word 3 alone
// would keep only the block, and the arguments' own buffers would be freed under it).
[[noreturn]] void fire_error(Err e, const Cell* arg1, const Cell* arg2, const Cell* arg3) {
    const Cell none{T_NONE, 0, 0, 0};
    // the arguments may be the only references to their values while the block is made
    Rooted a1(arg1 ? *arg1 : none), a2(arg2 ? *arg2 : none), a3(arg3 ? *arg3 : none);
    Node block = 0;
    if (g_memory.series_current) {   // arguments are kept once the memory manager is up
        block = alloc_cells(4);
        block_append(block, make_integer(int32_t(error_code(e))));
        for (Rooted* a : {&a1, &a2, &a3}) block_append(block, a->value);
    }
    Rooted error(Cell{T_ERROR, block, uint32_t(e), 0});
    throw_error(&error.value);
}

Err error_id_of(const Cell* error) { return Err(error->data2); }

const Cell* error_arg(const Cell* error, uint32_t n) {
    if (!error->data1 || n < 1 || n > 3) return nullptr;
    Series* s = node_series(error->data1);
    return n < s->length() ? s->cell_at(n) : nullptr;
}

uint32_t error_code_of(const Cell* error) { return error_code(error_id_of(error)); }

void error_form_report(const Cell* error, char* out, size_t room) {
    if (!room) return;
    char* end = out + room;
    *out = 0;
    const ErrorDef& d = error_def(error_id_of(error));
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
