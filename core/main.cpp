// The kel executable: hands the process to the runtime's entry, whose top level starts the
// environment and runs the console or a script (core/console.h).
//
// For the process tests, KEL_TEST_HOOK names one way of ending the process before anything else
// runs, so that each exit status and report can be checked.
//   throw    a throw that nothing catches (runtime error 95)
//   quit     a throw of the quit marker (status 0)
//   segv     a write through a null pointer (the segmentation-fault report)
//   fpe      an integer division by zero
//   stack    unbounded native recursion (the stack-overflow report)
//   unknown  a runtime error number without text
//   sleep    sleeps 5 s, so that an interrupt can be sent meanwhile
#include "core/console.h"
#include "core/platform.h"
#include "core/runtime.h"
#include "core/throw.h"

#include <cstdlib>
#include <cstring>

namespace {

// Each call takes 64 KiB of stack but touches only a few bytes of it, so running through the
// whole stack commits little memory.
volatile bool g_keep_recursing = true;

__attribute__((noinline)) int recurse_forever(int depth) {
    volatile char frame[64 * 1024];
    frame[0] = char(depth);
    if (!g_keep_recursing) return frame[0];
    return recurse_forever(depth + 1) + frame[0];
}

void run_test_hook(const char* hook) {
    if (std::strcmp(hook, "throw") == 0) {
        kel::low_throw(kel::THROW_VALUE);
    } else if (std::strcmp(hook, "quit") == 0) {
        kel::low_throw(kel::QUIT_MARKER);
    } else if (std::strcmp(hook, "segv") == 0) {
        volatile int* volatile nowhere = nullptr;
        *nowhere = 1;
    } else if (std::strcmp(hook, "fpe") == 0) {
        volatile int numerator = 1;
        volatile int denominator = 0;
        volatile int quotient = numerator / denominator;
        (void)quotient;
    } else if (std::strcmp(hook, "stack") == 0) {
        recurse_forever(0);
    } else if (std::strcmp(hook, "unknown") == 0) {
        kel::runtime_quit(77, 0);
    } else if (std::strcmp(hook, "sleep") == 0) {
        kel::os_sleep(5.0);
    }
}

void top_level() {
    if (const char* hook = std::getenv("KEL_TEST_HOOK")) {
        run_test_hook(hook);
        return;
    }
    kel::environment_init();
    kel::console_main(kel::g_process->arg_count, kel::g_process->arg_vector);
}

} // namespace

int main(int argc, char** argv) {
    kel::program_entry(argc, argv, top_level);
}
