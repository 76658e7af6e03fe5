// Placeholder registration: the type inherits its parent's row until its actions are written.
#include "datatypes/datatype.h"

namespace kel {

void logic_init() { register_datatype(T_LOGIC, T_NONE_ID, "logic!", action_entries(INHERIT)); }

} // namespace kel
