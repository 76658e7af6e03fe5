// The runtime's error table and the raising of errors.
//
// Each row gives an error's category, its position in the catalogue category (counted after
// `code` and `type`), its id word and its message template. The catalogue itself is language data
// in environment/; this table holds the rows the runtime raises before that catalogue is loaded.
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
    // throw
    {ErrCat::Throw, 0, "break", "no loop to break"},
    {ErrCat::Throw, 1, "return", "return or exit not in function"},
    {ErrCat::Throw, 2, "throw", "no catch for throw: :arg1"},
    {ErrCat::Throw, 3, "continue", "no loop to continue"},
    {ErrCat::Throw, 4, "while-cond", "BREAK/CONTINUE cannot be used in WHILE condition block"},
    // script
    {ErrCat::Script, 0, "no-value", ":arg1 has no value"},
    {ErrCat::Script, 2, "not-defined", ":arg1 word is not bound to a context"},
    {ErrCat::Script, 3, "not-in-context", ":arg1 is not in the specified context"},
    {ErrCat::Script, 8, "invalid-arg", "invalid argument: :arg1"},
    {ErrCat::Script, 41, "out-of-range", "value out of range: :arg1"},
    {ErrCat::Script, 56, "too-long", "Content too long"},
    {ErrCat::Script, 80, "invalid-char", "Invalid char! value: :arg1"},
    {ErrCat::Script, 81, "invalid-refine-arg", "invalid :arg1 argument: :arg2"},
    // math
    {ErrCat::Math, 0, "zero-divide", "attempt to divide by zero"},
    {ErrCat::Math, 1, "overflow", "math or number overflow"},
    // access
    {ErrCat::Access, 20, "invalid-utf8", "invalid UTF-8 encoding: :arg1"},
    {ErrCat::Access, 21, "invalid-utf16", "invalid UTF-16 encoding: :arg1"},
    // internal
    {ErrCat::Internal, 0, "no-memory", "not enough memory"},
    {ErrCat::Internal, 1, "stack-overflow", "stack overflow"},
    {ErrCat::Internal, 2, "no-cycle", "circular reference not allowed"},
    {ErrCat::Internal, 9, "not-done", "reserved for future use (or not yet implemented)"},
    {ErrCat::Internal, 7, "too-deep", "block or paren series is too deep to process"},
    {ErrCat::Internal, 8, "wrong-mem", "failed to release memory"},
    // script, used by the scalar types and the action layer
    {ErrCat::Script, 5, "expect-arg", ":arg1 does not allow :arg2 for its :arg3 argument"},
    {ErrCat::Script, 6, "expect-val", "expected :arg1 not :arg2"},
    {ErrCat::Script, 7, "cannot-use", "cannot use :arg1 on :arg2 value"},
    {ErrCat::Script, 9, "invalid-type", ":arg1 type is not allowed here"},
    {ErrCat::Script, 10, "invalid-type-spec", "invalid type specifier: :arg1"},
    {ErrCat::Script, 12, "invalid-data", "data not in correct format: :arg1"},
    {ErrCat::Script, 14, "not-same-class", "cannot coerce :arg1 to :arg2"},
    {ErrCat::Script, 15, "not-related", "incompatible argument for :arg1 of :arg2"},
    {ErrCat::Script, 24, "invalid-path", "cannot access :arg2 in path :arg1"},
    {ErrCat::Script, 42, "invalid-compare", "cannot compare :arg1 with :arg2"},
    {ErrCat::Script, 44, "type-limit", ":arg1 overflow/underflow"},
    {ErrCat::Script, 45, "no-return", "block did not return a value"},
    {ErrCat::Script, 47, "bad-make-arg", "cannot MAKE :arg1 from: :arg2"},
    {ErrCat::Script, 48, "bad-to-arg", "cannot MAKE/TO :arg1 from: :arg2"},
    {ErrCat::Script, 27, "bad-path-type", ":arg3 returned a :arg2 value, so :arg1 could not be accessed"},
    {ErrCat::Script, 28, "bad-path-type2", "path element > :arg1 < does not apply to :arg2 type"},
    // access
    {ErrCat::Access, 5, "no-port-action", "port action not supported"},
    {ErrCat::Access, 0, "cannot-open", "cannot open: :arg1"},
};
static_assert(sizeof(k_errors) / sizeof(k_errors[0]) == size_t(Err::Count_),
              "one row per error id, in the enum's order");

const char* const k_titles[] = {
    "Throw Error", "Note", "Syntax Error", "Script Error", "Math Error", "Access Error",
    "Reserved1 Error", "Reserved2 Error", "User Error", "Internal Error",
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

const char* error_category_title(ErrCat c) { return k_titles[size_t(c)]; }

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
