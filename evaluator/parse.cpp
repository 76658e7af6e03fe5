// PARSE: the rule engine and the `parse` native.
//
// Rule-stack frames, from the bottom cell up (the kind pair is always the top cell, so a frame is
// read from the top):
//   [extra]   loops: a pair! (minimum, maximum; -1 for none); collect: the block being collected
//   marker    triple!: rule position, input position, input length (see below)
//   block     the rule block the frame runs in (a sub-rule frame: its own block)
//   kind      pair!: the frame kind and its argument
// A sub-rule frame's marker holds the position reached in its block while a deeper frame runs,
// the input position at entry (alternatives restart there) and the input-stack index at entry;
// its argument is the top index of the enclosing sub-rule frame (0 for none). Every other frame
// applies to the one rule that follows it in the enclosing block: its marker holds that rule's
// position, and the input position and length when the frame was pushed (for loops: when the
// current round started).
//
// Input stack, per call: an entry marker (the outer tops), the result slot (the block of a
// top-level collect), the trace callback (or none), then one cell per input level (`into` pushes
// the element it enters). The current input is the top cell; the position in it is `pos`.
#include "evaluator/parse.h"

#include "core/case-fold.h"
#include "core/context.h"
#include "core/errors.h"
#include "core/gc.h"
#include "core/roots.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/unicode.h"
#include "core/words.h"
#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/compound.h"
#include "datatypes/datatype.h"
#include "datatypes/scalars.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"
#include "evaluator/interpreter.h"
#include "evaluator/lexer.h"
#include "evaluator/natives.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace kel {

namespace {

// The two stacks: their cells in the root block.
enum StackId { IN_STACK = 0, RULE_STACK = 1 };
uint32_t s_roots[2] = {0, 0};

// ---- Keywords --------------------------------------------------------------------------------------

enum Kw : uint8_t {
    KW_NOT_KEYWORD = 0, KW_BAR, KW_ANY, KW_SOME, KW_OPT, KW_WHILE, KW_TO, KW_THRU, KW_SKIP, KW_END,
    KW_NONE, KW_FAIL, KW_BREAK, KW_REJECT, KW_AHEAD, KW_NOT, KW_INTO, KW_QUOTE, KW_IF, KW_CASE,
    KW_SET, KW_COPY, KW_REMOVE, KW_INSERT, KW_CHANGE, KW_COLLECT, KW_KEEP,
};
std::vector<uint8_t> s_keywords;   // keyword by canonical symbol id
uint32_t s_sym_only = 0, s_sym_pick = 0, s_sym_into = 0, s_sym_after = 0, s_sym_set = 0;

// Canonical symbols by symbol id, filled as words are met (a symbol's canonical form is fixed
// when the symbol is made); 0 for not looked up yet.
std::vector<uint32_t> s_canonical;
uint32_t canonical_slow(uint32_t id) {
    uint32_t c = symbol_resolve(id);
    if (id >= s_canonical.size()) s_canonical.resize(std::max<size_t>(id + 1, s_canonical.size() * 2), 0);
    s_canonical[id] = c;
    return c;
}
inline uint32_t canonical(uint32_t id) {
    if (id < s_canonical.size() && s_canonical[id]) [[likely]] return s_canonical[id];
    return canonical_slow(id);
}
void keywords_init() {
    struct Entry { uint32_t symbol; Kw kw; };
    const Entry entries[] = {
        {sym(Sym::Bar), KW_BAR}, {sym(Sym::Any), KW_ANY}, {sym(Sym::Some), KW_SOME},
        {sym(Sym::Opt), KW_OPT}, {sym(Sym::While), KW_WHILE}, {sym(Sym::To), KW_TO},
        {sym(Sym::Thru), KW_THRU}, {sym(Sym::Skip), KW_SKIP}, {sym(Sym::End), KW_END},
        {sym(Sym::None), KW_NONE}, {sym(Sym::Fail), KW_FAIL}, {sym(Sym::Break), KW_BREAK},
        {sym(Sym::Reject), KW_REJECT}, {sym(Sym::Ahead), KW_AHEAD}, {sym(Sym::Not), KW_NOT},
        {sym(Sym::Into), KW_INTO}, {sym(Sym::Quote), KW_QUOTE}, {sym(Sym::If), KW_IF},
        {sym(Sym::Case), KW_CASE}, {sym(Sym::Set), KW_SET}, {sym(Sym::Copy), KW_COPY},
        {sym(Sym::Remove), KW_REMOVE}, {sym(Sym::Insert), KW_INSERT},
        {symbol_make("change"), KW_CHANGE}, {sym(Sym::Collect), KW_COLLECT},
        {sym(Sym::Keep), KW_KEEP},
    };
    s_keywords.clear();
    s_canonical.clear();
    for (const Entry& e : entries) {
        uint32_t c = symbol_resolve(e.symbol);
        if (c >= s_keywords.size()) s_keywords.resize(c + 1, KW_NOT_KEYWORD);
        s_keywords[c] = e.kw;
    }
    s_sym_only = symbol_resolve(sym(Sym::Only));
    s_sym_pick = symbol_resolve(sym(Sym::Pick));
    s_sym_into = symbol_resolve(sym(Sym::Into));
    s_sym_after = symbol_resolve(sym(Sym::After));
    s_sym_set = symbol_resolve(sym(Sym::Set));
}

inline Kw keyword_of(const Cell* w) {
    uint32_t c = canonical(w->data2);
    return c < s_keywords.size() ? Kw(s_keywords[c]) : KW_NOT_KEYWORD;
}
inline bool word_is(const Cell* c, uint32_t canonical_id) {
    return c->is(T_WORD) && canonical(c->data2) == canonical_id;
}

// ---- The two stacks --------------------------------------------------------------------------------

// Lengths without a division: cells of a block, units of any series.
inline uint32_t cells_of(const Series* s) { return (s->tail - s->head) >> 4; }
inline uint32_t units_of(const Series* s) { return (s->tail - s->head) >> __builtin_ctz(s->unit()); }

inline Node stack_node(StackId w) {
    return reinterpret_cast<const Cell*>(node_series(g_root_block)->data())[s_roots[w]].data2;
}
// The buffers of the two stacks, looked up through the root block again only after a collector
// cycle (compaction moves buffers, renumbering changes nodes) or a growth of a stack (which may
// move it): nothing else moves them.
Series* s_buffers[2] = {nullptr, nullptr};
uint32_t s_buffers_cycles = 0;
bool s_buffers_valid = false;
Series* stack_series_refresh(StackId w) {
    s_buffers[IN_STACK] = node_series(stack_node(IN_STACK));
    s_buffers[RULE_STACK] = node_series(stack_node(RULE_STACK));
    s_buffers_cycles = g_collector_cycles;
    s_buffers_valid = true;
    return s_buffers[w];
}
inline Series* stack_series(StackId w) {
    if (s_buffers_cycles != g_collector_cycles || !s_buffers_valid) [[unlikely]]
        return stack_series_refresh(w);
    return s_buffers[w];
}
inline uint32_t stack_cells(StackId root) { return cells_of(stack_series(root)); }
inline Cell* stack_cell(StackId root, uint32_t i) { return stack_series(root)->cell_at(i); }
inline void stack_cut(StackId root, uint32_t cells) {
    Series* s = stack_series(root);
    if (cells_of(s) > cells) s->tail = s->head + cells * 16;
}
// Makes room for n more cells (raising parse-stack beyond the limit) and returns the first of
// them; the caller fills all n before anything allocates.
Cell* stack_grow(StackId root, uint32_t n) {
    Series* s = stack_series(root);
    if (cells_of(s) + n > PARSE_STACK_LIMIT) fire_error(Err::ParseStack);
    if (uint64_t(s->tail) + n * 16 > s->size) {
        s_buffers_valid = false;
        s = series_reserve(stack_node(root), n, true);
        s_buffers_valid = false;
    }
    Cell* first = s->cell_tail();
    for (uint32_t i = 0; i < n; ++i) first[i] = make_none();
    s->tail += n * 16;
    return first;
}

// ---- Frames ----------------------------------------------------------------------------------------

enum Kind : int32_t {
    K_BLOCK = 1, K_LOOP, K_WHILE, K_TO, K_THRU, K_COPY, K_SET, K_NOT, K_INTO, K_REMOVE, K_KEEP,
    K_KEEP_PICK, K_AHEAD, K_CHANGE, K_CHANGE_ONLY, K_CASE, K_COLLECT,
};
inline uint32_t frame_size(int32_t kind) {
    return (kind == K_LOOP || kind == K_WHILE || kind == K_COLLECT) ? 4 : 3;
}
// Collect targets (low two bits of a collect frame's argument; the word's position above).
enum CollectMode : int32_t { C_PLAIN = 0, C_SET = 1, C_INTO = 2, C_AFTER = 3 };

enum InputKind : uint8_t { IN_STRING, IN_BINARY, IN_BLOCK };

// Raised by a trace callback that answers anything but true: PARSE ends at once.
struct ParseStop {};

// UTF-8 bytes of a string value from its index, for matching on binary input.
void utf8_of(const Cell* v, bool tag, std::string& out) {
    out.clear();
    Series* s = value_series(v);
    uint32_t u = s->unit(), n = s->length(), i = std::min(series_index(v), n);
    auto put = [&](uint32_t c) {
        uint8_t bytes[4];
        out.append(reinterpret_cast<const char*>(bytes), size_t(utf8_encode_char(int32_t(c), bytes)));
    };
    if (tag) out.push_back('<');
    for (const uint8_t* p = s->head_ptr() + uint64_t(i) * u; i < n; ++i, p += u) put(unit_get(p, u));
    if (tag) out.push_back('>');
}

// ---- Runs of units, at each unit width

template <class T>
inline uint32_t load_unit(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof(T));
    return v;
}
// How many units from p (at most limit) pass test.
template <class T, class Test>
inline uint32_t run_of(const uint8_t* base, uint32_t p, uint32_t limit, const Test& test) {
    const uint8_t* q = base + uint64_t(p) * sizeof(T);
    uint32_t n = 0;
    while (n < limit && test(load_unit<T>(q + uint64_t(n) * sizeof(T)))) ++n;
    return n;
}
template <class Test>
inline uint32_t run_of_units(const uint8_t* base, uint32_t unit, uint32_t p, uint32_t limit,
                             const Test& test) {
    switch (unit) {
    case 1: return run_of<uint8_t>(base, p, limit, test);
    case 2: return run_of<uint16_t>(base, p, limit, test);
    default: return run_of<uint32_t>(base, p, limit, test);
    }
}
// Are the m units at a and b the same text (folding case unless cs)?
template <class A, class B>
inline bool same_text(const uint8_t* a, const uint8_t* b, uint32_t m, bool cs) {
    for (uint32_t i = 0; i < m; ++i) {
        uint32_t x = load_unit<A>(a + uint64_t(i) * sizeof(A));
        uint32_t y = load_unit<B>(b + uint64_t(i) * sizeof(B));
        if (x != y && (cs || fold_upper(x) != fold_upper(y))) return false;
    }
    return true;
}
template <class A>
inline bool same_text_b(const uint8_t* a, const uint8_t* b, uint32_t bu, uint32_t m, bool cs) {
    switch (bu) {
    case 1: return same_text<A, uint8_t>(a, b, m, cs);
    case 2: return same_text<A, uint16_t>(a, b, m, cs);
    default: return same_text<A, uint32_t>(a, b, m, cs);
    }
}
bool same_text_units(const uint8_t* a, uint32_t au, const uint8_t* b, uint32_t bu, uint32_t m, bool cs) {
    switch (au) {
    case 1: return same_text_b<uint8_t>(a, b, bu, m, cs);
    case 2: return same_text_b<uint16_t>(a, b, bu, m, cs);
    default: return same_text_b<uint32_t>(a, b, bu, m, cs);
    }
}

