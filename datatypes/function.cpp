// function!: a function written in the language, with its spec checks and local-word collector.
//
// A function is made from a spec block and a body block. The spec is checked once, here, by
// function_validate_spec; a function context is made from its words (argument words, refinements,
// their arguments and the `/local` words, values on the data stack while a call runs), and a deep
// copy of the body is bound to that context. The interpreter builds the arguments cache from the
// spec on the first call (more-block cell 1). Nothing is compiled: more-block cells 2 and 4 stay
// unset and every call evaluates the body.
//
// Spec grammar, as the checker reads it left to right:
//   [attributes]  an optional first block of words; `trace` and `no-trace` set header flags
//   word / 'word / :word, each optionally followed by a type block, then a doc string
//   return: [types]  at most once, followed by the end, a refinement or a string
//   /refinement followed by its own arguments; /local followed by plain words
//   "doc strings" wherever a value may be skipped
// A structural fault raises script bad-func-def with the whole spec; a bad type-block entry
// invalid-type-spec; a type word without value no-value; a name given twice dup-vars.
//
// Making holds the collector off: the nodes kept in locals while the more block, the context and
// the body copy are allocated stay valid, and the new function is complete before anything can
// look at it.
#include "core/context.h"
#include "core/cycles.h"
#include "core/errors.h"
#include "core/hash.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/function.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"

#include <cstring>
#include <vector>

