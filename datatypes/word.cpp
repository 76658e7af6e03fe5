// The word types: word!, set-word!, lit-word!, get-word! and refinement! (issue! is in issue.cpp).
//
// All share the cell of datatypes/words.h and the routines here; they differ only in their molded
// decoration and in what the interpreter does with them. Making words from names binds them to
// the global context (which gains the name when new); reading and setting go through the word's
// context (core/context.h) with the language's errors. Text conversions scan the text with the
// lexer, so `to word!` accepts exactly what the lexer reads as a word.
//
// Comparison: equality compares canonical symbols (letter case does not matter), strict equality
// the exact spelling, `same?` also the context and type; ordering compares the spellings as text.
#include "datatypes/words.h"

#include "core/case-fold.h"
#include "core/context.h"
#include "core/errors.h"
#include "core/runtime.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/unicode.h"
#include "core/words.h"
#include "datatypes/datatype.h"
#include "datatypes/string.h"
#include "evaluator/lexer.h"

#include "core/roots.h"

#include <string>

namespace kel {

// ---- Making ---------------------------------------------------------------------------------------

Cell* word_make_at(uint32_t symbol, Cell* cell) {
    Cell w{T_WORD, 0, symbol, uint32_t(-1)};
    int32_t i = context_add_word(g_global_context, &w);
    return init_cell(cell, T_WORD, g_global_context, symbol, uint32_t(i));
}

Cell* word_make_in(uint32_t symbol, Cell* block) {
    Cell w;
    word_make_at(symbol, &w);
    return block_append(series_node(block), w);
}

Cell* word_push_symbol(uint32_t symbol) {
    Cell w;
    word_make_at(symbol, &w);
    return stack_push(&w);
}

Cell* word_load(const char* name) {
    Cell* w = context_add_global(symbol_make(name), true, true);
    if (!g_root_collect) return w;
    return block_append(g_root_block, *w);
}

Cell* refinement_load(const char* name) {
    return block_append(g_root_block, refinement_make(symbol_make(name)));
}

Cell issue_make(uint32_t symbol) { return Cell{T_ISSUE, g_global_context, symbol, uint32_t(-1)}; }

Cell* issue_load(const char* name) {
    Cell issue = issue_make(symbol_make(name));
    return g_root_collect ? block_append(g_root_block, issue) : stack_push(&issue);
}

Cell* issue_make_at(Cell* cell, const char* name) {
    uint32_t symbol = symbol_make(name);
    *cell = issue_make(symbol);
    return cell;
}

// ---- Pushing --------------------------------------------------------------------------------------

namespace {

Cell* push_as(const Cell* word, TypeId t) {
    Cell* c = stack_push(word);
    return set_cell_type(c, t);
}

} // namespace

Cell* word_push(const Cell* word) { return stack_push(word); }
Cell* refinement_push(const Cell* word) { return push_as(word, T_REFINEMENT); }
Cell* get_word_push(const Cell* word) { return push_as(word, T_GET_WORD); }
Cell* issue_push(const Cell* word) { return push_as(word, T_ISSUE); }

Cell* refinement_push_from_context(Node ctx, uint32_t i) {
    return push_as(context_word_at(ctx, i), T_REFINEMENT);
}
Cell* get_word_push_from_context(Node ctx, uint32_t i) {
    return push_as(context_word_at(ctx, i), T_GET_WORD);
}

Cell* word_push_spelling(const Cell* word) {
    uint32_t symbol = word->data2;
    Cell str = make_series(T_STRING, symbol_cache_string(symbol), 0);
    return stack_push(&str);
}

// ---- Values ---------------------------------------------------------------------------------------

Cell* word_get_push(const Cell* word) {
    const Cell* v = word_get(word);
    if (v->is(T_UNSET)) fire_error(Err::NoValue, word);
    return stack_push(v);
}

Cell* get_word_push_value(const Cell* word) { return stack_push(word_get(word)); }

void word_set_from_stack() {
    Cell* args = stack_arguments();
    if (args[1].is(T_UNSET)) fire_error(Err::NeedValue, &args[0]);
    word_set(&args[0], &args[1]);
    args = stack_arguments();   // setting may have run a change handler
    args[0] = args[1];
}

// ---- Text ---

int32_t utf8_text_order(const uint8_t* pa, uint32_t la, const uint8_t* pb, uint32_t lb, int32_t op) {
    const uint8_t *ea = pa + la, *eb = pb + lb;
    bool fold = op != CMP_STRICT_EQUAL && op != CMP_CASE_SORT;
    while (pa < ea && pb < eb) {
        int32_t ca, cb;
        pa = decode_utf8_char(pa, ea, &ca);
        pb = decode_utf8_char(pb, eb, &cb);
        uint32_t a = uint32_t(ca), b = uint32_t(cb);
        if (fold) { a = fold_upper(a); b = fold_upper(b); }
        if (a != b) return a < b ? -1 : 1;
    }
    if (pa < ea) return 1;
    if (pb < eb) return -1;
    return 0;
}

const uint8_t* word_spelling(const Cell* word, uint32_t* length) {
    return symbol_name(word->data2, length);
}

int32_t word_form(const Cell* word, Cell* buffer, bool, int32_t budget) {
    uint32_t symbol = word->data2;
    if (!symbol_cell(symbol)) return budget;       // no such symbol: nothing to write
    Node spelling = symbol_cache_string(symbol);   // allocates: `word` is not read after this
    Cell str = make_series(T_STRING, spelling, 0);
    string_concatenate(buffer, &str, -1, 0, true, 0);
    return budget - int32_t(node_series(spelling)->length());
}

namespace {

int32_t decorated_mold(const Cell* word, Cell* buffer, uint32_t before, uint32_t after,
                       int32_t budget) {
    Cell w = *word;   // the buffer may move the caller's cell
    if (before) {
        string_append_char(node_series(series_node(buffer)), before);
        --budget;
    }
    budget = word_form(&w, buffer, false, budget);
    if (after) {
        string_append_char(node_series(series_node(buffer)), after);
        --budget;
    }
    return budget;
}

int32_t word_mold(const Cell* w, Cell* b, bool, bool, bool, bool, int32_t budget, int32_t) {
    return decorated_mold(w, b, 0, 0, budget);
}
int32_t set_word_mold(const Cell* w, Cell* b, bool, bool, bool, bool, int32_t budget, int32_t) {
    return decorated_mold(w, b, 0, ':', budget);
}
int32_t lit_word_mold(const Cell* w, Cell* b, bool, bool, bool, bool, int32_t budget, int32_t) {
    return decorated_mold(w, b, '\'', 0, budget);
}
int32_t get_word_mold(const Cell* w, Cell* b, bool, bool, bool, bool, int32_t budget, int32_t) {
    return decorated_mold(w, b, ':', 0, budget);
}
int32_t refinement_mold(const Cell* w, Cell* b, bool, bool, bool, bool, int32_t budget, int32_t) {
    return decorated_mold(w, b, '/', 0, budget);
}

bool word_lit_pair(const Cell* a, const Cell* b) {
    return (a->is(T_WORD) && b->is(T_LIT_WORD)) || (a->is(T_LIT_WORD) && b->is(T_WORD));
}

} // namespace

int32_t word_compare(const Cell* a, const Cell* b, int32_t op) {
    if ((b->is(T_ISSUE) && !a->is(T_ISSUE)) || !is_any_word(b->type())) return CMP_NOT_COMPARABLE;
    auto same_canonical = [&] { return symbol_resolve(a->data2) == symbol_resolve(b->data2); };
    switch (op) {
    case CMP_SAME:
        return a->data2 == b->data2 && a->data1 == b->data1 && a->type() == b->type() ? 0 : 1;
    case CMP_STRICT_EQUAL:
        return a->type() == b->type() && a->data2 == b->data2 ? 0 : 1;
    case CMP_FIND:
        if (word_lit_pair(a, b)) return a->data2 == b->data2 ? 0 : 1;
        return a->type() == b->type() && a->data2 == b->data2 ? 0 : 1;
    case CMP_STRICT_WORD:
        if (word_lit_pair(a, b)) return same_canonical() ? 0 : 1;
        return a->type() == b->type() && same_canonical() ? 0 : 1;
    case CMP_EQUAL: case CMP_NOT_EQUAL: case CMP_SEARCH:
        return same_canonical() ? 0 : 1;
    default:
        uint32_t la, lb;
        const uint8_t* pa = symbol_name(a->data2, &la);
        const uint8_t* pb = symbol_name(b->data2, &lb);
        return utf8_text_order(pa, la, pb, lb, op);
    }
}

namespace {

void word_index_q(Cell* value) {
    int32_t i = int32_t(value->data3);
    *value = i < 0 ? g_none_cell : make_integer(i + 1);
}

// The result of make/to: the value, retyped with a fresh header.
void retype_result(Cell* proto, const Cell& value, TypeId type) {
    *proto = value;
    proto->header = type;
}

// True when the symbol's spelling reads as a word!, set-word!, lit-word! or get-word!.
bool spelling_scans_as_word(uint32_t symbol) {
    uint32_t n;
    const uint8_t* p = symbol_name(symbol, &n);
    std::string text(reinterpret_cast<const char*>(p), n);   // the lexer may move the symbol's buffer
    int32_t t = lexer_scan_type(reinterpret_cast<const uint8_t*>(text.data()), uint32_t(text.size()));
    return t >= T_WORD && t <= T_GET_WORD;
}

// Loads a string! (or the one character of a char!) as one value: true with the value when it
// is of a word type.
bool load_word(const Cell* spec, Cell* out) {
    Rooted text(*spec);
    if (text->is(T_CHAR)) {
        uint32_t cp = text->data2;
        string_make_at(text.get(), 1, 1);
        string_append_char(node_series(series_node(text.get())), cp);
    }
    Rooted block(make_none());
    LexerCall call;
    lexer_load_string(block.get(), text.get(), -1, call);
    Series* s = node_series(series_node(block.get()));
    uint32_t head = series_index(block.get());
    if (s->length() != head + 1) return false;
    *out = *s->cell_at(head);
    return is_any_word(out->type());
}

[[noreturn]] void bad_to(TypeId type, const Cell* spec) {
    Cell dt = make_datatype(type);
    fire_error(Err::BadToArg, &dt, spec);
}

} // namespace

void word_make(Cell* proto, Cell* spec, TypeId type) {
    switch (spec->type()) {
    case T_WORD: case T_SET_WORD: case T_LIT_WORD: case T_GET_WORD:
        retype_result(proto, *spec, type);
        return;
    case T_REFINEMENT: case T_ISSUE: {
        // the spelling must read as a plain word kind
        Cell w = *spec;
        if (!spelling_scans_as_word(w.data2)) bad_to(type, spec);
        set_cell_type(&w, T_WORD);
        w.data1 = 0;
        w.data3 = uint32_t(-1);
        bind_word(g_global_context, &w);
        retype_result(proto, w, type);
        return;
    }
    case T_STRING: case T_CHAR: {
        Cell v;
        if (!load_word(spec, &v)) fire_error(Err::InvalidChars);
        retype_result(proto, v, type);
        return;
    }
    case T_DATATYPE: {
        TypeId t = TypeId(spec->data1);
        retype_result(proto, g_datatypes[t].word, type);
        return;
    }
    case T_LOGIC: {
        Cell w;
        word_make_at(sym(spec->data1 ? Sym::True : Sym::False), &w);
        retype_result(proto, w, type);
        return;
    }
    default:
        bad_to(type, spec);
    }
}

// ---- Registration -----------------------------------------------------------------------------------

namespace {

template <MoldFn Mold>
void register_child(TypeId id, const char* name, bool index_q) {
    ActionEntries e = action_entries(UNSUPPORTED);
    for (Action a : {A_MAKE, A_TO, A_FORM, A_COMPARE}) e[a - 1] = INHERIT;
    if (index_q) e[A_INDEX_Q - 1] = INHERIT;
    set_entry<A_MOLD>(e, Mold);
    register_datatype(id, T_WORD, name, e);
}

} // namespace

void word_init() {
    ActionEntries e = action_entries(UNSUPPORTED);
    set_entry<A_MAKE>(e, word_make);
    set_entry<A_TO>(e, word_make);
    set_entry<A_FORM>(e, word_form);
    set_entry<A_MOLD>(e, word_mold);
    set_entry<A_COMPARE>(e, word_compare);
    set_entry<A_INDEX_Q>(e, word_index_q);
    register_datatype(T_WORD, T_SYMBOL, "word!", e);
}
void lit_word_init() { register_child<lit_word_mold>(T_LIT_WORD, "lit-word!", true); }
void set_word_init() { register_child<set_word_mold>(T_SET_WORD, "set-word!", true); }
void get_word_init() { register_child<get_word_mold>(T_GET_WORD, "get-word!", true); }
void refinement_init() { register_child<refinement_mold>(T_REFINEMENT, "refinement!", false); }

} // namespace kel
