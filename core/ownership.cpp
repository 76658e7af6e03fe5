// Ownership tracking: marking, unmarking and reporting changes of owned values.
//
// The deep walks visit cells by node and index and fetch every buffer again after a record is
// added (adding may grow the record buffer); the collector is held off for a whole walk, so what
// the walk keeps only in locals (the copies of the owner and the word, the caller's value) stays
// alive. A cell's own mark (image!) is set in place before anything allocates, then the cell is
// copied.
#include "core/ownership.h"

#include "core/context.h"
#include "core/cycles.h"
#include "core/hash.h"
#include "core/stack.h"

#include <unordered_map>
#include <unordered_set>

namespace kel {

Node g_ownership_table = 0;
OwnerDeepChangeFn g_owner_on_deep_change = nullptr;

namespace {

enum class Track : uint8_t {
    None,
    Descend,   // block-like: marked, recorded and walked into
    Mark,      // other series and bitset!: marked and recorded
    Image,     // marked on the cell, recorded
    Object,    // its fields are walked into
};

Track track_of(TypeId t) {
    switch (t) {
    case T_BLOCK: case T_PAREN: case T_HASH:
    case T_PATH: case T_LIT_PATH: case T_SET_PATH: case T_GET_PATH:
        return Track::Descend;
    case T_STRING: case T_FILE: case T_URL: case T_TAG: case T_EMAIL: case T_REF:
    case T_BINARY: case T_VECTOR: case T_BITSET:
        return Track::Mark;
    case T_IMAGE:
        return Track::Image;
    case T_OBJECT:
        return Track::Object;
    default:
        return Track::None;
    }
}

// An entry of the cycle-detection stack for one scope. When cycles_push raises too-deep the stack
// is emptied and the entry never constructed; the pops of the enclosing entries are then no-ops.
struct CycleEntry {
    explicit CycleEntry(Node n) { cycles_push(n); }
    ~CycleEntry() { cycles_pop(); }
    CycleEntry(const CycleEntry&) = delete;
    CycleEntry& operator=(const CycleEntry&) = delete;
};

Cell* values_cell(Node values, uint32_t i) {
    return reinterpret_cast<Cell*>(node_series(values)->head_ptr()) + i;
}
uint32_t values_length(Node values) { return node_series(values)->length(); }

// Sets the owned mark of a series value.
void mark_owned(Cell* value, Track track) {
    if (track == Track::Image) value->header |= CELL_OWNED;
    else node_series(series_node(value))->flags |= SER_OWNED;
}

void clear_owned(Cell* value, Track track) {
    if (track == Track::Image) value->header &= ~CELL_OWNED;
    else node_series(series_node(value))->flags &= ~SER_OWNED;
}

// The object's values series when its fields can be walked: a context that keeps its values
// and does not own values itself.
Node walkable_values(Node ctx) {
    if (!ctx) return 0;
    const Cell* cc = context_cell(ctx);
    if (cc->header & (CELL_OWNED | CELL_CTX_ON_STACK)) return 0;
    return cc->data2;
}

// One set_owner_deep walk: the owner, and what the walk has been through: each series with the
// lowest index its cells were walked from, each object's values. A series reached again (a
// sub-block shared by several blocks, a block that contains itself) is walked only over cells
// not walked yet, so a walk visits every cell once whatever the sharing; the cycle-detection
// stack still bounds the depth.
struct OwnerWalk {
    Cell owner;
    std::unordered_map<Node, uint32_t> walked_from;
    std::unordered_set<Node> objects;
};

void owner_deep(Cell* value, OwnerWalk& walk, const Cell& word) {
    const Cell& owner = walk.owner;
    Track track = track_of(value->type());
    switch (track) {
    case Track::None:
        return;
    case Track::Object: {
        Node ctx = value->data1;
        Node values = walkable_values(ctx);
        if (!values || !walk.objects.insert(values).second) return;
        CycleEntry entry(values);
        for (uint32_t i = 0; i < values_length(values) && i < context_word_count(ctx); ++i) {
            Cell* field = values_cell(values, i);
            if (field->is(T_OBJECT) && field->data1 == owner.data1) continue;
            Cell field_word = *context_word_slot(ctx, i);
            owner_deep(field, walk, field_word);
        }
        return;
    }
    default:
        break;
    }
    Node node = series_node(value);
    if (!node) return;
    mark_owned(value, track);  // an image! cell carries its own mark, every cell once
    uint32_t from = series_index(value);
    uint32_t until = UINT32_MAX;
    auto [at, fresh] = walk.walked_from.try_emplace(node, from);
    if (!fresh) {
        if (from >= at->second) return;
        until = at->second;
        at->second = from;
    }
    Cell v = *value;
    // A series already owned keeps its record. The mark alone does not tell: the collector drops
    // the record of a dead owner and leaves the mark, and a copy of a whole buffer carries it.
    Cell* record = hashtable_put_int(g_ownership_table, node);
    if (record[0].is(T_UNSET)) {
        record[0] = v;
        record[1] = owner;
        record[2] = word;
    }
    if (track != Track::Descend) return;
    CycleEntry entry(node);
    for (uint32_t i = from; i < until && i < node_series(node)->length(); ++i)
        owner_deep(node_series(node)->cell_at(i), walk, word);
}

void unbind(Cell* value) {
    Track track = track_of(value->type());
    switch (track) {
    case Track::None:
        return;
    case Track::Object: {
        Node values = walkable_values(value->data1);
        if (!values || cycles_find(values)) return;
        CycleEntry entry(values);
        for (uint32_t i = 0; i < values_length(values); ++i) unbind(values_cell(values, i));
        return;
    }
    default:
        break;
    }
    Node node = series_node(value);
    if (!node) return;
    clear_owned(value, track);
    Cell v = *value;
    Cell* record = hashtable_delete_int(g_ownership_table, node);
    if (!record) return;
    for (uint32_t k = 0; k < OWNERSHIP_RECORD_CELLS; ++k) record[k] = Cell{T_UNSET, 0, 0, 0};
    if (track != Track::Descend) return;
    for (uint32_t i = series_index(&v); i < node_series(node)->length(); ++i)
        unbind(node_series(node)->cell_at(i));
}

} // namespace

void ownership_init() {
    CollectorHold hold;
    g_ownership_table =
        hashtable_make(OWNERSHIP_TABLE_SIZE, 0, HASH_KIND_OWNERSHIP, OWNERSHIP_RECORD_CELLS);
}

bool ownership_tracked_type(TypeId t) { return track_of(t) != Track::None; }

void set_owner_deep(Cell* value, const Cell* owner_in, const Cell* word_in) {
    OwnerWalk walk{*owner_in, {}, {}};
    Cell word = *word_in;
    CollectorHold hold;
    owner_deep(value, walk, word);
}

void set_owner_and_flag(Cell* value, const Cell* owner_in, const Cell* word) {
    Cell owner = *owner_in;
    CollectorHold hold;
    set_owner_deep(value, &owner, word);
    if (owner.data1) context_cell(owner.data1)->header |= CELL_OWNED;
}

void ownership_unbind(Cell* value) {
    CollectorHold hold;
    unbind(value);
}

void unset_owner_range(const Cell* block, uint32_t index, uint32_t count) {
    Node node = series_node(block);
    if (!node) return;
    CollectorHold hold;
    for (uint32_t i = index; i - index < count && i < node_series(node)->length(); ++i)
        unbind(node_series(node)->cell_at(i));
}

Cell* owner_find(Node node) {
    Cell* record = hashtable_get_int(g_ownership_table, node);
    return record ? record + 1 : nullptr;
}

bool ownership_check(const Cell* value, const Cell* action, const Cell* new_value, int32_t index,
                     int32_t part) {
    Track track = track_of(value->type());
    Node key;
    switch (track) {
    case Track::None:
        return false;
    case Track::Object:
        key = value->data1;
        break;
    case Track::Image:
        key = series_node(value);
        break;
    default:
        key = series_node(value);
        // An unmarked buffer has no record: the common case costs no look-up.
        if (!key || !(node_series(key)->flags & SER_OWNED)) return false;
        break;
    }
    if (!key) return false;
    const Cell* record = hashtable_get_int(g_ownership_table, key);
    if (!record || !record[1].data3) return false;
    if (!g_owner_on_deep_change) return true;
    // The handler sees copies on the data stack, which neither moves nor is missed by the
    // collector while it runs.
    Cell* saved_top = g_stack.top;
    Cell* owner = stack_push(record[1]);
    Cell* word = stack_push(record[2]);
    Cell* target = stack_push(value);
    Cell* action_copy = stack_push(action);
    Cell* new_copy = new_value ? stack_push(new_value) : nullptr;
    g_owner_on_deep_change(owner, word, target, action_copy, new_copy, index, part);
    g_stack.top = saved_top;
    return true;
}

} // namespace kel
