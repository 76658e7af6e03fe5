// Process start-up, runtime initialisation and the low-level ways out of the process.
//
// The entry runs on the process's main thread only long enough to install the signal handlers,
// record the arguments and start the runtime thread; it then waits. The runtime thread has a
// stack of its own: a 1 GiB mapping made with MAP_NORESERVE, so pages are committed only when
// touched, whose lowest megabyte is a guard region with no access. A SIGSEGV whose address (or
// whose stack pointer) lies in that region is reported as a stack overflow. Fault signals are
// handled on an alternate signal stack, because the overflowing stack has no room left for them.
//
// Fault reports are written with write(2) from a buffer formatted by our own code: nothing in the
// signal path allocates or uses stdio. Every way out ends the process from the thread that decides
// it (exit or _exit end all threads), so the entry's thread never resumes.
#include "core/runtime.h"

#include "core/array.h"
#include "core/case-fold.h"
#include "core/context.h"
#include "core/extres.h"
#include "core/gc.h"
#include "core/memory.h"
#include "core/output.h"
#include "core/ownership.h"
#include "core/platform.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/throw.h"
#include "core/words.h"
#include "datatypes/datatype.h"
#include "evaluator/actions.h"
#include "services/clipboard.h"
#include "services/os.h"
#include "evaluator/interpreter.h"
#include "evaluator/lexer.h"
#include "evaluator/natives.h"
#include "evaluator/natives-encoding.h"
#include "evaluator/parse.h"
#include "evaluator/random.h"
#include "services/files.h"
#include "services/http.h"

#include <cerrno>
#include <cfenv>
#include <cstdlib>
#include <cstring>
#include <new>
#include <pthread.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

