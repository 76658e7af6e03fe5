// KELBIN encoder and decoder, both forms (see services/kelbin.h for the file format's outline).
//
// Encoding walks the value recursively and writes into C++ vectors: the records, the symbol ids
// met (in order of first use) and their NUL-terminated names. Nothing is allocated from the memory
// manager during the walk, so no collection can run and the node handles used as keys of the
// reference store stay valid and alive (the value being encoded is rooted by the caller). The
// reference store maps each series or context node met to its path: the list of value positions
// (one per nesting level) from the root. The file is assembled at the end: header, symbol table,
// records.
//
// Decoding reads from a private copy of the input. Each record is decoded into a slot: a cell of
// a block or context-values buffer named by (node, index), re-fetched after every allocation. A
// container is made, placed in its slot and only then filled, so a reference path that leads back
// into it (a cycle) finds it. Paths are resolved from the first decoded root value down through
// the buffers already rebuilt.
#include "services/kelbin.h"

#include "core/context.h"
#include "core/errors.h"
#include "core/gc.h"
#include "core/hash.h"
#include "core/roots.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/compound.h"
#include "datatypes/datatype.h"
#include "datatypes/date.h"
#include "datatypes/error.h"
#include "datatypes/function.h"
#include "datatypes/hash.h"
#include "datatypes/image.h"
#include "datatypes/map.h"
#include "datatypes/money.h"
#include "datatypes/object.h"
#include "datatypes/scalars.h"
#include "datatypes/vector.h"
#include "datatypes/words.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "services/compress.h"
#include "services/image.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace kel {

namespace {

// ---- Shared constants ---------------------------------------------------------------------------

constexpr uint8_t kMagic[6] = {'K', 'E', 'L', 'B', 'I', 'N'};
constexpr uint8_t kVersion = 2;
constexpr uint8_t FLAG_COMPACT = 1, FLAG_LZ = 2, FLAG_SYMBOLS = 4;

// standard-form header word bits
constexpr uint32_t H_REF = 1u << 19;
constexpr uint32_t H_MONEY_NEG = 1u << 22;
constexpr uint32_t H_COMPLEMENT = 1u << 23;
constexpr uint32_t H_HANDLERS = 1u << 24;
constexpr uint32_t H_GLOBAL = 1u << 25;
constexpr uint32_t H_CTX_KIND_SHIFT = 26;
constexpr uint32_t H_CTX_SELF = 1u << 28;
constexpr uint32_t H_CTX_STACK = 1u << 29;
constexpr uint32_t H_CTX_VALUES = 1u << 30;
constexpr uint32_t H_NEWLINE = 1u << 31;
constexpr uint32_t REF_RECORD = 255;

// compact-form bytes
constexpr uint8_t C_NEWLINE = 0xC0, C_REF = 0xC1, C_TRUE = 0xC2, C_FALSE = 0xC3, C_DEFINE = 0xC4,
                  C_COPY = 0xFF, C_F = 0x40;
constexpr uint32_t MAX_PATH = 65536;

bool block_type(TypeId t) {
    return t == T_BLOCK || t == T_PAREN || (t >= T_PATH && t <= T_GET_PATH) || t == T_HASH;
}
bool text_type(TypeId t) {
    return t == T_STRING || t == T_FILE || t == T_URL || t == T_TAG || t == T_EMAIL || t == T_REF;
}
bool word_type(TypeId t) { return t >= T_WORD && t <= T_REFINEMENT; }

[[noreturn]] void not_supported(TypeId t) {
    Cell dt = make_datatype(t);
    fire_error(Err::NotSupported, &dt);
}

// The context a value leads to (words, objects, errors, functions and ops made from functions),
// 0 for any other value.
Node value_context(const Cell* v) {
    switch (function_kind(v)) {
        case T_WORD: case T_SET_WORD: case T_LIT_WORD: case T_GET_WORD: case T_REFINEMENT:
        case T_OBJECT: case T_ERROR: case T_FUNCTION:
            return v->data1;
        default:
            return 0;
    }
}

// Words bound to the global context, to no context, or to a context whose owner is not an
// object or a function are written as global words.
bool global_binding(Node ctx) {
    if (ctx == 0 || ctx == g_global_context) return true;
    TypeId owner = context_owner(ctx)->type();
    return owner != T_OBJECT && owner != T_FUNCTION;
}

// ---- Encoder ------------------------------------------------------------------------------------

struct Encoder {
    bool compact;
    std::vector<uint8_t> rec;
    std::vector<uint32_t> syms;
    std::vector<uint8_t> names;
    std::unordered_map<uint32_t, uint32_t> sym_index;
    std::unordered_map<Node, std::vector<uint32_t>> refs;
    std::vector<uint32_t> levels{0};
    std::unordered_set<Node> open_errors;

    void byte(uint8_t b) { rec.push_back(b); }
    void raw(const void* p, size_t n) {
        const uint8_t* b = static_cast<const uint8_t*>(p);
        rec.insert(rec.end(), b, b + n);
    }
    void u32(uint32_t v) { uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; raw(b, 4); }
    void leb(uint32_t v) {
        while (v >= 0x80) { byte(uint8_t(v | 0x80)); v >>= 7; }
        byte(uint8_t(v));
    }
    void zz(int32_t n) { leb((uint32_t(n) << 1) ^ uint32_t(n >> 31)); }
    void pad(size_t to) { while (rec.size() % to) byte(0); }
    void dbl(double d) {  // high word first (standard form)
        uint64_t b; std::memcpy(&b, &d, 8);
        u32(uint32_t(b >> 32)); u32(uint32_t(b));
    }
    void dbl_low_first(double d) {
        uint64_t b; std::memcpy(&b, &d, 8);
        u32(uint32_t(b)); u32(uint32_t(b >> 32));
    }

    uint32_t symbol(uint32_t id) {
        auto it = sym_index.find(id);
        if (it != sym_index.end()) return it->second;
        uint32_t len = 0;
        const uint8_t* name = symbol_name(id, &len);
        uint32_t index = uint32_t(syms.size());
        syms.push_back(id);
        names.insert(names.end(), name, name + len);
        names.push_back(0);
        if (!compact) while (names.size() % 8) names.push_back(0);
        sym_index.emplace(id, index);
        return index;
    }

    const std::vector<uint32_t>* lookup(Node n) {
        auto it = refs.find(n);
        return it == refs.end() ? nullptr : &it->second;
    }
    void enter(Node n) { refs.emplace(n, levels); levels.push_back(0); }
    void leave() { levels.pop_back(); }

    void path(const std::vector<uint32_t>& p) {
        if (compact) {
            leb(uint32_t(p.size()));
            for (uint32_t i : p) leb(i);
        } else {
            u32(REF_RECORD);
            u32(uint32_t(p.size()));
            for (uint32_t i : p) u32(i);
        }
    }

    // Standard header word / compact prefix and tag.
    void head_std(uint32_t type, uint32_t bits, bool nl) { u32(type | bits | (nl ? H_NEWLINE : 0)); }
    void tag(uint32_t type, bool f, bool ref) {
        if (ref) byte(C_REF);
        byte(uint8_t(type | (f ? C_F : 0)));
    }

