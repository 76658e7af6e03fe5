// The two record sorts: results against the standard library's sorts over many input shapes and
// sizes, stability, comparison counts on presorted input, byte-sized records, callbacks that raise
// or answer at random, series buffers that move while the callback runs, and values the sorts hold
// outside a block while the callback collects.
#include "core/errors.h"
#include "core/gc.h"
#include "core/hash.h"
#include "core/memory.h"
#include "core/roots.h"
#include "core/series.h"
#include "core/sort.h"
#include "core/stack.h"
#include "core/throw.h"

#include "tests/unit/runtime_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

using namespace kel;

namespace {

struct Rec {
    int32_t key;
    int32_t other;
    uint32_t index;  // input position
};
static_assert(sizeof(Rec) == 12);

// What the callbacks count and when they raise.
struct Probe {
    uint64_t calls = 0;
    uint64_t throw_at = UINT64_MAX;  // raise on this call
};

void count_call(intptr_t ctx) {
    auto* p = reinterpret_cast<Probe*>(ctx);
    if (p && ++p->calls == p->throw_at) throw KelThrow{THROW_ERROR, Cell{T_NONE, 0, 0, 0}};
}

int by_key(const void* x, const void* y, intptr_t ctx1, intptr_t) {
    count_call(ctx1);
    Rec a, b;
    std::memcpy(&a, x, sizeof a);
    std::memcpy(&b, y, sizeof b);
    return (a.key > b.key) - (a.key < b.key);
}

int int_cmp(const void* x, const void* y, intptr_t ctx1, intptr_t) {
    count_call(ctx1);
    int a, b;
    std::memcpy(&a, x, 4);
    std::memcpy(&b, y, 4);
    return (a > b) - (a < b);
}

enum class Algo { Merge, Unstable };
const Algo kAlgos[] = {Algo::Merge, Algo::Unstable};
const char* name(Algo a) { return a == Algo::Merge ? "sort_merge" : "sort_unstable"; }

void run(Algo a, void* base, size_t n, uint32_t size, Probe* probe, SortCompare cmp = by_key) {
    if (a == Algo::Merge)
        EXPECT_EQ(sort_merge(base, n, size, reinterpret_cast<intptr_t>(probe), 0, cmp), n);
    else
        sort_unstable(base, n, size, reinterpret_cast<intptr_t>(probe), 0, cmp);
}

// Input shapes, as keys for n records.
struct Shape {
    const char* name;
    std::function<int32_t(size_t i, size_t n, std::mt19937& rng)> key;
};
const Shape kShapes[] = {
    {"random", [](size_t, size_t, std::mt19937& r) { return int32_t(r() >> 1); }},
    {"few-distinct", [](size_t, size_t, std::mt19937& r) { return int32_t(r() % 5); }},
    {"ascending", [](size_t i, size_t, std::mt19937&) { return int32_t(i); }},
    {"descending", [](size_t i, size_t n, std::mt19937&) { return int32_t(n - i); }},
    {"all-equal", [](size_t, size_t, std::mt19937&) { return int32_t(7); }},
    {"descending-pairs", [](size_t i, size_t n, std::mt19937&) { return int32_t((n - i) / 2); }},
    {"ascending-noisy", [](size_t i, size_t, std::mt19937& r) {
         return r() % 100 == 0 ? int32_t(r() % 100000) : int32_t(i);
     }},
    {"descending-noisy", [](size_t i, size_t n, std::mt19937& r) {
         return r() % 100 == 0 ? int32_t(r() % 100000) : int32_t(n - i);
     }},
    {"ascending-random-tail", [](size_t i, size_t n, std::mt19937& r) {
         return i < n - n / 20 ? int32_t(i) : int32_t(r() % (n + 1));
     }},
    {"random-head-ascending", [](size_t i, size_t n, std::mt19937& r) {
         return i < n / 3 ? int32_t(r() % (n + 1)) : int32_t(i);
     }},
    {"organ-pipe", [](size_t i, size_t n, std::mt19937&) {
         return int32_t(i < n / 2 ? i : n - i);
     }},
    {"sawtooth", [](size_t i, size_t, std::mt19937&) { return int32_t(i % 97); }},
    {"big-first", [](size_t i, size_t n, std::mt19937&) { return i == 0 ? int32_t(n) : int32_t(i); }},
    {"shuffled-blocks", [](size_t i, size_t, std::mt19937& r) {
         return int32_t(i / 1000 * 1000 + r() % 1000);
     }},
    {"ascending-40%-then-random", [](size_t i, size_t n, std::mt19937& r) {
         return i < n * 2 / 5 ? int32_t(i) : int32_t(r() % (n + 1));
     }},
};

const Shape& shape_named(const std::string& name) {
    for (const Shape& s : kShapes)
        if (name == s.name) return s;
    throw std::invalid_argument("no shape " + name);
}

std::vector<Rec> make_records(const Shape& shape, size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<Rec> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = Rec{shape.key(i, n, rng), int32_t(n - i), uint32_t(i)};
    return v;
}

// Every input record is present exactly once and unchanged.
::testing::AssertionResult is_permutation_of(const std::vector<Rec>& out, const std::vector<Rec>& in) {
    if (out.size() != in.size()) return ::testing::AssertionFailure() << "size changed";
    std::vector<char> seen(in.size(), 0);
    for (const Rec& r : out) {
        if (r.index >= in.size() || seen[r.index])
            return ::testing::AssertionFailure() << "record " << r.index << " lost or doubled";
        seen[r.index] = 1;
        const Rec& o = in[r.index];
        if (r.key != o.key || r.other != o.other)
            return ::testing::AssertionFailure() << "record " << r.index << " corrupted";
    }
    return ::testing::AssertionSuccess();
}

std::vector<size_t> test_sizes() {
    std::vector<size_t> sizes;
    for (size_t n = 0; n <= 300; ++n) sizes.push_back(n);
    for (size_t n = 301; n <= 2100; n += 37) sizes.push_back(n);
    for (size_t n : {511u, 512u, 513u, 1024u, 4097u, 50000u}) sizes.push_back(n);
    return sizes;
}

// Checks one sort of one input against the standard library.
void check_against_std(Algo a, const std::vector<Rec>& in, const std::string& what) {
    std::vector<Rec> got = in;
    run(a, got.data(), got.size(), sizeof(Rec), nullptr);
    std::vector<Rec> want = in;
    std::stable_sort(want.begin(), want.end(), [](const Rec& x, const Rec& y) { return x.key < y.key; });
    if (a == Algo::Merge) {
        for (size_t i = 0; i < got.size(); ++i) {
            ASSERT_EQ(got[i].key, want[i].key) << what << " at " << i;
            ASSERT_EQ(got[i].index, want[i].index) << what << " at " << i << " (stability)";
        }
    } else {
        for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i].key, want[i].key) << what << " at " << i;
        ASSERT_TRUE(is_permutation_of(got, in)) << what;
    }
}

} // namespace

