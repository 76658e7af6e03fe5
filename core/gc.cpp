// The collector: one cycle marks from the roots, sweeps the external resources and the ownership
// table, compacts the series frames, sweeps the big frames, returns dead nodes to their frames and
// releases node frames that are empty or were evacuated.
//
// Marking. Every reached buffer gets SER_MARK. Cells are marked by type (mark_cell); a cell range
// to visit goes onto a heap work stack and the outermost marking call drains it, so neither a
// block nested a million deep nor a long chain of contexts grows the native stack. Buffers do not
// move while marking, so the ranges stay valid. Heap (SER_FIXED) buffers are never swept: the
// ones marked are remembered and their marks cleared at the end of the cycle.
//
// Compaction. Frames are visited from the lowest address up. Within a frame, live buffers slide
// down over dead ones; while the frame below has at least 0xCCCD bytes of room, runs of live
// buffers move into it instead. Each moved buffer's node slot is set to its new address (head and
// tail are offsets, so they need no fixing). A frame left empty is released unless it is the last.
//
// Evacuation. At the start of a cycle that may renumber nodes (see gc.h), a node frame whose used
// count has not changed over six compaction passes, with fewer than 5000 used nodes, is emptied
// into other frames when more than 10000 nodes are free in all. Each old node is mapped to its new
// one in the redirection table; every reference the marking meets is rewritten through it, and the
// emptied frame is released by the node-frame compaction at the end of the cycle.
#include "core/gc.h"

#include "core/array.h"
#include "core/context.h"
#include "core/cycles.h"
#include "core/extres.h"
#include "services/image.h"
#include "core/hash.h"
#include "core/ownership.h"
#include "core/roots.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace kel {

bool g_collector_enabled = false;
bool g_collector_stress = false;
bool g_node_evacuation_enabled = true;
uint32_t g_collector_cycles = 0;
uint32_t g_node_compactions = 0;
CollectorStats g_collector_stats{};
Rooted* g_rooted_top = nullptr;