    void value(const Cell* v);
    void series_value(const Cell* v, bool nl, bool count_it);
    void block_body(Node node);
    void word(const Cell* v, bool nl);
    void owner_record(Node ctx);
    void object_record(const Cell* obj, bool nl);
    void context_record(Node ctx);
    void function_record(const Cell* fn, bool nl);
    void spec_block(Node spec);
};

void Encoder::block_body(Node node) {
    Series* s = node_series(node);
    uint32_t n = s->length();
    if (compact) leb(n); else u32(n);
    for (uint32_t i = 0; i < n; ++i) value(node_series(node)->cell_at(i));
}

// A block written in full without registering its node (the spec of a native!/action!).
void Encoder::spec_block(Node spec) {
    uint32_t saved = levels.back();
    levels.push_back(0);
    if (compact) tag(T_BLOCK, false, false); else { head_std(T_BLOCK, 0, false); u32(0); }
    block_body(spec);
    levels.pop_back();
    levels.back() = saved;
}

void Encoder::series_value(const Cell* v, bool nl, bool /*count_it*/) {
    TypeId t = v->type();
    Node node = series_node(v);
    uint32_t head = series_index(v);
    const std::vector<uint32_t>* found = lookup(node);
    if (compact && nl) byte(C_NEWLINE);
    if (block_type(t)) {
        if (compact) { tag(t, head != 0, found); if (head) leb(head); }
        else { head_std(t, found ? H_REF : 0, nl); u32(head); }
        if (found) { path(*found); return; }
        enter(node);
        block_body(node);
        leave();
        return;
    }
    if (text_type(t) || t == T_BINARY) {
        Series* s = node_series(node);
        uint32_t unit = s->unit();
        if (compact) { tag(t, head != 0, found); if (head) leb(head); }
        else { head_std(t, (found ? H_REF : 0) | (unit << 8), nl); u32(head); }
        if (found) { path(*found); return; }
        refs.emplace(node, levels);
        uint32_t n = s->length();
        if (compact) {
            if (t == T_BINARY) leb(n);
            else leb((n << 2) | (unit == 1 ? 0 : unit == 2 ? 1 : 2));
        } else {
            u32(n);
        }
        raw(node_series(node)->head_ptr(), size_t(n) * unit);
        if (!compact) pad(4);
        return;
    }
    if (t == T_VECTOR) {
        Series* s = node_series(node);
        uint32_t unit = s->unit();
        if (compact) { tag(t, head != 0, found); if (head) leb(head); }
        else { head_std(t, (found ? H_REF : 0) | (unit << 8), nl); u32(head); }
        if (found) { path(*found); return; }
        refs.emplace(node, levels);
        uint32_t n = s->length();
        uint32_t log2 = unit == 1 ? 0 : unit == 2 ? 1 : unit == 4 ? 2 : 3;
        if (compact) { byte(uint8_t((v->data3 << 2) | log2)); leb(n); }
        else { u32(n); u32(v->data3); }
        raw(node_series(node)->head_ptr(), size_t(n) * unit);
        if (!compact) pad(4);
        return;
    }
    if (t == T_BITSET) {
        bool comp = bitset_complemented(v);
        if (compact) { tag(t, !found && comp, found); }
        else head_std(t, (found ? H_REF : 0) | (comp ? H_COMPLEMENT : 0), nl);
        if (found) { path(*found); return; }
        refs.emplace(node, levels);
        uint32_t n = bitset_byte_length(v);
        if (compact) leb(n); else u32(n);
        raw(bitset_bits(v), n);
        if (!compact) pad(4);
        return;
    }
    if (t == T_MAP) {
        if (compact) tag(t, false, found); else head_std(t, found ? H_REF : 0, nl);
        if (found) { path(*found); return; }
        enter(node);
        Series* s = node_series(node);
        uint32_t cells = s->length(), live = 0;
        for (uint32_t i = 0; i + 1 < cells; i += 2)
            if (s->cell_at(i + 1)->header != 0) ++live;
        if (compact) leb(live * 2); else u32(live * 2);
        for (uint32_t i = 0; i + 1 < cells; i += 2) {
            if (node_series(node)->cell_at(i + 1)->header == 0) continue;
            value(node_series(node)->cell_at(i));
            value(node_series(node)->cell_at(i + 1));
        }
        leave();
        return;
    }
    if (t == T_IMAGE) {
        if (compact) { tag(t, head != 0, found); if (head) leb(head); }
        else { head_std(t, found ? H_REF : 0, nl); u32(head); }
        if (found) { path(*found); return; }
        if (node) refs.emplace(node, levels);
        uint32_t w = image_width(v), h = image_height(v);
        if (!node) w = h = 0;
        if (compact) { leb(w); leb(h); } else u32(image_size_word(w, h));
        if (uint64_t(w) * h != 0) raw(platform_image_pixels(node), size_t(w) * h * 4);
        return;
    }
}

void Encoder::context_record(Node ctx) {
    uint32_t n = context_word_count(ctx);
    uint32_t kind = context_kind(ctx);
    bool stack = context_on_stack(ctx), self = context_has_self(ctx);
    bool has_values = false;
    if (!stack && context_cell(ctx)->data2) {
        Series* vals = node_series(context_cell(ctx)->data2);
        for (uint32_t i = 0; i < n && i < vals->length(); ++i)
            if (!vals->cell_at(i)->is(T_UNSET)) { has_values = true; break; }
    }
    std::vector<uint32_t> ids(n);
    for (uint32_t i = 0; i < n; ++i) ids[i] = symbol(context_word_slot(ctx, i)->data2);
    if (compact) {
        byte(T_CONTEXT);
        byte(uint8_t(kind | (stack ? 4 : 0) | (self ? 8 : 0) | (has_values ? 16 : 0)));
        leb(n);
        for (uint32_t id : ids) leb(id);
    } else {
        u32(T_CONTEXT | (kind << H_CTX_KIND_SHIFT) | (self ? H_CTX_SELF : 0) | (stack ? H_CTX_STACK : 0) |
            (has_values ? H_CTX_VALUES : 0));
        u32(n);
        for (uint32_t id : ids) u32(id);
    }
    if (stack || !has_values) return;
    Node vals = context_cell(ctx)->data2;
    for (uint32_t i = 0; i < n; ++i) value(node_series(vals)->cell_at(i));
}

// object! record after its type: the found case is handled by the caller.
void Encoder::object_record(const Cell* obj, bool nl) {
    Node ctx = object_context(obj);
    Node record = obj->data3;
    int32_t on_change = -1, on_deep = -1;
    if (record) {
        on_change = int32_t(node_series(record)->cell_at(0)->data2) >> 16;
        on_deep = int32_t(node_series(record)->cell_at(1)->data2) >> 16;
    }
    if (compact) {
        tag(T_OBJECT, record != 0, false);
        zz(object_class_id(obj));
        if (record) { zz(on_change); zz(on_deep); }
    } else {
        head_std(T_OBJECT, record ? H_HANDLERS : 0, nl);
        u32(uint32_t(object_class_id(obj)));
        if (record) { u32(uint32_t(on_change)); u32(uint32_t(on_deep)); }
    }
    enter(ctx);
    context_record(ctx);
    leave();
}

void Encoder::function_record(const Cell* fn, bool nl) {
    Node ctx = function_context(fn);
    Node spec = function_spec_node(fn);
    Cell body = *function_more_cell(fn, MORE_BODY);
    uint32_t spec_n = node_series(spec)->length();
    uint32_t body_n = body.is(T_BLOCK) ? node_series(series_node(&body))->length() : 0;
    if (compact) { tag(T_FUNCTION, false, false); leb(spec_n); leb(body_n); }
    else { head_std(T_FUNCTION, 0, nl); u32(spec_n); u32(body_n); }
    enter(ctx);
    context_record(ctx);
    levels.back() = 0;
    Cell spec_block = make_series(T_BLOCK, spec, 0);
    value(&spec_block);
    levels.back() = 1;
    if (body.is(T_BLOCK)) {
        body.data1 = 0;
        body.header = T_BLOCK;
        value(&body);
    } else {
        // a function without a body comes back with an empty one
        if (compact) { tag(T_BLOCK, false, false); leb(0); }
        else { head_std(T_BLOCK, 0, false); u32(0); u32(0); }
    }
    leave();
}

// The owner record that follows a word bound to a context not written before.
void Encoder::owner_record(Node ctx) {
    const Cell owner = *context_owner(ctx);
    if (owner.is(T_OBJECT)) object_record(&owner, false);
    else function_record(&owner, false);
}

void Encoder::word(const Cell* v, bool nl) {
    TypeId t = v->type();
    Node ctx = v->data1;
    uint32_t sym = symbol(v->data2);
    if (global_binding(ctx)) {
        if (compact) { if (nl) byte(C_NEWLINE); tag(t, false, false); leb(sym); }
        else { head_std(t, H_GLOBAL, nl); u32(sym); u32(v->data3); }
        return;
    }
    const std::vector<uint32_t>* found = lookup(ctx);
    if (compact) {
        if (nl) byte(C_NEWLINE);
        tag(t, true, false);
        leb(sym);
        zz(int32_t(v->data3));
        if (found) { byte(C_REF); path(*found); return; }
    } else {
        head_std(t, found ? H_REF : 0, nl);
        u32(sym);
        u32(v->data3);
        if (found) { path(*found); return; }
    }
    owner_record(ctx);
}

void Encoder::value(const Cell* v) {
    interp_check_native_stack();
    TypeId t = v->type();
    bool nl = (v->header & CELL_NEWLINE) != 0;
    switch (t) {
        case T_DATATYPE:
            if (compact) { if (nl) byte(C_NEWLINE); tag(t, false, false); leb(v->data1); }
            else { head_std(t, 0, nl); u32(v->data1); }
            break;
        case T_UNSET: case T_NONE:
            if (compact) { if (nl) byte(C_NEWLINE); tag(t, false, false); }
            else head_std(t, 0, nl);
            break;
        case T_LOGIC:
            if (compact) { if (nl) byte(C_NEWLINE); byte(v->data1 ? C_TRUE : C_FALSE); }
            else { head_std(t, 0, nl); u32(v->data1 ? 1 : 0); }
            break;
        case T_CHAR:
            if (compact) { if (nl) byte(C_NEWLINE); tag(t, false, false); leb(v->data2); }
            else { head_std(t, 0, nl); u32(v->data2); }
            break;
        case T_INTEGER: {
            int32_t n = cell_integer(v);
            if (compact) {
                if (nl) byte(C_NEWLINE);
                if (n >= 0 && n <= 63) byte(uint8_t(0x80 + n));
                else { tag(t, false, false); zz(n); }
            } else { head_std(t, 0, nl); u32(uint32_t(n)); }
            break;
        }
        case T_FLOAT: case T_PERCENT: case T_TIME: {
            double d = v->get_float();
            if (!compact) { pad(8); head_std(t, 0, nl); dbl(d); break; }
            if (nl) byte(C_NEWLINE);
            bool is_percent = t == T_PERCENT;
            double limit = is_percent ? 21474836.0 : 2147483000.0;
            bool short_form = false;
            int32_t n = 0;
            if (d >= -limit && d <= limit) {
                if (is_percent) {
                    double x = d * 100.0;
                    n = int32_t(d >= 0 ? x + 0.5 : x - 0.5);
                    short_form = double(n) / 100.0 == d;
                } else {
                    n = int32_t(d);
                    short_form = double(n) == d;
                }
                if (short_form && n == 0 && std::signbit(d)) short_form = false;
            }
            tag(t, short_form, false);
            if (short_form) zz(n); else dbl_low_first(d);
            break;
        }
        case T_PAIR:
            if (compact) { if (nl) byte(C_NEWLINE); tag(t, false, false); zz(int32_t(v->data2)); zz(int32_t(v->data3)); }
            else { head_std(t, 0, nl); u32(v->data2); u32(v->data3); }
            break;
        case T_POINT2D: case T_POINT3D:
            if (compact) { if (nl) byte(C_NEWLINE); tag(t, false, false); }
            else head_std(t, 0, nl);
            u32(v->data1); u32(v->data2);
            if (t == T_POINT3D) u32(v->data3);
            break;
        case T_TYPESET: {
            if (compact) {
                if (nl) byte(C_NEWLINE);
                tag(t, false, false);
                const uint8_t* b = reinterpret_cast<const uint8_t*>(&v->data1);
                uint8_t n = 12;
                while (n > 0 && b[n - 1] == 0) --n;
                byte(n);
                raw(b, n);
            } else { head_std(t, 0, nl); u32(v->data1); u32(v->data2); u32(v->data3); }
            break;
        }
        case T_TUPLE: {
            uint32_t len = tuple_length(v);
            const uint8_t* b = tuple_bytes(v);
            if (compact) {
                if (nl) byte(C_NEWLINE);
                tag(t, len != 3, false);
                if (len != 3) byte(uint8_t(len));
                raw(b, len);
            } else { head_std(t, len << 8, nl); raw(b, 12); }
            break;
        }
        case T_MONEY: {   // currency byte and 11 packed digit bytes, as the cell holds them
            bool negative = money_sign(v);
            if (compact) { if (nl) byte(C_NEWLINE); tag(t, negative, false); }
            else head_std(t, negative ? H_MONEY_NEG : 0, nl);
            raw(reinterpret_cast<const uint8_t*>(v) + 4, 12);
            break;
        }
        case T_DATE: {
            uint32_t w = date_word(v);
            bool has_time = date_has_time(w);
            if (compact) {
                if (nl) byte(C_NEWLINE);
                tag(t, has_time, false);
                u32(w);
                if (has_time) dbl_low_first(date_time(v));
            } else { head_std(t, 0, nl); u32(w); dbl(date_time(v)); }
            break;
        }
        case T_ISSUE:
            if (compact) { if (nl) byte(C_NEWLINE); tag(t, false, false); leb(symbol(v->data2)); }
            else { head_std(t, 0, nl); u32(symbol(v->data2)); }
            break;
        case T_WORD: case T_SET_WORD: case T_LIT_WORD: case T_GET_WORD: case T_REFINEMENT:
            word(v, nl);
            break;
        case T_BLOCK: case T_PAREN: case T_PATH: case T_LIT_PATH: case T_SET_PATH: case T_GET_PATH:
        case T_HASH: case T_STRING: case T_FILE: case T_URL: case T_TAG: case T_EMAIL: case T_REF:
        case T_BINARY: case T_VECTOR: case T_BITSET: case T_MAP: case T_IMAGE:
            series_value(v, nl, true);
            break;
        case T_OBJECT: {
            const std::vector<uint32_t>* found = lookup(object_context(v));
            if (found) {
                if (compact) { if (nl) byte(C_NEWLINE); tag(t, false, true); }
                else head_std(t, H_REF, nl);
                path(*found);
            } else {
                if (compact && nl) byte(C_NEWLINE);
                object_record(v, nl);
            }
            break;
        }
        case T_FUNCTION: {
            const std::vector<uint32_t>* found = lookup(function_context(v));
            if (found) {
                if (compact) { if (nl) byte(C_NEWLINE); tag(t, false, true); }
                else head_std(t, H_REF, nl);
                path(*found);
            } else {
                if (compact && nl) byte(C_NEWLINE);
                function_record(v, nl);
            }
            break;
        }
        case T_ERROR: {
            Node ctx = object_context(v);
            if (open_errors.count(ctx)) fire_error(Err::NoCycle);
            open_errors.insert(ctx);
            if (compact) { if (nl) byte(C_NEWLINE); tag(t, false, false); leb(uint32_t(cell_integer(error_field(v, ERR_CODE)))); }
            else { head_std(t, 0, nl); u32(uint32_t(cell_integer(error_field(v, ERR_CODE)))); }
            refs[ctx] = levels;
            levels.push_back(0);
            for (uint32_t f = ERR_ARG1; f <= ERR_STACK; ++f) value(error_field(v, ErrorField(f)));
            levels.pop_back();
            open_errors.erase(ctx);
            break;
        }
        case T_NATIVE: case T_ACTION:
            if (compact) { if (nl) byte(C_NEWLINE); tag(t, false, false); leb(function_table_index(v)); }
            else { head_std(t, 0, nl); u32(function_table_index(v)); }
            spec_block(function_spec_node(v));
            break;
        case T_OP: {
            TypeId src = op_source_type(v);
            if (src != T_NATIVE && src != T_ACTION && src != T_FUNCTION) not_supported(T_ROUTINE);
            if (compact) { if (nl) byte(C_NEWLINE); tag(t, false, false); }
            else head_std(t, uint32_t(src) << 16, nl);
            Cell under = *v;
            under.header = (v->header & ~(CELL_TYPE_MASK | CELL_OP_TYPE_MASK | CELL_NEWLINE)) | src;
            value(&under);
            --levels.back();  // the underlying value and the op! count once
            break;
        }
        default:
            not_supported(t);
    }
    ++levels.back();
}

std::vector<uint8_t> assemble(Encoder& e) {
    std::vector<uint8_t> out(kMagic, kMagic + 6);
    bool symbols = !e.syms.empty();
    out.push_back(kVersion);
    auto put32 = [&](uint32_t v) { for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i))); };
    auto putleb = [&](uint32_t v) {
        while (v >= 0x80) { out.push_back(uint8_t(v | 0x80)); v >>= 7; }
        out.push_back(uint8_t(v));
    };
    // name offsets, from the NUL-terminated names (and, in the standard form, their padding)
    std::vector<uint32_t> offsets;
    for (size_t i = 0; i < e.names.size();) {
        offsets.push_back(uint32_t(i));
        while (e.names[i]) ++i;
        ++i;
        if (!e.compact) while (i % 8) ++i;
    }
    if (e.compact) {
        out.push_back(symbols ? FLAG_COMPACT | FLAG_SYMBOLS : FLAG_COMPACT);
        putleb(1);
        putleb(uint32_t(e.rec.size()));
        if (symbols) { putleb(uint32_t(offsets.size())); putleb(uint32_t(e.names.size())); }
    } else {
        out.push_back(symbols ? FLAG_SYMBOLS : 0);
        put32(1);
        put32(uint32_t(e.rec.size()));
        if (symbols) { put32(uint32_t(offsets.size())); put32(uint32_t(e.names.size())); }
    }
    if (symbols) {
        for (uint32_t o : offsets) put32(o);
        out.insert(out.end(), e.names.begin(), e.names.end());
    }
    out.insert(out.end(), e.rec.begin(), e.rec.end());
    return out;
}

