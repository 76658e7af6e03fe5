// Placeholder registration: the type inherits its parent's row until its actions are written.
#include "datatypes/datatype.h"

namespace kel {

void issue_init() { register_datatype(T_ISSUE, T_WORD, "issue!", action_entries(INHERIT)); }

} // namespace kel
