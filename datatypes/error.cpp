// Placeholder registration: the type inherits its parent's row until its actions are written.
#include "datatypes/datatype.h"

namespace kel {

void error_init() { register_datatype(T_ERROR, T_OBJECT, "error!", action_entries(INHERIT)); }

} // namespace kel