// A value that fast repetition and fast search handle without frames.
inline bool simple_value(TypeId t) {
    return t == T_CHAR || is_any_string(t) || t == T_BINARY || t == T_BITSET;
}

struct Engine {
    uint32_t rbase = 0;     // rule-stack cells below this call's frames
    uint32_t ientry = 0;    // input-stack index of this call's entry marker
    uint32_t itop = 0;      // input-stack index of the current input
    uint32_t blk = 0;       // rule-stack index of the kind cell of the current sub-rule frame
    uint32_t rpos = 0;      // position in the current rule block
    uint32_t pos = 0;       // position in the current input
    int64_t part_end = -1;  // end of the top-level input, -1 for its tail
    bool cs = false;        // case-sensitive matching
    bool tracing = false;
    bool last_match = false;
    bool done = false;
    bool final_ok = false;
    InputKind ikind = IN_STRING;
    std::string scratch;

    // ---- Input

    Cell* input() { return stack_cell(IN_STACK, itop); }
    uint32_t input_len() { return units_of(value_series(input())); }
    uint32_t end() {
        uint32_t n = input_len();
        if (itop == ientry + 3 && part_end >= 0 && uint64_t(part_end) < n) return uint32_t(part_end);
        return n;
    }
    uint32_t clip(uint32_t p) { return std::min(p, end()); }
    void clip_pos() { pos = clip(pos); }
    void input_kind() {
        TypeId t = input()->type();
        ikind = is_any_string(t) ? IN_STRING : t == T_BINARY ? IN_BINARY : IN_BLOCK;
    }
    // The input at position p, as a new cell.
    Cell input_at(uint32_t p) {
        Cell c = *input();
        c.data1 = p;
        return c;
    }

    // ---- Rule stack

    Cell* rs(uint32_t i) { return stack_cell(RULE_STACK, i); }
    uint32_t top() { return stack_cells(RULE_STACK) - 1; }
    bool has_frame() { return stack_cells(RULE_STACK) > rbase; }
    int32_t kind(uint32_t t) { return pair_x(rs(t)); }
    int32_t farg(uint32_t t) { return pair_y(rs(t)); }
    Cell* marker(uint32_t t) { return rs(t - 2); }
    Cell* rblock() { return rs(blk - 1); }
    Series* rseries() { return value_series(rblock()); }

    // Pushes a frame over `block` (rooted by the caller); extra is the fourth cell of loops and
    // collects.
    void push_frame(int32_t k, int32_t arg, const Cell* block, const Cell* extra, uint32_t m1,
                    uint32_t m2, uint32_t m3) {
        uint32_t n = frame_size(k);
        Cell* c = stack_grow(RULE_STACK, n);
        if (n == 4) *c++ = *extra;
        c[0] = Cell{T_TRIPLE, m1, m2, m3};
        c[1] = *block;
        c[2] = make_pair(k, arg);
    }
    // A modifier frame for the rule at rpos, in the current block.
    void push_modifier(int32_t k, int32_t arg, const Cell* extra = nullptr) {
        Rooted b(*rblock());
        Rooted x(extra ? *extra : make_none());
        push_frame(k, arg, b.get(), x.get(), rpos, pos, input_len());
        if (tracing) trace(EV_PUSH_);
    }
    void pop_frame() {
        uint32_t t = top();
        int32_t k = kind(t);
        int32_t prev = farg(t);
        stack_cut(RULE_STACK, t + 1 - frame_size(k));
        if (k == K_BLOCK) {
            blk = uint32_t(prev);
            if (blk) rpos = marker(blk)->data1;
        }
        if (tracing && has_frame()) trace(EV_POP_);
    }

