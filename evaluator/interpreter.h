// The interpreter: evaluates blocks of values on the data stack.
#pragma once

#include "core/cell.h"

namespace kel {

void interpreter_init();

} // namespace kel
