// The collector: a workload of nested blocks, strings, hand-built contexts and external resources
// stays intact over many cycles (also with a collection before every allocation) while garbage is
// freed; marking by type; the stacks, Rooted cells and mark callbacks as roots; series frames
// compacted and released; big and heap buffers; node-frame evacuation with every reference
// rewritten; a block nested a million deep.
#include "core/array.h"
#include "core/case-fold.h"
#include "core/context.h"
#include "core/cycles.h"
#include "core/extres.h"
#include "core/gc.h"
#include "core/memory.h"
#include "core/ownership.h"
#include "core/roots.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"

#include "tests/unit/runtime_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

using namespace kel;

namespace {

// ---- helpers -------------------------------------------------------------------------------------

uint32_t used_nodes() {
    uint32_t n = 0;
    for (NodeFrame* f = g_memory.node_first; f; f = f->next) n += f->used;
    return n;
}
uint32_t node_frames() {
    uint32_t n = 0;
    for (NodeFrame* f = g_memory.node_first; f; f = f->next) ++n;
    return n;
}
std::vector<SeriesFrame*> series_frames() {
    std::vector<SeriesFrame*> v;
    for (SeriesFrame* f = g_memory.series_first; f; f = f->next) v.push_back(f);
    return v;
}
uint32_t big_frames() {
    uint32_t n = 0;
    for (BigFrame* f = g_memory.big_first; f; f = f->next) ++n;
    return n;
}
bool alive(Node n) { return node_frame_of(n) && node_slot_used(n) && node_series(n)->node == n; }
bool inside(SeriesFrame* f, const void* p) {
    auto* b = static_cast<const uint8_t*>(p);
    return b >= f->data_start() && b < f->alloc;
}

Node new_string(const std::string& text) {
    Node n = alloc_units(text.empty() ? 1 : text.size(), 1);
    Series* s = node_series(n);
    std::memcpy(s->data(), text.data(), text.size());
    s->tail = uint32_t(text.size());
    return n;
}
std::string text_of(Node n) {
    Series* s = node_series(n);
    return std::string(reinterpret_cast<char*>(s->head_ptr()), s->used());
}
Node node_of(Rooted& r) { return series_node(r.get()); }

// Every helper that allocates more than once keeps what it made in Rooted cells meanwhile, so it
// is safe under a collection before every allocation.
void append_string(Node block, const std::string& text) {
    Rooted s(make_series(T_STRING, new_string(text)));
    block_append(block, s.value);
}

// A context laid out as contexts are: a two-cell buffer, the context cell (word 1 the word table,
// here none; word 2 the values block unless the values live on the data stack) and the owner cell.
Node make_context(Node values, uint32_t extra_header = 0, Node owner_record = 0) {
    Node c = alloc_cells(2);
    block_append(c, make_cell(T_CONTEXT, 0, values, 0))->header |= extra_header;
    block_append(c, make_cell(T_OBJECT, c, 0, owner_record));
    return c;
}
// An object! in the block whose context's only value is a string.
void append_object(Node block, const std::string& text) {
    Rooted values(make_series(T_BLOCK, alloc_cells(1)));
    append_string(node_of(values), text);
    Rooted ctx(make_series(T_BLOCK, make_context(node_of(values))));
    block_append(block, make_cell(T_OBJECT, node_of(ctx), 0, 0));
}
std::string object_text(const Cell* obj) {
    EXPECT_TRUE(alive(obj->data1));
    Cell* ctx = node_series(obj->data1)->cells();
    EXPECT_TRUE(ctx->is(T_CONTEXT));
    EXPECT_TRUE(alive(ctx->data2));
    Cell* v = node_series(ctx->data2)->cells();
    EXPECT_TRUE(alive(v->data2));
    return text_of(v->data2);
}

std::vector<void*> g_released;
void count_release(uint32_t, uint32_t, void* object) { g_released.push_back(object); }
void* fake_object(uint64_t i) { return reinterpret_cast<void*>(0x7E0000000000ull + i * 16); }
size_t releases_of(void* p) {
    size_t n = 0;
    for (void* r : g_released) n += r == p;
    return n;
}

class Collector : public test::RuntimeTest {
protected:
    // each test decides when collections run
    void SetUp() override {
        RuntimeTest::SetUp();
        g_collector_enabled = false;
        g_collector_stress = false;
        g_released.clear();
        kind = extres_register_kind("test", count_release);
        baseline = used_nodes();
    }
    void TearDown() override {
        g_collector_stress = false;
        RuntimeTest::TearDown();
    }
    uint32_t kind = 0;
    uint32_t baseline = 0;  // nodes of the root block and its fixed parts
};

// ---- the workload ----------------------------------------------------------------------------------

// Item i: a block [ "s-i-0" "s-i-1" "s-i-2" [ "deep-i" ] <object with "v-i"> <handle of object i> ],
// nine nodes, with garbage (a string, a block, a resource) made around it.
constexpr uint32_t NODES_PER_ITEM = 9;

void build_items(Node top, uint32_t first, uint32_t count, uint32_t kind) {
    for (uint32_t i = first; i < first + count; ++i) {
        std::string n = std::to_string(i);
        new_string("garbage-" + n);
        Rooted item(make_series(T_BLOCK, alloc_cells(2)));
        for (int j = 0; j < 3; ++j) append_string(node_of(item), "s-" + n + "-" + std::to_string(j));
        {
            Rooted inner(make_series(T_BLOCK, alloc_cells(1)));
            append_string(node_of(inner), "deep-" + n);
            block_append(node_of(item), inner.value);
        }
        alloc_cells(3);
        append_object(node_of(item), "v-" + n);
        block_append(node_of(item), make_cell(T_HANDLE, 0, 0, uint32_t(extres_alloc(fake_object(i), kind))));
        extres_alloc(fake_object(1000000 + i), kind);
        block_append(top, item.value);
    }
}

void verify_items(Node top, uint32_t count) {
    ASSERT_TRUE(alive(top));
    Series* s = node_series(top);
    ASSERT_EQ(s->length(), count);
    for (uint32_t i = 0; i < count; ++i) {
        std::string n = std::to_string(i);
        Cell* item = node_series(top)->cell_at(i);
        ASSERT_TRUE(item->is(T_BLOCK));
        ASSERT_TRUE(alive(item->data2)) << i;
        Series* is = node_series(item->data2);
        ASSERT_EQ(is->length(), 6u);
        for (uint32_t j = 0; j < 3; ++j) {
            ASSERT_TRUE(alive(is->cell_at(j)->data2));
            EXPECT_EQ(text_of(is->cell_at(j)->data2), "s-" + n + "-" + std::to_string(j));
        }
        Cell* inner = is->cell_at(3);
        ASSERT_TRUE(alive(inner->data2));
        EXPECT_EQ(text_of(node_series(inner->data2)->cells()->data2), "deep-" + n);
        EXPECT_EQ(object_text(is->cell_at(4)), "v-" + n);
        EXPECT_EQ(extres_object(int32_t(is->cell_at(5)->data3)), fake_object(i));
    }
}

TEST_F(Collector, WorkloadSurvivesManyCyclesWhileGarbageGoes) {
    Rooted top(make_series(T_BLOCK, alloc_cells(4)));
    constexpr uint32_t items = 300;
    build_items(node_of(top), 0, items, kind);
    const uint32_t live = baseline + 1 + items * NODES_PER_ITEM;
    EXPECT_GT(used_nodes(), live);
    for (int round = 0; round < 8; ++round) {
        for (int g = 0; g < 2000; ++g) new_string("more garbage " + std::to_string(g));
        collector_cycle();
        verify_items(node_of(top), items);
        EXPECT_EQ(used_nodes(), live) << round;
        EXPECT_EQ(g_extres.in_use, items);
    }
    for (uint32_t i = 0; i < items; ++i) {
        EXPECT_EQ(releases_of(fake_object(i)), 0u);
        EXPECT_EQ(releases_of(fake_object(1000000 + i)), 1u);
    }
    top.value = make_cell(T_NONE);
    collector_cycle();
    EXPECT_EQ(used_nodes(), baseline);
    EXPECT_EQ(g_extres.in_use, 0u);
    EXPECT_EQ(g_released.size(), 2 * size_t(items));
    for (uint32_t i = 0; i < items; ++i) EXPECT_EQ(releases_of(fake_object(i)), 1u);
}

TEST_F(Collector, WorkloadSurvivesACollectionBeforeEveryAllocation) {
    g_collector_enabled = true;
    g_collector_stress = true;
    Rooted top(make_series(T_BLOCK, alloc_cells(1)));
    constexpr uint32_t items = 60;
    uint32_t cycles_before = g_collector_cycles;
    build_items(node_of(top), 0, items, kind);
    EXPECT_GT(g_collector_cycles - cycles_before, items * 10);
    verify_items(node_of(top), items);
    // the collection before the next allocation frees every piece of garbage made so far
    new_string("x");
    EXPECT_EQ(used_nodes(), baseline + 1 + items * NODES_PER_ITEM + 1);
    EXPECT_EQ(g_extres.in_use, items);
    top.value = make_cell(T_NONE);
    collector_run();
    EXPECT_EQ(used_nodes(), baseline);
    EXPECT_EQ(g_extres.in_use, 0u);
}

// Rich item i, built through the runtime's own context and hash-table code: a block holding an
// object (its context has the words name and tags, bound to a string and a hash! of three
// strings) and a record table keyed by the node of the name string, whose record holds a string.
void build_rich_items(Node top, uint32_t count) {
    uint32_t name = symbol_make("name");
    uint32_t tags = symbol_make("tags");
    for (uint32_t i = 0; i < count; ++i) {
        std::string n = std::to_string(i);
        Rooted item(make_series(T_BLOCK, alloc_cells(2)));
        Rooted ctx(make_series(T_BLOCK, context_make(2, false, true, 0, CONTEXT_OBJECT)));
        *context_owner(node_of(ctx)) = make_cell(T_OBJECT, node_of(ctx), 0, 0);
        Rooted text(make_series(T_STRING, new_string("name-" + n)));
        Cell word = make_cell(T_WORD, 0, name, uint32_t(-1));
        context_put_word_value(node_of(ctx), &word, text.get());
        Rooted tagged(make_series(T_BLOCK, alloc_cells(3)));
        for (int j = 0; j < 3; ++j) append_string(node_of(tagged), "tag-" + n + "-" + std::to_string(j));
        Node table = hashtable_make(3, node_of(tagged), HASH_KIND_HASH, 1);
        Cell hash = make_cell(T_HASH, 0, node_of(tagged), table);
        word = make_cell(T_WORD, 0, tags, uint32_t(-1));
        context_put_word_value(node_of(ctx), &word, &hash);
        block_append(node_of(item), make_cell(T_OBJECT, node_of(ctx), 0, 0));

        Rooted records(make_cell(T_MAP, 0, 0, hashtable_make(4, 0, HASH_KIND_RECORDS, 1)));
        Rooted value(make_series(T_STRING, new_string("record-" + n)));
        *hashtable_put_int(records->data3, text->data2) = value.value;
        // kept in the block as a map! whose block is the table's record buffer
        block_append(node_of(item), make_cell(T_MAP, 0, hashtable_record(records->data3)->values, records->data3));
        new_string("garbage-" + n);
        block_append(top, item.value);
    }
}

void verify_rich_items(Node top, uint32_t count) {
    uint32_t name = symbol_make("name");
    uint32_t tags = symbol_make("tags");
    ASSERT_EQ(node_series(top)->length(), count);
    for (uint32_t i = 0; i < count; ++i) {
        std::string n = std::to_string(i);
        Node item = node_series(top)->cell_at(i)->data2;
        ASSERT_TRUE(alive(item));
        Node ctx = node_series(item)->cell_at(0)->data1;
        ASSERT_TRUE(alive(ctx));
        Cell* text = context_value_by_symbol(name, ctx);
        ASSERT_TRUE(text->is(T_STRING));
        EXPECT_EQ(text_of(text->data2), "name-" + n);
        Cell hash = *context_value_by_symbol(tags, ctx);
        ASSERT_TRUE(hash.is(T_HASH));
        for (int j = 0; j < 3; ++j) {
            Rooted key(make_series(T_STRING, new_string("tag-" + n + "-" + std::to_string(j))));
            hash = *context_value_by_symbol(tags, ctx);
            Cell* found = hashtable_find(hash.data3, key.get(), 0, 1, 0, false, false);
            ASSERT_NE(found, nullptr) << i << " " << j;
            EXPECT_EQ(text_of(found->data2), "tag-" + n + "-" + std::to_string(j));
        }
        Node text_node = context_value_by_symbol(name, ctx)->data2;
        Node records = node_series(node_series(top)->cell_at(i)->data2)->cell_at(1)->data3;
        Cell* record = hashtable_get_int(records, text_node);
        ASSERT_NE(record, nullptr) << i;
        EXPECT_EQ(text_of(record->data2), "record-" + n);
    }
}

TEST_F(Collector, ContextsAndHashTablesSurviveCycles) {
    for (bool stress : {false, true}) {
        TearDown();  // each case starts from a fresh runtime
        SetUp();
        symbol_make("name");  // the two symbols stay, with the symbol table
        symbol_make("tags");
        const uint32_t empty = used_nodes();
        g_collector_enabled = stress;
        g_collector_stress = stress;
        Rooted top(make_series(T_BLOCK, alloc_cells(4)));
        constexpr uint32_t items = 40;
        build_rich_items(node_of(top), items);
        g_collector_stress = false;
        collector_cycle();
        const uint32_t live = used_nodes();
        for (int round = 0; round < 4; ++round) {
            for (int g = 0; g < 500; ++g) new_string("garbage");
            collector_cycle();
            EXPECT_EQ(used_nodes(), live) << stress << " " << round;
            verify_rich_items(node_of(top), items);
            collector_cycle();  // the look-ups made garbage keys
        }
        top.value = make_cell(T_NONE);
        collector_cycle();
        EXPECT_EQ(used_nodes(), empty) << stress;
    }
}

// ---- marking by type ---------------------------------------------------------------------------------

enum Ref { NIL, STR, BLK, CTX };

Node make_ref(Ref r) {
    switch (r) {
    case STR: return new_string("x");
    case BLK: {
        Node b = alloc_cells(1);
        block_append(b, make_series(T_STRING, new_string("in block")));
        return b;
    }
    case CTX: {
        Node values = alloc_cells(1);
        block_append(values, make_series(T_STRING, new_string("value")));
        return make_context(values, 0, new_string("reached through the owner cell only"));
    }
    case NIL: break;
    }
    return 0;
}

// Everything a reference leads to: the node, and for blocks and contexts what they hold.
std::vector<Node> reached_by(Node n, Ref r) {
    std::vector<Node> v{n};
    if (r == BLK) v.push_back(node_series(n)->cells()->data2);
    if (r == CTX) {
        Node values = node_series(n)->cells()->data2;
        v.push_back(values);
        v.push_back(node_series(values)->cells()->data2);
        v.push_back(node_series(n)->cell_at(1)->data3);
    }
    return v;
}

TEST_F(Collector, CellsAreMarkedByType) {
    struct Case {
        const char* name;
        TypeId type;
        uint32_t header;
        Ref words[3];
        bool marked[3];
    };
    const uint32_t op_of_function = uint32_t(T_FUNCTION) << CELL_OP_TYPE_SHIFT;
    const uint32_t op_of_action = uint32_t(T_ACTION) << CELL_OP_TYPE_SHIFT;
    const Case cases[] = {
        {"block", T_BLOCK, 0, {NIL, BLK, NIL}, {false, true, false}},
        {"paren", T_PAREN, 0, {NIL, BLK, NIL}, {false, true, false}},
        {"set-path", T_SET_PATH, 0, {NIL, BLK, NIL}, {false, true, false}},
        {"string", T_STRING, 0, {NIL, STR, STR}, {false, true, true}},
        {"url", T_URL, 0, {NIL, STR, STR}, {false, true, true}},
        {"ref", T_REF, 0, {NIL, STR, NIL}, {false, true, false}},
        {"symbol", T_SYMBOL, 0, {NIL, STR, STR}, {false, true, true}},
        {"context", T_CONTEXT, 0, {NIL, BLK, NIL}, {false, true, false}},
        {"context on stack", T_CONTEXT, CELL_CTX_ON_STACK, {NIL, BLK, NIL}, {false, false, false}},
        {"word", T_WORD, 0, {CTX, NIL, NIL}, {true, false, false}},
        {"refinement", T_REFINEMENT, 0, {CTX, NIL, NIL}, {true, false, false}},
        {"word in no context", T_WORD, 0, {BLK, NIL, NIL}, {true, false, false}},
        {"issue", T_ISSUE, 0, {CTX, NIL, NIL}, {false, false, false}},
        {"native", T_NATIVE, 0, {CTX, BLK, BLK}, {false, true, true}},
        {"op of function", T_OP, op_of_function, {CTX, BLK, BLK}, {true, true, true}},
        {"op of action", T_OP, op_of_action, {CTX, BLK, BLK}, {false, true, true}},
        {"function", T_FUNCTION, 0, {CTX, BLK, BLK}, {true, true, true}},
        {"routine", T_ROUTINE, 0, {CTX, BLK, BLK}, {true, true, true}},
        {"bitset", T_BITSET, 0, {NIL, STR, NIL}, {false, true, false}},
        {"vector", T_VECTOR, 0, {NIL, STR, STR}, {false, true, false}},
        {"binary", T_BINARY, 0, {NIL, STR, NIL}, {false, true, false}},
        {"object", T_OBJECT, 0, {CTX, NIL, STR}, {true, false, true}},
        {"error", T_ERROR, 0, {CTX, NIL, STR}, {true, false, true}},
        {"port", T_PORT, 0, {CTX, NIL, NIL}, {true, false, false}},
        {"hash", T_HASH, 0, {NIL, BLK, NIL}, {false, true, false}},
        {"image", T_IMAGE, 0, {NIL, STR, NIL}, {false, true, false}},
        {"event with face", T_EVENT, CELL_EVENT_FACE, {NIL, BLK, NIL}, {false, true, false}},
        {"event", T_EVENT, 0, {NIL, BLK, NIL}, {false, false, false}},
        {"integer", T_INTEGER, 0, {STR, STR, STR}, {false, false, false}},
        {"float", T_FLOAT, 0, {NIL, STR, STR}, {false, false, false}},
    };
    Rooted holder(make_series(T_BLOCK, alloc_cells(std::size(cases))));
    std::vector<std::vector<Node>> refs;
    for (const Case& c : cases) {
        Node w[3] = {make_ref(c.words[0]), make_ref(c.words[1]), make_ref(c.words[2])};
        block_append(node_of(holder), make_cell(c.type, w[0], w[1], w[2]))->header |= c.header;
        refs.push_back({w[0], w[1], w[2]});
    }
    collector_cycle();
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        for (int w = 0; w < 3; ++w) {
            if (c.words[w] == NIL) continue;
            if (!c.marked[w]) {
                EXPECT_FALSE(node_slot_used(refs[i][w])) << c.name << " word " << w + 1;
                continue;
            }
            for (Node n : reached_by(refs[i][w], c.words[w])) EXPECT_TRUE(alive(n)) << c.name << " word " << w + 1;
        }
    }
}

