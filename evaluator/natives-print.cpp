// Natives: print and prin.
//
// Both form their value and hand the text to the output hooks (core/output.h), with the new-line
// flag set for print. A block is reduced first into a block of its own, so that a print evaluated
// while another print reduces its block builds and drops only its own values; a string is sent as
// it is; anything else is formed.
#include "core/output.h"
#include "core/stack.h"
#include "datatypes/scalars.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"
#include "evaluator/natives.h"

#include <climits>

namespace kel {

// The new-line flag of the last print (1) or prin (0), read by the standard environment.
int32_t g_print_last_newline = 1;

namespace {

void print_to_hooks(bool newline) {
    Cell* value = stack_arg(0);
    if (value->is(T_BLOCK)) reduce_into(value, nullptr);   // the reduced block replaces it
    value = stack_arg(0);
    g_stack.top = value + 1;
    if (!value->is(T_STRING)) {
        Cell* out = stack_push(g_unset_cell);
        string_make_at(out, 16);
        form_typed(value, out, false, INT32_MAX);
        *value = *out;
        g_stack.top = value + 1;
    }
    hooks_call(value, newline);
    g_print_last_newline = newline ? 1 : 0;
    stack_set_result(&g_unset_cell);
}

void native_print(bool, const int32_t*) { print_to_hooks(true); }
void native_prin(bool, const int32_t*) { print_to_hooks(false); }

} // namespace

void natives_print_register() {
    KEL_NATIVE_SLOT("print", native_print);
    KEL_NATIVE_SLOT("prin", native_prin);
}

} // namespace kel
