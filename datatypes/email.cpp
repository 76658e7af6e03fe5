// email!: an e-mail address. The cell, buffer and series actions are string!'s; mold writes the
// text as it is. Path access adds the two parts of the address: /user is the text before the
// first "@" (all of it when there is none), /host the text after it. Reading a part gives a new
// string; setting one replaces that part in place with the new value's text. An integer selects a
// character as on a string.
#include "core/errors.h"
#include "core/roots.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/datatype.h"
#include "datatypes/string.h"

namespace kel {

namespace {

int32_t email_mold(const Cell* value, Cell* buffer, bool, bool, bool, bool part, int32_t budget, int32_t) {
    Rooted v(*value);
    return string_form(v.get(), buffer, part, budget);
}

void email_eval_path(Cell* parent, const PathStep& step) {
    Rooted element(*step.element);
    const Cell* el = element.get();
    if (el->is(T_INTEGER)) return string_eval_path(parent, step);
    uint32_t sym = el->is(T_WORD) ? symbol_resolve(el->data2) : 0;
    bool user = sym && sym == symbol_resolve(symbol_make("user"));
    bool host = sym && sym == symbol_resolve(symbol_make("host"));
    if (!user && !host) fire_error(Err::InvalidPath, step.path ? step.path : el, el);

    Rooted email(*parent);
    uint32_t head = string_head_index(email.get());
    int32_t len = string_rs_length(email.get());
    int32_t at = string_find_char(email.get(), '@');
    // the part as [from, to) counted from the head
    int32_t from = user ? 0 : at < 0 ? len : at + 1;
    int32_t to = user ? (at < 0 ? len : at) : len;

    if (!step.value) {
        Cell* out = stack_push_slot();
        string_make_at(out, uint32_t(to - from) + 1, value_series(email.get())->unit());
        Rooted part(*email.get());
        part->data1 = head + uint32_t(from);
        string_concatenate(out, part.get(), to - from, 0, true, 0);
        *parent = *out;
        stack_pop();
        return;
    }
    Rooted value(*step.value);
    string_remove_units(email.get(), head + uint32_t(from), uint32_t(to - from));
    Cell* text = stack_push_slot();
    string_make_at(text, 16, 1);
    if (host && at < 0) string_append_char(value_series(text), '@');   // a host needs its "@"
    string_form_value(value.get(), text, false, INT32_MAX);
    string_concatenate(email.get(), text, -1, from, true, 1);
    stack_pop();
    *parent = *value.get();
}

} // namespace

void email_init() {
    ActionEntries e = markup_text_entries();
    set_entry<A_MOLD>(e, email_mold);
    set_entry<A_EVAL_PATH>(e, email_eval_path);
    register_datatype(T_EMAIL, T_STRING, "email!", e);
}

} // namespace kel