TEST_F(Collector, HandleCellsKeepTheirResources) {
    Rooted holder(make_series(T_BLOCK, alloc_cells(3)));
    int32_t kept = extres_alloc(fake_object(1), kind);
    int32_t lost = extres_alloc(fake_object(2), kind);
    block_append(node_of(holder), make_cell(T_HANDLE, 0, 0, uint32_t(kept)));
    block_append(node_of(holder), make_cell(T_HANDLE, 0, 0, uint32_t(-1)));
    block_append(node_of(holder), make_cell(T_INTEGER, 0, 0, uint32_t(lost)));
    for (int i = 0; i < 3; ++i) collector_cycle();
    EXPECT_TRUE(extres_in_use(kept));
    EXPECT_FALSE(extres_in_use(lost));
    EXPECT_EQ(g_released, std::vector<void*>{fake_object(2)});
    for (uint32_t i = 0; i < g_extres.capacity; ++i) EXPECT_EQ(g_extres.slots[i].flags & EXTRES_MARK, 0u);
}

// ---- roots ---------------------------------------------------------------------------------------------

TEST_F(Collector, StacksAndRootedCellsAreRoots) {
    Rooted outer(make_series(T_STRING, new_string("rooted")));
    Node on_stack = new_string("on the data stack");
    stack_push(make_series(T_STRING, on_stack));
    Node above_top = new_string("above the top");
    *g_stack.top = make_series(T_STRING, above_top);  // not pushed: not a root

    Node word_values = alloc_cells(1);
    Node word_ctx = make_context(word_values);
    Node func_values = alloc_cells(1);
    Node func_ctx = make_context(func_values);
    Node saved = make_ref(BLK);
    Cell word = make_cell(T_WORD, word_ctx, 7, 0);
    stack_mark(&word, func_ctx);
    (g_calls.top - 1)->saved_fp = saved;

    // a function context whose values are on the data stack: the saved word is a frame position
    Node stack_ctx = make_context(0, CELL_CTX_ON_STACK);
    Node not_a_frame = new_string("looks like a node");
    Cell word2 = make_cell(T_WORD, 0, 8, 0);
    stack_mark(&word2, stack_ctx);
    (g_calls.top - 1)->saved_fp = not_a_frame;

    collector_cycle();
    EXPECT_EQ(text_of(node_of(outer)), "rooted");
    EXPECT_EQ(text_of(on_stack), "on the data stack");
    EXPECT_FALSE(node_slot_used(above_top));
    for (Node n : {word_ctx, word_values, func_ctx, func_values, stack_ctx}) EXPECT_TRUE(alive(n));
    for (Node n : reached_by(saved, BLK)) EXPECT_TRUE(alive(n));
    EXPECT_FALSE(node_slot_used(not_a_frame));
}

