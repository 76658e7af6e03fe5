// Fuzz target: the interpreter with the natives, actions and operators on values of every type.
// The input bytes pick three starting values for the variables a, b and c and then a short program
// from a token table: literals of every datatype, words and paths of those variables, natives and
// actions with their refinements, operators, control words and loops, function makers. Each run is
// evaluated inside try/all: any value or language error is accepted; a crash, a sanitizer report,
// a hang, a non-local exit escaping the try, or a data or call stack left unbalanced is a fault.
// The collector runs every 16 runs.
//
// Bounds: half the runs go through do/trace with a callback whose event budget, once spent, raises
// an error at every further event, so no evaluation outlives it. The other half runs untraced (the
// interpreter's frameless fast paths) and leaves out the tokens that can loop without bound: loops
// there have small literal counts or literal series, and only a few of the actions that can double
// a series (nested, they grow it within one expression, where nothing stops them). Recursion that
// catches its own errors can still take exponential time, so every run also has a watchdog: after
// a few seconds of CPU time it requests the halt that Ctrl-C requests at the console. Both also stop a run whose memory passes
// an allowance (a series that doubles itself in a loop). A halted run is accepted (its stacks are
// not checked); a run that does not stop at the halt is a hang the fuzzer reports.
//
// Nothing reaches the operating system: the words that would (ports, files, processes, waits,
// the environment's setter) are unset at start-up, checksum is limited to strings and binaries
// (it reads files itself), and printed output goes to /dev/null.
#include "core/console.h"
#include "core/context.h"
#include "core/errors.h"
#include "core/gc.h"
#include "core/memory.h"
#include "core/output.h"
#include "core/roots.h"
#include "core/runtime.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/datatype.h"
#include "datatypes/function.h"
#include "evaluator/interpreter.h"
#include "evaluator/lexer.h"

#include <fcntl.h>
#include <pthread.h>
#include <sanitizer/common_interface_defs.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

using namespace kel;