namespace kel {

namespace {

uint32_t canon(const char* name) { return symbol_resolve(symbol_make(name)); }

int32_t append_text(Cell* buffer, const char* text, int32_t budget) {
    string_concatenate_literal(buffer, text);
    return budget - int32_t(std::strlen(text));
}

bool is_arg_word(TypeId t) { return t == T_WORD || t == T_LIT_WORD || t == T_GET_WORD; }

// The spec's cells from its head, read again after anything that may allocate.
struct SpecView {
    Cell spec;
    const Cell* at(uint32_t i) const { return value_series(&spec)->cell_at(series_index(&spec) + i); }
    uint32_t size() const {
        uint32_t length = value_series(&spec)->length();
        uint32_t head = series_index(&spec);
        return head < length ? length - head : 0;
    }
};

[[noreturn]] void bad_spec(const Cell* spec) {
    Cell s = *spec;
    fire_error(Err::BadFuncDef, &s);
}

// Each entry of a type block must be (or be a word whose value is) a datatype!, a typeset! or a
// word!.
void check_type_block(const Cell* block_in) {
    Cell block = *block_in;
    uint32_t n = uint32_t(block_rs_length(&block));
    for (uint32_t i = 0; i < n; ++i) {
        Cell entry = *(block_rs_head(&block) + i);
        Cell value = entry;
        if (entry.is(T_WORD)) {
            if (!entry.data1) fire_error(Err::NoValue, &entry);
            value = *word_get(&entry);
            if (value.is(T_UNSET)) fire_error(Err::NoValue, &entry);
        }
        if (!value.is(T_DATATYPE) && !value.is(T_TYPESET) && !value.is(T_WORD))
            fire_error(Err::InvalidTypeSpec, &entry);
    }
}

} // namespace

uint32_t function_validate_spec(const Cell* spec_in) {
    // interning may allocate: the spec is read only afterwards
    const uint32_t sym_local = canon("local");
    const uint32_t sym_return = canon("return");
    const uint32_t sym_trace = canon("trace");
    const uint32_t sym_no_trace = canon("no-trace");
    SpecView v{*spec_in};
    uint32_t flags = 0;
    uint32_t n = v.size();
    uint32_t i = 0;
    if (n > 0 && v.at(0)->is(T_BLOCK)) {   // attribute block
        Cell attributes = *v.at(0);
        uint32_t count = uint32_t(block_rs_length(&attributes));
        for (uint32_t k = 0; k < count; ++k) {
            const Cell* a = block_rs_head(&attributes) + k;
            if (!a->is(T_WORD)) bad_spec(&v.spec);
            uint32_t s = symbol_resolve(a->data2);
            if (s == sym_trace) flags |= FUNC_FLAG_TRACE;
            else if (s == sym_no_trace) flags |= FUNC_FLAG_NO_TRACE;
        }
        i = 1;
    }
    bool return_seen = false, local_section = false;
    while (i < n) {
        Cell item = *v.at(i);
        TypeId t = item.type();
        const Cell* next = i + 1 < n ? v.at(i + 1) : nullptr;
        const Cell* after = i + 2 < n ? v.at(i + 2) : nullptr;
        switch (t) {
        case T_WORD: case T_LIT_WORD: case T_GET_WORD:
            if (local_section && t != T_WORD) bad_spec(&v.spec);
            if (next && next->is(T_STRING) && after && after->is(T_BLOCK)) bad_spec(&v.spec);
            if (return_seen && !local_section) bad_spec(&v.spec);
            if (next && next->is(T_BLOCK)) {
                Cell types = *next;
                check_type_block(&types);
                ++i;
            }
            ++i;
            break;
        case T_SET_WORD: {
            if (return_seen || local_section || symbol_resolve(item.data2) != sym_return)
                bad_spec(&v.spec);
            if (!next || !next->is(T_BLOCK)) bad_spec(&v.spec);
            if (after && !after->is(T_REFINEMENT) && !after->is(T_STRING)) bad_spec(&v.spec);
            Cell types = *next;
            check_type_block(&types);
            return_seen = true;
            i += 2;
            break;
        }
        case T_REFINEMENT:
            if (symbol_resolve(item.data2) == sym_local) local_section = true;
            else if (local_section || return_seen) bad_spec(&v.spec);
            if (next) {
                TypeId nt = next->type();
                if (!is_arg_word(nt) && nt != T_REFINEMENT && nt != T_SET_WORD && nt != T_STRING)
                    bad_spec(&v.spec);
            }
            ++i;
            break;
        case T_STRING:
            ++i;
            break;
        default:
            bad_spec(&v.spec);
        }
    }
    // the same name twice: the later entry is reported
    std::vector<uint32_t> names;
    for (uint32_t k = 0; k < n; ++k) {
        const Cell* c = v.at(k);
        if (!is_arg_word(c->type()) && !c->is(T_REFINEMENT)) continue;
        uint32_t s = symbol_resolve(c->data2);
        for (uint32_t seen : names)
            if (seen == s) {
                Cell dup = *c;
                fire_error(Err::DupVars, &dup);
            }
        names.push_back(s);
    }
    return flags;
}

Node function_make(const Cell* spec_in, const Cell* body_in, Node ctx, uint32_t flags) {
    Cell spec = *spec_in;
    Cell body = body_in ? *body_in : make_none();
    CollectorHold hold;
    // the function's spec always starts at index 0; heads beyond the tails are clipped
    Node spec_node = series_node(&spec);
    uint32_t length = node_series(spec_node)->length();
    uint32_t head = series_index(&spec) < length ? series_index(&spec) : length;
    if (head > 0) spec_node = copy_series_part(spec_node, head, length - head);
    spec = make_series(T_BLOCK, spec_node, 0);
    if (body.is(T_BLOCK)) block_rs_head(&body);

    Node more = alloc_cells_unset(FUNCTION_MORE_CELLS);
    bool own_context = ctx == 0;
    if (own_context) ctx = context_make_from_spec(&spec, true, false, CONTEXT_FUNCTION);
    Cell fn{uint32_t(T_FUNCTION) | (flags & (FUNC_FLAG_TRACE | FUNC_FLAG_NO_TRACE)), ctx, spec_node, more};
    stack_push(fn);
    *context_owner(ctx) = fn;

    Cell body_copy = make_none();
    if (body.is(T_BLOCK)) {
        body_copy = *block_clone(&body, true, true);
        stack_pop();
        if (own_context) bind_block(&body_copy, ctx, false);
    }
    Series* m = node_series(more);
    Cell* cells = reinterpret_cast<Cell*>(m->data());
    cells[MORE_BODY] = body_copy;
    m->tail = m->head + FUNCTION_MORE_CELLS * uint32_t(sizeof(Cell));
    return ctx;
}

void refinement_args_none(uint32_t n) {
    if (n == 0) return;
    stack_push(make_logic(false));
    for (uint32_t i = 1; i < n; ++i) stack_push(make_none());
}

int32_t function_count_locals(Node spec, uint32_t head, bool must_exist) {
    const uint32_t sym_local = canon("local");
    Series* s = node_series(spec);
    uint32_t n = s->length();
    for (uint32_t i = head; i < n; ++i) {
        const Cell* c = s->cell_at(i);
        if (c->is(T_REFINEMENT) && symbol_resolve(c->data2) == sym_local) {
            int32_t count = 1;
            for (uint32_t k = i + 1; k < n; ++k)
                if (s->cell_at(k)->is(T_WORD)) ++count;
            return count;
        }
    }
    return must_exist ? -1 : 0;
}

// ---- The local-word collector of `function` ----------------------------------------------------------

namespace {

struct Collector {
    std::vector<uint32_t> known;   // canonical symbols the spec names (or that were found)
    std::vector<uint32_t> found;   // the new locals, in their own spelling, in order
    uint32_t sym_foreach, sym_remove_each, sym_repeat;