Node g_callback_node = 0;
Node g_cleared_node = 0;
int g_callback_calls = 0;
int g_cleared_calls = 0;
void mark_global() {
    ++g_callback_calls;
    collector_mark_block_node(&g_callback_node);
}
void mark_cleared() {
    ++g_cleared_calls;
    collector_mark_series(&g_cleared_node);
}

TEST_F(Collector, MarkCallbacksRunAndClearedEntriesAreSkipped) {
    g_callback_calls = g_cleared_calls = 0;
    g_callback_node = make_ref(BLK);
    g_cleared_node = new_string("dropped");
    ASSERT_TRUE(collector_register(mark_cleared));
    ASSERT_TRUE(collector_register(mark_global));
    collector_cycle();
    EXPECT_EQ(g_cleared_calls, 1);
    EXPECT_TRUE(alive(g_cleared_node));
    collector_unregister(mark_cleared);
    collector_cycle();
    EXPECT_EQ(g_cleared_calls, 1);
    EXPECT_EQ(g_callback_calls, 2);
    EXPECT_FALSE(node_slot_used(g_cleared_node));
    for (Node n : reached_by(g_callback_node, BLK)) EXPECT_TRUE(alive(n));
    collector_unregister(mark_global);
    // the list never runs out while entries are cleared and taken again
    for (uint32_t i = 0; i < 3 * COLLECTOR_MAX_CALLBACKS; ++i) {
        ASSERT_TRUE(collector_register(mark_cleared)) << i;
        collector_unregister(mark_cleared);
    }
    collector_cycle();
    EXPECT_EQ(g_cleared_calls, 1);
}

