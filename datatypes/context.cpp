// context!: the type of context cells (core/context.h). Contexts are reached through words and
// objects, never handled as values by the language, so the type has no action of its own.
#include "datatypes/datatype.h"

namespace kel {

void context_init() {
    register_datatype(T_CONTEXT, T_NONE_ID, "context!", action_entries(UNSUPPORTED));
}

} // namespace kel