    // Enters a sub-rule block (rooted by the caller or stable in a rule block).
    void push_block(const Cell* block_in) {
        Rooted rb(*block_in);
        const Cell& b = rb.value;
        uint32_t head = series_index(&b);
        Node node = series_node(&b);
        // the same block entered at the same place over the same input: it can only recurse
        Series* st = stack_series(RULE_STACK);
        for (uint32_t t = blk; t; t = uint32_t(pair_y(st->cell_at(t)))) {
            const Cell* f = st->cell_at(t - 1);
            const Cell* m = st->cell_at(t - 2);
            if (series_node(f) == node && series_index(f) == head && m->data2 == pos && m->data3 == itop)
                fire_error(Err::ParseInfinite, rb.get());
        }
        if (blk) st->cell_at(blk - 2)->data1 = rpos;
        Cell* c = stack_grow(RULE_STACK, 3);
        c[0] = Cell{T_TRIPLE, head, pos, itop};
        c[1] = b;
        c[2] = make_pair(K_BLOCK, int32_t(blk));
        blk = top();
        rpos = std::min(head, cells_of(node_series(node)));
        if (tracing) trace(EV_PUSH_);
    }

    // ---- Trace

    // The callback gets the event, the last match, the rule block at the rule position, the
    // input at its position and a copy of this call's rule stack (a copy: the callback cannot
    // change the frames under the machine). Any answer but true ends PARSE (ParseStop).
    enum TraceEv { EV_PUSH_, EV_POP_, EV_FETCH_, EV_MATCH_, EV_ITERATE_, EV_PAREN_ };
    void trace(TraceEv ev) {
        static const char* const names[] = {"push", "pop", "fetch", "match", "iterate", "paren"};
        Cell* saved = g_stack.top;
        Cell* args = stack_push_slot();
        *args = word_cell(names[ev]);
        *stack_push_slot() = make_logic(last_match);
        Cell rule = blk ? *rblock() : make_none();
        if (blk) rule.data1 = rpos;
        *stack_push_slot() = rule;
        *stack_push_slot() = input_at(pos);
        Cell* st = stack_push_slot();
        *st = make_none();
        uint32_t from = rbase, count = stack_cells(RULE_STACK) - rbase;
        Node copy = copy_series_part(stack_node(RULE_STACK), from, count);
        *st = make_series(T_BLOCK, copy);
        Cell cb = *stack_cell(IN_STACK, ientry + 2);
        call_with_args(&cb, args, 5, nullptr);
        Cell answer = *stack_top();
        g_stack.top = saved;
        clip_pos();
        if (!(answer.is(T_LOGIC) && answer.data1)) throw ParseStop{};
    }

    // ---- Values the rules name

    const Cell* word_value(const Cell* w) {
        Cell* v = word_get(w);
        if (v->is(T_UNSET)) fire_error(Err::NoValue, w);
        return v;
    }
    void set_word(const Cell* w, const Cell* value) {
        Cell word = *w;
        Rooted v(*value);
        word_set(&word, v.get());
        clip_pos();
    }
    // Evaluates a paren; its value goes into *out (a rooted cell).
    void eval_paren(const Cell* paren, Cell* out) {
        Rooted p(*paren);
        Cell* saved = g_stack.top;
        eval(p.get(), false);
        *out = *stack_top();
        g_stack.top = saved;
        clip_pos();
        if (tracing) trace(EV_PAREN_);
    }
    // The value of insert and change: a paren's result, a word's value, else the value itself.
    void value_arg(const Cell* v_in, Kw kw, Cell* out) {
        Cell v = *v_in;
        if (v.is(T_PAREN)) return eval_paren(&v, out);
        if (v.is(T_WORD)) { *out = *word_value(&v); return; }
        if (is_any_path(v.type())) {
            Cell k = word_cell(kw == KW_INSERT ? "insert" : "change");
            fire_error(Err::ParseRule, &k);
        }
        *out = v;
    }

    // ---- Matching (no allocation)

    uint32_t char_at(const uint8_t* base, uint32_t unit, uint32_t p) {
        return unit_get(base + uint64_t(p) * unit, unit);
    }
    bool same_char(uint32_t a, uint32_t b) { return a == b || (!cs && fold_upper(a) == fold_upper(b)); }

    // Text of a string value at position p of string input; the length matched or -1.
    int64_t match_text(uint32_t p, uint32_t e, const Cell* v, bool tag) {
        Series* in = value_series(input());
        uint32_t iu = in->unit();
        const uint8_t* ib = in->head_ptr();
        Series* vs = value_series(v);
        uint32_t vu = vs->unit(), vn = units_of(vs), vi = std::min(series_index(v), vn), m = vn - vi;
        uint32_t need = m + (tag ? 2 : 0);
        if (e - p < need) return -1;
        if (tag) {
            if (char_at(ib, iu, p) != '<' || char_at(ib, iu, p + m + 1) != '>') return -1;
            ++p;
        }
        const uint8_t* vb = vs->head_ptr() + uint64_t(vi) * vu;
        return same_text_units(ib + uint64_t(p) * iu, iu, vb, vu, m, cs) ? int64_t(need) : -1;
    }
    int64_t match_bytes(uint32_t p, uint32_t e, const uint8_t* b, uint32_t n) {
        if (e - p < n) return -1;
        const uint8_t* ib = value_series(input())->head_ptr() + p;
        return std::memcmp(ib, b, n) == 0 ? int64_t(n) : -1;
    }

    // Does v match at position p (p <= e)? The length matched, or -1. Text on string input
    // folds case unless case-sensitive; on binary input a text matches its UTF-8 bytes exactly,
    // a char! or integer! one byte. literal: datatypes,
    // typesets and lit-words are values, not type tests (quote). Datatypes on binary input are
    // matched by the caller (the lexer allocates).
    int64_t match_at(const Cell* v, uint32_t p, uint32_t e, bool literal) {
        TypeId t = v->type();
        switch (ikind) {
        case IN_STRING: {
            if (t == T_CHAR) {
                if (p >= e) return -1;
                Series* in = value_series(input());
                return same_char(char_at(in->head_ptr(), in->unit(), p), v->data2) ? 1 : -1;
            }
            if (t == T_BITSET) {
                if (p >= e) return -1;
                Series* in = value_series(input());
                return bitset_has(v, char_at(in->head_ptr(), in->unit(), p)) ? 1 : -1;
            }
            if (is_any_string(t)) return match_text(p, e, v, t == T_TAG);
            if (!literal && (t == T_DATATYPE || t == T_TYPESET)) fire_error(Err::ParseUnsupported);
            return -1;
        }
        case IN_BINARY: {
            if (t == T_CHAR || t == T_INTEGER) {
                if (p >= e) return -1;
                uint32_t want = v->data2;   // the code point, or the integer (negative: no byte)
                if (want > 255) return -1;
                return value_series(input())->head_ptr()[p] == want ? 1 : -1;
            }
            if (t == T_BITSET) {
                if (p >= e) return -1;
                return bitset_has(v, value_series(input())->head_ptr()[p]) ? 1 : -1;
            }
            if (t == T_BINARY) {
                Series* vs = value_series(v);
                uint32_t vn = vs->length(), vi = std::min(series_index(v), vn);
                return match_bytes(p, e, vs->head_ptr() + vi, vn - vi);
            }
            if (is_any_string(t)) {
                utf8_of(v, t == T_TAG, scratch);
                return match_bytes(p, e, reinterpret_cast<const uint8_t*>(scratch.data()),
                                   uint32_t(scratch.size()));
            }
            return -1;
        }
        case IN_BLOCK: {
            if (p >= e) return -1;
            const Cell* el = value_series(input())->cell_at(p);
            if (!literal) {
                if (t == T_DATATYPE) return el->type() == TypeId(v->data1) ? 1 : -1;
                if (t == T_TYPESET) return typeset_has(v, el->type()) ? 1 : -1;
                if (t == T_LIT_WORD) {
                    if (!el->is(T_WORD)) return -1;
                    bool same = cs ? el->data2 == v->data2
                                   : symbol_resolve(el->data2) == symbol_resolve(v->data2);
                    return same ? 1 : -1;
                }
            }
            return compare_values(el, v, cs ? CMP_STRICT_EQUAL : CMP_EQUAL) == 0 ? 1 : -1;
        }
        }
        return -1;
    }

