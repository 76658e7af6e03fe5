// The randomized model check of the runtime core: a seeded random driver of the core's C++ API and
// a plain C++ model of every value it makes.
//
// The world is a set of objects (blocks, strings of every unit width, hash! and map! tables,
// contexts, record tables, growable arrays), each known twice: as runtime values reached from one
// rooted block (a root slot per object; nested blocks and strings may also be reached only from
// other blocks), and as model objects (std::vector, std::u32string, std::map ...). A step picks an
// operation from a weighted table and runs it on both. Every few steps, and after every explicit
// collection, the whole world is checked:
//   - values: every live object's runtime content equals its model, cell by cell;
//   - node identity: every cell that refers to an object leads to the same node, and that node's
//     buffer leads back to it;
//   - table answers: hash!/map! look-ups (every position rule, skip, op and walk) give what a linear
//     scan of the block with the same comparison gives, record tables answer their model;
//   - frames: every used node's buffer points back to it, the frames' used counts are right, every
//     buffer in use in a series frame is the one its node leads to;
//   - collections: after collector_cycle() (which may compact frames and renumber nodes), the
//     buffers the model still reaches are there, and the objects it no longer reaches were released.
//
// The seed is printed; KEL_MODEL_SEED replays a run, KEL_MODEL_STEPS sets its length. New
// datatypes add their editing operations as rows of the operation table (ModelOp) in
// model_check_test.cpp, using World's helpers to reach runtime values and the model.
#pragma once

#include "core/array.h"
#include "core/context.h"
#include "core/gc.h"
#include "core/hash.h"
#include "core/memory.h"
#include "core/ownership.h"
#include "core/roots.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/unicode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace kel::model {

// ---- Model values --------------------------------------------------------------------------------

enum class VK : uint8_t { None, Logic, Integer, Float, Percent, Char, Word, String, Block, Function };

struct MValue {
    VK kind = VK::None;
    TypeId type = T_NONE;  // words: the exact word type
    int64_t i = 0;         // integer, char, logic, symbol id
    double f = 0;          // float, percent
    int ref = -1;          // String/Block: the object; Function: its body block; Word: bound context
    uint32_t index = 0;    // Word: index in the bound context
};

enum class Kind : uint8_t { Block, String, Hash, Map, Context, Records, Array };

struct Field {
    uint32_t symbol;   // as first added
    uint32_t canon;    // canonical (the case-insensitive key)
    MValue value;
};

struct MObject {
    Kind kind;
    Node node = 0;                  // the runtime node, refreshed by every check
    bool frozen = false;            // used as a table key by content: never edited
    std::vector<MValue> cells;      // Block; Hash and Map: their block
    std::vector<bool> removed;      // Map: per pair, the entry was removed (value header 0)
    std::u32string text;            // String
    uint32_t unit = 1;              // String
    std::vector<uint32_t> arr;      // Array
    std::map<int, int32_t> recs;    // Records: key object -> integer value
    std::vector<Field> fields;      // Context
};

// The failure message of a check, with the step and seed to replay it.
struct Failure {
    std::string what;
};

class World;

// A row of the operation table: a name, a weight and the operation. An operation that finds
// nothing to work on returns without doing anything.
struct ModelOp {
    const char* name;
    uint32_t weight;
    void (*run)(World&);
};

class World {
public:
    std::mt19937_64 rng;
    uint64_t seed;
    uint64_t step = 0;
    Rooted roots{Cell{T_NONE, 0, 0, 0}};
    std::vector<int> slots;                     // root slot -> object id, -1 when free
    std::map<int, MObject> objects;             // every object the model may still reach
    int next_id = 0;
    std::vector<uint32_t> symbols;              // the symbol pool (case variants included)
    std::map<uint32_t, uint32_t> canon;         // symbol -> canonical (by lowered spelling)
    std::map<int, int> owner_of;                // series object -> owner context (-2: unknown)
    std::set<int> owned_flag;                   // series objects that carry the owned mark
    std::map<Node, int> pending_dead;           // nodes of objects the model no longer reaches
    uint64_t collections = 0;
    uint64_t checks = 0;

    explicit World(uint64_t s) : rng(s), seed(s) {
        roots.value = make_series(T_BLOCK, alloc_cells(64));
        const char* names[] = {"alpha", "Alpha", "ALPHA", "beta", "Beta", "gamma", "delta", "x", "X",
                               "y", "self-less", "kappa", "lambda", "mu"};
        for (const char* n : names) {
            uint32_t sym = symbol_make(n);
            symbols.push_back(sym);
            std::string lower(n);
            for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
            canon[sym] = symbol_make(lower.c_str());
        }
    }

    // ---- Randomness ----
    uint64_t below(uint64_t n) { return n ? rng() % n : 0; }
    bool chance(uint32_t percent) { return below(100) < percent; }
    template <class T> const T& pick(const std::vector<T>& v) { return v[below(v.size())]; }

