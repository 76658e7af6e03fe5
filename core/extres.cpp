// The external-resource table: slots, kinds, marking and the sweep.
//
// Every operation that can run user callbacks (set, free, for-each, sweep) first brings the table
// to a consistent state and only then calls out, so a callback may use the table freely: the
// slots it sees are either in use with their object, or free.
#include "core/extres.h"

#include "core/errors.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace kel {

ExtresTable g_extres{};

namespace {

// Chains slots [from, to) as free, the last one ending the chain.
void chain_free(uint32_t from, uint32_t to) {
    for (uint32_t i = from; i < to; ++i) {
        g_extres.slots[i].flags = EXTRES_FREE;
        g_extres.slots[i].object = nullptr;
        g_extres.slots[i].next = i + 1 < to ? int32_t(i + 1) : EXTRES_NONE;
    }
}

bool valid_in_use(int32_t index) {
    return index >= 0 && uint32_t(index) < g_extres.capacity &&
           (g_extres.slots[index].flags & EXTRES_FREE) == 0;
}

void release(uint32_t kind, void* object) {
    if (kind == 0 || kind > g_extres.kind_count) return;
    if (ExtresRelease fn = g_extres.kinds[kind - 1].release) fn(EXTRES_RELEASE_REASON, kind, object);
}

// Takes a slot in use off the in-use chain and frees it. False when it is not on the chain.
bool unlink_and_free(int32_t index) {
    ExtresSlot* slots = g_extres.slots;
    int32_t prev = EXTRES_NONE;
    int32_t i = g_extres.used_head;
    while (i != EXTRES_NONE && i != index) {
        prev = i;
        i = slots[i].next;
    }
    if (i == EXTRES_NONE) return false;
    if (prev == EXTRES_NONE) g_extres.used_head = slots[i].next;
    else slots[prev].next = slots[i].next;
    slots[i].flags = EXTRES_FREE;
    slots[i].object = nullptr;
    slots[i].next = g_extres.free_head;
    g_extres.free_head = i;
    g_extres.in_use--;
    return true;
}

void grow() {
    uint64_t doubled = g_extres.capacity ? uint64_t(g_extres.capacity) * 2 : EXTRES_INITIAL_SLOTS;
    if (doubled > 0x40000000u) fire_error(Err::NoMemory);
    void* p = std::realloc(g_extres.slots, doubled * sizeof(ExtresSlot));
    if (!p) fire_error(Err::NoMemory);
    uint32_t old = g_extres.capacity;
    g_extres.slots = static_cast<ExtresSlot*>(p);
    g_extres.capacity = uint32_t(doubled);
    chain_free(old, g_extres.capacity);
}

} // namespace

void extres_init() {
    std::free(g_extres.slots);
    g_extres = ExtresTable{};
    g_extres.slots = static_cast<ExtresSlot*>(std::malloc(EXTRES_INITIAL_SLOTS * sizeof(ExtresSlot)));
    if (!g_extres.slots) fire_error(Err::NoMemory);
    g_extres.capacity = EXTRES_INITIAL_SLOTS;
    chain_free(0, EXTRES_INITIAL_SLOTS);
    g_extres.used_head = EXTRES_NONE;
    g_extres.free_head = 0;
}

void extres_release_all() {
    std::free(g_extres.slots);
    g_extres = ExtresTable{};
    g_extres.used_head = g_extres.free_head = EXTRES_NONE;
}

uint32_t extres_register_kind(const char* name, ExtresRelease release_fn) {
    if (g_extres.kind_count >= EXTRES_MAX_KINDS) return 0;
    ExtresKind& k = g_extres.kinds[g_extres.kind_count];
    std::strncpy(k.name, name ? name : "", sizeof k.name - 1);
    k.name[sizeof k.name - 1] = 0;
    k.release = release_fn;
    return ++g_extres.kind_count;
}

int32_t extres_alloc(void* object, uint32_t flags) {
    int32_t i = g_extres.free_head;
    // the last free slot is served only after the array has doubled behind it
    if (i == EXTRES_NONE || g_extres.slots[i].next == EXTRES_NONE) {
        uint32_t old = g_extres.capacity;
        grow();
        if (i == EXTRES_NONE) i = int32_t(old);
        else g_extres.slots[i].next = int32_t(old);
    }
    ExtresSlot& s = g_extres.slots[i];
    g_extres.free_head = s.next;
    s.flags = flags & ~(EXTRES_FREE | EXTRES_MARK);
    s.object = object;
    s.next = g_extres.used_head;
    g_extres.used_head = i;
    g_extres.in_use++;
    return i;
}

void extres_set(int32_t index, void* object) {
    if (!valid_in_use(index)) return;
    ExtresSlot& s = g_extres.slots[index];
    void* old = s.object;
    s.object = object;
    if (old != object) release(s.flags & EXTRES_KIND_MASK, old);
}

int32_t extres_free(int32_t index, bool release_object) {
    if (!valid_in_use(index)) return EXTRES_NONE;
    uint32_t kind = g_extres.slots[index].flags & EXTRES_KIND_MASK;
    void* object = g_extres.slots[index].object;
    if (unlink_and_free(index) && release_object) release(kind, object);
    return EXTRES_NONE;
}

bool extres_mark(int32_t index, void* object) {
    if (!valid_in_use(index)) return false;
    ExtresSlot& s = g_extres.slots[index];
    if (object) s.object = object;
    bool fresh = (s.flags & EXTRES_MARK) == 0;
    s.flags |= EXTRES_MARK;
    return fresh;
}

void* extres_object(int32_t index) { return valid_in_use(index) ? g_extres.slots[index].object : nullptr; }

bool extres_in_use(int32_t index) { return valid_in_use(index); }

void extres_for_each(uint32_t kind, ExtresRelease callback) {
    struct Entry { int32_t index; void* object; };
    std::vector<Entry> found;
    for (int32_t i = g_extres.used_head; i != EXTRES_NONE; i = g_extres.slots[i].next)
        if ((g_extres.slots[i].flags & EXTRES_KIND_MASK) == kind) found.push_back({i, g_extres.slots[i].object});
    for (const Entry& e : found) {
        // an earlier call may have freed or changed the slot
        if (valid_in_use(e.index) && g_extres.slots[e.index].object == e.object &&
            (g_extres.slots[e.index].flags & EXTRES_KIND_MASK) == kind)
            callback(EXTRES_RELEASE_REASON, kind, e.object);
    }
}

void extres_sweep() {
    struct Doomed { uint32_t kind; void* object; };
    std::vector<Doomed> doomed;
    ExtresSlot* slots = g_extres.slots;
    int32_t prev = EXTRES_NONE;
    for (int32_t i = g_extres.used_head; i != EXTRES_NONE;) {
        ExtresSlot& s = slots[i];
        int32_t next = s.next;
        if (s.flags & EXTRES_MARK) {
            s.flags &= ~EXTRES_MARK;
            prev = i;
        } else {
            doomed.push_back({s.flags & EXTRES_KIND_MASK, s.object});
            if (prev == EXTRES_NONE) g_extres.used_head = next;
            else slots[prev].next = next;
            s.flags = EXTRES_FREE;
            s.object = nullptr;
            s.next = g_extres.free_head;
            g_extres.free_head = i;
            g_extres.in_use--;
        }
        i = next;
    }
    for (const Doomed& d : doomed) release(d.kind, d.object);
}

} // namespace kel
