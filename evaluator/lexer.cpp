#include "evaluator/lexer.h"

namespace kel {

void lexer_init() {}

} // namespace kel
