// Process start-up and the ways the process ends from below the language.
//
// program_entry prepares the process (fault and interrupt signal handlers, floating-point mode,
// the process record with the arguments), then runs the whole runtime on a thread of its own whose
// stack is 1 GiB of reserved, lazily committed memory with a guard region at its low end, so that
// deep recursion of the interpreter and the collector has room and an overflow is reported instead
// of crashing. The GUI later runs on that same thread. On that thread the entry opens the top-level
// catch (everything a KelThrow can carry), calls runtime_init, which brings every runtime service
// up in one fixed order, and continues into the top level.
//
// The process ends in one of these ways: runtime_quit (a normal end with status 0, or a fatal
// runtime error whose number becomes the exit status and whose report goes to stderr); top_catch,
// when a throw reaches the entry (the quit marker ends with status 0, anything else is runtime
// error 95); a fault signal (SIGSEGV, SIGBUS, SIGFPE, SIGILL), reported and ended with its runtime
// error number; SIGINT, which ends the process with status 130 unless the console has asked for
// interrupts to halt the evaluation instead.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>

namespace kel {

// Runtime error numbers that the runtime itself raises.
enum RuntimeError : int {
    RT_ACCESS_VIOLATION = 1,
    RT_FLOAT_DENORMAL = 6,
    RT_FLOAT_DIVIDE_BY_ZERO = 7,
    RT_FLOAT_INEXACT = 8,
    RT_FLOAT_INVALID = 9,
    RT_FLOAT_OVERFLOW = 10,
    RT_FLOAT_UNDERFLOW = 12,
    RT_INT_DIVIDE_BY_ZERO = 13,
    RT_INT_OVERFLOW = 14,
    RT_PRIVILEGED_INSTRUCTION = 15,
    RT_ILLEGAL_INSTRUCTION = 17,
    RT_STACK_OVERFLOW = 19,
    RT_ILLEGAL_OPERAND = 23,
    RT_ILLEGAL_ADDRESSING = 24,
    RT_ILLEGAL_TRAP = 25,
    RT_COPROCESSOR = 26,
    RT_PRIVILEGED_REGISTER = 31,
    RT_SEGMENTATION_FAULT = 32,
    RT_FPU_ERROR = 33,
    RT_BUS_ERROR = 34,
    RT_OUT_OF_MEMORY = 94,
    RT_NO_CATCH = 95,
    RT_ASSERTION = 98,
    RT_UNKNOWN = 99,
    RT_NO_CASE = 100,
    RT_NO_SWITCH = 101,
};

// Where the faulting thread stood when a fault signal arrived.
struct FaultRecord {
    uintptr_t stack_pointer;
    uintptr_t frame_pointer;
};

// Blocks taken from the malloc heap by the low-level runtime, in order of allocation.
struct TrackedBlock;
struct AllocationList {
    TrackedBlock* first;
    TrackedBlock* last;
};

// The low-level runtime's one global record.
struct ProcessRecord {
    int32_t arg_count;
    char** arg_vector;            // UTF-8 arguments, ended by a null entry
    uint32_t thrown_code;         // code of the throw that reached the entry
    const uint8_t* boot_image;    // the embedded boot image, null until there is one
    FaultRecord* fault;           // filled by the fault handler
    AllocationList* allocations;  // the tracked malloc-heap blocks
};
extern ProcessRecord* g_process;

// The standard descriptors, in the order input, output, error.
extern int g_std_handles[3];

// Set as the first act of runtime_init and kept until the top level starts evaluating: while it
// is set, words made from C strings are also kept in the root block.
extern bool g_root_collect;

// Bounds of the runtime thread's stack. The usable stack is [low, high); the guard region
// [guard_low, low) is never accessible, so running into it is a stack overflow. entry_position is
// the native stack position at the call of runtime_init. All zero before the thread runs.
struct RuntimeStack {
    uintptr_t guard_low;
    uintptr_t low;
    uintptr_t high;
    uintptr_t entry_position;
};
extern RuntimeStack g_runtime_stack;

constexpr size_t RUNTIME_STACK_BYTES = size_t(1) << 30;        // 1 GiB, lazily committed
constexpr size_t RUNTIME_STACK_MIN_BYTES = size_t(512) << 20;  // tried when 1 GiB is refused
constexpr size_t RUNTIME_STACK_GUARD_BYTES = size_t(1) << 20;  // larger than any frame we make

// Interrupts (SIGINT). While g_interrupt_halts is 0, SIGINT ends the process with status 130.
// The console sets it to 1 once it can stop an evaluation: SIGINT then only sets
// g_halt_requested, which the interpreter polls and clears when it halts.
extern volatile sig_atomic_t g_interrupt_halts;
extern volatile sig_atomic_t g_halt_requested;

// The entry: runs the runtime on its own large-stack thread and never returns. top_level runs on
// that thread after runtime_init, inside the top-level catch; when it returns the process ends
// through runtime_quit(0, 0).
[[noreturn]] void program_entry(int argc, char** argv, void (*top_level)());

// Low-level preparation on the entry's thread: fault and interrupt signal handlers, standard
// descriptors, arguments.
void process_init(int argc, char** argv);
void argv_init(int argc, char** argv);

// Brings the runtime up, in its fixed order; called once.
void runtime_init();

// Ends the process. Status 0 is a normal end; any other status is a runtime error number, whose
// report "*** Runtime Error <n>: <text>" / "*** at: <address>h" goes to stderr first.
[[noreturn]] void runtime_quit(int status, uintptr_t address);

// Handler of the entry's catch: the thrown code in the process record decides how the process
// ends (the quit marker: status 0; anything else: runtime error 95 "no CATCH for THROW").
[[noreturn]] void top_catch();

// Frees every tracked block.
void quit_cleanup();

// Tracked allocation from the malloc heap. The block is 16-byte aligned and stays until
// tracked_free or quit_cleanup. When the heap refuses, the process ends with runtime error 94
// reported at the caller's address.
void* tracked_alloc(size_t bytes);
void tracked_free(void* p);

// Text of a runtime error number ("unknown error code!" for a number without one).
const char* runtime_error_text(int number);

// Writes the report of a runtime error into out (room bytes, NUL-terminated, cut if needed) and
// returns its length. The address is written in upper-case hex with at least 8 digits, as many as
// it needs. Safe to call from a signal handler.
size_t format_runtime_report(char* out, size_t room, int number, uintptr_t address);

// The runtime error number of a fault signal; fault_address is the accessed address (si_addr).
int fault_signal_number(int signal, int code, uintptr_t fault_address, uintptr_t stack_pointer);

} // namespace kel
