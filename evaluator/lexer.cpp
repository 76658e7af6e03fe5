// The lexer's scan loop: text to tokens, tokens to values.
//
// Each round reads one token with the automaton of evaluator/lexer-tables.inc: from the entry
// state, every byte's class selects the next state until a final state (above 65) accepts the
// token; the byte that led there is not consumed. The final state gives the token kind (final
// state - 65). Structural kinds (blocks, parens, maps, paths, braced strings, comments, commas)
// are handled here; value kinds go to their loader (evaluator/scan.cpp).
//
// Series under construction live in one shared cell buffer: opening a series pushes a marker
// cell (triple! type) holding the previous open position, the series kind and the opener's byte
// offset; values are pushed above it; closing copies them into a new series that takes the
// marker's place. Lexer states keep indices into that buffer, so when it grows (doubling) no
// state needs rebasing. The collector reaches the buffer through lexer_mark_states.
//
// Errors: in load mode a bad token raises a syntax error whose arguments are the line text
// "(line N)", for `invalid` the datatype, for `missing` the missing character, and a snippet of
// the input (at most 30 bytes from the error start, cut at the first line feed and at a
// code-point boundary, undecodable bytes shown as U+FFFD). In scan and prescan modes nothing is
// raised: the scan stops and answers -1.
#include "evaluator/lexer.h"

#include "core/errors.h"
#include "core/gc.h"
#include "core/memory.h"
#include "core/roots.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/unicode.h"
#include "datatypes/datatype.h"
#include "datatypes/map.h"
#include "core/symbol.h"
#include "evaluator/interpreter.h"
#include "evaluator/lexer-tables.inc"
#include "evaluator/scan.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace kel {

