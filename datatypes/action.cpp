// action!: one of the 62 polymorphic actions, dispatched by the type of its first argument.
//
// The cell is native!'s (datatypes/native.cpp), with word 1 the 1-based action number; reflect is
// native!'s, inherited.
#include "core/errors.h"
#include "core/hash.h"
#include "datatypes/datatype.h"
#include "datatypes/function.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"

#include <cstring>

namespace kel {

namespace {

int32_t append_text(Cell* buffer, const char* text, int32_t budget) {
    string_concatenate_literal(buffer, text);
    return budget - int32_t(std::strlen(text));
}

void action_make_action(Cell* proto, Cell* spec, TypeId) {
    make_table_function_value(proto, spec, T_ACTION);
}

int32_t action_form(const Cell*, Cell* buffer, bool, int32_t budget) {
    return append_text(buffer, "?action?", budget);
}

int32_t action_mold(const Cell* value, Cell* buffer, bool, bool all, bool flat, bool part,
                    int32_t budget, int32_t indent) {
    CollectorHold hold;   // the spec cell stays valid while text is appended
    Cell spec = function_spec_block(value);
    budget = append_text(buffer, "make action! [", budget);
    budget = mold_typed(&spec, buffer, false, all, flat, part, budget, indent);
    return append_text(buffer, "]", budget);
}

} // namespace

void action_init() {
    ActionEntries e = action_entries(UNSUPPORTED);
    set_entry<A_MAKE>(e, action_make_action);
    e[A_REFLECT - 1] = INHERIT;
    set_entry<A_FORM>(e, action_form);
    set_entry<A_MOLD>(e, action_mold);
    set_entry<A_COMPARE>(e, function_compare_index);
    register_datatype(T_ACTION, T_NATIVE, "action!", e);
}

} // namespace kel
