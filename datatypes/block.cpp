// Placeholder registration: the type inherits its parent's row until its actions are written.
#include "datatypes/datatype.h"

namespace kel {

void block_init() { register_datatype(T_BLOCK, T_SERIES, "block!", action_entries(INHERIT)); }

} // namespace kel
