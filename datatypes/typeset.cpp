// Placeholder registration: the type inherits its parent's row until its actions are written.
#include "datatypes/datatype.h"

namespace kel {

void typeset_init() { register_datatype(T_TYPESET, T_NONE_ID, "typeset!", action_entries(INHERIT)); }

} // namespace kel