namespace kel {

// ---- the process record ------------------------------------------------------------------------

struct alignas(16) TrackedBlock {
    TrackedBlock* prev;
    TrackedBlock* next;
    size_t size;  // requested bytes, after the header
};
static_assert(sizeof(TrackedBlock) % 16 == 0, "tracked blocks keep malloc's alignment");

static FaultRecord s_fault_record;
static AllocationList s_allocation_list;
static ProcessRecord s_process_record{0, nullptr, 0, nullptr, nullptr, &s_allocation_list};
ProcessRecord* g_process = &s_process_record;

int g_std_handles[3] = {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO};
bool g_root_collect = false;
RuntimeStack g_runtime_stack{};
volatile sig_atomic_t g_interrupt_halts = 0;
volatile sig_atomic_t g_halt_requested = 0;

// ---- tracked allocation ------------------------------------------------------------------------

__attribute__((noinline)) void* tracked_alloc(size_t bytes) {
    TrackedBlock* block = nullptr;
    if (bytes <= SIZE_MAX - sizeof(TrackedBlock))
        block = static_cast<TrackedBlock*>(malloc(sizeof(TrackedBlock) + bytes));
    if (block == nullptr)
        runtime_quit(RT_OUT_OF_MEMORY, reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
    AllocationList* list = g_process->allocations;
    block->prev = list->last;
    block->next = nullptr;
    block->size = bytes;
    if (list->last) list->last->next = block;
    else list->first = block;
    list->last = block;
    return block + 1;
}

void tracked_free(void* p) {
    if (p == nullptr) return;
    TrackedBlock* block = static_cast<TrackedBlock*>(p) - 1;
    AllocationList* list = g_process->allocations;
    if (block->prev) block->prev->next = block->next;
    else list->first = block->next;
    if (block->next) block->next->prev = block->prev;
    else list->last = block->prev;
    free(block);
}

void quit_cleanup() {
    AllocationList* list = g_process->allocations;
    TrackedBlock* block = list->first;
    while (block) {
        TrackedBlock* next = block->next;
        free(block);
        block = next;
    }
    list->first = nullptr;
    list->last = nullptr;
}

// ---- runtime error reports ---------------------------------------------------------------------

static const char* const k_runtime_error_texts[] = {
    nullptr,
    "access violation", "invalid alignment", "breakpoint", "single step", "bounds exceeded",
    "float denormal operan", "float divide by zero", "float inexact result",
    "float invalid operation", "float overflow", "float stack check", "float underflow",
    "integer divide by zero", "integer overflow", "privileged instruction",
    "invalid virtual address", "illegal instruction", "non-continuable exception",
    "stack error or overflow", "invalid disposition", "guard page", "invalid handle",
    "illegal operand", "illegal addressing mode", "illegal trap", "coprocessor error",
    "non-existent physical address", "object specific hardware error",
    "hardware memory error consumed AR", "hardware memory error consumed AO",
    "privileged register", "segmentation fault", "FPU error", "Bus error",
};

const char* runtime_error_text(int number) {
    constexpr int table_size = int(sizeof(k_runtime_error_texts) / sizeof(k_runtime_error_texts[0]));
    if (number > 0 && number < table_size) return k_runtime_error_texts[number];
    switch (number) {
    case RT_OUT_OF_MEMORY: return "out of memory";
    case RT_NO_CATCH: return "no CATCH for THROW";
    case RT_ASSERTION: return "assertion failed";
    case RT_UNKNOWN: return "unknown error";
    case RT_NO_CASE: return "no value matched in CASE";
    case RT_NO_SWITCH: return "no value matched in SWITCH";
    default: return "unknown error code!";
    }
}

namespace {

// A bounded writer into a caller's buffer; everything here is async-signal-safe.
struct ReportWriter {
    char* out;
    size_t room;
    size_t len = 0;

    void put(char c) {
        if (room > 0 && len + 1 < room) out[len++] = c;
    }
    void text(const char* s) {
        while (*s) put(*s++);
    }
    void decimal(int value) {
        char digits[16];
        int n = 0;
        unsigned magnitude = value < 0 ? 0u - unsigned(value) : unsigned(value);
        do {
            digits[n++] = char('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude);
        if (value < 0) put('-');
        while (n) put(digits[--n]);
    }
    void hex(uintptr_t value, int min_digits) {
        char digits[2 * sizeof(uintptr_t)];
        int n = 0;
        do {
            digits[n++] = "0123456789ABCDEF"[value & 0xF];
            value >>= 4;
        } while (value);
        for (int i = n; i < min_digits; i++) put('0');
        while (n) put(digits[--n]);
    }
};

void write_all(int fd, const char* text, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, text, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        text += n;
        len -= size_t(n);
    }
}

} // namespace

size_t format_runtime_report(char* out, size_t room, int number, uintptr_t address) {
    ReportWriter w{out, room};
    w.text("*** Runtime Error ");
    w.decimal(number);
    w.text(": ");
    w.text(runtime_error_text(number));
    w.text("\n*** at: ");
    w.hex(address, 8);
    w.text("h\n");
    if (room > 0) out[w.len] = '\0';
    return w.len;
}

[[noreturn]] void runtime_quit(int status, uintptr_t address) {
    if (status != 0) {
        char report[160];
        size_t len = format_runtime_report(report, sizeof report, status, address);
        write_all(STDERR_FILENO, report, len);
    }
    quit_cleanup();
    exit(status);
}

[[noreturn]] void top_catch() {
    if (g_process->thrown_code == QUIT_MARKER) runtime_quit(0, 0);
    runtime_quit(RT_NO_CATCH, reinterpret_cast<uintptr_t>(&top_catch));
}

// ---- signals -----------------------------------------------------------------------------------

int fault_signal_number(int signal, int code, uintptr_t fault_address, uintptr_t stack_pointer) {
    switch (signal) {
    case SIGSEGV: {
        const RuntimeStack& s = g_runtime_stack;
        auto in_guard = [&](uintptr_t a) { return a >= s.guard_low && a < s.low; };
        if (s.low != 0 && (in_guard(fault_address) || in_guard(stack_pointer)))
            return RT_STACK_OVERFLOW;
        return RT_SEGMENTATION_FAULT;
    }
    case SIGBUS:
        return RT_BUS_ERROR;
    case SIGFPE:
        switch (code) {
        case FPE_INTDIV: return RT_INT_DIVIDE_BY_ZERO;
        case FPE_INTOVF: return RT_INT_OVERFLOW;
        case FPE_FLTDIV: return RT_FLOAT_DIVIDE_BY_ZERO;
        case FPE_FLTOVF: return RT_FLOAT_OVERFLOW;
        case FPE_FLTUND: return RT_FLOAT_UNDERFLOW;
        case FPE_FLTRES: return RT_FLOAT_INEXACT;
        case FPE_FLTINV: return RT_FLOAT_INVALID;
        case FPE_FLTSUB: return 5;  // "bounds exceeded"
        default: return RT_FPU_ERROR;
        }
    case SIGILL:
        switch (code) {
        case ILL_PRVOPC: return RT_PRIVILEGED_INSTRUCTION;
        case ILL_ILLOPN: return RT_ILLEGAL_OPERAND;
        case ILL_ILLADR: return RT_ILLEGAL_ADDRESSING;
        case ILL_ILLTRP: return RT_ILLEGAL_TRAP;
        case ILL_COPROC: return RT_COPROCESSOR;
        case ILL_PRVREG: return RT_PRIVILEGED_REGISTER;
        default: return RT_ILLEGAL_INSTRUCTION;
        }
    default:
        return RT_UNKNOWN;
    }
}

static void fault_handler(int signal, siginfo_t* info, void* context) {
    uintptr_t pc = 0, sp = 0, fp = 0;
#if defined(__x86_64__)
    const ucontext_t* uc = static_cast<const ucontext_t*>(context);
    pc = uintptr_t(uc->uc_mcontext.gregs[REG_RIP]);
    sp = uintptr_t(uc->uc_mcontext.gregs[REG_RSP]);
    fp = uintptr_t(uc->uc_mcontext.gregs[REG_RBP]);
#elif defined(__aarch64__)
    const ucontext_t* uc = static_cast<const ucontext_t*>(context);
    pc = uintptr_t(uc->uc_mcontext.pc);
    sp = uintptr_t(uc->uc_mcontext.sp);
    fp = uintptr_t(uc->uc_mcontext.regs[29]);
#else
    (void)context;
#endif
    s_fault_record.stack_pointer = sp;
    s_fault_record.frame_pointer = fp;
    g_process->fault = &s_fault_record;
    int number = fault_signal_number(signal, info->si_code,
                                     reinterpret_cast<uintptr_t>(info->si_addr), sp);
    char report[160];
    size_t len = format_runtime_report(report, sizeof report, number, pc);
    write_all(STDERR_FILENO, report, len);
    _exit(number);
}

static void interrupt_handler(int) {
    if (g_interrupt_halts) {
        g_halt_requested = 1;
        return;
    }
    _exit(130);
}

static void install_signal_handlers() {
    struct sigaction sa {};
    sa.sa_sigaction = fault_handler;
    // A fault inside the handler itself then ends the process by the default action.
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&sa.sa_mask);
    for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) sigaction(s, &sa, nullptr);

    struct sigaction si {};
    si.sa_handler = interrupt_handler;
    si.sa_flags = 0;  // no restart: a blocking call sees EINTR and the halt flag can be checked
    sigemptyset(&si.sa_mask);
    sigaction(SIGINT, &si, nullptr);
}

// The alternate stack on which the calling thread handles fault signals.
static void install_alternate_signal_stack() {
    constexpr size_t bytes = 256 * 1024;
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return;  // faults are still reported, but not a stack overflow
    stack_t ss{};
    ss.ss_sp = p;
    ss.ss_size = bytes;
    ss.ss_flags = 0;
    sigaltstack(&ss, nullptr);
}

// Round to nearest, every floating-point exception masked, no pending exception flags.
static void floating_point_init() {
    fesetenv(FE_DFL_ENV);
    fesetround(FE_TONEAREST);
    fedisableexcept(FE_ALL_EXCEPT);
    feclearexcept(FE_ALL_EXCEPT);
}

// ---- entry -------------------------------------------------------------------------------------

void argv_init(int argc, char** argv) {
    // The arguments arrive as UTF-8 already; the vector the system gives is null-terminated.
    g_process->arg_count = argc;
    g_process->arg_vector = argv;
}

void process_init(int argc, char** argv) {
    install_signal_handlers();
    g_std_handles[0] = STDIN_FILENO;
    g_std_handles[1] = STDOUT_FILENO;
    g_std_handles[2] = STDERR_FILENO;
    argv_init(argc, argv);
}

namespace {

struct ThreadStart {
    void (*top_level)();
};

void* runtime_thread_main(void* arg) {
    void (*top_level)() = static_cast<ThreadStart*>(arg)->top_level;
    install_alternate_signal_stack();
    floating_point_init();
    try {
        g_runtime_stack.entry_position = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
        runtime_init();
        if (top_level) top_level();
    } catch (KelThrow& t) {
        g_process->thrown_code = t.code;
        top_catch();
    } catch (std::bad_alloc&) {
        runtime_quit(RT_OUT_OF_MEMORY, reinterpret_cast<uintptr_t>(&top_catch));
    } catch (...) {
        runtime_quit(RT_UNKNOWN, reinterpret_cast<uintptr_t>(&top_catch));
    }
    runtime_quit(0, 0);
}

// Maps the runtime thread's stack: guard region at the low end, then `bytes` of usable stack.
void* map_runtime_stack(size_t bytes) {
    size_t total = bytes + RUNTIME_STACK_GUARD_BYTES;
    void* p = mmap(nullptr, total, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    if (mprotect(p, RUNTIME_STACK_GUARD_BYTES, PROT_NONE) != 0) {
        munmap(p, total);
        return nullptr;
    }
    uintptr_t base = reinterpret_cast<uintptr_t>(p);
    g_runtime_stack.guard_low = base;
    g_runtime_stack.low = base + RUNTIME_STACK_GUARD_BYTES;
    g_runtime_stack.high = base + total;
    return reinterpret_cast<void*>(g_runtime_stack.low);
}

} // namespace

[[noreturn]] void program_entry(int argc, char** argv, void (*top_level)()) {
    floating_point_init();
    s_allocation_list.first = s_allocation_list.last = nullptr;
    g_process = &s_process_record;
    g_process->allocations = &s_allocation_list;
    process_init(argc, argv);

    static ThreadStart start;
    start.top_level = top_level;
    pthread_t thread;
    bool started = false;
    for (size_t bytes : {RUNTIME_STACK_BYTES, RUNTIME_STACK_MIN_BYTES}) {
        void* stack = map_runtime_stack(bytes);
        if (!stack) continue;
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        int rc = pthread_attr_setstack(&attr, stack, bytes);
        if (rc == 0) rc = pthread_create(&thread, &attr, runtime_thread_main, &start);
        pthread_attr_destroy(&attr);
        if (rc == 0) {
            started = true;
            break;
        }
        munmap(reinterpret_cast<void*>(g_runtime_stack.guard_low),
               g_runtime_stack.high - g_runtime_stack.guard_low);
        g_runtime_stack = RuntimeStack{};
    }
    if (!started) runtime_quit(RT_OUT_OF_MEMORY, reinterpret_cast<uintptr_t>(&program_entry));

    // Interrupts go to the runtime thread, where they can cut a blocking call short.
    sigset_t interrupts;
    sigemptyset(&interrupts);
    sigaddset(&interrupts, SIGINT);
    pthread_sigmask(SIG_BLOCK, &interrupts, nullptr);

    pthread_join(thread, nullptr);
    runtime_quit(0, 0);  // not reached: the runtime thread ends the process
}

// ---- runtime_init ------------------------------------------------------------------------------
//
// Each step below is one subsystem's start-up. A step whose subsystem is not there yet is an
// empty function named after it, so that the order stays visible and each is filled in place.

static void platform_image_init() {}    // filled when the image layer exists
static void image_codec_init() {}       // filled when the image codecs exist
static void checksum_init() { checksum_methods_init(); }
static void compress_init() {}          // filled when compression exists
static void call_init() {}              // filled when the process launcher exists
static void kelbin_boot() {}            // filled when the boot image exists

void runtime_init() {
    g_root_collect = true;
    hooks_init();
    platform_init();
    random_init();
    memory_init();
    extres_init();
    datatype_table_init();
    datatypes_init();
    platform_image_init();
    image_codec_init();
    init_actions();
    memory_frames_init();
    root_blocks_init();
    global_context_init();
    case_folding_init();
    symbols_init();
    register_type_names();
    words_init();
    natives_init();
    parse_init();
    ownership_init();
    checksum_init();
    compress_init();
    call_init();
    files_init();
    http_init();
    stack_init(symbol_make("<body>"), symbol_make("<anon>"));
    lexer_init();
    kelbin_boot();
    interpreter_init();
    os_info_init();
    clipboard_init();
    slot_list_init(g_root_block);
    collector_init();
}

} // namespace kel
