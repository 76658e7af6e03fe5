// Raising language errors from the runtime.
//
// Runtime code names an error by its category and id. The error's code is the category's
// position × 100 plus the id's position counted from 0 after the `code` and `type` fields of its
// catalogue category. fire_error builds the error value and hands it to throw_error (core/stack.h),
// which unwinds to the nearest try frame.
//
// Until the error! datatype exists, an error value is an error! cell that carries its runtime id
// (Err) in word 2 and, in word 1, a block of its code (an integer!) followed by its three
// arguments, so that reports can show them. The collector marks word 1 of an error! as a context;
// a block whose first cell is not a context cell is marked as a block of cells, which keeps the
// arguments alive.
#pragma once

#include "core/cell.h"

#include <cstdint>

namespace kel {

// The catalogue's categories and ids, in the catalogue's order (core/errors-catalog.inc is generated
// from environment/catalog-errors.kel by tools/gen-error-catalog). An id is named as its catalogue
// word in CamelCase: `bad-make-arg` is Err::BadMakeArg; `unused-<code>` ids keep numbers free.
enum class ErrCat : uint8_t {
#define KEL_ERROR_CATEGORY(name, word, title) name,
#define KEL_ERROR(category, position, name, word, message)
#include "core/errors-catalog.inc"
#undef KEL_ERROR_CATEGORY
#undef KEL_ERROR
    Count_
};

enum class Err : uint16_t {
#define KEL_ERROR_CATEGORY(name, word, title)
#define KEL_ERROR(category, position, name, word, message) name,
#include "core/errors-catalog.inc"
#undef KEL_ERROR_CATEGORY
#undef KEL_ERROR
    Count_
};

struct ErrorDef {
    ErrCat category;
    uint16_t position;   // counted from 0 after `code` and `type`
    const char* id;      // the catalogue word
    const char* message; // the template's elements joined by blanks; ":arg1" stands for argument 1
};

const ErrorDef& error_def(Err e);
uint32_t error_code(Err e);              // category × 100 + position
const char* error_category_title(ErrCat c);
const char* error_category_word(ErrCat c);   // "script"

// Makes the error value and raises it; never returns.
[[noreturn]] void fire_error(Err e, const Cell* arg1 = nullptr, const Cell* arg2 = nullptr,
                             const Cell* arg3 = nullptr);

// Raises an error value: unwinds the call stack to the nearest try frame and throws it there
// (core/stack.cpp). With no try frame the report goes to stderr and the process ends with -2.
[[noreturn]] void throw_error(const Cell* error);

// Reading an error value made by fire_error.
Err error_id_of(const Cell* error);
uint32_t error_code_of(const Cell* error);
// Argument n (1 to 3) of the error, or null when it has none.
const Cell* error_arg(const Cell* error, uint32_t n);

// The report's first line: "*** <Category title>: <message with its arguments>".
void error_form_report(const Cell* error, char* out, size_t room);

} // namespace kel
