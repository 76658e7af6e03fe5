// What the lexer's scan loop (evaluator/lexer.cpp) and the literal loaders (evaluator/scan.cpp)
// share: the running lexer state, the shared cell buffer and the helpers that push values and
// raise errors. Not for use outside the lexer.
#pragma once

#include "core/cell.h"

#include <cstdint>
#include <vector>

namespace kel::lex {

// Token flag bits gathered from the class table while a token is read.
enum : uint32_t {
    F_UTF8_2_3  = 0x40000000,   // a UTF-8 lead byte of a two- or three-byte sequence
    F_UTF8_4    = 0x80000000,   // a UTF-8 lead byte of a four-byte sequence
    F_MULTIBYTE = F_UTF8_2_3 | F_UTF8_4,
    F_CARET     = 0x20000000,
    F_DOT       = 0x10000000,
    F_COMMA     = 0x08000000,
    F_COLON     = 0x04000000,
    F_QUOTE     = 0x02000000,   // "'" digit separator
    F_EXPONENT  = 0x01000000,
    F_HASH      = 0x00800000,
    F_NUL       = 0x00400000,
    F_SIGN      = 0x00200000,
    F_LESS      = 0x00100000,
    F_GREATER   = 0x00080000,
    F_PERCENT   = 0x00040000,
    F_MULTILINE = 0x00020000,   // a braced string that spans lines
};

// Error codes other than datatype ids.
constexpr int32_t ERR_BAD_CHAR = -1;
constexpr int32_t ERR_MALCONSTRUCT = -2;
constexpr int32_t ERR_NO_OPENER = -3;
constexpr int32_t ERR_NO_CLOSER = -4;

// One running scan. Cell positions are indices into the shared cell buffer, so growing the
// buffer moves nothing that a state refers to.
struct State {
    State* next;
    State* previous;
    uint32_t base;       // first cell of this scan
    uint32_t open;       // first cell of the innermost open series (its marker is open - 1);
                         // equal to base when no series is open
    uint32_t top;        // next free cell
    const uint8_t* start;
    const uint8_t* end;
    const uint8_t* pos;        // where the next token starts to be read
    const uint8_t* token_end;
    int32_t line;
    int32_t round_lines;       // line feeds consumed in the current round
    int32_t error_kind;        // a datatype id error texts name instead of the token's, or -1
    int32_t type;              // datatype id of the last token
    int32_t entry;             // automaton state each token starts from: 0, 4, 35 or 59
    int32_t last_state;
    int32_t prev_type;
    const uint8_t* braced_start;
    int32_t braced_depth;
    uint32_t braced_flags;
    int32_t braced_lines;      // line feeds met since the braced string opened
    int32_t point_lines;
    Cell callback;             // unset when not tracing
    Cell input;                // unset when not given
    uint32_t events;           // trace events wanted
    uint32_t input_index;      // the input series' own index
    uint32_t counted_bytes;    // text bytes already counted in characters (string! input)
    uint32_t counted_chars;
    bool input_chars;          // positions shown to the callback count characters
    bool tracing;
    bool load_mode;            // the scan builds values (bad input raises)
    bool load;                 // values are built now (off while a token is only checked)
    bool prescan;
    bool one;
    bool value_done;           // the round completed a value at the innermost series' level
};

// The shared cell buffer (malloc'd: it never moves on a collection, only when it grows).
extern Cell* g_cells;
extern uint32_t g_cells_capacity;

// A new cell at the top of the state's part of the buffer (valid until the next push).
Cell* push_slot(State* st);
// Pushes a value, with the new-line marker when a line feed was consumed this round.
void push_value(State* st, const Cell& value);

// Raises the error of a bad token (in load mode) or stops the scan quietly (scan and prescan).
[[noreturn]] void throw_error(State* st, const uint8_t* from, const uint8_t* to, int32_t code);
// Loading a kind whose datatype is not built yet raises internal not-done.
[[noreturn]] void not_done();

// Loaders: each checks [s, e) (the token text), pushes its value when st->load is set, and sets
// st->type. Positions past the token are the scan loop's business.
void load_string(State* st, const uint8_t* s, const uint8_t* e, uint32_t flags);   // inner text
void load_raw_string(State* st, const uint8_t* s, const uint8_t* e);
void load_word(State* st, const uint8_t* s, const uint8_t* e, uint32_t flags, bool in_path);
void load_issue(State* st, const uint8_t* s, const uint8_t* e, uint32_t flags);
void load_refinement(State* st, const uint8_t* s, const uint8_t* e, uint32_t flags);
void load_integer(State* st, const uint8_t* s, const uint8_t* e, uint32_t flags);
void load_hex_integer(State* st, const uint8_t* s, const uint8_t* e, uint32_t flags);
void load_float(State* st, const uint8_t* s, const uint8_t* e, uint32_t flags);
void load_special_float(State* st, const uint8_t* s, const uint8_t* e);
void load_char(State* st, const uint8_t* s, const uint8_t* e, uint32_t flags);
void load_time(State* st, const uint8_t* s, const uint8_t* e, uint32_t flags);
void load_construction(State* st, const uint8_t* s, const uint8_t* e);

// Loaders of the further value kinds, one source file per group (evaluator/scan-*.cpp).
void load_file(State* st, const uint8_t* s, const uint8_t* e, uint32_t flags);      // kind 20
void load_binary(State* st, const uint8_t* s, const uint8_t* e, uint32_t flags);    // kind 21
void load_percent(State* st, const uint8_t* s, const uint8_t* e, uint32_t flags);   // kind 22
void load_tuple(State* st, const uint8_t* s, const uint8_t* e, uint32_t flags);     // kind 25
void load_date(State* st, const uint8_t* s, const uint8_t* e, uint32_t flags);      // kind 26
void load_pair(State* st, const uint8_t* s, const uint8_t* e, uint32_t flags);      // kind 27
void load_money(State* st, const uint8_t* s, const uint8_t* e, uint32_t flags);     // kind 30
void load_tag(State* st, const uint8_t* s, const uint8_t* e, uint32_t flags);       // kind 31
void load_url(State* st, const uint8_t* s, const uint8_t* e, uint32_t flags);       // kind 32
void load_email(State* st, const uint8_t* s, const uint8_t* e, uint32_t flags);     // kind 33
void load_ref(State* st, const uint8_t* s, const uint8_t* e, uint32_t flags);       // kind 36
// kind 28: the text between "(" and ")"
void load_point(State* st, const uint8_t* s, const uint8_t* e, uint32_t flags);
// A point marker closing over count loaded cells with that many "," seen: the point2D! or
// point3D! of two or three numbers; anything else is an error naming the point type.
Cell point_from_cells(State* st, const Cell* cells, uint32_t count, uint32_t commas,
                      const uint8_t* opener);

// Float text helpers (evaluator/scan.cpp): the float syntax check (at most 312 bytes), the
// conversion of checked text ("'" skipped, "," read as "."), the special forms 1.#NaN/1.#INF.
bool float_syntax(const uint8_t* s, const uint8_t* e);
bool convert_float(const uint8_t* s, const uint8_t* e, double* out);
bool special_float(const uint8_t* s, const uint8_t* e, double* out);

// A text value of the given string type holding the code points, at the unit width the widest
// one needs.
Cell make_text_value(TypeId type, const std::vector<uint32_t>& cps, uint32_t widest);

// Words: interns the name and makes a word-kind cell bound to the global context.
Cell make_word(TypeId type, const uint8_t* name, uint32_t length);

// The Unicode spaces that end words (U+0085, U+00A0, U+1680, U+2000-200A, U+2028, U+2029, U+202F,
// U+205F, U+3000, U+180E, U+200B).
bool is_unicode_space(int32_t cp);

} // namespace kel::lex
