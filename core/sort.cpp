// Sorting: a stable merge sort of natural runs and an adaptive in-place quicksort over fixed-size
// records.
//
// Both sorts are written once, in Sorter<Records>, over record indexes. A Records type says where
// the records are right now: FixedRecords holds a plain address, SeriesRef re-fetches the
// series buffer through its (rooted) node each time and checks that the records still fit in it.
// No address of a record is kept across a call of the compare callback; for records that may move
// the callback is handed copies made in the sort's own storage.
//
// Records also live outside the array for a while: the run the merge parks, and the quicksort's
// pivot. Records in a series are values the collector must see while the callback runs (a parked
// cell may be the only reference to its series, and an explicit collection renumbers nodes), so
// for them this held storage is a buffer of the memory manager kept in a Rooted slot: a block of
// cells, which the collector marks and rewrites, when the series holds cells. It moves like any
// buffer and is fetched again after every callback. Fixed records keep it in malloc'd memory.
//
// Exception safety rests on one rule: at every callback the array holds each record exactly once.
// Insertion sort, run reversal, partitioning, heapsort and rotations only swap or move records
// between callbacks. The one place that takes records out of the array is the merge of
// sort_merge, which parks one run in the malloc'd buffer; if a callback raises during a merge,
// the parked records still pending go back into the gap that is left for them before the
// exception goes on.
//
// Robustness against a callback that answers at random: every loop is bounded by indexes (no
// sentinel scans), partitions that come out empty are split in the middle, and the quicksort's
// depth budget ends in heapsort, so the sorts stay inside the array and end.
#include "core/sort.h"

#include "core/errors.h"
#include "core/memory.h"
#include "core/roots.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace kel {

namespace {

// Copies one record. The common sizes (32-bit integers, 64-bit pairs, value cells) get fixed-size
// copies the compiler turns into plain moves.
inline void copy_record(uint8_t* dst, const uint8_t* src, uint32_t size) {
    switch (size) {
    case 4: std::memcpy(dst, src, 4); break;
    case 8: std::memcpy(dst, src, 8); break;
    case 16: std::memcpy(dst, src, 16); break;
    default: std::memcpy(dst, src, size); break;
    }
}

inline void swap_bytes(uint8_t* p, uint8_t* q, uint32_t size) {
    if (size == 16) {
        uint8_t t[16];
        std::memcpy(t, p, 16);
        std::memcpy(p, q, 16);
        std::memcpy(q, t, 16);
    } else if ((size & 3) == 0) {
        for (uint32_t i = 0; i < size; i += 4) {
            uint32_t a, b;
            std::memcpy(&a, p + i, 4);
            std::memcpy(&b, q + i, 4);
            std::memcpy(p + i, &b, 4);
            std::memcpy(q + i, &a, 4);
        }
    } else {
        for (uint32_t i = 0; i < size; ++i) {
            uint8_t t = p[i];
            p[i] = q[i];
            q[i] = t;
        }
    }
}

struct FreeDeleter {
    void operator()(uint8_t* p) const { std::free(p); }
};
using HeapBlock = std::unique_ptr<uint8_t, FreeDeleter>;

// malloc that raises no-memory instead of returning null; owner frees the block.
uint8_t* heap_alloc(uint64_t bytes, HeapBlock& owner) {
    void* p = std::malloc(bytes ? size_t(bytes) : 1);
    if (!p) fire_error(Err::NoMemory);
    owner.reset(static_cast<uint8_t*>(p));
    return static_cast<uint8_t*>(p);
}

// Room for three records: the two copies handed to the callback and the pivot (also used as the
// spare record of rotations, which make no callback).
class RecordSlots {
public:
    explicit RecordSlots(uint32_t size) {
        uint64_t bytes = uint64_t(size) * 3;
        uint8_t* p = bytes <= sizeof inline_ ? inline_ : heap_alloc(bytes, heap_);
        x = p;
        y = p + size;
        pivot = p + 2 * uint64_t(size);
    }
    RecordSlots(const RecordSlots&) = delete;
    RecordSlots& operator=(const RecordSlots&) = delete;

