// Placeholder registration: the type inherits its parent's row until its actions are written.
#include "datatypes/datatype.h"

namespace kel {

void path_init() { register_datatype(T_PATH, T_BLOCK, "path!", action_entries(INHERIT)); }
void lit_path_init() { register_datatype(T_LIT_PATH, T_PATH, "lit-path!", action_entries(INHERIT)); }
void set_path_init() { register_datatype(T_SET_PATH, T_PATH, "set-path!", action_entries(INHERIT)); }
void get_path_init() { register_datatype(T_GET_PATH, T_PATH, "get-path!", action_entries(INHERIT)); }

} // namespace kel