    void candidate(uint32_t symbol) {
        uint32_t c = symbol_resolve(symbol);
        for (uint32_t k : known)
            if (k == c) return;
        known.push_back(c);
        found.push_back(symbol);
    }

    // Walks the cells of a block or paren deeply (no allocation: addresses stay valid).
    void walk(const Cell* block) {
        Node node = series_node(block);
        if (cycles_find(node)) return;   // a block that holds itself is walked once
        cycles_push(node);
        Series* s = node_series(node);
        uint32_t n = s->length();
        for (uint32_t i = series_index(block); i < n; ++i) {
            const Cell* c = s->cell_at(i);
            const Cell* next = i + 1 < n ? s->cell_at(i + 1) : nullptr;
            switch (c->type()) {
            case T_SET_WORD: candidate(c->data2); break;
            case T_WORD: {
                uint32_t w = symbol_resolve(c->data2);
                if (!next) break;
                if (w == sym_foreach || w == sym_remove_each) {
                    if (next->is(T_BLOCK)) {
                        Series* vars = value_series(next);
                        for (uint32_t k = series_index(next); k < vars->length(); ++k) {
                            const Cell* var = vars->cell_at(k);
                            if (is_arg_word(var->type())) candidate(var->data2);
                        }
                    } else if (next->is(T_WORD) || next->is(T_SET_WORD)) {
                        candidate(next->data2);
                    }
                } else if (w == sym_repeat && (next->is(T_WORD) || next->is(T_SET_WORD))) {
                    candidate(next->data2);
                }
                break;
            }
            case T_BLOCK: case T_PAREN: walk(c); break;
            default: break;
            }
        }
        cycles_pop();
    }
};

} // namespace

void function_collect_words(Cell* spec, const Cell* body_in) {
    const uint32_t sym_extern = canon("extern");
    const uint32_t sym_local_spelled = symbol_make("local");
    const uint32_t sym_local = symbol_resolve(sym_local_spelled);
    Collector col;
    col.sym_foreach = canon("foreach");
    col.sym_remove_each = canon("remove-each");
    col.sym_repeat = canon("repeat");

    CollectorHold hold;   // from here on node handles in locals stay valid
    Cell body = *body_in;
    Node spec_node = series_node(spec);
    uint32_t head = series_index(spec);
    uint32_t n = node_series(spec_node)->length();
    int32_t extern_at = -1;
    for (uint32_t i = head; i < n; ++i) {
        const Cell* c = node_series(spec_node)->cell_at(i);
        if (c->is(T_REFINEMENT) && symbol_resolve(c->data2) == sym_extern) {
            extern_at = int32_t(i);
            break;
        }
    }
    // every name of the spec is known; with /extern only words, blocks and strings may appear
    for (uint32_t i = head; i < n; ++i) {
        const Cell* c = node_series(spec_node)->cell_at(i);
        switch (c->type()) {
        case T_WORD: case T_SET_WORD: case T_LIT_WORD: case T_GET_WORD: case T_REFINEMENT:
            col.known.push_back(symbol_resolve(c->data2));
            break;
        case T_BLOCK: case T_STRING: break;
        default:
            if (extern_at >= 0) {
                Cell bad = *c;
                fire_error(Err::BadFuncExtern, &bad);
            }
        }
    }
    bool has_local = false;
    if (extern_at >= 0) {
        // the words after /extern stay external; those after a /local that follows them are
        // locals already
        uint32_t i = uint32_t(extern_at) + 1;
        while (i < n && node_series(spec_node)->cell_at(i)->is(T_WORD)) ++i;
        const Cell* r = i < n ? node_series(spec_node)->cell_at(i) : nullptr;
        if (r && r->is(T_REFINEMENT) && symbol_resolve(r->data2) == sym_local)
            for (++i; i < n && node_series(spec_node)->cell_at(i)->is(T_WORD); ++i)
                col.found.push_back(node_series(spec_node)->cell_at(i)->data2);
        Series* s = node_series(spec_node);
        s->tail = s->head + uint32_t(extern_at) * uint32_t(sizeof(Cell));
        n = uint32_t(extern_at);
    }
    for (uint32_t i = head; i < n; ++i) {
        const Cell* c = node_series(spec_node)->cell_at(i);
        if (c->is(T_REFINEMENT) && symbol_resolve(c->data2) == sym_local) has_local = true;
    }
    if (body.is(T_BLOCK) || body.is(T_PAREN)) col.walk(&body);
    if (col.found.empty()) return;
    if (!has_local) block_append(spec_node, Cell{T_REFINEMENT, 0, sym_local_spelled, 0xFFFFFFFF});
    for (uint32_t s : col.found)
        if (symbol_resolve(s) != sym_local) block_append(spec_node, Cell{T_WORD, 0, s, 0xFFFFFFFF});
}

// ---- Actions --------------------------------------------------------------------------------------

namespace {

// make function! [spec body]
void function_make_action(Cell* proto, Cell* spec, TypeId) {
    Cell arg = *spec;
    bool ok = arg.is(T_BLOCK) && block_rs_length(&arg) >= 2;
    if (ok) {
        const Cell* head = block_rs_head(&arg);
        ok = head[0].is(T_BLOCK) && head[1].is(T_BLOCK);
    }
    if (!ok) fire_error(Err::BadFuncDef, &arg);
    Cell fn_spec = block_rs_head(&arg)[0];
    Cell body = block_rs_head(&arg)[1];
    uint32_t flags = function_validate_spec(&fn_spec);
    function_make(&fn_spec, &body, 0, flags);
    *proto = *stack_top();
    stack_pop();
}

// reflect of function! and routine!: spec, body, words.
void function_reflect(Cell* value, uint32_t field_symbol) {
    uint32_t field = symbol_resolve(field_symbol);
    if (field == canon("spec")) {
        *value = function_spec_block(value);
    } else if (field == canon("body")) {
        *value = *function_more_cell(value, MORE_BODY);
    } else if (field == canon("words")) {
        Node ctx = function_context(value);
        CollectorHold hold;
        uint32_t n = context_word_count(ctx);
        Node block = alloc_cells(n ? n : 1);
        for (uint32_t i = 0; i < n; ++i) {
            Cell w = *context_word_at(ctx, i);
            set_cell_type(&w, T_WORD);
            w.data1 = ctx;
            w.data3 = i;
            block_append(block, w);
        }
        *value = make_series(T_BLOCK, block, 0);
    } else {
        fire_error(Err::NotDone);
    }
}

int32_t function_form(const Cell*, Cell* buffer, bool, int32_t budget) {
    return append_text(buffer, "?function?", budget);
}

int32_t function_mold(const Cell* value, Cell* buffer, bool, bool all, bool flat, bool part,
                      int32_t budget, int32_t indent) {
    CollectorHold hold;   // the spec and body cells below stay valid while text is appended
    Cell fn = *value;
    Cell spec = function_spec_block(&fn);
    Cell body = *function_more_cell(&fn, MORE_BODY);
    budget = append_text(buffer, "func ", budget);
    budget = mold_typed(&spec, buffer, false, all, flat, part, budget, indent);
    if (body.is(T_NONE)) return append_text(buffer, " none", budget);
    return mold_typed(&body, buffer, false, all, flat, part, budget, indent);
}

} // namespace


void function_init() {
    ActionEntries e = action_entries(UNSUPPORTED);
    set_entry<A_MAKE>(e, function_make_action);
    set_entry<A_REFLECT>(e, function_reflect);
    set_entry<A_FORM>(e, function_form);
    set_entry<A_MOLD>(e, function_mold);
    set_entry<A_COMPARE>(e, function_compare_more);
    register_datatype(T_FUNCTION, T_CONTEXT, "function!", e);
}

} // namespace kel