TEST_F(Collector, HeapBuffersAreMarkedThroughButNeverSwept) {
    Rooted fixed(make_series(T_BLOCK, alloc_unmanaged_series(4, 16, 0)));
    append_string(node_of(fixed), "held by a heap block");
    Node orphan = alloc_unmanaged_series(4, 16, 0);
    collector_cycle();
    EXPECT_EQ(text_of(node_series(node_of(fixed))->cells()->data2), "held by a heap block");
    EXPECT_TRUE(alive(orphan));
    for (Node n : {node_of(fixed), orphan, g_root_block, g_data_stack_node, g_call_stack_node})
        EXPECT_EQ(node_series(n)->flags & SER_MARK, 0u);
    free_unmanaged_series(orphan);
    free_unmanaged_series(node_of(fixed));
}

// ---- compaction --------------------------------------------------------------------------------------

TEST_F(Collector, LiveBufferSlidesDownOverADeadOne) {
    Node dead = new_string(std::string(100, 'd'));
    Rooted live(make_series(T_STRING, new_string("..keep me")));
    Series* s = node_series(node_of(live));
    s->head = 2;
    uint8_t* before = reinterpret_cast<uint8_t*>(s);
    uint32_t dead_bytes = node_series(dead)->size + SERIES_OVERHEAD;
    collector_cycle();
    Series* after = node_series(node_of(live));
    EXPECT_EQ(before - reinterpret_cast<uint8_t*>(after), ptrdiff_t(dead_bytes));
    EXPECT_EQ(after->node, node_of(live));
    EXPECT_EQ(after->head, 2u);
    EXPECT_EQ(text_of(node_of(live)), "keep me");
    EXPECT_FALSE(node_slot_used(dead));
    EXPECT_EQ(after->flags & SER_MARK, 0u);
}