namespace lex {

Cell* g_cells = nullptr;
uint32_t g_cells_capacity = 0;

namespace {

constexpr uint32_t CELL_BUFFER_START = 1000;
constexpr uint32_t UTF8_BUFFER_SIZE = 100000;

State* g_chain_head = nullptr;   // the first running scan
State* g_chain_tail = nullptr;   // the innermost one

uint8_t* g_utf8 = nullptr;       // text of string! and binary! input being scanned
uint32_t g_utf8_used = 0;

// Marker cells: word 1 the previous open position, word 2 the series kind in bits 0-7 and the
// count of "," separators above, word 3 the opener's byte offset in the input.
constexpr uint32_t MARK_KIND_MASK = 0xFF;
constexpr uint32_t MARK_COMMA_SHIFT = 8;

// Quiet stop of a scan outside load mode (or when the trace callback declines an error).
struct QuietStop {};

enum : uint32_t { EV_PRESCAN = 1, EV_SCAN = 2, EV_LOAD = 4, EV_OPEN = 8, EV_CLOSE = 16, EV_ERROR = 32 };
bool fire(State* st, uint32_t event, const Cell& type, const uint8_t* at, const uint8_t* s,
          const uint8_t* e, const Cell* value);

bool has_open(const State* st) { return st->open > st->base; }
Cell* marker(const State* st) { return &g_cells[st->open - 1]; }
uint32_t marker_kind(const State* st) { return has_open(st) ? (marker(st)->data2 & MARK_KIND_MASK) : 0; }
bool is_path_kind(uint32_t k) {
    return k == T_PATH || k == T_LIT_PATH || k == T_GET_PATH || k == T_SET_PATH;
}

void grow_cells(uint32_t need) {
    uint64_t cap = g_cells_capacity;
    while (cap < need) cap *= 2;
    if (cap > 0x7FFFFFFF / sizeof(Cell)) fire_error(Err::NoMemory);
    void* p = std::realloc(g_cells, size_t(cap) * sizeof(Cell));
    if (!p) fire_error(Err::NoMemory);
    g_cells = static_cast<Cell*>(p);
    g_cells_capacity = uint32_t(cap);
}

// The line text "(line N)" and the snippet, as string! values.
Cell make_text(const char* text, size_t n) {
    Node node = alloc_units(n, 1);
    Series* s = node_series(node);
    std::memcpy(s->data(), text, n);
    s->tail = uint32_t(n);
    return make_series(T_STRING, node);
}

Cell make_snippet(const uint8_t* from, const uint8_t* end) {
    const uint8_t* stop = from;
    while (stop < end && stop - from < 30 && *stop != '\n') ++stop;
    uint32_t cps[30];
    uint32_t n = 0, widest = 0;
    const uint8_t* p = from;
    while (p < stop) {
        int32_t cp;
        const uint8_t* q = decode_utf8_char(p, end, &cp);
        if (q > stop) {   // a sequence cut by the 30-byte limit or the line feed: end before it
            if (cp >= 0) break;
            q = p + 1;    // an undecodable byte stands alone
        }
        if (cp < 0) cp = 0xFFFD;
        cps[n++] = uint32_t(cp);
        if (uint32_t(cp) > widest) widest = uint32_t(cp);
        p = q;
    }
    uint32_t unit = widest > 0xFFFF ? 4 : widest > 0xFF ? 2 : 1;
    Node node = alloc_units(n, unit);
    Series* s = node_series(node);
    for (uint32_t i = 0; i < n; ++i) unit_put(s->data() + i * unit, unit, cps[i]);
    s->tail = n * unit;
    return make_series(T_STRING, node);
}

void link_state(State* st) {
    st->previous = g_chain_tail;
    st->next = nullptr;
    if (g_chain_tail) g_chain_tail->next = st;
    else g_chain_head = st;
    g_chain_tail = st;
}

void unlink_state(State* st) {
    if (st->previous) st->previous->next = nullptr;
    else g_chain_head = nullptr;
    g_chain_tail = st->previous;
}

// ---- Series ---------------------------------------------------------------------------------

void open_series(State* st, uint32_t kind, const uint8_t* opener) {
    if (marker_kind(st) == T_POINT2D) throw_error(st, opener, opener + 1, T_POINT2D);
    if (st->tracing && !fire(st, EV_OPEN, make_datatype(TypeId(kind)), opener, opener, opener + 1, nullptr) &&
        !is_path_kind(kind))
        return;   // declined: the series stays unopened
    Cell* m = push_slot(st);
    *m = Cell{T_TRIPLE, st->open, kind, uint32_t(opener - st->start)};
    if (st->round_lines > 0) m->header |= CELL_NEWLINE;
    st->open = st->top;
}

// A map literal holds key/value pairs with keys of the map key types: else an error naming map!.
void check_map(State* st, uint32_t first, uint32_t count) {
    bool bad = count % 2 != 0;
    for (uint32_t i = 0; i < count && !bad; i += 2) bad = !map_key_type(g_cells[first + i].type());
    if (bad) {
        const uint8_t* opener = st->start + marker(st)->data3;
        throw_error(st, opener, opener + 2, T_MAP);
    }
}

// Replaces the innermost marker by a series of the given type holding the cells above it.
void close_series(State* st, uint32_t type) {
    uint32_t first = st->open;
    uint32_t count = st->top - first;
    Cell* m = marker(st);
    uint32_t previous = m->data1;
    uint32_t newline = m->header & CELL_NEWLINE;
    Cell value{T_NONE, 0, 0, 0};
    if (st->load && type == T_POINT2D) {
        value = point_from_cells(st, g_cells + first, count, m->data2 >> MARK_COMMA_SHIFT,
                                 st->start + m->data3);
        type = value.type();
    } else if (st->load) {
        if (type == T_MAP) check_map(st, first, count);
        Node node = alloc_cells(count ? count : 1);
        Series* s = node_series(node);
        std::memcpy(s->data(), g_cells + first, size_t(count) * sizeof(Cell));
        s->tail = count * uint32_t(sizeof(Cell));
        if (type == T_MAP) map_from_block(&value, node, nullptr);
        else value = make_series(TypeId(type), node);
    }
    m = &g_cells[first - 1];
    *m = value;
    m->header |= newline;
    st->top = first;
    st->open = previous;
    st->type = int32_t(type);
    st->value_done = true;
    st->entry = is_path_kind(marker_kind(st)) ? 59 : 0;
}

// The closer's error: which character is missing.
[[noreturn]] void missing(State* st, const uint8_t* at, int32_t code) {
    throw_error(st, at, at + 1, code);
}

// A closer the trace callback declines leaves the series open.
bool close_wanted(State* st, uint32_t kind, const uint8_t* at) {
    return !st->tracing || fire(st, EV_CLOSE, make_datatype(TypeId(kind)), at + 1, at, at + 1, nullptr);
}

void close_block(State* st, const uint8_t* at) {
    uint32_t k = marker_kind(st);
    if (k != T_BLOCK && k != T_MAP) missing(st, at, ERR_NO_OPENER);
    if (close_wanted(st, k, at)) close_series(st, k);
}

void close_paren(State* st, const uint8_t* at) {
    uint32_t k = marker_kind(st);
    if (k != T_PAREN && k != T_POINT2D) missing(st, at, ERR_NO_OPENER);
    if (close_wanted(st, k, at)) close_series(st, k);
}

// After a quiet stop in load mode: open blocks and parens are closed as they stand, any other
// open series is dropped with the values above it.
void close_all_open(State* st) {
    while (has_open(st)) {
        uint32_t k = marker_kind(st);
        if (k == T_BLOCK || k == T_PAREN) {
            close_series(st, k);
        } else {
            uint32_t previous = marker(st)->data1;
            st->top = st->open - 1;
            st->open = previous;
        }
    }
}

// A point literal follows "(" when, after at least four more bytes, the bytes of the number set
// run up to a "," or to the end of the input.
bool point_ahead(const uint8_t* p, const uint8_t* end) {
    if (end - p < 4) return false;
    for (; p < end; ++p) {
        uint8_t b = *p;
        bool number = b == '\t' || b == ' ' || b == '#' || b == '+' || b == '-' || b == '.' ||
                      (b >= '0' && b <= '9');
        uint8_t u = uint8_t(b & ~0x20);
        number = number || u == 'A' || u == 'E' || u == 'F' || u == 'I' || u == 'N';
        if (!number) return b == ',';
    }
    return true;
}

// After a path element: close the path at a terminator or the end, else step over the "/".
void finish_path_element(State* st) {
    const uint8_t* p = st->pos;
    uint32_t k = marker_kind(st);
    if (p >= st->end || lex::k_path_terminator[lex::k_class_table[*p] & 0xFF]) {
        if (p < st->end && *p == ':') {
            const uint8_t* opener = st->start + marker(st)->data3;
            if (p + 1 < st->end && p[1] == '/') throw_error(st, opener, p + 1, T_PATH);
            if (k != T_PATH) throw_error(st, opener, p + 1, ERR_NO_CLOSER);
            k = T_SET_PATH;
            st->pos = p + 1;
        }
        close_series(st, k);
        return;
    }
    if (*p != '/' || p + 1 >= st->end) {
        throw_error(st, st->start + marker(st)->data3, p + 1, T_PATH);
    }
    st->pos = p + 1;
    st->entry = 59;
}

void open_path(State* st, const uint8_t* s, const uint8_t* e, uint32_t flags) {
    uint32_t kind = *s == '\'' ? T_LIT_PATH : *s == ':' ? T_GET_PATH : T_PATH;
    open_series(st, kind, s);
    const uint8_t* w = (kind == T_PATH) ? s : s + 1;
    if (w == e) throw_error(st, s, e + 1, T_PATH);
    load_word(st, w, e, flags & ~F_COLON, true);
    st->pos = e + 1;   // past the "/"
    if (st->pos >= st->end) throw_error(st, s, st->pos, T_PATH);
    st->entry = 59;
    st->value_done = false;
}

// Consumes the accepting byte: the token's own last byte for these kinds.
bool consumes_last(int kind, int last_state) {
    switch (kind) {
    case 3: case 4: case 5: case 6: case 7: case 8: case 9: case 10: case 11: case 13:
    case 14: case 19: case 21: case 22: case 28: case 31:
        return true;
    case 20:
        return last_state == 8;
    default:
        return false;
    }
}

// True when one complete top-level value stands in this scan's part of the buffer.
bool one_value_read(const State* st) {
    return st->entry != 59 && st->entry != 4 && !has_open(st) && st->top == st->base + 1;
}

// ---- Trace events ---------------------------------------------------------------------------

// The type a trace event names for a structural token (kinds 1-13).
const char* const k_structural_names[14] = {
    "", "eof", "error", "block", "block-end", "paren", "paren-end", "string", "string-end",
    "map", "path", "construct", "comment", "comma",
};

// The events a callback wants: the words of the block its body begins with, else all six.
uint32_t callback_events(const Cell* callback) {
    // the event symbols first: interning may allocate, and the body is read through addresses
    static const char* const names[] = {"prescan", "scan", "load", "open", "close", "error"};
    uint32_t syms[6];
    for (int k = 0; k < 6; ++k) syms[k] = symbol_resolve(symbol_make(names[k]));
    if (!callback->is(T_FUNCTION) || !callback->data3) return 0x3F;
    Series* more = node_series(callback->data3);
    if (more->length() < 1) return 0x3F;
    const Cell* body = more->cell_at(0);
    if (!body->is(T_BLOCK)) return 0x3F;
    Series* b = node_series(series_node(body));
    if (series_index(body) >= b->length()) return 0x3F;
    const Cell* first = b->cell_at(series_index(body));
    if (!first->is(T_BLOCK)) return 0x3F;
    uint32_t mask = 0;
    Series* words = node_series(series_node(first));
    for (uint32_t i = series_index(first); i < words->length(); ++i) {
        const Cell* w = words->cell_at(i);
        if (!w->is(T_WORD)) continue;
        uint32_t sym = symbol_resolve(w->data2);
        for (int k = 0; k < 6; ++k)
            if (sym == syms[k]) mask |= 1u << k;
    }
    return mask;
}

// The input series' index for a byte position of the text: characters for a string!, bytes for
// a binary!, counted on from the last position asked for.
uint32_t input_units(State* st, const uint8_t* at) {
    uint32_t offset = uint32_t(at - st->start);
    if (!st->input_chars) return offset;
    if (offset < st->counted_bytes) { st->counted_bytes = 0; st->counted_chars = 0; }
    st->counted_chars += uint32_t(utf8_count_chars(st->start + st->counted_bytes, at));
    st->counted_bytes = offset;
    return st->counted_chars;
}

// Calls the trace callback for one event; true when it answers true (anything but none and
// false). `at` is where the input series is shown positioned; the token is the value, or a pair!
// of the token's 1-based start and end.
bool fire(State* st, uint32_t event, const Cell& type, const uint8_t* at, const uint8_t* s,
          const uint8_t* e, const Cell* value) {
    if (!st->tracing || !(st->events & event)) return true;
    static const char* const names[] = {"prescan", "scan", "load", "open", "close", "error"};
    uint32_t k = 0;
    while ((1u << k) != event) ++k;
    Rooted args[5];
    args[1].value = st->input;
    args[1]->data1 = st->input_index + input_units(st, at);
    args[2].value = type;
    args[3].value = make_integer(st->line);
    if (value) {
        args[4].value = *value;
    } else {
        int32_t first = int32_t(input_units(st, s)) + 1;
        int32_t last = int32_t(input_units(st, e)) + 1;
        args[4].value = Cell{T_PAIR, 0, uint32_t(first), uint32_t(last)};
    }
    args[0].value = make_word(T_WORD, reinterpret_cast<const uint8_t*>(names[k]),
                              uint32_t(std::strlen(names[k])));
    Cell cells[5];
    for (int i = 0; i < 5; ++i) cells[i] = args[i].value;
    Rooted callback(st->callback);
    Cell* top = g_stack.top;
    call_with_args(callback.get(), cells, 5);
    bool answer = g_stack.top > top ? truthy(g_stack.top - 1) : false;
    g_stack.top = top;
    return answer;
}

Cell structural_type(int kind) {
    const char* name = k_structural_names[kind];
    return make_word(T_WORD, reinterpret_cast<const uint8_t*>(name), uint32_t(std::strlen(name)));
}

// ---- The scan loop --------------------------------------------------------------------------

// Runs the loader of a value kind (14-36) over the token [s, e).
void load_token(State* st, int kind, const uint8_t* s, const uint8_t* e, uint32_t flags, int entry) {
    switch (kind) {
    case 14: load_string(st, s + 1, e, flags); break;
    case 15: load_word(st, s, e, flags, entry == 59); break;
    case 16: load_issue(st, s, e, flags); break;
    case 17: load_integer(st, s, e, flags); break;
    case 18: load_refinement(st, s, e, flags); break;
    case 19: load_char(st, s, e, flags); break;
    case 23: load_float(st, s, e, flags); break;
    case 24: load_special_float(st, s, e); break;
    case 29: load_time(st, s, e, flags); break;
    case 34: load_hex_integer(st, s, e, flags); break;
    case 35: load_raw_string(st, s, e); break;
    case 20: load_file(st, s, e, flags); break;
    case 21: load_binary(st, s, e, flags); break;
    case 22: load_percent(st, s, e, flags); break;
    case 25: load_tuple(st, s, e, flags); break;
    case 26: load_date(st, s, e, flags); break;
    case 27: load_pair(st, s, e, flags); break;
    case 30: load_money(st, s, e, flags); break;
    case 31: load_tag(st, s, e, flags); break;
    case 32: load_url(st, s, e, flags); break;
    case 33: load_email(st, s, e, flags); break;
    case 36: load_ref(st, s, e, flags); break;
    case 28: load_point(st, s, e, flags); break;
    default:   // kinds whose datatypes are not built yet: recognised, not loaded
        if (st->load) not_done();
        break;
    }
}

// A value token: checked, reported and loaded as the mode and the trace callback ask. Outside load
// mode a placeholder cell stands for the value, so that nesting and one-value reads work alike.
void value_token(State* st, int kind, const uint8_t* s, const uint8_t* e, uint32_t flags, int entry) {
    st->value_done = true;
    if (st->prescan) {   // the type is the automaton's
        push_value(st, Cell{T_NONE, 0, 0, 0});
        return;
    }
    if (!st->tracing) {
        load_token(st, kind, s, e, flags, entry);
        if (!st->load) push_value(st, Cell{T_NONE, 0, 0, 0});
        return;
    }
    bool load = st->load;
    if (!load || (st->events & EV_SCAN)) {
        st->load = false;
        load_token(st, kind, s, e, flags, entry);
        st->load = load;
    }
    Cell type = make_datatype(TypeId(st->type > 0 ? st->type : T_ERROR));
    if (!fire(st, EV_SCAN, type, st->pos, s, e, nullptr) || !load) {
        if (!load) push_value(st, Cell{T_NONE, 0, 0, 0});
        else st->value_done = false;
        return;
    }
    uint32_t before = st->top;
    load_token(st, kind, s, e, flags, entry);
    if (st->top > before) {
        Rooted value(g_cells[st->top - 1]);
        if (!fire(st, EV_LOAD, make_datatype(value->type()), st->pos, s, e, value.get())) {
            st->top = before;
            st->value_done = false;
        }
    }
}

void run(State* st) {
    using namespace lex;
    while (st->pos < st->end) {
        uint32_t flags = 0;
        int state = st->entry;
        int entry = st->entry;
        const uint8_t* p = st->pos;
        const uint8_t* start = p;
        int32_t line0 = st->line;
        st->value_done = false;
        int next;
        const uint8_t* end = st->end;
        for (;;) {
            if (p == end) {
                next = k_transitions[state * k_classes + 39];
                start += k_skip[next];
                break;
            }
            uint32_t e = k_class_table[*p];
            uint32_t cls = e & 0xFF;
            flags |= e;
            next = k_transitions[state * k_classes + cls];
            start += k_skip[next];
            if (next > 65) break;
            st->line += k_line_increment[cls];
            ++p;
            state = next;
        }
        flags &= ~0xFFu;
        st->round_lines = st->line - line0;
        st->token_end = p;
        st->last_state = state;
        st->pos = p;
        int kind = next - 65;
        st->type = k_final_type[next];
        if (consumes_last(kind, state)) st->pos = p + 1;

        // A word made only of Unicode spaces is skipped like blanks; one that starts with them
        // starts after them.
        if (kind == 15 && (flags & F_MULTIBYTE)) {
            while (start < p) {
                int32_t cp;
                const uint8_t* q = decode_utf8_char(start, p, &cp);
                if (!is_unicode_space(cp)) break;
                start = q;
            }
            if (start == p) {
                if (p >= end) break;
                continue;
            }
        }

        if (st->tracing && kind != 1 && kind != 2) {
            bool structural = kind <= 13;
            Cell type = structural ? structural_type(kind) : make_datatype(TypeId(st->type));
            bool go = fire(st, EV_PRESCAN, type, structural ? start : st->pos, start, st->pos, nullptr);
            if (!go && entry != 4) continue;
        }

        switch (kind) {
        case 1:   // end of input
            return;
        case 2: {   // a byte no form allows
            int32_t code = state < k_states ? k_state_error[state] : ERR_BAD_CHAR;
            const uint8_t* from = start;
            if (state >= 59 && has_open(st)) {
                from = st->start + marker(st)->data3;
                code = ERR_BAD_CHAR;
            }
            if (entry == 35) code = T_POINT2D;
            if (entry == 4) from = st->braced_start;
            throw_error(st, from, p + 1 > end ? end : p + 1, code);
        }
        case 3:
            open_series(st, T_BLOCK, p);
            break;
        case 4:
            close_block(st, p);
            break;
        case 5:
            if (point_ahead(p + 1, end)) {
                if (marker_kind(st) == T_POINT2D) throw_error(st, p, p + 1, T_POINT2D);
                st->point_lines = st->round_lines;
                st->entry = 35;
            } else {
                open_series(st, T_PAREN, p);
                st->entry = 0;
            }
            break;
        case 6:
            close_paren(st, p);
            break;
        case 7:   // "{"
            if (st->braced_depth == 0) {
                st->braced_start = p;
                st->braced_flags = 0;
                st->braced_lines = st->round_lines;
                fire(st, EV_OPEN, make_datatype(T_STRING), p, p, p + 1, nullptr);
            }
            ++st->braced_depth;
            st->braced_flags |= flags;
            st->entry = 4;
            break;
        case 8: {   // "}" inside a braced string
            st->braced_flags |= flags;
            if (st->line != line0) st->braced_flags |= F_MULTILINE;
            if (--st->braced_depth > 0) {
                if (st->pos >= end) throw_error(st, st->braced_start, end, T_STRING);
                break;
            }
            st->entry = is_path_kind(marker_kind(st)) ? 59 : 0;
            st->round_lines = st->braced_lines;
            fire(st, EV_CLOSE, make_datatype(T_STRING), st->pos, st->braced_start, st->pos, nullptr);
            value_token(st, 14, st->braced_start, p, st->braced_flags, entry);
            break;
        }
        case 9:
            open_series(st, T_MAP, start);
            break;
        case 10:
            open_path(st, start, p, flags);
            break;
        case 11:
            st->value_done = true;
            load_construction(st, start, p);
            if (!st->load) push_value(st, Cell{T_NONE, 0, 0, 0});
            break;
        case 12:   // comment
            fire(st, EV_SCAN, structural_type(12), p, start, p, nullptr);
            break;
        case 13: {   // ","
            uint32_t k = marker_kind(st);
            if (k == T_PAREN) {
                marker(st)->data2 = T_POINT2D | (1u << MARK_COMMA_SHIFT);
            } else if (k == T_POINT2D) {
                marker(st)->data2 += 1u << MARK_COMMA_SHIFT;
            } else {
                throw_error(st, p, p + 1, T_POINT2D);
            }
            break;
        }
        case 28:   // point literal: "(" was passed over, the token ends before ")"
            value_token(st, kind, start, p, flags, entry);
            st->entry = is_path_kind(marker_kind(st)) ? 59 : 0;
            break;
        default:
            value_token(st, kind, start, p, flags, entry);
            break;
        }

        if (st->value_done && st->entry == 59 && kind != 10 && is_path_kind(marker_kind(st)))
            finish_path_element(st);

        if ((st->one || st->prescan) && st->type > 0 && one_value_read(st)) return;
        st->prev_type = st->type;
    }
    // the input ended inside a braced string
    if (st->entry == 4) throw_error(st, st->braced_start, st->end, T_STRING);
    if (st->entry == 59 && is_path_kind(marker_kind(st))) {
        close_series(st, marker_kind(st));
    }
}

struct ChainGuard {
    State* st;
    uint32_t utf8_used;
    explicit ChainGuard(State* s) : st(s), utf8_used(g_utf8_used) { link_state(s); }
    ~ChainGuard() { unlink_state(st); g_utf8_used = utf8_used; }
};

void init_state(State* st, const uint8_t* text, uint32_t length, const LexerCall& call) {
    std::memset(static_cast<void*>(st), 0, sizeof(State));
    uint32_t base = g_chain_tail ? g_chain_tail->top : 0;
    st->base = st->open = st->top = base;
    st->start = st->pos = st->token_end = text;
    st->end = text + length;
    st->line = 1;
    st->error_kind = -1;
    st->callback = Cell{T_UNSET, 0, 0, 0};
    st->input = call.input ? *call.input : Cell{T_UNSET, 0, 0, 0};
    st->prescan = call.flags & LEX_PRESCAN;
    st->load = st->load_mode = !(call.flags & (LEX_SCAN | LEX_PRESCAN));
    st->one = call.flags & LEX_ONE;
    if (call.input) {
        st->input_index = series_index(call.input);
        st->input_chars = !call.input->is(T_BINARY);
    }
    if (call.callback && (call.callback->is(T_FUNCTION) || call.callback->is(T_ROUTINE))) {
        st->callback = *call.callback;
        st->tracing = true;
        st->events = callback_events(call.callback);
    }
}

} // namespace

Cell* push_slot(State* st) {
    if (st->top >= g_cells_capacity) grow_cells(st->top + 1);
    return &g_cells[st->top++];
}

void push_value(State* st, const Cell& value) {
    Cell* c = push_slot(st);
    *c = value;
    if (st->round_lines > 0) c->header |= CELL_NEWLINE;
}

[[noreturn]] void not_done() { fire_error(Err::NotDone); }

[[noreturn]] void throw_error(State* st, const uint8_t* from, const uint8_t* to, int32_t code) {
    if (!st->load_mode) {
        st->type = -1;
        throw QuietStop{};
    }
    // a bad token inside a path names no datatype of its own
    if (code >= 0 && is_path_kind(marker_kind(st)) && code != T_PATH) code = ERR_BAD_CHAR;
    if (code == ERR_NO_CLOSER) {
        // an unclosed series: the text starts at its opener
        if (has_open(st) && !is_path_kind(marker_kind(st))) from = st->start + marker(st)->data3;
    }
    if (from < st->start) from = st->start;
    if (from > st->end) from = st->end;
    if (to < from) to = from;
    if (to > st->end) to = st->end;
    if (st->tracing && (st->events & EV_ERROR)) {
        // the type: the code when it is a datatype, else the kind of the series left open, else
        // the current token's, else the error kind, else error!
        int32_t t = code > 0 ? code
                  : has_open(st) ? int32_t(marker_kind(st))
                  : st->type > 0 ? st->type
                  : st->error_kind > 0 ? st->error_kind : T_ERROR;
        if (!fire(st, EV_ERROR, make_datatype(TypeId(t)), to, from, to, nullptr)) throw QuietStop{};
    }
    char line_text[32];
    int n = std::snprintf(line_text, sizeof line_text, "(line %d)", st->line);
    Rooted line(make_text(line_text, size_t(n)));
    Rooted snippet(make_snippet(from, st->end));
    if (code >= 0 && st->error_kind > 0) code = st->error_kind;
    switch (code) {
    case ERR_BAD_CHAR:
        fire_error(Err::BadChar, line.get(), snippet.get());
    case ERR_MALCONSTRUCT:
        fire_error(Err::Malconstruct, line.get(), snippet.get());
    case ERR_NO_OPENER:
    case ERR_NO_CLOSER: {
        uint32_t k = marker_kind(st);
        const uint8_t* at = st->token_end;
        uint8_t byte = (code == ERR_NO_OPENER && at < st->end) ? *at : 0;
        char c = 0;
        if (code == ERR_NO_OPENER && !has_open(st)) {
            c = byte == ']' ? '[' : '(';
        } else if (k == T_BLOCK || k == T_MAP) {
            c = byte == ']' ? '[' : ']';
        } else if (k == T_PAREN || k == T_POINT2D) {
            c = byte == ')' ? '(' : ')';
        }
        // Only blocks, maps, parens and points have a closer. The other kind that raises this
        // error is a lit-path or get-path that meets ":" (it cannot become a set-path): what it
        // lacks is its end before the colon, and the message says so instead of naming a char.
        static constexpr char PATH_END[] = "end of path";
        Rooted what(c ? Cell{T_CHAR, 0, uint32_t(uint8_t(c)), 0} : make_text(PATH_END, sizeof PATH_END - 1));
        fire_error(Err::Missing, line.get(), what.get(), snippet.get());
    }
    default: {
        Rooted type(make_datatype(TypeId(code > 0 && code <= T_MAX_REGISTERED ? code : T_ERROR)));
        fire_error(Err::Invalid, line.get(), type.get(), snippet.get());
    }
    }
}

} // namespace lex

