// string! search and ordering: find, select, sort and the set operations on text.
//
// find compares a needle at each position of a range, forward or backward, stepping by the /skip
// size. The needle is a code point (char!, or a byte for a binary! series), a bitset! membership
// or a run of code points (any string, a word's spelling, or any other value formed into a
// temporary string). Text is compared after folding to upper case unless /case or /same is given.
//
// sort works in place on the buffer's units with a comparator chosen once per call; records of
// /skip characters move as wholes. Without a /compare function nothing allocates while sorting, so
// the buffer address is used directly; with one, the series sort of core/sort.h refetches the
// buffer after each call of the function, which may allocate and run any code.
#include "datatypes/string.h"

#include "core/case-fold.h"
#include "core/errors.h"
#include "core/roots.h"
#include "core/sort.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/unicode.h"
#include "datatypes/datatype.h"
#include "datatypes/series.h"
#include "evaluator/interpreter.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace kel {

namespace {

uint32_t units_of(const Cell* str) {
    Series* s = value_series(str);
    return (s->tail - s->head) / s->unit();
}

enum class Needle { Char, Bitset, Text };

// What find looks for, read once before the search.
struct Search {
    Needle kind = Needle::Char;
    uint32_t cp = 0;
    Cell bitset{};
    std::vector<uint32_t> text;   // the needle's code points, folded when the search folds
    bool fold = false;
};

bool in_bitset(const Cell* bitset, uint32_t c) {
    constexpr uint32_t BITSET_COMPLEMENT = 0x80000;
    Series* b = value_series(bitset);
    uint32_t bytes = b->tail - b->head;
    if (uint64_t(c) >= uint64_t(bytes) * 8) return (b->flags & BITSET_COMPLEMENT) != 0;
    return (b->head_ptr()[c >> 3] & (0x80 >> (c & 7))) != 0;
}

void read_text(const Cell* str, std::vector<uint32_t>& out, bool fold) {
    Series* s = value_series(str);
    uint32_t unit = s->unit();
    uint32_t total = (s->tail - s->head) / unit;
    for (uint32_t i = series_index(str); i < total; ++i) {
        uint32_t c = unit_get(s->head_ptr() + uint64_t(i) * unit, unit);
        out.push_back(fold ? fold_upper(c) : c);
    }
}

// Builds the needle; may allocate (a word's spelling, a formed value).
Search make_search(const Cell* series, const Cell* value, bool fold) {
    Search n;
    n.fold = fold;
    TypeId st = series->type();
    TypeId t = value->type();
    if (t == T_CHAR) {
        n.cp = fold ? fold_upper(value->data2) : value->data2;
    } else if (t == T_BITSET) {
        n.kind = Needle::Bitset;
        n.bitset = *value;
        n.fold = false;
    } else if (is_any_string(t) && t != T_TAG) {
        n.kind = Needle::Text;
        read_text(value, n.text, fold);
    } else if (t == T_BINARY) {
        if (st != T_BINARY) fire_error(Err::InvalidArg, value);
        n.kind = Needle::Text;
        read_text(value, n.text, false);
    } else if (st == T_BINARY && t == T_INTEGER) {
        n.cp = uint32_t(cell_integer(value));
    } else if (t == T_WORD || t == T_SET_WORD || t == T_GET_WORD || t == T_LIT_WORD) {
        n.kind = Needle::Text;
        Cell* sym = symbol_get(value->data2);
        Cell spelling = make_series(T_STRING, sym->data2);
        read_text(&spelling, n.text, fold);
    } else {
        n.kind = Needle::Text;
        Rooted v(*value);
        Cell* tmp = string_push_new(16);
        string_form_value(v.get(), tmp, false, INT32_MAX);
        read_text(tmp, n.text, fold);
        stack_pop();
    }
    return n;
}

// Whether the needle matches at unit index p (for text: its first character at p).
bool match_at(const Search& n, const uint8_t* base, uint32_t unit, uint32_t p) {
    auto ch = [&](uint32_t i) {
        uint32_t c = unit_get(base + uint64_t(i) * unit, unit);
        return n.fold ? fold_upper(c) : c;
    };
    switch (n.kind) {
    case Needle::Char: return ch(p) == n.cp;
    case Needle::Bitset: return in_bitset(&n.bitset, unit_get(base + uint64_t(p) * unit, unit));
    case Needle::Text:
        for (size_t i = 0; i < n.text.size(); ++i)
            if (ch(p + uint32_t(i)) != n.text[i]) return false;
        return true;
    }
    return false;
}

// The index where the value matches, -1 for none; *len receives the matched length in units.
int64_t find_position(Cell* series, const Cell* value, const FindOpts& o, uint32_t* len) {
    uint32_t total = units_of(series);
    if (total == 0) return -1;
    uint32_t head = string_head_index(series);
    if (head >= total && !o.reverse) return -1;
    if (o.any || o.with) fire_error(Err::NotDone);
    int32_t step = 1;
    if (o.skip) {
        step = o.skip->is(T_INTEGER) ? cell_integer(o.skip) : 0;
        if (step < 1) fire_error(Err::OutOfRange, o.skip);
    }
    int64_t count = -1;
    if (o.part) {
        count = string_part_count(series, o.part);
        if (count < 1) return -1;
    }
    if (o.match && o.reverse) return -1;
    bool fold = is_any_string(series->type()) && !o.case_ && !o.same;
    Rooted keep(*series);
    Search n = make_search(series, value, fold);
    *len = n.kind == Needle::Text ? uint32_t(n.text.size()) : 1;
    if (n.kind == Needle::Text && n.text.empty()) return -1;
    uint32_t nl = *len;

    Series* s = value_series(keep.get());
    uint32_t unit = s->unit();
    const uint8_t* base = s->head_ptr();
    total = (s->tail - s->head) / unit;

    if (o.reverse) {
        // backward from the character before the head, down to the start (or head - count)
        int64_t lower = count >= 0 ? std::max<int64_t>(0, int64_t(head) - count) : 0;
        for (int64_t p = int64_t(std::min(head, total)) - int64_t(nl); p >= lower; p -= step)
            if (match_at(n, base, unit, uint32_t(p))) return p;
        return -1;
    }
    int64_t end = count >= 0 ? std::min<int64_t>(total, int64_t(head) + count) : total;
    if (o.last) {
        for (int64_t p = end - int64_t(nl); p >= int64_t(head); p -= step)
            if (match_at(n, base, unit, uint32_t(p))) return p;
        return -1;
    }
    for (int64_t p = head; p + nl <= end; p += step) {
        if (match_at(n, base, unit, uint32_t(p))) return p;
        if (o.match) break;
    }
    return -1;
}

} // namespace

