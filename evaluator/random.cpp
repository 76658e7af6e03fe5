#include "evaluator/random.h"

namespace kel {

void random_init() {}

} // namespace kel
