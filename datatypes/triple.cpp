// triple!: three signed 32-bit integers (words 1-3). It can only be formed and molded, both as
// "make triple! [a b c]".
#include "datatypes/scalars.h"

#include <cstdio>

namespace kel {

Cell* triple_make_at(Cell* c, int32_t a, int32_t b, int32_t d) {
    return init_cell(c, T_TRIPLE, uint32_t(a), uint32_t(b), uint32_t(d));
}

static int32_t triple_form(const Cell* v, Cell* buffer, bool, int32_t budget) {
    char text[64];
    std::snprintf(text, sizeof text, "make triple! [%d %d %d]", int32_t(v->data1),
                  int32_t(v->data2), int32_t(v->data3));
    return scalar_emit(buffer, text, budget);
}

static int32_t triple_mold(const Cell* v, Cell* buffer, bool, bool, bool, bool part,
                           int32_t budget, int32_t) {
    return triple_form(v, buffer, part, budget);
}

void triple_init() {
    ActionEntries e = action_entries(UNSUPPORTED);
    set_entry<A_FORM>(e, triple_form);
    set_entry<A_MOLD>(e, triple_mold);
    register_datatype(T_TRIPLE, T_NONE_ID, "triple!", e);
}

} // namespace kel
