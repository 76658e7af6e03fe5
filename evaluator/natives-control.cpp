// Natives: control flow, loops, do, non-local exits and error natives, transcode and apply.
#include "evaluator/natives.h"

namespace kel {

void natives_control_register() {}

} // namespace kel