void string_find(Cell* series, const Cell* value, const FindOpts& opts) {
    uint32_t len = 1;
    int64_t p = find_position(series, value, opts, &len);
    if (p < 0) {
        *series = g_none_cell;
        return;
    }
    series->data1 = uint32_t(p) + (opts.tail ? len : 0);
}

void string_select(Cell* series, const Cell* value, const FindOpts& opts) {
    FindOpts o = opts;
    o.tail = o.match = false;
    uint32_t len = 1;
    TypeId vt = value->type();
    int64_t p = find_position(series, value, o, &len);
    if (p < 0) {
        *series = g_none_cell;
        return;
    }
    bool text = vt == T_BINARY || vt == T_WORD || (is_any_string(vt) && vt != T_TAG);
    uint64_t at = uint64_t(p) + (text ? len : 1);
    if (at >= units_of(series)) {
        *series = g_none_cell;
        return;
    }
    uint32_t c = string_rs_abs_char(series, uint32_t(at));
    *series = series->is(T_BINARY) ? make_integer(int32_t(c)) : make_cell(T_CHAR, 0, c, 0);
}

// ---- sort ------------------------------------------------------------------------------------------

namespace {

struct SortSpec {
    uint32_t unit;
    uint32_t offset;  // character compared within a record
    uint32_t size;    // characters per record
    bool all;
    bool fold;
    bool reverse;
};

int compare_records(const void* x, const void* y, intptr_t ctx, intptr_t) {
    const SortSpec& k = *reinterpret_cast<const SortSpec*>(ctx);
    const uint8_t* a = static_cast<const uint8_t*>(x);
    const uint8_t* b = static_cast<const uint8_t*>(y);
    uint32_t first = k.all ? 0 : k.offset;
    uint32_t last = k.all ? k.size : k.offset + 1;
    int r = 0;
    for (uint32_t i = first; i < last && r == 0; ++i) {
        uint32_t ca = unit_get(a + i * k.unit, k.unit), cb = unit_get(b + i * k.unit, k.unit);
        if (k.fold) { ca = fold_upper(ca); cb = fold_upper(cb); }
        r = ca < cb ? -1 : ca > cb ? 1 : 0;
    }
    return k.reverse ? -r : r;
}

} // namespace

