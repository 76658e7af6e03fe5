// string! actions: make and to, compare, path access, the editing actions (append, insert,
// change, swap, take, trim) and the registration of the type.
//
// Editing works on unit indexes, never on addresses kept across an allocation: the text a value
// contributes is first appended at the tail of the string (formed values are formed straight
// there), then, for insert and change, rotated into place. So no temporary string is made, and a
// value that is the string itself is read before the string changes.
//
// Every change is reported to an owning object (ownership tracking) with the action's word before
// and its past-tense word after, with the head index and the number of characters concerned; the
// test is one flag read on the buffer when nothing owns it.
#include "datatypes/string.h"

#include "core/case-fold.h"
#include "core/errors.h"
#include "core/ownership.h"
#include "core/roots.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/unicode.h"
#include "datatypes/datatype.h"
#include "datatypes/series.h"
#include "evaluator/actions.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace kel {

// ---- Shared helpers (declared in string.h) ---------------------------------------------------------

Cell word_cell(const char* name) { return make_cell(T_WORD, 0, symbol_make(name), 0xFFFFFFFFu); }

int32_t string_form_value(const Cell* value, Cell* buffer, bool part, int32_t budget) {
    Rooted v(*value);   // the value may lie in a buffer that moves while the text grows
    return form_typed(v.get(), buffer, part, budget);
}

int32_t string_part_count(const Cell* series, const Cell* part) {
    if (part->is(T_INTEGER)) return cell_integer(part);
    if (part->type() == series->type() && series_node(part) == series_node(series))
        return int32_t(series_index(part)) - int32_t(series_index(series));
    Cell w = word_cell("part");
    fire_error(Err::InvalidRefineArg, &w, part);
}

uint32_t string_head_index(Cell* str) {
    string_rs_head(str);
    return series_index(str);
}

namespace {

uint32_t units_of(const Cell* str) {
    Series* s = value_series(str);
    return (s->tail - s->head) / s->unit();
}

// Exchanges the unit runs [a, b) and [b, c) of the string (unit indexes from the buffer start).
void rotate_units(const Cell* str, uint32_t a, uint32_t b, uint32_t c) {
    if (a >= b || b >= c) return;
    Series* s = value_series(str);
    uint32_t u = s->unit();
    uint8_t* base = s->head_ptr();
    std::rotate(base + uint64_t(a) * u, base + uint64_t(b) * u, base + uint64_t(c) * u);
}

// Repeats the last n units of the string until `copies` runs of them stand (copying by doubling).
void repeat_tail(Cell* str, uint32_t n, int32_t copies) {
    if (copies <= 1 || n == 0) return;
    uint64_t total = uint64_t(n) * uint64_t(copies);
    uint32_t units = units_of(str);
    Series* s = value_series(str);
    uint64_t length = uint64_t(units) + (total - n);
    if (length > SERIES_MAX_UNITS || length * s->unit() > SERIES_MAX_BYTES) {
        // the copy already appended goes again, so the string is left as it was
        string_truncate_buffer(s, units - n);
        fire_error(Err::NoMemory);
    }
    s = string_reserve(s, total - n);
    uint32_t u = s->unit();
    uint8_t* start = s->tail_ptr() - uint64_t(n) * u;
    uint64_t have = n;
    while (have < total) {
        uint64_t take = std::min(have, total - have);
        std::memcpy(start + have * u, start, take * u);
        have += take;
    }
    s->tail += uint32_t((total - n) * u);
}

// Appends the text of a block's items, each formed. Without only, part counts items; with only,
// part is a character limit shared by the items and the tail is cut back when it is exceeded.
void append_block_items(Cell* str, const Cell* block, int32_t part, bool only) {
    Rooted blk(*block);
    uint32_t i = series_index(blk.get());
    int32_t budget = part;
    for (;; ++i) {
        Series* b = value_series(blk.get());
        if (i >= (b->tail - b->head) / 16) break;
        if (!only && part >= 0 && budget <= 0) break;
        if (only && part >= 0 && budget < 1) break;
        Rooted item(*reinterpret_cast<Cell*>(b->head_ptr() + uint64_t(i) * 16));
        if (only && part >= 0) {
            budget = string_form_value(item.get(), str, true, budget);
            if (budget < 0) {
                Series* s = value_series(str);
                string_truncate_buffer(s, units_of(str) - uint32_t(-budget));
            }
        } else {
            string_form_value(item.get(), str, false, INT32_MAX);
            --budget;
        }
    }
}

// Appends the text of the value once at the tail (part: -1 or a limit as append reads it) and
// returns the number of units appended.
uint32_t append_once(Cell* str, const Cell* value, int32_t part, bool only) {
    uint32_t before = units_of(str);
    TypeId t = value->type();
    if (t == T_CHAR) {
        if (part != 0) string_append_char(value_series(str), value->data2);
    } else if (t == T_TAG) {
        // "<", the text and ">", each bracket counting against the part
        int32_t left = part < 0 ? INT32_MAX : part;
        if (left > 0) {
            string_append_char(value_series(str), '<');
            --left;
            int32_t n = std::min(left, string_rs_length(value));
            string_concatenate(str, value, n, 0, true, 0);
            left -= n;
            if (left > 0) string_append_char(value_series(str), '>');
        }
    } else if (is_any_string(t)) {
        string_concatenate(str, value, part, 0, true, 0);
    } else if (t == T_BLOCK || t == T_PAREN || t == T_HASH) {
        append_block_items(str, value, part, only);
    } else if (only && part >= 0) {
        int32_t left = string_form_value(value, str, true, part);
        if (left < 0) string_truncate_buffer(value_series(str), units_of(str) - uint32_t(-left));
    } else {
        string_form_value(value, str, false, INT32_MAX);
    }
    return units_of(str) - before;
}

} // namespace

