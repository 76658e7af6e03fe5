// Placeholder registration: the type inherits its parent's row until its actions are written.
#include "datatypes/datatype.h"

namespace kel {

void string_init() { register_datatype(T_STRING, T_SERIES, "string!", action_entries(INHERIT)); }

} // namespace kel