    // A datatype or typeset against the next token of binary input (the lexer in scan mode).
    int64_t match_token_type(const Cell* v_in, uint32_t p, uint32_t e) {
        if (p >= e) return -1;
        Rooted v(*v_in);
        Rooted bin(input_at(p));
        Rooted answer;
        LexerCall call;
        call.flags = LEX_SCAN | LEX_ONE;
        LexerReport r = lexer_load_binary(answer.get(), bin.get(), int32_t(e - p), call);
        clip_pos();
        if (r.type <= 0 || r.units == 0) return -1;
        bool hit = v->is(T_DATATYPE) ? uint32_t(r.type) == v->data1 : typeset_has(v.get(), uint32_t(r.type));
        return hit ? int64_t(r.units) : -1;
    }

    // Matches one value at pos and moves past it.
    bool match_value(const Cell* v, bool literal) {
        uint32_t e = end();
        if (pos > e) pos = e;
        int64_t n;
        if (ikind == IN_BINARY && !literal && (v->is(T_DATATYPE) || v->is(T_TYPESET)))
            n = match_token_type(v, pos, e);
        else
            n = match_at(v, pos, e, literal);
        bool ok = n >= 0;
        if (ok) pos += uint32_t(n);
        last_match = ok;
        if (tracing) trace(EV_MATCH_);
        return ok;
    }

    // Fast repetition of one simple value.
    bool repeat_value(const Cell* v_in, int32_t min, int32_t max) {
        Cell v = *v_in;   // no allocation below, except in the trace
        uint32_t e = end();
        if (pos > e) pos = e;
        int32_t count = 0;
        if (ikind == IN_STRING && (v.is(T_CHAR) || v.is(T_BITSET))) {
            Series* in = value_series(input());
            const uint8_t* base = in->head_ptr();
            uint32_t unit = in->unit();
            uint32_t limit = e - pos;
            if (max >= 0 && uint32_t(max) < limit) limit = uint32_t(max);
            uint32_t n;
            if (v.is(T_CHAR)) {
                uint32_t c = v.data2, fc = fold_upper(c);
                if (cs) n = run_of_units(base, unit, pos, limit, [c](uint32_t x) { return x == c; });
                else n = run_of_units(base, unit, pos, limit,
                                      [c, fc](uint32_t x) { return x == c || fold_upper(x) == fc; });
            } else {
                Series* bs = value_series(&v);
                const uint8_t* bits = bs->head_ptr();
                uint32_t nbits = bs->used() * 8;
                bool outside = (bs->flags & BITSET_COMPLEMENT) != 0;
                n = run_of_units(base, unit, pos, limit, [bits, nbits, outside](uint32_t x) {
                    return x < nbits ? (bits[x >> 3] & (0x80 >> (x & 7))) != 0 : outside;
                });
            }
            pos += n;
            count = int32_t(n);
        } else {
            while (max < 0 || count < max) {
                int64_t n = match_at(&v, pos, e, false);
                if (n < 0) break;
                ++count;
                if (n == 0) break;   // an empty match would repeat forever
                pos += uint32_t(n);
            }
        }
        bool ok = count >= min;
        last_match = ok;
        if (tracing) trace(EV_MATCH_);
        return ok;
    }

    // Fast search of one value for to/thru.
    bool search_value(const Cell* v_in, bool thru) {
        Cell v = *v_in;
        TypeId t = v.type();
        if (ikind == IN_BINARY && !(is_any_string(t) || t == T_BINARY)) fire_error(Err::ParseRule, &v);
        uint32_t e = end();
        if (pos > e) pos = e;
        bool ok = false;
        for (uint32_t p = pos; p <= e; ++p) {
            int64_t n = match_at(&v, p, e, false);
            if (n >= 0) {
                pos = thru ? p + uint32_t(n) : p;
                ok = true;
                break;
            }
        }
        last_match = ok;
        if (tracing) trace(EV_MATCH_);
        return ok;
    }

    // ---- Edits of the input

    // The span [from, to) clipped to the input; to never below from.
    void span(uint32_t& from, uint32_t& to) {
        uint32_t e = input_len();
        from = std::min(from, e);
        to = std::min(std::max(to, from), e);
    }
    void copy_span(uint32_t from, uint32_t to, Cell* out) {
        TypeId t = input()->type();
        if (is_any_string(t) || t == T_BINARY || t == T_BLOCK) {
            uint32_t header = t | (input()->header & CELL_NEWLINE);
            Node copy = copy_series_part(series_node(input()), from, to - from);
            *out = Cell{header, 0, copy, 0};
            return;
        }
        Cell* c = stack_push_slot();
        *c = input_at(from);
        Cell part = make_integer(int32_t(to - from));
        copy_typed(c, c, &part, false, nullptr);
        *out = *c;
        stack_pop();
    }
    void remove_span(uint32_t from, uint32_t to) {
        if (to <= from) return;
        Cell* c = stack_push_slot();
        *c = input_at(from);
        Cell part = make_integer(int32_t(to - from));
        remove_typed(c, &part, nullptr);
        stack_pop();
    }
    // Replaces [from, to) with value; answers the position after the new part.
    uint32_t change_span(uint32_t from, uint32_t to, const Cell* value, bool only) {
        Cell* c = stack_push_slot();
        *c = input_at(from);
        Cell* v = stack_push(value);
        uint32_t before = input_len();
        change_typed(c, v, int32_t(to - from), only, 1);
        stack_pop(2);
        int64_t after = int64_t(from) + (to - from) + (int64_t(input_len()) - before);
        return uint32_t(std::max<int64_t>(after, from));
    }
    uint32_t insert_at(uint32_t at, const Cell* value, bool only) {
        Cell* c = stack_push_slot();
        *c = input_at(at);
        Cell* v = stack_push(value);
        uint32_t before = input_len();
        insert_typed(c, v, -1, only, 1, false);
        stack_pop(2);
        return at + (input_len() - before);
    }

    // What the word after remove or change stands for: the position it holds in the current
    // input, or -1 when its value is a rule (a bitset, a char, a datatype, a sub-rule block...).
    // Any other series is a position in another series (a mark left in an earlier input, in an
    // outer level of `into`, or in an unrelated value): parse-invalid-ref, not a text to match.
    int64_t word_mark(const Cell* w) {
        const Cell* v = word_value(w);
        if (!is_series_type(v->type())) return -1;
        Node n = series_node(v);
        if (n == series_node(input())) return series_index(v);
        if (v->is(T_BLOCK)) {
            bool outer_input = false;
            for (uint32_t i = ientry + 3; i < itop; ++i)
                if (series_node(stack_cell(IN_STACK, i)) == n) outer_input = true;
            if (!outer_input) return -1;
        }
        fire_error(Err::ParseInvalidRef, w);
    }