TEST(Sort, MatchesStandardSortsOverShapesAndSizes) {
    const std::vector<size_t> sizes = test_sizes();
    for (Algo a : kAlgos)
        for (const Shape& shape : kShapes)
            for (size_t n : sizes) {
                check_against_std(a, make_records(shape, n, uint32_t(n * 31 + 7)),
                                  std::string(name(a)) + " " + shape.name + " n=" + std::to_string(n));
                if (HasFatalFailure()) return;
            }
}

TEST(Sort, MatchesStandardSortsOnLargeInputs) {
    for (Algo a : kAlgos)
        for (const Shape& shape : kShapes)
            for (size_t n : {300000u, 1000003u}) {
                if (n > 300000 && std::string(shape.name) != "random" &&
                    std::string(shape.name) != "few-distinct")
                    continue;
                check_against_std(a, make_records(shape, n, 99),
                                  std::string(name(a)) + " " + shape.name + " n=" + std::to_string(n));
                if (HasFatalFailure()) return;
            }
}

// No input shape drives either sort far past n log2 n comparisons (a quadratic partition
// sequence or an early heapsort would).
TEST(Sort, ComparisonsStayNearNLogN) {
    const size_t n = 100000;
    const double bound = 2.0 * double(n) * std::log2(double(n));
    for (Algo a : kAlgos)
        for (const Shape& shape : kShapes) {
            std::vector<Rec> v = make_records(shape, n, 8);
            Probe probe;
            run(a, v.data(), n, sizeof(Rec), &probe);
            EXPECT_LE(double(probe.calls), bound) << name(a) << " " << shape.name;
        }
}

