// The kel executable: hands the process to the runtime's entry.
//
// Until the console exists the top level only honours the test hooks: KEL_TEST_HOOK names one
// way of ending the process, so that process tests can check each exit status and report.
//   throw    a throw that nothing catches (runtime error 95)
//   quit     a throw of the quit marker (status 0)
//   segv     a write through a null pointer (the segmentation-fault report)
//   fpe      an integer division by zero
//   stack    unbounded native recursion (the stack-overflow report)
//   unknown  a runtime error number without text
//   sleep    sleeps 5 s, so that an interrupt can be sent meanwhile
// The command line is accepted as it is: `--cli` and script arguments are for the console.
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
    if (const char* hook = std::getenv("KEL_TEST_HOOK")) run_test_hook(hook);
}

} // namespace

int main(int argc, char** argv) {
    kel::program_entry(argc, argv, top_level);
}
