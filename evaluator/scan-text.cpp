// Loaders of the text literals beyond strings: files, URLs, e-mails, tags and refs.
//
// Each checks the token text the automaton accepted and, when loading, pushes a text value of its
// type. A quoted file is read as a string (caret escapes, errors naming file!); an unquoted file and
// a URL decode their percent escapes; e-mails, tags and refs take their text as it stands. Every
// text must be well-formed UTF-8, else the error names the literal's datatype.
#include "core/memory.h"
#include "core/unicode.h"
#include "datatypes/datatype.h"
#include "datatypes/file.h"
#include "evaluator/scan.h"

#include <vector>

namespace kel::lex {

namespace {

std::vector<uint32_t>& chars() {
    static std::vector<uint32_t> buffer;   // reused: decoding does not allocate per token
    return buffer;
}

// A text value of the type holding the code points of chars(), in the narrowest unit.
Cell make_text(TypeId type) {
    std::vector<uint32_t>& cps = chars();
    uint32_t widest = 0;
    for (uint32_t c : cps) widest = c > widest ? c : widest;
    return make_text_value(type, cps, widest);
}

// Decodes [s, e) into chars(), with percent escapes when asked; false on ill-formed UTF-8.
bool decode(const uint8_t* s, const uint8_t* e, bool percent) {
    std::vector<uint32_t>& out = chars();
    out.clear();
    if (percent) return percent_decode(s, e, out);
    while (s < e) {
        if (*s < 0x80) {
            out.push_back(*s++);
            continue;
        }
        int n = *s >= 0xF0 ? 4 : *s >= 0xE0 ? 3 : *s >= 0xC0 ? 2 : 0;
        int32_t cp = n == 0 || e - s < n ? -1 : utf8_strict_sequence(s, n);
        if (cp < 0) return false;
        out.push_back(uint32_t(cp));
        s += n;
    }
    return true;
}

bool holds_percent(const uint8_t* s, const uint8_t* e) {
    for (; s < e; ++s)
        if (*s == '%') return true;
    return false;
}

// Checks and loads [s, e) as a text of the type.
void load_text(State* st, TypeId type, const uint8_t* s, const uint8_t* e, const uint8_t* from,
               const uint8_t* to, bool percent) {
    st->type = type;
    if (!decode(s, e, percent)) throw_error(st, from, to, type);
    if (st->load) push_value(st, make_text(type));
}

} // namespace

// %name, or %"name" with caret escapes: the quoted form's text is [s + 2, e), e at the closing quote.
void load_file(State* st, const uint8_t* s, const uint8_t* e, uint32_t flags) {
    if (e - s >= 2 && s[1] == '"') {
        int32_t kind = st->error_kind;
        st->error_kind = T_FILE;
        uint32_t top = st->top;
        try {
            load_string(st, s + 2, e, flags);
        } catch (...) {
            st->error_kind = kind;
            throw;
        }
        st->error_kind = kind;
        st->type = T_FILE;
        if (st->load && st->top > top) set_cell_type(&g_cells[st->top - 1], T_FILE);
        return;
    }
    load_text(st, T_FILE, s + 1, e, s, e, holds_percent(s + 1, e));
}

void load_url(State* st, const uint8_t* s, const uint8_t* e, uint32_t flags) {
    if (*s == ':') throw_error(st, s, e, T_GET_WORD);
    if (*s == '\'') throw_error(st, s, e, T_LIT_WORD);
    load_text(st, T_URL, s, e, s, e, (flags & F_PERCENT) != 0);
}

void load_email(State* st, const uint8_t* s, const uint8_t* e, uint32_t) {
    load_text(st, T_EMAIL, s, e, s, e, false);
}

// @text: the ref holds the text after the "@".
void load_ref(State* st, const uint8_t* s, const uint8_t* e, uint32_t) {
    load_text(st, T_REF, s + 1, e, s, e, false);
}

// <text>: e is at the closing ">".
void load_tag(State* st, const uint8_t* s, const uint8_t* e, uint32_t) {
    if (*s != '<') throw_error(st, s, e + 1, T_TAG);
    load_text(st, T_TAG, s + 1, e, s, e + 1, false);
}

} // namespace kel::lex
