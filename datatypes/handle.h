// handle!: an opaque operating-system handle carried by the GUI backend and the services.
//
// Cell: word 1 the kind (0 none, 1 fd, 2 monitor, 3 window, 4 font, 5 rich-text), word 2 the
// handle's value, word 3 the external-resource slot the collector marks, or -1 for a plain number.
// An operating-system object is never held by address: its value is the index of its slot in the
// external-resource table, and word 3 names the same slot so the object lives while the value does.
#pragma once

#include "core/cell.h"
#include "core/memory.h"

#include <cstdint>

namespace kel {

enum HandleKind : uint32_t {
    HANDLE_NONE = 0, HANDLE_FD, HANDLE_MONITOR, HANDLE_WINDOW, HANDLE_FONT, HANDLE_RICH_TEXT,
};

// The name of a kind 1-5 ("fd" ... "rich-text"); null for 0 or an unknown kind.
const char* handle_kind_name(uint32_t kind);

// Fills a cell with a plain handle value (no resource slot).
Cell* handle_set(Cell* cell, uint32_t kind, int32_t value);
// Fills a cell with a handle to the object of an external-resource slot, which the collector then
// keeps while the value is reachable.
Cell* handle_set_resource(Cell* cell, uint32_t kind, int32_t slot);
// Pushes a new plain handle on the data stack; handle_push_null pushes value 0 of kind 0.
Cell* handle_push(int32_t value, uint32_t kind);
Cell* handle_push_null();
// Appends a new plain handle to a block's series (may allocate).
Cell* handle_make_at(Node block, int32_t value, uint32_t kind);

} // namespace kel