// Leaves the frame with between `room` and `room` + 15 free bytes, the rest held by a live string.
void fill_frame(SeriesFrame* f, uint64_t room, Rooted& keeper) {
    g_memory.series_current = f;
    uint64_t now = uint64_t(f->end - f->alloc);
    ASSERT_GT(now, room + 64);
    keeper.value = make_series(T_STRING, alloc_units((now - room - SERIES_OVERHEAD) & ~uint64_t(15), 1));
    ASSERT_TRUE(inside(f, node_series(node_of(keeper))));
}

// The upper frame holds: dead, first (136 bytes), dead, second. The room of the lower frame is
// checked before each run: the first moves when there are 0xCCCD bytes, which the move itself
// may use up.
TEST_F(Collector, BuffersMoveIntoTheLowerFrameOnlyWhileItHasRoom) {
    struct Case {
        uint64_t room;
        bool first_moves;
        bool second_moves;
    };
    const Case cases[] = {
        {SERIES_FRAME_MOVE_ROOM - 16, false, false},
        {SERIES_FRAME_MOVE_ROOM + 48, true, false},
        {SERIES_FRAME_MOVE_ROOM + 100000, true, true},
    };
    for (const Case& c : cases) {
        TearDown();  // each case starts from a fresh runtime
        SetUp();
        // two neighbouring frames that are still empty (the runtime's data lies in another)
        for (int i = 0; i < 3; ++i) series_frame_new();
        std::vector<SeriesFrame*> all = series_frames(), frames;
        for (size_t i = 0; i + 1 < all.size() && frames.empty(); ++i)
            if (all[i]->alloc == all[i]->data_start() && all[i + 1]->alloc == all[i + 1]->data_start())
                frames = {all[i], all[i + 1]};
        ASSERT_EQ(frames.size(), 2u);
        Rooted keeper;
        fill_frame(frames[0], c.room, keeper);
        g_memory.series_current = frames[1];
        Series* hole = node_series(new_string(std::string(500, 'd')));
        Rooted first(make_series(T_STRING, new_string(std::string(100, 'f'))));
        new_string(std::string(100, 'd'));
        Rooted second(make_series(T_STRING, new_string("second")));
        ASSERT_TRUE(inside(frames[1], node_series(node_of(second))));
        collector_cycle();
        Series* f = node_series(node_of(first));
        Series* s = node_series(node_of(second));
        EXPECT_EQ(inside(frames[0], f), c.first_moves) << c.room;
        EXPECT_EQ(inside(frames[0], s), c.second_moves) << c.room;
        Series* expected_at_hole = c.first_moves ? (c.second_moves ? nullptr : s) : f;
        if (expected_at_hole) {
            EXPECT_EQ(expected_at_hole, hole);  // slid down over the dead one
        }
        EXPECT_EQ(text_of(node_of(first)), std::string(100, 'f'));
        EXPECT_EQ(text_of(node_of(second)), "second");
        keeper.value = first.value = second.value = make_cell(T_NONE);
    }
}