// ---- make and to -----------------------------------------------------------------------------------

void string_to(Cell* proto, Cell* spec, TypeId type) {
    Rooted src(*spec);
    TypeId t = src->type();
    Cell* result = stack_push_slot();
    init_cell(result, T_UNSET);
    if (t == T_NONE) {
        Cell dt = make_datatype(T_STRING);
        fire_error(Err::BadToArg, &dt, src.get());
    } else if (t == T_BINARY) {
        Cell* made = string_from_utf8_checked(src.get());
        *result = *made;
        stack_pop();
    } else if (is_any_string(t)) {
        string_make_at(result, uint32_t(std::max(string_rs_length(src.get()), 1)), 1);
        string_concatenate(result, src.get(), -1, 0, true, 0);
    } else {
        string_make_at(result, 16, 1);
        if (t == T_BLOCK || t == T_PAREN || t == T_HASH) {
            append_block_items(result, src.get(), -1, false);
        } else if (t == T_REFINEMENT && type != T_STRING) {
            mold_typed(src.get(), result, false, false, false, false, INT32_MAX, 0);
        } else {
            string_form_value(src.get(), result, false, INT32_MAX);
        }
    }
    set_cell_type(result, type);
    *proto = *result;
    stack_pop();
}

void string_make(Cell* proto, Cell* spec, TypeId type) {
    TypeId t = spec->type();
    if (t == T_INTEGER || t == T_FLOAT) {
        double d = t == T_INTEGER ? double(cell_integer(spec)) : spec->get_float();
        if (!(d > -2147483649.0 && d < 2147483648.0)) fire_error(Err::OutOfRange, spec);
        int32_t n = int32_t(d);
        if (n < 0) fire_error(Err::OutOfRange, spec);
        Cell* result = stack_push_slot();
        string_make_at(result, n ? uint32_t(n) : 16, 1);
        set_cell_type(result, type);
        *proto = *result;
        stack_pop();
        return;
    }
    if (type == T_BINARY && t == T_MONEY) {
        Cell dt = make_datatype(T_BINARY);
        fire_error(Err::BadMakeArg, &dt, spec);
    }
    if (type == T_BINARY) {
        auto to = action_impl<A_TO>(T_BINARY);
        if (to && to != &string_to) return to(proto, spec, type);
    }
    string_to(proto, spec, type);
}

// ---- compare ---------------------------------------------------------------------------------------

int32_t string_compare(const Cell* a, const Cell* b, int32_t op) {
    if (a->type() != b->type() &&
        (!is_any_string(b->type()) || (op != CMP_EQUAL && op != CMP_NOT_EQUAL)))
        return CMP_NOT_COMPARABLE;
    return string_compare_core(a, b, op, false);
}

// ---- append, insert, change ------------------------------------------------------------------------

