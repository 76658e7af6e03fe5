// Placeholder registration: the type inherits its parent's row until its actions are written.
#include "datatypes/datatype.h"

namespace kel {

void action_init() { register_datatype(T_ACTION, T_NATIVE, "action!", action_entries(INHERIT)); }

} // namespace kel
