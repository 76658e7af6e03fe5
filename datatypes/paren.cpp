// Placeholder registration: the type inherits its parent's row until its actions are written.
#include "datatypes/datatype.h"

namespace kel {

void paren_init() { register_datatype(T_PAREN, T_BLOCK, "paren!", action_entries(INHERIT)); }

} // namespace kel