// Equal keys keep their input order, also when the input runs strictly downwards in another
// field, and when it is descending with runs of equal keys (a reversal there would swap them).
TEST(Sort, MergeIsStableOnEqualKeys) {
    struct Case { const char* name; std::function<int32_t(size_t)> key; };
    const Case cases[] = {
        {"key cycles, other strictly descending", [](size_t i) { return int32_t(i % 7); }},
        {"descending with equal pairs", [](size_t i) { return int32_t(100000 - i / 2); }},
        {"strictly descending pair, then equal pairs", [](size_t i) { return int32_t(100000 - (i + 1) / 2); }},
        {"descending with equal triples", [](size_t i) { return int32_t(100000 - i / 3); }},
        {"two keys", [](size_t i) { return int32_t((i * 2654435761u) >> 31); }},
    };
    for (const Case& c : cases)
        for (size_t n : {5u, 24u, 25u, 100u, 1000u, 10007u}) {
            std::vector<Rec> v(n);
            for (size_t i = 0; i < n; ++i) v[i] = Rec{c.key(i), int32_t(n - i), uint32_t(i)};
            sort_merge(v.data(), n, sizeof(Rec), 0, 0, by_key);
            for (size_t i = 1; i < n; ++i) {
                ASSERT_LE(v[i - 1].key, v[i].key) << c.name << " n=" << n;
                if (v[i - 1].key == v[i].key) {
                    ASSERT_LT(v[i - 1].index, v[i].index) << c.name << " n=" << n << " at " << i;
                }
            }
        }
}

// Presorted input in either direction is one run: n - 1 comparisons to find it, none to merge.
// Inputs of all-equal keys are one non-descending run the same way.
TEST(Sort, PresortedInputCostsOnePass) {
    struct Case { const char* shape; size_t n; };
    const Case cases[] = {{"ascending", 2},     {"ascending", 25},   {"ascending", 10000},
                          {"descending", 2},    {"descending", 25},  {"descending", 10000},
                          {"all-equal", 10000}, {"ascending", 100000}, {"descending", 100000}};
    for (Algo a : kAlgos)
        for (const Case& c : cases) {
            const Shape* shape = &shape_named(c.shape);
            std::vector<Rec> v = make_records(*shape, c.n, 1);
            Probe probe;
            run(a, v.data(), v.size(), sizeof(Rec), &probe);
            EXPECT_EQ(probe.calls, c.n - 1) << name(a) << " " << c.shape << " n=" << c.n;
            for (size_t i = 1; i < c.n; ++i) ASSERT_LE(v[i - 1].key, v[i].key);
        }
}

// Nearly sorted input stays linear for sort_unstable.
TEST(Sort, UnstableIsLinearOnNearlySortedInput) {
    const size_t n = 100000;
    struct Case {
        const char* name;
        std::function<void(std::vector<int>&, std::mt19937&)> disturb;
        uint64_t bound;  // comparisons allowed, in multiples of n
    };
    const Case cases[] = {
        {"biggest record first", [](std::vector<int>& v, std::mt19937&) {
             std::rotate(v.begin(), v.end() - 1, v.end());
         }, 3},
        {"smallest record last", [](std::vector<int>& v, std::mt19937&) {
             std::rotate(v.begin(), v.begin() + 1, v.end());
         }, 2},
        {"a few far displacements", [](std::vector<int>& v, std::mt19937& r) {
             for (int k = 0; k < 10; ++k) std::swap(v[r() % v.size()], v[r() % v.size()]);
         }, 3},
        {"1% random records", [](std::vector<int>& v, std::mt19937& r) {
             for (int& x : v)
                 if (r() % 100 == 0) x = int(r() % v.size());
         }, 2},
        {"neighbour swaps every 50", [](std::vector<int>& v, std::mt19937&) {
             for (size_t i = 0; i + 1 < v.size(); i += 50) std::swap(v[i], v[i + 1]);
         }, 3},
        {"reversed with neighbour swaps", [](std::vector<int>& v, std::mt19937&) {
             std::reverse(v.begin(), v.end());
             for (size_t i = 0; i + 1 < v.size(); i += 50) std::swap(v[i], v[i + 1]);
         }, 3},
    };
    for (const Case& c : cases) {
        std::vector<int> v(n);
        std::iota(v.begin(), v.end(), 0);
        std::mt19937 rng(5);
        c.disturb(v, rng);
        std::vector<int> want = v;
        std::sort(want.begin(), want.end());
        Probe probe;
        sort_unstable(v.data(), n, 4, reinterpret_cast<intptr_t>(&probe), 0, int_cmp);
        EXPECT_LE(probe.calls, c.bound * n) << c.name;
        EXPECT_EQ(v, want) << c.name;
    }
}