// ---- Decoder ------------------------------------------------------------------------------------

// Where a decoded value goes: cell `index` of the buffer of `node`, counted from its head.
struct Slot {
    Node node;
    uint32_t index;
    Cell* cell() const { return reinterpret_cast<Cell*>(node_series(node)->head_ptr()) + index; }
    void put(const Cell& c) const { *cell() = c; }
};

struct Decoder {
    bool compact = false;
    const uint8_t* base = nullptr;  // data start (error positions count from here)
    const uint8_t* p = nullptr;
    const uint8_t* end = nullptr;
    // symbol table
    const uint8_t* names = nullptr;
    uint32_t names_size = 0;
    std::vector<uint32_t> offsets;
    std::vector<uint32_t> made;  // symbol id per index, 0 until first use
    bool has_symbols = false;
    bool boot = false;  // decoding the boot image
    // the root of reference paths
    Node root = 0;
    uint32_t root_base = 0;

    [[noreturn]] void fail(const uint8_t* at) const {
        Cell pos = make_integer(int32_t(std::min<int64_t>(at - base + 1, INT32_MAX)));
        fire_error(Err::KbInvalidRecord, &pos);
    }
    [[noreturn]] void fail() const { fail(p); }
    void need(uint64_t n) const { if (n > uint64_t(end - p)) fail(); }
    uint8_t byte() { need(1); return *p++; }
    uint32_t u32() {
        need(4);
        uint32_t v = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
        p += 4;
        return v;
    }
    uint32_t leb() {
        uint32_t v = 0;
        for (int shift = 0;; shift += 7) {
            uint8_t b = byte();
            if (shift == 28 && (b & 0xF0)) fail(p - 1);
            v |= uint32_t(b & 0x7F) << shift;
            if (!(b & 0x80)) return v;
        }
    }
    int32_t zz() { uint32_t u = leb(); return int32_t((u >> 1) ^ (0u - (u & 1))); }
    uint32_t num() { return compact ? leb() : u32(); }
    double dbl_high_first() {
        uint64_t hi = u32(); uint64_t lo = u32();
        uint64_t b = (hi << 32) | lo; double d; std::memcpy(&d, &b, 8); return d;
    }
    double dbl_low_first() {
        uint64_t lo = u32(); uint64_t hi = u32();
        uint64_t b = (hi << 32) | lo; double d; std::memcpy(&d, &b, 8); return d;
    }
    // smallest size of one record in the current form
    uint32_t min_record() const { return compact ? 1 : 4; }
    // A boot-image definition starts here: the compact 0xC4 prefix, or a standard word record
    // with the global bit.
    bool is_definition() const {
        if (p >= end) return false;
        if (compact) return *p == C_DEFINE;
        if (end - p < 4) return false;
        uint32_t h = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
        return word_type(TypeId(h & 0xFF)) && (h & H_GLOBAL);
    }
    void check_count(uint64_t n, uint64_t unit) const { if (n * unit > uint64_t(end - p)) fail(); }

