// Placeholder registration: the type inherits its parent's row until its actions are written.
#include "datatypes/datatype.h"

namespace kel {

void series_init() { register_datatype(T_SERIES, T_NONE_ID, "series!", action_entries(INHERIT)); }

} // namespace kel
