// Natives: value-making, coercion and word natives.
#include "evaluator/natives.h"

namespace kel {

void natives_value_register() {}

} // namespace kel