namespace {

bool g_active = false;

MarkCallback g_callbacks[COLLECTOR_MAX_CALLBACKS];
uint32_t g_callback_fill = 0;

// Node renumbering of the current cycle: old node -> new node, and the frames emptied.
IntMap* g_redirect = nullptr;
std::vector<NodeFrame*> g_evacuated;
std::vector<Node> g_moved;  // old nodes whose slots still lead to their buffers

Node g_free_queue[NODE_FREE_QUEUE_SIZE];
uint32_t g_free_fill = 0;

struct Range {
    Cell* first;
    Cell* last;
};
std::vector<Range> g_work;
bool g_draining = false;
std::vector<Series*> g_fixed_marked;

// ---- Subsystem roots ------------------------------------------------------------------------------

// The platform image behind an image! value: its resource slot, and the render cache rule.
void image_mark(Cell* c) { platform_image_mark(c->data2); }

// ---- Node references ---------------------------------------------------------------------------

bool evacuated_frame(const NodeFrame* f) {
    for (const NodeFrame* e : g_evacuated)
        if (e == f) return true;
    return false;
}

Node redirect(Node n) {
    if (!g_redirect || !n) return n;
    NodeFrame* f = node_frame_of(n);
    if (!f || !evacuated_frame(f)) return n;
    const uint32_t* to = intmap_get(g_redirect, n);
    return to ? *to : n;
}

// A node that leads to a buffer: a used slot of a live frame.
inline bool live_node(Node n) { return node_frame_of(n) != nullptr && node_slot_used(n); }

inline void push_cells(Cell* first, Cell* last) {
    if (first < last) g_work.push_back({first, last});
}

void push_series_cells(Series* s) {
    if (s->unit() != 16 || s->tail <= s->head || s->tail > s->size) return;
    push_cells(s->cells(), s->cell_tail());
}

void mark_series_ref(uint32_t* ref) { collector_mark_series(ref); }

void mark_block_ref(uint32_t* ref) {
    if (*ref && collector_mark_series(ref)) push_series_cells(node_series(*ref));
}

void mark_hashtable_ref(uint32_t* ref) {
    if (*ref) hashtable_mark_ref(ref);
}

// A context node: the context cell's word table and values, and the owner cell after it. A node
// whose first cell is no context cell is marked as a plain block, so nothing in it is taken for
// a reference that is not one.
void mark_context_ref(uint32_t* ref) {
    if (!*ref || !collector_mark_series(ref)) return;
    Series* s = node_series(*ref);
    if (s->unit() != 16) return;
    Cell* ctx = reinterpret_cast<Cell*>(s->data());
    if (s->size < 2 * sizeof(Cell) || !ctx->is(T_CONTEXT)) {
        push_series_cells(s);
        return;
    }
    mark_hashtable_ref(&ctx->data1);
    if (!(ctx->header & CELL_CTX_ON_STACK)) mark_block_ref(&ctx->data2);
    push_cells(ctx + 1, ctx + 2);
}

void mark_cell(Cell* c) {
    switch (c->type()) {
    case T_BLOCK: case T_PAREN:
    case T_PATH: case T_LIT_PATH: case T_SET_PATH: case T_GET_PATH:
        mark_block_ref(&c->data2);
        break;
    case T_STRING: case T_FILE: case T_URL: case T_TAG: case T_EMAIL: case T_REF:
        mark_series_ref(&c->data2);
        if (c->data3) mark_series_ref(&c->data3);
        break;
    case T_SYMBOL:
        mark_series_ref(&c->data3);
        if (c->data2) mark_series_ref(&c->data2);
        break;
    case T_CONTEXT:
        mark_hashtable_ref(&c->data1);
        if (!(c->header & CELL_CTX_ON_STACK)) mark_block_ref(&c->data2);
        break;
    case T_WORD: case T_SET_WORD: case T_LIT_WORD: case T_GET_WORD: case T_REFINEMENT:
        // a word bound with `self` leads to the object's context too: marked the same way
        if (c->data1) mark_context_ref(&c->data1);
        break;
    case T_NATIVE: case T_ACTION: case T_OP: {
        mark_block_ref(&c->data2);
        mark_block_ref(&c->data3);
        uint32_t source = (c->header & CELL_OP_TYPE_MASK) >> CELL_OP_TYPE_SHIFT;
        if (c->is(T_OP) && (source == T_FUNCTION || source == T_ROUTINE)) mark_context_ref(&c->data1);
        break;
    }
    case T_FUNCTION: case T_ROUTINE:
        mark_context_ref(&c->data1);
        mark_block_ref(&c->data2);
        mark_block_ref(&c->data3);
        break;
    case T_BITSET: case T_VECTOR: case T_BINARY:
        mark_series_ref(&c->data2);
        break;
    case T_OBJECT: case T_ERROR: case T_PORT:
        mark_context_ref(&c->data1);
        if (c->data3) mark_series_ref(&c->data3);
        break;
    case T_HASH: case T_MAP:
        mark_block_ref(&c->data2);
        mark_hashtable_ref(&c->data3);
        break;
    case T_HANDLE:
        if (int32_t(c->data3) >= 0) extres_mark(int32_t(c->data3));
        break;
    case T_IMAGE:
        if (c->data2) {
            mark_series_ref(&c->data2);
            image_mark(c);
        }
        break;
    case T_EVENT:
        if ((c->header & CELL_EVENT_FACE) && c->data2) mark_block_ref(&c->data2);
        break;
    default:
        break;
    }
}

void drain() {
    if (g_draining) return;
    g_draining = true;
    while (!g_work.empty()) {
        Range r = g_work.back();
        g_work.pop_back();
        for (Cell* c = r.first; c < r.last; ++c) mark_cell(c);
    }
    g_draining = false;
}

// ---- Roots ---------------------------------------------------------------------------------------

void mark_call_stack() {
    if (!g_calls.bottom) return;
    for (CallFrame* f = g_calls.bottom; f < g_calls.top; ++f) {
        if (f->word_ctx) mark_context_ref(&f->word_ctx);
        if (f->func_ctx) {
            mark_context_ref(&f->func_ctx);
            // the saved frame word is a values node only for a context that keeps its values
            if (f->saved_fp && live_node(f->func_ctx)) {
                Series* s = node_series(f->func_ctx);
                if (s->unit() == 16 && !(context_cell(f->func_ctx)->header & CELL_CTX_ON_STACK))
                    mark_block_ref(&f->saved_fp);
            }
        }
        drain();
    }
}

void mark_roots() {
    mark_block_ref(&g_root_block);
    drain();
    mark_block_ref(&g_symbol_block);
    mark_hashtable_ref(&g_symbol_table);
    mark_hashtable_ref(&g_ownership_table);
    mark_series_ref(&g_data_stack_node);
    mark_series_ref(&g_call_stack_node);
    if (g_stack.bottom) push_cells(g_stack.bottom, g_stack.top);
    drain();
    mark_call_stack();
    mark_context_ref(&g_global_context);
    mark_block_ref(&g_slot_list);
    drain();
    for (Rooted* r = g_rooted_top; r; r = r->below) push_cells(&r->value, &r->value + 1);
    drain();
    for (uint32_t i = 0; i < g_callback_fill; ++i) {
        if (g_callbacks[i]) {
            g_callbacks[i]();
            drain();
        }
    }
}

// ---- Series-frame compaction ---------------------------------------------------------------------

inline Series* at(uint8_t* p) { return reinterpret_cast<Series*>(p); }
inline uint64_t footprint(const Series* s) { return uint64_t(s->size) + SERIES_OVERHEAD; }

void queue_dead(Series* s) {
    Node n = s->node;
    if (n && live_node(n) && node_series(n) == s) node_free_queue_add(n);
}

// Clears the marks of the run [src, src + len), moves it to dst and points each buffer's node at
// its new address.
void move_run(uint8_t* src, uint64_t len, uint8_t* dst) {
    for (uint8_t* p = src; p < src + len; p += footprint(at(p))) at(p)->flags &= ~SER_MARK;
    if (dst == src) return;
    std::memmove(dst, src, len);
    for (uint64_t off = 0; off < len;) {
        Series* s = at(dst + off);
        uintptr_t old = reinterpret_cast<uintptr_t>(src + off);
        if (s->node && node_frame_of(s->node) && g_node_table[s->node] == old) node_set_series(s->node, s);
        off += footprint(s);
    }
    g_collector_stats.bytes_moved += len;
}

void compact_series_frame(SeriesFrame* f) {
    SeriesFrame* below = f->prev;
    uint64_t room = below ? uint64_t(below->end - below->alloc) : 0;
    bool into_below = below && room >= SERIES_FRAME_MOVE_ROOM;
    uint8_t* p = f->data_start();
    uint8_t* end = f->alloc;
    uint8_t* dest = p;  // everything in [dest, p) is free
    while (p < end) {
        Series* s = at(p);
        if (!(s->flags & SER_MARK)) {
            queue_dead(s);
            p += footprint(s);
            continue;
        }
        uint8_t* run = p;
        uint64_t run_len = 0;
        if (into_below) {
            while (p < end && (at(p)->flags & SER_MARK) && run_len + footprint(at(p)) <= room) {
                run_len += footprint(at(p));
                p += footprint(at(p));
            }
            if (run_len) {
                move_run(run, run_len, below->alloc);
                below->alloc += run_len;
                room -= run_len;
                if (room < SERIES_FRAME_MOVE_ROOM) into_below = false;
                continue;
            }
            // this buffer does not fit below: it stays in this frame
            if (dest == run) into_below = false;
            run_len = footprint(s);
            p += run_len;
        } else {
            while (p < end && (at(p)->flags & SER_MARK)) {
                run_len += footprint(at(p));
                p += footprint(at(p));
            }
        }
        move_run(run, run_len, dest);
        dest += run_len;
    }
    f->alloc = dest;
    if (dest == f->data_start() && f != g_memory.series_last) {
        series_frame_free(f);
        g_collector_stats.frames_released++;
    }
}

void compact_series_frames() {
    for (SeriesFrame* f = g_memory.series_first; f;) {
        SeriesFrame* next = f->next;
        compact_series_frame(f);
        f = next;
    }
}

// ---- Node-frame evacuation -----------------------------------------------------------------------

// A frame with free nodes to receive evacuated ones: the current frame, else the next usable one,
// which becomes current.
NodeFrame* evacuation_target(const NodeFrame* source) {
    auto usable = [&](const NodeFrame* f) {
        return f && f != source && f->free_head != 0 && !f->evacuated && !evacuated_frame(f);
    };
    if (usable(g_memory.node_current)) return g_memory.node_current;
    for (NodeFrame* f = g_memory.node_current ? g_memory.node_current->next : nullptr; f; f = f->next)
        if (usable(f)) return g_memory.node_current = f;
    for (NodeFrame* f = g_memory.node_first; f; f = f->next)
        if (usable(f)) return g_memory.node_current = f;
    return nullptr;
}

// Moves every used node of the frame elsewhere. False when it had to stop early (no target, or
// the redirection table could not grow); the nodes moved so far stay moved and redirected.
bool evacuate(NodeFrame* source, std::vector<NodeFrame*>& targets) {
    for (Node old = source->first; old < source->first + source->count; ++old) {
        if (!node_slot_used(old)) continue;
        NodeFrame* t = evacuation_target(source);
        if (!t) return false;
        Node fresh = t->free_head;
        if (!intmap_put(g_redirect, old, fresh)) return false;
        t->free_head = Node(g_node_table[fresh] >> 1);
        t->used++;
        if (std::find(targets.begin(), targets.end(), t) == targets.end()) targets.push_back(t);
        Series* s = node_series(old);
        g_node_table[fresh] = g_node_table[old];
        if (s->node == old) s->node = fresh;
        // the old slot keeps leading to the buffer until the cycle ends: the sweep of weak
        // tables still looks records up by their old keys
        source->used--;
        g_moved.push_back(old);
        g_collector_stats.nodes_evacuated++;
    }
    return true;
}

// The old slots of moved nodes become free; a frame that was emptied whole is released next anyway.
void release_moved_slots() {
    for (Node old : g_moved) {
        NodeFrame* f = node_frame_of(old);
        if (f->evacuated) continue;
        f->used++;
        free_node(f, old);
    }
    g_moved.clear();
}

void node_frames_compact() {
    NodeFrame* current = g_memory.node_first;
    while (current && (current->free_head == 0 || current->evacuated)) current = current->next;
    if (!current) return;
    g_memory.node_current = current;
    uint64_t free = 0;
    for (NodeFrame* f = g_memory.node_first; f; f = f->next) free += f->count - f->used;

    constexpr uint32_t stable = (1u << (NODE_HISTORY_DEPTH + 1)) - 1;
    std::vector<NodeFrame*> targets;
    bool any = false;
    for (NodeFrame* f = g_memory.node_last; f; f = f->prev) {
        if ((f->history & stable) != stable || f->used >= NODE_EVACUATE_BELOW || free <= NODE_EVACUATE_FREE ||
            f == g_memory.node_current || f->evacuated)
            continue;
        if (std::find(targets.begin(), targets.end(), f) != targets.end()) continue;  // took nodes this cycle
        if (!g_redirect && !(g_redirect = intmap_make(20000))) break;
        g_evacuated.push_back(f);
        if (!evacuate(f, targets)) break;
        f->evacuated = 1;
        any = true;
        free -= NODES_PER_FRAME;
    }
    if (any) g_node_compactions++;
}

// ---- The cycle -------------------------------------------------------------------------------------

void run_cycle(bool may_renumber) {
    auto started = std::chrono::steady_clock::now();
    g_active = true;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    g_collector_stats.nodes_freed = 0;
    g_collector_stats.nodes_evacuated = 0;
    g_collector_stats.frames_released = 0;
    g_collector_stats.bytes_moved = 0;
    g_evacuated.clear();
    g_moved.clear();

    if (may_renumber && g_node_evacuation_enabled) node_frames_compact();
    mark_roots();
    if (g_redirect) cycles_mark(redirect);
    // the ownership sweep keeps what surviving records hold, so resources are swept after it
    if (g_ownership_table) hashtable_sweep_int(g_ownership_table);
    extres_sweep();
    compact_series_frames();
    sweep_big_frames();
    node_free_queue_flush();
    release_moved_slots();
    compact_node_frames();
    if (g_redirect) {
        intmap_free(g_redirect);
        g_redirect = nullptr;
    }
    g_evacuated.clear();
    for (Series* s : g_fixed_marked) s->flags &= ~SER_MARK;
    g_fixed_marked.clear();

    g_collector_cycles++;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    g_active = false;
    uint64_t ns = uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                               std::chrono::steady_clock::now() - started).count());
    g_collector_stats.nanoseconds = ns;
    g_collector_stats.total_nanoseconds += ns;
}

} // namespace

