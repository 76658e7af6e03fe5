// error!: making errors, their fields, the printed report, the captured call trace.
//
// An error is an object of ten fields (datatypes/error.h) copied from one prototype context made
// on first use. The catalogue that numbers and words them is system/catalog/errors once the
// environment has made it; until then the runtime's own table (core/errors.h), generated from the
// same catalogue source, answers the same questions. Both are reached through the small Catalog
// view below, so making, numbering and printing never depend on which one is there.
//
// Everything that allocates works from rooted cells (the data stack, Rooted, the caller's rooted
// error) and fetches field cells again after each allocation.
#include "datatypes/error.h"

#include "core/context.h"
#include "core/gc.h"
#include "core/memory.h"
#include "core/roots.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/words.h"
#include "datatypes/datatype.h"
#include "datatypes/object.h"
#include "datatypes/string.h"
#include "datatypes/words.h"
#include "evaluator/interpreter.h"

#include <climits>
#include <cstdio>
#include <cstring>

namespace kel {

namespace {

const char* const k_field_names[ERR_FIELD_COUNT] = {
    "code", "type", "id", "arg1", "arg2", "arg3", "near", "where", "stack", "files",
};

Node g_proto = 0;          // the prototype's context (0 until first use)
int32_t g_proto_class = 0;

void mark_prototype() {
    if (g_proto) collector_mark_context(&g_proto);
}

// ---- Looking up values by name --------------------------------------------------------------------

// The value of a symbol in a context (caseless), or null when absent or unreachable.
const Cell* field_in(Node ctx, uint32_t symbol) {
    if (!ctx || context_on_stack(ctx) || !context_cell(ctx)->data2) return nullptr;
    int32_t i = context_find_word(ctx, symbol, true);
    return i < 0 ? nullptr : context_value_at(ctx, uint32_t(i));
}
Node object_ctx(const Cell* v) { return v && v->is(T_OBJECT) ? v->data1 : 0; }

// system/<name> as an object context, 0 when there is none.
Node system_object(const char* name) {
    if (!g_global_context) return 0;
    const Cell* system = field_in(g_global_context, sym(Sym::System));
    return object_ctx(field_in(object_ctx(system), symbol_make(name)));
}

bool same_symbol(uint32_t a, uint32_t b) { return symbol_resolve(a) == symbol_resolve(b); }

// ---- The catalogue -------------------------------------------------------------------------------

// The runtime table's first row and row count of each category.
struct TableCategories {
    uint16_t first[size_t(ErrCat::Count_)];
    uint16_t count[size_t(ErrCat::Count_)];
    TableCategories() {
        for (size_t c = 0; c < size_t(ErrCat::Count_); ++c) first[c] = count[c] = 0;
        for (size_t i = size_t(Err::Count_); i-- > 0;) {
            size_t c = size_t(error_def(Err(i)).category);
            first[c] = uint16_t(i);
            ++count[c];
        }
    }
};
const TableCategories& table_categories() {
    static const TableCategories t;
    return t;
}

// The catalogue in use: system/catalog/errors when it exists (kel != 0), else the runtime table.
struct Catalog {
    Node kel;