    uint32_t symbol(uint32_t index, const uint8_t* at) {
        if (!has_symbols || index >= offsets.size()) fail(at);
        if (!made[index]) {
            uint32_t off = offsets[index];
            if (off >= names_size) fail(at);
            const uint8_t* s = names + off;
            const void* nul = std::memchr(s, 0, names_size - off);
            if (!nul) fail(at);
            size_t len = static_cast<const uint8_t*>(nul) - s;
            if (len == 0) fail(at);
            made[index] = symbol_make_utf8(s, len);
        }
        return made[index];
    }

    const uint8_t* records_start = nullptr;

    void value(Slot slot);
    void value_std(Slot slot);
    void value_compact(Slot slot);
    std::vector<uint32_t> read_path();
    Cell resolve(const std::vector<uint32_t>& path, const uint8_t* at);
    Cell ref_value(TypeId t, uint32_t head, const uint8_t* at);
    void block_contents(Slot slot, TypeId t, uint32_t head, uint32_t count);
    void context_header(uint32_t* kind, bool* stack, bool* self, bool* has_values, uint32_t* n);
    Node context_contents(uint32_t kind_bits, bool stack, bool self, bool has_values, uint32_t n,
                          uint32_t kind, Slot slot, const Cell* word, int32_t class_id, bool object,
                          TypeId object_type);
    void object_from(Slot slot, const Cell* word, bool handlers);
    Node function_block(Node node, uint32_t room);
    void function_from(Slot slot, const Cell* word);
    void word_from(Slot slot, TypeId t, uint32_t flags, bool nl);
    void native_from(Slot slot, TypeId t, bool nl);
    void error_from(Slot slot, bool nl);
    void op_from(Slot slot, TypeId src, bool nl, const uint8_t* at);
    Node unit_series(uint32_t count, uint32_t unit);
    void skip_pad4();
    void place(Slot slot, Cell c, bool nl);
    void image_from(Slot slot, uint32_t head, uint32_t w, uint32_t h, bool nl);
    void map_from(Slot slot, uint32_t count, bool nl);
    void vector_from(Slot slot, uint32_t head, TypeId type, uint32_t width, uint32_t count, bool nl);
    void bitset_from(Slot slot, uint32_t bytes, bool complemented, bool nl);
    void text_from(Slot slot, TypeId t, uint32_t head, uint32_t count, uint32_t unit, bool nl);
    void check_char(uint32_t cp, const uint8_t* at) const;
    void check_tuple(uint32_t len, const uint8_t* at) const;
    Cell money_from(bool negative, const uint8_t* at);
    void check_date(uint32_t w, const uint8_t* at) const;
    void check_date_time(uint32_t w, double time, const uint8_t* at) const;
    void boot_word(Slot slot, TypeId t, uint32_t flags, bool nl, uint32_t sym, const uint8_t* at);
    void definition();
};

// One index step down from a value already rebuilt.
bool step(const Cell& from, uint32_t i, Cell* out) {
    TypeId t = from.type();
    auto in_buffer = [&](Node n, uint32_t skip) {
        if (!n) return false;
        Series* s = node_series(n);
        if (uint64_t(i) + skip >= s->length()) return false;
        *out = *s->cell_at(i + skip);
        return true;
    };
    auto spec_or_body = [&](const Cell& fn) {
        if (i == 0) { *out = make_series(T_BLOCK, function_spec_node(&fn), 0); return true; }
        if (i == 1) {
            Cell body = *function_more_cell(&fn, MORE_BODY);
            if (!body.is(T_BLOCK)) return false;
            *out = body;
            return true;
        }
        return false;
    };
    if (block_type(t) || t == T_MAP) return in_buffer(series_node(&from), 0);
    if (word_type(t) || t == T_OBJECT || t == T_ERROR) {
        Node ctx = from.data1;
        if (!ctx) return false;
        const Cell owner = *context_owner(ctx);
        if (word_type(t) && (owner.is(T_FUNCTION) || (owner.is(T_OP) && op_source_type(&owner) == T_FUNCTION)))
            return spec_or_body(owner);
        if (context_on_stack(ctx)) return false;
        return in_buffer(context_cell(ctx)->data2, t == T_ERROR ? 3 : 0);
    }
    if (t == T_NATIVE || t == T_ACTION) return in_buffer(function_spec_node(&from), 0);
    if (t == T_FUNCTION || (t == T_OP && op_source_type(&from) == T_FUNCTION)) return spec_or_body(from);
    if (t == T_OP) return i == 0 && in_buffer(function_spec_node(&from), 0);
    return false;
}

std::vector<uint32_t> Decoder::read_path() {
    if (!compact) {
        const uint8_t* at = p;
        if (u32() != REF_RECORD) fail(at);
    }
    uint32_t n = num();
    if (n < 1 || n > MAX_PATH) fail();
    check_count(n, compact ? 1 : 4);
    std::vector<uint32_t> path(n);
    for (uint32_t& i : path) i = num();
    return path;
}

Cell Decoder::resolve(const std::vector<uint32_t>& path, const uint8_t* at) {
    Series* r = node_series(root);
    if (uint64_t(path[0]) + root_base >= r->length()) fail(at);
    Cell c = *r->cell_at(path[0] + root_base);
    for (size_t k = 1; k < path.size(); ++k) {
        Cell next;
        if (!step(c, path[k], &next)) fail(at);
        c = next;
    }
    c.header &= ~CELL_NEWLINE;
    return c;
}

// The value a reference record leads to, given the record's type and head.
Cell Decoder::ref_value(TypeId t, uint32_t head, const uint8_t* at) {
    Cell c = resolve(read_path(), at);
    TypeId f = c.type();
    auto series_length = [&](const Cell& s) { return node_series(series_node(&s))->length(); };
    if (block_type(t)) {
        if (!block_type(f)) fail(at);
        if (t == T_HASH && f != T_HASH) fail(at);
        if (head > series_length(c)) fail(at);
        Cell out = make_series(t, series_node(&c), head);
        if (t == T_HASH) out.data3 = c.data3;
        return out;
    }
    if (text_type(t) || t == T_BINARY) {
        if (!(text_type(f) || f == T_BINARY) || (t == T_BINARY) != (f == T_BINARY)) fail(at);
        if (head > series_length(c)) fail(at);
        return make_series(t, series_node(&c), head);
    }
    if (t == T_VECTOR || t == T_IMAGE) {
        if (f != t) fail(at);
        if (t == T_VECTOR && head > series_length(c)) fail(at);
        if (t == T_IMAGE && head > image_pixel_count(&c)) fail(at);
        c.data1 = head;
        return c;
    }
    if (t == T_BITSET || t == T_MAP) {
        if (f != t) fail(at);
        return c;
    }
    Node ctx = value_context(&c);
    if (!ctx) fail(at);
    Cell owner = *context_owner(ctx);
    if (t == T_OBJECT) {
        if (!owner.is(T_OBJECT)) fail(at);
        return owner;
    }
    if (t == T_FUNCTION) {
        if (owner.is(T_OP)) owner.header = (owner.header & ~(CELL_TYPE_MASK | CELL_OP_TYPE_MASK)) | T_FUNCTION;
        if (!owner.is(T_FUNCTION)) fail(at);
        return owner;
    }
    fail(at);
}

void Decoder::block_contents(Slot slot, TypeId t, uint32_t head, uint32_t count) {
    check_count(count, min_record());
    if (head > count) fail();
    Node node = alloc_cells(count ? count : 1);
    Series* s = node_series(node);
    for (uint32_t i = 0; i < count; ++i) s->cells()[i] = make_none();
    s->tail = s->head + count * uint32_t(sizeof(Cell));
    uint32_t keep_nl = slot.cell()->header & CELL_NEWLINE;
    slot.put(make_series(t == T_HASH ? T_BLOCK : t, node, head));
    slot.cell()->header |= keep_nl;
    for (uint32_t i = 0; i < count; ++i) value(Slot{node, i});
    if (t == T_HASH) {
        Rooted r(make_series(T_BLOCK, node, head));
        hash_from_block(r.get());
        r->header = (r->header & ~CELL_NEWLINE) | keep_nl;
        slot.put(r.value);
    }
}

