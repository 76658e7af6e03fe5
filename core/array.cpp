// Growable arrays over unit-1 and unit-4 series, and the slot list.
#include "core/array.h"

#include "core/roots.h"
#include "core/series.h"

#include <cstring>
#include <vector>

namespace kel {

namespace {

inline uint32_t read_unit(const uint8_t* p, uint32_t unit) {
    if (unit == 1) return *p;
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

inline void write_unit(uint8_t* p, uint32_t unit, uint32_t value) {
    if (unit == 1) *p = uint8_t(value);
    else std::memcpy(p, &value, 4);
}

} // namespace

uint32_t array_length(Node array) {
    Series* s = node_series(array);
    return s->used() / s->unit();
}

void array_clear(Node array) {
    Series* s = node_series(array);
    s->tail = s->head;
}

void array_append(Node array, uint32_t value) {
    uint32_t unit = node_series(array)->unit();
    uint8_t* p = reserve_tail_bytes(array, unit);
    write_unit(p, unit, value);
}

int32_t array_find(Node array, uint32_t value) {
    Series* s = node_series(array);
    uint32_t unit = s->unit();
    const uint8_t* head = s->head_ptr();
    uint32_t used = s->used();
    if (unit == 1) {
        const void* hit = used ? std::memchr(head, int(value & 0xFF), used) : nullptr;
        return hit ? int32_t(static_cast<const uint8_t*>(hit) - head) : -1;
    }
    for (uint32_t off = 0; off + 4 <= used; off += 4)
        if (read_unit(head + off, 4) == value) return int32_t(off);
    return -1;
}

uint32_t array_pick(Node array, uint32_t i) {
    Series* s = node_series(array);
    uint32_t unit = s->unit();
    if (i == 0 || i > s->used() / unit) return 0;
    return read_unit(s->head_ptr() + (i - 1) * unit, unit);
}

void array_poke(Node array, uint32_t i, uint32_t value) {
    Series* s = node_series(array);
    uint32_t unit = s->unit();
    if (i == 0 || i > s->used() / unit) return;
    write_unit(s->head_ptr() + (i - 1) * unit, unit, value);
}

void array_remove_bytes(Node array, uint32_t offset, uint32_t n) {
    Series* s = node_series(array);
    uint32_t used = s->used();
    if (offset >= used) return;
    if (n > used - offset) n = used - offset;
    uint8_t* at = s->head_ptr() + offset;
    std::memmove(at, at + n, used - offset - n);
    s->tail -= n;
}

// ---- Slot list ---------------------------------------------------------------------------------

Node g_slot_list = 0;
int32_t g_slot_first_free = -1;

namespace {

std::vector<uint8_t> g_slot_is_free;  // one entry per cell of the slot block

// Chains cells [from, capacity) as free, ending the chain with -1.
void slot_chain(uint32_t from, uint32_t capacity) {
    Series* s = node_series(g_slot_list);
    Cell* c = reinterpret_cast<Cell*>(s->data());
    for (uint32_t k = from; k < capacity; ++k)
        init_cell(&c[k], T_INTEGER, 0, k + 1 < capacity ? k + 1 : uint32_t(-1), 0);
    s->head = 0;
    s->tail = capacity * 16;
    g_slot_is_free.resize(capacity, 1);  // from is the old capacity: the new entries are free
    g_slot_first_free = int32_t(from);
}

} // namespace

void slot_list_init(Node parent) {
    g_slot_list = alloc_cells(SLOT_LIST_FIRST_CAPACITY);
    g_slot_is_free.clear();
    slot_chain(0, SLOT_LIST_FIRST_CAPACITY);
    if (parent) block_append(parent, make_series(T_BLOCK, g_slot_list));
}

uint32_t slot_list_capacity() { return g_slot_list ? node_series(g_slot_list)->tail / 16 : 0; }

Cell* slot_list_get(uint32_t i) {
    if (i == 0 || i > slot_list_capacity()) return nullptr;
    return reinterpret_cast<Cell*>(node_series(g_slot_list)->data()) + (i - 1);
}

uint32_t slot_list_alloc(const Cell& value) {
    // The value is copied out first (it may lie in the slot block, which moves when it grows) and
    // rooted: it may be referenced nowhere else, and growing the block may collect.
    Rooted copy(value);
    if (g_slot_first_free < 0) {
        uint32_t capacity = slot_list_capacity();
        expand_series_copy(node_series(g_slot_list), uint64_t(capacity) * 2 * 16);
        slot_chain(capacity, capacity * 2);
    }
    uint32_t k = uint32_t(g_slot_first_free);
    Cell* c = reinterpret_cast<Cell*>(node_series(g_slot_list)->data()) + k;
    g_slot_first_free = int32_t(c->data2);
    *c = copy.value;
    g_slot_is_free[k] = 0;
    return k + 1;
}

void slot_list_free(uint32_t i) {
    if (i == 0 || i > slot_list_capacity() || g_slot_is_free[i - 1]) return;
    Cell* c = reinterpret_cast<Cell*>(node_series(g_slot_list)->data()) + (i - 1);
    init_cell(c, T_INTEGER, 0, uint32_t(g_slot_first_free), 0);
    g_slot_first_free = int32_t(i - 1);
    g_slot_is_free[i - 1] = 1;
}

} // namespace kel
