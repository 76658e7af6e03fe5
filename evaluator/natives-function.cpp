// Natives: function-making, binding and word-access natives, and the word and object natives
// built on the same services (value?, unset, context?, construct).
//
// func, function, does and has all end in one place (make_function): the spec is checked, the
// function! made with its own context and a bound deep copy of the body. `function` first extends
// a copy of its spec with every word the body sets; `does` and `has` build their spec. Each native
// reads its arguments from the current frame (stack_arg(i)) and leaves its result in the frame's
// result cell; cells it makes are kept on the data stack while anything allocates.
#include "core/context.h"
#include "core/errors.h"
#include "core/roots.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/function.h"
#include "datatypes/object.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"

namespace kel {

namespace {

inline Cell* arg(uint32_t i) { return stack_arg(i); }
inline bool given(const int32_t* refinements, uint32_t k) { return refinements[k] >= 0; }

// A shallow copy of the block from its head, pushed on the data stack.
Cell* push_spec_copy(const Cell* block) { return block_clone(block, false, false); }

// Makes the function from the spec and body cells (on the data stack) into the result cell.
void make_function(Cell* spec, Cell* body) {
    block_rs_head(spec);   // heads past the tails are clipped
    block_rs_head(body);
    uint32_t flags = function_validate_spec(spec);
    function_make(spec, body, 0, flags);
    stack_set_result(stack_top());
}

void native_func(bool, const int32_t*) { make_function(arg(0), arg(1)); }

void native_function(bool, const int32_t*) {
    Cell* spec = push_spec_copy(arg(0));
    function_collect_words(spec, arg(1));
    make_function(spec, arg(1));
}

void native_does(bool, const int32_t*) {
    Cell* spec = block_push_only(1);
    make_function(spec, arg(0));
}

void native_has(bool, const int32_t*) {
    Cell* spec = push_spec_copy(arg(0));
    Cell local{T_REFINEMENT, 0, symbol_make("local"), 0xFFFFFFFF};
    block_insert_value(spec, &local, false, true);
    make_function(spec, arg(1));
}

// Evaluates a path value (a cell on the data stack) alone, in get mode or (with a value) in set
// mode, into the result cell.
void eval_path_value(const Cell* path, const Cell* set_value) {
    Cell* code = block_push_only(1);
    block_append_value(code, path);
    bool get = set_value == nullptr;
    eval_path(path, code, 1, 1, false, get, set_value);
}

// get word /any /case
void native_get(bool, const int32_t* refinements) {
    if (is_any_path(arg(0)->type())) {
        eval_path_value(arg(0), nullptr);
        return;
    }
    Cell target = *arg(0);
    if (target.is(T_OBJECT) || target.is(T_ERROR) || target.is(T_PORT)) {
        object_reflect(arg(0), symbol_make("values"));
        stack_set_result(arg(0));
        return;
    }
    const Cell* v = word_get(&target);
    if (v->is(T_UNSET) && !given(refinements, 0)) fire_error(Err::NoValue, &target);
    stack_set_result(v);
}

// set word value /any /case /only /some
void native_set(bool, const int32_t* refinements) {
    bool any = given(refinements, 0), only = given(refinements, 2), some = given(refinements, 3);
    Cell target = *arg(0);
    if (arg(1)->is(T_UNSET) && !any) fire_error(Err::NeedValue, &target);
    if (is_any_path(target.type())) {
        Cell* value = stack_push(arg(1));
        eval_path_value(arg(0), value);
        stack_set_result(arg(1));
        return;
    }
    if (target.is(T_OBJECT) || target.is(T_ERROR) || target.is(T_PORT)) {
        object_set_values(arg(0), arg(1), any, only, some);
        stack_set_result(arg(1));
        return;
    }
    if (target.is(T_BLOCK)) {
        set_many(arg(0), arg(1), uint32_t(block_rs_length(arg(0))), any, only, some);
    } else {
        if (!target.data1) fire_error(Err::NotDefined, &target);
        word_set(arg(0), arg(1));
    }
    stack_set_result(arg(1));
}

// The context a value stands for: an object's or a function's, or a word's binding.
Node context_of(const Cell* v) {
    switch (v->type()) {
    case T_OBJECT: case T_ERROR: case T_PORT: return object_context(v);
    case T_FUNCTION: case T_ROUTINE: return function_context(v);
    default: return is_any_word(v->type()) ? v->data1 : 0;
    }
}

// bind word context /copy
void native_bind(bool, const int32_t* refinements) {
    Node ctx = context_of(arg(1));
    bool self = arg(1)->is(T_OBJECT) || arg(1)->is(T_ERROR) || arg(1)->is(T_PORT);
    if (!ctx) {
        stack_set_result(arg(0));
        return;
    }
    if (arg(0)->is(T_BLOCK)) {
        Cell* block = arg(0);
        if (given(refinements, 0)) block = block_clone(arg(0), true, true);
        bind_block(block, context_of(arg(1)), self);
        stack_set_result(block);
        return;
    }
    bind_word(ctx, arg(0));
    stack_set_result(arg(0));
}

// in object word
void native_in(bool, const int32_t*) {
    Node ctx = context_of(arg(0));
    Cell word = *arg(1);
    if (word.is(T_BLOCK) || word.is(T_PAREN)) {
        stack_set_result(arg(0));
        return;
    }
    int32_t i = ctx ? context_find_word(ctx, word.data2, true) : -1;
    if (i < 0) {
        stack_set_result(&g_none_cell);
        return;
    }
    if (word.is(T_REFINEMENT)) set_cell_type(&word, T_WORD);
    word.data1 = ctx;
    word.data3 = uint32_t(i);
    stack_set_result(&word);
}

// value? value
void native_value_q(bool, const int32_t*) {
    Cell v = *arg(0);
    bool set = true;
    if (is_any_word(v.type()) && !v.is(T_ISSUE)) set = v.data1 && !word_get(&v)->is(T_UNSET);
    else set = !v.is(T_UNSET);
    Cell result = make_logic(set);
    stack_set_result(&result);
}

// unset word
void native_unset(bool, const int32_t*) {
    if (arg(0)->is(T_BLOCK)) {
        int32_t n = block_rs_length(arg(0));
        for (int32_t i = 0; i < n; ++i) {
            Cell* w = stack_push(block_rs_head(arg(0))[i]);
            if (w->is(T_WORD) && w->data1) word_set(w, &g_unset_cell);
            stack_pop();
        }
    } else {
        if (!arg(0)->data1) fire_error(Err::NotDefined, arg(0));
        word_set(arg(0), &g_unset_cell);
    }
    stack_set_result(&g_unset_cell);
}

// context? word
void native_context_q(bool, const int32_t*) {
    Node ctx = arg(0)->data1;
    if (!ctx) {
        stack_set_result(&g_none_cell);
        return;
    }
    const Cell* owner = context_owner(ctx);
    stack_set_result(owner->is(T_UNSET) ? &g_none_cell : owner);
}

// construct block /with object /only
void native_construct(bool, const int32_t* refinements) {
    const Cell* proto = given(refinements, 0) ? arg(uint32_t(refinements[0])) : nullptr;
    Cell* result = stack_push(make_unset());
    object_construct(result, arg(0), proto, given(refinements, 1));
    stack_set_result(result);
}

} // namespace

void natives_function_register() {
    KEL_NATIVE_SLOT("func", native_func);
    KEL_NATIVE_SLOT("function", native_function);
    KEL_NATIVE_SLOT("does", native_does);
    KEL_NATIVE_SLOT("has", native_has);
    KEL_NATIVE_SLOT("get", native_get);
    KEL_NATIVE_SLOT("set", native_set);
    KEL_NATIVE_SLOT("bind", native_bind);
    KEL_NATIVE_SLOT("in", native_in);
    KEL_NATIVE_SLOT("value?", native_value_q);
    KEL_NATIVE_SLOT("unset", native_unset);
    KEL_NATIVE_SLOT("context?", native_context_q);
    KEL_NATIVE_SLOT("construct", native_construct);
}

} // namespace kel