namespace {

uint32_t g_budget = 0;   // trace events left for this run

// Memory the runtime may take beyond what it held after start-up before a run is stopped: a
// series that doubles or quadruples itself in a loop reaches gigabytes within the event budget,
// and sorting or molding it takes minutes. Legitimate, but not what is looked for here. The
// allowance is looked at between calls, and one call can take many times it (forming a block
// that holds itself a thousand times, changing a string with it): it is kept small.
constexpr int64_t k_memory_allowance = int64_t(16) << 20;
int64_t g_memory_limit = INT64_MAX;

bool over_memory() { return g_memory.total > g_memory_limit; }

// fuzz-budget: the trace callback calls it at every event; once the budget is spent (or the
// memory allowance) it raises an error, so a `try` in the program stops it only until the next
// event outside that try.
void budget_entry(bool, const int32_t*) {
    if (g_budget == 0 || over_memory()) fire_error(Err::StackOverflow);
    --g_budget;
    *stack_arg(0) = make_none();
}

void define_callback() {
    Rooted spec(make_unset());
    LexerCall call;
    lexer_scan(spec.get(), reinterpret_cast<const uint8_t*>(""), 0, call);
    Cell* top = g_stack.top;
    Rooted routine(*routine_make(spec.get(), nullptr, routine_register("fuzz-budget", budget_entry), -1));
    g_stack.top = top;
    Cell w = *context_global_word(symbol_make("fuzz-budget"));
    word_set(&w, routine.get());
}

// The watchdog ticks every 10 ms of CPU time and requests a halt once a run has had 4 s of it or
// the runtime holds more than its memory allowance: untraced runs have no event budget.
constexpr int k_watchdog_ticks = 400;
volatile sig_atomic_t g_ticks = 0;

void on_watchdog(int) {
    g_ticks = g_ticks + 1;
    if (g_ticks > k_watchdog_ticks || over_memory()) g_halt_requested = 1;
}

void watchdog(bool on) {
    g_ticks = 0;
    itimerval t{};
    if (on) t.it_value.tv_usec = t.it_interval.tv_usec = 10000;
    setitimer(ITIMER_VIRTUAL, &t, nullptr);
}

// Values: the starting values of a, b and c are taken from the first k_value_count tokens.
// Integers at the edges, floats at the edges, strings of 1-, 2- and 4-byte units, and a value of
// every other datatype.
const char* const k_tokens[] = {
    // ---- values (the first k_value_count entries)
    "0", "1", "-1", "2", "3", "7", "2147483647", "-2147483648", "1.5", "-0.0", "1e308", "-1e308",
    "0.1", "1.#INF", "1.#NaN", "\"\"", "\"a\"", "\"abc\"", "\"é\"", "\"中文\"", "\"^(1F600)x\"",
    "\"a^/b\"", "\"A b C \"", "#{}", "#{00}", "#{DEADBEEF}", "#{FF00FF01}", "[]", "[1 2 3]",
    "[a b c]", "[x: 1 y: \"s\"]", "[\"b\" \"a\" \"c\"]", "[1 [2 [3]] (4)]", "[3 1 2 1]",
    "quote (1 + 2)", "quote ()", "quote a/b/1", "quote :a/1", "quote a/1:", "quote 'a/b",
    "#\"a\"", "#\"^@\"", "#\"é\"", "#\"^(1F600)\"", "#\"Z\"", "1x2", "0x0", "-1x-1",
    "2147483647x2147483647", "3x3", "1.2.3", "255.255.255.255", "0.0.0", "1.2.3.4.5.6.7.8.9.10.11.12",
    "$1", "-$0.75", "USD$1234.00", "$99999999999999999.99999", "10%", "-0.5%", "100%",
    "15-Jan-2020", "31-Dec-9999", "1-Jan-0001", "2020-01-15T10:30:00+05:30", "10:30", "0:00",
    "-1:00:00", "23:59:59.999", "(1, 2)", "(1.5, -2, 3)", "'a", "'x", "quote b", "quote c:",
    "quote :a", "/only", "/a", "#abc", "#1", "<a>", "<b c=\"d\">", "%a.txt", "%\"\"", "%dir/",
    "http://x.y/z?q=1", "ftp://a", "a@b.c", "@ref", "make bitset! [#\"a\" - #\"z\"]",
    "make bitset! 8", "make bitset! #{F0}", "complement make bitset! \"ab\"", "#[a 1 b 2]", "#[]",
    "make map! [\"k\" [1] 2 3]", "make hash! [a 1 b 2 a]", "make hash! []",
    "make vector! [1 2 3]", "make vector! [float! 64 [1.5 -2.0]]", "make vector! [char! 8 [#\"a\"]]",
    "make vector! [integer! 16 2 [5]]", "make vector! [percent! 32 2]", "make image! 2x2",
    "make image! [2x1 #{FF000000FF00} #{0080}]", "make image! 0x0", "make object! [x: 1 y: \"s\"]",
    "make object! [x: 1 f: does [x]]", "make error! \"boom\"", "try [1 / 0]",
    "make error! [type: 'math id: 'zero-divide]", "number!", "series!", "any-type!",
    "any-word!", "scalar!", "integer!", "string!", "block!", "word!", "float!", "char!", "pair!",
    "tuple!", "map!", "object!", "binary!", "bitset!", "date!", "time!", "money!", "percent!",
    "issue!", "tag!", "file!", "url!", "email!", "image!", "vector!", "hash!", "paren!", "path!",
    "set-word!", "lit-word!", "get-word!", "refinement!", "logic!", "none!", "unset!", "error!",
    "typeset!", "datatype!", "function!", "native!", "action!", "op!", "point2D!", "point3D!",
    "handle!", "ref!", "triple!", "event!", "none", "true", "false", ":append", ":f",
    // ---- variables
    "a", "b", "c", "x", "y", "a:", "b:", "c:", "x:", ":a", ":b", ":c", "a/1", "b/2", "c/x",
    "a/(1)", "a/1:", "c/2:", "b/x:", "f", "g", "f/r",
    // ---- nesting
    "[", "]", "(", ")", "[", "]", "(", ")", "]",
    // ---- series actions
    "append", "append/only", "append/dup", "append/part", "append/dup a b 3", "copy",
    "copy/part", "copy/deep", "find", "find/last", "find/case", "find/skip", "find/part",
    "find/tail", "find/match", "find/any", "find/reverse", "find/only", "insert", "insert/dup",
    "insert/part", "insert/only", "insert/dup a b 2", "change", "change/part", "change/dup",
    "change/only", "remove", "remove/part", "remove/key", "take", "take/last", "take/part",
    "take/deep", "sort", "sort/skip", "sort/compare", "sort/reverse", "sort/part", "sort/all",
    "sort/case", "reverse", "reverse/part", "skip", "at", "pick", "poke", "select", "select/skip",
    "put", "clear", "trim", "trim/head", "trim/tail", "trim/auto", "trim/lines", "trim/all",
    "trim/with", "head", "tail", "next", "back", "head?", "tail?", "index?", "length?", "move",
    "move/part", "swap", "modify", "reflect", "'words", "'values", "'body", "'spec",
    // ---- conversion and text
    "mold", "mold/only", "mold/flat", "mold/all", "mold/part", "form", "form/part", "to", "make",
    "as", "reduce", "reduce/into", "compose", "compose/deep", "compose/only", "compose/into",
    "unique", "union", "intersect", "difference", "exclude", "union/skip", "unique/case",
    "checksum", "'md5", "'sha1", "'crc32", "'adler32", "'sha256", "'tcp", "'hash", "checksum/with",
    "enbase", "enbase/base", "debase", "debase/base", "16", "64", "58", "compress",
    "decompress", "'zlib", "'deflate", "'gzip", "decompress/size", "enhex", "dehex", "uppercase",
    "lowercase", "uppercase/part", "to-hex", "to-hex/size", "transcode", "transcode/next",
    "transcode/part", "transcode/one", "transcode/into", "new-line", "new-line/all",
    "new-line/skip", "new-line?", "construct", "construct/with", "extend", "to-local-file",
    "as-pair", "as-point2D", "as-point3D", "as-money", "'USD", "now", "now/date", "stats",
    "recycle",
    // ---- math and comparison
    "min", "max", "+", "-", "*", "/", "//", "**", "=", "<>", "==", "=?", "<", ">", "<=", ">=",
    "<<", ">>", ">>>", "and", "or", "xor", "modulo", "shift", "shift/left", "shift/logical",
    "shift-left", "power", "round", "round/to", "round/even", "round/down", "round/floor",
    "round/ceiling", "round/half-down", "random", "random/seed", "random/only", "absolute",
    "negate", "complement", "add", "subtract", "multiply", "divide", "remainder", "and~", "or~",
    "xor~", "even?", "odd?", "zero?", "sign?", "negative?", "positive?", "NaN?", "square-root",
    "log-10", "exp", "sine", "arctangent2", "same?", "strict-equal?", "equal?", "lesser?",
    "not", "complement?",
    // ---- words and contexts
    "bind", "in", "get", "get/any", "set", "set/any", "unset", "value?", "type?", "type?/word",
    "context?", "'f", "do", "apply", "apply/all", "'append", "parse", "parse [some skip]",
    "parse [any [to \"b\" skip]]", "parse/case", "[copy x to end]",
    // ---- control
    "if", "either", "unless", "any [", "all [", "switch", "switch/default", "case [",
    "case/all [", "try [", "try/all [", "catch [", "catch/name [", "throw", "throw/name", "'t",
    "break", "break/return", "continue", "return", "exit", "reduce [", "compose [",
    "compose/deep [", "do [", "loop 3 [", "repeat x 3 [", "foreach x [1 \"a\" #\"c\" [b]] [",
    "foreach [x y] [1 2 3] [", "remove-each x copy [1 2 3 4] [", "f: func [x] [",
    "g: does [", "f: function [x /r y] [", "g: has [x] [", "f: func [x [integer! string!] y] [",
    "f: func [x /r] [", "func [x] [", "does [",
    // ---- unbounded: traced runs only (k_unbounded_from onwards)
    "loop", "repeat", "foreach", "forall", "remove-each", "while [", "until [", "forever [",
    "loop a [", "foreach x a [", "forall a [", "remove-each x a [", "repeat x a [", "foreach [x y] b [",
};
constexpr size_t k_token_count = sizeof(k_tokens) / sizeof(k_tokens[0]);

size_t find_token(const char* t) {
    for (size_t i = 0; i < k_token_count; ++i)
        if (std::strcmp(k_tokens[i], t) == 0) return i;
    __builtin_trap();
}
const size_t k_value_count = find_token("a");
const size_t k_unbounded_from = find_token("loop");

// Program tokens are counted from the variables on, round the table to the values: one byte picks
// among the first k_one_byte of them (variables, nesting, the series actions and more), a byte
// at or above k_one_byte takes the next byte too and picks among the rest.
constexpr uint32_t k_one_byte = 0xA0;

size_t program_token(size_t n) { return (n + k_value_count) % k_token_count; }

// The actions whose value can be a multiple of their argument's size (a series appended to
// itself, a string molded with its escapes, hex or base-2 text). Nested as each other's
// arguments they make an expression whose size doubles at every level, and between the calls of
// one expression neither the halt nor the memory allowance is looked at: untraced runs take at
// most k_growing_most of them. Traced runs are stopped at the event after each call.
constexpr int k_growing_most = 5;

bool grows(const char* tok) {
    static const char* const k_growing[] = {"append", "insert", "change/dup", "mold", "enbase", "enhex",
                                            "compose/into"};
    for (const char* g : k_growing)
        if (std::strncmp(tok, g, std::strlen(g)) == 0) return true;
    return false;
}

bool opens(const char* tok) {
    size_t n = std::strlen(tok);
    return n > 0 && (tok[n - 1] == '[' || tok[n - 1] == '(') && (n == 1 || tok[n - 2] == ' ');
}

// The program text: the starting values, then the tokens, with every open bracket closed at the
// end. Traced runs evaluate the tokens through do/trace.
std::string build_source(const uint8_t* data, size_t size, bool& traced) {
    if (size < 4) return {};
    traced = data[0] & 1;
    std::string text = "random/seed 1 x: y: none f: g: does [1]";
    static const char* const vars[] = {" a: ", " b: ", " c: "};
    for (int i = 0; i < 3; ++i) text += std::string(vars[i]) + k_tokens[data[1 + i] % k_value_count];
    text += traced ? " do/trace [" : " do [";
    std::vector<char> open;
    int growing = 0;
    const uint8_t* p = data + 4;
    const uint8_t* e = data + size;
    for (size_t n = 0; p < e && n < 64; ++p, ++n) {
        size_t i = *p;
        if (i >= k_one_byte) {
            if (p + 1 >= e) break;
            i = k_one_byte + ((size_t(*p - k_one_byte) << 8) | p[1]) % (k_token_count - k_one_byte);
            ++p;
        }
        i = program_token(i);
        if (!traced && i >= k_unbounded_from) continue;
        const char* tok = k_tokens[i];
        if (!traced && grows(tok) && ++growing > k_growing_most) continue;
        if (std::strcmp(tok, "]") == 0 || std::strcmp(tok, ")") == 0) {
            if (open.empty()) continue;
            text += open.back() == '[' ? " ]" : " )";
            open.pop_back();
            continue;
        }
        text += ' ';
        text += tok;
        if (opens(tok)) open.push_back(tok[std::strlen(tok) - 1]);
    }
    while (!open.empty()) {
        text += open.back() == '[' ? " ]" : " )";
        open.pop_back();
    }
    text += traced ? " ] :cb" : " ]";
    return text;
}

// A finding may need the programs run before it in the same process (they can redefine words and
// leave garbage for the collector). KEL_EVAL_FUZZ_HISTORY=<prefix>: when the process dies of a
// sanitizer report or an unbalanced stack, the programs since start-up (the last k_history of
// them) are written to <prefix>.<process id>, one a line, oldest first, the failing one last.
constexpr size_t k_history = 4096;
std::vector<std::string>& g_history = *new std::vector<std::string>;
size_t g_history_next = 0;

void write_history() {
    static const char* prefix = std::getenv("KEL_EVAL_FUZZ_HISTORY");
    if (!prefix || g_history.empty()) return;
    std::string path = std::string(prefix) + "." + std::to_string(getpid());
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return;
    size_t n = g_history.size();
    for (size_t i = 0; i < n; ++i) std::fprintf(f, "%s\n", g_history[(g_history_next + i) % n].c_str());
    std::fclose(f);
}

void remember(const std::string& source) {
    if (g_history.size() < k_history) {
        g_history.push_back(source);
        return;
    }
    g_history[g_history_next] = source;
    g_history_next = (g_history_next + 1) % k_history;
}

// Evaluates the text inside try/all. Unless a halt ended it, the call stack must be back where it
// was, and the data stack must hold the result just above its old top; an error raised inside
// is the last pushed value instead, above the cells that were in use where it was raised.
void run(const std::string& text, bool check) {
    Cell* top = g_stack.top;
    Cell* args = g_stack.arguments;
    CallFrame* calls = stack_call_top();
    bool halted = false;
    bool finished = false;
    try {
        const Cell word{T_WORD, 0, g_sym_body, 0};
        finished = stack_try(&word, true, [&] {
            Rooted block(make_unset());
            LexerCall call;
            lexer_scan(block.get(), reinterpret_cast<const uint8_t*>(text.data()), uint32_t(text.size()), call);
            eval(block.get(), false);
        });
    } catch (KelThrow& t) {
        if (t.code != THROW_HALT) throw;
        halted = true;
    }
    g_halt_requested = 0;
    if (check && !halted) {
        bool balanced = stack_call_top() == calls && g_stack.arguments == args &&
                        (finished ? g_stack.top == top + 1
                                  : g_stack.top > top && stack_top()->is(T_ERROR));
        if (!balanced) {
            std::fprintf(stderr, "unbalanced after %s: calls %+ld, arguments %+ld, data top %+ld, last %d\n",
                         finished ? "a value" : "an error", long(stack_call_top() - calls),
                         long(g_stack.arguments - args), long(g_stack.top - top), int(stack_top()->type()));
            write_history();
            __builtin_trap();
        }
    }
    g_stack.top = top;
    g_stack.arguments = args;
    stack_set_call_top(calls);
}

void start() {
    runtime_init();
    environment_init();
    g_root_collect = false;
    int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd >= 0) output_set_fd(null_fd);
    struct sigaction sa {};
    sa.sa_handler = on_watchdog;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGVTALRM, &sa, nullptr);
    define_callback();
    g_memory_limit = g_memory.total + k_memory_allowance;
    run("unset [call browse wait set-env size? read write open create delete rename update query "
        "close open?] "
        "fuzz-natives: make object! [checksum: :checksum] "
        "checksum: func [data [binary! string!] method [word!] /with spec [any-string! binary! integer!]] "
        "[either with [fuzz-natives/checksum/with data method spec] [fuzz-natives/checksum data method]] "
        "cb: func [event code offset value ref frame] [fuzz-budget] true",
        false);
}