using namespace lex;

void lexer_init() {
    if (!g_cells) {
        g_cells = static_cast<Cell*>(std::malloc(CELL_BUFFER_START * sizeof(Cell)));
        if (!g_cells) throw std::bad_alloc();
        g_cells_capacity = CELL_BUFFER_START;
        g_utf8 = static_cast<uint8_t*>(std::malloc(UTF8_BUFFER_SIZE));
        if (!g_utf8) throw std::bad_alloc();
    }
    g_chain_head = g_chain_tail = nullptr;
    g_utf8_used = 0;
    collector_register(lexer_mark_states);
}

void lexer_mark_states() {
    for (State* st = g_chain_head; st; st = st->next) {
        if (st->top > st->base) collector_mark_cells(g_cells + st->base, g_cells + st->top);
        collector_mark_cells(&st->input, &st->input + 1);
        collector_mark_cells(&st->callback, &st->callback + 1);
    }
}

LexerReport lexer_scan(Cell* result, const uint8_t* text, uint32_t length, const LexerCall& call) {
    State st;
    init_state(&st, text, length, call);
    ChainGuard guard(&st);
    LexerReport report;
    bool stopped = false;
    try {
        run(&st);
        if (has_open(&st)) throw_error(&st, st.end, st.end, ERR_NO_CLOSER);
    } catch (const QuietStop&) {
        stopped = true;
        if (st.load_mode) close_all_open(&st);
    }
    report.bytes = uint32_t(st.pos - st.start);
    if (report.bytes > length) report.bytes = length;
    report.units = report.bytes;
    report.line = st.line;
    uint32_t count = st.top - st.base;
    if (!st.load_mode) {
        report.type = stopped ? -1 : (count == 0 && st.prev_type == 0 && st.type <= 0 ? 0 : st.type);
        if (report.type < 0) *result = make_datatype(T_ERROR);
        else if (report.type == 0) *result = Cell{T_NONE, 0, 0, 0};
        else *result = make_datatype(TypeId(report.type));
        return report;
    }
    report.type = st.type;
    if (st.one && !call.into) {
        if (count == 0) *result = Cell{T_UNSET, 0, 0, 0};
        else *result = g_cells[st.base];
        return report;
    }
    if (call.into) {
        Rooted target(*call.into);
        for (uint32_t i = 0; i < count; ++i) {
            Cell v = g_cells[st.base + i];
            block_append(series_node(target.get()), v);
        }
        *result = target.value;
        return report;
    }
    Node node = alloc_cells(count ? count : 1);
    Series* s = node_series(node);
    std::memcpy(s->data(), g_cells + st.base, size_t(count) * sizeof(Cell));
    s->tail = count * uint32_t(sizeof(Cell));
    *result = make_series(T_BLOCK, node);
    return report;
}

