#include "core/words.h"

namespace kel {

void words_init() {}

} // namespace kel
