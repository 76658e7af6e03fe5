// The natives table: the built-in functions that are not actions.
//
// k_native_names is the one source of the natives' order: a native! value carries its 1-based
// position here, and KELBIN stores that index, so the order never changes. natives_init fills the
// table in this order; slots 107-119 stay empty.
//
// Calling convention: the arguments are cells of the current frame (g_stack.arguments[0] is the
// first argument and receives the result); refinement arguments follow the normal ones in the
// order the refinements were given. The routine receives a check flag (set: it checks its
// arguments' types itself) and one index per refinement of its spec, in spec order: the cell
// index (from the frame base) of the refinement's first argument when it is used (for a plain
// refinement the index at which its arguments would stand), or -1 when it is not.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace kel {

using NativeFn = void (*)(bool check, const int32_t* refinements);

inline constexpr std::array<std::string_view, 107> k_native_names = {
    "if", "unless", "either", "any", "all", "while", "until", "loop", "repeat", "forever",
    "foreach", "forall", "remove-each", "func", "function", "does", "has", "switch", "case", "do",
    "get", "set", "print", "prin", "equal?", "not-equal?", "strict-equal?", "lesser?", "greater?",
    "lesser-or-equal?", "greater-or-equal?", "same?", "not", "type?", "reduce", "compose", "stats",
    "bind", "in", "parse", "union", "intersect", "unique", "difference", "exclude", "complement?",
    "dehex", "enhex", "negative?", "positive?", "max", "min", "shift", "to-hex", "sine", "cosine",
    "tangent", "arcsine", "arccosine", "arctangent", "arctangent2", "NaN?", "log-2", "log-10",
    "log-e", "exp", "square-root", "construct", "value?", "try", "uppercase", "lowercase",
    "as-pair", "as-point2D", "as-point3D", "as-money", "break", "continue", "exit", "return",
    "throw", "catch", "extend", "debase", "to-local-file", "wait", "checksum", "unset",
    "new-line", "new-line?", "enbase", "context?", "set-env", "get-env", "list-env", "now",
    "sign?", "as", "call", "zero?", "size?", "browse", "compress", "decompress", "recycle",
    "transcode", "apply",
};
constexpr uint32_t NATIVES_TABLE_SLOTS = 120;

// The 1-based index of a native by name (0 when there is none); usable at compile time.
constexpr uint32_t native_index(std::string_view name) {
    for (uint32_t i = 0; i < k_native_names.size(); ++i)
        if (k_native_names[i] == name) return i + 1;
    return 0;
}
static_assert(native_index("if") == 1 && native_index("debase") == 84 &&
              native_index("size?") == 101 && native_index("apply") == 107);

extern NativeFn g_natives[NATIVES_TABLE_SLOTS];
// Fills every slot with the not-done stub, then lets each group put its natives in their slots.
void natives_init();
// Puts fn in the slot of the named native (a name not in k_native_names does not compile).
#define KEL_NATIVE_SLOT(name, fn) \
    do { \
        static_assert(::kel::native_index(name) != 0, "unknown native"); \
        ::kel::g_natives[::kel::native_index(name) - 1] = (fn); \
    } while (0)

// Groups of natives, each in evaluator/natives-<group>.cpp.
void natives_control_register();   // control flow, loops, do, non-local exits and error natives, transcode and apply
void natives_function_register();   // function-making, binding and word-access natives
void natives_compare_register();   // comparison, logic, reduce/compose and set-operation natives
void natives_print_register();   // print natives
void natives_value_register();   // value-making, coercion and word natives
void natives_system_register();   // natives that reach the operating system
void natives_math_register();   // numeric natives: max, min, shift, to-hex, trigonometry, logarithms, zero?
void natives_encoding_register();   // text encodings, checksums and compression

// One turn of the GUI message loop, run by `wait` after its sleep; set by the GUI backend.
extern void (*g_gui_loop_turn)();

} // namespace kel
