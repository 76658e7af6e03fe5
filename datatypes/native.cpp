// Placeholder registration: the type inherits its parent's row until its actions are written.
#include "datatypes/datatype.h"

namespace kel {

void native_init() { register_datatype(T_NATIVE, T_NONE_ID, "native!", action_entries(INHERIT)); }

} // namespace kel