// Records of 1, 2, 3, 5 and 6 bytes (string units and odd group sizes) are moved byte by byte;
// records of 80 and 100 bytes (groups of cells) need record copies outside the sorts' own room.
TEST(Sort, RecordSizes) {
    for (uint32_t size : {1u, 2u, 3u, 5u, 6u, 80u, 100u}) {
        for (size_t n : {0u, 1u, 2u, 7u, 8u, 30u, 100u, 1000u, 20000u}) {
            std::mt19937 rng(uint32_t(size * 1000 + n));
            std::vector<uint8_t> bytes(n * size);
            for (uint8_t& b : bytes) b = uint8_t(rng() % 4);  // many equal records
            // Records compare as big-endian numbers, so memcmp is the order.
            auto cmp = [](const void* x, const void* y, intptr_t size, intptr_t) {
                int c = std::memcmp(x, y, size_t(size));
                return (c > 0) - (c < 0);
            };
            using Row = std::vector<uint8_t>;
            std::vector<Row> want(n);
            for (size_t i = 0; i < n; ++i) want[i].assign(&bytes[i * size], &bytes[i * size] + size);
            std::sort(want.begin(), want.end());
            for (Algo a : kAlgos) {
                std::vector<uint8_t> got = bytes;
                if (a == Algo::Merge) sort_merge(got.data(), n, size, size, 0, cmp);
                else sort_unstable(got.data(), n, size, size, 0, cmp);
                for (size_t i = 0; i < n; ++i)
                    ASSERT_EQ(Row(&got[i * size], &got[i * size] + size), want[i])
                        << name(a) << " size=" << size << " n=" << n << " at " << i;
            }
        }
    }
}

// Records of integer! cells keyed by one of their cells: sort_integer_records leaves the very same
// array as the callback sorts answering that order (equal keys included: the cells carry their
// input position in word 3), for both sorts, either direction and any key cell.
TEST(Sort, IntegerRecordsMatchTheCallbackSorts) {
    struct Order {
        uint32_t key;
        bool reverse;
    };
    auto by_cell = [](const void* x, const void* y, intptr_t ctx, intptr_t) {
        const Order& o = *reinterpret_cast<const Order*>(ctx);
        const Cell* a = static_cast<const Cell*>(o.reverse ? y : x) + o.key;
        const Cell* b = static_cast<const Cell*>(o.reverse ? x : y) + o.key;
        return (cell_integer(a) > cell_integer(b)) - (cell_integer(a) < cell_integer(b));
    };
    const char* shapes[] = {"random", "few-distinct", "descending-pairs", "ascending-noisy",
                            "organ-pipe", "all-equal"};
    for (const char* shape_name : shapes)
        for (uint32_t cells : {1u, 2u, 3u})
            for (size_t n : {2u, 8u, 100u, 1000u, 30000u})
                for (uint32_t key = 0; key < cells; ++key)
                    for (bool reverse : {false, true})
                        for (Algo a : kAlgos) {
                            std::vector<Rec> recs = make_records(shape_named(shape_name), n, uint32_t(n + cells));
                            std::vector<Cell> in(n * cells);
                            for (size_t i = 0; i < in.size(); ++i) {
                                // the key cells follow the shape, the others count down
                                in[i] = make_integer(i % cells == key ? recs[i / cells].key : int32_t(n - i));
                                in[i].data3 = uint32_t(i);
                            }
                            std::vector<Cell> want = in, got = in;
                            Order o{key, reverse};
                            const uint32_t size = cells * uint32_t(sizeof(Cell));
                            if (a == Algo::Merge) sort_merge(want.data(), n, size, intptr_t(&o), 0, by_cell);
                            else sort_unstable(want.data(), n, size, intptr_t(&o), 0, by_cell);
                            sort_integer_records(got.data(), n, cells, key, reverse, a == Algo::Merge);
                            ASSERT_EQ(std::memcmp(got.data(), want.data(), got.size() * sizeof(Cell)), 0)
                                << name(a) << " " << shape_name << " cells=" << cells << " key=" << key
                                << " reverse=" << reverse << " n=" << n;
                        }
}

