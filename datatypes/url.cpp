// Placeholder registration: the type inherits its parent's row until its actions are written.
#include "datatypes/datatype.h"

namespace kel {

void url_init() { register_datatype(T_URL, T_STRING, "url!", action_entries(INHERIT)); }

} // namespace kel
