#include "evaluator/actions.h"

namespace kel {

void init_actions() {}

} // namespace kel
