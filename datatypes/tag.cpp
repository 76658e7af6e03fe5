// tag!: a string written between angle brackets. The cell, buffer and series actions are
// string!'s; form and mold both give "<", the text from the head and ">" (no escapes), each
// bracket counting against a /part limit.
#include "core/roots.h"
#include "datatypes/datatype.h"
#include "datatypes/string.h"

namespace kel {

namespace {

int32_t tag_form(const Cell* value, Cell* buffer, bool part, int32_t budget) {
    Rooted v(*value);
    string_append_char(value_series(buffer), '<');
    int32_t left = string_form(v.get(), buffer, part, budget - 1);
    string_append_char(value_series(buffer), '>');
    return left - 1;
}

int32_t tag_mold(const Cell* value, Cell* buffer, bool, bool, bool, bool part, int32_t budget, int32_t) {
    return tag_form(value, buffer, part, budget);
}

} // namespace

ActionEntries markup_text_entries() {
    ActionEntries e = action_entries(INHERIT);
    for (Action a : {A_RANDOM, A_RESERVED_8, A_ABSOLUTE, A_ADD, A_DIVIDE, A_MULTIPLY, A_NEGATE,
                     A_POWER, A_REMAINDER, A_ROUND, A_SUBTRACT, A_EVEN_Q, A_ODD_Q, A_AND,
                     A_COMPLEMENT, A_OR, A_XOR, A_SORT, A_TRIM, A_CREATE, A_CLOSE, A_DELETE, A_OPEN,
                     A_OPEN_Q, A_QUERY, A_READ, A_RENAME, A_UPDATE, A_WRITE})
        e[a - 1] = UNSUPPORTED;
    return e;
}

void tag_init() {
    ActionEntries e = markup_text_entries();
    set_entry<A_FORM>(e, tag_form);
    set_entry<A_MOLD>(e, tag_mold);
    register_datatype(T_TAG, T_STRING, "tag!", e);
}

} // namespace kel
