// Placeholder registration: the type inherits its parent's row until its actions are written.
#include "datatypes/datatype.h"

namespace kel {

void file_init() { register_datatype(T_FILE, T_URL, "file!", action_entries(INHERIT)); }

} // namespace kel
