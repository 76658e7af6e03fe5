// The low-level throw: every non-local exit leaves native code as one KelThrow exception.
#include "core/throw.h"

namespace kel {

[[noreturn]] void low_throw(uint32_t code, const Cell* value) {
    throw KelThrow{code, value ? *value : Cell{T_UNSET, 0, 0, 0}};
}

} // namespace kel
