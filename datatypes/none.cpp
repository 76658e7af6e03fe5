// Placeholder registration: the type inherits its parent's row until its actions are written.
#include "datatypes/datatype.h"

namespace kel {

void none_init() { register_datatype(T_NONE, T_NONE_ID, "none!", action_entries(INHERIT)); }

} // namespace kel