// A callback that raises after k calls leaves every record present exactly once, unchanged.
TEST(Sort, RaisingCallbackLeavesAPermutation) {
    const char* shapes[] = {"random", "few-distinct", "descending-noisy", "ascending-random-tail",
                            "organ-pipe"};
    for (Algo a : kAlgos)
        for (const char* shape_name : shapes)
            for (size_t n : {30u, 300u, 3000u}) {
                const Shape* shape = &shape_named(shape_name);
                const std::vector<Rec> in = make_records(*shape, n, 3);
                Probe dry;
                std::vector<Rec> v = in;
                run(a, v.data(), n, sizeof(Rec), &dry);
                const uint64_t total = dry.calls;
                ASSERT_GT(total, 0u);
                for (uint64_t k = 1; k <= total; k += std::max<uint64_t>(1, total / 97)) {
                    v = in;
                    Probe probe;
                    probe.throw_at = k;
                    bool raised = false;
                    try {
                        run(a, v.data(), n, sizeof(Rec), &probe);
                    } catch (const KelThrow& t) {
                        raised = t.code == THROW_ERROR;
                    }
                    ASSERT_TRUE(raised) << name(a) << " " << shape_name << " n=" << n << " k=" << k;
                    ASSERT_TRUE(is_permutation_of(v, in))
                        << name(a) << " " << shape_name << " n=" << n << " k=" << k;
                }
            }
}

// Callbacks that answer inconsistently: the sorts end, stay inside the array (the AddressSanitizer
// build checks the exact-size heap arrays) and lose no record.
TEST(Sort, InconsistentCallbackStaysInBounds) {
    struct Case { const char* name; SortCompare cmp; };
    const Case cases[] = {
        {"random answers", [](const void*, const void*, intptr_t ctx, intptr_t) {
             auto* rng = reinterpret_cast<std::mt19937*>(ctx);
             return int((*rng)() % 3) - 1;
         }},
        {"always after", [](const void*, const void*, intptr_t, intptr_t) { return 1; }},
        {"always before", [](const void*, const void*, intptr_t, intptr_t) { return -1; }},
        {"rock-paper-scissors", [](const void* x, const void* y, intptr_t, intptr_t) {
             Rec a, b;
             std::memcpy(&a, x, sizeof a);
             std::memcpy(&b, y, sizeof b);
             int d = ((a.key - b.key) % 3 + 3) % 3;
             return d == 0 ? 0 : d == 1 ? 1 : -1;
         }},
    };
    std::mt19937 answers(11);
    for (Algo a : kAlgos)
        for (const Case& c : cases)
            for (size_t n : {2u, 7u, 8u, 9u, 25u, 64u, 100u, 513u, 1000u, 5000u, 40000u})
                for (const char* shape_name : {"random", "ascending", "descending"}) {
                    const Shape* shape = &shape_named(shape_name);
                    const std::vector<Rec> in = make_records(*shape, n, uint32_t(n));
                    std::unique_ptr<Rec[]> arr(new Rec[n]);
                    std::copy(in.begin(), in.end(), arr.get());
                    auto ctx = reinterpret_cast<intptr_t>(&answers);
                    if (a == Algo::Merge) sort_merge(arr.get(), n, sizeof(Rec), ctx, 0, c.cmp);
                    else sort_unstable(arr.get(), n, sizeof(Rec), ctx, 0, c.cmp);
                    ASSERT_TRUE(is_permutation_of(std::vector<Rec>(arr.get(), arr.get() + n), in))
                        << name(a) << " " << c.name << " " << shape_name << " n=" << n;
                }
}

// ---------------------------------------------------------------------------------------------
// Records inside series buffers, and the errors the sorts raise.

namespace {

class SeriesSort : public test::RuntimeTest {
protected:

    // Runs f under a try frame; the id of the error it raised, or Err::Count_ when none.
    template <class F>
    Err error_from(F&& f) {
        Cell word{T_WORD, 0, 0, 0};
        stack_mark_try(&word);
        try {
            f();
        } catch (const KelThrow& t) {
            return t.code == THROW_ERROR ? error_id_of(&t.value) : Err::Count_;
        }
        stack_drop_frame();
        return Err::Count_;
    }
};

// A callback that moves the series to a new buffer every `every` calls and scribbles over the
// old one when it stays mapped; it also checks that it is never handed addresses in the buffer.
// Like a callback that runs code, it allocates on every call: with KEL_GC_STRESS=1 that collects
// and compacts the frames, which moves the buffer too.
struct Mover {
    Node node;
    bool heap;          // the buffer comes from the malloc heap and is freed when moved
    uint64_t every;
    uint64_t calls = 0;
    uint64_t throw_at = UINT64_MAX;
    uint64_t moves = 0;
    bool handed_buffer_address = false;
};

int moving_cmp(const void* x, const void* y, intptr_t ctx1, intptr_t) {
    auto* m = reinterpret_cast<Mover*>(ctx1);
    Series* s = node_series(m->node);
    auto inside = [s](const void* p) {
        auto* b = static_cast<const uint8_t*>(p);
        return b >= s->data() && b < s->end_ptr();
    };
    if (inside(x) || inside(y)) m->handed_buffer_address = true;
    Rec a, b;
    std::memcpy(&a, x, sizeof a);
    std::memcpy(&b, y, sizeof b);
    alloc_bytes(16);
    if (++m->calls % m->every == 0) {
        // The abandoned buffer is scribbled over, so it must be the one expand_series_copy left:
        // a collection inside the expansion could slide it down first, and the old address would
        // then lie in some live buffer. Collection is held off for the move alone.
        CollectorHold hold;
        Series* old = node_series(m->node);
        uint32_t old_size = old->size;
        expand_series_copy(old, uint64_t(old_size) + 64);
        if (!m->heap) std::memset(old->data(), 0xEE, old_size);
        ++m->moves;
    }
    if (m->calls == m->throw_at) throw KelThrow{THROW_ERROR, Cell{T_NONE, 0, 0, 0}};
    return (a.key > b.key) - (a.key < b.key);
}

// A series holding a few bytes of padding, then the records.
Node records_series(const std::vector<Rec>& in, bool heap, uint32_t pad) {
    uint64_t bytes = pad + in.size() * sizeof(Rec);
    Node n = heap ? alloc_unmanaged_series(bytes, 1, 0) : alloc_series(bytes, 1, 0);
    Series* s = node_series(n);
    std::memset(s->data(), 0xAB, pad);
    if (!in.empty()) std::memcpy(s->data() + pad, in.data(), in.size() * sizeof(Rec));
    s->tail = uint32_t(bytes);
    return n;
}

std::vector<Rec> records_of(Node n, uint32_t pad, size_t count) {
    Series* s = node_series(n);
    std::vector<Rec> out(count);
    if (count) std::memcpy(out.data(), s->head_ptr() + pad, count * sizeof(Rec));
    return out;
}

} // namespace

TEST_F(SeriesSort, BufferMovingUnderTheCallback) {
    const uint32_t pad = 5;
    for (bool heap : {false, true})
        for (Algo a : kAlgos)
            for (const char* shape_name : {"random", "few-distinct", "ascending-random-tail", "descending"})
                for (size_t n : {2u, 9u, 100u, 2000u}) {
                    const Shape* shape = &shape_named(shape_name);
                    const std::vector<Rec> in = make_records(*shape, n, uint32_t(n + 1));
                    Node node = records_series(in, heap, pad);
                    Cell value = make_series(T_BINARY, node);
                    Mover m{node, heap, 7};
                    auto ctx = reinterpret_cast<intptr_t>(&m);
                    if (a == Algo::Merge)
                        EXPECT_EQ(sort_merge_series(&value, pad, uint32_t(n), sizeof(Rec), ctx, 0, moving_cmp), n);
                    else
                        sort_unstable_series(&value, pad, uint32_t(n), sizeof(Rec), ctx, 0, moving_cmp);
                    const std::string what = std::string(name(a)) + " " + shape_name + " n=" +
                                             std::to_string(n) + (heap ? " heap" : " frame");
                    EXPECT_FALSE(m.handed_buffer_address) << what;
                    if (n > 2) {
                        EXPECT_GT(m.moves, 0u) << what;
                    }
                    std::vector<Rec> got = records_of(node, pad, n);
                    std::vector<Rec> want = in;
                    std::stable_sort(want.begin(), want.end(),
                                     [](const Rec& x, const Rec& y) { return x.key < y.key; });
                    for (size_t i = 0; i < n; ++i) {
                        ASSERT_EQ(got[i].key, want[i].key) << what << " at " << i;
                        if (a == Algo::Merge) {
                            ASSERT_EQ(got[i].index, want[i].index) << what << " at " << i;
                        }
                    }
                    ASSERT_TRUE(is_permutation_of(got, in)) << what;
                    EXPECT_EQ(std::memcmp(node_series(node)->head_ptr(), "\xAB\xAB\xAB\xAB\xAB", pad), 0)
                        << what << ": bytes before the records changed";
                    if (heap) free_unmanaged_series(node);
                }
}