void Decoder::context_header(uint32_t* kind, bool* stack, bool* self, bool* has_values, uint32_t* n) {
    const uint8_t* at = p;
    if (compact) {
        uint8_t t = byte();
        if ((t & 0x3F) != T_CONTEXT) fail(at);
        uint8_t flags = byte();
        *kind = flags & 3; *stack = flags & 4; *self = flags & 8; *has_values = flags & 16;
    } else {
        uint32_t h = u32();
        if ((h & 0xFF) != T_CONTEXT) fail(at);
        *kind = (h >> H_CTX_KIND_SHIFT) & 3;
        *stack = h & H_CTX_STACK; *self = h & H_CTX_SELF; *has_values = h & H_CTX_VALUES;
    }
    if (*kind == CONTEXT_GLOBAL) fail(at);
    *n = num();
    check_count(*n, compact ? 1 : 4);
}

// Reads the context's words, makes the owner (an object of the given type, or nothing for a
// function, whose caller makes it), places the owner or the word in the slot and decodes the
// values. Returns the context.
Node Decoder::context_contents(uint32_t, bool stack, bool self, bool has_values, uint32_t n,
                               uint32_t kind, Slot slot, const Cell* word, int32_t class_id,
                               bool object, TypeId object_type) {
    // an object's values live in its context; only a function frame keeps them on the data stack
    if (object && stack) fail();
    std::vector<uint32_t> ids(n);
    for (uint32_t& id : ids) { const uint8_t* at = p; id = symbol(num(), at); }
    Node ctx = context_make(n, stack, self, 0, kind);
    {
        Rooted hold(Cell{T_OBJECT, ctx, 0, 0});
        for (uint32_t i = 0; i < n; ++i) {
            Cell w{T_WORD, 0, ids[i], uint32_t(-1)};
            if (context_add_word(ctx, &w) != int32_t(i)) fail();  // a word named twice
        }
        if (object) {
            Cell* o = object_push(ctx, 0, class_id, object_type);
            uint32_t nl = slot.cell()->header & CELL_NEWLINE;
            Cell placed = word ? *word : *o;
            if (word) placed.data1 = ctx;
            placed.header |= nl;
            slot.put(placed);
            stack_pop();
        }
    }
    if (object && has_values && !stack) {
        Node vals = context_cell(ctx)->data2;
        for (uint32_t i = 0; i < n; ++i) value(Slot{vals, i});
    }
    return ctx;
}

// object! payload after its type (handlers: the record says the object has change handlers).
// With `word`, the word (bound to the new context) is placed in the slot instead of the object.
void Decoder::object_from(Slot slot, const Cell* word, bool handlers) {
    int32_t class_id = compact ? zz() : int32_t(u32());
    if (!boot) class_id = -1;  // only the boot image keeps its class ids
    if (handlers) { (void)num(); (void)num(); }
    uint32_t kind, n;
    bool stack, self, has_values;
    context_header(&kind, &stack, &self, &has_values, &n);
    if (word && int32_t(word->data3) != -1 && word->data3 >= n) fail();
    Node ctx = context_contents(0, stack, self, has_values, n, kind, slot, word, class_id, true, T_OBJECT);
    if (handlers) {
        // the record is rebuilt from the handler words, as make does
        Cell* obj = stack_push(context_owner(ctx));
        object_finish_handlers(obj);
        if (!word) {
            uint32_t nl = slot.cell()->header & CELL_NEWLINE;
            slot.put(*obj);
            slot.cell()->header |= nl;
        }
        stack_pop();
    }
}

// The spec or body block record of a function: a block record whose contents go into `node`, or
// a reference to a block whose series the function then shares (its node is returned).
Node Decoder::function_block(Node node, uint32_t room) {
    const uint8_t* at = p;
    bool ref = false;
    if (compact) {
        uint8_t b = byte();
        while (b == C_NEWLINE || b == C_REF) { if (b == C_REF) ref = true; b = byte(); }
        if ((b & 0x3F) != T_BLOCK) fail(at);
        if (b & C_F) (void)leb();
    } else {
        uint32_t h = u32();
        if ((h & 0xFF) != T_BLOCK) fail(at);
        ref = h & H_REF;
        (void)u32();
    }
    if (ref) {
        Cell c = resolve(read_path(), at);
        if (!block_type(c.type())) fail(at);
        return series_node(&c);
    }
    uint32_t count = num();
    if (count > room) fail(at);
    check_count(count, min_record());
    Series* s = node_series(node);
    for (uint32_t i = 0; i < count; ++i) s->cells()[i] = make_none();
    s->tail = s->head + count * uint32_t(sizeof(Cell));
    for (uint32_t i = 0; i < count; ++i) value(Slot{node, i});
    return node;
}

void Decoder::function_from(Slot slot, const Cell* word) {
    uint32_t spec_n = num(), body_n = num();
    check_count(spec_n, min_record());
    check_count(body_n, min_record());
    uint32_t kind, n;
    bool stack, self, has_values;
    context_header(&kind, &stack, &self, &has_values, &n);
    if (word && int32_t(word->data3) != -1 && word->data3 >= n) fail();
    Node ctx = context_contents(0, stack, self, has_values, n, kind, slot, word, 0, false, T_FUNCTION);
    Rooted hold_ctx(Cell{T_OBJECT, ctx, 0, 0});
    Node spec = alloc_cells(spec_n ? spec_n : 1);
    Rooted hold_spec(make_series(T_BLOCK, spec, 0));
    Node body = alloc_cells(body_n ? body_n : 1);
    Rooted hold_body(make_series(T_BLOCK, body, 0));
    Node more = alloc_cells_unset(FUNCTION_MORE_CELLS);
    {
        Series* m = node_series(more);
        reinterpret_cast<Cell*>(m->data())[MORE_BODY] = make_series(T_BLOCK, body, 0);
        m->tail = m->head + FUNCTION_MORE_CELLS * uint32_t(sizeof(Cell));
    }
    Cell fn{T_FUNCTION, ctx, spec, more};
    *context_owner(ctx) = fn;
    uint32_t nl = slot.cell()->header & CELL_NEWLINE;
    Cell placed = fn;
    if (word) { placed = *word; placed.data1 = ctx; }
    placed.header |= nl;
    slot.put(placed);
    if (has_values && !stack) {
        Node vals = context_cell(ctx)->data2;
        for (uint32_t i = 0; i < n; ++i) value(Slot{vals, i});
    }
    // spec and body; a reference makes the function share that block
    Node s = function_block(spec, spec_n ? spec_n : 1);
    Node b = function_block(body, body_n ? body_n : 1);
    fn.data2 = s;
    function_more_cell(&fn, MORE_BODY)->data2 = b;
    // the context must hold exactly the words the spec declares, or calls would go astray
    Cell spec_block = make_series(T_BLOCK, s, 0);
    Cell* spec_cell = stack_push(spec_block);
    uint32_t flags = function_validate_spec(spec_cell);
    Node check = context_make_from_spec(spec_cell, true, false, CONTEXT_FUNCTION);
    stack_pop();
    if (context_word_count(check) != n) fail();
    for (uint32_t i = 0; i < n; ++i)
        if (symbol_resolve(context_word_slot(check, i)->data2) != symbol_resolve(context_word_slot(ctx, i)->data2)) fail();
    if (!stack || kind != CONTEXT_FUNCTION) fail();
    fn.header = T_FUNCTION | (flags & (FUNC_FLAG_TRACE | FUNC_FLAG_NO_TRACE));
    *context_owner(ctx) = fn;
    if (!word) { slot.put(fn); slot.cell()->header |= nl; }
}

// Word records; the type (and the standard header's flags or the compact F bit) are known.
void Decoder::word_from(Slot slot, TypeId t, uint32_t flags, bool nl) {
    const uint8_t* at = p;
    uint32_t sym = symbol(num(), at);
    bool global, ref = false;
    int32_t index = -1;
    if (boot) {
        boot_word(slot, t, flags, nl, sym, at);
        return;
    }
    if (compact) {
        global = !(flags & C_F);
        if (!global) index = zz();
    } else {
        index = int32_t(u32());
        global = flags & H_GLOBAL;
        ref = flags & H_REF;
    }
    uint32_t nl_bit = nl ? uint32_t(CELL_NEWLINE) : 0u;
    if (global) {
        Cell* w = stack_push(make_unset());
        word_make_at(sym, w);
        w->header = t | nl_bit;
        slot.put(*w);
        stack_pop();
        return;
    }
    Cell word{t | nl_bit, 0, sym, uint32_t(index)};
    if (compact) {
        const uint8_t* tag_at = p;
        uint8_t b = byte();
        if (b == C_REF) ref = true;
        else if ((b & 0x3F) == T_OBJECT) { object_from(slot, &word, b & C_F); return; }
        else if ((b & 0x3F) == T_FUNCTION && !(b & C_F)) { function_from(slot, &word); return; }
        else fail(tag_at);
    } else if (!ref) {
        const uint8_t* h_at = p;
        uint32_t h = u32();
        if ((h & 0xFF) == T_OBJECT) { object_from(slot, &word, h & H_HANDLERS); return; }
        if ((h & 0xFF) == T_FUNCTION && !(h & H_REF)) { function_from(slot, &word); return; }
        fail(h_at);
    }
    Cell c = resolve(read_path(), at);
    Node ctx = value_context(&c);
    if (!ctx) fail(at);
    if (index != -1 && uint32_t(index) >= context_word_count(ctx)) fail(at);
    word.data1 = ctx;
    slot.put(word);
}

