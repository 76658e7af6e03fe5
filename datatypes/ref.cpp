// ref!: a reference written "@" and its text. The cell and buffer are string!'s; form gives the
// bare text, mold puts "@" before it (counting against a /part limit). It navigates, searches and
// edits in place like a string, but has no append, put, sort, trim or path access.
#include "core/roots.h"
#include "datatypes/datatype.h"
#include "datatypes/string.h"

namespace kel {

namespace {

int32_t ref_mold(const Cell* value, Cell* buffer, bool, bool, bool, bool part, int32_t budget, int32_t) {
    Rooted v(*value);
    string_append_char(value_series(buffer), '@');
    return string_form(v.get(), buffer, part, budget - 1);
}

} // namespace

void ref_init() {
    ActionEntries e = action_entries(INHERIT);
    for (Action a : {A_RANDOM, A_EVAL_PATH, A_RESERVED_8, A_ABSOLUTE, A_ADD, A_DIVIDE, A_MULTIPLY,
                     A_NEGATE, A_POWER, A_REMAINDER, A_ROUND, A_SUBTRACT, A_EVEN_Q, A_ODD_Q, A_AND,
                     A_COMPLEMENT, A_OR, A_XOR, A_APPEND, A_PUT, A_SORT, A_TRIM, A_CREATE, A_CLOSE,
                     A_DELETE, A_OPEN, A_OPEN_Q, A_QUERY, A_READ, A_RENAME, A_UPDATE, A_WRITE})
        e[a - 1] = UNSUPPORTED;
    set_entry<A_MOLD>(e, ref_mold);
    register_datatype(T_REF, T_STRING, "ref!", e);
}

} // namespace kel
