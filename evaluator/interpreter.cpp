// The interpreter (see interpreter.h); the evaluator proper follows.
#include "evaluator/interpreter.h"

namespace kel {

InterpState g_interp;

void interpreter_init() {}

} // namespace kel
