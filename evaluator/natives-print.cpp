// Natives: print natives.
#include "evaluator/natives.h"

namespace kel {

void natives_print_register() {}

} // namespace kel
