// Value cells.
//
// Every value of the language is one 16-byte cell: a 32-bit header (bits 0-7 the type id, flag
// bits above) and three 32-bit payload words whose meaning each datatype fixes. A payload word
// never holds a machine address: series and contexts are referred to by 32-bit node handles
// (core/memory.h), 64-bit payloads (doubles) use words 2 and 3. Copying a cell copies the header
// with all its flags; setting a type keeps every flag and replaces the low byte only.
#pragma once

#include <cstdint>
#include <cstring>

namespace kel {

// Type ids, fixed for the whole system. 0 is never registered; 42 (series!) carries only the
// generic series actions and no value has it.
enum TypeId : uint8_t {
    T_NONE_ID = 0,
    T_DATATYPE = 1, T_UNSET, T_NONE, T_LOGIC, T_BLOCK, T_PAREN, T_STRING, T_FILE, T_URL, T_CHAR,
    T_INTEGER, T_FLOAT, T_SYMBOL, T_CONTEXT, T_WORD, T_SET_WORD, T_LIT_WORD, T_GET_WORD,
    T_REFINEMENT, T_ISSUE, T_NATIVE, T_ACTION, T_OP, T_FUNCTION, T_PATH, T_LIT_PATH, T_SET_PATH,
    T_GET_PATH, T_ROUTINE, T_BITSET, T_TRIPLE, T_OBJECT, T_TYPESET, T_ERROR, T_VECTOR, T_HASH,
    T_PAIR, T_PERCENT, T_TUPLE, T_MAP, T_BINARY, T_SERIES, T_TIME, T_TAG, T_EMAIL, T_HANDLE,
    T_DATE, T_PORT, T_MONEY, T_REF, T_POINT2D, T_POINT3D, T_IMAGE, T_EVENT,
    T_MAX_REGISTERED = T_EVENT,
    T_TABLE_SIZE = 57,  // room for ids 0-56 in the datatype table
};

// Header flag bits. Each is owned by one subsystem; bit 12 and the 16-23 field are reused by the
// types named beside them.
enum : uint32_t {
    CELL_TYPE_MASK      = 0xFF,
    CELL_CTX_KIND_MASK  = 0x1800,     // context!: 0 global, 1 function, 2 object
    CELL_CTX_KIND_SHIFT = 11,
    CELL_EVENT_FACE     = 0x1000,     // event!: the payload holds a face reference
    CELL_OBJ_CHANGED    = 0x2000,     // changed mark on object words
    CELL_MONEY_SIGN     = 0x4000,     // money!: negative
    CELL_OWNED          = 0x10000,    // vector!/image! cells, and contexts that own values
    CELL_OP_TYPE_MASK   = 0xFF0000,   // op!: type id of the wrapped function
    CELL_OP_TYPE_SHIFT  = 16,
    CELL_CTX_ON_STACK   = 0x400000,   // context!: the values live on the data stack
    CELL_CTX_SELF       = 0x1000000,  // context!: self flag of object contexts
    CELL_NEWLINE        = 0x40000000, // mold starts a new line before this value
};

struct Cell {
    uint32_t header;
    uint32_t data1;
    uint32_t data2;
    uint32_t data3;

    TypeId type() const { return static_cast<TypeId>(header & CELL_TYPE_MASK); }
    bool is(TypeId t) const { return (header & CELL_TYPE_MASK) == t; }

    // words 2-3 as one 64-bit payload (doubles, 64-bit integers)
    double get_float() const { double d; std::memcpy(&d, &data2, 8); return d; }
    void put_float(double d) { std::memcpy(&data2, &d, 8); }
    uint64_t get_u64() const { return uint64_t(data2) | (uint64_t(data3) << 32); }
    void put_u64(uint64_t v) { data2 = uint32_t(v); data3 = uint32_t(v >> 32); }
};
static_assert(sizeof(Cell) == 16, "a value cell is 16 bytes");
static_assert(alignof(Cell) == 4);

// header = header with the low byte cleared | type; every flag bit is kept
inline Cell* set_cell_type(Cell* c, TypeId t) {
    c->header = (c->header & ~CELL_TYPE_MASK) | t;
    return c;
}
inline Cell* cell_clear_newline(Cell* c) {
    c->header &= ~CELL_NEWLINE;
    return c;
}
inline Cell* copy_cell(const Cell* src, Cell* dst) {
    if (src != dst) *dst = *src;
    return dst;
}
// Fills a cell with a fresh header and payload (flags cleared).
inline Cell* init_cell(Cell* c, TypeId t, uint32_t d1 = 0, uint32_t d2 = 0, uint32_t d3 = 0) {
    c->header = t; c->data1 = d1; c->data2 = d2; c->data3 = d3;
    return c;
}
inline Cell make_cell(TypeId t, uint32_t d1 = 0, uint32_t d2 = 0, uint32_t d3 = 0) {
    return Cell{t, d1, d2, d3};
}
inline Cell make_integer(int32_t i) { return Cell{T_INTEGER, 0, uint32_t(i), 0}; }
inline Cell make_float(double d) { Cell c{T_FLOAT, 0, 0, 0}; c.put_float(d); return c; }
inline Cell make_logic(bool b) { return Cell{T_LOGIC, b ? 1u : 0u, 0, 0}; }
inline int32_t cell_integer(const Cell* c) { return int32_t(c->data2); }

// Series values (block!, string!, binary! and kin): word 1 the head index in units, word 2 the
// node, word 3 type-specific.
inline Cell make_series(TypeId t, uint32_t node, uint32_t index = 0) {
    return Cell{t, index, node, 0};
}
inline uint32_t series_node(const Cell* c) { return c->data2; }
inline uint32_t series_index(const Cell* c) { return c->data1; }

} // namespace kel