    // ---- Roots ----
    Node roots_node() { return series_node(roots.get()); }
    Cell* root_cell(uint32_t slot) { return node_series(roots_node())->cell_at(slot); }

    // Stores the value in a free root slot for object id; returns the slot. The value waits on the
    // data stack while the root block grows.
    uint32_t add_root(int id, const Cell& value) {
        for (uint32_t i = 0; i < slots.size(); ++i)
            if (slots[i] < 0) {
                slots[i] = id;
                *root_cell(i) = value;
                return i;
            }
        Cell v = value;
        stack_push(v);
        block_append(roots_node(), v);
        stack_pop();
        slots.push_back(id);
        return uint32_t(slots.size() - 1);
    }
    int new_object(Kind k) {
        int id = next_id++;
        objects[id].kind = k;
        return id;
    }
    // Root slots holding objects of the kinds given (all kinds when empty).
    std::vector<uint32_t> slots_of(std::initializer_list<Kind> kinds, bool editable = false) {
        std::vector<uint32_t> out;
        for (uint32_t i = 0; i < slots.size(); ++i) {
            if (slots[i] < 0) continue;
            const MObject& o = objects.at(slots[i]);
            if (editable && o.frozen) continue;
            if (kinds.size() == 0 || std::find(kinds.begin(), kinds.end(), o.kind) != kinds.end())
                out.push_back(i);
        }
        return out;
    }
    MObject& obj(int id) { return objects.at(id); }

    // ---- Model values to cells ----
    uint32_t word_canon(uint32_t sym) const { return canon.at(sym); }

    Cell encode(const MValue& v) {
        switch (v.kind) {
        case VK::None: return make_cell(T_NONE);
        case VK::Logic: return make_cell(T_LOGIC, uint32_t(v.i));
        case VK::Integer: return make_integer(int32_t(v.i));
        case VK::Float: { Cell c = make_float(v.f); return c; }
        case VK::Percent: { Cell c{T_PERCENT, 0, 0, 0}; c.put_float(v.f); return c; }
        case VK::Char: return make_cell(T_CHAR, 0, uint32_t(v.i));
        case VK::Word:
            return make_cell(v.type, v.ref >= 0 ? obj(v.ref).node : 0, uint32_t(v.i),
                             v.ref >= 0 ? v.index : uint32_t(-1));
        case VK::String: return make_series(T_STRING, obj(v.ref).node);
        case VK::Block: return make_series(T_BLOCK, obj(v.ref).node);
        case VK::Function: return make_cell(T_FUNCTION, 0, obj(v.ref).node, 0);
        }
        return make_cell(T_NONE);
    }

    static bool same_cell(const Cell& a, const Cell& b) {
        if (a.header != b.header) return false;
        switch (a.type()) {
        case T_NONE: case T_UNSET: return true;
        default: return a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3;
        }
    }

    // The objects a value refers to (edges of the model's reachability).
    static void refs_of(const MValue& v, std::vector<int>& out) {
        if (v.ref >= 0) out.push_back(v.ref);
    }
    void edges(int id, std::vector<int>& out) {
        const MObject& o = obj(id);
        for (size_t i = 0; i < o.cells.size(); ++i) {
            // a removed map! entry's value cell is cleared: it refers to nothing
            if (o.kind == Kind::Map && (i & 1) && o.removed[i / 2]) continue;
            refs_of(o.cells[i], out);
        }
        for (const Field& f : o.fields) refs_of(f.value, out);
        for (const auto& [key, value] : o.recs) out.push_back(key);
    }
    std::set<int> reachable() {
        std::set<int> seen;
        std::vector<int> work;
        for (int id : slots)
            if (id >= 0 && seen.insert(id).second) work.push_back(id);
        while (!work.empty()) {
            int id = work.back();
            work.pop_back();
            std::vector<int> next;
            edges(id, next);
            for (int n : next)
                if (seen.insert(n).second) work.push_back(n);
        }
        return seen;
    }

    // Objects the model no longer reaches: forgotten, their nodes remembered for the check after
    // the next explicit collection.
    void forget_unreachable() {
        std::set<int> live = reachable();
        for (auto it = objects.begin(); it != objects.end();) {
            if (live.count(it->first)) {
                ++it;
                continue;
            }
            pending_dead[it->second.node] = it->first;
            owner_of.erase(it->first);
            owned_flag.erase(it->first);
            it = objects.erase(it);
        }
        // ownership records whose owner died may be swept by any collection
        for (auto& [series, owner] : owner_of)
            if (owner >= 0 && !objects.count(owner)) owner = -2;
    }

    [[noreturn]] void fail(const std::string& what) {
        std::ostringstream m;
        m << "model check failed at step " << step << " (KEL_MODEL_SEED=" << seed << "): " << what;
        throw Failure{m.str()};
    }
    void expect(bool ok, const std::string& what) {
        if (!ok) fail(what);
    }
};

} // namespace kel::model
