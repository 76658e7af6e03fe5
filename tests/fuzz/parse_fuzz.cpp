// Fuzz target: rule blocks built from the input bytes (keywords, literals, bitsets, counts, a
// self-referring sub-rule, set-words and get-words, the editing keywords, collect and keep) run
// over strings of 1-, 2- and 4-byte units, binaries and blocks. A trace callback with an event
// budget and a cap on the input's length ends rules that would loop forever or grow the input
// without bound; runs without one leave out the tokens that could. Each run must give a logic!,
// a block! or an error (caught by `try`), never a crash, a hang or a sanitizer report, and must
// leave both PARSE stacks empty; the collector runs every 16 runs.
#include "core/console.h"
#include "core/context.h"
#include "core/errors.h"
#include "core/gc.h"
#include "core/roots.h"
#include "core/runtime.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/datatype.h"
#include "datatypes/function.h"
#include "datatypes/series.h"
#include "evaluator/interpreter.h"
#include "evaluator/lexer.h"
#include "evaluator/parse.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

using namespace kel;

namespace {

bool g_ready = false;
uint32_t g_budget = 0;   // trace events left for this run

// The input may not grow past this many units: a change or insert whose value is a mark in the
// input itself doubles it each round, to gigabytes within the event budget.
constexpr uint32_t k_input_limit = 65536;

// The trace callback: true while events are left and the input is still small.
void budget_entry(bool, const int32_t*) {
    static const uint32_t inp = symbol_make("inp");
    const Cell w = *context_global_word(inp);
    const Cell* input = word_get(&w);
    bool more = g_budget > 0 &&
                !(is_series_type(input->type()) && series_length_from_start(input) > k_input_limit);
    if (more) --g_budget;
    *stack_arg(0) = make_logic(more);
}

// fuzz-budget: a routine! of no arguments running budget_entry; the trace callback cb calls it.
void define_callback() {
    Rooted spec(make_unset());
    const char* words = "";
    LexerCall call;
    lexer_scan(spec.get(), reinterpret_cast<const uint8_t*>(words), uint32_t(std::strlen(words)), call);
    Cell* top = g_stack.top;
    Rooted routine(*routine_make(spec.get(), nullptr, routine_register("fuzz-budget", budget_entry), -1));
    g_stack.top = top;
    Cell w = *context_global_word(symbol_make("fuzz-budget"));
    word_set(&w, routine.get());
}

// The rule tokens, one per byte value modulo the table size. `r` is the rule block itself,
// `inp` the input, `w` and `m` marks, `t` a block target, `bs`/`nbs`/`big` bitsets (`big` only
// after a keyword: its formed text is large). No paren gives the input itself as its value
// (`append` and a path through the input could): changing the input with itself in a loop
// doubles it each round.
const char* const k_tokens[] = {
    "any", "some", "opt", "while", "to", "thru", "skip", "end", "none", "fail", "break", "reject",
    "ahead", "not", "into", "quote", "if (true)", "if (false)", "case yes", "case no", "set w",
    "copy w", "remove", "insert", "change", "collect", "keep", "keep pick", "collect set w",
    "collect into t", "collect after t", "|", "[", "]", "[", "]", "\"a\"", "\"ab\"", "#\"a\"",
    "#\"A\"", "#\"é\"", "#\"É\"", "#\"^(1F600)\"", "\"中\"", "#{61}", "#{}", "\"\"", "1", "2",
    "0 2", "bs", "nbs", "some big", "thru big", "r", "w:", ":w", "m:", ":m", "remove m",
    "change m \"x\"", "insert \"xé\"", "insert only [1]", "insert #\"^(1F600)\"", "(clear inp)",
    "(append inp 1 none)", "(w: none)", "integer!", "word!", "string!", "char!", "'a", "'b",
    "a", "b", "keep (1)", "keep pick ([1 2])", "change only skip [z]", "<a>", "(parse/trace inp [some [skip r]] :cb)",
    "(try [parse inp [some]])", "1.5", "[a]", "b",
};
constexpr size_t k_token_count = sizeof(k_tokens) / sizeof(k_tokens[0]);

// Input literals by kind: Latin-1, 2-byte and 4-byte strings, binaries, blocks.
const char* const k_units[][4] = {
    {"a", "b", "A", "é"},
    {"a", "中", "É", "b"},
    {"a", "^(1F600)", "中", "É"},
    {"61", "62", "00", "FF"},
    {"a ", "b ", "\"ab\" ", "[a b] "},
};

// Runs without a trace callback have no event budget to end them, so they leave out the tokens
// with which a rule may run forever (those that grow the input or move back in it) or search
// without bound (the self-referring rule, and every to or thru after the first: nested searches
// try positions to the power of their depth).
bool unbounded(const char* tok, int& searches) {
    static const char* const prefixes[] = {"while", "insert", "change", ":", "(append"};
    for (const char* p : prefixes)
        if (std::strncmp(tok, p, std::strlen(p)) == 0) return true;
    if (std::strcmp(tok, "r") == 0) return true;
    if (std::strncmp(tok, "to", 2) == 0 || std::strncmp(tok, "thru", 4) == 0) return ++searches > 1;
    return false;
}

std::string build_source(const uint8_t* data, size_t size) {
    if (size < 2) return {};
    uint32_t kind = data[0] % 5;
    // one run in two without a trace: the engine takes its frameless paths only then
    bool traced = (data[0] / 40) % 2 == 0;
    size_t input_len = data[1] % 12;
    std::string input;
    const uint8_t* p = data + 2;
    const uint8_t* e = data + size;
    for (size_t i = 0; i < input_len && p < e; ++i, ++p) input += k_units[kind][*p % 4];
    std::string literal;
    if (kind < 3) literal = "copy \"" + input + "\"";
    else if (kind == 3) literal = "copy #{" + input + "}";
    else literal = "copy [" + input + "]";
    std::string rules;
    int depth = 0, searches = 0;
    for (size_t n = 0; p < e && n < 32; ++p, ++n) {
        const char* tok = k_tokens[*p % k_token_count];
        if (!traced && unbounded(tok, searches)) continue;
        if (tok[0] == '[' && tok[1] == 0) ++depth;
        if (tok[0] == ']' && tok[1] == 0) {
            if (depth == 0) continue;
            --depth;
        }
        rules += tok;
        rules += ' ';
    }
    while (depth-- > 0) rules += "] ";
    bool part = (data[0] / 5) % 4 == 0;
    bool sensitive = (data[0] / 20) % 2 == 1;
    std::string call = std::string("parse") + (sensitive ? "/case" : "") + (part ? "/part" : "") +
                       (traced ? "/trace" : "") + " inp r" + (part ? " 2" : "") + (traced ? " :cb" : "");
    return "w: m: none t: copy [] inp: " + literal + " r: [" + rules + "] "
           "try [" + call + "]";
}

// Evaluates the text inside a try frame; the stacks are restored afterwards.
void run(const std::string& text) {
    Cell* top = g_stack.top;
    Cell* args = g_stack.arguments;
    const Cell word{T_WORD, 0, 0, 0};
    stack_try(&word, false, [&] {
        Rooted block(make_unset());
        LexerCall call;
        lexer_scan(block.get(), reinterpret_cast<const uint8_t*>(text.data()), uint32_t(text.size()), call);
        eval(block.get(), false);
        TypeId t = stack_top()->type();
        if (t != T_LOGIC && t != T_BLOCK && t != T_ERROR) __builtin_trap();
    });
    g_stack.top = top;
    g_stack.arguments = args;
    // every call left both stacks as it found them
    if (parse_stack_cells(0) != 0 || parse_stack_cells(1) != 0) __builtin_trap();
}

} // namespace

// The runtime lives for the whole process: what it holds at exit is not a leak.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!g_ready) {
        runtime_init();
        environment_init();
        g_root_collect = false;
        run("bs: make bitset! [#\"a\" - #\"z\"] nbs: complement copy bs "
            "big: make bitset! [#\"^(1F600)\" #\"中\"] a: \"a\" b: [skip] true");
        define_callback();
        run("cb: func [e h r i s] [fuzz-budget] true");
        g_ready = true;
    }
    if (size > 4096) return 0;
    std::string source = build_source(data, size);
    if (source.empty()) return 0;
    g_budget = 150;
    run(source);
    static uint32_t runs = 0;
    if (++runs % 16 == 0) collector_cycle();
    return 0;
}
