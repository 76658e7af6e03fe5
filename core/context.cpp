// Contexts: making, looking up, extending, reading, writing and binding.
//
// Word look-up goes through the context's word table (a kind-2 hash table keyed by canonical
// symbol), so finding a word never allocates; adding one appends to the word list and, for a
// context that keeps its values, one unset value cell. Binding walks blocks in place and never
// allocates either, which is why bind_block may keep raw buffer addresses for its whole walk.
//
// A fresh context's nodes (word table, values, the context itself) are referred to by nothing the
// collector sees until the caller stores the context somewhere, so every sequence here that
// allocates more than once, or keeps a fresh node that nothing refers to yet, holds the collector
// off for its duration.
#include "core/context.h"

#include "core/cycles.h"
#include "core/errors.h"
#include "core/runtime.h"
#include "core/series.h"
#include "core/symbol.h"

namespace kel {

Node g_global_context = 0;
ObjectOnChangeFn g_object_on_change = nullptr;

namespace {

uint32_t s_sym_self = 0;

Cell* values_cell(Node values, uint32_t i) {
    return reinterpret_cast<Cell*>(node_series(values)->head_ptr()) + i;
}

// The values series of a context that keeps its values gets one more unset cell.
void append_unset_value(Node ctx) {
    const Cell* cc = context_cell(ctx);
    if (cc->header & CELL_CTX_ON_STACK) return;
    reserve_cell(cc->data2);
}

// Value slot i, or script not-defined (with word i) when the values are on a stack frame that is
// not there.
Cell* slot_or_not_defined(Node ctx, uint32_t i) {
    const Cell* cc = context_cell(ctx);
    uint32_t values = cc->data2;
    if (!values) {
        Cell word = *context_word_slot(ctx, i);
        fire_error(Err::NotDefined, &word);
    }
    if (cc->header & CELL_CTX_ON_STACK) return stack_frame_cell(values) + i;
    return values_cell(values, i);
}

void mark_changed(Node ctx, uint32_t i) {
    if (context_kind(ctx) == CONTEXT_OBJECT) context_word_slot(ctx, i)->header |= CELL_OBJ_CHANGED;
}

bool is_block_like(TypeId t) {
    switch (t) {
    case T_BLOCK: case T_PAREN: case T_PATH: case T_LIT_PATH: case T_SET_PATH: case T_GET_PATH:
    case T_HASH:
        return true;
    default:
        return false;
    }
}

} // namespace

// ---- Making -------------------------------------------------------------------------------------

void global_context_init() {
    // a new start has a new symbol table: `self` is interned again on first use
    s_sym_self = 0;
    g_global_context = context_make(GLOBAL_CONTEXT_WORDS, false, false, 0, CONTEXT_GLOBAL);
}

Node context_make(uint32_t n, bool on_stack, bool self, Node source, uint32_t kind) {
    if (n == 0) n = 1;
    CollectorHold hold;
    Node ctx = alloc_cells(2);
    Node table = source ? hashtable_make(n, context_word_table(source), HASH_KIND_WORDS, 2)
                        : hashtable_make(n, 0, HASH_KIND_WORDS, 1);
    Node values = on_stack ? 0 : alloc_cells_unset(n);
    Series* s = node_series(ctx);
    Cell* cc = reinterpret_cast<Cell*>(s->data());
    uint32_t header = T_CONTEXT | ((kind << CELL_CTX_KIND_SHIFT) & CELL_CTX_KIND_MASK);
    if (on_stack) header |= CELL_CTX_ON_STACK;
    if (self) header |= CELL_CTX_SELF;
    cc[0] = Cell{header, table, values, 0};
    cc[1] = Cell{T_UNSET, 0, 0, 0};
    s->head = 0;
    s->tail = 2 * sizeof(Cell);
    return ctx;
}

Node context_make_from_spec(const Cell* spec_in, bool on_stack, bool self, uint32_t kind) {
    Cell spec = *spec_in;
    CollectorHold hold;
    Node block = series_node(&spec);
    uint32_t length = node_series(block)->length();
    uint32_t head = series_index(&spec) < length ? series_index(&spec) : length;
    Node ctx = context_make(length - head, on_stack, self, 0, kind);
    Node table = context_word_table(ctx);
    for (uint32_t i = head; i < node_series(block)->length(); ++i) {
        const Cell* item = node_series(block)->cell_at(i);
        switch (item->type()) {
        case T_WORD: case T_GET_WORD: case T_LIT_WORD: case T_REFINEMENT: {
            int32_t added;
            hashtable_word_index(table, item->data2, true, ctx, &added);
            break;
        }
        default:
            break;
        }
    }
    if (!on_stack) {
        Series* values = node_series(context_cell(ctx)->data2);
        values->tail = values->head + context_word_count(ctx) * uint32_t(sizeof(Cell));
    }
    return ctx;
}

Node context_duplicate(Cell* holder, uint32_t kind) {
    Node source = holder->data1;
    CollectorHold hold;
    bool on_stack = context_on_stack(source);
    uint32_t count = context_word_count(source);
    Node ctx = context_make(count, on_stack, context_has_self(source), source, kind);
    Series* words = context_words(ctx);
    for (uint32_t i = 0; i < words->length(); ++i) words->cell_at(i)->data1 = ctx;
    if (!on_stack) {
        Series* values = node_series(context_cell(ctx)->data2);  // made with room for count
        Cell* v = reinterpret_cast<Cell*>(values->head_ptr());
        for (uint32_t i = 0; i < count; ++i) v[i] = Cell{T_UNSET, 0, 0, 0};
        values->tail = values->head + count * uint32_t(sizeof(Cell));
    }
    holder->data1 = ctx;
    return ctx;
}

// ---- Look-up and addition -----------------------------------------------------------------------

int32_t context_find_word(Node ctx, uint32_t symbol, bool caseless) {
    return hashtable_word_index(context_word_table(ctx), symbol, caseless, 0, nullptr);
}

int32_t context_find_or_add_word(Node ctx, uint32_t symbol, bool caseless, int32_t* out_index) {
    return hashtable_word_index(context_word_table(ctx), symbol, caseless, ctx, out_index);
}

int32_t context_add_word(Node ctx, const Cell* word) {
    uint32_t symbol = word->data2;
    CollectorHold hold;
    int32_t added = -1;
    int32_t i = context_find_or_add_word(ctx, symbol, true, &added);
    if (i >= 0) return i;
    append_unset_value(ctx);
    return added;
}

Cell* context_put_word_value(Node ctx, const Cell* word, const Cell* value_in) {
    Cell value = *value_in;
    CollectorHold hold;
    Cell* slot = slot_or_not_defined(ctx, uint32_t(context_add_word(ctx, word)));
    *slot = value;
    return slot;
}

Cell* context_add_word_value(Node ctx, const Cell* word, const Cell* value_in) {
    Cell value = *value_in;
    uint32_t symbol = word->data2;
    CollectorHold hold;
    int32_t added = -1;
    if (context_find_or_add_word(ctx, symbol, true, &added) >= 0) return nullptr;
    append_unset_value(ctx);
    Cell* slot = slot_or_not_defined(ctx, uint32_t(added));
    *slot = value;
    return slot;
}

bool context_collect_set_words(Node ctx, Cell* block) {
    Node node = series_node(block);
    uint32_t length = node_series(node)->length();
    if (series_index(block) > length) block->data1 = length;
    uint32_t head = series_index(block);
    CollectorHold hold;
    uint32_t before = context_word_count(ctx);
    for (uint32_t i = head; i < node_series(node)->length(); ++i) {
        const Cell* item = node_series(node)->cell_at(i);
        if (item->is(T_SET_WORD)) {
            Cell word = *item;
            context_add_word(ctx, &word);
        }
    }
    return context_word_count(ctx) > before;
}

Cell* context_add_global(uint32_t symbol, bool caseless, bool copy) {
    Node ctx = g_global_context;
    CollectorHold hold;
    int32_t added = -1;
    int32_t i = context_find_or_add_word(ctx, symbol, caseless, &added);
    if (i >= 0) {
        Cell* stored = context_word_slot(ctx, uint32_t(i));
        if (!(caseless && copy) || stored->data2 == symbol) return stored;
        Cell variant = *stored;
        variant.data2 = symbol;
        return block_append(g_root_block, variant);
    }
    append_unset_value(ctx);
    // A case variant of a word already present shares its value slot (the new word is the last
    // variant on the probe sequence, so the look-up answers the slot of an older one when there
    // is one, else its own). This holds for a canonical symbol too: its alias may have been added
    // first.
    int32_t shared = context_find_word(ctx, symbol, true);
    context_word_slot(ctx, uint32_t(added))->data3 = uint32_t(shared);
    return context_word_slot(ctx, uint32_t(added));
}

Cell* context_global_word(uint32_t symbol) {
    Cell* word = context_add_global(symbol, false, true);
    if (!g_root_collect) return word;
    return block_append(g_root_block, *word);
}

Cell* context_word_or_global(Node ctx, uint32_t symbol) {
    int32_t i = context_find_word(ctx, symbol, false);
    if (i >= 0) return context_word_slot(ctx, uint32_t(i));
    return context_global_word(symbol);
}

Cell* context_value_by_symbol(uint32_t symbol, Node ctx) {
    if (context_on_stack(ctx)) ctx = g_global_context;
    int32_t i = context_find_word(ctx, symbol, true);
    return values_cell(context_cell(ctx)->data2, uint32_t(i));
}

// ---- Access by index ----------------------------------------------------------------------------

Cell* context_push_word(Node ctx, uint32_t i) { return stack_push(context_word_slot(ctx, i)); }

Cell* context_value_at(Node ctx, uint32_t i) { return slot_or_not_defined(ctx, i); }

Cell* context_get(Node ctx, uint32_t i) { return stack_push(slot_or_not_defined(ctx, i)); }

Cell* context_set_from_top(Node ctx, uint32_t i) {
    Cell* slot = slot_or_not_defined(ctx, i);
    mark_changed(ctx, i);
    *slot = *stack_top();
    return slot;
}

Cell* context_swap_top(Node ctx, uint32_t i) {
    Cell* slot = slot_or_not_defined(ctx, i);
    Cell value = *stack_top();
    stack_push(slot);
    mark_changed(ctx, i);
    *slot = value;
    return slot;
}

// ---- Words and values ---------------------------------------------------------------------------

uint32_t context_self_symbol() {
    if (!s_sym_self) {
        CollectorHold hold;  // callers keep node handles across this one-time interning
        s_sym_self = symbol_make("self");
    }
    return s_sym_self;
}

Cell* word_value_in_slow(const Cell* word, Node ctx) {
    int32_t i = int32_t(word->data3);
    if (i == -1) {
        Cell w = *word;
        if (w.data1 && w.data2 == context_self_symbol()) return context_owner(w.data1);
        fire_error(Err::NoValue, &w);
    }
    if (!ctx || !context_cell(ctx)->data2) fire_error(Err::NotInContext, word);
    return word_value_in(word, ctx);
}

Cell* context_set_in(Cell* word, const Cell* value_in, Node ctx, bool notify) {
    Cell value = *value_in;
    Cell w = *word;
    if (!ctx) fire_error(Err::NotDefined, &w);
    int32_t i = int32_t(w.data3);
    if (i == -1) {
        // the exact word's own index (a case variant in the global context shares another's slot)
        i = context_find_word(ctx, w.data2, false);
        if (i >= 0) i = int32_t(context_word_slot(ctx, uint32_t(i))->data3);
        else i = context_find_word(ctx, w.data2, true);
        bool absent = i < 0;
        // A new word takes the next index. It is stored in `word` before the context grows,
        // because growing may move the buffer that holds `word`.
        if (absent) i = int32_t(context_word_count(ctx));
        word->data3 = w.data3 = uint32_t(i);
        if (absent) context_add_word(ctx, &w);
    }
    const Cell* cc = context_cell(ctx);
    uint32_t values = cc->data2;
    if (!values) fire_error(Err::NotDefined, &w);
    if (cc->header & CELL_CTX_ON_STACK) {
        Cell* slot = stack_frame_cell(values) + i;
        *slot = value;
        return slot;
    }
    Cell* slot = values_cell(values, uint32_t(i));
    if (context_kind(ctx) != CONTEXT_OBJECT) {
        *slot = value;
        return slot;
    }
    Cell* changed = context_word_slot(ctx, uint32_t(i));
    changed->header |= CELL_OBJ_CHANGED;
    const Cell* owner = context_owner(ctx);
    if (!notify || !owner->data3 || !g_object_on_change) {
        *slot = value;
        return slot;
    }
    // Every cell the handler sees lies on the data stack, which neither moves nor is missed by
    // the collector; the owner copy also carries the context node across the handler's run.
    Cell* saved_top = g_stack.top;
    Cell* old_value = stack_push(slot);
    *slot = value;
    Cell* owner_copy = stack_push(owner);
    Cell* word_copy = stack_push(w);
    Cell* new_copy = stack_push(value);
    g_object_on_change(owner_copy, word_copy, old_value, new_copy);
    Node after = owner_copy->data1;
    g_stack.top = saved_top;
    return values_cell(context_cell(after)->data2, uint32_t(i));
}

// ---- Binding ------------------------------------------------------------------------------------

int32_t bind_word(Node ctx, Cell* word) {
    int32_t i = context_find_word(ctx, word->data2, true);
    if (i >= 0) {
        word->data1 = ctx;
        word->data3 = uint32_t(i);
    }
    return i;
}

namespace {

void bind_cells(Node block, uint32_t head, Node ctx, Node table, uint32_t self_symbol) {
    if (cycles_find(block)) return;
    cycles_push(block);
    Series* s = node_series(block);
    Cell* end = s->cell_tail();
    for (Cell* c = s->cells() + head; c < end; ++c) {
        switch (c->type()) {
        case T_WORD:
            if (c->data2 == self_symbol) {
                c->data1 = ctx;
                c->data3 = uint32_t(-1);
                break;
            }
            [[fallthrough]];
        case T_SET_WORD: case T_LIT_WORD: case T_GET_WORD: case T_REFINEMENT: {
            int32_t i = hashtable_word_index(table, c->data2, true, 0, nullptr);
            if (i >= 0) {
                c->data1 = ctx;
                c->data3 = uint32_t(i);
            }
            break;
        }
        default:
            if (is_block_like(c->type()) && series_node(c))
                bind_cells(series_node(c), series_index(c), ctx, table, self_symbol);
            break;
        }
    }
    cycles_pop();
}

} // namespace

Cell* bind_block(Cell* block, Node ctx, bool self) {
    // The block is read before `self` may be interned: interning allocates, and the cell may lie
    // in a buffer that moves.
    Node node = series_node(block);
    uint32_t head = series_index(block);
    // 0 never names a symbol, so without the self flag no word takes the -1 binding.
    uint32_t self_symbol = self ? context_self_symbol() : 0;
    if (node) bind_cells(node, head, ctx, context_word_table(ctx), self_symbol);
    return block;
}

} // namespace kel
