// The scalar datatypes: datatype!, unset!, none!, logic!, integer!, float!, char!, time!,
// typeset! and triple!, and the small constructors and helpers the whole runtime uses with them.
//
// Constructors named *_push put a new value on the data stack and return its cell; *_box write
// the current frame's result cell (g_stack.arguments[0]); *_make_at fill a given cell; *_make_in
// append a new cell to a block (and may allocate, so the returned cell is valid until the next
// allocation). The others neither allocate nor move anything unless they say so.
//
// Arithmetic never wraps: integer results that leave 32 bits become float! where the language
// says so and raise math overflow otherwise. Every double -> int32 conversion is range-checked.
#pragma once

#include "core/cell.h"
#include "core/memory.h"
#include "datatypes/datatype.h"

#include <cstdint>

namespace kel {

// ---- datatype!, unset!, none!, logic! --------------------------------------------------------

Cell* datatype_push(TypeId t);
Cell* datatype_make_in(const Cell* block, TypeId t);

void unset_box();
Cell* unset_push();
Cell* unset_make_in(const Cell* block);

void none_box();
Cell* none_push();
Cell* none_make_in(const Cell* block);

inline bool logic_get(const Cell* c) { return c->data1 != 0; }
void logic_box(bool flag);
Cell* logic_push(bool flag);
Cell* logic_make_in(const Cell* block, bool flag);

// Condition tests on the frame's first cell. frame_true_value raises script no-return for unset;
// frame_false_value is true for none and false only (no unset check).
bool frame_true_value();
bool frame_false_value();
// True unless the cell is none or false; with check, unset raises script no-value naming arg.
bool logic_cell_true(const Cell* c, bool check, const Cell* arg);
// The frame_false_value test on the most recent value (the last pushed cell, or arguments[0] when
// nothing was pushed after it), and its negation.
bool stack_top_false();
inline bool stack_top_true() { return !stack_top_false(); }

// ---- integer! ------------------------------------------------------------------------------------

// Integer operation codes, shared with char!, pair! and tuple! arithmetic.
enum IntOp : int32_t {
    OP_ADD = 0, OP_SUBTRACT = 1, OP_MULTIPLY = 2, OP_DIVIDE = 3, OP_REMAINDER = 4,
    OP_OR = 5, OP_AND = 6, OP_XOR = 7,
};

Cell* integer_push(int32_t v);
// Keeps the header's flag bits.
Cell* integer_make_at(Cell* c, int32_t v);
Cell* integer_make_in(const Cell* block, int32_t v);
void integer_box(int32_t v);
int32_t integer_get();                 // the frame's first cell
int32_t integer_get_or_zero();         // ... or 0 when it is not an integer!
inline int32_t integer_get_cell(const Cell* c) { return int32_t(c->data2); }
inline int32_t integer_sign(int32_t v) { return (v > 0) - (v < 0); }
int32_t integer_abs(int32_t v);        // -2147483648 raises math overflow
// True when the double in the cell is NaN or outside [-2147483648.0, 2147483647.0].
bool integer_float_overflow(const Cell* float_cell);
// Decimal text in a static buffer, valid until the next call.
const char* integer_form_signed(int32_t v);
// Decimal text written to the end of a buffer of 11 bytes or more (no terminator); returns where
// it starts.
char* integer_digits(int32_t v, char* end);
// The arithmetic core. With a result cell, an add/subtract/multiply that overflows, or a divide
// that leaves a remainder, turns that cell into the exact float! result and returns 0; without
// one, divide truncates. Division by zero raises math zero-divide, -2147483648 / -1 overflow.
int32_t integer_math_int32(int32_t left, int32_t right, int32_t op, Cell* result);
// integer! OP any: the result replaces left (an integer!).
void integer_do_math(Cell* left, const Cell* right, int32_t op);
void integer_round(Cell* value, const RoundOpts& opts);

// ---- float! ----------------------------------------------------------------------------------------

// The pretty-print switch of system/options/float (on at start); the second flag is kept only.
extern bool g_float_pretty;
extern bool g_float_full;

inline double float_get(const Cell* c) { return c->get_float(); }
void float_box(double d);
Cell* float_make_at(Cell* c, double d);
Cell* float_make_in(const Cell* block, double d);
Cell* float_push(double d);
Cell* float_push_bits(uint32_t high, uint32_t low);
double float_abs(double d);
bool float_nan(double d);
bool float32_nan(float f);
bool float_not_finite(double d);
// Rounds halves away from zero, saturating at the 32-bit range (NaN gives 0).
int32_t float_to_int(double d);
// Truncates toward zero; NaN, infinities and values that leave 32 bits raise math overflow.
int32_t float_trunc_checked(double d);
// Tolerant equality: NaN never; equal, closer than 2^-52, or at most 10 doubles apart.
bool float_almost_equal(double a, double b);
bool float32_almost_equal(float a, float b);

// Formatting kinds: 0 float32 values, 1 float!, 2 float32 percents, 3 percent! (already x100),
// 4 the seconds of a time!, 5 point coordinates.
enum FloatKind : int32_t {
    FK_FLOAT32 = 0, FK_FLOAT = 1, FK_PERCENT32 = 2, FK_PERCENT = 3, FK_TIME = 4, FK_POINT = 5,
};
// The text of a float-like value in a static buffer, valid until the next call.
const char* float_format(double d, int32_t kind);
// IEEE arithmetic of op 0-4 (remainder: fmod, with infinite divisors giving x); other codes
// raise script cannot-use.
double float_do_math(double x, double y, int32_t op);
// float!/percent!/time!/integer! OP any: the result replaces left.
void float_do_math_values(Cell* left, const Cell* right, int32_t op);
void float_round(Cell* value, const RoundOpts& opts);
// x scaled by a random draw: between 0 and x.
double float_random_scaled(double x, bool secure);

// ---- char! ----------------------------------------------------------------------------------------

Cell* char_push(uint32_t cp);
Cell* char_make_in(const Cell* block, uint32_t cp);
inline uint32_t char_get(const Cell* c) { return c->data2; }
inline Cell make_char(uint32_t cp) { return Cell{T_CHAR, 0, cp, 0}; }

// ---- time! ------------------------------------------------------------------------------------------

inline Cell make_time(double seconds) { Cell c{T_TIME, 0, 0, 0}; c.put_float(seconds); return c; }
Cell* time_make_at(double seconds, Cell* c);
Cell* time_make_in(const Cell* block, double seconds);
Cell* time_push(double seconds);
double time_get_hours(double seconds);     // truncated toward zero
double time_get_minutes(double seconds);   // floor(fmod(|s|, 3600) / 60)
// 1 hour, 2 minute, 3 second (by canonical symbol), -1 for any other word.
int32_t time_field_index(const Cell* word);
// Pushes field 1-3 of the time.
Cell* time_get_field(const Cell* time, int32_t index);
// Appends "h:mm:ss" text to the string; returns the budget less what was appended. Allocates.
int32_t time_form_text(double seconds, Cell* buffer, int32_t budget);
[[noreturn]] void time_fire_bad_to_arg(const Cell* value);

// ---- typeset! and triple! ---------------------------------------------------------------------

inline bool typeset_has(const Cell* ts, uint32_t t) {
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&ts->data1);
    return t < 96 && (bytes[t >> 3] & (0x80u >> (t & 7)));
}
void typeset_add(Cell* ts, uint32_t t);
void typeset_set_words(Cell* c, uint32_t w1, uint32_t w2, uint32_t w3);
void typeset_all(Cell* c);
// Builds a typeset from a spec block (datatypes, typesets, words naming them); nested blocks are
// skipped; anything else raises script invalid-type-spec. Reads word values only.
Cell* typeset_from_block(Cell* c, const Cell* block);
int32_t typeset_count(const Cell* ts);
// Appends the datatype! of every member, in id order. Allocates.
void typeset_to_block(const Cell* ts, const Cell* block);
// Set operation codes 5/9 union, 6/10 intersection, 7/12 difference, 11 exclude, 8 unique; the
// result replaces left.
void typeset_set_operation(Cell* left, const Cell* right, int32_t op);

Cell* triple_make_at(Cell* c, int32_t a, int32_t b, int32_t d);

// ---- Shared by the scalar files -------------------------------------------------------------------

// Appends ASCII/Latin-1 text to a string! buffer; returns the budget less its length. Allocates.
int32_t scalar_emit(Cell* buffer, const char* text, int32_t budget);
// script bad-to-arg with the datatype and the value.
[[noreturn]] void fire_bad_to_arg(TypeId target, const Cell* value);
// The one value a text loads as (the lexer's one-value mode); none for text the lexer refuses
// (other errors pass on).
Cell scalar_load_one_value(const Cell* text);
struct PathStep;
// After a set through a path changed a copy of a one-cell value (a time's hour, a pair's x): the
// changed value goes back to the container or word it came from (which runs the owner's change
// handler); the parent receives the value set.
void scalar_path_write_back(Cell* parent, const PathStep& step, const Cell& changed);
[[noreturn]] void fire_invalid_type(const Cell* value);
[[noreturn]] void fire_not_related(const char* action_word, TypeId t);

} // namespace kel
