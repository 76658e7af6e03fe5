// op!: an infix operator made from a function-like value of exactly two arguments.
//
// The op! cell is a copy of its source's cell (so it shares the source's index or context, spec
// and more block) with header 23 and the source's type id in bits 16-23. An op! of a function! or
// routine! is also kept in cell 3 of the source's more block. Reflect is native!'s, inherited.
#include "core/errors.h"
#include "core/hash.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/block.h"
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

void op_make_action(Cell* proto, Cell* spec, TypeId) {
    *proto = *spec;
    op_make(proto);
}

int32_t op_form(const Cell*, Cell* buffer, bool, int32_t budget) {
    return append_text(buffer, "?op?", budget);
}

int32_t op_mold(const Cell* value, Cell* buffer, bool, bool all, bool flat, bool part,
                int32_t budget, int32_t indent) {
    CollectorHold hold;   // the spec and body cells below stay valid while text is appended
    Cell op = *value;
    Cell spec = function_spec_block(&op);
    Cell anon{T_WORD, 0, g_sym_anon, 0};
    // a frame named <anon> while the spec is written; taken off by restoring both stacks, which
    // leaves the caller's cells as they were even when this frame would be the only one
    CallFrame* calls = stack_call_top();
    Cell* arguments = g_stack.arguments;
    Cell* top = g_stack.top;
    stack_mark_native(&anon);
    budget = append_text(buffer, "make op! ", budget);
    if (op_source_type(&op) == T_FUNCTION) {
        Cell body = *function_more_cell(&op, MORE_BODY);
        budget = append_text(buffer, "func ", budget);
        budget = mold_typed(&spec, buffer, false, all, flat, part, budget, indent);
        if (body.is(T_BLOCK)) budget = mold_typed(&body, buffer, false, all, flat, part, budget, indent);
    } else {
        budget = append_text(buffer, "[", budget);
        budget = mold_typed(&spec, buffer, false, all, flat, part, budget, indent);
        budget = append_text(buffer, "]", budget);
    }
    stack_set_call_top(calls);
    g_stack.arguments = arguments;
    g_stack.top = top;
    return budget;
}

} // namespace

bool op_spec_ok(const Cell* spec_in) {
    uint32_t local = symbol_resolve(symbol_make("local"));   // interning may allocate
    uint32_t ext = symbol_resolve(symbol_make("extern"));
    Cell spec = *spec_in;
    const Cell* p = block_rs_head(&spec);
    const Cell* end = block_rs_tail(&spec);
    int count = 0;
    bool word_seen = false;
    for (; p < end; ++p) {
        switch (p->type()) {
        case T_WORD: ++count; word_seen = true; break;
        case T_LIT_WORD: case T_GET_WORD:
            if (!word_seen) return false;   // the left argument must be evaluated
            ++count;
            break;
        case T_SET_WORD: return count == 2;
        case T_REFINEMENT: {
            uint32_t s = symbol_resolve(p->data2);
            return (s == local || s == ext) && count == 2;
        }
        default: break;
        }
    }
    return count == 2;
}

void op_make(Cell* value) {
    TypeId t = value->type();
    if (t != T_NATIVE && t != T_ACTION && t != T_FUNCTION && t != T_ROUTINE) {
        Cell type = make_datatype(t);
        fire_error(Err::InvalidType, &type);
    }
    Cell spec = function_spec_block(value);
    if (!op_spec_ok(&spec)) fire_error(Err::BadOpSpec);
    if (t == T_FUNCTION || t == T_ROUTINE) *function_more_cell(value, MORE_OP_SOURCE) = *value;
    value->header = T_OP | (uint32_t(t) << CELL_OP_TYPE_SHIFT);
}

void op_init() {
    ActionEntries e = action_entries(UNSUPPORTED);
    set_entry<A_MAKE>(e, op_make_action);
    e[A_REFLECT - 1] = INHERIT;
    set_entry<A_FORM>(e, op_form);
    set_entry<A_MOLD>(e, op_mold);
    set_entry<A_COMPARE>(e, function_compare_index);
    register_datatype(T_OP, T_NATIVE, "op!", e);
}

} // namespace kel