    // ---- Collecting

    // Kind-cell index of the first frame of this call at or below kind cell t whose kind
    // satisfies pred; 0 for none.
    template <class Pred>
    uint32_t find_frame(int64_t t, Pred pred) {
        while (t >= int64_t(rbase) + 2) {
            int32_t k = kind(uint32_t(t));
            if (pred(k)) return uint32_t(t);
            t -= frame_size(k);
        }
        return 0;
    }
    int64_t top_index() { return int64_t(stack_cells(RULE_STACK)) - 1; }
    // Kind-cell index of the innermost collect frame of this call, 0 for none.
    uint32_t collect_frame() {
        return find_frame(top_index(), [](int32_t k) { return k == K_COLLECT; });
    }
    void collect_append(const Cell* value) {
        uint32_t t = collect_frame();
        if (!t) fire_error(Err::ParseKeep);
        Rooted v(*value);
        Rooted b(*rs(t - 3));
        block_append_value(b.get(), v.get());
    }
    void keep_span(uint32_t from, uint32_t to, bool pick) {
        span(from, to);
        if (pick) {
            for (uint32_t p = from; p < to && p < input_len(); ++p) {
                Cell item;
                Cell at = input_at(p);
                series_item_at(&at, p, &item);
                collect_append(&item);
            }
            return;
        }
        // one element as itself; none or several as a copy (an empty match keeps an empty series)
        Rooted v;
        if (to - from == 1) {
            Cell item;
            Cell at = input_at(from);
            series_item_at(&at, from, &item);
            v.value = item;
        } else {
            copy_span(from, to, v.get());
        }
        collect_append(v.get());
    }
    // A collect frame ends: its block goes where the frame says.
    void finish_collect(uint32_t t) {
        Rooted b(*rs(t - 3));
        int32_t arg = farg(t);
        int32_t mode = arg & 3;
        uint32_t wpos = uint32_t(arg) >> 2;
        Rooted word(make_none());
        Series* fb = value_series(rs(t - 1));
        if (mode != C_PLAIN && wpos < fb->length()) word.value = *fb->cell_at(wpos);
        if (mode == C_PLAIN) {
            // nested: one value of the outer collection; at the top: PARSE's result
            uint32_t outer = find_frame(int64_t(t) - 4, [](int32_t k) { return k == K_COLLECT; });
            if (outer) {
                Rooted ob(*rs(outer - 3));
                block_append_value(ob.get(), b.get());
            } else if (stack_cell(IN_STACK, ientry + 1)->is(T_BLOCK)) {
                // a later top-level collection adds to the result of the first one
                Rooted result(*stack_cell(IN_STACK, ientry + 1));
                block_append_block(result.get(), b.get());
            } else {
                *stack_cell(IN_STACK, ientry + 1) = b.value;
            }
            return;
        }
        if (!word->is(T_WORD)) return;
        if (mode == C_SET) return set_word(word.get(), b.get());
        Rooted target(*word_value(word.get()));
        check_collect_target(target.get());
        uint32_t before = series_length_from_start(target.get());
        insert_typed(target.get(), b.get(), -1, false, 1, false);
        if (mode == C_AFTER) {
            Cell moved = *word_value(word.get());
            moved.data1 = std::min(series_index(&moved), before) +
                          (series_length_from_start(target.get()) - before);
            set_word(word.get(), &moved);
        }
        clip_pos();
    }
    void check_collect_target(const Cell* target) {
        TypeId tt = target->type(), it = input()->type();
        bool series = is_series_type(tt) && tt != T_VECTOR && tt != T_IMAGE;
        bool compatible = tt == it ||
                          (tt != T_BINARY && !(is_any_block(it) && is_any_string(tt)));
        if (!series || !compatible) fire_error(Err::ParseIntoType);
        if (series_node(target) == series_node(input())) fire_error(Err::ParseIntoBad);
    }

    // ---- break and reject

    void unwind_frame_for_break(uint32_t t) {
        int32_t k = kind(t);
        if (k == K_INTO) {
            uint32_t back = marker(t)->data2;
            stack_cut(IN_STACK, itop);
            --itop;
            input_kind();
            pos = clip(back);
        } else if (k == K_CASE) {
            cs = farg(t) != 0;
        } else if (k == K_COLLECT) {
            finish_collect(t);
        }
        pop_frame();
    }
    // Ends the innermost loop of this call: break succeeds, reject fails. Without a loop the
    // current rule succeeds or fails.
    bool break_loop(bool is_break) {
        uint32_t loop = find_frame(top_index(), [](int32_t k) { return k == K_LOOP || k == K_WHILE; });
        if (!loop) return is_break;
        while (top() > loop) unwind_frame_for_break(top());
        if (!is_break) pos = clip(marker(loop)->data2);
        pop_frame();
        return is_break;
    }

    // ---- Rules matched at once, without frames (never while tracing: a frame's events would
    // be missing)

    // A block of simple values between bars (["the" | "and" | #"x"]) tried at the position in
    // turn, as its frame would: the first that matches ends it, and what follows is not looked
    // at, as the frame skips it. Answers false, having changed nothing, for any other block.
    bool value_alternatives(const Cell* block, bool& ok) {
        if (tracing) return false;
        Series* s = value_series(block);   // matching allocates nothing: s stays put
        uint32_t n = cells_of(s), j = series_index(block);
        if (j >= n) return false;
        uint32_t e = end();
        uint32_t at = std::min(pos, e);
        for (;; j += 2) {
            const Cell* c = s->cell_at(j);
            if (!simple_value(c->type())) return false;
            bool last = j + 1 == n;
            if (!last) {
                // a bar must follow, and something after it (a bar at the end is the frame's error)
                const Cell* bar = s->cell_at(j + 1);
                if (!bar->is(T_WORD) || keyword_of(bar) != KW_BAR || j + 2 >= n) return false;
            }
            int64_t m = match_at(c, at, e, false);
            if (m >= 0 || last) {
                ok = m >= 0;
                pos = ok ? at + uint32_t(m) : at;
                break;
            }
        }
        last_match = ok;
        return true;
    }

    // The simple value at rule position at, or the one a word there names; null for anything else.
    const Cell* simple_at(uint32_t at) {
        Series* s = rseries();
        if (at >= cells_of(s)) return nullptr;
        const Cell* c = s->cell_at(at);
        if (c->is(T_WORD)) {
            if (keyword_of(c)) return nullptr;
            c = word_value(c);
        }
        return simple_value(c->type()) ? c : nullptr;
    }

    // `not` or `ahead` before a simple value: the match at the position, which does not move.
    // Answers false, doing nothing, for any other rule.
    bool lookahead_value(bool negate, bool& ok) {
        if (tracing) return false;
        const Cell* v = simple_at(rpos);
        if (!v) return false;
        uint32_t e = end();
        if (pos > e) pos = e;
        bool hit = match_at(v, pos, e, false) >= 0;
        ++rpos;
        ok = negate ? !hit : hit;
        last_match = ok;
        return true;
    }

