// issue!: a word kind written #name. It shares the word cell (datatypes/words.h) and names the
// global context with index -1, so it is never bound to a slot. Making one from text takes the
// characters as they are (no scan), so an issue may hold any character; from a word kind it is
// the word retyped; anything else goes through the word! make routine.
#include "core/context.h"
#include "core/errors.h"
#include "core/symbol.h"
#include "core/unicode.h"
#include "datatypes/datatype.h"
#include "datatypes/string.h"
#include "datatypes/words.h"

#include <string>

namespace kel {

namespace {

void issue_make_action(Cell* proto, Cell* spec, TypeId type) {
    switch (spec->type()) {
    case T_STRING: {
        int32_t n = -1;
        Cell text = *spec;
        const char* utf8 = string_to_utf8(&text, &n);   // from the head, in a scratch buffer
        std::string name(utf8, size_t(n));
        *proto = issue_make(symbol_make_utf8(reinterpret_cast<const uint8_t*>(name.data()), name.size()));
        return;
    }
    case T_CHAR: {
        uint8_t buf[4];
        int n = utf8_encode_char(int32_t(spec->data2), buf);
        *proto = issue_make(symbol_make_utf8(buf, size_t(n)));
        return;
    }
    default:
        if (is_any_word(spec->type())) {
            *proto = *spec;
            proto->header = T_ISSUE;
            return;
        }
        word_make(proto, spec, type);
        proto->header = T_ISSUE;
    }
}

int32_t issue_mold(const Cell* w, Cell* buffer, bool, bool, bool, bool, int32_t budget, int32_t) {
    Cell word = *w;
    string_append_char(node_series(series_node(buffer)), '#');
    return word_form(&word, buffer, false, budget - 1);
}

int32_t issue_compare(const Cell* a, const Cell* b, int32_t op) {
    if (!b->is(T_ISSUE)) return CMP_NOT_COMPARABLE;
    return word_compare(a, b, op);
}

} // namespace

void issue_init() {
    ActionEntries e = action_entries(UNSUPPORTED);
    set_entry<A_MAKE>(e, issue_make_action);
    set_entry<A_TO>(e, issue_make_action);
    e[A_FORM - 1] = INHERIT;
    set_entry<A_MOLD>(e, issue_mold);
    set_entry<A_COMPARE>(e, issue_compare);
    register_datatype(T_ISSUE, T_WORD, "issue!", e);
}

} // namespace kel
