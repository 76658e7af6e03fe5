// Start-up and exits: tracked allocation, runtime error reports, the fault-signal mapping with its
// stack-overflow detection, and the entry's large-stack runtime thread.
#include "core/runtime.h"

#include "core/throw.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <cstring>
#include <string>

using namespace kel;

namespace {

TEST(TrackedAlloc, KeepsTheListLinkedThroughFrees) {
    AllocationList* list = g_process->allocations;
    ASSERT_EQ(list->first, nullptr);

    void* a = tracked_alloc(10);
    void* b = tracked_alloc(100);
    void* c = tracked_alloc(0);
    for (void* p : {a, b, c}) EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
    std::memset(a, 0xAA, 10);
    std::memset(b, 0xBB, 100);

    tracked_free(b);  // middle
    EXPECT_NE(list->first, nullptr);
    tracked_free(a);  // head
    EXPECT_EQ(list->first, list->last);
    tracked_free(c);  // the only one
    EXPECT_EQ(list->first, nullptr);
    EXPECT_EQ(list->last, nullptr);

    void* d = tracked_alloc(16);
    tracked_free(d);
    EXPECT_EQ(list->first, nullptr);
}

TEST(TrackedAlloc, QuitCleanupFreesEverything) {
    AllocationList* list = g_process->allocations;
    for (int i = 0; i < 50; i++) std::memset(tracked_alloc(size_t(i) * 7 + 1), i, size_t(i) * 7 + 1);
    EXPECT_NE(list->first, nullptr);
    quit_cleanup();
    EXPECT_EQ(list->first, nullptr);
    EXPECT_EQ(list->last, nullptr);
    // The list is usable again afterwards.
    void* p = tracked_alloc(8);
    EXPECT_EQ(list->first, list->last);
    tracked_free(p);
}

TEST(TrackedAllocDeathTest, RefusedBlockIsOutOfMemory) {
    EXPECT_EXIT(tracked_alloc(SIZE_MAX), testing::ExitedWithCode(94),
                "\\*\\*\\* Runtime Error 94: out of memory\n\\*\\*\\* at: [0-9A-F]{8,16}h");
    EXPECT_EXIT(tracked_alloc(SIZE_MAX - 8), testing::ExitedWithCode(94), "out of memory");
}

TEST(RuntimeReport, FormatsNumberTextAndAddress) {
    const struct {
        int number;
        uintptr_t address;
        const char* expected;
    } cases[] = {
        {95, 0x401000, "*** Runtime Error 95: no CATCH for THROW\n*** at: 00401000h\n"},
        {77, 0, "*** Runtime Error 77: unknown error code!\n*** at: 00000000h\n"},
        {1, 0xDEADBEEF, "*** Runtime Error 1: access violation\n*** at: DEADBEEFh\n"},
        {19, 0x55D4C3A2B123, "*** Runtime Error 19: stack error or overflow\n*** at: 55D4C3A2B123h\n"},
        {32, UINTPTR_MAX, "*** Runtime Error 32: segmentation fault\n*** at: FFFFFFFFFFFFFFFFh\n"},
        {-2, 0x10, "*** Runtime Error -2: unknown error code!\n*** at: 00000010h\n"},
        {INT32_MIN, 0, "*** Runtime Error -2147483648: unknown error code!\n*** at: 00000000h\n"},
    };
    for (const auto& c : cases) {
        char out[200];
        size_t len = format_runtime_report(out, sizeof out, c.number, c.address);
        EXPECT_EQ(std::string(out), c.expected);
        EXPECT_EQ(len, std::strlen(c.expected));
    }
}

TEST(RuntimeReport, CutsToTheRoomGiven) {
    char out[12];
    std::memset(out, 'x', sizeof out);
    size_t len = format_runtime_report(out, 10, 95, 0);
    EXPECT_EQ(len, 9u);
    EXPECT_STREQ(out, "*** Runti");
    EXPECT_EQ(out[10], 'x');
}

TEST(RuntimeReport, TextsAtTheEdgesOfTheTable) {
    const struct {
        int number;
        const char* text;
    } cases[] = {
        {0, "unknown error code!"},   {1, "access violation"},   {34, "Bus error"},
        {35, "unknown error code!"},  {93, "unknown error code!"}, {94, "out of memory"},
        {99, "unknown error"},        {101, "no value matched in SWITCH"},
        {102, "unknown error code!"}, {-1, "unknown error code!"},
    };
    for (const auto& c : cases) EXPECT_STREQ(runtime_error_text(c.number), c.text) << c.number;
}

TEST(FaultSignal, StackOverflowOnlyInTheGuardRegion) {
    RuntimeStack saved = g_runtime_stack;
    g_runtime_stack = RuntimeStack{0x10000000, 0x10100000, 0x50100000, 0};
    const struct {
        int signal, code;
        uintptr_t address, sp;
        int number;
    } cases[] = {
        {SIGSEGV, SEGV_ACCERR, 0x10000000, 0x10100040, 19},  // lowest guard byte
        {SIGSEGV, SEGV_ACCERR, 0x100FFFF8, 0x10100008, 19},  // push just below the stack
        {SIGSEGV, SEGV_MAPERR, 0, 0x100FFF00, 19},           // stack pointer already in the guard
        {SIGSEGV, SEGV_MAPERR, 0x10100000, 0x10200000, 32},  // first usable byte: not the guard
        {SIGSEGV, SEGV_MAPERR, 0x0FFFFFFF, 0x10200000, 32},
        {SIGSEGV, SEGV_MAPERR, 0, 0x10200000, 32},
        {SIGBUS, BUS_ADRALN, 0x10000000, 0, 34},
        {SIGFPE, FPE_INTDIV, 0, 0, 13},
        {SIGFPE, FPE_FLTSUB, 0, 0, 5},
        {SIGFPE, SI_USER, 0, 0, 33},
        {SIGILL, ILL_ILLOPN, 0, 0, 23},
        {SIGILL, SI_USER, 0, 0, 17},
    };
    for (const auto& c : cases)
        EXPECT_EQ(fault_signal_number(c.signal, c.code, c.address, c.sp), c.number)
            << c.signal << " " << std::hex << c.address << " " << c.sp;

    g_runtime_stack = RuntimeStack{};  // before the runtime thread exists there is no guard
    EXPECT_EQ(fault_signal_number(SIGSEGV, SEGV_MAPERR, 0, 0), 32);
    g_runtime_stack = saved;
}

// Runs on the runtime thread: its stack must be the large one, and deep recursion must fit.
__attribute__((noinline)) uintptr_t descend(int depth) {
    volatile char frame[4096];
    frame[0] = char(depth);
    frame[4095] = char(depth);
    if (depth == 0) return reinterpret_cast<uintptr_t>(&frame[0]);
    return descend(depth - 1) + uintptr_t(frame[0] != frame[4095]);
}

void check_runtime_thread() {
    const RuntimeStack& s = g_runtime_stack;
    uintptr_t here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    if (s.high - s.low < RUNTIME_STACK_MIN_BYTES) runtime_quit(3, 0);
    if (s.low - s.guard_low != RUNTIME_STACK_GUARD_BYTES) runtime_quit(4, 0);
    if (here < s.low || here >= s.high) runtime_quit(5, 0);
    if (s.entry_position < s.low || s.entry_position >= s.high) runtime_quit(6, 0);
    // 64 MiB deep: far beyond a default thread stack.
    uintptr_t deepest = descend(16 * 1024);
    if (deepest < s.low || here - deepest < (64u << 20)) runtime_quit(7, 0);
}

TEST(ProgramEntryDeathTest, RunsOnTheLargeStack) {
    static char name[] = "kel";
    static char* argv[] = {name, nullptr};
    EXPECT_EXIT(program_entry(1, argv, check_runtime_thread), testing::ExitedWithCode(0), "^$");
}

void throw_quit_marker() { low_throw(QUIT_MARKER); }
void throw_uncaught() { low_throw(THROW_BREAK); }

TEST(ProgramEntryDeathTest, ThrowsThatReachTheEntry) {
    static char name[] = "kel";
    static char* argv[] = {name, nullptr};
    EXPECT_EXIT(program_entry(1, argv, throw_quit_marker), testing::ExitedWithCode(0), "^$");
    EXPECT_EXIT(program_entry(1, argv, throw_uncaught), testing::ExitedWithCode(95),
                "\\*\\*\\* Runtime Error 95: no CATCH for THROW");
}

// With the console's halt mode on, an interrupt only raises the halt request.
void interrupt_in_halt_mode() {
    g_interrupt_halts = 1;
    raise(SIGINT);
    if (!g_halt_requested) runtime_quit(3, 0);
    g_interrupt_halts = 0;
    g_halt_requested = 0;
    raise(SIGINT);
    runtime_quit(4, 0);  // not reached: the interrupt ends the process
}

void interrupt_plain() { raise(SIGINT); }

TEST(ProgramEntryDeathTest, InterruptEndsOrRequestsHalt) {
    static char name[] = "kel";
    static char* argv[] = {name, nullptr};
    EXPECT_EXIT(program_entry(1, argv, interrupt_plain), testing::ExitedWithCode(130), "^$");
    EXPECT_EXIT(program_entry(1, argv, interrupt_in_halt_mode), testing::ExitedWithCode(130), "^$");
}

} // namespace
