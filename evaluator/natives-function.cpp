// Natives: function-making, binding and word-access natives.
#include "evaluator/natives.h"

namespace kel {

void natives_function_register() {}

} // namespace kel
