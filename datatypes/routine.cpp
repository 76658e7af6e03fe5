// Placeholder registration: the type inherits its parent's row until its actions are written.
#include "datatypes/datatype.h"

namespace kel {

void routine_init() { register_datatype(T_ROUTINE, T_FUNCTION, "routine!", action_entries(INHERIT)); }

} // namespace kel
