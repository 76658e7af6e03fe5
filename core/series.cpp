// Series basics over value cells and the root block.
#include "core/series.h"

#include "core/roots.h"

#include <cstring>

namespace kel {

Node g_root_block = 0;
Node g_data_stack_node = 0;
Node g_call_stack_node = 0;
Node g_symbol_block = 0;

void root_blocks_init() {
    g_root_block = alloc_unmanaged_series(ROOT_BLOCK_CELLS, 16, 0);
    g_data_stack_node = alloc_unmanaged_series(DATA_STACK_CELLS, 16, 0);
    block_append(g_root_block, make_series(T_BLOCK, g_data_stack_node));
    g_call_stack_node = alloc_unmanaged_series(CALL_STACK_BYTES, 1, 0);
    block_append(g_root_block, make_series(T_BINARY, g_call_stack_node));
    g_symbol_block = alloc_cells(SYMBOL_BLOCK_CELLS);
    block_append(g_root_block, make_series(T_BLOCK, g_symbol_block));
}

Cell* boot_cell(uint32_t index) {
    return reinterpret_cast<Cell*>(node_series(g_root_block)->data()) + index;
}

uint32_t boot_cell_word(uint32_t index) { return boot_cell(index)->data1; }

Cell* reserve_cell(Node node) {
    Series* s = node_series(node);
    if (uint64_t(s->tail) + 16 > s->size) s = expand_series_copy(s, s->size ? uint64_t(s->size) * 2 : 16);
    Cell* c = s->cell_tail();
    c->header = T_UNSET;
    s->tail += 16;
    return c;
}

Cell* append_cell(const Cell* block) { return reserve_cell(series_node(block)); }

Cell* block_append(Node node, const Cell& value) {
    // value may live in the buffer that is about to move, or be the only reference to what it
    // holds while the block grows
    Rooted v(value);
    Cell* c = reserve_cell(node);
    *c = v.value;
    return c;
}

uint8_t* reserve_tail_bytes(Node node, uint64_t n) {
    Series* s = node_series(node);
    // checked even when the buffer has room: rounded up, it can hold units past the largest length
    checked_length((uint64_t(s->used()) + n) / s->unit());
    if (uint64_t(s->tail) + n > s->size) {
        uint64_t grown = s->size < n ? n * 2 : uint64_t(s->size) * 2;
        s = expand_series_copy(s, growth_size(uint64_t(s->used()) + n, grown));
    }
    uint8_t* old_tail = s->tail_ptr();
    s->tail += checked_size(n);
    return old_tail;
}

Node copy_series_part(Node node, uint64_t offset, uint64_t length) {
    Series* src = node_series(node);
    uint32_t unit = src->unit();
    uint64_t avail = src->length();
    if (offset > avail) offset = avail;
    if (length > avail - offset) length = avail - offset;
    Node copy = alloc_bytes(length * unit);
    src = node_series(node);
    Series* dst = node_series(copy);
    std::memcpy(dst->data(), src->head_ptr() + offset * unit, length * unit);
    dst->flags = (src->flags & ~(SER_MANAGER_BITS | SER_OWNED)) | (dst->flags & SER_MANAGER_BITS);
    dst->head = 0;
    dst->tail = uint32_t(length * unit);
    return copy;
}

} // namespace kel