// Boot-image words: global (compact F clear), or bound to the context of a root value given by
// its index from the first value of this decode, with the word's index there (-1: looked up).
void Decoder::boot_word(Slot slot, TypeId t, uint32_t flags, bool nl, uint32_t sym, const uint8_t* at) {
    uint32_t ctx_index = 0xFFFFFFFFu;
    int32_t index = -1;
    if (compact) {
        if (flags & C_F) { ctx_index = leb(); index = zz(); }
    } else {
        ctx_index = u32();
        index = int32_t(u32());
    }
    uint32_t nl_bit = nl ? uint32_t(CELL_NEWLINE) : 0u;
    if (ctx_index == 0xFFFFFFFFu) {
        Cell* w = stack_push(make_unset());
        word_make_at(sym, w);
        w->header = t | nl_bit;
        slot.put(*w);
        stack_pop();
        return;
    }
    Series* r = node_series(root);
    if (uint64_t(ctx_index) + root_base >= r->length()) fail(at);
    Cell holder = *r->cell_at(ctx_index + root_base);
    Node ctx = value_context(&holder);
    if (!ctx) fail(at);
    if (index == -1) {
        index = context_find_word(ctx, sym, true);
        if (index < 0) fail(at);
    } else if (uint32_t(index) >= context_word_count(ctx)) {
        fail(at);
    }
    slot.put(Cell{t | nl_bit, ctx, sym, uint32_t(index)});
}

// A boot-image definition at the top level: a word record, then the value it is set to. Both
// are decoded into the root block and removed from it again.
void Decoder::definition() {
    const uint8_t* at = p;
    if (compact) ++p;  // the 0xC4 prefix
    Series* r = node_series(root);
    uint32_t first = r->length();
    for (int k = 0; k < 2; ++k) {
        Cell* c = reserve_cell(root);
        *c = make_none();
    }
    value(Slot{root, first});
    if (!word_type(node_series(root)->cell_at(first)->type())) fail(at);
    value(Slot{root, first + 1});
    Series* s = node_series(root);
    Cell word = *s->cell_at(first);
    Cell v = *s->cell_at(first + 1);
    v.header &= ~CELL_NEWLINE;
    context_set_in(&word, &v, word.data1, false);
    s = node_series(root);
    s->tail -= 2 * uint32_t(sizeof(Cell));
}

// Native/action: the table index, then the spec block.
void Decoder::native_from(Slot slot, TypeId t, bool nl) {
    const uint8_t* at = p;
    uint32_t index = num();
    uint32_t limit = t == T_NATIVE ? uint32_t(k_native_names.size()) : ACTION_TABLE_SIZE;
    if (index < 1 || index > limit) fail(at);
    if (t == T_ACTION && !k_action_names[index - 1]) fail(at);   // a free slot of the table: no action
    Rooted scratch(make_series(T_BLOCK, alloc_cells(1), 0));
    {
        Series* s = node_series(series_node(scratch.get()));
        s->cells()[0] = make_none();
        s->tail = s->head + uint32_t(sizeof(Cell));
    }
    const uint8_t* spec_at = p;
    value(Slot{series_node(scratch.get()), 0});
    Cell spec = *node_series(series_node(scratch.get()))->cell_at(0);
    if (!spec.is(T_BLOCK)) fail(spec_at);
    spec.data1 = 0;
    // the entry reads its arguments as the spec describes them: one that does not fit the
    // entry's own makes the record invalid
    Cell* made = table_function_make_if_fits(t, &spec, int32_t(index));
    if (!made) fail(spec_at);
    made->header = (made->header & ~CELL_NEWLINE) | (nl ? uint32_t(CELL_NEWLINE) : 0u);
    slot.put(*made);
    stack_pop();
}

void Decoder::error_from(Slot slot, bool nl) {
    uint32_t code = num();
    Cell* e = stack_push(make_unset());
    error_make_code(e, int32_t(code));
    if (nl) e->header |= CELL_NEWLINE;
    slot.put(*e);
    Node vals = context_cell(object_context(e))->data2;
    stack_pop();
    for (uint32_t f = ERR_ARG1; f <= ERR_STACK; ++f) value(Slot{vals, f});
}

// Bytes of a string-like series, a binary or a vector: a new buffer filled from the data.
Node Decoder::unit_series(uint32_t count, uint32_t unit) {
    check_count(count, unit);
    if (unit == 4) {
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t cp;
            std::memcpy(&cp, p + 4 * i, 4);
            if (cp > 0x10FFFF) fail(p + 4 * i);
        }
    }
    Node node = alloc_units(count, unit);
    Series* s = node_series(node);
    if (count) std::memcpy(s->head_ptr(), p, size_t(count) * unit);
    s->tail = s->head + count * unit;
    p += size_t(count) * unit;
    return node;
}

void Decoder::skip_pad4() {
    while ((p - records_start) % 4) byte();
}

void Decoder::place(Slot slot, Cell c, bool nl) {
    c.header = (c.header & ~CELL_NEWLINE) | (nl ? uint32_t(CELL_NEWLINE) : 0u);
    slot.put(c);
}

void Decoder::image_from(Slot slot, uint32_t head, uint32_t w, uint32_t h, bool nl) {
    if (!image_size_fits(w, h)) fail();
    uint64_t bytes = uint64_t(w) * h * 4;
    check_count(bytes, 1);
    if (head > uint64_t(w) * h) fail();
    Cell img{T_IMAGE, 0, 0, 0};
    if (bytes) {
        std::vector<uint32_t> px(size_t(w) * h);
        std::memcpy(px.data(), p, bytes);
        p += bytes;
        Node record = platform_image_from_pixels(w, h, 0, px.data());
        Rooted r(make_unset());
        image_set(r.get(), record);
        img = r.value;
    } else {
        img.data3 = image_size_word(w, h);
    }
    img.data1 = head;
    place(slot, img, nl);
}

void Decoder::map_from(Slot slot, uint32_t count, bool nl) {
    if (count % 2) fail();
    // the pairs are decoded into a block placed in the slot, then the block becomes the map
    place(slot, make_none(), nl);
    block_contents(slot, T_BLOCK, 0, count);
    Rooted m(make_unset());
    map_from_block(m.get(), series_node(slot.cell()), nullptr);
    place(slot, m.value, nl);
}

void Decoder::vector_from(Slot slot, uint32_t head, TypeId type, uint32_t width, uint32_t count, bool nl) {
    bool ok = ((type == T_INTEGER || type == T_CHAR) && (width == 1 || width == 2 || width == 4)) ||
              (type == T_INTEGER && width == 8) ||
              ((type == T_FLOAT || type == T_PERCENT) && (width == 4 || width == 8));
    if (!ok) fail();
    check_count(count, width);
    if (head > count) fail();
    if (type == T_CHAR && width == 4)
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t cp;
            std::memcpy(&cp, p + 4 * i, 4);
            if (cp > 0x10FFFF) fail(p + 4 * i);
        }
    Rooted v(make_unset());
    vector_make_empty(v.get(), count, type, width);
    Series* s = node_series(series_node(v.get()));
    if (count) std::memcpy(s->head_ptr(), p, size_t(count) * width);
    s->tail = s->head + count * width;
    p += size_t(count) * width;
    v->data1 = head;
    place(slot, v.value, nl);
}

void Decoder::bitset_from(Slot slot, uint32_t bytes, bool complemented, bool nl) {
    check_count(bytes, 1);
    Rooted b(make_unset());
    bitset_make_at(b.get(), bytes, 0, complemented);
    Series* s = node_series(series_node(b.get()));
    if (bytes) std::memcpy(s->head_ptr(), p, bytes);
    p += bytes;
    place(slot, b.value, nl);
}

void Decoder::text_from(Slot slot, TypeId t, uint32_t head, uint32_t count, uint32_t unit, bool nl) {
    if (t == T_BINARY ? unit != 1 : (unit != 1 && unit != 2 && unit != 4)) fail();
    if (head > count) fail();
    Node node = unit_series(count, unit);
    place(slot, make_series(t, node, head), nl);
}

void Decoder::check_char(uint32_t cp, const uint8_t* at) const { if (cp > 0x10FFFF) fail(at); }

void Decoder::check_tuple(uint32_t len, const uint8_t* at) const { if (len < 3 || len > 12) fail(at); }

// The 12 money bytes at p: every digit nibble must be 0-9, the money code reads them as digits.
Cell Decoder::money_from(bool negative, const uint8_t* at) {
    need(12);
    for (int i = 1; i < 12; ++i)
        if ((p[i] >> 4) > 9 || (p[i] & 15) > 9) fail(at);
    Cell c;
    money_from_raw(&c, negative, p[0], p + 1);
    p += 12;
    return c;
}

// A date word must name a real day (month 1-12, a day of that month); the date code indexes its
// tables by these fields.
void Decoder::check_date(uint32_t w, const uint8_t* at) const {
    int32_t month = date_month(w), day = date_day(w);
    if (month < 1 || month > 12 || day < 1 || day > month_length(date_year(w), month)) fail(at);
}

// A date's time is universal time within its local day (0 <= time + zone offset < 86400); a date
// without a time holds 0. Other times mold to text that does not load back.
void Decoder::check_date_time(uint32_t w, double time, const uint8_t* at) const {
    if (!date_has_time(w)) {
        if (time != 0.0) fail(at);
        return;
    }
    double local = time + date_zone_seconds(w);
    if (!(local >= 0.0 && local < 86400.0)) fail(at);
}

