// Placeholder registration: the type inherits its parent's row until its actions are written.
#include "datatypes/datatype.h"

namespace kel {

void function_init() { register_datatype(T_FUNCTION, T_CONTEXT, "function!", action_entries(INHERIT)); }

} // namespace kel