// One input: the program is built, evaluated and checked; the collector runs every 16 inputs.
void test_one(const uint8_t* data, size_t size) {
    static bool ready = false;
    if (!ready) {
        start();
        ready = true;
    }
    bool traced = false;
    std::string source = build_source(data, size, traced);
    if (source.empty()) return;
    // KEL_EVAL_FUZZ_SHOW=1 writes each program to stderr (to turn a finding into a transcript)
    static const bool show = std::getenv("KEL_EVAL_FUZZ_SHOW") != nullptr;
    if (show) std::fprintf(stderr, "%s\n", source.c_str());
    remember(source);
    // garbage left by earlier runs counts against the allowance until it is collected
    if (g_memory.total > g_memory_limit - k_memory_allowance / 2) collector_cycle();
    g_budget = 2000;
    watchdog(true);
    run(source, true);
    watchdog(false);
    static uint32_t runs = 0;
    if (++runs % 16 == 0) collector_cycle();
}

// The runtime runs on a thread of its own with a stack as large as the executable gives it (the
// main thread's few megabytes would overflow in natives that recurse as deep as the data stack
// lets them): the fuzzer's thread hands it each input and waits.
struct Worker {
    std::mutex mutex;
    std::condition_variable cv;
    const uint8_t* data = nullptr;
    size_t size = 0;
    bool pending = false;
};
Worker& g_worker = *new Worker;   // never destroyed: the worker waits on it until the process ends

