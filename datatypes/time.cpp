// Placeholder registration: the type inherits its parent's row until its actions are written.
#include "datatypes/datatype.h"

namespace kel {

void time_init() { register_datatype(T_TIME, T_FLOAT, "time!", action_entries(INHERIT)); }

} // namespace kel
