// Datatypes whose actions come later: each registers with every slot inherited from its parent
// (or unsupported when it has none), so that start-up registers every id in its fixed order. A
// type leaves this file for its own once its actions are written.
#include "datatypes/datatype.h"

namespace kel {

void money_init() { register_datatype(T_MONEY, T_NONE_ID, "money!", action_entries(INHERIT)); }

} // namespace kel
