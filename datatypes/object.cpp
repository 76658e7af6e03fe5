// Placeholder registration: the type inherits its parent's row until its actions are written.
#include "datatypes/datatype.h"

namespace kel {

void object_init() { register_datatype(T_OBJECT, T_NONE_ID, "object!", action_entries(INHERIT)); }

} // namespace kel
