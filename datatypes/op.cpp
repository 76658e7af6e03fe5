// Placeholder registration: the type inherits its parent's row until its actions are written.
#include "datatypes/datatype.h"

namespace kel {

void op_init() { register_datatype(T_OP, T_NATIVE, "op!", action_entries(INHERIT)); }

} // namespace kel