void string_append(Cell* series, const Cell* value, int32_t part, bool only, int32_t dup, bool notify) {
    if (dup < 1) return;
    uint32_t at = units_of(series);
    if (notify) series_notify(series, SeriesEvent::Append, false, int32_t(at), 0);
    uint32_t n = append_once(series, value, part, only);
    repeat_tail(series, n, dup);
    if (notify) series_notify(series, SeriesEvent::Append, true, int32_t(at), int32_t(units_of(series) - at));
}

void string_insert(Cell* series, const Cell* value, int32_t part, bool only, int32_t dup, bool append) {
    if (append) return string_append(series, value, part, only, dup, true);
    if (dup < 1) return;
    series_notify(series, SeriesEvent::Insert, false, int32_t(string_head_index(series)), 0);
    // positions are taken after the notification: the owner's handler may change the string
    uint32_t pos = string_head_index(series);
    uint32_t old_tail = units_of(series);
    // text goes in whole up to the part count; a formed value (each block item) takes the
    // remaining part as its character limit
    TypeId t = value->type();
    uint32_t n = append_once(series, value, part, !(t == T_CHAR || is_any_string(t)) && part >= 0);
    repeat_tail(series, n, dup);
    uint32_t end = units_of(series);
    rotate_units(series, pos, old_tail, end);
    series->data1 = pos + (end - old_tail);
    series_notify(series, SeriesEvent::Insert, true, int32_t(pos), int32_t(end - old_tail));
}

void string_change(Cell* series, const Cell* value, int32_t part, bool only, int32_t dup) {
    if (dup < 1) return;
    series_notify(series, SeriesEvent::Change, false, int32_t(string_head_index(series)), part >= 0 ? part : 0);
    uint32_t pos = string_head_index(series);
    uint32_t old_tail = units_of(series);
    if (pos >= old_tail) {
        uint32_t n = append_once(series, value, -1, only);
        repeat_tail(series, n, dup);
        series->data1 = units_of(series);
        series_notify(series, SeriesEvent::Change, true, int32_t(pos), int32_t(units_of(series) - pos));
        return;
    }
    uint32_t n = append_once(series, value, -1, only);
    repeat_tail(series, n, dup);
    uint32_t end = units_of(series);
    uint32_t added = end - old_tail;
    uint32_t avail = old_tail - pos;
    uint32_t replaced = part >= 0 ? std::min<uint32_t>(uint32_t(part), avail) : std::min(added, avail);
    // [pos, old_tail) old text, [old_tail, end) new text: bring the new text to pos, then drop
    // the replaced units that now follow it
    rotate_units(series, pos, old_tail, end);
    string_remove_units(series, pos + added, replaced);
    series->data1 = pos + added;
    series_notify(series, SeriesEvent::Change, true, int32_t(pos), int32_t(added));
}

// ---- swap ------------------------------------------------------------------------------------------

void string_swap(Cell* left, Cell* right) {
    TypeId rt = right->type();
    if (!is_any_string(rt) && rt != T_BINARY) fire_error(Err::InvalidArg, right);
    if (string_rs_tail_q(left) || string_rs_tail_q(right)) return;
    uint32_t i = string_head_index(left), j = string_head_index(right);
    series_notify(left, SeriesEvent::Swap, false, int32_t(i), 1);
    if (series_node(right) != series_node(left)) series_notify(right, SeriesEvent::Swap, false, int32_t(j), 1);
    // read after the notifications, which may run code that changes either string
    if (string_rs_tail_q(left) || string_rs_tail_q(right)) return;
    i = string_head_index(left);
    j = string_head_index(right);
    uint32_t a = string_rs_abs_char(left, i), b = string_rs_abs_char(right, j);
    string_put_char_at(value_series(left), i, b);
    string_put_char_at(value_series(right), j, a);
    series_notify(left, SeriesEvent::Swap, true, int32_t(i), 1);
    if (series_node(right) != series_node(left)) series_notify(right, SeriesEvent::Swap, true, int32_t(j), 1);
}

// ---- take ------------------------------------------------------------------------------------------