void Decoder::value_std(Slot slot) {
    const uint8_t* at = p;
    uint32_t h = u32();
    while ((h & 0xFF) == 0) { at = p; h = u32(); }  // padding words
    TypeId t = TypeId(h & 0xFF);
    bool nl = h & H_NEWLINE;
    bool ref = h & H_REF;
    switch (t) {
        case T_DATATYPE: {
            uint32_t id = u32();
            if (id < 1 || id > T_MAX_REGISTERED) fail(at);
            place(slot, make_datatype(TypeId(id)), nl);
            return;
        }
        case T_UNSET: case T_NONE: place(slot, make_cell(t), nl); return;
        case T_LOGIC: place(slot, make_logic(u32() != 0), nl); return;
        case T_CHAR: { uint32_t cp = u32(); check_char(cp, at); place(slot, make_char(cp), nl); return; }
        case T_INTEGER: place(slot, make_integer(int32_t(u32())), nl); return;
        case T_FLOAT: case T_PERCENT: case T_TIME: {
            Cell c = make_cell(t);
            c.put_float(dbl_high_first());
            place(slot, c, nl);
            return;
        }
        case T_PAIR: { uint32_t x = u32(), y = u32(); place(slot, Cell{T_PAIR, 0, x, y}, nl); return; }
        case T_POINT2D: { uint32_t x = u32(), y = u32(); place(slot, Cell{T_POINT2D, x, y, 0}, nl); return; }
        case T_POINT3D: { uint32_t x = u32(), y = u32(), z = u32(); place(slot, Cell{T_POINT3D, x, y, z}, nl); return; }
        case T_TYPESET: { uint32_t a = u32(), b = u32(), c = u32(); place(slot, Cell{T_TYPESET, a, b, c}, nl); return; }
        case T_TUPLE: {
            uint32_t len = (h >> 8) & 0xF;
            check_tuple(len, at);
            need(12);
            Cell c = make_tuple(p, len);
            p += 12;
            place(slot, c, nl);
            return;
        }
        case T_MONEY: place(slot, money_from((h & H_MONEY_NEG) != 0, at), nl); return;
        case T_DATE: {
            uint32_t w = u32();
            check_date(w, at);
            Cell c{T_DATE, w, 0, 0};
            c.put_float(dbl_high_first());
            check_date_time(w, c.get_float(), at);
            place(slot, c, nl);
            return;
        }
        case T_ISSUE: { uint32_t sym = symbol(u32(), at); place(slot, issue_make(sym), nl); return; }
        case T_WORD: case T_SET_WORD: case T_LIT_WORD: case T_GET_WORD: case T_REFINEMENT:
            word_from(slot, t, h, nl);
            return;
        case T_BLOCK: case T_PAREN: case T_PATH: case T_LIT_PATH: case T_SET_PATH: case T_GET_PATH:
        case T_HASH: {
            uint32_t head = u32();
            if (ref) { place(slot, ref_value(t, head, at), nl); return; }
            place(slot, make_none(), nl);
            block_contents(slot, t, head, u32());
            return;
        }
        case T_STRING: case T_FILE: case T_URL: case T_TAG: case T_EMAIL: case T_REF: case T_BINARY: {
            uint32_t head = u32();
            if (ref) { place(slot, ref_value(t, head, at), nl); return; }
            uint32_t count = u32();
            text_from(slot, t, head, count, (h >> 8) & 0xFF, nl);
            skip_pad4();
            return;
        }
        case T_VECTOR: {
            uint32_t head = u32();
            if (ref) { place(slot, ref_value(t, head, at), nl); return; }
            uint32_t count = u32();
            uint32_t type = u32();
            vector_from(slot, head, TypeId(type < 256 ? type : 0), (h >> 8) & 0xFF, count, nl);
            skip_pad4();
            return;
        }
        case T_BITSET: {
            if (ref) { place(slot, ref_value(t, 0, at), nl); return; }
            bitset_from(slot, u32(), h & H_COMPLEMENT, nl);
            skip_pad4();
            return;
        }
        case T_MAP: {
            if (ref) { place(slot, ref_value(t, 0, at), nl); return; }
            map_from(slot, u32(), nl);
            return;
        }
        case T_IMAGE: {
            uint32_t head = u32();
            if (ref) { place(slot, ref_value(t, head, at), nl); return; }
            uint32_t size = u32();
            image_from(slot, head, size_width(size), size_height(size), nl);
            return;
        }
        case T_OBJECT: {
            if (ref) { place(slot, ref_value(t, 0, at), nl); return; }
            place(slot, make_none(), nl);
            object_from(slot, nullptr, h & H_HANDLERS);
            return;
        }
        case T_CONTEXT: {
            // a context record standing alone becomes an object
            p = at;
            place(slot, make_none(), nl);
            uint32_t kind, n;
            bool stack, self, has_values;
            context_header(&kind, &stack, &self, &has_values, &n);
            context_contents(0, stack, self, has_values, n, kind, slot, nullptr, -1, true, T_OBJECT);
            return;
        }
        case T_FUNCTION: {
            if (ref) { place(slot, ref_value(t, 0, at), nl); return; }
            place(slot, make_none(), nl);
            function_from(slot, nullptr);
            return;
        }
        case T_ERROR: error_from(slot, nl); return;
        case T_NATIVE: case T_ACTION: native_from(slot, t, nl); return;
        case T_OP: {
            TypeId src = TypeId((h >> 16) & 0xFF);
            op_from(slot, src, nl, at);
            return;
        }
        case T_ROUTINE: case T_TRIPLE: case T_HANDLE: case T_PORT: case T_EVENT: not_supported(t);
        default: fail(at);
    }
}

void Decoder::op_from(Slot slot, TypeId src, bool nl, const uint8_t* at) {
    value(slot);
    Cell c = *slot.cell();
    TypeId got = c.type();
    if (got != T_NATIVE && got != T_ACTION && got != T_FUNCTION) fail(at);
    if (src != T_NONE_ID && src != got) fail(at);
    // an operator takes exactly two arguments, as `make op!` demands
    Cell spec = function_spec_block(&c);
    if (!op_spec_ok(&spec)) fail(at);
    op_make(&c);
    place(slot, c, nl);
}

