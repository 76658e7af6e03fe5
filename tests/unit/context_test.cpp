// Contexts: making, finding and adding words, the global context's case variants, reading and
// writing through words (stack-held contexts, self, the errors), change marks and notification,
// contexts made from specs and duplicated, and binding blocks (self, cycles, nesting).
#include "core/context.h"
#include "core/cycles.h"
#include "core/gc.h"
#include "core/memory.h"
#include "core/runtime.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"

#include "tests/unit/runtime_fixture.h"
#include "tests/unit/test_values.h"

#include <gtest/gtest.h>

#include <cctype>
#include <initializer_list>
#include <string>
#include <vector>

using namespace kel;
using test::block;
using test::block_of;
using test::keep;

namespace {

class Context : public test::RuntimeTest {
protected:
    void TearDown() override {
        g_object_on_change = nullptr;
        RuntimeTest::TearDown();
    }
};

uint32_t sym(const char* name) { return symbol_make(name); }

// Keeps a value where the collector sees it for the rest of the test: on the data stack, whose
// cells never move (every test starts with an empty stack). A context is kept through an object!
// cell that refers to it.
Node keep_context(Node ctx) {
    keep(make_cell(T_OBJECT, ctx, 0, 0));
    return ctx;
}

Cell word(uint32_t s, Node ctx = 0, int32_t index = -1, TypeId t = T_WORD) {
    return make_cell(t, ctx, s, uint32_t(index));
}
Cell word(const char* name, Node ctx = 0, int32_t index = -1, TypeId t = T_WORD) {
    return word(sym(name), ctx, index, t);
}

// A block holding the cells, kept (as a block! value) for the rest of the test. The cells wait on
// the data stack while the block is made, and the block's own cell then takes their place.

// An object context with the given fields (values unset) and, optionally, an object! owner cell
// carrying a change-handler record.
Node object_context(std::initializer_list<const char*> fields, bool with_record = false) {
    Node ctx = keep_context(context_make(uint32_t(fields.size()), false, true, 0, CONTEXT_OBJECT));
    for (const char* f : fields) {
        Cell w = word(f);
        context_add_word(ctx, &w);
    }
    Node record = with_record ? alloc_cells(2) : 0;
    *context_owner(ctx) = make_cell(T_OBJECT, ctx, 7, record);
    return ctx;
}

Cell* value_of(Node ctx, const char* field) {
    int32_t i = context_find_word(ctx, sym(field), true);
    EXPECT_GE(i, 0) << field;
    return context_value_at(ctx, uint32_t(i));
}

// Runs f inside a try frame; the id of the error it raised (Err::Count_ when none) and its first
// argument. Both stacks are put back afterwards.
struct Raised {
    Err id = Err::Count_;
    Cell arg1{T_NONE, 0, 0, 0};
};
template <class F>
Raised raised_by(F&& f) {
    Cell w = word("try");
    Cell* top = g_stack.top;
    Cell* args = g_stack.arguments;
    Raised r;
    if (!stack_try(&w, false, [&] { f(); })) {
        const Cell* error = stack_top();
        r.id = error_id_of(error);
        if (const Cell* a = error_arg(error, 1)) r.arg1 = *a;
    }
    g_stack.top = top;
    g_stack.arguments = args;
    return r;
}

// ---- Making --------------------------------------------------------------------------------------

TEST_F(Context, MakeSetsHeaderAndValueStorage) {
    struct Case {
        uint32_t n;
        bool on_stack;
        bool self;
        uint32_t kind;
    };
    for (const Case& c : std::vector<Case>{{0, false, false, CONTEXT_GLOBAL},
                                           {3, true, false, CONTEXT_FUNCTION},
                                           {5, false, true, CONTEXT_OBJECT}}) {
        Node ctx = context_make(c.n, c.on_stack, c.self, 0, c.kind);
        const Cell* cc = context_cell(ctx);
        EXPECT_TRUE(cc->is(T_CONTEXT));
        EXPECT_EQ(context_kind(ctx), c.kind);
        EXPECT_EQ(context_on_stack(ctx), c.on_stack);
        EXPECT_EQ(context_has_self(ctx), c.self);
        EXPECT_EQ(cc->data3, 0u);
        EXPECT_TRUE(context_owner(ctx)->is(T_UNSET));
        EXPECT_EQ(context_node_of(cc), ctx);
        EXPECT_EQ(context_word_count(ctx), 0u);
        if (c.on_stack) {
            EXPECT_EQ(cc->data2, 0u);
        } else {
            Series* values = node_series(cc->data2);
            EXPECT_EQ(values->length(), 0u);  // filled as words are added
            EXPECT_GE(values->size / 16, c.n ? c.n : 1u);
            EXPECT_TRUE(reinterpret_cast<Cell*>(values->data())->is(T_UNSET));
        }
    }
}

TEST_F(Context, ZeroSlotsStillHoldsAWord) {
    Node ctx = keep_context(context_make(0, false, false, 0, CONTEXT_OBJECT));
    Cell w = word("zero-slot-a");
    EXPECT_EQ(context_add_word(ctx, &w), 0);
    Cell v = make_integer(5);
    Cell* slot = context_put_word_value(ctx, &w, &v);
    EXPECT_EQ(cell_integer(slot), 5);
    EXPECT_EQ(node_series(context_cell(ctx)->data2)->length(), 1u);
}

TEST_F(Context, MakeFromSpecTakesArgumentWordsOnce) {
    Cell spec = block({word("spec-a"), word("spec-b", 0, -1, T_GET_WORD),
                       word("spec-c", 0, -1, T_LIT_WORD), word("spec-d", 0, -1, T_REFINEMENT),
                       word("return", 0, -1, T_SET_WORD), make_integer(1), word("SPEC-A"),
                       word("spec-e", 0, -1, T_ISSUE), word("spec-f")});
    Node ctx = keep_context(context_make_from_spec(&spec, false, false, CONTEXT_FUNCTION));
    const char* expected[] = {"spec-a", "spec-b", "spec-c", "spec-d", "spec-f"};
    ASSERT_EQ(context_word_count(ctx), 5u);
    for (uint32_t i = 0; i < 5; ++i) {
        uint32_t expected_symbol = sym(expected[i]);
        const Cell* w = context_word_at(ctx, i);
        EXPECT_TRUE(w->is(T_WORD));
        EXPECT_EQ(w->data1, ctx);
        EXPECT_EQ(w->data2, expected_symbol);
        EXPECT_EQ(w->data3, i);
    }
    EXPECT_EQ(node_series(context_cell(ctx)->data2)->length(), 5u);

    Node on_stack = context_make_from_spec(&spec, true, false, CONTEXT_FUNCTION);
    EXPECT_EQ(context_word_count(on_stack), 5u);
    EXPECT_EQ(context_cell(on_stack)->data2, 0u);

    // from the spec's head on
    Cell tail_spec = spec;
    tail_spec.data1 = 7;
    EXPECT_EQ(context_word_count(context_make_from_spec(&tail_spec, false, false, 1)), 1u);
}

TEST_F(Context, DuplicateRebindsWordsWithFreshValues) {
    Node src = object_context({"dup-a", "dup-b"});
    *value_of(src, "dup-a") = make_integer(1);
    Cell& holder = keep(make_cell(T_OBJECT, src, 0, 0));  // keeps the copy it receives
    Node copy = context_duplicate(&holder, CONTEXT_OBJECT);
    EXPECT_NE(copy, src);
    EXPECT_EQ(holder.data1, copy);
    EXPECT_TRUE(context_has_self(copy));
    ASSERT_EQ(context_word_count(copy), 2u);
    for (uint32_t i = 0; i < 2; ++i) {
        EXPECT_EQ(context_word_at(copy, i)->data1, copy);
        EXPECT_EQ(context_word_at(copy, i)->data2, context_word_at(src, i)->data2);
        EXPECT_TRUE(context_value_at(copy, i)->is(T_UNSET));
        EXPECT_EQ(context_word_at(src, i)->data1, src);
    }
    EXPECT_EQ(node_series(context_cell(copy)->data2)->length(), 2u);
    EXPECT_EQ(cell_integer(value_of(src, "dup-a")), 1);
    // new words go to the copy only
    Cell w = word("dup-c");
    context_add_word(copy, &w);
    EXPECT_EQ(context_find_word(src, sym("dup-c"), true), -1);

    Node fn = keep_context(context_make(2, true, false, 0, CONTEXT_FUNCTION));
    Cell& holder2 = keep(make_cell(T_FUNCTION, fn, 0, 0));
    Node fn_copy = context_duplicate(&holder2, CONTEXT_FUNCTION);
    EXPECT_TRUE(context_on_stack(fn_copy));
    EXPECT_EQ(context_cell(fn_copy)->data2, 0u);
}

// ---- Finding and adding --------------------------------------------------------------------------

TEST_F(Context, FindComparesCanonicalOrExactSymbols) {
    Node ctx = keep_context(context_make(4, false, false, 0, CONTEXT_OBJECT));
    Cell lower = word("findme");
    EXPECT_EQ(context_add_word(ctx, &lower), 0);
    uint32_t upper = sym("FINDME");
    EXPECT_EQ(context_find_word(ctx, upper, true), 0);
    EXPECT_EQ(context_find_word(ctx, upper, false), -1);
    EXPECT_EQ(context_find_word(ctx, sym("other-word"), true), -1);

    // adding a case variant finds the existing word; the list keeps the first spelling
    Cell upper_word = word(upper);
    EXPECT_EQ(context_add_word(ctx, &upper_word), 0);
    EXPECT_EQ(context_word_count(ctx), 1u);
    EXPECT_EQ(context_word_at(ctx, 0)->data2, lower.data2);

    // find-or-add leaves the values alone; add-word gives new words a value slot
    int32_t added = -5;
    uint32_t fresh_one = sym("fresh-one");
    EXPECT_EQ(context_find_or_add_word(ctx, fresh_one, true, &added), -1);
    EXPECT_EQ(added, 1);
    EXPECT_EQ(node_series(context_cell(ctx)->data2)->length(), 1u);
    const Cell* w = context_word_at(ctx, 1);
    EXPECT_TRUE(w->is(T_WORD));
    EXPECT_EQ(w->data1, ctx);
    EXPECT_EQ(w->data3, 1u);
    Cell fresh2 = word("fresh-two");
    EXPECT_EQ(context_add_word(ctx, &fresh2), 2);
    EXPECT_EQ(node_series(context_cell(ctx)->data2)->length(), 2u);
}

TEST_F(Context, PutAndAddWordValue) {
    Node ctx = keep_context(context_make(1, false, false, 0, CONTEXT_OBJECT));
    Cell a = word("put-a");
    Cell one = make_integer(1), two = make_integer(2);
    EXPECT_EQ(cell_integer(context_put_word_value(ctx, &a, &one)), 1);
    EXPECT_EQ(cell_integer(context_put_word_value(ctx, &a, &two)), 2);
    EXPECT_EQ(context_word_count(ctx), 1u);

    EXPECT_EQ(context_add_word_value(ctx, &a, &one), nullptr);
    EXPECT_EQ(cell_integer(value_of(ctx, "put-a")), 2);
    Cell b = word("put-b");
    Cell* slot = context_add_word_value(ctx, &b, &one);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(cell_integer(slot), 1);
    EXPECT_EQ(context_word_count(ctx), 2u);
    EXPECT_EQ(node_series(context_cell(ctx)->data2)->length(), 2u);
}

TEST_F(Context, CollectSetWords) {
    Node ctx = keep_context(context_make(2, false, true, 0, CONTEXT_OBJECT));
    Cell body = block({word("cs-a", 0, -1, T_SET_WORD), make_integer(1), word("cs-b"),
                       word("cs-c", 0, -1, T_SET_WORD), word("CS-A", 0, -1, T_SET_WORD)});
    EXPECT_TRUE(context_collect_set_words(ctx, &body));
    ASSERT_EQ(context_word_count(ctx), 2u);
    uint32_t cs_c = sym("cs-c");
    EXPECT_EQ(context_word_at(ctx, 1)->data2, cs_c);
    EXPECT_FALSE(context_collect_set_words(ctx, &body));

    // a head past the tail is clipped to the tail and adds nothing
    Cell past = block({word("cs-d", 0, -1, T_SET_WORD)});
    past.data1 = 5;
    EXPECT_FALSE(context_collect_set_words(ctx, &past));
    EXPECT_EQ(past.data1, 1u);
    EXPECT_EQ(context_word_count(ctx), 2u);
}

// ---- The global context --------------------------------------------------------------------------

TEST_F(Context, GlobalCaseVariantSharesTheSlot) {
    uint32_t lower = sym("gfoo");
    uint32_t upper = sym("Gfoo");
    Cell stored = *context_add_global(lower, true, true);
    EXPECT_EQ(stored.data1, g_global_context);
    EXPECT_EQ(stored.data2, lower);
    *word_get(&stored) = make_integer(42);

    // loading Gfoo when gfoo is there: a root-block copy spelled Gfoo, on gfoo's slot
    Cell* variant = context_add_global(upper, true, true);
    Series* root = node_series(g_root_block);
    EXPECT_GE(reinterpret_cast<uint8_t*>(variant), root->data());
    EXPECT_LT(reinterpret_cast<uint8_t*>(variant), root->tail_ptr());
    EXPECT_EQ(variant->data2, upper);
    EXPECT_EQ(variant->data3, stored.data3);
    EXPECT_EQ(cell_integer(word_get(variant)), 42);

    // without the copy flag the stored word itself comes back
    EXPECT_EQ(context_add_global(upper, true, false)->data2, lower);

    // an exact add of the alias makes a new word that still shares the slot
    uint32_t count = context_word_count(g_global_context);
    Cell* alias = context_add_global(upper, false, false);
    EXPECT_EQ(context_word_count(g_global_context), count + 1);
    EXPECT_EQ(alias->data2, upper);
    EXPECT_EQ(alias->data3, stored.data3);
    EXPECT_EQ(context_add_global(upper, false, false), alias);
}

TEST_F(Context, GlobalCaseVariantsShareOneSlotWhicheverCameFirst) {
    // a canonical name added after its alias (the symbol was interned, not loaded, first)
    uint32_t canon = sym("late-canon");
    uint32_t alias = sym("LATE-CANON");
    Cell alias_word = *context_add_global(alias, false, false);
    *word_get(&alias_word) = make_integer(5);
    Cell canon_word = *context_add_global(canon, false, false);
    EXPECT_EQ(canon_word.data3, alias_word.data3);
    EXPECT_EQ(cell_integer(word_get(&canon_word)), 5);

    // an unbound alias assigned through the global context writes the slot it shares
    uint32_t bar = sym("gbar");
    uint32_t bar_alias = sym("GBAR");
    Cell bar_word = *context_add_global(bar, false, false);
    Cell bar_alias_word = *context_add_global(bar_alias, false, false);
    ASSERT_EQ(bar_alias_word.data3, bar_word.data3);
    Cell unbound = word(bar_alias, g_global_context, -1);
    Cell seven = make_integer(7);
    context_set_in(&unbound, &seven, g_global_context, false);
    EXPECT_EQ(unbound.data3, bar_word.data3);
    EXPECT_EQ(cell_integer(word_get(&bar_word)), 7);
}

TEST_F(Context, GlobalCaseVariantsKeepTheirSlotWhenTheWordTableGrows) {
    // A small context stands in for the global one, so that its word table grows after a few
    // words. The name is picked so that its first variant takes the last of 8 buckets and the
    // second wraps round to bucket 0; growing re-places the buckets in order, so the second
    // variant then comes first on the name's probe sequence.
    Node real_global = keep_context(g_global_context);
    Node small = keep_context(context_make(1, false, false, 0, CONTEXT_GLOBAL));
    ASSERT_EQ(hashtable_record(context_word_table(small))->buckets, 8u);
    std::string name;
    for (int i = 0; name.empty(); ++i) {
        std::string candidate = "wrap-" + std::to_string(i);
        if ((murmur3_fmix(sym(candidate.c_str())) & 7) == 7) name = candidate;
    }
    std::string upper = name, mixed = name;
    for (char& c : upper) c = char(std::toupper(static_cast<unsigned char>(c)));
    mixed[0] = upper[0];
    uint32_t first_sym = sym(name.c_str());
    uint32_t second_sym = sym(upper.c_str());

    g_global_context = small;
    Cell first = *context_add_global(first_sym, false, false);
    Cell second = *context_add_global(second_sym, false, false);
    ASSERT_EQ(second.data3, first.data3);
    *word_get(&first) = make_integer(42);
    for (int i = 0; hashtable_record(context_word_table(small))->buckets == 8; ++i)
        context_add_global(sym(("grow-" + std::to_string(i)).c_str()), false, false);
    HashTable* t = hashtable_record(context_word_table(small));
    ASSERT_EQ(hash_words(t->keys)[murmur3_fmix(first_sym) & (t->buckets - 1)], 1u)
        << "the second variant should now come first";

    EXPECT_EQ(context_find_word(small, first_sym, true), int32_t(first.data3));
    Cell other = word(mixed.c_str());
    EXPECT_EQ(bind_word(small, &other), int32_t(first.data3));
    EXPECT_EQ(cell_integer(word_get(&other)), 42);
    EXPECT_EQ(cell_integer(context_value_by_symbol(second_sym, small)), 42);
    g_global_context = real_global;
}

TEST_F(Context, GlobalWordUnderRootCollect) {
    uint32_t s = sym("root-collected");
    Cell* plain = context_global_word(s);
    Series* words = context_words(g_global_context);
    EXPECT_GE(reinterpret_cast<uint8_t*>(plain), words->data());
    EXPECT_LT(reinterpret_cast<uint8_t*>(plain), words->tail_ptr());

    g_root_collect = true;
    uint32_t root_tail = node_series(g_root_block)->tail;
    Cell* copy = context_global_word(s);
    g_root_collect = false;
    EXPECT_EQ(node_series(g_root_block)->tail, root_tail + 16);
    EXPECT_EQ(copy, reinterpret_cast<Cell*>(node_series(g_root_block)->data() + root_tail));
    EXPECT_EQ(copy->data2, s);
    EXPECT_EQ(copy->data1, g_global_context);
    Cell copied = *copy;  // the word, for after the allocations below

    // a function's word, else the global one
    Node fn = keep_context(context_make(1, true, false, 0, CONTEXT_FUNCTION));
    Cell local = word("local-name");
    context_add_word(fn, &local);
    EXPECT_EQ(context_word_or_global(fn, local.data2)->data1, fn);
    EXPECT_EQ(context_word_or_global(fn, s)->data1, g_global_context);
    // values by symbol: a stack-held context reads the global one
    *word_get(&copied) = make_integer(9);
    EXPECT_EQ(cell_integer(context_value_by_symbol(s, fn)), 9);
}

// ---- Reading and writing -------------------------------------------------------------------------

TEST_F(Context, StackHeldContextReadsTheRunningFrame) {
    Node fn = keep_context(context_make(2, true, false, 0, CONTEXT_FUNCTION));
    Cell a = word("frame-a"), b = word("frame-b");
    context_add_word(fn, &a);
    context_add_word(fn, &b);
    Cell wa = *context_word_at(fn, 0);
    Cell wb = *context_word_at(fn, 1);

    // not running
    Raised r = raised_by([&] { word_get(&wa); });
    EXPECT_EQ(r.id, Err::NotInContext);
    EXPECT_EQ(r.arg1.data2, wa.data2);
    Cell v = make_integer(3);
    EXPECT_EQ(raised_by([&] { context_set_in(&wb, &v, fn, true); }).id, Err::NotDefined);
    r = raised_by([&] { context_get(fn, 1); });
    EXPECT_EQ(r.id, Err::NotDefined);
    EXPECT_EQ(r.arg1.data2, wb.data2);
    EXPECT_EQ(raised_by([&] { context_set_from_top(fn, 0); }).id, Err::NotDefined);

    // running: the values are the frame's cells
    stack_push(make_integer(-1));  // something below the frame
    Cell* first = stack_push(make_integer(10));
    stack_push(make_integer(20));
    stack_context_frame_word(fn) = stack_frame_ref(first);
    EXPECT_EQ(word_get(&wa), first);
    EXPECT_EQ(cell_integer(word_get(&wb)), 20);
    Cell* slot = context_set_in(&wb, &v, fn, true);
    EXPECT_EQ(slot, first + 1);
    EXPECT_EQ(cell_integer(first + 1), 3);
    EXPECT_EQ(context_word_at(fn, 1)->header & CELL_OBJ_CHANGED, 0u);
    EXPECT_EQ(cell_integer(context_get(fn, 0)), 10);

    stack_context_frame_word(fn) = 0;
    EXPECT_EQ(raised_by([&] { word_get(&wa); }).id, Err::NotInContext);
}

TEST_F(Context, UnboundWordsRaise) {
    Cell loose = word("loose-word");  // no context, index -1
    Raised r = raised_by([&] { word_get(&loose); });
    EXPECT_EQ(r.id, Err::NoValue);
    EXPECT_EQ(r.arg1.data2, loose.data2);
    Cell orphan = word("loose-word", 0, 0);  // an index but no context
    EXPECT_EQ(raised_by([&] { word_get(&orphan); }).id, Err::NotInContext);
    Cell v = make_integer(1);
    EXPECT_EQ(raised_by([&] { word_set(&orphan, &v); }).id, Err::NotDefined);
    Node obj = object_context({"ub-a"});
    Cell unresolved = word("ub-a", obj, -1);
    EXPECT_EQ(raised_by([&] { word_value_in(&unresolved, obj); }).id, Err::NoValue);
}

TEST_F(Context, ObjectAssignmentMarksChangedFunctionAssignmentDoesNot) {
    Node obj = object_context({"chg-a", "chg-b"});
    Node fn = keep_context(context_make(2, false, false, 0, CONTEXT_FUNCTION));
    Cell fa = word("chg-a");
    context_add_word(fn, &fa);
    Cell v = make_integer(4);

    Cell wo = *context_word_at(obj, 1);
    context_set_in(&wo, &v, obj, true);
    EXPECT_NE(context_word_at(obj, 1)->header & CELL_OBJ_CHANGED, 0u);
    EXPECT_EQ(context_word_at(obj, 0)->header & CELL_OBJ_CHANGED, 0u);
    EXPECT_EQ(cell_integer(value_of(obj, "chg-b")), 4);

    Cell wf = *context_word_at(fn, 0);
    context_set_in(&wf, &v, fn, true);
    EXPECT_EQ(context_word_at(fn, 0)->header & CELL_OBJ_CHANGED, 0u);
    EXPECT_EQ(cell_integer(value_of(fn, "chg-a")), 4);

    // by index from the data stack
    stack_push(make_integer(8));
    context_set_from_top(obj, 0);
    EXPECT_NE(context_word_at(obj, 0)->header & CELL_OBJ_CHANGED, 0u);
    EXPECT_EQ(cell_integer(value_of(obj, "chg-a")), 8);
    stack_push(make_integer(9));
    context_set_from_top(fn, 0);
    EXPECT_EQ(context_word_at(fn, 0)->header & CELL_OBJ_CHANGED, 0u);

    stack_push(make_integer(11));
    uint32_t depth = stack_depth();
    Cell* slot = context_swap_top(obj, 0);
    EXPECT_EQ(stack_depth(), depth + 1);
    EXPECT_EQ(cell_integer(stack_top()), 8);  // the old value, for the caller to read
    EXPECT_EQ(cell_integer(slot), 11);
}

struct ChangeSeen {
    Node owner_ctx;
    uint32_t word_sym;
    int32_t old_value;
    int32_t new_value;
    int32_t slot_value;
    bool cells_on_stack;
};
std::vector<ChangeSeen> g_changes;
Node g_change_ctx = 0;

void record_change(const Cell* owner, const Cell* word, const Cell* old_value,
                   const Cell* new_value) {
    auto on_stack = [](const Cell* c) { return c >= g_stack.bottom && c < g_stack.top; };
    int32_t i = context_find_word(g_change_ctx, word->data2, true);
    g_changes.push_back({owner->data1, word->data2, cell_integer(old_value), cell_integer(new_value),
                         cell_integer(context_value_at(g_change_ctx, uint32_t(i))),
                         on_stack(owner) && on_stack(word) && on_stack(old_value) && on_stack(new_value)});
    stack_push(make_integer(99));  // whatever the handler leaves is dropped
}

TEST_F(Context, AssignmentNotifiesAnObjectWithHandlers) {
    g_change_ctx = object_context({"note-a"}, true);
    g_changes.clear();
    g_object_on_change = record_change;
    Cell w = *context_word_at(g_change_ctx, 0);
    Cell one = make_integer(1), two = make_integer(2);
    context_set_in(&w, &one, g_change_ctx, true);
    uint32_t depth = stack_depth();
    Cell* slot = context_set_in(&w, &two, g_change_ctx, true);
    EXPECT_EQ(stack_depth(), depth);
    EXPECT_EQ(slot, value_of(g_change_ctx, "note-a"));
    ASSERT_EQ(g_changes.size(), 2u);
    EXPECT_EQ(g_changes[1].owner_ctx, g_change_ctx);
    EXPECT_EQ(g_changes[1].word_sym, sym("note-a"));
    EXPECT_EQ(g_changes[1].old_value, 1);
    EXPECT_EQ(g_changes[1].new_value, 2);
    EXPECT_EQ(g_changes[1].slot_value, 2);  // stored before the handler runs
    EXPECT_TRUE(g_changes[1].cells_on_stack);

    // no notification without the flag, or without a handler record
    context_set_in(&w, &one, g_change_ctx, false);
    EXPECT_EQ(g_changes.size(), 2u);
    Node quiet = object_context({"note-a"}, false);
    Cell qw = *context_word_at(quiet, 0);
    context_set_in(&qw, &one, quiet, true);
    EXPECT_EQ(g_changes.size(), 2u);
}

// A handler that runs a collection, as one that allocates may.
void collect_in_change(const Cell*, const Cell*, const Cell*, const Cell*) {
    bool enabled = g_collector_enabled;
    g_collector_enabled = true;
    collector_run();
    g_collector_enabled = enabled;
}

TEST_F(Context, AssignmentReturnsTheSlotWhereTheHandlerLeftIt) {
    // a dead block below the object's buffers, so that the handler's collection slides them down
    Cell& garbage = keep(make_series(T_BLOCK, alloc_cells(64)));
    Node obj = object_context({"moved-a"}, true);
    Cell w = *context_word_at(obj, 0);
    garbage = make_cell(T_UNSET);
    Cell* before = value_of(obj, "moved-a");
    g_object_on_change = collect_in_change;
    Cell v = make_integer(17);
    Cell* slot = context_set_in(&w, &v, obj, true);
    Cell* now = value_of(obj, "moved-a");
    EXPECT_NE(now, before);  // the values did move
    EXPECT_EQ(slot, now);
    EXPECT_EQ(cell_integer(now), 17);
}

TEST_F(Context, UnresolvedWordIsResolvedOrAddedOnAssignment) {
    Node obj = object_context({"res-a"});
    Cell v = make_integer(6);
    Cell known = word("RES-A", obj, -1);
    context_set_in(&known, &v, obj, true);
    EXPECT_EQ(known.data3, 0u);
    EXPECT_EQ(cell_integer(value_of(obj, "res-a")), 6);

    Cell fresh = word("res-b", obj, -1);
    context_set_in(&fresh, &v, obj, true);
    EXPECT_EQ(fresh.data3, 1u);
    EXPECT_EQ(context_word_count(obj), 2u);
    EXPECT_EQ(cell_integer(word_get(&fresh)), 6);
}

// ---- Binding -------------------------------------------------------------------------------------

TEST_F(Context, BindBlockWithSelf) {
    Node obj = object_context({"bind-a", "bind-b", "bind-c"});
    *value_of(obj, "bind-a") = make_integer(1);
    Cell inner_paren = make_series(T_PAREN, block_of({word("bind-c", 0, -1, T_GET_WORD)}));
    Cell path = make_series(T_PATH, block_of({word("bind-b"), word("elsewhere")}));
    Cell body = block({word("bind-a"), block({word("BIND-B", 0, -1, T_LIT_WORD), inner_paren}),
                       path, word("bind-a", 0, -1, T_ISSUE), word("self"), word("Self"),
                       word("bind-a", 0, -1, T_REFINEMENT)});
    bind_block(&body, obj, true);
    Series* s = value_series(&body);
    auto bound_to = [&](const Cell* c, int32_t index) {
        return c->data1 == obj && int32_t(c->data3) == index;
    };
    EXPECT_TRUE(bound_to(s->cell_at(0), 0));
    Series* nested = value_series(s->cell_at(1));
    EXPECT_TRUE(bound_to(nested->cell_at(0), 1));
    EXPECT_TRUE(bound_to(value_series(nested->cell_at(1))->cell_at(0), 2));
    EXPECT_TRUE(bound_to(value_series(s->cell_at(2))->cell_at(0), 1));
    EXPECT_EQ(value_series(s->cell_at(2))->cell_at(1)->data1, 0u);  // not in the object
    EXPECT_EQ(s->cell_at(3)->data1, 0u);                              // issues are never bound
    EXPECT_TRUE(bound_to(s->cell_at(4), -1));                         // self
    EXPECT_EQ(s->cell_at(5)->data1, 0u);                              // Self: a word like others
    EXPECT_TRUE(bound_to(s->cell_at(6), 0));
    EXPECT_EQ(word_get(s->cell_at(4)), context_owner(obj));
    EXPECT_EQ(cell_integer(word_get(s->cell_at(0))), 1);

    // without the flag, self binds like any word (absent here)
    Cell plain = block({word("self")});
    bind_block(&plain, obj, false);
    EXPECT_EQ(value_series(&plain)->cell_at(0)->data1, 0u);
    // an object that has a word Self binds it normally
    Node with_self = object_context({"Self"});
    Cell caps = block({word("Self")});
    bind_block(&caps, with_self, true);
    EXPECT_EQ(value_series(&caps)->cell_at(0)->data1, with_self);
    EXPECT_EQ(value_series(&caps)->cell_at(0)->data3, 0u);
    EXPECT_EQ(cycles_depth(), 0u);
}

TEST_F(Context, SelfIsInternedAgainByANewRuntime) {
    Node obj = object_context({});
    Cell first = block({word("self")});
    bind_block(&first, obj, true);
    uint32_t old_self = value_series(&first)->cell_at(0)->data2;

    // A new start has a new symbol table, where the old id of `self` may name another word.
    test::runtime_down();
    test::runtime_up();
    uint32_t other = 0;
    for (int i = 0; i < 64 && other != old_self; ++i)
        other = sym(("filler-" + std::to_string(i)).c_str());
    Node fresh = object_context({});
    Cell body = block({word(other), word("self")});
    bind_block(&body, fresh, true);
    EXPECT_EQ(value_series(&body)->cell_at(0)->data1, 0u);  // not taken for self
    Cell self_word = *value_series(&body)->cell_at(1);
    EXPECT_EQ(self_word.data1, fresh);
    ASSERT_EQ(int32_t(self_word.data3), -1);
    EXPECT_EQ(word_get(&self_word), context_owner(fresh));
}

TEST_F(Context, BindBlockThatContainsItselfTerminates) {
    Node obj = object_context({"loop-a"});
    Node n = block_of({word("loop-a")});
    Cell self_ref = make_series(T_BLOCK, n);
    block_append(n, self_ref);
    block_append(n, make_series(T_PAREN, block_of({self_ref, word("loop-a")})));
    block_append(n, word("loop-a"));
    bind_block(&self_ref, obj, false);
    Series* s = node_series(n);
    EXPECT_EQ(s->cell_at(0)->data1, obj);
    EXPECT_EQ(s->cell_at(3)->data1, obj);
    EXPECT_EQ(value_series(s->cell_at(2))->cell_at(1)->data1, obj);
    EXPECT_EQ(cycles_depth(), 0u);

    // binding from the value's head only
    Cell tail_part = block({word("loop-a"), word("loop-a")});
    tail_part.data1 = 1;
    bind_block(&tail_part, obj, false);
    EXPECT_EQ(value_series(&tail_part)->cell_at(0)->data1, 0u);
    EXPECT_EQ(value_series(&tail_part)->cell_at(1)->data1, obj);

    Cell w = word("LOOP-A");
    EXPECT_EQ(bind_word(obj, &w), 0);
    EXPECT_EQ(w.data1, obj);
    Cell missing = word("not-there");
    EXPECT_EQ(bind_word(obj, &missing), -1);
    EXPECT_EQ(missing.data1, 0u);
    EXPECT_EQ(int32_t(missing.data3), -1);
}

} // namespace