// ---- Interface -------------------------------------------------------------------------------------

void collector_init() {
    const char* stress = std::getenv("KEL_GC_STRESS");
    g_collector_stress = stress && std::strcmp(stress, "1") == 0;
    g_collector_cycles = 0;
    g_node_compactions = 0;
    g_node_evacuation_enabled = true;
    g_collector_stats = CollectorStats{};
    g_collector_enabled = true;
}

void collector_run() {
    if (g_collector_enabled && !g_active) run_cycle(false);
}

void collector_cycle() {
    if (!g_active) run_cycle(true);
}

bool collector_active() { return g_active; }

// A cleared entry is taken again, so that registering and unregistering over a long run never
// uses the list up.
bool collector_register(MarkCallback cb) {
    for (uint32_t i = 0; i < g_callback_fill; ++i) {
        if (!g_callbacks[i]) {
            g_callbacks[i] = cb;
            return true;
        }
    }
    if (g_callback_fill >= COLLECTOR_MAX_CALLBACKS) return false;
    g_callbacks[g_callback_fill++] = cb;
    return true;
}

void collector_unregister(MarkCallback cb) {
    for (uint32_t i = 0; i < g_callback_fill; ++i)
        if (g_callbacks[i] == cb) g_callbacks[i] = nullptr;
}