TEST_F(SeriesSort, RaisingAfterAMoveLeavesAPermutation) {
    const size_t n = 700;
    const Shape& random = shape_named("random");
    const std::vector<Rec> in = make_records(random, n, 17);
    for (Algo a : kAlgos) {
        Mover dry{records_series(in, false, 0), false, 5};
        Cell dry_value = make_series(T_BINARY, dry.node);
        if (a == Algo::Merge)
            sort_merge_series(&dry_value, 0, n, sizeof(Rec), reinterpret_cast<intptr_t>(&dry), 0, moving_cmp);
        else
            sort_unstable_series(&dry_value, 0, n, sizeof(Rec), reinterpret_cast<intptr_t>(&dry), 0, moving_cmp);
        for (uint64_t k = 1; k <= dry.calls; k += 61) {
            Node node = records_series(in, true, 0);
            Cell value = make_series(T_BINARY, node);
            Mover m{node, true, 5};
            m.throw_at = k;
            bool raised = false;
            try {
                if (a == Algo::Merge)
                    sort_merge_series(&value, 0, n, sizeof(Rec), reinterpret_cast<intptr_t>(&m), 0, moving_cmp);
                else
                    sort_unstable_series(&value, 0, n, sizeof(Rec), reinterpret_cast<intptr_t>(&m), 0, moving_cmp);
            } catch (const KelThrow&) {
                raised = true;
            }
            ASSERT_TRUE(raised) << name(a) << " k=" << k;
            ASSERT_TRUE(is_permutation_of(records_of(node, 0, n), in)) << name(a) << " k=" << k;
            free_unmanaged_series(node);
        }
    }
}

// A callback that leaves the series without room for the records stops the sort with
// out-of-range instead of letting it write past the buffer.
TEST_F(SeriesSort, SeriesLeftTooSmallRaisesOutOfRange) {
    const size_t n = 200;
    const std::vector<Rec> in = make_records(shape_named("random"), n, 23);
    for (Algo a : kAlgos) {
        Node node = records_series(in, true, 0);
        Cell value = make_series(T_BINARY, node);
        struct Ctx { Node node; uint64_t calls; } ctx{node, 0};
        auto shrink = [](const void* x, const void* y, intptr_t c, intptr_t) {
            auto* p = reinterpret_cast<Ctx*>(c);
            if (++p->calls == 50) {
                Series* s = node_series(p->node);
                s->head = s->tail = s->size - 16;  // the records no longer fit after the head
            }
            Rec r1, r2;
            std::memcpy(&r1, x, sizeof r1);
            std::memcpy(&r2, y, sizeof r2);
            return (r1.key > r2.key) - (r1.key < r2.key);
        };
        Err e = error_from([&] {
            if (a == Algo::Merge)
                sort_merge_series(&value, 0, n, sizeof(Rec), reinterpret_cast<intptr_t>(&ctx), 0, shrink);
            else
                sort_unstable_series(&value, 0, n, sizeof(Rec), reinterpret_cast<intptr_t>(&ctx), 0, shrink);
        });
        EXPECT_EQ(e, Err::OutOfRange) << name(a);
        EXPECT_EQ(ctx.calls, 50u) << name(a) << ": no call after the series shrank";
        free_unmanaged_series(node);
    }
}

TEST_F(SeriesSort, MergeBufferTooLongForThirtyTwoBits) {
    // Raised before any record is read: the address is never touched.
    struct Case { size_t count; uint32_t size; Err want; };
    const Case cases[] = {
        {size_t(1) << 32, 4, Err::TooLong},           // 2^31 * 4 = 2^33 bytes
        {size_t(0x100000000) / 8 + 2, 16, Err::TooLong},  // just over 2^32 bytes
    };
    for (const Case& c : cases) {
        Err e = error_from([&] {
            sort_merge(reinterpret_cast<void*>(uintptr_t(16)), c.count, c.size, 0, 0, int_cmp);
        });
        EXPECT_EQ(e, c.want) << c.count << " x " << c.size;
    }
}