void string_take(Cell* series, const Cell* part, bool deep, bool last) {
    // the generic series take; without /part a single unit taken is answered as its element
    action_impl<A_TAKE>(T_SERIES)(series, part, deep, last);
    if (part || !series_node(series) || series->is(T_NONE)) return;
    Series* s = value_series(series);
    if (s->length() != 1) return;
    uint32_t c = unit_get(s->head_ptr(), s->unit());
    *series = series->is(T_BINARY) ? make_integer(int32_t(c)) : make_cell(T_CHAR, 0, c, 0);
}

// ---- trim ------------------------------------------------------------------------------------------

namespace {

bool is_whitespace(uint32_t c) {
    return (c >= 1 && c <= 32) || c == 0x85 || c == 0xA0 || c == 0x1680 || c == 0x180E ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}
// Spaces inside a line for plain trim: space, tab and the non-ASCII whitespace.
bool is_line_space(uint32_t c) { return c == ' ' || c == '\t' || (c > 0x7F && is_whitespace(c)); }

// The characters from the head, read into a vector (trim rewrites them in place afterwards).
std::vector<uint32_t> read_chars(Cell* str, uint32_t head) {
    Series* s = value_series(str);
    uint32_t unit = s->unit();
    uint32_t total = (s->tail - s->head) / unit;
    std::vector<uint32_t> out;
    out.reserve(total - head);
    for (uint32_t i = head; i < total; ++i) out.push_back(unit_get(s->head_ptr() + uint64_t(i) * unit, unit));
    return out;
}

// Writes the characters back from the head (none wider than the buffer's unit) and cuts the tail.
void write_chars(Cell* str, uint32_t head, const std::vector<uint32_t>& chars) {
    Series* s = value_series(str);
    uint32_t unit = s->unit();
    uint8_t* p = s->head_ptr() + uint64_t(head) * unit;
    for (uint32_t c : chars) { unit_put(p, unit, c); p += unit; }
    s->tail = uint32_t(p - s->data());
}

} // namespace

void string_trim_all(Cell* str, const Cell* with) {
    uint32_t head = string_head_index(str);
    std::vector<uint32_t> set;
    if (!with) {
        set = {'\t', '\n', '\r', ' '};
    } else if (with->is(T_CHAR) || with->is(T_INTEGER)) {
        set.push_back(with->data2);
    } else {
        Series* w = value_series(with);
        uint32_t unit = w->unit();
        uint32_t total = (w->tail - w->head) / unit;
        for (uint32_t i = series_index(with); i < total; ++i)
            set.push_back(unit_get(w->head_ptr() + uint64_t(i) * unit, unit));
    }
    if (set.empty()) return;
    Series* s = value_series(str);
    uint32_t unit = s->unit();
    uint8_t* base = s->head_ptr();
    uint32_t total = (s->tail - s->head) / unit;
    uint32_t out = head;
    for (uint32_t i = head; i < total; ++i) {
        uint32_t c = unit_get(base + uint64_t(i) * unit, unit);
        if (std::find(set.begin(), set.end(), c) != set.end()) continue;
        if (out != i) unit_put(base + uint64_t(out) * unit, unit, c);
        ++out;
    }
    s->tail = s->head + out * unit;
}

void string_trim(Cell* series, const TrimOpts& opts) {
    if (opts.auto_) fire_error(Err::NotDone);
    if (opts.with) {
        TypeId t = opts.with->type();
        if (t != T_CHAR && t != T_INTEGER && t != T_STRING && t != T_BINARY) fire_error(Err::InvalidArg, opts.with);
    }
    series_notify(series, SeriesEvent::Trim, false, int32_t(string_head_index(series)), 0);
    uint32_t head = string_head_index(series);
    if (opts.all || opts.with) {
        string_trim_all(series, opts.with);
    } else {
        std::vector<uint32_t> c = read_chars(series, head);
        std::vector<uint32_t> out;
        out.reserve(c.size());
        size_t b = 0, e = c.size();
        bool plain = !opts.head && !opts.tail && !opts.lines;
        if (opts.lines) {
            bool pending_space = false;
            for (uint32_t ch : c) {
                if (is_whitespace(ch)) { pending_space = !out.empty(); continue; }
                if (pending_space) out.push_back(' ');
                pending_space = false;
                out.push_back(ch);
            }
        } else {
            if (opts.head || plain) while (b < e && is_whitespace(c[b])) ++b;
            bool end_had_lf = false;
            if (opts.tail || plain)
                while (e > b && is_whitespace(c[e - 1])) end_had_lf |= c[--e] == '\n';
            if (!plain) {
                out.assign(c.begin() + ptrdiff_t(b), c.begin() + ptrdiff_t(e));
            } else {
                // each line loses its leading and trailing spaces; line feeds stay
                size_t i = b;
                while (i < e) {
                    size_t line_end = i;
                    while (line_end < e && c[line_end] != '\n') ++line_end;
                    size_t s = i, t = line_end;
                    while (s < t && is_line_space(c[s])) ++s;
                    while (t > s && is_line_space(c[t - 1])) --t;
                    out.insert(out.end(), c.begin() + ptrdiff_t(s), c.begin() + ptrdiff_t(t));
                    if (line_end < e) out.push_back('\n');
                    i = line_end + 1;
                }
                if (end_had_lf) out.push_back('\n');
            }
        }
        write_chars(series, head, out);
    }
    series_notify(series, SeriesEvent::Trim, true, int32_t(head), string_rs_length(series));
}

