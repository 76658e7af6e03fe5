#include "evaluator/interpreter.h"

namespace kel {

void interpreter_init() {}

} // namespace kel