// ---------------------------------------------------------------------------------------------
// Records that are values: a block of strings, each string referenced by its cell alone.

namespace {

struct TextSort {
    uint64_t calls = 0;
    uint64_t cycle_every;   // a full collector cycle (which may renumber nodes) every so many calls
    uint64_t stale = 0;     // cells handed over whose node no longer leads to their string
};

// The buffer a current node leads to names that node; a node left behind by renumbering does not.
bool current(const Cell& c) {
    Node n = series_node(&c);
    return node_slot_used(n) && node_series(n)->node == n;
}

std::string text_of(const Cell& c) {
    Series* s = node_series(series_node(&c));
    return std::string(reinterpret_cast<const char*>(s->head_ptr()), s->used());
}

// Compares the texts of two string! cells, then runs "code": it allocates (a collection with
// KEL_GC_STRESS=1) and now and then runs a whole collector cycle. The copies it is handed are read
// before anything allocates; nothing else of the sort's is visible to it.
int by_text(const void* x, const void* y, intptr_t ctx1, intptr_t) {
    auto* t = reinterpret_cast<TextSort*>(ctx1);
    Cell a, b;
    std::memcpy(&a, x, sizeof a);
    std::memcpy(&b, y, sizeof b);
    if (!current(a) || !current(b)) {
        ++t->stale;
        return 0;
    }
    const int c = text_of(a).compare(text_of(b));
    alloc_bytes(16);
    if (++t->calls % t->cycle_every == 0) collector_cycle();
    return (c > 0) - (c < 0);
}

} // namespace

// The merge parks records outside the block and the quicksort keeps a pivot: those copies may be
// the only references to their strings while the callback collects, and a cycle that renumbers
// nodes must rewrite them too. Every string comes out alive, once, in order.
TEST_F(SeriesSort, ValuesHeldOutsideTheSeriesStayAliveAndCurrent) {
    const size_t n = 1000;
    std::vector<std::string> texts(n);
    std::mt19937 rng(41);
    for (size_t i = 0; i < n; ++i) texts[i] = "t" + std::to_string(100000 + rng() % 900000) + "-" + std::to_string(i);
    for (Algo a : kAlgos) {
        Rooted block(make_series(T_BLOCK, alloc_cells(n)));
        {
            // Layout only: the strings get a node frame of their own between piles of garbage, so
            // that once the garbage is gone the collector finds that frame sparse and moves its
            // nodes (renumbering) during the sort.
            CollectorHold hold;
            for (int i = 0; i < 12000; ++i) alloc_bytes(16);
            for (const std::string& t : texts) {
                Node node = alloc_bytes(t.size());
                Series* s = node_series(node);
                std::memcpy(s->head_ptr(), t.data(), t.size());
                s->tail = s->head + uint32_t(t.size());
                block_append(series_node(block.get()), make_series(T_STRING, node));
            }
            for (int i = 0; i < 12000; ++i) alloc_bytes(16);
        }
        const uint32_t compactions = g_node_compactions;
        // Without collection stress the renumbering comes some cycles in, inside the first
        // partition of the quicksort, whose every comparison involves the pivot.
        TextSort ctx{0, 60};
        if (a == Algo::Merge)
            EXPECT_EQ(sort_merge_series(block.get(), 0, uint32_t(n), sizeof(Cell),
                                        reinterpret_cast<intptr_t>(&ctx), 0, by_text), n);
        else
            sort_unstable_series(block.get(), 0, uint32_t(n), sizeof(Cell),
                                 reinterpret_cast<intptr_t>(&ctx), 0, by_text);
        // the sort did run through node renumbering, and never handed over a stale value
        EXPECT_GT(g_node_compactions, compactions) << name(a);
        EXPECT_EQ(ctx.stale, 0u) << name(a);

        std::vector<std::string> got;
        Series* s = node_series(series_node(block.get()));
        ASSERT_EQ(s->length(), n) << name(a);
        for (uint32_t i = 0; i < n; ++i) {
            const Cell* c = s->cell_at(i);
            ASSERT_TRUE(c->is(T_STRING)) << name(a) << " at " << i;
            ASSERT_TRUE(current(*c)) << name(a) << " at " << i << ": string freed or left behind";
            got.push_back(text_of(*c));
        }
        std::vector<std::string> want = texts;
        std::sort(want.begin(), want.end());
        EXPECT_EQ(got, want) << name(a);
    }
}
