// series!: the helpers every series type shares, and the owner notifications of editing actions.
//
// A series value is a cell whose word 1 is the head index in units and word 2 the node of its
// buffer (core/cell.h); the buffer's flags give the unit size (1, 2, 4 or 16 bytes). Everything
// here reads a series only through the cell and the buffer header, so one code path serves every
// unit size: blocks (16-byte cells), strings of 1-, 2- or 4-byte units and binaries alike.
//
// Functions that may allocate say so; Series* and Cell* results are valid until the next
// allocation.
#pragma once

#include "core/cell.h"
#include "core/memory.h"

#include <cstdint>

namespace kel {

// ---- Reading (no allocation) -----------------------------------------------------------------------

// Units from index 0 (not the head) to the tail.
inline uint32_t series_length_from_start(const Cell* s) { return node_series(series_node(s))->length(); }
// True when the head is at or past the tail.
inline bool series_rs_tail_q(const Cell* s) { return series_index(s) >= series_length_from_start(s); }
// Units from the head (or, with from_start, from index 0) to the tail. A head past the tail is
// clipped: the cell's head becomes the length and 0 is answered.
int32_t series_length_in_units(Cell* s, bool from_start = false);
// Moves the head by n units when head + n stays within 0 .. tail; answers true when head + n is
// at or past the tail.
bool series_skip_clip(Cell* s, int32_t n);
// The head index `at` (at true) or `skip` (at false) gives for the integer! offset, clipped to
// 0 .. length; a non-integer offset raises invalid-arg.
uint32_t series_offset_index(const Cell* s, const Cell* offset, bool at);

// The position a 1-based index names (i >= 1: head + i - 1, i < 0: head + i); false when it lies
// outside 0 .. length - 1 or i is 0.
bool series_position(const Cell* s, int32_t i, uint32_t* pos);

// The item at unit position pos of the series (which must be inside it) written into out: the
// cell itself for blocks, an integer! byte for binary!, a char! for the text types. out must not
// lie in a series buffer.
void series_item_at(const Cell* s, uint32_t pos, Cell* out);

// ---- Building (allocate) ---------------------------------------------------------------------------

// Makes room for `extra` more units at the tail of the buffer: it grows to `doubled` ? twice the
// needed size : the needed size. A size beyond the 32-bit series limit raises no-memory before
// anything changes. Returns the (possibly moved) buffer.
Series* series_reserve(Node node, uint64_t extra, bool doubled);

// Opens a gap of `count` units at unit position pos (the units from pos on move up); the gap's
// content is left as it was. Returns the buffer.
Series* series_open_gap(Node node, uint32_t pos, uint32_t count, bool doubled);
// Drops `count` units at position pos (the rest moves down). No allocation.
void series_close_gap(Series* s, uint32_t pos, uint32_t count);

// copy (the generic series copy): a new buffer with the units from the head (or over the /part
// range) written into result as a series of the source's type, head 0. result may be the source
// cell; both must not lie in a series buffer.
void series_copy(Cell* series, Cell* result, const Cell* part, bool deep, const Cell* types);

// ---- Owner notification ----------------------------------------------------------------------------

// The editing actions that report to a series' owner, each with a word sent before the change and
// one sent after it.
enum class SeriesEvent : uint8_t {
    Clear, Poke, Remove, Reverse, Take, Random, Move, Put, Sort, Append, Insert, Change, Swap, Trim,
};

// True when the series buffer carries the owned mark (only then can a notification be due).
inline bool series_owned(const Cell* s) {
    Node n = series_node(s);
    return n && (node_series(n)->flags & SER_OWNED);
}
// Tells the owner of the series, when it has one, that the event is about to happen (after false)
// or has happened (after true) at unit index `index` for `count` units; new_value is the value
// written, or null. Costs one flag test when the series is not owned. May run user code.
void series_notify(const Cell* s, SeriesEvent event, bool after, int32_t index, int32_t count,
                   const Cell* new_value = nullptr);

// ---- The series! actions (the rows of the types that inherit them) --------------------------------

void series_pick(Cell* series, int32_t index, const Cell* index_value);
void series_poke(Cell* series, int32_t index, const Cell* value);
void series_clear(Cell* series);
void series_remove(Cell* series, const Cell* part, const Cell* key);
void series_take(Cell* series, const Cell* part, bool deep, bool last);
void series_reverse(Cell* series, const Cell* part, const Cell* skip);
void series_random(Cell* series, bool seed, bool secure, bool only);
void series_move(Cell* origin, Cell* target, const Cell* part);

} // namespace kel