    uint8_t* x;
    uint8_t* y;
    uint8_t* pivot;

private:
    alignas(16) uint8_t inline_[192];
    HeapBlock heap_;
};

// Records at a fixed address; the held storage is malloc'd (owned by the caller's HeapBlock).
struct FixedRecords {
    static constexpr bool kMoves = false;
    uint8_t* first;
    uint8_t* held_ = nullptr;
    uint8_t* base() const { return first; }
    uint8_t* base_if_valid() const { return first; }
    uint8_t* held() const { return held_; }
    void hold(uint64_t bytes, HeapBlock& owner) { held_ = heap_alloc(bytes, owner); }
};

// Records inside a series buffer, offset bytes after its head. The rooted copy of the series
// value keeps the node alive and current when the collector moves things; the held storage is
// rooted the same way.
struct SeriesRecords {
    Rooted keep;
    Rooted held_value;  // unset until hold()
    uint64_t offset;
    uint64_t span;  // bytes of all the records
    bool cells;     // the records are groups of whole value cells

    SeriesRecords(const Cell& series, uint64_t off, uint32_t size, uint64_t bytes)
        : keep(series), offset(off), span(bytes) {
        cells = node_series(series_node(&series))->unit() == sizeof(Cell) &&
                off % sizeof(Cell) == 0 && size % sizeof(Cell) == 0;
    }

    uint8_t* base_if_valid() {
        Series* s = node_series(series_node(keep.get()));
        if (uint64_t(s->head) + offset + span > s->size) return nullptr;
        return s->head_ptr() + offset;
    }
    uint8_t* base() {
        uint8_t* b = base_if_valid();
        if (!b) fire_error(Err::OutOfRange);
        return b;
    }

    // Makes the held storage (may collect: fetch every address afterwards). For cells it is a
    // block whose tail covers all of it, so every cell parked there is marked.
    void hold(uint64_t bytes) {
        if (cells) {
            Node n = alloc_cells_unset(bytes / sizeof(Cell));
            Series* s = node_series(n);
            s->tail = s->size;
            held_value.value = make_series(T_BLOCK, n);
        } else {
            held_value.value = make_series(T_BINARY, alloc_bytes(bytes));
        }
    }
    uint8_t* held() { return node_series(series_node(held_value.get()))->data(); }
};

// A SeriesRecords seen through a pointer, small enough to copy into the algorithms' locals.
struct SeriesRef {
    static constexpr bool kMoves = true;
    SeriesRecords* records;
    uint8_t* base() const { return records->base(); }
    uint8_t* base_if_valid() const { return records->base_if_valid(); }
    uint8_t* held() const { return records->held(); }
    void hold(uint64_t bytes, HeapBlock&) { records->hold(bytes); }
};

// Runs shorter than this are grown by insertion sort before merging.
constexpr size_t kMinRun = 24;
// Room of the run stack: powers on it rise strictly and never exceed log2(count) + 2.
constexpr size_t kRunStack = 66;
// Quicksort: partitions this small are finished by insertion sort.
constexpr size_t kInsertionMax = 7;
// Quicksort: partitions above kWideSample records take their pivot samples from the first
// kSampleSpan records.
constexpr size_t kWideSample = 511;
constexpr size_t kSampleSpan = 63;
// Direction pass: every kSampleStep-th pair after the initial run is sampled.
constexpr size_t kSampleStep = 97;
// Straightening: a record out of place is moved back when its place is among the last kWindow
// records of the monotone prefix.
constexpr size_t kWindow = 10;

// Orders of two records (<= 0: x may stay before y). The callback one is the general case; the
// integer one is the same order as a compare callback that answers the order of the integer cells
// at one offset of each record, inlined into the algorithms.
struct CallbackOrder {
    SortCompare fn;
    intptr_t ctx1, ctx2;
    int operator()(const void* x, const void* y) const { return fn(x, y, ctx1, ctx2); }
};

struct IntegerKeyOrder {
    uint32_t key;  // byte offset of the integer cell in each record
    bool reverse;
    int operator()(const void* x, const void* y) const {
        const uint8_t* p = static_cast<const uint8_t*>(reverse ? y : x) + key;
        const uint8_t* q = static_cast<const uint8_t*>(reverse ? x : y) + key;
        int32_t a = cell_integer(reinterpret_cast<const Cell*>(p));
        int32_t b = cell_integer(reinterpret_cast<const Cell*>(q));
        return (a > b) - (a < b);
    }
};

// What the algorithms need to reach and compare records. It is small and copied into a local at
// the top of the hot loops, so that its fields stay in registers across the callback instead of
// being reloaded through the sorter after every call.
template <class R, class C>
struct Access {
    R rec;
    uint32_t size;
    C order;
    uint8_t* x;      // copies handed to the callback when records may move
    uint8_t* y;
    uint8_t* pivot;  // the spare record of rotations, which make no callback; the pivot of fixed
                     // records (records that move keep theirs in the held storage)