    // The next rule when it is a simple value, or any/some/opt before one: matched at once.
    // Answers false, doing nothing, for any other rule.
    bool value_rule(bool& ok) {
        if (tracing) return false;
        Series* s = rseries();
        if (rpos >= cells_of(s)) return false;
        const Cell* c = s->cell_at(rpos);
        int32_t min = 1, max = 1;
        uint32_t at = rpos;
        Kw kw = c->is(T_WORD) ? keyword_of(c) : KW_NOT_KEYWORD;
        if (kw == KW_ANY) min = 0, max = -1;
        else if (kw == KW_SOME) min = 1, max = -1;
        else if (kw == KW_OPT) min = 0, max = 1;
        else if (kw) return false;
        if (kw) ++at;
        const Cell* v = simple_at(at);
        if (!v) return false;
        rpos = at + 1;
        Cell value = *v;
        ok = kw ? repeat_value(&value, min, max) : match_value(&value, false);
        return true;
    }

    // ---- The machine

    [[noreturn]] void parse_end(const Cell* keyword) { fire_error(Err::ParseEnd, keyword); }
    void need_more(const Cell* keyword) {
        if (rpos >= cells_of(rseries())) parse_end(keyword);
    }
    // Reads the `only` word that may follow insert or change; a value must come after it.
    bool take_only(const Cell* keyword) {
        need_more(keyword);
        bool only = word_is(rseries()->cell_at(rpos), s_sym_only);
        if (only) {
            ++rpos;
            need_more(keyword);
        }
        return only;
    }

    // Ends the current sub-rule frame with a result. Answers whether a result is to be delivered.
    bool finish_block(bool result, bool& ok) {
        pop_frame();
        if (stack_cells(RULE_STACK) <= rbase) {
            done = true;
            final_ok = result;
            return false;
        }
        ok = result;
        return true;
    }

    bool setup_loop(const Cell* keyword, int32_t min, int32_t max, bool is_while, bool& ok) {
        need_more(keyword);
        const Cell* target = rseries()->cell_at(rpos);
        // a word naming a simple value repeats as fast as the value itself
        if (!is_while && target->is(T_WORD) && !keyword_of(target)) {
            const Cell* val = word_value(target);
            if (simple_value(val->type())) target = val;
        }
        if (!is_while && simple_value(target->type())) {
            ++rpos;
            ok = repeat_value(target, min, max);
            return true;
        }
        if (max == 0 && !(target->is(T_WORD) && keyword_of(target))) {
            ++rpos;
            ok = true;
            return true;
        }
        Cell bounds = make_pair(min, max);
        push_modifier(is_while ? K_WHILE : K_LOOP, 0, &bounds);
        return false;
    }

    // Reads the next rule value and acts on it. Answers true when a rule result (ok) is ready.
    bool fetch(bool& ok) {
        if (rpos >= cells_of(rseries())) {
            if (kind(top()) != K_BLOCK) { ok = true; return true; }   // a modifier with no rule
            return finish_block(true, ok);
        }
        if (tracing) {
            trace(EV_FETCH_);
            if (rpos >= cells_of(rseries())) return fetch(ok);
        }
        Series* s = rseries();
        uint32_t n = cells_of(s);
        Cell v = *s->cell_at(rpos);
        switch (v.type()) {
        case T_WORD: {
            Kw kw = keyword_of(&v);
            if (kw == KW_BAR) {
                if (kind(top()) != K_BLOCK) { ok = true; return true; }
                if (rpos + 1 >= n) parse_end(&v);
                rpos = n;
                return finish_block(true, ok);
            }
            ++rpos;
            if (kw) return keyword(kw, &v, ok);
            const Cell* val = word_value(&v);
            if (val->is(T_BLOCK)) {
                if (value_alternatives(val, ok)) return true;
                push_block(val);
                return false;
            }
            Rooted value(*val);
            ok = match_value(value.get(), false);
            return true;
        }
        case T_SET_WORD: {
            ++rpos;
            clip_pos();
            Cell at = input_at(pos);
            set_word(&v, &at);
            ok = true;
            return true;
        }
        case T_GET_WORD: {
            ++rpos;
            const Cell* val = word_value(&v);
            if (!is_series_type(val->type()) || series_node(val) != series_node(input()))
                fire_error(Err::ParseInvalidRef, &v);
            pos = clip(series_index(val));
            ok = true;
            return true;
        }
        case T_PAREN: {
            ++rpos;
            Rooted r;
            eval_paren(&v, r.get());
            ok = true;
            return true;
        }
        case T_BLOCK:
            ++rpos;
            if (value_alternatives(&v, ok)) return true;
            push_block(&v);
            return false;
        case T_INTEGER: {
            ++rpos;
            int32_t min = cell_integer(&v), max = min;
            if (rpos < n && s->cell_at(rpos)->is(T_INTEGER)) {
                max = cell_integer(s->cell_at(rpos));
                ++rpos;
            }
            if (min < 0 || max < min) {
                Cell bad = make_integer(min < 0 ? min : max);
                fire_error(Err::OutOfRange, &bad);
            }
            return setup_loop(&v, min, max, false, ok);
        }
        default:
            ++rpos;
            {
                Rooted value(v);
                ok = match_value(value.get(), false);
            }
            return true;
        }
    }

