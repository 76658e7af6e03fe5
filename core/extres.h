// The external-resource table.
//
// Operating-system objects that values refer to (platform images, fonts, GUI objects) are not
// series, so the collector cannot reclaim them by compacting frames. They sit in one table of
// slots on the malloc heap; a value holds the slot's index. Each slot belongs to a resource kind,
// registered once with a release callback. During a collection the marking sets the mark bit of
// every slot a reachable value uses, and the sweep releases the object of every unmarked slot
// through its kind's callback and frees the slot.
//
// Slots in use form one singly linked chain (newest first); free slots form another, and the most
// recently freed slot is reused first. The array doubles when its last free slot is about to be
// handed out, so indexes stay valid for the life of the process.
//
// Safety: a slot index that is out of range or names a free slot is refused by every operation
// (nothing is changed, nothing released), and a slot is unlinked and freed before its object is
// released, so no object is released twice even when a release callback calls back into the
// table. Release callbacks run inside a collection: they must not allocate series.
#pragma once

#include <cstdint>

namespace kel {

constexpr uint32_t EXTRES_MAX_KINDS = 20;
constexpr uint32_t EXTRES_INITIAL_SLOTS = 1000;
constexpr uint32_t EXTRES_KIND_MASK = 0xFF;
constexpr uint32_t EXTRES_FREE = 0x40000000;   // the flags of a free slot, exactly
constexpr uint32_t EXTRES_MARK = 0x80000000;
constexpr uint32_t EXTRES_RELEASE_REASON = 12; // first argument of every release call
constexpr int32_t EXTRES_NONE = -1;            // end of a chain; also what extres_free answers

// Called as (EXTRES_RELEASE_REASON, kind id, object).
using ExtresRelease = void (*)(uint32_t reason, uint32_t kind, void* object);

struct ExtresSlot {
    uint32_t flags;  // bits 0-7 the kind id, EXTRES_MARK; exactly EXTRES_FREE when free
    int32_t next;    // next slot of the same chain, EXTRES_NONE at the end
    void* object;
};

struct ExtresKind {
    char name[32];
    ExtresRelease release;
};

struct ExtresTable {
    ExtresSlot* slots;
    uint32_t capacity;
    uint32_t in_use;      // slots on the in-use chain
    int32_t used_head;    // EXTRES_NONE when empty
    int32_t free_head;
    uint32_t kind_count;
    ExtresKind kinds[EXTRES_MAX_KINDS];
};
extern ExtresTable g_extres;

// Makes (or remakes, releasing nothing) the table: 1000 free slots, no kinds.
void extres_init();
// Frees the slot array at exit; the objects are not released.
void extres_release_all();

// Registers a kind; answers its id (1-based), or 0 when 20 kinds are registered already.
uint32_t extres_register_kind(const char* name, ExtresRelease release);

// Takes a free slot for the object; flags carry the kind id. Answers the slot index.
int32_t extres_alloc(void* object, uint32_t flags);
// Stores a new object in a slot in use; a different old object is released.
void extres_set(int32_t index, void* object);
// Frees a slot in use, releasing its object first when release is set. Always answers -1.
int32_t extres_free(int32_t index, bool release);
// Sets the mark of a slot in use and, when object is given, replaces its object without
// releasing the old one. True when the slot was not marked before.
bool extres_mark(int32_t index, void* object = nullptr);
// The object of a slot in use, or null.
void* extres_object(int32_t index);
bool extres_in_use(int32_t index);
// Calls callback(12, kind, object) for every slot in use of the kind.
void extres_for_each(uint32_t kind, ExtresRelease callback);
// Releases and frees every unmarked slot in use; clears the marks of the others.
void extres_sweep();

} // namespace kel
