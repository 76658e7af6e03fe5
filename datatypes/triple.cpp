// Placeholder registration: the type inherits its parent's row until its actions are written.
#include "datatypes/datatype.h"

namespace kel {

void triple_init() { register_datatype(T_TRIPLE, T_NONE_ID, "triple!", action_entries(INHERIT)); }

} // namespace kel