TEST_F(Collector, AFrameEmptiedByCompactionIsReleasedUnlessLast) {
    for (bool middle_has_live : {false, true}) {
        TearDown();  // each case starts from a fresh runtime
        SetUp();
        series_frame_new();
        series_frame_new();
        std::vector<SeriesFrame*> frames = series_frames();
        ASSERT_EQ(frames.size(), 3u);
        Rooted live, bottom;
        g_memory.series_current = frames[0];  // an empty frame would be released too
        bottom.value = make_series(T_STRING, new_string("keeps the lowest frame"));
        g_memory.series_current = frames[1];
        for (int i = 0; i < 1000; ++i) new_string("garbage in the middle frame");
        if (middle_has_live) live.value = make_series(T_STRING, new_string("lives in the middle"));
        g_memory.series_current = frames[2];
        for (int i = 0; i < 1000; ++i) new_string("garbage in the last frame");
        collector_cycle();
        std::vector<SeriesFrame*> after = series_frames();
        EXPECT_EQ(after, (std::vector<SeriesFrame*>{frames[0], frames[2]})) << middle_has_live;
        EXPECT_EQ(frames[2]->alloc, frames[2]->data_start());
        if (middle_has_live) {
            EXPECT_TRUE(inside(frames[0], node_series(node_of(live))));
            EXPECT_EQ(text_of(node_of(live)), "lives in the middle");
        }
        EXPECT_EQ(g_collector_stats.frames_released, 1u);
        live.value = bottom.value = make_cell(T_NONE);
    }
}

TEST_F(Collector, BigBuffersAreSweptAndKeptOnes) {
    Rooted keep(make_series(T_BINARY, alloc_bytes_filled(3 << 20, 0x5A)));
    alloc_bytes(3 << 20);
    ASSERT_EQ(big_frames(), 2u);
    collector_cycle();
    EXPECT_EQ(big_frames(), 1u);
    Series* s = node_series(node_of(keep));
    EXPECT_TRUE(s->flags & SER_BIG);
    EXPECT_EQ(s->flags & SER_MARK, 0u);
    EXPECT_EQ(s->data()[(3 << 20) - 1], 0x5A);
    keep.value = make_cell(T_NONE);
    collector_cycle();
    EXPECT_EQ(big_frames(), 0u);
    EXPECT_EQ(g_collector_stats.nodes_freed, 1u);   // the node of the dead big buffer
    EXPECT_EQ(used_nodes(), baseline);
}