void Decoder::value_compact(Slot slot) {
    const uint8_t* at = p;
    bool nl = false, ref = false;
    uint8_t b = byte();
    for (;; b = byte()) {
        if (b == C_NEWLINE) nl = true;
        else if (b == C_REF) ref = true;
        else if (b == C_DEFINE) fail(p - 1);  // definitions belong to the boot image only
        else break;
    }
    const uint8_t* tag_at = p - 1;
    if (b >= 0x80) {
        if (ref) fail(tag_at);
        if (b < 0xC0) { place(slot, make_integer(b - 0x80), nl); return; }
        if (b == C_TRUE || b == C_FALSE) { place(slot, make_logic(b == C_TRUE), nl); return; }
        if (b == C_COPY) { place(slot, resolve(read_path(), at), nl); return; }
        fail(tag_at);
    }
    bool f = b & C_F;
    uint32_t id = b & 0x3F;
    if (id == 0x3F) id = leb();
    if (id == 0 || id > T_MAX_REGISTERED) fail(tag_at);
    TypeId t = TypeId(id);
    // with a reference prefix only the series, context and function types are allowed
    if (ref && !(block_type(t) || text_type(t) || t == T_BINARY || t == T_VECTOR || t == T_IMAGE ||
                 t == T_BITSET || t == T_MAP || t == T_OBJECT || t == T_FUNCTION))
        fail(tag_at);
    switch (t) {
        case T_DATATYPE: {
            uint32_t v = leb();
            if (v < 1 || v > T_MAX_REGISTERED) fail(tag_at);
            place(slot, make_datatype(TypeId(v)), nl);
            return;
        }
        case T_UNSET: case T_NONE: place(slot, make_cell(t), nl); return;
        case T_CHAR: { const uint8_t* c_at = p; uint32_t cp = leb(); check_char(cp, c_at); place(slot, make_char(cp), nl); return; }
        case T_INTEGER: place(slot, make_integer(zz()), nl); return;
        case T_FLOAT: case T_TIME: case T_PERCENT: {
            Cell c = make_cell(t);
            if (f) { int32_t n = zz(); c.put_float(t == T_PERCENT ? double(n) / 100.0 : double(n)); }
            else c.put_float(dbl_low_first());
            place(slot, c, nl);
            return;
        }
        case T_PAIR: { int32_t x = zz(), y = zz(); place(slot, Cell{T_PAIR, 0, uint32_t(x), uint32_t(y)}, nl); return; }
        case T_POINT2D: { uint32_t x = u32(), y = u32(); place(slot, Cell{T_POINT2D, x, y, 0}, nl); return; }
        case T_POINT3D: { uint32_t x = u32(), y = u32(), z = u32(); place(slot, Cell{T_POINT3D, x, y, z}, nl); return; }
        case T_DATE: {
            uint32_t w = u32();
            if (f != date_has_time(w)) fail(tag_at);
            check_date(w, tag_at);
            Cell c{T_DATE, w, 0, 0};
            if (f) c.put_float(dbl_low_first());
            check_date_time(w, c.get_float(), tag_at);
            place(slot, c, nl);
            return;
        }
        case T_TYPESET: {
            uint8_t n = byte();
            if (n > 12) fail(p - 1);
            need(n);
            Cell c{T_TYPESET, 0, 0, 0};
            std::memcpy(&c.data1, p, n);
            p += n;
            place(slot, c, nl);
            return;
        }
        case T_TUPLE: {
            uint32_t len = 3;
            if (f) { len = byte(); check_tuple(len, p - 1); }
            need(len);
            Cell c = make_tuple(p, len);
            p += len;
            place(slot, c, nl);
            return;
        }
        case T_MONEY: place(slot, money_from(f, tag_at), nl); return;
        case T_ISSUE: { const uint8_t* s_at = p; uint32_t sym = symbol(leb(), s_at); place(slot, issue_make(sym), nl); return; }
        case T_WORD: case T_SET_WORD: case T_LIT_WORD: case T_GET_WORD: case T_REFINEMENT:
            word_from(slot, t, f ? C_F : 0, nl);
            return;
        case T_CONTEXT: {
            p = tag_at;
            place(slot, make_none(), nl);
            uint32_t kind, n;
            bool stack, self, has_values;
            context_header(&kind, &stack, &self, &has_values, &n);
            context_contents(0, stack, self, has_values, n, kind, slot, nullptr, -1, true, T_OBJECT);
            return;
        }
        case T_OBJECT:
            if (ref) { place(slot, ref_value(t, 0, at), nl); return; }
            place(slot, make_none(), nl);
            object_from(slot, nullptr, f);
            return;
        case T_FUNCTION:
            if (ref) { place(slot, ref_value(t, 0, at), nl); return; }
            place(slot, make_none(), nl);
            function_from(slot, nullptr);
            return;
        case T_BLOCK: case T_PAREN: case T_PATH: case T_LIT_PATH: case T_SET_PATH: case T_GET_PATH:
        case T_HASH: {
            uint32_t head = f ? leb() : 0;
            if (ref) { place(slot, ref_value(t, head, at), nl); return; }
            place(slot, make_none(), nl);
            block_contents(slot, t, head, leb());
            return;
        }
        case T_MAP:
            if (ref) { place(slot, ref_value(t, 0, at), nl); return; }
            map_from(slot, leb(), nl);
            return;
        case T_STRING: case T_FILE: case T_URL: case T_TAG: case T_EMAIL: case T_REF: {
            uint32_t head = f ? leb() : 0;
            if (ref) { place(slot, ref_value(t, head, at), nl); return; }
            const uint8_t* n_at = p;
            uint32_t v = leb();
            if ((v & 3) == 3) fail(n_at);
            text_from(slot, t, head, v >> 2, 1u << (v & 3), nl);
            return;
        }
        case T_BINARY: {
            uint32_t head = f ? leb() : 0;
            if (ref) { place(slot, ref_value(t, head, at), nl); return; }
            text_from(slot, t, head, leb(), 1, nl);
            return;
        }
        case T_VECTOR: {
            uint32_t head = f ? leb() : 0;
            if (ref) { place(slot, ref_value(t, head, at), nl); return; }
            uint8_t kind = byte();
            uint32_t count = leb();
            vector_from(slot, head, TypeId(kind >> 2), 1u << (kind & 3), count, nl);
            return;
        }
        case T_BITSET:
            if (ref) { place(slot, ref_value(t, 0, at), nl); return; }
            bitset_from(slot, leb(), f, nl);
            return;
        case T_IMAGE: {
            uint32_t head = f ? leb() : 0;
            if (ref) { place(slot, ref_value(t, head, at), nl); return; }
            uint32_t w = leb(), h = leb();
            if (w > 0xFFFF || h > 0xFFFF) fail(tag_at);
            image_from(slot, head, w, h, nl);
            return;
        }
        case T_ERROR: error_from(slot, nl); return;
        case T_NATIVE: case T_ACTION: native_from(slot, t, nl); return;
        case T_OP: op_from(slot, T_NONE_ID, nl, tag_at); return;
        case T_ROUTINE: case T_TRIPLE: case T_HANDLE: case T_PORT: case T_EVENT: not_supported(t);
        default: fail(tag_at);
    }
}

void Decoder::value(Slot slot) {
    interp_check_native_stack();
    if (compact) value_compact(slot); else value_std(slot);
}

[[noreturn]] void invalid_data() {
    Cell none = make_none();
    fire_error(Err::InvalidData, &none);
}

} // namespace

// ---- Entry points ---------------------------------------------------------------------------------

std::vector<uint8_t> kelbin_encode_bytes(const Cell* value, KelbinForm form) {
    Encoder e;
    e.compact = form == KelbinForm::Compact;
    e.value(value);
    return assemble(e);
}

void kelbin_encode(const Cell* value, Cell* result, KelbinForm form) {
    std::vector<uint8_t> bytes = kelbin_encode_bytes(value, form);
    if (bytes.size() > 0x7FFFFFFFu) fire_error(Err::NoMemory);
    Node node = alloc_bytes(bytes.size());
    Series* s = node_series(node);
    std::memcpy(s->head_ptr(), bytes.data(), bytes.size());
    s->tail = s->head + uint32_t(bytes.size());
    *result = make_series(T_BINARY, node, 0);
}

namespace {

[[noreturn]] void not_kelbin(bool boot) {
    if (boot) {
        std::fputs("Error: Not a Kelbin file!\n", stderr);
        std::exit(1);
    }
    invalid_data();
}

uint32_t decode_file(const uint8_t* data, size_t length, Node out, bool boot) {
    std::vector<uint8_t> copy(data, data + length);
    if (length < 8 || std::memcmp(copy.data(), kMagic, 6) != 0) not_kelbin(boot);
    uint8_t flags = copy[7];
    struct Freer { uint8_t* p = nullptr; ~Freer() { std::free(p); } } unpacked;
    const uint8_t* body = copy.data() + 8;
    const uint8_t* end = copy.data() + length;
    const uint8_t* base = copy.data();
    if (flags & FLAG_LZ) {
        size_t n = 0;
        unpacked.p = lz_decompress(body, size_t(end - body), &n);
        if (!unpacked.p) not_kelbin(boot);
        body = base = unpacked.p;
        end = body + n;
    }
    Decoder d;
    d.boot = boot;
    d.compact = flags & FLAG_COMPACT;
    d.base = base;
    d.p = body;
    d.end = end;
    d.has_symbols = flags & FLAG_SYMBOLS;
    uint32_t records_length;
    if (d.compact) {
        // the two header numbers lie in the first 20 bytes
        d.end = std::min(end, body + 20);
        (void)d.leb();
        records_length = d.leb();
        d.end = end;
        if (d.has_symbols) {
            uint32_t count = d.leb();
            d.names_size = d.leb();
            d.check_count(count, 4);
            d.offsets.resize(count);
            for (uint32_t& o : d.offsets) o = d.u32();
            d.need(d.names_size);
            d.names = d.p;
            if (d.names_size && d.names[d.names_size - 1] != 0) d.fail(d.names + d.names_size - 1);
            d.p += d.names_size;
        }
    } else {
        if (end - body < 8) not_kelbin(boot);
        (void)d.u32();
        records_length = d.u32();
        if (d.has_symbols) {
            uint32_t count = d.u32();
            d.names_size = d.u32();
            d.check_count(count, 4);
            d.offsets.resize(count);
            for (uint32_t& o : d.offsets) o = d.u32();
            d.need(d.names_size);
            d.names = d.p;
            d.p += d.names_size;
        }
    }
    d.made.assign(d.offsets.size(), 0);
    d.need(records_length);
    d.end = d.p + records_length;
    d.records_start = d.p;
    d.root = out;
    d.root_base = node_series(out)->length();
    while (d.p < d.end) {
        if (boot && d.is_definition()) { d.definition(); continue; }
        Cell* c = reserve_cell(out);
        *c = make_none();
        d.value(Slot{out, node_series(out)->length() - 1});
    }
    return d.root_base;
}

} // namespace

uint32_t kelbin_decode(const uint8_t* data, size_t length, Node out) {
    return decode_file(data, length, out, false);
}

uint32_t g_kelbin_boot_base = 0;

uint32_t kelbin_boot(const uint8_t* image, size_t length) {
    CollectorHold hold;
    g_kelbin_boot_base = decode_file(image, length, g_root_block, true);
    return g_kelbin_boot_base;
}

std::vector<uint8_t> kelbin_encode_boot(const std::vector<std::pair<uint32_t, Cell>>& definitions,
                                        const Cell* roots) {
    Encoder e;
    e.compact = true;
    for (const auto& def : definitions) {
        e.byte(C_DEFINE);
        e.tag(T_SET_WORD, false, false);
        e.leb(e.symbol(def.first));
        e.value(&def.second);
        --e.levels.back();  // a definition leaves no root value
    }
    Series* s = node_series(series_node(roots));
    uint32_t n = s->length();
    for (uint32_t i = 0; i < n; ++i) e.value(node_series(series_node(roots))->cell_at(i));
    std::vector<uint8_t> out = assemble(e);
    out[6] = 1;  // the boot image's version
    out[7] = FLAG_COMPACT | FLAG_SYMBOLS;
    return out;
}

} // namespace kel
