// handle!: an opaque operating-system handle (see datatypes/handle.h for the cell).
//
// It only forms, molds and compares: form gives the value as eight uppercase hex digits and "h";
// mold gives "handle!", or with /all the construction "#[handle! 000000FFh window]". Two handles
// compare by their values as signed integers; a handle equals no value of another type and has no
// order against one.
#include "datatypes/handle.h"

#include "core/series.h"
#include "core/stack.h"
#include "datatypes/datatype.h"
#include "datatypes/string.h"

#include <cstdio>
#include <cstring>

namespace kel {

namespace {

constexpr const char* k_kind_names[] = {"null", "fd", "monitor", "window", "font", "rich-text"};

int32_t append_text(Cell* buffer, const char* text) {
    size_t n = std::strlen(text);
    string_append_bytes(buffer, reinterpret_cast<const uint8_t*>(text), n);
    return int32_t(n);
}

int32_t handle_form(const Cell* value, Cell* buffer, bool, int32_t budget) {
    char text[16];
    std::snprintf(text, sizeof text, "%08Xh", value->data2);
    return budget - append_text(buffer, text);
}

int32_t handle_mold(const Cell* value, Cell* buffer, bool, bool all, bool, bool, int32_t budget, int32_t) {
    if (!all) return budget - append_text(buffer, "handle!");
    Cell v = *value;   // the value may lie in a buffer that moves while the text grows
    int32_t n = append_text(buffer, "#[handle! ");
    n += budget - handle_form(&v, buffer, false, budget);
    if (const char* name = handle_kind_name(v.data1)) {
        n += append_text(buffer, " ");
        n += append_text(buffer, name);
    }
    n += append_text(buffer, "]");
    return budget - n;
}

int32_t handle_compare(const Cell* a, const Cell* b, int32_t op) {
    if (!b->is(T_HANDLE)) return compare_op_is_equality(op) ? 1 : CMP_NOT_COMPARABLE;
    int32_t x = int32_t(a->data2), y = int32_t(b->data2);
    return x < y ? -1 : x > y ? 1 : 0;
}

} // namespace

const char* handle_kind_name(uint32_t kind) {
    return kind >= 1 && kind <= HANDLE_RICH_TEXT ? k_kind_names[kind] : nullptr;
}

Cell* handle_set(Cell* cell, uint32_t kind, int32_t value) {
    return init_cell(cell, T_HANDLE, kind, uint32_t(value), 0xFFFFFFFFu);
}

Cell* handle_set_resource(Cell* cell, uint32_t kind, int32_t slot) {
    return init_cell(cell, T_HANDLE, kind, uint32_t(slot), uint32_t(slot));
}

Cell* handle_push(int32_t value, uint32_t kind) { return handle_set(stack_push_slot(), kind, value); }

Cell* handle_push_null() { return handle_push(0, HANDLE_NONE); }

Cell* handle_make_at(Node block, int32_t value, uint32_t kind) {
    Cell c;
    handle_set(&c, kind, value);
    return block_append(block, c);
}

void handle_init() {
    ActionEntries e = action_entries(UNSUPPORTED);
    set_entry<A_FORM>(e, handle_form);
    set_entry<A_MOLD>(e, handle_mold);
    set_entry<A_COMPARE>(e, handle_compare);
    register_datatype(T_HANDLE, T_INTEGER, "handle!", e);
}

} // namespace kel