Cell collector_recycle() {
    collector_cycle();
    double used = memory_stats(nullptr, 1);
    return used > 2147483647.0 ? make_float(used) : make_integer(int32_t(used));
}

bool collector_mark_series(Node* ref) {
    Node n = *ref;
    if (!n) return false;
    if (g_redirect) {
        Node to = redirect(n);
        if (to != n) *ref = n = to;
    }
    if (!live_node(n)) return false;
    Series* s = node_series(n);
    if (s->flags & SER_MARK) return false;
    s->flags |= SER_MARK;
    if (s->flags & SER_FIXED) g_fixed_marked.push_back(s);
    return true;
}

void collector_mark_block_node(Node* ref) {
    mark_block_ref(ref);
    drain();
}

void collector_mark_block(Cell* block) { collector_mark_block_node(&block->data2); }

void collector_mark_context(Node* ref) {
    mark_context_ref(ref);
    drain();
}

void collector_mark_cells(Cell* first, Cell* last) {
    push_cells(first, last);
    drain();
}

void collector_unmark_node(Node n) {
    if (live_node(n)) node_series(n)->flags &= ~SER_MARK;
}

Node collector_redirected(Node n) { return redirect(n); }

void node_free_queue_add(Node n) {
    if (!n) return;
    if (g_free_fill == NODE_FREE_QUEUE_SIZE) node_free_queue_flush();
    g_free_queue[g_free_fill++] = n;
}

void node_free_queue_flush() {
    std::sort(g_free_queue, g_free_queue + g_free_fill);
    Node* last = std::unique(g_free_queue, g_free_queue + g_free_fill);
    for (Node* p = g_free_queue; p < last; ++p) {
        NodeFrame* f = node_frame_of(*p);
        if (f && node_slot_used(*p)) {
            free_node(f, *p);
            g_collector_stats.nodes_freed++;
        }
    }
    g_free_fill = 0;
}

} // namespace kel