    bool keyword(Kw kw, const Cell* kwcell, bool& ok) {
        Cell k = *kwcell;
        switch (kw) {
        case KW_ANY: return setup_loop(&k, 0, -1, false, ok);
        case KW_SOME: return setup_loop(&k, 1, -1, false, ok);
        case KW_OPT: return setup_loop(&k, 0, 1, false, ok);
        case KW_WHILE: return setup_loop(&k, 0, -1, true, ok);
        case KW_SKIP: {
            clip_pos();
            ok = pos < end();
            if (ok) ++pos;
            last_match = ok;
            if (tracing) trace(EV_MATCH_);
            return true;
        }
        case KW_END:
            clip_pos();
            ok = pos >= end();
            last_match = ok;
            if (tracing) trace(EV_MATCH_);
            return true;
        case KW_NONE: ok = true; return true;
        case KW_FAIL: ok = false; return true;
        case KW_BREAK: ok = break_loop(true); return true;
        case KW_REJECT: ok = break_loop(false); return true;
        case KW_TO:
        case KW_THRU: {
            need_more(&k);
            bool thru = kw == KW_THRU;
            Cell target = *rseries()->cell_at(rpos);
            if (target.is(T_WORD)) {
                Kw tk = keyword_of(&target);
                if (tk == KW_END) {
                    ++rpos;
                    pos = end();
                    ok = true;
                    return true;
                }
                if (!tk) {
                    const Cell* val = word_value(&target);
                    if (!val->is(T_BLOCK) && !val->is(T_PAREN)) {
                        ++rpos;
                        Rooted value(*val);
                        ok = search_value(value.get(), thru);
                        return true;
                    }
                }
            } else if (!target.is(T_BLOCK) && !target.is(T_PAREN) && !target.is(T_SET_WORD) &&
                       !target.is(T_GET_WORD) && !target.is(T_INTEGER)) {
                ++rpos;
                ok = search_value(&target, thru);
                return true;
            }
            push_modifier(thru ? K_THRU : K_TO, 0);
            return false;
        }
        case KW_AHEAD:
            if (lookahead_value(false, ok)) return true;
            push_modifier(K_AHEAD, 0);
            return false;
        case KW_NOT:
            if (lookahead_value(true, ok)) return true;
            push_modifier(K_NOT, 0);
            return false;
        case KW_INTO: {
            if (ikind != IN_BLOCK) {
                Cell t = make_datatype(input()->type());
                fire_error(Err::ParseBlock, &t);
            }
            need_more(&k);
            Rooted sub(*rseries()->cell_at(rpos));
            if (sub->is(T_WORD)) sub.value = *word_value(sub.get());
            if (!sub->is(T_BLOCK)) parse_end(&k);
            clip_pos();
            uint32_t e = end();
            if (pos >= e) { ++rpos; ok = false; return true; }
            Cell el = *value_series(input())->cell_at(pos);
            TypeId et = el.type();
            bool enterable = is_any_block(et) || is_any_string(et) || et == T_BINARY;
            if (!enterable) { ++rpos; ok = false; return true; }
            Rooted elr(el);
            push_modifier(K_INTO, 0);
            Cell* c = stack_grow(IN_STACK, 1);
            *c = elr.value;
            itop = stack_cells(IN_STACK) - 1;
            input_kind();
            pos = std::min(series_index(input()), input_len());
            ++rpos;
            push_block(sub.get());
            return false;
        }
        case KW_QUOTE: {
            need_more(&k);
            Rooted value(*rseries()->cell_at(rpos));
            ++rpos;
            ok = match_value(value.get(), true);
            return true;
        }
        case KW_IF: {
            if (rpos >= cells_of(rseries()) || !rseries()->cell_at(rpos)->is(T_PAREN)) parse_end(&k);
            Cell p = *rseries()->cell_at(rpos);
            ++rpos;
            Rooted r;
            eval_paren(&p, r.get());
            ok = truthy(r.get());
            last_match = ok;
            return true;
        }
        case KW_CASE: {
            if (rpos >= cells_of(rseries()) || !rseries()->cell_at(rpos)->is(T_WORD)) parse_end(&k);
            Cell w = *rseries()->cell_at(rpos);
            bool on = truthy(word_value(&w));
            ++rpos;
            push_modifier(K_CASE, cs ? 1 : 0);
            cs = on;
            return false;
        }
        case KW_SET:
        case KW_COPY: {
            if (rpos >= cells_of(rseries()) || !rseries()->cell_at(rpos)->is(T_WORD)) parse_end(&k);
            uint32_t wpos = rpos++;
            push_modifier(kw == KW_SET ? K_SET : K_COPY, int32_t(wpos));
            // the frame's rule starts after the word
            marker(top())->data1 = rpos;
            return false;
        }
        case KW_REMOVE: {
            need_more(&k);
            Cell next = *rseries()->cell_at(rpos);
            if (is_any_path(next.type())) fire_error(Err::ParseRule, &next);
            if (next.is(T_WORD) && !keyword_of(&next)) {
                int64_t mark = word_mark(&next);
                if (mark >= 0) {
                    ++rpos;
                    uint32_t from = uint32_t(mark), to = pos;
                    span(from, to);
                    remove_span(from, to);
                    pos = clip(from);
                    ok = true;
                    return true;
                }
            }
            push_modifier(K_REMOVE, 0);
            return false;
        }
        case KW_INSERT: {
            bool only = take_only(&k);
            Rooted value;
            Cell src = *rseries()->cell_at(rpos);
            ++rpos;
            value_arg(&src, KW_INSERT, value.get());
            clip_pos();
            pos = insert_at(pos, value.get(), only);
            clip_pos();
            ok = true;
            return true;
        }
        case KW_CHANGE: {
            bool only = take_only(&k);
            Cell next = *rseries()->cell_at(rpos);
            if (is_any_path(next.type())) fire_error(Err::ParseRule, &k);
            if (next.is(T_WORD) && !keyword_of(&next)) {
                int64_t mark = word_mark(&next);
                if (mark >= 0) {
                    ++rpos;
                    need_more(&k);
                    Cell src = *rseries()->cell_at(rpos);
                    ++rpos;
                    Rooted value;
                    value_arg(&src, KW_CHANGE, value.get());
                    uint32_t from = uint32_t(mark), to = pos;
                    span(from, to);
                    pos = clip(change_span(from, to, value.get(), only));
                    ok = true;
                    return true;
                }
            }
            push_modifier(only ? K_CHANGE_ONLY : K_CHANGE, 0);
            return false;
        }
        case KW_COLLECT: {
            int32_t mode = C_PLAIN;
            uint32_t wpos = 0;
            if (rpos < cells_of(rseries())) {
                const Cell* c = rseries()->cell_at(rpos);
                if (word_is(c, s_sym_set)) mode = C_SET;
                else if (word_is(c, s_sym_into)) mode = C_INTO;
                else if (word_is(c, s_sym_after)) mode = C_AFTER;
            }
            if (mode != C_PLAIN) {
                Cell how = *rseries()->cell_at(rpos);
                ++rpos;
                if (rpos >= cells_of(rseries()) || !rseries()->cell_at(rpos)->is(T_WORD)) parse_end(&how);
                wpos = rpos++;
                if (mode != C_SET) {
                    Cell w = *rseries()->cell_at(wpos);
                    Cell target = *word_value(&w);
                    check_collect_target(&target);
                }
            }
            Rooted b;
            block_make_at(b.get(), 8);   // room for a row of values before it grows
            push_modifier(K_COLLECT, mode | int32_t(wpos << 2), b.get());
            return false;
        }
        case KW_KEEP: {
            if (!collect_frame()) fire_error(Err::ParseKeep);
            need_more(&k);
            bool pick = false;
            if (word_is(rseries()->cell_at(rpos), s_sym_pick)) {
                pick = true;
                ++rpos;
                need_more(&k);
            }
            if (rseries()->cell_at(rpos)->is(T_PAREN)) {
                Cell p = *rseries()->cell_at(rpos);
                ++rpos;
                Rooted r;
                eval_paren(&p, r.get());
                if (pick && is_any_block(r->type())) {
                    Rooted items(r.value);
                    uint32_t n = series_length_from_start(items.get());
                    for (uint32_t i = series_index(items.get()); i < n; ++i) {
                        Cell item = *value_series(items.get())->cell_at(i);
                        collect_append(&item);
                        n = std::min(n, series_length_from_start(items.get()));
                    }
                } else {
                    collect_append(r.get());
                }
                ok = true;
                return true;
            }
            clip_pos();
            uint32_t start = pos;
            if (value_rule(ok)) {
                if (ok) keep_span(start, pos, pick);
                return true;
            }
            push_modifier(pick ? K_KEEP_PICK : K_KEEP, 0);
            return false;
        }
        default:
            break;
        }
        ok = false;
        return true;
    }

