// Memory manager and series basics: frames, thresholds, growth, copies, statistics.
#include "core/gc.h"
#include "core/memory.h"
#include "core/series.h"
#include "core/stack.h"

#include "tests/unit/runtime_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace kel;

namespace {

class Memory : public test::RuntimeTest {
protected:
    // these tests look at frames and buffers directly: nothing may move under them
    void SetUp() override {
        RuntimeTest::SetUp();
        g_collector_enabled = false;
    }
};

bool in_series_frame(const Series* s) {
    for (SeriesFrame* f = g_memory.series_first; f; f = f->next) {
        auto* p = reinterpret_cast<const uint8_t*>(s);
        if (p >= f->data_start() && p < f->end) return true;
    }
    return false;
}

} // namespace

TEST_F(Memory, BigFrameThresholdBothSides) {
    struct Case { uint64_t bytes; bool big; };
    // needed = rounded size + 24; 2 MB or more goes to a big frame
    const Case cases[] = {{2097120, false}, {2097121, true}, {2097136, true}, {16, false}};
    for (const Case& c : cases) {
        Node n = alloc_bytes(c.bytes);
        Series* s = node_series(n);
        EXPECT_EQ(bool(s->flags & SER_BIG), c.big) << c.bytes;
        EXPECT_EQ(in_series_frame(s), !c.big) << c.bytes;
        EXPECT_EQ(s->node, n);
        EXPECT_EQ(s->size % 16, 0u);
        EXPECT_GE(s->size, c.bytes);
    }
}

TEST_F(Memory, DefaultSizesAndMiddleHead) {
    EXPECT_EQ(node_series(alloc_bytes(0))->size, 16u);
    Series* s2 = node_series(alloc_units(0, 2));
    EXPECT_EQ(s2->size / s2->unit(), 8u);
    Series* s4 = node_series(alloc_units(0, 4));
    EXPECT_EQ(s4->size / s4->unit(), 4u);

    Series* m = node_series(alloc_series(32, 1, -1));
    EXPECT_EQ(m->head, 16u);
    EXPECT_EQ(m->tail, 16u);
    EXPECT_TRUE(m->flags & SER_MIDDLE_HEAD);
    EXPECT_TRUE(m->flags & SER_BASE);
    EXPECT_TRUE(m->flags & SER_IN_USE);

    Series* u = node_series(alloc_cells_unset(3));
    for (uint32_t i = 0; i < u->size / 16; ++i)
        EXPECT_EQ(reinterpret_cast<Cell*>(u->data())[i].type(), T_UNSET);
}

TEST_F(Memory, ExpandDoublesAndAbandonsOldBuffer) {
    Node n = alloc_bytes(32);
    Series* s = node_series(n);
    std::memcpy(s->data(), "abcdefghij", 10);
    s->head = 2;
    s->tail = 10;
    s->flags |= SER_OWNED;
    Series* old = s;
    Series* fresh = expand_series_copy(s, 0);
    EXPECT_EQ(node_series(n), fresh);
    EXPECT_EQ(fresh->size, 64u);
    EXPECT_EQ(fresh->node, n);
    EXPECT_EQ(fresh->used(), 8u);
    EXPECT_EQ(std::memcmp(fresh->head_ptr(), "cdefghij", 8), 0);
    EXPECT_TRUE(fresh->flags & SER_OWNED);   // type-specific bits travel with the data
    EXPECT_EQ(old->node, 0u);
    EXPECT_FALSE(old->flags & SER_IN_USE);

    Series* filled = expand_series_filled(fresh, 128, 0xAB);
    for (uint32_t i = 64; i < 128; ++i) ASSERT_EQ(filled->data()[i], 0xAB);
}

TEST_F(Memory, ExpandOfFixedBufferStaysOnTheHeap) {
    Node n = alloc_unmanaged_series(4, 16, 0);
    block_append(n, make_integer(7));
    int64_t heap = g_memory.heap_total;
    for (int i = 0; i < 20; ++i) block_append(n, make_integer(i));
    Series* s = node_series(n);
    EXPECT_TRUE(s->flags & SER_FIXED);
    EXPECT_EQ(s->length(), 21u);
    EXPECT_EQ(cell_integer(s->cell_at(0)), 7);
    EXPECT_EQ(cell_integer(s->cell_at(20)), 19);
    EXPECT_GT(g_memory.heap_total, heap);
    free_unmanaged_series(n);
}

