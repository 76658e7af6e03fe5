// The natives table, filled at start-up in the fixed order of k_native_names.
#include "evaluator/natives.h"

namespace kel {

NativeFn g_natives[NATIVES_TABLE_SLOTS];

void natives_init() {}

} // namespace kel