void* worker_main(void*) {
    for (;;) {
        std::unique_lock<std::mutex> lock(g_worker.mutex);
        g_worker.cv.wait(lock, [] { return g_worker.pending; });
        test_one(g_worker.data, g_worker.size);
        g_worker.pending = false;
        g_worker.cv.notify_all();
    }
}

void start_worker() {
    size_t total = RUNTIME_STACK_BYTES + RUNTIME_STACK_GUARD_BYTES;
    void* p = mmap(nullptr, total, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
    if (p == MAP_FAILED || mprotect(p, RUNTIME_STACK_GUARD_BYTES, PROT_NONE) != 0) __builtin_trap();
    uintptr_t base = reinterpret_cast<uintptr_t>(p);
    g_runtime_stack.guard_low = base;
    g_runtime_stack.low = base + RUNTIME_STACK_GUARD_BYTES;
    g_runtime_stack.high = base + total;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_t thread;
    if (pthread_attr_setstack(&attr, reinterpret_cast<void*>(g_runtime_stack.low), RUNTIME_STACK_BYTES) != 0 ||
        pthread_create(&thread, &attr, worker_main, nullptr) != 0)
        __builtin_trap();
    pthread_attr_destroy(&attr);
}

} // namespace

// The runtime lives for the whole process: what it holds at exit is not a leak.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool started = false;
    if (!started) {
        __sanitizer_set_death_callback(write_history);
        start_worker();
        started = true;
    }
    if (size > 4096) return 0;
    std::unique_lock<std::mutex> lock(g_worker.mutex);
    g_worker.data = data;
    g_worker.size = size;
    g_worker.pending = true;
    g_worker.cv.notify_all();
    g_worker.cv.wait(lock, [] { return !g_worker.pending; });
    return 0;
}
