// The external-resource table: kinds (and the refused 21st), growth on the last free slot with
// indexes kept, set/free/sweep releasing each object exactly once, refusals of slots not in use,
// reuse order of freed slots, and callbacks that call back into the table.
#include "core/extres.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

using namespace kel;

namespace {

struct Released {
    uint32_t reason;
    uint32_t kind;
    void* object;
};
std::vector<Released> g_released;

void count_release(uint32_t reason, uint32_t kind, void* object) { g_released.push_back({reason, kind, object}); }

// Objects are distinct fake addresses: 64-bit values that do not fit in 32 bits.
void* object(uint64_t i) { return reinterpret_cast<void*>(0x7F0000000000ull + i * 16); }

size_t releases_of(void* p) {
    size_t n = 0;
    for (const Released& r : g_released) n += r.object == p;
    return n;
}

size_t chain_length(int32_t head) {
    size_t n = 0;
    for (int32_t i = head; i != EXTRES_NONE; i = g_extres.slots[i].next) ++n;
    return n;
}

class Extres : public ::testing::Test {
protected:
    void SetUp() override {
        extres_init();
        g_released.clear();
        kind = extres_register_kind("image", count_release);
    }
    void TearDown() override { extres_release_all(); }
    uint32_t kind = 0;
};

TEST_F(Extres, KindsAreNumberedAndTheTwentyFirstIsRefused) {
    EXPECT_EQ(kind, 1u);
    for (uint32_t k = 2; k <= EXTRES_MAX_KINDS; ++k) EXPECT_EQ(extres_register_kind("k", count_release), k);
    EXPECT_EQ(extres_register_kind("one-too-many", count_release), 0u);
    EXPECT_EQ(g_extres.kind_count, EXTRES_MAX_KINDS);
    EXPECT_STREQ(g_extres.kinds[0].name, "image");
}

TEST_F(Extres, LastFreeSlotDoublesTheTableBeforeItIsServed) {
    std::vector<int32_t> slots;
    for (uint64_t i = 0; i < 999; ++i) slots.push_back(extres_alloc(object(i), kind));
    EXPECT_EQ(g_extres.capacity, 1000u);
    slots.push_back(extres_alloc(object(999), kind));
    EXPECT_EQ(g_extres.capacity, 2000u);
    EXPECT_EQ(slots.back(), 999);
    for (uint64_t i = 0; i < 1000; ++i) {
        EXPECT_EQ(slots[i], int32_t(i));
        EXPECT_EQ(extres_object(slots[i]), object(i));
    }
    EXPECT_EQ(chain_length(g_extres.used_head), 1000u);
    EXPECT_EQ(chain_length(g_extres.free_head), 1000u);
    // keeps growing and serving past the first doubling
    for (uint64_t i = 1000; i < 4500; ++i) extres_alloc(object(i), kind);
    EXPECT_EQ(g_extres.capacity, 8000u);
    EXPECT_EQ(g_extres.in_use, 4500u);
    EXPECT_EQ(extres_object(3999), object(3999));
}

TEST_F(Extres, SetReleasesTheOldObjectOnlyWhenItChanges) {
    int32_t i = extres_alloc(object(1), kind);
    extres_set(i, object(1));
    EXPECT_TRUE(g_released.empty());
    extres_set(i, object(2));
    ASSERT_EQ(g_released.size(), 1u);
    EXPECT_EQ(g_released[0].object, object(1));
    EXPECT_EQ(g_released[0].reason, EXTRES_RELEASE_REASON);
    EXPECT_EQ(g_released[0].kind, kind);
    EXPECT_EQ(extres_object(i), object(2));
}

TEST_F(Extres, FreeReleasesOnRequestAndRefusesSlotsNotInUse) {
    int32_t kept = extres_alloc(object(1), kind);
    int32_t released = extres_alloc(object(2), kind);
    EXPECT_EQ(extres_free(kept, false), -1);
    EXPECT_EQ(extres_free(released, true), -1);
    EXPECT_EQ(releases_of(object(1)), 0u);  // the caller owns it
    EXPECT_EQ(releases_of(object(2)), 1u);
    EXPECT_EQ(g_extres.in_use, 0u);

    // freeing again, or a slot never used, or an index outside the table changes nothing
    const int32_t refused[] = {kept, released, 500, -1, -7, 1000, 1 << 30};
    for (int32_t r : refused) {
        EXPECT_EQ(extres_free(r, true), -1) << r;
        extres_set(r, object(9));
        EXPECT_FALSE(extres_mark(r)) << r;
    }
    EXPECT_EQ(g_released.size(), 1u);
    EXPECT_EQ(chain_length(g_extres.free_head), 1000u);
    EXPECT_EQ(g_extres.used_head, EXTRES_NONE);

    // the most recently freed slot is reused first
    EXPECT_EQ(extres_alloc(object(3), kind), released);
    EXPECT_EQ(extres_alloc(object(4), kind), kept);
}

TEST_F(Extres, FreeUnlinksFromAnyPlaceInTheChain) {
    std::vector<int32_t> s;
    for (uint64_t i = 0; i < 5; ++i) s.push_back(extres_alloc(object(i), kind));
    // the chain is newest first: 4 3 2 1 0; take out the head, a middle one and the last
    for (int32_t i : {s[4], s[2], s[0]}) extres_free(i, true);
    std::vector<int32_t> left;
    for (int32_t i = g_extres.used_head; i != EXTRES_NONE; i = g_extres.slots[i].next) left.push_back(i);
    EXPECT_EQ(left, (std::vector<int32_t>{s[3], s[1]}));
    EXPECT_EQ(g_released.size(), 3u);
}

TEST_F(Extres, SweepReleasesUnmarkedSlotsOnceAndClearsEveryMark) {
    std::vector<int32_t> s;
    for (uint64_t i = 0; i < 10; ++i) s.push_back(extres_alloc(object(i), kind));
    EXPECT_TRUE(extres_mark(s[3]));
    EXPECT_FALSE(extres_mark(s[3]));          // already marked
    EXPECT_TRUE(extres_mark(s[7], object(70))); // replaced, the old one not released
    extres_sweep();
    EXPECT_EQ(g_extres.in_use, 2u);
    EXPECT_EQ(g_released.size(), 8u);
    for (uint64_t i = 0; i < 10; ++i) EXPECT_EQ(releases_of(object(i)), (i == 3 || i == 7) ? 0u : 1u) << i;
    EXPECT_EQ(extres_object(s[7]), object(70));
    for (uint32_t i = 0; i < g_extres.capacity; ++i) EXPECT_EQ(g_extres.slots[i].flags & EXTRES_MARK, 0u) << i;
    // nothing marked this time: the two survivors go, once each
    extres_sweep();
    EXPECT_EQ(g_extres.in_use, 0u);
    EXPECT_EQ(releases_of(object(70)), 1u);
    EXPECT_EQ(releases_of(object(3)), 1u);
    EXPECT_EQ(g_released.size(), 10u);
}

TEST_F(Extres, KindWithoutCallbackOrKindZeroReleasesNothing) {
    uint32_t silent = extres_register_kind("silent", nullptr);
    extres_alloc(object(1), silent);
    extres_alloc(object(2), 0);
    extres_alloc(object(3), 17);  // never registered
    extres_sweep();
    EXPECT_TRUE(g_released.empty());
    EXPECT_EQ(g_extres.in_use, 0u);
}

TEST_F(Extres, ForEachVisitsTheSlotsOfOneKind) {
    uint32_t font = extres_register_kind("font", count_release);
    extres_alloc(object(1), kind);
    extres_alloc(object(2), font);
    extres_alloc(object(3), font);
    std::map<void*, int> seen;
    g_released.clear();
    extres_for_each(font, count_release);
    for (const Released& r : g_released) {
        EXPECT_EQ(r.kind, font);
        seen[r.object]++;
    }
    EXPECT_EQ(seen, (std::map<void*, int>{{object(2), 1}, {object(3), 1}}));
}

// Release callbacks that use the table while it is being swept or walked.
int32_t g_other_slot = -1;
void release_and_free_other(uint32_t reason, uint32_t kind, void* obj) {
    count_release(reason, kind, obj);
    extres_free(g_other_slot, true);          // the other slot is doomed too, or already free
    extres_alloc(object(99), 0);              // may grow the table
}

TEST_F(Extres, CallbacksMayUseTheTableWithoutDoubleReleases) {
    uint32_t busy = extres_register_kind("busy", release_and_free_other);
    for (uint64_t i = 0; i < 998; ++i) extres_alloc(object(1000 + i), 0);
    int32_t a = extres_alloc(object(1), busy);
    g_other_slot = extres_alloc(object(2), busy);
    for (int32_t i = g_extres.used_head; i != EXTRES_NONE; i = g_extres.slots[i].next)
        if (i != a && i != g_other_slot) extres_mark(i);
    extres_sweep();  // both busy slots die; each callback frees the other (refused) and allocates
    EXPECT_EQ(releases_of(object(1)), 1u);
    EXPECT_EQ(releases_of(object(2)), 1u);
    // the callbacks' own allocations reused the two freed slots
    EXPECT_EQ(extres_object(a), object(99));
    EXPECT_EQ(extres_object(g_other_slot), object(99));
    EXPECT_EQ(g_extres.in_use, 1000u);  // 998 kept + 2 made by the callbacks
    EXPECT_EQ(chain_length(g_extres.used_head), 1000u);

}

std::vector<void*> g_visited;
void visit_and_free_other(uint32_t, uint32_t, void* obj) {
    g_visited.push_back(obj);
    extres_free(g_other_slot, false);
}

TEST_F(Extres, ForEachSkipsASlotThatAnEarlierCallbackFreed) {
    uint32_t walker = extres_register_kind("walker", nullptr);
    g_other_slot = extres_alloc(object(5), walker);
    extres_alloc(object(6), walker);  // the chain is newest first: 6, then 5
    g_visited.clear();
    extres_for_each(walker, visit_and_free_other);
    EXPECT_EQ(g_visited, std::vector<void*>{object(6)});
    EXPECT_EQ(g_extres.in_use, 1u);
}

} // namespace
