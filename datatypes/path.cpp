// The path types: path!, lit-path!, set-path! and get-path!.
//
// A path is a block whose elements print with slashes between them (a/b/1); the interpreter gives
// it its meaning. Everything but making, converting, printing and copying is the block's. The
// three decorated kinds print the path with a quote before it (lit-path!), a colon after it
// (set-path!) or a colon before it (get-path!).
#include "core/cycles.h"
#include "core/errors.h"
#include "core/series.h"
#include "core/stack.h"
#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"

namespace kel {

namespace {

void path_make(Cell* proto, Cell* spec, TypeId type) {
    TypeId t = spec->type();
    if (is_any_block(t)) {
        block_to(proto, spec, type);
        return;
    }
    if (t == T_INTEGER || t == T_FLOAT || t == T_PERCENT) {
        block_make(proto, spec, type);
        return;
    }
    Cell dt = make_datatype(type);
    fire_error(Err::BadMakeArg, &dt, spec);
}

void path_to(Cell* proto, Cell* spec, TypeId type) {
    TypeId t = spec->type();
    if (t == T_OBJECT || t == T_TYPESET || t == T_MAP) {
        Cell* v = stack_push(spec);
        Cell* out = block_push_only(1);
        block_append_value(out, v);
        *proto = *out;
        stack_pop(2);
        proto->header = type;
        return;
    }
    block_to(proto, spec, type);
}

// The elements with slashes between them, formed or molded.
int32_t path_text(const Cell* value, Cell* buffer, bool mold, bool only, bool all, bool flat, bool part,
                  int32_t budget, int32_t indent) {
    if (cycles_find(series_node(value))) {
        string_concatenate_literal(buffer, "...");
        return budget - 3;
    }
    uint32_t depth = cycles_depth();
    Cell* p = stack_push(value);
    cycles_push(series_node(p));
    try {
        for (uint32_t i = series_index(p); i < value_series(p)->length(); ++i) {
            if (i > series_index(p)) {
                string_concatenate_literal(buffer, "/");
                budget--;
            }
            Cell* item = stack_push(value_series(p)->cell_at(i));
            budget = mold ? mold_typed(item, buffer, only, all, flat, part, budget, indent)
                          : form_typed(item, buffer, part, budget);
            stack_pop();
            if (part && budget < 1) break;
        }
    } catch (...) {
        if (cycles_depth() > depth) cycles_drop(cycles_depth() - depth);
        throw;
    }
    cycles_pop();
    stack_pop();
    return budget;
}

int32_t path_form(const Cell* value, Cell* buffer, bool part, int32_t budget) {
    return path_text(value, buffer, false, false, false, false, part, budget, 0);
}

int32_t path_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, bool part,
                  int32_t budget, int32_t indent) {
    return path_text(value, buffer, true, only, all, flat, part, budget, indent);
}

int32_t decorated_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, bool part,
                       int32_t budget, int32_t indent, const char* before, const char* after) {
    Cell* v = stack_push(value);
    if (*before) {
        string_concatenate_literal(buffer, before);
        budget--;
    }
    budget = path_mold(v, buffer, only, all, flat, part, budget, indent);
    if (*after) {
        string_concatenate_literal(buffer, after);
        budget--;
    }
    stack_pop();
    return budget;
}

int32_t lit_path_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, bool part,
                      int32_t budget, int32_t indent) {
    return decorated_mold(value, buffer, only, all, flat, part, budget, indent, "'", "");
}
int32_t set_path_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, bool part,
                      int32_t budget, int32_t indent) {
    return decorated_mold(value, buffer, only, all, flat, part, budget, indent, "", ":");
}
int32_t get_path_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, bool part,
                      int32_t budget, int32_t indent) {
    return decorated_mold(value, buffer, only, all, flat, part, budget, indent, ":", "");
}

} // namespace

void path_init() {
    ActionEntries e = action_entries(INHERIT);
    set_entry<A_MAKE>(e, path_make);
    set_entry<A_TO>(e, path_to);
    set_entry<A_FORM>(e, path_form);
    set_entry<A_MOLD>(e, path_mold);
    set_entry<A_COPY>(e, block_copy);
    e[A_RANDOM - 1] = UNSUPPORTED;
    for (uint32_t a = A_ABSOLUTE; a <= A_XOR; ++a) e[a - 1] = UNSUPPORTED;
    e[A_SORT - 1] = UNSUPPORTED;
    e[A_TRIM - 1] = UNSUPPORTED;
    for (uint32_t a = A_CREATE; a <= A_WRITE; ++a)
        if (a != A_MODIFY) e[a - 1] = UNSUPPORTED;
    register_datatype(T_PATH, T_BLOCK, "path!", e);
}

void lit_path_init() {
    ActionEntries e = action_entries(INHERIT);
    set_entry<A_MOLD>(e, lit_path_mold);
    register_datatype(T_LIT_PATH, T_PATH, "lit-path!", e);
}
void set_path_init() {
    ActionEntries e = action_entries(INHERIT);
    set_entry<A_MOLD>(e, set_path_mold);
    register_datatype(T_SET_PATH, T_PATH, "set-path!", e);
}
void get_path_init() {
    ActionEntries e = action_entries(INHERIT);
    set_entry<A_MOLD>(e, get_path_mold);
    register_datatype(T_GET_PATH, T_PATH, "get-path!", e);
}

} // namespace kel
