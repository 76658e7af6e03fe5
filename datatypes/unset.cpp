// Placeholder registration: the type inherits its parent's row until its actions are written.
#include "datatypes/datatype.h"

namespace kel {

void unset_init() { register_datatype(T_UNSET, T_NONE_ID, "unset!", action_entries(INHERIT)); }

} // namespace kel
