// Placeholder registration: the type inherits its parent's row until its actions are written.
#include "datatypes/datatype.h"

namespace kel {

void char_init() { register_datatype(T_CHAR, T_INTEGER, "char!", action_entries(INHERIT)); }

} // namespace kel
