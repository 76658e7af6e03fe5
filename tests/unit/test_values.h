// Values that unit tests build, and where they keep them.
//
// A value a test makes lives only as long as something the collector sees refers to it. keep()
// puts it on the data stack, whose cells never move, for the rest of the test.
#pragma once

#include "core/cell.h"
#include "core/context.h"
#include "core/errors.h"
#include "core/memory.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/unicode.h"

#include <initializer_list>
#include <optional>
#include <vector>

namespace kel::test {

inline Cell& keep(const Cell& v) { return *stack_push(v); }

// A block holding the cells, kept for the rest of the test. The cells wait on the data stack while
// the block is made; the block's own cell then takes their place.
inline Node block_of(std::initializer_list<Cell> cells) {
    uint32_t first = stack_depth();
    for (const Cell& c : cells) keep(c);
    Node n = alloc_cells(cells.size() + 1);
    keep(make_series(T_BLOCK, n));
    for (uint32_t i = 0; i < cells.size(); ++i) block_append(n, *stack_at_index(first + i));
    *stack_at_index(first) = *stack_top();
    g_stack.top = stack_at_index(first + 1);
    return n;
}
inline Cell block(std::initializer_list<Cell> cells) { return make_series(T_BLOCK, block_of(cells)); }

// A string value (any string type) of the code points in the given unit width; not kept.
inline Cell text_of(TypeId type, const std::vector<uint32_t>& cps, uint32_t unit) {
    Node n = alloc_series(cps.size() ? cps.size() : 1, unit, 0);
    Series* s = node_series(n);
    for (uint32_t c : cps) {
        unit_put(s->tail_ptr(), unit, c);
        s->tail += unit;
    }
    return make_series(type, n);
}

// The code points of a string series from its head to its tail.
inline std::vector<uint32_t> code_points(Node n) {
    Series* s = node_series(n);
    std::vector<uint32_t> out;
    for (uint8_t* p = s->head_ptr(); p < s->tail_ptr(); p += s->unit()) out.push_back(unit_get(p, s->unit()));
    return out;
}
inline std::vector<uint32_t> code_points(const Cell& str) { return code_points(series_node(&str)); }

// The error a body raises inside a try frame, or Err::Count_ when it finishes. The data stack is
// put back where it was.
template <class F>
Err raised(F&& body) {
    Cell w = *context_global_word(symbol_make("test"));
    Cell* top = g_stack.top;
    bool finished = stack_try(&w, false, body);
    Err e = finished ? Err::Count_ : error_id_of(stack_top());
    g_stack.top = top;
    return e;
}

// The error a body raises with its first argument (none when it has none), or nothing when the
// body finishes. The argument is kept on the data stack for the rest of the test.
struct Raised {
    Err id;
    Cell arg1;
};
template <class F>
std::optional<Raised> raised_with_arg(F&& body) {
    Cell word = make_cell(T_WORD);
    if (stack_try(&word, false, [&] { body(); })) return std::nullopt;
    Cell* error = stack_top();
    Raised r{error_id_of(error), Cell{T_NONE, 0, 0, 0}};
    if (const Cell* a = error_arg(error, 1)) r.arg1 = *a;
    stack_pop();
    keep(r.arg1);
    return r;
}

} // namespace kel::test