    uint8_t* at(uint8_t* base, size_t i) const { return base + i * size; }
    // Where the quicksort's pivot is right now.
    uint8_t* pivot_now() const {
        if constexpr (R::kMoves) return rec.held();
        else return pivot;
    }

    // Record i against record j.
    int cmp(size_t i, size_t j) {
        uint8_t* b = rec.base();
        if constexpr (R::kMoves) {
            copy_record(x, at(b, i), size);
            copy_record(y, at(b, j), size);
            return order(x, y);
        } else {
            return order(at(b, i), at(b, j));
        }
    }
    // The record at p, inside the array, against a record kept outside it in the held storage
    // (the merge's parked run, the pivot); and the reverse. Both addresses are used before the
    // callback only: when records move, the held storage moves too and both are copied.
    int cmp_px(const uint8_t* p, const uint8_t* other) {
        if constexpr (R::kMoves) {
            copy_record(x, p, size);
            copy_record(y, other, size);
            return order(x, y);
        } else {
            return order(p, other);
        }
    }
    int cmp_xp(const uint8_t* other, const uint8_t* p) {
        if constexpr (R::kMoves) {
            copy_record(x, other, size);
            copy_record(y, p, size);
            return order(x, y);
        } else {
            return order(other, p);
        }
    }
    // Record i against the pivot, and the reverse.
    int cmp_r_pivot(size_t i) { return cmp_px(at(rec.base(), i), pivot_now()); }
    int cmp_pivot_r(size_t j) { return cmp_xp(pivot_now(), at(rec.base(), j)); }
    // In the direction dir (1 ascending, -1 descending): record i belongs after record j.
    bool after(size_t i, size_t j, int dir) {
        int c = cmp(i, j);
        return dir > 0 ? c > 0 : c < 0;
    }

    void swap(size_t i, size_t j) {
        uint8_t* b = rec.base();
        swap_bytes(at(b, i), at(b, j), size);
    }
    void reverse(size_t lo, size_t hi) {
        if (hi - lo < 2) return;
        uint8_t* b = rec.base();
        for (size_t i = lo, j = hi - 1; i < j; ++i, --j) swap_bytes(at(b, i), at(b, j), size);
    }
    // Exchanges the blocks [first, mid) and [mid, last). No callback runs meanwhile.
    void rotate(size_t first, size_t mid, size_t last) {
        if (first == mid || mid == last) return;
        uint8_t* b = rec.base();
        if (mid - first == 1) {
            copy_record(pivot, at(b, first), size);
            std::memmove(at(b, first), at(b, mid), (last - mid) * size);
            copy_record(at(b, last - 1), pivot, size);
        } else if (last - mid == 1) {
            copy_record(pivot, at(b, mid), size);
            std::memmove(at(b, first + 1), at(b, first), (mid - first) * size);
            copy_record(at(b, first), pivot, size);
        } else {
            reverse(first, mid);
            reverse(mid, last);
            reverse(first, last);
        }
    }
    // Sorts [lo, hi), of which [lo, from) is sorted, by swapping each further record backwards
    // while its left neighbour belongs after it.
    void insertion(size_t lo, size_t from, size_t hi) {
        for (size_t k = from; k < hi; ++k)
            for (size_t j = k; j > lo && cmp(j - 1, j) > 0; --j) swap(j - 1, j);
    }
};

template <class R, class C>
class Sorter {
public:
    Sorter(R records, size_t count, uint32_t size, C order)
        : n_(count), slots_(size), a_{records, size, order, slots_.x, slots_.y, slots_.pivot} {}

