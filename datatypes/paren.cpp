// paren!: a block in every respect but its printed form, which is written between parentheses.
// It takes every other action from block!.
#include "datatypes/block.h"
#include "datatypes/datatype.h"

namespace kel {

namespace {

int32_t paren_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, bool part,
                   int32_t budget, int32_t indent) {
    return block_mold_delimited(value, buffer, only, all, flat, part, budget, indent, "(", ")", "(...)");
}

} // namespace

void paren_init() {
    ActionEntries e = action_entries(INHERIT);
    set_entry<A_MOLD>(e, paren_mold);
    register_datatype(T_PAREN, T_BLOCK, "paren!", e);
}

} // namespace kel
