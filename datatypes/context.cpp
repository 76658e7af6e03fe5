// Placeholder registration: the type inherits its parent's row until its actions are written.
#include "datatypes/datatype.h"

namespace kel {

void context_init() { register_datatype(T_CONTEXT, T_NONE_ID, "context!", action_entries(INHERIT)); }

} // namespace kel
