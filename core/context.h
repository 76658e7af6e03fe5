// Contexts: the tables that give words their values.
//
// A context is a node whose buffer holds exactly two cells:
//   cell 0, the context cell: header context! (14) with the kind in bits 11-12 (0 global,
//     1 function, 2 object), bit 22 when the values live on the data stack and bit 24 (self
//     flag) for object contexts; word 1 the node of the word table (a kind-2 hash table whose
//     value series is the word list); word 2 the node of the values series or, for a stack-held
//     context, the frame reference of the running call (data-stack index of its first value
//     cell + 1, see core/stack.h), 0 while the function does not run; word 3 unused (0).
//   cell 1, the owner cell: the object! or function! value the context belongs to (unset for the
//     global context). For an object, its word 3 is the object's change-handler record.
// Word i of the word list is a word! cell (context node, symbol id as first added, i); value i is
// cell i of the values series. The values series is made with room for the expected number of
// words, all unset, and its tail moves in step with the word list as words are added.
//
// Words hold (context node, symbol id, index), so binding is done once and a word's value is then
// reached by index. Index -1 means "not resolved"; a word! `self` bound with the self flag keeps
// -1 and yields the owner cell (the object itself).
//
// Contexts are referred to by node everywhere here: a node survives the buffer moves that an
// allocation may cause, a cell address does not. Every Cell* returned is valid until the next
// allocation. Functions that take a word or value by address copy it before they allocate.
#pragma once

#include "core/cell.h"
#include "core/hash.h"
#include "core/memory.h"
#include "core/stack.h"

#include <cstdint>