void string_sort_with_function(Cell* series, uint32_t head, uint32_t count, uint32_t size,
                               const SortOpts& opts);

void string_sort(Cell* series, const SortOpts& o) {
    uint32_t head = string_head_index(series);
    uint32_t total = units_of(series);
    uint32_t len = total - head;
    if (o.part) {
        int32_t n = string_part_count(series, o.part);
        if (n >= 0) {
            if (uint32_t(n) < len) len = uint32_t(n);
        } else {
            uint32_t back = uint32_t(-int64_t(n));
            if (back > head) {
                series->data1 = 0;
                return;
            }
            head -= back;
            series->data1 = head;
            len = back;
        }
    }
    uint32_t size = 1;
    if (o.skip) {
        int32_t k = o.skip->is(T_INTEGER) ? cell_integer(o.skip) : 0;
        if (k < 1 || uint32_t(k) > len || len % uint32_t(k) != 0) {
            Cell w = word_cell("skip");
            fire_error(Err::InvalidRefineArg, &w, o.skip);
        }
        size = uint32_t(k);
    }
    if (o.all && !o.skip) fire_error(Err::BadRefines);
    uint32_t offset = 0;
    bool function = false;
    if (o.compare) {
        if (o.compare->is(T_INTEGER)) {
            if (!o.skip || o.all) fire_error(Err::BadRefines);
            int32_t k = cell_integer(o.compare);
            if (k < 1 || uint32_t(k) > size) fire_error(Err::OutOfRange, o.compare);
            offset = uint32_t(k - 1);
        } else if (is_any_function(o.compare->type())) {
            function = true;
        } else {
            Cell w = word_cell("compare");
            fire_error(Err::InvalidRefineArg, &w, o.compare);
        }
    }
    uint32_t count = size ? len / size : 0;
    if (count < 2) return;
    series_notify(series, SeriesEvent::Sort, false, int32_t(head), int32_t(len));
    // the owner's handler may have shortened the string: sort what is still there
    total = units_of(series);
    if (head >= total) return;
    count = std::min(count, (total - head) / size);
    if (function) {
        string_sort_with_function(series, head, count, size, o);
    } else {
        Series* s = value_series(series);
        SortSpec spec{s->unit(), offset, size, o.all, !o.case_ && is_any_string(series->type()), o.reverse};
        uint8_t* base = s->head_ptr() + uint64_t(head) * spec.unit;
        // no allocation happens while sorting: the comparator only reads units. /stable takes
        // the stable sort with /case as well, so records with equal keys keep their order.
        if (o.stable) sort_merge(base, count, size * spec.unit, intptr_t(&spec), 0, compare_records);
        else sort_unstable(base, count, size * spec.unit, intptr_t(&spec), 0, compare_records);
    }
    series_notify(series, SeriesEvent::Sort, true, int32_t(head), int32_t(len));
}

// ---- set operations --------------------------------------------------------------------------------