// ---- path access -----------------------------------------------------------------------------------

void string_find(Cell* series, const Cell* value, const FindOpts& opts);
void string_select(Cell* series, const Cell* value, const FindOpts& opts);

void string_eval_path(Cell* parent, const PathStep& step) {
    Rooted element(*step.element);   // the element may lie in the path's buffer, which can move
    const Cell* el = element.get();
    TypeId type = parent->type();
    if (el->is(T_INTEGER)) {
        int32_t i = cell_integer(el);
        if (!step.value) {
            auto pick = action_impl<A_PICK>(type);
            if (!pick) fire_error(Err::InvalidPath, step.path ? step.path : el, el);
            pick(parent, i, el);
        } else {
            auto poke = action_impl<A_POKE>(type);
            if (!poke) fire_error(Err::InvalidPath, step.path ? step.path : el, el);
            Rooted v(*step.value);
            poke(parent, i, v.get());
            *parent = *v.get();
        }
        return;
    }
    if (el->is(T_WORD)) fire_error(Err::InvalidPath, step.path ? step.path : el, el);
    if (!step.value) {
        string_select(parent, el, FindOpts{});
        return;
    }
    Rooted v(*step.value);
    Rooted target(*parent);
    string_find(target.get(), el, FindOpts{});
    if (target->is(T_NONE)) fire_error(Err::BadPathSet, step.path ? step.path : el, el);
    int32_t len = 1;
    if (is_any_string(el->type()) && !el->is(T_TAG)) len = string_rs_length(el);
    auto poke = action_impl<A_POKE>(type);
    poke(target.get(), len + 1, v.get());
    *parent = *v.get();
}

// ---- Registration ----------------------------------------------------------------------------------

void string_sort(Cell* series, const SortOpts& opts);

void string_init() {
    ActionEntries e = action_entries(INHERIT);
    // string! has none of the math, logic, put or port actions
    for (Action a : {A_ABSOLUTE, A_ADD, A_DIVIDE, A_MULTIPLY, A_NEGATE, A_POWER, A_REMAINDER, A_ROUND,
                     A_SUBTRACT, A_EVEN_Q, A_ODD_Q, A_AND, A_COMPLEMENT, A_OR, A_XOR, A_PUT,
                     A_CREATE, A_CLOSE, A_DELETE, A_OPEN, A_OPEN_Q, A_QUERY, A_READ, A_RENAME,
                     A_UPDATE, A_WRITE})
        e[a - 1] = UNSUPPORTED;
    set_entry<A_MAKE>(e, string_make);
    set_entry<A_TO>(e, string_to);
    set_entry<A_FORM>(e, string_form);
    set_entry<A_MOLD>(e, string_mold);
    set_entry<A_EVAL_PATH>(e, string_eval_path);
    set_entry<A_COMPARE>(e, string_compare);
    set_entry<A_APPEND>(e, string_insert);
    set_entry<A_INSERT>(e, string_insert);
    set_entry<A_CHANGE>(e, string_change);
    set_entry<A_FIND>(e, string_find);
    set_entry<A_SELECT>(e, string_select);
    set_entry<A_SORT>(e, string_sort);
    set_entry<A_SWAP>(e, string_swap);
    set_entry<A_TAKE>(e, string_take);
    set_entry<A_TRIM>(e, string_trim);
    register_datatype(T_STRING, T_SERIES, "string!", e);
}

} // namespace kel