    size_t merge_sort();
    void unstable_sort() {
        // Records that move keep the pivot in the held storage, where the collector sees it.
        if constexpr (R::kMoves) a_.rec.hold(a_.size, held_);
        unstable(0, n_);
    }

private:
    size_t n_;
    RecordSlots slots_;
    HeapBlock held_;  // the held storage of fixed records
    Access<R, C> a_;

    // sort_merge
    size_t next_run(size_t start);
    void merge(size_t lo, size_t mid, size_t hi);

    // sort_unstable
    void unstable(size_t lo, size_t hi);
    size_t straighten(size_t lo, size_t e, size_t hi, int dir);
    void quick(size_t lo, size_t hi, size_t hint, unsigned depth, bool wide);
    size_t median_of_three(size_t a, size_t b, size_t c);
    void heap_sort(size_t lo, size_t hi);
    void sift_down(size_t lo, size_t root, size_t len);
    void merge_in_place(size_t lo, size_t mid, size_t hi);
};

// ---------------------------------------------------------------------------------------------
// Stable merge sort

// The power of the boundary between run A = [sa, sb) and run B = [sb, eb) of an array of n
// records: the first binary digit at which the midpoints of A and B, as fractions of n, differ.
inline uint32_t run_power(uint64_t sa, uint64_t sb, uint64_t eb, uint64_t n) {
    uint64_t a = sa + sb;  // twice the midpoints
    uint64_t b = sb + eb;
    uint32_t p = 0;
    for (;;) {
        bool ga = a >= n, gb = b >= n;
        if (ga != gb) break;
        ++p;
        if (ga) {
            a -= n;
            b -= n;
        }
        a <<= 1;
        b <<= 1;
    }
    return p + 1;
}

// Finds the run that starts at start, reverses it when strictly descending, grows it to kMinRun
// records by insertion when shorter; returns its end.
template <class R, class C>
size_t Sorter<R, C>::next_run(size_t start) {
    Access<R, C> acc = a_;
    size_t e = start + 1;
    if (e < n_) {
        if (acc.cmp(start, e) > 0) {
            for (++e; e < n_ && acc.cmp(e - 1, e) > 0; ++e) {}
            acc.reverse(start, e);
        } else {
            for (++e; e < n_ && acc.cmp(e - 1, e) <= 0; ++e) {}
        }
    }
    if (e - start < kMinRun && e < n_) {
        size_t end = std::min(start + kMinRun, n_);
        acc.insertion(start, e, end);
        e = end;
    }
    return e;
}

// Merges the sorted runs [lo, mid) and [mid, hi). The shorter run goes to the held storage buf
// (fetched again after every callback); the gap it leaves travels through the array as the merge
// proceeds, and always has room for the records still in buf, which is where they go on an
// exception. kSize is the record size when fixed at compile time (the common sizes), 0 for any
// other.
template <uint32_t kSize, class R, class C>
void merge_runs(Access<R, C> acc, size_t lo, size_t mid, size_t hi) {
    const size_t sz = kSize ? kSize : acc.size;
    if (hi - mid < mid - lo) {
        // Right run parked; merge from the back. Output fills [o, hi); the gap is [l, o).
        const size_t nb = hi - mid;
        std::memcpy(acc.rec.held(), acc.rec.base() + mid * sz, nb * sz);
        size_t l = mid, o = hi, k = nb;  // buf[0, k) still pending
        try {
            while (k > 0 && l > lo) {
                const bool left =
                    acc.cmp_px(acc.rec.base() + (l - 1) * sz, acc.rec.held() + (k - 1) * sz) > 0;
                uint8_t* b = acc.rec.base();
                uint8_t* buf = acc.rec.held();
                --o;
                if (left) {
                    --l;
                    std::memcpy(b + o * sz, b + l * sz, sz);
                } else {
                    --k;
                    std::memcpy(b + o * sz, buf + k * sz, sz);
                }
            }
        } catch (...) {
            if (uint8_t* b = acc.rec.base_if_valid()) std::memcpy(b + l * sz, acc.rec.held(), k * sz);
            throw;
        }
        std::memcpy(acc.rec.base() + l * sz, acc.rec.held(), k * sz);
    } else {
        // Left run parked; merge from the front. Output fills [lo, o); the gap is [o, r).
        const size_t nb = mid - lo;
        std::memcpy(acc.rec.held(), acc.rec.base() + lo * sz, nb * sz);
        size_t r = mid, o = lo, k = 0;  // buf[k, nb) still pending
        try {
            while (k < nb && r < hi) {
                const bool parked =
                    acc.cmp_xp(acc.rec.held() + k * sz, acc.rec.base() + r * sz) <= 0;
                uint8_t* b = acc.rec.base();
                uint8_t* buf = acc.rec.held();
                if (parked) {
                    std::memcpy(b + o * sz, buf + k * sz, sz);
                    ++k;
                } else {
                    std::memcpy(b + o * sz, b + r * sz, sz);
                    ++r;
                }
                ++o;
            }
        } catch (...) {
            if (uint8_t* b = acc.rec.base_if_valid())
                std::memcpy(b + o * sz, acc.rec.held() + k * sz, (nb - k) * sz);
            throw;
        }
        std::memcpy(acc.rec.base() + o * sz, acc.rec.held() + k * sz, (nb - k) * sz);
    }
}

template <class R, class C>
void Sorter<R, C>::merge(size_t lo, size_t mid, size_t hi) {
    switch (a_.size) {
    case 4: merge_runs<4>(a_, lo, mid, hi); break;
    case 8: merge_runs<8>(a_, lo, mid, hi); break;
    case 16: merge_runs<16>(a_, lo, mid, hi); break;
    default: merge_runs<0>(a_, lo, mid, hi); break;
    }
}

template <class R, class C>
size_t Sorter<R, C>::merge_sort() {
    const size_t n = n_;
    if (n < 2) return n;
    const uint64_t buf_bytes = uint64_t(n / 2) * a_.size;
    if (buf_bytes > 0xFFFFFFFFull) fire_error(Err::TooLong);
    a_.rec.hold(buf_bytes, held_);

    struct Run {
        size_t start;
        uint32_t power;
    };
    Run stack[kRunStack];
    size_t top = 0;

    size_t a_start = 0, a_end = next_run(0);
    while (a_end < n) {
        size_t b_start = a_end, b_end = next_run(b_start);
        uint32_t p = run_power(a_start, b_start, b_end, n);
        while (top > 0 && (stack[top - 1].power > p || top == kRunStack)) {
            merge(stack[top - 1].start, a_start, a_end);
            a_start = stack[--top].start;
        }
        stack[top++] = {a_start, p};
        a_start = b_start;
        a_end = b_end;
    }
    while (top > 0) {
        merge(stack[top - 1].start, a_start, n);
        a_start = stack[--top].start;
    }
    return n;
}

// ---------------------------------------------------------------------------------------------
// Unstable sort

template <class R, class C>
void Sorter<R, C>::unstable(size_t lo, size_t hi) {
    Access<R, C> acc = a_;
    const size_t n = hi - lo;
    if (n <= kInsertionMax) {
        acc.insertion(lo, lo + 1, hi);
        return;
    }

    // The first pair that is not equal sets the direction; the run goes on while no pair goes
    // against it.
    int dir = 0;
    size_t e = lo + 1;
    for (; e < hi; ++e) {
        int c = acc.cmp(e - 1, e);
        if (c == 0) continue;
        int d = c < 0 ? 1 : -1;
        if (dir == 0) dir = d;
        else if (d != dir) break;
    }
    if (e == hi) {
        if (dir < 0) acc.reverse(lo, hi);
        return;
    }

    // Sample the rest: does it keep going the way the run went?
    int64_t score = dir > 0 ? int64_t(e - lo) : -int64_t(e - lo);
    for (size_t k = e; k + 1 < hi; k += kSampleStep) {
        int c = acc.cmp(k, k + 1);
        score += (c < 0) - (c > 0);
    }
    if (uint64_t(score < 0 ? -score : score) > n / 512) {
        if ((score > 0) != (dir > 0)) {
            dir = -dir;
            e = lo + 1;
        }
        e = straighten(lo, e, hi, dir);
    }
    if (dir < 0) acc.reverse(lo, e);
    if (e == hi) return;

    // [lo, e) is now ascending. A prefix of a quarter or more is kept whole: the rest is sorted
    // on its own (at most three quarters, so this recursion is shallow) and the two are merged
    // in place.
    const size_t prefix = e - lo;
    if (prefix >= n / 4) {
        unstable(e, hi);
        merge_in_place(lo, e, hi);
        return;
    }
    quick(lo, hi, prefix, 2 * unsigned(std::bit_width(n)), false);
}

// Grows the monotone prefix [lo, p) across the array; returns its end. Records that do not fit
// are handled by where they belong:
// - a few places back (within the last kWindow records of the prefix): moved there;
// - further back: put aside in a block of ejected records that travels with the scan, right
//   after the prefix (each record taken into the prefix swaps with the block's first record);
// - when the records it would go before belong after the next record too, it is those records
//   that are out of place: they are put aside instead (so too-big records cannot pile up at the
//   end of the prefix).
// The block takes at most n/32 + 8 records; past that the input is not mostly monotone after
// all and the prefix as it stands is returned. The block then lies after the prefix.
template <class R, class C>
size_t Sorter<R, C>::straighten(size_t lo, size_t p, size_t hi, int dir) {
    Access<R, C> acc = a_;
    const size_t limit = (hi - lo) / 32 + 8;
    size_t e = p;  // [p, e) is the block, e the next record
    while (e < hi) {
        if (p == lo || !acc.after(p - 1, e, dir)) {
            if (p != e) acc.swap(p, e);
            ++p;
            ++e;
            continue;
        }
        const size_t floor = p - lo > kWindow ? p - kWindow : lo;
        size_t q = p - 1;
        while (q > floor && acc.after(q - 1, e, dir)) --q;
        if (q == floor && floor > lo) {
            if (e - p >= limit) break;
            ++e;  // record e belongs far back: it joins the block
            continue;
        }
        if (e + 1 < hi && acc.after(q, e + 1, dir)) {
            if (e - q > limit) break;
            p = q;  // [q, p) is too big for the next two records: it joins the block
            continue;
        }
        if (p != e) acc.swap(p, e);
        acc.rotate(q, p, p + 1);
        ++p;
        ++e;
    }
    return p;
}

// Index of the median of three records (no record moves).
template <class R, class C>
size_t Sorter<R, C>::median_of_three(size_t a, size_t b, size_t c) {
    Access<R, C> acc = a_;
    if (acc.cmp(a, b) > 0) std::swap(a, b);
    if (acc.cmp(b, c) > 0) {
        b = c;
        if (acc.cmp(a, b) > 0) b = a;
    }
    return b;
}

// Quicksort of [lo, hi). hint: [lo, lo + hint) is known ascending. wide: take pivot samples
// from the whole span. The smaller side recurses, the larger loops; depth counts the partitions
// allowed before heapsort takes over.
template <class R, class C>
void Sorter<R, C>::quick(size_t lo, size_t hi, size_t hint, unsigned depth, bool wide) {
    Access<R, C> acc = a_;
    for (;;) {
        const size_t len = hi - lo;
        if (hint >= len) return;
        if (len <= kInsertionMax) {
            acc.insertion(lo, lo + std::max<size_t>(hint, 1), hi);
            return;
        }
        if (depth == 0) {
            heap_sort(lo, hi);
            return;
        }
        --depth;

        // Pivot: the median of the first, middle and last of the first m records. When those
        // are known to be in order they tell nothing, and after a lopsided split they have
        // shown to be unrepresentative (input with local order): then the whole span is sampled.
        const size_t m = len > kWideSample ? kSampleSpan : len;
        const size_t pv = wide || hint >= m ? median_of_three(lo, lo + len / 2, hi - 1)
                                            : median_of_three(lo, lo + m / 2, lo + m - 1);
        copy_record(acc.pivot_now(), acc.at(acc.rec.base(), pv), acc.size);

        // [lo, i) <= pivot, [j, hi) >= pivot; records equal to the pivot stop both scans, so
        // runs of equal records split evenly.
        size_t i = lo, j = hi, untouched = lo;
        bool first = true;
        for (;;) {
            while (i < j && acc.cmp_r_pivot(i) < 0) ++i;
            if (first) {
                untouched = i;  // [lo, untouched) keeps its place and order
                first = false;
            }
            while (i < j && acc.cmp_pivot_r(j - 1) < 0) --j;
            if (j - i < 2) break;
            acc.swap(i, j - 1);
            ++i;
            --j;
        }
        size_t split = i;
        if (j - i == 1 && i - lo < hi - j) split = i + 1;  // record i equals the pivot
        if (split == lo || split == hi) split = lo + len / 2;  // inconsistent answers only
        const size_t left_hint = std::min({hint, untouched - lo, split - lo});
        if (std::min(split - lo, hi - split) < len / 8) wide = true;

        if (split - lo < hi - split) {
            quick(lo, split, left_hint, depth, wide);
            lo = split;
            hint = 0;
        } else {
            quick(split, hi, 0, depth, wide);
            hi = split;
            hint = left_hint;
        }
    }
}

template <class R, class C>
void Sorter<R, C>::sift_down(size_t lo, size_t root, size_t len) {
    Access<R, C> acc = a_;
    for (;;) {
        size_t child = 2 * root + 1;
        if (child >= len) return;
        if (child + 1 < len && acc.cmp(lo + child, lo + child + 1) < 0) ++child;
        if (acc.cmp(lo + root, lo + child) >= 0) return;
        acc.swap(lo + root, lo + child);
        root = child;
    }
}

template <class R, class C>
void Sorter<R, C>::heap_sort(size_t lo, size_t hi) {
    Access<R, C> acc = a_;
    const size_t len = hi - lo;
    for (size_t i = len / 2; i-- > 0;) sift_down(lo, i, len);
    for (size_t end = len; end > 1;) {
        --end;
        acc.swap(lo, lo + end);
        sift_down(lo, 0, end);
    }
}

// Merges the ascending runs [lo, mid) and [mid, hi) without extra memory: the symmetric split
// of both runs around the middle of [lo, hi), a rotation, and the two halves in turn.
template <class R, class C>
void Sorter<R, C>::merge_in_place(size_t lo, size_t mid, size_t hi) {
    Access<R, C> acc = a_;
    if (lo >= mid || mid >= hi) return;
    if (mid - lo == 1) {
        // One record on the left: it goes before the first right record it may stay before.
        size_t l = mid, r = hi;
        while (l < r) {
            size_t m = l + (r - l) / 2;
            if (acc.cmp(lo, m) <= 0) r = m;
            else l = m + 1;
        }
        acc.rotate(lo, mid, l);
        return;
    }
    if (hi - mid == 1) {
        // One record on the right: it goes before the first left record that belongs after it.
        size_t l = lo, r = mid;
        while (l < r) {
            size_t m = l + (r - l) / 2;
            if (acc.cmp(m, mid) > 0) r = m;
            else l = m + 1;
        }
        acc.rotate(l, mid, hi);
        return;
    }
    const size_t half = lo + (hi - lo) / 2;
    const size_t sum = half + mid;
    size_t start, r;
    if (mid > half) {
        start = sum - hi;
        r = half;
    } else {
        start = lo;
        r = mid;
    }
    const size_t p = sum - 1;
    while (start < r) {
        size_t c = start + (r - start) / 2;
        if (acc.cmp(c, p - c) <= 0) start = c + 1;
        else r = c;
    }
    const size_t end = sum - start;
    if (start < mid && mid < end) acc.rotate(start, mid, end);
    if (lo < start && start < half) merge_in_place(lo, start, half);
    if (half < end && end < hi) merge_in_place(half, end, hi);
}

} // namespace