    // A rule result arrives at the modifier frame t. Answers whether a result goes on down.
    bool resume(uint32_t t, bool& ok) {
        int32_t k = kind(t);
        Cell* m = marker(t);
        uint32_t start = m->data2;
        switch (k) {
        case K_LOOP:
        case K_WHILE: {
            Cell* bounds = rs(t - 3);
            int32_t min = pair_x(bounds), max = pair_y(bounds);
            int32_t count = farg(t);
            if (max == 0) {
                pos = clip(start);
                pop_frame();
                ok = true;
                return true;
            }
            if (!ok) {
                pos = clip(start);
                pop_frame();
                ok = count >= min;
                return true;
            }
            ++count;
            rs(t)->data3 = uint32_t(count);
            uint32_t len = input_len();
            bool progress = pos != start || len < m->data3;
            if ((!progress && k == K_LOOP) || (max >= 0 && count >= max)) {
                pop_frame();
                ok = count >= min;
                return true;
            }
            m->data2 = pos;
            m->data3 = len;
            rpos = m->data1;
            if (tracing) trace(EV_ITERATE_);
            return false;
        }
        case K_TO:
        case K_THRU: {
            if (ok) {
                if (k == K_TO) pos = clip(start);
                pop_frame();
                return true;
            }
            uint32_t next = start + 1;
            if (next > end()) {
                pop_frame();
                return true;
            }
            m->data2 = next;
            pos = next;
            rpos = m->data1;
            return false;
        }
        case K_COPY:
        case K_SET: {
            if (ok) {
                uint32_t from = start, to = pos;
                span(from, to);
                Rooted value;
                if (k == K_COPY) {
                    copy_span(from, to, value.get());
                } else if (to > from) {
                    Cell item;
                    Cell at = input_at(from);
                    series_item_at(&at, from, &item);
                    value.value = item;
                } else {
                    value.value = make_none();
                }
                Series* fb = value_series(rs(t - 1));
                uint32_t wpos = uint32_t(farg(t));
                if (wpos < fb->length() && fb->cell_at(wpos)->is(T_WORD)) {
                    Cell w = *fb->cell_at(wpos);
                    set_word(&w, value.get());
                }
            }
            pop_frame();
            return true;
        }
        case K_NOT:
            ok = !ok;
            pos = clip(start);
            pop_frame();
            return true;
        case K_AHEAD:
            if (ok) pos = clip(start);
            pop_frame();
            return true;
        case K_REMOVE:
            if (ok) {
                uint32_t from = start, to = pos;
                span(from, to);
                remove_span(from, to);
                pos = clip(from);
            }
            pop_frame();
            return true;
        case K_KEEP:
        case K_KEEP_PICK:
            if (ok) keep_span(start, pos, k == K_KEEP_PICK);
            pop_frame();
            return true;
        case K_CHANGE:
        case K_CHANGE_ONLY: {
            Cell kwc = word_cell("change");
            need_more(&kwc);
            Cell src = *rseries()->cell_at(rpos);
            ++rpos;
            if (ok) {
                Rooted value;
                value_arg(&src, KW_CHANGE, value.get());
                uint32_t from = marker(top())->data2, to = pos;
                span(from, to);
                pos = clip(change_span(from, to, value.get(), k == K_CHANGE_ONLY));
            }
            pop_frame();
            return true;
        }
        case K_CASE:
            cs = farg(t) != 0;
            pop_frame();
            return true;
        case K_COLLECT:
            // a collection whose rule failed is dropped with the match
            if (ok) finish_collect(t);
            pop_frame();
            return true;
        case K_INTO: {
            bool whole = ok && pos >= end();
            stack_cut(IN_STACK, itop);
            --itop;
            input_kind();
            pos = clip(start + (whole ? 1 : 0));
            pop_frame();
            ok = whole;
            return true;
        }
        default:
            pop_frame();
            return true;
        }
    }

    // Skips to the next alternative of the current block; false when there is none.
    bool next_alternative() {
        Series* s = rseries();
        uint32_t n = cells_of(s);
        for (uint32_t i = rpos; i < n; ++i) {
            const Cell* c = s->cell_at(i);
            if (!c->is(T_WORD)) continue;
            Kw kw = keyword_of(c);
            if (kw == KW_QUOTE) { ++i; continue; }
            if (kw == KW_BAR) {
                if (i + 1 >= n) parse_end(c);
                rpos = i + 1;
                return true;
            }
        }
        return false;
    }

    bool run(const Cell* rules) {
        push_block(rules);
        bool ok = false, have = false;
        for (;;) {
            interp_poll_halt();
            if (done) break;
            if (!have) {
                have = fetch(ok);
                continue;
            }
            have = false;
            last_match = ok;
            uint32_t t = top();
            if (kind(t) == K_BLOCK) {
                if (ok) continue;
                pos = clip(marker(t)->data2);
                if (next_alternative()) continue;
                have = finish_block(false, ok);
                continue;
            }
            have = resume(t, ok);
        }
        clip_pos();
        return final_ok && pos >= end();
    }
};

// Cuts both stacks back to where a call found them, however it ends.
struct StackGuard {
    uint32_t rule_cells, input_cells;
    StackGuard() : rule_cells(stack_cells(RULE_STACK)), input_cells(stack_cells(IN_STACK)) {}
    ~StackGuard() {
        stack_cut(RULE_STACK, rule_cells);
        stack_cut(IN_STACK, input_cells);
    }
};

} // namespace

void parse_init() {
    s_buffers_valid = false;
    keywords_init();
    Node input_stack = alloc_cells(8);
    s_roots[IN_STACK] = node_series(g_root_block)->length();
    block_append(g_root_block, make_series(T_BLOCK, input_stack));
    Node rule_stack = alloc_cells(100);
    s_roots[RULE_STACK] = node_series(g_root_block)->length();
    block_append(g_root_block, make_series(T_BLOCK, rule_stack));
}

uint32_t parse_stack_cells(int which) { return stack_cells(which == 0 ? IN_STACK : RULE_STACK); }

void parse_engine(const Cell* input_in, const Cell* rules_in, bool case_sensitive, int64_t part_end,
                  const Cell* trace, Cell* result) {
    Rooted input(*input_in);
    Rooted rules(*rules_in);
    Rooted callback(trace ? *trace : make_none());
    StackGuard guard;
    Engine e;
    e.rbase = guard.rule_cells;
    e.ientry = guard.input_cells;
    e.cs = case_sensitive;
    e.part_end = part_end;
    e.tracing = trace != nullptr;
    {
        Cell* c = stack_grow(IN_STACK, 4);
        c[0] = Cell{T_TRIPLE, guard.rule_cells, guard.input_cells, 0};
        c[1] = make_none();
        c[2] = callback.value;
        c[3] = input.value;
    }
    e.itop = e.ientry + 3;
    e.input_kind();
    e.pos = std::min(series_index(input.get()), e.input_len());
    bool ok;
    try {
        ok = e.run(rules.get());
    } catch (ParseStop&) {
        ok = e.last_match;
    }
    Cell collected = *stack_cell(IN_STACK, e.ientry + 1);
    *result = collected.is(T_BLOCK) ? collected : make_logic(ok);
}

// ---- The native -------------------------------------------------------------------------------------

namespace {

void native_parse(bool, const int32_t* refs) {
    Rooted input(*stack_arg(0));
    Rooted rules(*stack_arg(1));
    bool case_sensitive = refs[0] >= 0;
    int64_t part_end = -1;
    if (refs[1] >= 0) {
        const Cell* len = stack_arg(uint32_t(refs[1]));
        uint32_t head = series_index(input.get());
        int64_t length;
        if (len->is(T_INTEGER)) {
            length = cell_integer(len);
        } else if (len->is(T_FLOAT) || len->is(T_PERCENT)) {
            double d = len->get_float();
            length = d != d ? 0 : d > 2147483647.0 ? 2147483647 : d < -2147483648.0 ? -2147483648LL : int64_t(d);
        } else if (is_series_type(len->type()) && series_node(len) == series_node(input.get())) {
            length = int64_t(series_index(len)) - head;
        } else {
            Cell part = word_cell("part");
            fire_error(Err::InvalidRefineArg, &part, len);
        }
        if (length < 1) {
            bool empty = series_index(input.get()) >= series_length_from_start(input.get());
            Cell r = make_logic(empty);
            stack_set_result(&r);
            return;
        }
        part_end = int64_t(head) + length;
    }
    const Cell* trace = refs[2] >= 0 ? stack_arg(uint32_t(refs[2])) : nullptr;
    Rooted result;
    parse_engine(input.get(), rules.get(), case_sensitive, part_end, trace, result.get());
    stack_set_result(result.get());
}

} // namespace

void natives_parse_register() { KEL_NATIVE_SLOT("parse", native_parse); }

} // namespace kel
