// Placeholder registration: the type inherits its parent's row until its actions are written.
#include "datatypes/datatype.h"

namespace kel {

void integer_init() { register_datatype(T_INTEGER, T_NONE_ID, "integer!", action_entries(INHERIT)); }

} // namespace kel
