// symbol!: the cells of the symbol table (core/symbol.h). Its one action is compare, which orders
// two symbols by their spellings as text; a symbol cell keeps its UTF-8 name in the byte series
// of word 3, so comparing needs no cached string and never allocates.
#include "core/memory.h"
#include "datatypes/datatype.h"
#include "datatypes/words.h"

namespace kel {

namespace {

// The UTF-8 name of a symbol cell: a byte series with a NUL after its tail.
const uint8_t* symbol_cell_name(const Cell* c, uint32_t* length) {
    Series* s = node_series(c->data3);
    *length = s->used();
    return s->head_ptr();
}

int32_t symbol_compare(const Cell* a, const Cell* b, int32_t op) {
    if (!b->is(T_SYMBOL)) return CMP_NOT_COMPARABLE;
    if (op == CMP_SAME) return a->data3 == b->data3 ? 0 : 1;
    uint32_t la, lb;
    const uint8_t* pa = symbol_cell_name(a, &la);
    const uint8_t* pb = symbol_cell_name(b, &lb);
    return utf8_text_order(pa, la, pb, lb, op);
}

} // namespace

void symbol_init() {
    ActionEntries e = action_entries(UNSUPPORTED);
    set_entry<A_COMPARE>(e, symbol_compare);
    register_datatype(T_SYMBOL, T_NONE_ID, "symbol!", e);
}

} // namespace kel
