// Placeholder registration: the type inherits its parent's row until its actions are written.
#include "datatypes/datatype.h"

namespace kel {

void datatype_init() { register_datatype(T_DATATYPE, T_NONE_ID, "datatype!", action_entries(INHERIT)); }

} // namespace kel