    Catalog() {
        Node catalog = system_object("catalog");
        kel = object_ctx(field_in(catalog, symbol_make("errors")));
    }
    uint32_t categories() const { return kel ? context_word_count(kel) : uint32_t(ErrCat::Count_); }
    Node category_ctx(uint32_t c) const { return object_ctx(context_value_at(kel, c)); }
    uint32_t ids(uint32_t c) const {
        if (!kel) return table_categories().count[c];
        Node cat = category_ctx(c);
        return cat && context_word_count(cat) >= 2 ? context_word_count(cat) - 2 : 0;
    }
    uint32_t category_symbol(uint32_t c) const {
        return kel ? context_word_at(kel, c)->data2 : symbol_make(error_category_word(ErrCat(c)));
    }
    uint32_t id_symbol(uint32_t c, uint32_t p) const {
        if (kel) return context_word_at(category_ctx(c), p + 2)->data2;
        return symbol_make(error_def(Err(table_categories().first[c] + p)).id);
    }
    int32_t find_category(uint32_t symbol) const {
        for (uint32_t c = 0; c < categories(); ++c)
            if (same_symbol(category_symbol(c), symbol)) return int32_t(c);
        return -1;
    }
    int32_t find_id(uint32_t c, uint32_t symbol) const {
        if (kel) {
            Node cat = category_ctx(c);
            int32_t i = cat ? context_find_word(cat, symbol, true) : -1;
            return i >= 2 ? i - 2 : -1;
        }
        for (uint32_t p = 0; p < ids(c); ++p)
            if (same_symbol(id_symbol(c, p), symbol)) return int32_t(p);
        return -1;
    }
    // The category and id words: bound to the catalogue objects when they exist.
    Cell category_word(uint32_t c) const {
        uint32_t s = category_symbol(c);
        return kel ? Cell{T_WORD, kel, s, c} : Cell{T_WORD, 0, s, uint32_t(-1)};
    }
    Cell id_word(uint32_t c, uint32_t p) const {
        uint32_t s = id_symbol(c, p);
        return kel ? Cell{T_WORD, category_ctx(c), s, p + 2} : Cell{T_WORD, 0, s, uint32_t(-1)};
    }
};

// ---- Making ---------------------------------------------------------------------------------------

Node prototype_context() {
    if (g_proto) return g_proto;
    uint32_t symbols[ERR_FIELD_COUNT];
    for (uint32_t f = 0; f < ERR_FIELD_COUNT; ++f) symbols[f] = symbol_make(k_field_names[f]);
    g_proto = context_make(ERR_FIELD_COUNT, false, true, 0, CONTEXT_OBJECT);
    for (uint32_t f = 0; f < ERR_FIELD_COUNT; ++f) {
        Cell w{T_WORD, 0, symbols[f], uint32_t(-1)};
        context_add_word(g_proto, &w);
    }
    for (uint32_t f = 0; f < ERR_FIELD_COUNT; ++f) *context_value_at(g_proto, f) = g_none_cell;
    g_proto_class = object_new_class_id();
    *context_owner(g_proto) = Cell{T_ERROR, g_proto, uint32_t(g_proto_class), 0};
    return g_proto;
}

// A new error with every field none, in `out` (rooted).
Cell* error_new(Cell* out) {
    Node proto = prototype_context();
    *out = Cell{T_ERROR, proto, uint32_t(g_proto_class), 0};
    Node ctx = context_duplicate(out, CONTEXT_OBJECT);
    for (uint32_t f = 0; f < ERR_FIELD_COUNT; ++f) *context_value_at(ctx, f) = g_none_cell;
    *context_owner(ctx) = *out;
    return out;
}

void set_field(const Cell* error, ErrorField f, const Cell& v) { *error_field(error, f) = v; }

// Sets code, type and id from catalogue positions.
void set_code(const Cell* error, const Catalog& cat, uint32_t c, uint32_t p) {
    Cell type = cat.category_word(c);
    Cell id = cat.id_word(c, p);
    set_field(error, ERR_CODE, make_integer(int32_t(c * 100 + p)));
    set_field(error, ERR_TYPE, type);
    set_field(error, ERR_ID, id);
}

[[noreturn]] void spec_field_error(W which) { fire_error(Err::InvalidSpecField, runtime_word(which)); }

// Checks the type and id fields of a made error against the catalogue and computes its code.
void finish_from_words(const Cell* error) {
    Catalog cat;
    const Cell* type = error_field(error, ERR_TYPE);
    int32_t c = type->is(T_WORD) ? cat.find_category(type->data2) : -1;
    if (c < 0) spec_field_error(W::Type);
    const Cell* id = error_field(error, ERR_ID);
    if (!id->is(T_WORD)) spec_field_error(W::Id);
    int32_t p = cat.find_id(uint32_t(c), id->data2);
    if (p < 0) spec_field_error(W::Id);
    set_field(error, ERR_CODE, make_integer(c * 100 + p));
}

// ---- Text -----------------------------------------------------------------------------------------

uint32_t buffer_length(const Cell* buffer) { return node_series(series_node(buffer))->length(); }

void append_text(Cell* buffer, const char* text) {
    string_append_utf8(buffer, reinterpret_cast<const uint8_t*>(text), std::strlen(text));
}

// The text of a scalar whose type has no form or mold action yet (so that reports stay whole while
// datatypes are being built); false for other values.
bool plain_text(const Cell* v, char* buf, size_t room) {
    switch (v->type()) {
    case T_INTEGER: std::snprintf(buf, room, "%d", cell_integer(v)); return true;
    case T_NONE: std::snprintf(buf, room, "none"); return true;
    case T_LOGIC: std::snprintf(buf, room, "%s", v->data1 ? "true" : "false"); return true;
    case T_DATATYPE: std::snprintf(buf, room, "%s", type_name(TypeId(v->data1)) ? type_name(TypeId(v->data1)) : ""); return true;
    default: return false;
    }
}

// Appends a value molded (flat, with only as asked) or formed, cut after `limit` characters.
void append_value(Cell* buffer, const Cell* v, bool mold, bool only, int32_t limit) {
    Rooted value(*v);
    uint32_t start = buffer_length(buffer);
    TypeId t = value->type();
    auto mold_fn = action_impl<A_MOLD>(t);
    auto form_fn = action_impl<A_FORM>(t);
    char text[64];
    if ((mold ? !mold_fn : !form_fn) && plain_text(value.get(), text, sizeof text)) append_text(buffer, text);
    else if (mold && mold_fn) mold_fn(value.get(), buffer, only, false, true, true, limit, 0);
    else if (!mold && form_fn) form_fn(value.get(), buffer, true, limit);
    Series* s = node_series(series_node(buffer));
    if (s->length() - start > uint32_t(limit)) string_truncate_buffer(s, start + uint32_t(limit));
}

// The trace level of reports: system/state/stack-trace when it is an integer (1, the start-up
// setting, while there is no system/state).
int32_t stack_trace_level() {
    Node state = system_object("state");
    if (!state) return 1;
    const Cell* level = field_in(state, symbol_make("stack-trace"));
    return level && level->is(T_INTEGER) ? cell_integer(level) : 0;
}

// Makes the error internal/invalid-error with `offending` as its argument (the catalogue in use
// has that id: append_message makes sure of it).
void make_invalid(const Cell* error, const Cell& offending, const Catalog& cat) {
    Cell arg = offending;
    uint32_t c = uint32_t(ErrCat::Internal);
    int32_t p = cat.find_id(c, runtime_word(W::InvalidError)->data2);
    set_field(error, ERR_ARG1, arg);
    set_code(error, cat, c, uint32_t(p));
}

uint32_t cells_after_head(const Cell* block) {
    uint32_t n = node_series(series_node(block))->length(), i = series_index(block);
    return i < n ? n - i : 0;
}

// Appends a template's message: a string as it is; a block's strings as they are and the fields
// that its words name, one blank between elements.
void append_block_template(const Cell* error, Cell* buffer, const Cell* tpl, bool syntax) {
    Rooted block(*tpl);
    Node ctx = error->data1;
    for (uint32_t i = series_index(block.get());; ++i) {
        Series* s = node_series(series_node(block.get()));
        if (i >= s->length()) break;
        Cell el = *s->cell_at(i);
        if (i > series_index(block.get())) append_text(buffer, " ");
        if (is_any_string(el.type())) {
            string_concatenate(buffer, &el, -1, 0, true, 0);
        } else if (el.is(T_WORD) || el.is(T_GET_WORD)) {
            if (const Cell* v = field_in(ctx, el.data2)) append_value(buffer, v, !syntax, false, 80);
        }
    }
}

// The runtime table's template: ":argN" marks stand for the arguments.
void append_table_template(const Cell* error, Cell* buffer, const char* msg, bool syntax) {
    const char* run = msg;
    for (const char* m = msg;;) {
        bool arg = std::strncmp(m, ":arg", 4) == 0 && m[4] >= '1' && m[4] <= '3';
        if (arg || !*m) {
            string_append_utf8(buffer, reinterpret_cast<const uint8_t*>(run), size_t(m - run));
            if (!*m) break;
            append_value(buffer, error_field(error, ErrorField(ERR_ARG1 + (m[4] - '1'))), !syntax, false, 80);
            m += 5;
            run = m;
        } else {
            ++m;
        }
    }
}

// The first line after "*** ": the category's title, ": " and the message. A type or id that
// the catalogue lacks makes the error internal/invalid-error, naming the offending word.
void append_message(const Cell* error, Cell* buffer) {
    Catalog cat;
    uint32_t internal = uint32_t(ErrCat::Internal);
    if (cat.kel && (internal >= cat.categories() ||
                    cat.find_id(internal, runtime_word(W::InvalidError)->data2) < 0))
        cat.kel = 0;   // a catalogue that cannot word a malformed error: the table's
    int32_t c = -1, p = -1;
    for (;;) {
        const Cell* type = error_field(error, ERR_TYPE);
        c = type->is(T_WORD) ? cat.find_category(type->data2) : -1;
        if (c < 0) {
            make_invalid(error, *error_field(error, ERR_TYPE), cat);
            continue;
        }
        const Cell* id = error_field(error, ERR_ID);
        p = id->is(T_WORD) ? cat.find_id(uint32_t(c), id->data2) : -1;
        if (p < 0) {
            make_invalid(error, *error_field(error, ERR_ID), cat);
            continue;
        }
        break;
    }
    bool syntax = c == int32_t(ErrCat::Syntax);
    if (!cat.kel) {
        append_text(buffer, error_category_title(ErrCat(c)));
        append_text(buffer, ": ");
        append_table_template(error, buffer, error_def(Err(table_categories().first[c] + p)).message, syntax);
        return;
    }
    Node category = cat.category_ctx(uint32_t(c));
    Rooted title(*context_value_at(category, 1));
    Rooted tpl(*context_value_at(category, uint32_t(p) + 2));
    if (tpl->is(T_WORD)) {   // a template may name a field of the error
        const Cell* v = field_in(error->data1, tpl->data2);
        tpl.value = v ? *v : g_none_cell;
    }
    if (is_any_string(title->type())) string_concatenate(buffer, title.get(), -1, 0, true, 0);
    append_text(buffer, ": ");
    if (tpl->is(T_STRING)) string_concatenate(buffer, tpl.get(), -1, 0, true, 0);
    else if (tpl->is(T_BLOCK)) append_block_template(error, buffer, tpl.get(), syntax);
    else make_invalid(error, *error_field(error, ERR_TYPE), cat);
}

// ---- Actions ----------------------------------------------------------------------------------------

int32_t error_compare(const Cell* a, const Cell* b, int32_t op) {
    if (!b->is(T_ERROR)) return CMP_NOT_COMPARABLE;
    auto object_compare = action_impl<A_COMPARE>(T_OBJECT);
    if (!object_compare) return CMP_NOT_COMPARABLE;
    return object_compare(a, b, op);
}

void error_eval_path(Cell* parent, const PathStep& step) {
    auto object_path = action_impl<A_EVAL_PATH>(T_OBJECT);
    if (!object_path) fire_error(Err::NotDone);
    object_path(parent, step);
}

} // namespace

// ---- Public ---------------------------------------------------------------------------------------

bool error_objects_ready() {
    return g_global_context && g_symbol_table && g_memory.series_current;
}

bool error_is_object(const Cell* error) {
    if (!error->is(T_ERROR) || !error->data1) return false;
    return node_series(error->data1)->cells()->is(T_CONTEXT);
}

Cell* error_field(const Cell* error, ErrorField f) { return context_value_at(error->data1, f); }

void error_set_where(const Cell* error, const Cell* value) {
    Cell* where = error_field(error, ERR_WHERE);
    if (where->is(T_NONE)) *where = *value;
}

uint32_t error_get_type(const Cell* error) {
    const Cell* t = error_field(error, ERR_TYPE);
    return t->is(T_WORD) ? t->data2 : 0;
}
uint32_t error_get_id(const Cell* error) {
    const Cell* t = error_field(error, ERR_ID);
    return t->is(T_WORD) ? t->data2 : 0;
}

Cell error_prototype() {
    Node proto = prototype_context();
    return Cell{T_ERROR, proto, uint32_t(g_proto_class), 0};
}

Cell* error_create(Cell* out, Err e, const Cell* arg1, const Cell* arg2, const Cell* arg3) {
    // the arguments may be the only references to their values while the error is made
    Rooted a1(arg1 ? *arg1 : g_none_cell), a2(arg2 ? *arg2 : g_none_cell), a3(arg3 ? *arg3 : g_none_cell);
    error_new(out);
    const ErrorDef& d = error_def(e);
    Catalog cat;
    uint32_t c = uint32_t(d.category), p = d.position;
    if (cat.kel && (c >= cat.categories() || p >= cat.ids(c) ||
                    !same_symbol(cat.id_symbol(c, p), symbol_make(d.id))))
        cat.kel = 0;   // a catalogue that lacks the runtime's id: word the error from the table
    set_code(out, cat, c, p);
    set_field(out, ERR_ARG1, a1.value);
    set_field(out, ERR_ARG2, a2.value);
    set_field(out, ERR_ARG3, a3.value);
    return out;
}

Cell* error_make_code(Cell* out, int32_t code) {
    Catalog cat;
    Cell number = make_integer(code);
    if (code < 0) fire_error(Err::OutOfRange, &number);
    uint32_t c = uint32_t(code) / 100, p = uint32_t(code) % 100;
    if (c >= cat.categories() || p >= cat.ids(c)) fire_error(Err::OutOfRange, &number);
    error_new(out);
    set_code(out, cat, c, p);
    return out;
}

void error_make(Cell* proto, Cell* spec, TypeId) {
    Rooted s(*spec);
    switch (s->type()) {
    case T_INTEGER:
        error_make_code(proto, cell_integer(s.get()));
        return;
    case T_STRING: {
        Rooted e(make_none());
        error_new(e.get());
        Catalog cat;
        uint32_t c = uint32_t(ErrCat::User);
        int32_t p = cat.find_id(c, symbol_make("message"));
        if (p < 0) {   // a catalogue without user/message: the table's
            cat.kel = 0;
            p = int32_t(error_def(Err::Message).position);
        }
        set_code(e.get(), cat, c, uint32_t(p));
        set_field(e.get(), ERR_ARG1, s.value);
        *proto = e.value;
        return;
    }
    case T_BLOCK: {
        Series* b = node_series(series_node(s.get()));
        uint32_t head = series_index(s.get());
        Cell first = head < b->length() ? *b->cell_at(head) : g_none_cell;
        Rooted e(make_none());
        if (first.is(T_WORD)) {
            Catalog cat;
            int32_t c = cat.find_category(first.data2);
            if (c < 0) spec_field_error(W::Type);
            b = node_series(series_node(s.get()));
            if (head + 1 >= b->length()) spec_field_error(W::Id);
            Cell second = *b->cell_at(head + 1);
            if (!second.is(T_WORD)) fire_error(Err::InvalidArg, &second);
            int32_t p = cat.find_id(uint32_t(c), second.data2);
            if (p < 0) spec_field_error(W::Id);
            error_new(e.get());
            set_field(e.get(), ERR_CODE, make_integer(c * 100 + p));
            set_field(e.get(), ERR_TYPE, first);
            set_field(e.get(), ERR_ID, second);
        } else if (first.is(T_SET_WORD)) {
            error_new(e.get());
            Rooted body(make_series(T_BLOCK, copy_series_part(series_node(s.get()), head,
                                                              node_series(series_node(s.get()))->length() - head)));
            bind_block(body.get(), e->data1, true);
            eval(body.get(), false);
            stack_pop();
            finish_from_words(e.get());
        } else {
            fire_error(Err::InvalidError);
        }
        *proto = e.value;
        return;
    }
    default: {
        Cell dt = make_datatype(T_ERROR);
        fire_error(Err::BadMakeArg, &dt, s.get());
    }
    }
}

void error_set_raise_fields(const Cell* error) {
    Cell where = stack_caller_word(0);
    if (!where.is(T_WORD) || !same_symbol(where.data2, runtime_word(W::NotFound)->data2))
        error_set_where(error, &where);
    set_field(error, ERR_STACK, make_integer(int32_t(stack_call_depth())));
    // near: the code from the expression under way, when the interpreter is evaluating a block
    const Cell* code = interp_current_code();
    if (code && is_any_block(code->type()) && error_field(error, ERR_NEAR)->is(T_NONE))
        set_field(error, ERR_NEAR, *code);
}

void error_capture_stack(const Cell* error_in) {
    if (!error_in->is(T_ERROR) || !error_is_object(error_in)) return;
    Rooted error(*error_in);
    const Cell* stack = error_field(error.get(), ERR_STACK);
    if (!stack->is(T_INTEGER)) return;
    uint32_t end = uint32_t(cell_integer(stack));
    int32_t level = stack_trace_level();
    Rooted trace(make_series(T_BLOCK, alloc_cells(20)));
    stack_collect_trace(level > 0 ? level : 1, series_node(trace.get()), end);
    set_field(error.get(), ERR_STACK, trace.value);
    Node state = system_object("state");
    const Cell* files = field_in(state, symbol_make("source-files"));
    if (files && files->is(T_BLOCK) && cells_after_head(files) > 0) {
        Cell f = *files;
        Node copy = copy_series_part(series_node(&f), series_index(&f), cells_after_head(&f));
        set_field(error.get(), ERR_FILES, make_series(T_BLOCK, copy));
    }
}

Cell error_arg_word(uint32_t i) {
    Cell anon = *runtime_word(W::Anon);
    const CallFrame* f = stack_top_frame();
    if (!f) return anon;
    Node ctx = f->word_ctx ? f->word_ctx : g_global_context;
    const Cell* fn = field_in(ctx, f->symbol());
    if (!fn && ctx != g_global_context) fn = field_in(g_global_context, f->symbol());
    if (!fn || !is_any_function(fn->type())) return anon;
    Series* spec = node_series(fn->data2);
    uint32_t n = 0;
    for (uint32_t k = 0; k < spec->length(); ++k) {
        const Cell* c = spec->cell_at(k);
        if (c->is(T_WORD) || c->is(T_LIT_WORD) || c->is(T_GET_WORD) || c->is(T_REFINEMENT)) {
            if (n++ == i) return *c;
        }
    }
    return anon;
}

int32_t error_form(const Cell* error_in, Cell* buffer, bool, int32_t budget) {
    Rooted error(*error_in);
    uint32_t start = buffer_length(buffer);
    append_text(buffer, "*** ");
    append_message(error.get(), buffer);
    append_text(buffer, "\n*** Where: ");
    Rooted where(*error_field(error.get(), ERR_WHERE));
    if (where->is(T_WORD)) word_form(where.get(), buffer, false, INT32_MAX);
    else if (where->is(T_STRING)) string_concatenate(buffer, where.get(), -1, 0, true, 0);
    else append_text(buffer, "???");
    append_text(buffer, "\n*** Near : ");
    append_value(buffer, error_field(error.get(), ERR_NEAR), true, true, 40);
    if (stack_trace_level() > 0) {
        Rooted stack(*error_field(error.get(), ERR_STACK));
        if (stack->is(T_INTEGER)) {
            append_text(buffer, "\n*** Stack: ");
            stack_form_trace(stack_trace_level(), uint32_t(cell_integer(stack.get())),
                             series_node(buffer), INT32_MAX);
        } else if (stack->is(T_BLOCK)) {
            append_text(buffer, "\n*** Stack: ");
            append_value(buffer, stack.get(), false, false, INT32_MAX);
        }
    }
    if (error_field(error.get(), ERR_FILES)->is(T_BLOCK)) {
        append_text(buffer, "\n*** Files: ");
        append_value(buffer, error_field(error.get(), ERR_FILES), true, true, 40);
    }
    return budget - int32_t(buffer_length(buffer) - start);
}

int32_t error_mold(const Cell* error_in, Cell* buffer, bool only, bool all, bool flat, bool part,
                   int32_t budget, int32_t indent) {
    Rooted error(*error_in);
    if (!only) {
        append_text(buffer, "make error! [");
        budget -= 13;
    }
    budget = object_mold_fields(error.get(), buffer, only, all, flat, part, budget, true, indent + 1, true);
    uint32_t start = buffer_length(buffer);
    for (int32_t i = 0; i < indent; ++i) append_text(buffer, "    ");
    if (!only) append_text(buffer, "]");
    return budget - int32_t(buffer_length(buffer) - start);
}

void error_init() {
    g_proto = 0;   // a runtime brought up again makes its prototype again
    g_proto_class = 0;
    collector_unregister(mark_prototype);
    collector_register(mark_prototype);
    ActionEntries e = action_entries(UNSUPPORTED);
    set_entry<A_MAKE>(e, error_make);
    set_entry<A_FORM>(e, error_form);
    set_entry<A_MOLD>(e, error_mold);
    set_entry<A_EVAL_PATH>(e, error_eval_path);
    set_entry<A_COMPARE>(e, error_compare);
    for (Action a : {A_REFLECT, A_COPY, A_FIND, A_SELECT}) e[a - 1] = INHERIT;
    register_datatype(T_ERROR, T_OBJECT, "error!", e);
}

} // namespace kel
