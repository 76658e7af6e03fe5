// Placeholder registration: the type inherits its parent's row until its actions are written.
#include "datatypes/datatype.h"

namespace kel {

void symbol_init() { register_datatype(T_SYMBOL, T_NONE_ID, "symbol!", action_entries(INHERIT)); }

} // namespace kel
