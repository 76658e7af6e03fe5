// Placeholder registration: the type inherits its parent's row until its actions are written.
#include "datatypes/datatype.h"

namespace kel {

void float_init() { register_datatype(T_FLOAT, T_NONE_ID, "float!", action_entries(INHERIT)); }

} // namespace kel