namespace kel {

enum ContextKind : uint32_t {
    CONTEXT_GLOBAL = 0,
    CONTEXT_FUNCTION = 1,
    CONTEXT_OBJECT = 2,
};

constexpr uint32_t GLOBAL_CONTEXT_WORDS = 4000;

// The global context's node (0 before global_context_init). The collector marks it as a context.
extern Node g_global_context;

// Change notification of objects, installed by the object code: called by context_set_in after
// a field of an object that has a change-handler record was assigned (the slot already holds the
// new value). All four cells lie on the data stack; the handler may allocate and run code.
using ObjectOnChangeFn = void (*)(const Cell* owner, const Cell* word, const Cell* old_value,
                                  const Cell* new_value);
extern ObjectOnChangeFn g_object_on_change;

// ---- Layout accessors (no allocation) -----------------------------------------------------------

inline Cell* context_cell(Node ctx) { return reinterpret_cast<Cell*>(node_series(ctx)->data()); }
inline Cell* context_owner(Node ctx) { return context_cell(ctx) + 1; }
// The node of the context whose buffer holds this context cell (the buffer's back-pointer).
inline Node context_node_of(const Cell* context_cell) {
    return (reinterpret_cast<const Series*>(context_cell) - 1)->node;
}
inline uint32_t context_kind(Node ctx) {
    return (context_cell(ctx)->header & CELL_CTX_KIND_MASK) >> CELL_CTX_KIND_SHIFT;
}
inline bool context_on_stack(Node ctx) { return context_cell(ctx)->header & CELL_CTX_ON_STACK; }
inline bool context_has_self(Node ctx) { return context_cell(ctx)->header & CELL_CTX_SELF; }
inline Node context_word_table(Node ctx) { return context_cell(ctx)->data1; }
// The word list: its node, its buffer, word cell i and the number of words.
inline Node context_words_node(Node ctx) { return hashtable_record(context_word_table(ctx))->values; }
inline Series* context_words(Node ctx) { return node_series(context_words_node(ctx)); }
inline Cell* context_word_slot(Node ctx, uint32_t i) { return context_words(ctx)->cell_at(i); }
inline uint32_t context_word_count(Node ctx) { return context_words(ctx)->length(); }

// ---- Making -------------------------------------------------------------------------------------

// Makes the global context (room for 4000 words, kind 0). Called once by runtime_init, after the
// root blocks.
void global_context_init();

// A new context with room for n words (0 counts as 1). With on_stack the values live on the data
// stack (word 2 stays 0, bit 22 set); otherwise a values series of n unset cells is made. With a
// source context the word table starts as a copy of the source's (its words still name the
// source's node). Returns the node; the owner cell is unset.
Node context_make(uint32_t n, bool on_stack, bool self, Node source, uint32_t kind);
// A context holding, in order, the word!, get-word!, lit-word! and refinement! entries of a spec
// block from its head (each symbol once, compared without case); everything else is skipped.
Node context_make_from_spec(const Cell* spec, bool on_stack, bool self, uint32_t kind);
// A new context of the given kind with the same words, stack flag and self flag as the context
// in word 1 of `holder`, and a fresh unset value for every word; its words are bound to it. The
// new node is stored in word 1 of `holder` and returned. No collection runs meanwhile, so only
// the new context's own buffers are allocated: `holder` stays where it was.
Node context_duplicate(Cell* holder, uint32_t kind);

// ---- Look-up and addition -----------------------------------------------------------------------
//
// `caseless` compares canonical symbols (Foo finds foo); otherwise symbol ids must be equal.

int32_t context_find_word(Node ctx, uint32_t symbol, bool caseless);
// The index when present. Otherwise appends the word (ctx, symbol, count) to the word list,
// returns -1 and writes the new index to *out_index. The values are not touched.
int32_t context_find_or_add_word(Node ctx, uint32_t symbol, bool caseless, int32_t* out_index);
// Caseless find-or-add of the word's symbol; a new word of a context that keeps its values gets
// an unset value slot. Returns the index, old or new.
int32_t context_add_word(Node ctx, const Cell* word);
// Caseless find-or-add; the value is copied into the existing slot or into a new one. Returns
// the slot.
Cell* context_put_word_value(Node ctx, const Cell* word, const Cell* value);
// Only for a new word: adds it with a copy of the value and returns the slot; returns null and
// changes nothing when the word was there.
Cell* context_add_word_value(Node ctx, const Cell* word, const Cell* value);
// Clips the block's head to its tail, then adds every set-word! from the head on. True when the
// word list grew.
bool context_collect_set_words(Node ctx, Cell* block);

// Find-or-add in the global context. A found word is returned as stored, except that with both
// caseless and copy a case variant (stored spelling differs from `symbol`) is returned as a copy
// in the root block spelled as asked, sharing the stored word's index. A new word gets an unset
// value; when a case variant of it is already present, it shares that variant's value slot.
Cell* context_add_global(uint32_t symbol, bool caseless, bool copy);
// Exact add to the global context with the copy flag; while g_root_collect is set the word is
// copied into the root block and the copy returned.
Cell* context_global_word(uint32_t symbol);
// The context's own word for the symbol (exact search), else context_global_word.
Cell* context_word_or_global(Node ctx, uint32_t symbol);
// The value cell of a symbol the context holds (caseless); a stack-held context is replaced by
// the global context. The symbol must be present.
Cell* context_value_by_symbol(uint32_t symbol, Node ctx);

// ---- Access by index ----------------------------------------------------------------------------

inline Cell* context_word_at(Node ctx, uint32_t i) { return context_word_slot(ctx, i); }
Cell* context_push_word(Node ctx, uint32_t i);
// Value cell i: from the values series, or from the running frame of a stack-held context; a
// stack-held context that is not running raises script not-defined with word i.
Cell* context_value_at(Node ctx, uint32_t i);
// Pushes a copy of value i (not-defined as above).
Cell* context_get(Node ctx, uint32_t i);
// Copies the last pushed value into slot i (marking word i changed in an object context) and
// returns the slot.
Cell* context_set_from_top(Node ctx, uint32_t i);
// As context_set_from_top, after pushing a copy of the slot's old value.
Cell* context_swap_top(Node ctx, uint32_t i);

// ---- Words and values ---------------------------------------------------------------------------

// The symbol id of `self` (interned on first use).
uint32_t context_self_symbol();

// The rare paths of word_value_in: index -1, no context, a context without values.
Cell* word_value_in_slow(const Cell* word, Node ctx);

// The address of the word's value cell in ctx. Raises script not-in-context when the context has
// no values (a function that is not running, or no context at all); for index -1, the word
// `self` yields the owner cell of its context and any other word raises script no-value.
inline Cell* word_value_in(const Cell* word, Node ctx) {
    int32_t i = int32_t(word->data3);
    if (ctx && i >= 0) [[likely]] {
        const Cell* cc = context_cell(ctx);
        uint32_t values = cc->data2;
        if (values) [[likely]] {
            if (!(cc->header & CELL_CTX_ON_STACK))
                return reinterpret_cast<Cell*>(node_series(values)->head_ptr()) + i;
            return stack_frame_cell(values) + i;
        }
    }
    return word_value_in_slow(word, ctx);
}
inline Cell* word_get(const Cell* word) { return word_value_in(word, word->data1); }

// Stores a copy of value in the word's slot of ctx and returns the slot:
//  - index -1 is resolved (exact search, else the word is added) and stored in `word` before the
//    context grows (so `word` must not lie in ctx's own word list or values);
//  - a context without values raises script not-defined;
//  - in an object context the word is marked changed; with notify and a change-handler record on
//    the owner, g_object_on_change runs after the store and the data top is restored after it.
Cell* context_set_in(Cell* word, const Cell* value, Node ctx, bool notify);
inline Cell* word_set(Cell* word, const Cell* value) {
    return context_set_in(word, value, word->data1, true);
}

// ---- Binding ------------------------------------------------------------------------------------

// Caseless search of the word's symbol; when found the word takes ctx and the index. Returns the
// index or -1 (the word is then left as it was). Never allocates.
int32_t bind_word(Node ctx, Cell* word);
// Binds every word of the block in place, descending into blocks, parens, paths and hash!
// values; a block already being bound (it contains itself) is skipped. With self, a word! spelled
// exactly `self` is bound to ctx with index -1. issue! values are never bound. Returns the block.
Cell* bind_block(Cell* block, Node ctx, bool self);

} // namespace kel