void swap_records(void* a, void* b, uint32_t size) {
    swap_bytes(static_cast<uint8_t*>(a), static_cast<uint8_t*>(b), size);
}

size_t sort_merge(void* base, size_t count, uint32_t size, intptr_t ctx1, intptr_t ctx2,
                  SortCompare compare) {
    if (count < 2 || size == 0) return count;
    Sorter<FixedRecords, CallbackOrder> sorter(FixedRecords{static_cast<uint8_t*>(base)}, count,
                                               size, CallbackOrder{compare, ctx1, ctx2});
    return sorter.merge_sort();
}

void sort_unstable(void* base, size_t count, uint32_t size, intptr_t ctx1, intptr_t ctx2,
                   SortCompare compare) {
    if (count < 2 || size == 0) return;
    Sorter<FixedRecords, CallbackOrder> sorter(FixedRecords{static_cast<uint8_t*>(base)}, count,
                                               size, CallbackOrder{compare, ctx1, ctx2});
    sorter.unstable_sort();
}

void sort_integer_records(Cell* base, size_t count, uint32_t cells, uint32_t key, bool reverse,
                          bool stable) {
    if (count < 2 || cells == 0) return;
    const uint32_t size = cells * uint32_t(sizeof(Cell));
    Sorter<FixedRecords, IntegerKeyOrder> sorter(FixedRecords{reinterpret_cast<uint8_t*>(base)},
                                                 count, size,
                                                 IntegerKeyOrder{key * uint32_t(sizeof(Cell)), reverse});
    if (stable) sorter.merge_sort();
    else sorter.unstable_sort();
}

uint32_t sort_merge_series(const Cell* series, uint32_t offset, uint32_t count, uint32_t size,
                           intptr_t ctx1, intptr_t ctx2, SortCompare compare) {
    if (count < 2 || size == 0) return count;
    SeriesRecords records(*series, offset, size, uint64_t(count) * size);
    records.base();  // the records must lie inside the buffer
    Sorter<SeriesRef, CallbackOrder> sorter(SeriesRef{&records}, count, size,
                                            CallbackOrder{compare, ctx1, ctx2});
    return uint32_t(sorter.merge_sort());
}

void sort_unstable_series(const Cell* series, uint32_t offset, uint32_t count, uint32_t size,
                          intptr_t ctx1, intptr_t ctx2, SortCompare compare) {
    if (count < 2 || size == 0) return;
    SeriesRecords records(*series, offset, size, uint64_t(count) * size);
    records.base();
    Sorter<SeriesRef, CallbackOrder> sorter(SeriesRef{&records}, count, size,
                                            CallbackOrder{compare, ctx1, ctx2});
    sorter.unstable_sort();
}

} // namespace kel