TEST_F(Memory, CopiesTakeOnlyTypeBitsFromTheSource) {
    Node big = alloc_bytes(3 * 1024 * 1024);
    Series* b = node_series(big);
    b->flags |= SER_MARK | SER_OWNED;
    b->tail = 100;
    Node c = copy_series(b);
    Series* cs = node_series(c);
    EXPECT_TRUE(cs->flags & SER_BIG);          // its own allocation is big too
    EXPECT_FALSE(cs->flags & SER_MARK);
    EXPECT_TRUE(cs->flags & SER_OWNED);
    EXPECT_EQ(cs->used(), 100u);

    Node fixed = alloc_unmanaged_series(16, 1, 4);
    Series* f = node_series(fixed);
    std::memcpy(f->data(), "....wxyz", 8);
    f->tail = 8;
    Node fc = copy_series(f);
    Series* fcs = node_series(fc);
    EXPECT_FALSE(fcs->flags & SER_FIXED);
    EXPECT_TRUE(in_series_frame(fcs));
    EXPECT_EQ(std::memcmp(fcs->head_ptr(), "wxyz", 4), 0);
    free_unmanaged_series(fixed);
}

TEST_F(Memory, CopySeriesPartOfWideString) {
    Node n = alloc_units(8, 2);
    Series* s = node_series(n);
    const uint16_t units[] = {0x41, 0x3B1, 0x3B2, 0x3B3, 0x42};
    std::memcpy(s->data(), units, sizeof units);
    s->tail = sizeof units;
    s->flags |= SER_OWNED;
    Node part = copy_series_part(n, 1, 3);
    Series* p = node_series(part);
    EXPECT_EQ(p->unit(), 2u);
    EXPECT_EQ(p->used(), 6u);
    EXPECT_EQ(std::memcmp(p->head_ptr(), units + 1, 6), 0);
    EXPECT_FALSE(p->flags & SER_OWNED);
    // a part that runs past the tail is clipped to it
    EXPECT_EQ(node_series(copy_series_part(n, 4, 10))->used(), 2u);
}

TEST_F(Memory, BlocksGrowByDoubling) {
    Node n = alloc_cells(2);
    std::vector<Series*> seen;
    for (int i = 0; i < 100; ++i) {
        Cell v = make_integer(i);
        v.header |= CELL_NEWLINE;
        block_append(n, v);
    }
    Series* s = node_series(n);
    EXPECT_EQ(s->length(), 100u);
    EXPECT_EQ(s->size, 128u * 16);
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(cell_integer(s->cell_at(i)), i);
        ASSERT_TRUE(s->cell_at(i)->header & CELL_NEWLINE);
    }
    Cell c = make_integer(1);
    c.header |= CELL_NEWLINE;
    set_cell_type(&c, T_FLOAT);
    EXPECT_TRUE(c.header & CELL_NEWLINE);
    EXPECT_EQ(c.type(), T_FLOAT);
}

TEST_F(Memory, ReserveTailBytesGrowsToTwiceTheRequest) {
    Node n = alloc_bytes(16);
    uint8_t* p = reserve_tail_bytes(n, 100);
    std::memset(p, 1, 100);
    Series* s = node_series(n);
    EXPECT_EQ(s->size, 208u);   // 2 × 100 rounded to 16
    EXPECT_EQ(s->used(), 100u);
    reserve_tail_bytes(n, 8);
    EXPECT_EQ(node_series(n)->size, 208u);
}

