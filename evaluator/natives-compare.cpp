// Natives: comparison, logic, reduce/compose and set-operation natives.
#include "evaluator/natives.h"

namespace kel {

void natives_compare_register() {}

} // namespace kel