TEST_F(Collector, MoreDeadNodesThanTheFreeQueueHolds) {
    constexpr uint32_t dead = 3 * NODE_FREE_QUEUE_SIZE / 2;
    for (uint32_t i = 0; i < dead; ++i) new_string("d");
    collector_cycle();
    EXPECT_EQ(g_collector_stats.nodes_freed, dead);
    EXPECT_EQ(used_nodes(), baseline);
    // the free lists are sound: every node can be taken again, and none twice
    std::vector<Node> again;
    for (uint32_t i = 0; i < dead; ++i) again.push_back(new_string("a"));
    std::sort(again.begin(), again.end());
    EXPECT_EQ(std::adjacent_find(again.begin(), again.end()), again.end());
    EXPECT_EQ(used_nodes(), baseline + dead);
}

// ---- evacuation ----------------------------------------------------------------------------------

Node g_global_node = 0;
void mark_global_node() { collector_mark_series(&g_global_node); }

// Node frame 0 ends up holding only the fixed nodes and the holder; node frame 1 holds `used`
// live nodes reached in every way a root can reach them, plus garbage up to its end.
struct EvacuationSetup {
    Rooted holder;
    Rooted rooted;
    Rooted records;  // a record table keyed by nodes (map! cell over its record buffer)
    NodeFrame* second = nullptr;

    void build(uint32_t used) {
        holder.value = make_series(T_BLOCK, alloc_cells(6000));
        Node table = hashtable_make(4, 0, HASH_KIND_RECORDS, 1);
        records.value = make_cell(T_MAP, 0, hashtable_record(table)->values, table);
        while (g_memory.node_first->free_head) new_string("frame 0 garbage");
        Node h = node_of(holder);
        append_object(h, "object");                                   // 3 nodes
        stack_push(make_series(T_STRING, new_string("on stack")));    // 1
        Node word_ctx = make_context(alloc_cells(1));                 // 2
        Node func_ctx = make_context(alloc_cells(1));                 // 2
        block_append(h, make_cell(T_WORD, word_ctx, 5, 0));
        block_append(h, make_cell(T_WORD, func_ctx, 6, 0));
        Cell word = make_cell(T_WORD, word_ctx, 5, 0);
        stack_mark(&word, func_ctx);
        rooted.value = make_series(T_STRING, new_string("rooted"));  // 1
        Node cycled = alloc_cells(1);                                 // 1
        block_append(h, make_series(T_BLOCK, cycled));
        cycles_push(cycled);
        g_global_node = new_string("global");                         // 1
        Node record_value = new_string("record value");               // 1
        *hashtable_put_int(records->data3, node_of(rooted)) = make_series(T_STRING, record_value);
        second = g_memory.node_last;
        ASSERT_NE(second, g_memory.node_first);
        ASSERT_EQ(second->used, 12u);
        for (uint32_t i = 0; second->used < used; ++i) append_string(h, "item " + std::to_string(i));
        // the first item is owned by the object, through the weak ownership table
        Cell owned = *node_series(h)->cell_at(4);
        Cell owner = *node_series(h)->cell_at(0);
        Cell field = make_cell(T_WORD, 0, 5, 0);
        set_owner_deep(&owned, &owner, &field);
        ASSERT_EQ(second->used, used);
        while (second->free_head) new_string("frame 1 garbage");
    }

    // Every reference into the evacuated frame now leads to a live node of frame 0.
    void verify() {
        NodeFrame* first = g_memory.node_first;
        auto ok = [&](Node n) { return alive(n) && node_frame_of(n) == first; };
        Node h = node_of(holder);
        ASSERT_TRUE(ok(h));
        Series* s = node_series(h);
        EXPECT_EQ(object_text(s->cell_at(0)), "object");
        EXPECT_TRUE(ok(s->cell_at(0)->data1));
        EXPECT_EQ(text_of(g_stack.bottom[0].data2), "on stack");
        EXPECT_TRUE(ok(g_stack.bottom[0].data2));
        CallFrame* f = g_calls.bottom;
        EXPECT_EQ(f->word_ctx, s->cell_at(1)->data1);
        EXPECT_EQ(f->func_ctx, s->cell_at(2)->data1);
        EXPECT_TRUE(ok(f->word_ctx));
        EXPECT_TRUE(ok(f->func_ctx));
        EXPECT_TRUE(ok(node_series(f->func_ctx)->cells()->data2));
        EXPECT_EQ(text_of(node_of(rooted)), "rooted");
        EXPECT_TRUE(ok(node_of(rooted)));
        ASSERT_EQ(cycles_depth(), 1u);
        EXPECT_EQ(g_cycles.entries[0], s->cell_at(3)->data2);
        EXPECT_TRUE(ok(g_cycles.entries[0]));
        EXPECT_EQ(text_of(g_global_node), "global");
        EXPECT_TRUE(ok(g_global_node));
        Cell* record = hashtable_get_int(records->data3, node_of(rooted));
        ASSERT_NE(record, nullptr);
        EXPECT_TRUE(ok(record->data2));
        EXPECT_EQ(text_of(record->data2), "record value");
        Cell* owner = owner_find(node_series(h)->cell_at(4)->data2);
        ASSERT_NE(owner, nullptr);
        EXPECT_EQ(owner->data1, node_series(h)->cell_at(0)->data1);
        s = node_series(h);
        for (uint32_t i = 4; i < s->length(); ++i) {
            ASSERT_TRUE(ok(s->cell_at(i)->data2)) << i;
            EXPECT_EQ(text_of(s->cell_at(i)->data2), "item " + std::to_string(i - 4));
        }
    }
};