void string_set_operation(Cell* first, const Cell* second, int32_t op, bool case_, const Cell* skip) {
    int32_t size = 1;
    if (skip) {
        size = skip->is(T_INTEGER) ? cell_integer(skip) : 0;
        if (size < 1) {
            Cell w = word_cell("skip");
            fire_error(Err::InvalidRefineArg, &w, skip);
        }
    }
    Rooted a(*first);
    Rooted b(second ? *second : *first);
    Cell* result = string_push_new(uint32_t(std::max(string_rs_length(a.get()), 1)));
    set_cell_type(result, a->type());
    auto walk = [&](Cell* from, Cell* other, bool want_in_other, bool check_other) {
        uint32_t i = string_head_index(from);
        for (;; i += uint32_t(size)) {
            uint32_t total = units_of(from);
            if (i >= total) break;
            uint32_t c = string_rs_abs_char(from, i);
            if (string_has_char(result, c, size, case_)) continue;
            if (check_other && string_has_char(other, c, size, case_) != want_in_other) continue;
            Cell rec = *from;
            rec.data1 = i;
            string_concatenate(result, &rec, std::min<int32_t>(size, int32_t(total - i)), 0, true, 0);
        }
    };
    switch (op) {
    case 8: walk(a.get(), b.get(), false, false); break;                           // unique
    case 9: walk(a.get(), b.get(), false, false); walk(b.get(), a.get(), false, false); break;
    case 10: walk(a.get(), b.get(), true, true); break;                            // intersect
    case 11: walk(a.get(), b.get(), false, true); break;                           // exclude
    case 12: walk(a.get(), b.get(), false, true); walk(b.get(), a.get(), false, true); break;
    default: fire_error(Err::InvalidArg, first);
    }
    *first = *result;
    stack_pop();
}

// ---- sort with a /compare function ------------------------------------------------------------------

namespace {

struct FunctionSort {
    Rooted* fn;
    TypeId type;     // the series' type, for /all records
    uint32_t unit;
    uint32_t size;   // characters per record
    bool all;
    bool reverse;
};

// Orders two records by calling the function with their first characters (or, with /all, with
// two strings holding the whole records). The records are copies held by the sort, read before
// anything allocates; the argument values wait on the data stack.
int compare_with_function(const void* x, const void* y, intptr_t ctx, intptr_t) {
    const FunctionSort& k = *reinterpret_cast<const FunctionSort*>(ctx);
    const uint8_t* a = static_cast<const uint8_t*>(k.reverse ? y : x);
    const uint8_t* b = static_cast<const uint8_t*>(k.reverse ? x : y);
    Cell* saved_top = g_stack.top;
    Cell* args = g_stack.top;
    if (k.all) {
        std::vector<uint32_t> ra(k.size), rb(k.size);
        for (uint32_t i = 0; i < k.size; ++i) {
            ra[i] = unit_get(a + i * k.unit, k.unit);
            rb[i] = unit_get(b + i * k.unit, k.unit);
        }
        for (const std::vector<uint32_t>* rec : {&ra, &rb}) {
            Cell* c = string_push_new(k.size * k.unit);
            Series* s = string_widen_to(value_series(c), k.unit);
            for (uint32_t ch : *rec) s = string_append_char(s, ch);
            set_cell_type(c, k.type);
        }
    } else {
        stack_push(make_cell(T_CHAR, 0, unit_get(a, k.unit), 0));
        stack_push(make_cell(T_CHAR, 0, unit_get(b, k.unit), 0));
    }
    call_with_args(k.fn->get(), args, 2);
    Cell answer = *stack_top();
    g_stack.top = saved_top;
    switch (answer.type()) {
    case T_LOGIC: return answer.data1 ? -1 : 1;
    case T_NONE: return 1;
    case T_INTEGER: return cell_integer(&answer) < 0 ? -1 : cell_integer(&answer) > 0 ? 1 : 0;
    case T_FLOAT: {
        double d = answer.get_float();
        return d < 0 ? -1 : d > 0 ? 1 : 0;
    }
    default: return -1;
    }
}

} // namespace

void string_sort_with_function(Cell* series, uint32_t head, uint32_t count, uint32_t size,
                               const SortOpts& opts) {
    Rooted fn(*opts.compare);
    Series* s = value_series(series);
    FunctionSort k{&fn, series->type(), s->unit(), size, opts.all && opts.skip, opts.reverse};
    // the function may allocate and run any code: the series sort fetches the buffer again
    // after each call and hands the comparator copies of the records
    uint32_t offset = head * k.unit;
    if (opts.stable) sort_merge_series(series, offset, count, size * k.unit, intptr_t(&k), 0, compare_with_function);
    else sort_unstable_series(series, offset, count, size * k.unit, intptr_t(&k), 0, compare_with_function);
}

} // namespace kel
