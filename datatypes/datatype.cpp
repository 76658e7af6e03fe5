// datatype!: a value naming a type id (word 1). Its form is the type's name without the final
// "!", its mold the whole name, and under /all the construction syntax "#(name!)". Datatypes
// compare for equality only.
//
// This file also holds the small error raisers and the text emitter that every scalar type shares.
#include "core/context.h"
#include "core/series.h"
#include "core/errors.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/scalars.h"
#include "datatypes/string.h"

#include <cstring>

namespace kel {

int32_t scalar_emit(Cell* buffer, const char* text, int32_t budget) {
    string_concatenate_literal(buffer, text);
    return budget - int32_t(std::strlen(text));
}

void fire_bad_to_arg(TypeId target, const Cell* value) {
    Cell t = make_datatype(target);
    fire_error(Err::BadToArg, &t, value);
}

void fire_invalid_type(const Cell* value) {
    Cell t = make_datatype(value->type());
    fire_error(Err::InvalidType, &t);
}

void fire_not_related(const char* action_word, TypeId t) {
    Cell word = *context_global_word(symbol_make(action_word));
    Cell type = make_datatype(t);
    fire_error(Err::NotRelated, &word, &type);
}

Cell* datatype_push(TypeId t) { return stack_push(make_datatype(t)); }

Cell* datatype_make_in(const Cell* block, TypeId t) {
    return block_append(series_node(block), make_datatype(t));
}

static int32_t datatype_form(const Cell* value, Cell* buffer, bool, int32_t budget) {
    const DatatypeEntry& d = g_datatypes[value->data1];
    char name[32];
    int32_t n = d.length < 31 ? d.length : 31;
    std::memcpy(name, d.name, size_t(n));
    name[n] = 0;
    return scalar_emit(buffer, name, budget);
}

static int32_t datatype_mold(const Cell* value, Cell* buffer, bool, bool all, bool, bool,
                             int32_t budget, int32_t) {
    if (all) budget = scalar_emit(buffer, "#(", budget);
    budget = scalar_emit(buffer, g_datatypes[value->data1].name, budget);
    if (all) budget = scalar_emit(buffer, ")", budget);
    return budget;
}

static int32_t datatype_compare(const Cell* a, const Cell* b, int32_t op) {
    switch (op) {
    case CMP_EQUAL: case CMP_NOT_EQUAL: case CMP_STRICT_EQUAL: case CMP_SAME: case CMP_SEARCH:
        return b->is(T_DATATYPE) && b->data1 == a->data1 ? 0 : 1;
    default:
        return CMP_NOT_COMPARABLE;
    }
}

void datatype_init() {
    ActionEntries e = action_entries(UNSUPPORTED);
    set_entry<A_FORM>(e, datatype_form);
    set_entry<A_MOLD>(e, datatype_mold);
    set_entry<A_COMPARE>(e, datatype_compare);
    register_datatype(T_DATATYPE, T_NONE_ID, "datatype!", e);
}

} // namespace kel
