// error!: the language's error values.
//
// An error is an object (the object! cell of datatypes/object.h with type error!) whose context
// holds ten fields in a fixed order: code, type, id, arg1, arg2, arg3, near, where, stack, files.
// `code` is the catalogue number (category position x 100 + id position), `type` and `id` the
// category and id words; the arguments are none when absent; `near` is set by the interpreter,
// `where` names the function that was running, `stack` holds the call-stack position at which the
// error was raised (an integer) until error_capture_stack replaces it with the call trace.
//
// The catalogue is system/catalog/errors when the environment has made it (from
// environment/catalog-errors.kel); before that, the runtime's own table (core/errors.h), generated
// from the same file, stands in for it. Every new error is a copy of one prototype with the ten
// fields (error_prototype, which start-up code may install as system/standard/error).
//
// Every function that may allocate says so; Cell* results are valid until the next allocation.
#pragma once

#include "core/cell.h"
#include "core/errors.h"

#include <cstdint>

namespace kel {

enum ErrorField : uint32_t {
    ERR_CODE, ERR_TYPE, ERR_ID, ERR_ARG1, ERR_ARG2, ERR_ARG3, ERR_NEAR, ERR_WHERE, ERR_STACK,
    ERR_FILES, ERR_FIELD_COUNT
};
constexpr uint32_t ERROR_STACK_FIELD_INDEX = ERR_STACK;

// True once errors can be made as objects (the symbols and the global context exist).
bool error_objects_ready();
// True for an error! made as an object (the runtime's earliest errors are not).
bool error_is_object(const Cell* error);

// ---- Making (allocate) ----------------------------------------------------------------------------

// error-create: a new error of the runtime id with up to three arguments (null: none), written
// into `out`, which must be a rooted cell (data stack or Rooted). Returns out.
Cell* error_create(Cell* out, Err e, const Cell* arg1 = nullptr, const Cell* arg2 = nullptr,
                   const Cell* arg3 = nullptr);
// error-make: `make error!` from a code (raises script out-of-range outside the catalogue).
Cell* error_make_code(Cell* out, int32_t code);
// The make action of error! (spec: integer!, block! of category and id words or of set-words,
// string!); the result goes into proto.
void error_make(Cell* proto, Cell* spec, TypeId type);
// The prototype every error copies (an error! value; made on first use).
Cell error_prototype();

// ---- Fields (no allocation) -------------------------------------------------------------------------

Cell* error_field(const Cell* error, ErrorField f);
// Copies the value into `where` when that field is none.
void error_set_where(const Cell* error, const Cell* value);
// The symbol ids of the type and id words (0 when the field holds no word).
uint32_t error_get_type(const Cell* error);
uint32_t error_get_id(const Cell* error);

// Fills the fields that raising sets: `where` with the word of the running function (when none),
// `stack` with the current call-stack position and, when none, `near` with the code from the
// expression the interpreter is evaluating. Allocates.
void error_set_raise_fields(const Cell* error);

// error-capture-stack: when `stack` holds a position, replaces it with a block of the call trace
// up to there (at system/state/stack-trace's level, 1 when that is not an integer above 0), and
// stores a copy of system/state/source-files in `files` when that block is not empty. Allocates.
void error_capture_stack(const Cell* error);

// error-arg-word: the word naming argument i (0-based; words, lit-words, get-words and
// refinements counted) in the spec of the function the current call frame names, or <anon>.
Cell error_arg_word(uint32_t i);

// ---- Text (allocate) ---------------------------------------------------------------------------------

// The report: "*** <Title>: <message>", then the Where, Near, Stack and Files lines. Returns the
// budget less the characters appended.
int32_t error_form(const Cell* error, Cell* buffer, bool part, int32_t budget);
int32_t error_mold(const Cell* error, Cell* buffer, bool only, bool all, bool flat, bool part,
                   int32_t budget, int32_t indent);

} // namespace kel