TEST_F(Memory, NodeFramesFillReuseAndRelease) {
    NodeFrame* first = g_memory.node_first;
    std::vector<Node> nodes;
    uint32_t start_used = first->used;
    for (uint32_t i = start_used; i < NODES_PER_FRAME; ++i) nodes.push_back(alloc_node());
    EXPECT_EQ(first->used, NODES_PER_FRAME);
    EXPECT_EQ(first->free_head, 0u);
    Node extra = alloc_node();
    NodeFrame* second = node_frame_of(extra);
    ASSERT_NE(second, first);
    EXPECT_EQ(second->used, 1u);

    free_node(first, nodes[5]);
    g_memory.node_current = first;
    EXPECT_EQ(alloc_node(), nodes[5]);

    Node second_first = second->first;
    free_node(second, extra);
    compact_node_frames();
    EXPECT_EQ(g_memory.node_first, first);
    EXPECT_EQ(first->next, nullptr);   // the empty frame is released
    // its frame number is reused by the next frame, with fresh slots
    NodeFrame* again = node_frame_new();
    EXPECT_EQ(again->first, second_first);
    EXPECT_EQ(again->used, 0u);
    Node reused = alloc_node();
    EXPECT_EQ(node_frame_of(reused), again);   // the first frame is full
    EXPECT_EQ(g_node_table[reused], 0u);       // a reused slot starts cleared
    free_node(again, reused);
    for (Node n : nodes) free_node(first, n);
}

TEST_F(Memory, StatisticsMatchTheFrames) {
    alloc_bytes(1000);
    alloc_bytes(3 * 1024 * 1024);
    double used = memory_stats(nullptr, 1);
    double expect = 0;
    for (NodeFrame* f = g_memory.node_first; f; f = f->next) expect += f->used * double(sizeof(uintptr_t));
    for (SeriesFrame* f = g_memory.series_first; f; f = f->next) expect += double(f->alloc - f->data_start());
    for (BigFrame* f = g_memory.big_first; f; f = f->next) expect += double(f->bytes);
    EXPECT_EQ(used, expect);

    Cell block = make_series(T_BLOCK, alloc_cells(8));
    memory_stats(&block, 2);
    Series* s = value_series(&block);
    ASSERT_EQ(s->length(), 5u);
    Cell* nodes = s->cell_at(0);
    ASSERT_EQ(nodes->type(), T_BLOCK);
    Series* ns = value_series(nodes);
    ASSERT_EQ(ns->length(), 1u);
    Series* row = value_series(ns->cell_at(0));
    EXPECT_EQ(cell_integer(row->cell_at(2)), int32_t(NODES_PER_FRAME));
    EXPECT_EQ(cell_integer(row->cell_at(0)) + cell_integer(row->cell_at(1)), int32_t(NODES_PER_FRAME));
    Series* bigs = value_series(s->cell_at(2));
    ASSERT_EQ(bigs->length(), 1u);
    EXPECT_GE(cell_integer(bigs->cell_at(0)), 3 * 1024 * 1024);
    EXPECT_TRUE(bigs->cell_at(0)->header & CELL_NEWLINE);
    EXPECT_EQ(s->cell_at(4)->type(), T_INTEGER);
}

TEST_F(Memory, SeriesFramesGrowAndStaySorted) {
    size_t frames_before = 0;
    for (SeriesFrame* f = g_memory.series_first; f; f = f->next) ++frames_before;
    for (int i = 0; i < 40; ++i) alloc_bytes(100000);   // 4 MB: needs new frames
    size_t frames = 0;
    for (SeriesFrame* f = g_memory.series_first; f; f = f->next) {
        ++frames;
        if (f->next) {
            EXPECT_LT(f, f->next);
        }
        EXPECT_LE(f->alloc, f->end);
    }
    EXPECT_GT(frames, frames_before);
    EXPECT_EQ(g_memory.next_size, SERIES_FRAME_MAX);
}

// Sizes are computed in 64 bits: a request that does not fit raises no-memory, which a try frame
// catches, and nothing is allocated for it.
TEST_F(Memory, OversizedRequestsRaiseNoMemory) {
    const Cell word{T_WORD, 0, 0, 0};
    Node block = alloc_cells(4);
    struct Case { const char* what; void (*run)(Node); };
    const Case cases[] = {
        {"units", [](Node) { alloc_series(uint64_t(1) << 32, 1, 0); }},
        {"units x unit", [](Node) { alloc_series(uint64_t(1) << 29, 16, 0); }},
        {"heap units", [](Node) { alloc_unmanaged_series(uint64_t(1) << 30, 16, 0); }},
        {"tail bytes", [](Node b) { reserve_tail_bytes(b, uint64_t(1) << 33); }},
        {"expand", [](Node b) { expand_series(node_series(b), uint64_t(1) << 40); }},
    };
    for (const Case& c : cases) {
        int64_t total = g_memory.total;
        bool finished = stack_try(&word, false, [&] { c.run(block); });
        ASSERT_FALSE(finished) << c.what;
        EXPECT_EQ(error_id_of(stack_top()), Err::NoMemory) << c.what;
        EXPECT_EQ(g_memory.total, total) << c.what;
        stack_reset();
    }
    EXPECT_EQ(node_series(block)->length(), 0u);
}