TEST_F(Collector, SparseStableNodeFrameIsEvacuatedWithEveryReferenceRewritten) {
    struct Case {
        uint32_t used;
        bool evacuated;
    };
    for (const Case& c : {Case{4999, true}, Case{5000, false}}) {
        TearDown();  // each case starts from a fresh runtime
        SetUp();
        collector_register(mark_global_node);
        {
            EvacuationSetup setup;
            setup.build(c.used);
            uint32_t evacuated_at = 0;
            for (uint32_t cycle = 1; cycle <= 12 && !evacuated_at; ++cycle) {
                collector_cycle();
                if (node_frames() == 1) evacuated_at = cycle;
            }
            if (c.evacuated) {
                // stable over the passes after cycle 1 freed the garbage: 6 unchanged passes by cycle 7
                EXPECT_EQ(evacuated_at, 8u);
                EXPECT_EQ(g_node_compactions, 1u);
                EXPECT_EQ(g_collector_stats.nodes_evacuated, c.used);
                EXPECT_EQ(used_nodes(), baseline + 5 + c.used);  // + the holder and the record table
                setup.verify();
                collector_cycle();
                setup.verify();
            } else {
                EXPECT_EQ(evacuated_at, 0u);
                EXPECT_EQ(node_frames(), 2u);
                EXPECT_EQ(g_node_compactions, 0u);
            }
        }
        collector_unregister(mark_global_node);
    }
}

TEST_F(Collector, CyclesStartedByAllocationNeverRenumberNodes) {
    collector_register(mark_global_node);
    {
        EvacuationSetup setup;
        setup.build(4999);
        g_collector_enabled = true;
        for (int i = 0; i < 12; ++i) collector_run();
        EXPECT_EQ(node_frames(), 2u);
        collector_cycle();
        EXPECT_EQ(node_frames(), 1u);
        setup.verify();
    }
    collector_unregister(mark_global_node);
}

// Collections started by full frames are paced by the data in use: a program that keeps all it
// makes runs a number of them that grows with the log of its size (one each time the frames filled
// would be one per 2 MB), and one that keeps little still has its garbage taken within a few frames.
TEST_F(Collector, CollectionsArePacedByTheDataInUse) {
    g_collector_enabled = true;
    const std::string kept(65536, 'k'), garbage(65536, 'g');
    {
        Rooted top(make_series(T_BLOCK, alloc_cells(1024)));
        uint32_t start = g_collector_cycles;
        for (int i = 0; i < 1024; ++i) append_string(node_of(top), kept);   // 64 MB kept
        EXPECT_LE(g_collector_cycles - start, 10u);
        EXPECT_GT(g_collector_cycles - start, 3u);
        EXPECT_EQ(node_series(node_of(top))->length(), 1024u);
        EXPECT_EQ(text_of(node_series(node_of(top))->cell_at(1023)->data2), kept);
    }
    collector_cycle();
    uint32_t start = g_collector_cycles;
    for (int i = 0; i < 4096; ++i) new_string(garbage);   // 256 MB, none kept
    EXPECT_GT(g_collector_cycles - start, 60u);
    EXPECT_LT(memory_stats(nullptr, 1), 8.0 * 1024 * 1024);
}

// ---- depth -------------------------------------------------------------------------------------------

TEST_F(Collector, BlockNestedAMillionDeepIsMarked) {
    constexpr uint32_t depth = 1000000;
    Node inner = alloc_cells(1);
    block_append(inner, make_series(T_STRING, new_string("bottom")));
    for (uint32_t i = 1; i < depth; ++i) {
        Node outer = alloc_cells(1);
        block_append(outer, make_series(T_BLOCK, inner));
        inner = outer;
    }
    const uint32_t used = used_nodes();
    {
        Rooted top(make_series(T_BLOCK, inner));
        for (int i = 0; i < 2; ++i) new_string("garbage");
        collector_cycle();
        EXPECT_EQ(used_nodes(), used);
        Node n = node_of(top);
        uint32_t levels = 0;
        while (node_series(n)->cells()->is(T_BLOCK)) {
            ASSERT_TRUE(alive(n));
            n = node_series(n)->cells()->data2;
            ++levels;
        }
        EXPECT_EQ(levels, depth - 1);
        EXPECT_EQ(text_of(node_series(n)->cells()->data2), "bottom");
    }
    collector_cycle();
    EXPECT_EQ(used_nodes(), baseline);
}

TEST_F(Collector, RecycleAnswersTheBytesInUse) {
    Rooted keep(make_series(T_STRING, new_string(std::string(1000, 'k'))));
    for (int i = 0; i < 100; ++i) new_string(std::string(1000, 'g'));
    double before = memory_stats(nullptr, 1);
    Cell figure = collector_recycle();
    ASSERT_TRUE(figure.is(T_INTEGER));
    EXPECT_EQ(double(cell_integer(&figure)), memory_stats(nullptr, 1));
    EXPECT_LT(cell_integer(&figure), before - 100 * 1000);
}

} // namespace