namespace {

// Scans text copied into the lexer's own UTF-8 buffer (or a buffer of its own when the shared
// one has no room left), so that no allocation can move it.
template <class Fill>
LexerReport scan_copied(Cell* result, uint32_t bytes, const LexerCall& call, Fill&& fill,
                        const Cell* input, bool chars) {
    uint8_t* text;
    uint8_t* own = nullptr;
    uint32_t saved = g_utf8_used;
    if (bytes + 1 <= UTF8_BUFFER_SIZE - g_utf8_used) {
        text = g_utf8 + g_utf8_used;
        g_utf8_used += bytes + 1;
    } else {
        own = static_cast<uint8_t*>(std::malloc(size_t(bytes) + 1));
        if (!own) fire_error(Err::NoMemory);
        text = own;
    }
    struct Release {
        uint8_t* own; uint32_t saved;
        ~Release() { std::free(own); g_utf8_used = saved; }
    } release{own, saved};
    uint32_t length = fill(text);
    text[length] = 0;
    LexerCall c = call;
    if (!c.input) c.input = input;
    LexerReport r = lexer_scan(result, text, length, c);
    r.units = chars ? uint32_t(utf8_count_chars(text, text + r.bytes)) : r.bytes;
    return r;
}

} // namespace

LexerReport lexer_load_string(Cell* result, const Cell* str, int32_t length, const LexerCall& call) {
    Rooted source(*str);
    Series* s = value_series(source.get());
    uint32_t unit = s->unit();
    int32_t available = int32_t((s->tail - s->head) / unit) - int32_t(series_index(source.get()));
    if (available < 0) available = 0;
    if (length < 0 || length > available) length = available;
    int64_t bytes = utf8_length_of_units(s->head_ptr() + series_index(source.get()) * unit,
                                         s->head_ptr() + (series_index(source.get()) + length) * unit,
                                         unit);
    if (bytes > 0x7FFFFFF0) fire_error(Err::NoMemory);
    return scan_copied(
        result, uint32_t(bytes), call,
        [&](uint8_t* dst) {
            return uint32_t(string_encode_utf8(source.get(), dst, int32_t(bytes) + 1, length, false));
        },
        source.get(), true);
}

LexerReport lexer_load_binary(Cell* result, const Cell* bin, int32_t length, const LexerCall& call) {
    Rooted source(*bin);
    Series* s = value_series(source.get());
    int32_t available = int32_t(s->tail - s->head) - int32_t(series_index(source.get()));
    if (available < 0) available = 0;
    if (length < 0 || length > available) length = available;
    return scan_copied(
        result, uint32_t(length), call,
        [&](uint8_t* dst) {
            Series* b = value_series(source.get());
            std::memcpy(dst, b->head_ptr() + series_index(source.get()), size_t(length));
            return uint32_t(length);
        },
        source.get(), false);
}

int32_t lexer_scan_type(const uint8_t* text, uint32_t length) {
    Rooted result;
    LexerCall call;
    call.flags = LEX_SCAN | LEX_ONE;
    LexerReport r = lexer_scan(result.get(), text, length, call);
    if (r.type < 0) {
        // the same text in load mode raises the syntax error
        call.flags = LEX_ONE;
        lexer_scan(result.get(), text, length, call);
    }
    return r.type < 0 ? T_ERROR : r.type;
}

} // namespace kel