// A new buffer is never smaller than the bytes asked for, nor than the used part it takes over:
// a byte count that is not a whole number of units, or one below the used length, must not leave
// the tail past the end of the data.
TEST_F(Memory, ExpandNeverLeavesTheTailPastTheData) {
    struct Case { const char* what; uint32_t unit; uint32_t used; uint64_t ask; uint64_t at_least; };
    const Case cases[] = {
        {"34 bytes of 4-byte units", 4, 16, 34, 34},
        {"40 bytes of 16-byte units", 16, 16, 40, 40},
        {"below the used part", 16, 64, 16, 64},
        {"below the used part, no copy", 1, 48, 8, 48},
    };
    for (const Case& c : cases) {
        Node n = alloc_units(c.used / c.unit, c.unit);
        Series* s = node_series(n);
        for (uint32_t i = 0; i < c.used; ++i) s->data()[i] = uint8_t(i + 1);
        s->tail = c.used;
        bool copy = std::strstr(c.what, "no copy") == nullptr;
        Series* fresh = copy ? expand_series_copy(s, c.ask) : expand_series(s, c.ask);
        EXPECT_GE(fresh->size, c.at_least) << c.what;
        EXPECT_LE(fresh->tail, fresh->size) << c.what;
        EXPECT_EQ(fresh->used(), c.used) << c.what;
        if (copy) {
            for (uint32_t i = 0; i < c.used; ++i) ASSERT_EQ(fresh->data()[i], uint8_t(i + 1)) << c.what;
        }
    }
    // reserving bytes at the tail of a full buffer of 4-byte units
    Node wide = alloc_units(4, 4);
    node_series(wide)->tail = 16;
    reserve_tail_bytes(wide, 17);
    EXPECT_LE(node_series(wide)->tail, node_series(wide)->size);
    EXPECT_EQ(node_series(wide)->used(), 33u);
}

// Gathering statistics turns collection off for the walk; a failure while building the detailed
// block must not leave it off.
TEST_F(Memory, FailedStatisticsLeaveCollectionOn) {
    const Cell word{T_WORD, 0, 0, 0};
    // a full 2 GB block: appending to it would need a 4 GB buffer, which no size holds
    Node huge = alloc_cells(uint64_t(1) << 27);
    node_series(huge)->tail = node_series(huge)->size;
    Cell block = make_series(T_BLOCK, huge);
    g_collector_enabled = true;
    bool finished = stack_try(&word, false, [&] { memory_stats(&block, 2); });
    EXPECT_FALSE(finished);
    EXPECT_EQ(error_id_of(stack_top()), Err::NoMemory);
    stack_reset();
    EXPECT_TRUE(g_collector_enabled);
    g_collector_enabled = false;
    node_series(huge)->tail = 0;
}

TEST_F(Memory, ExpandFilledFillsEverythingPastTheUsedPart) {
    // a buffer whose used part starts inside its data: the used part moves to the new data start
    for (uint32_t offset : {0u, 16u, 48u}) {
        Node n = alloc_series(64, 1, offset);
        Series* s = node_series(n);
        std::memset(s->data(), 0x33, s->size);
        for (uint32_t i = 0; i < 8; ++i) s->data()[offset + i] = uint8_t('a' + i);
        s->tail = offset + 8;
        s = expand_series_filled(s, 256, 0x77);
        ASSERT_EQ(s->head, 0u);
        ASSERT_EQ(s->used(), 8u);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(s->data()), 8), "abcdefgh");
        uint32_t stale = 0;
        for (uint32_t i = 8; i < s->size; ++i) stale += s->data()[i] != 0x77;
        EXPECT_EQ(stale, 0u) << "offset " << offset;
    }
}
