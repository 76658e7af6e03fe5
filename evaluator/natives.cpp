// The natives table, filled at start-up in the fixed order of k_native_names. A native that is
// not built yet raises internal not-done when called.
#include "evaluator/natives.h"
#include "evaluator/parse.h"

#include "core/errors.h"
#include "datatypes/function.h"

namespace kel {

NativeFn g_natives[NATIVES_TABLE_SLOTS];

static void native_not_done(bool, const int32_t*) { fire_error(Err::NotDone); }

void natives_init() {
    for (uint32_t i = 0; i < NATIVES_TABLE_SLOTS; ++i)
        g_natives[i] = i < k_native_names.size() ? native_not_done : nullptr;
    natives_control_register();
    natives_function_register();
    natives_compare_register();
    natives_print_register();
    natives_value_register();
    natives_math_register();
    natives_system_register();
    natives_encoding_register();
    natives_parse_register();
    table_layouts_init();
}

} // namespace kel
