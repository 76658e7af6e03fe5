// Making the runtime's fixed names (core/words-list.inc) in list order, and keeping their cells.
//
// The list is walked once by words_init with one macro per kind. Symbols are interned; words are
// loaded into the global context (caseless, as words named by the runtime are); a global word of
// a symbol is the global context's own word for it; refinements and issues are plain cells. The
// word, refinement and issue cells are appended to the root block (start-up runs under the
// root-collect flag) and also kept here, where a mark callback lets the collector rewrite their
// context node when it renumbers nodes.
#include "core/words.h"

#include "core/context.h"
#include "core/gc.h"
#include "core/runtime.h"
#include "core/series.h"
#include "core/symbol.h"
#include "datatypes/words.h"

namespace kel {

uint32_t g_runtime_symbols[size_t(Sym::Count_)];
Cell g_runtime_words[size_t(W::Count_)];
Cell g_runtime_refinements[size_t(R::Count_)];
Cell g_runtime_issues[size_t(I::Count_)];

namespace {

#define KEL_SYMBOL(name, text) text,
#define KEL_GLOBAL(name, symbol)
#define KEL_WORD(name, text)
#define KEL_REFINEMENT(name, text)
#define KEL_ISSUE(name, text)
#define KEL_STACK_SYMBOL()
#define KEL_WORD_SYMBOL(name, word) "changed",
const char* const k_symbol_names[] = {
#include "core/words-list.inc"
};
#undef KEL_SYMBOL
#undef KEL_WORD_SYMBOL
#undef KEL_GLOBAL
#undef KEL_WORD
#define KEL_SYMBOL(name, text)
#define KEL_WORD_SYMBOL(name, word)
#define KEL_GLOBAL(name, symbol) k_symbol_names[size_t(Sym::symbol)],
#define KEL_WORD(name, text) text,
const char* const k_word_names[] = {
#include "core/words-list.inc"
};
#undef KEL_SYMBOL
#undef KEL_GLOBAL
#undef KEL_WORD
#undef KEL_REFINEMENT
#undef KEL_ISSUE
#undef KEL_STACK_SYMBOL
#undef KEL_WORD_SYMBOL

void mark_runtime_words() {
    collector_mark_cells(g_runtime_words, g_runtime_words + size_t(W::Count_));
    collector_mark_cells(g_runtime_refinements, g_runtime_refinements + size_t(R::Count_));
    collector_mark_cells(g_runtime_issues, g_runtime_issues + size_t(I::Count_));
}

Cell keep_in_root(const Cell& c) {
    if (g_root_collect) block_append(g_root_block, c);
    return c;
}

} // namespace

const char* runtime_symbol_name(Sym s) { return k_symbol_names[size_t(s)]; }
const char* runtime_word_name(W w) { return k_word_names[size_t(w)]; }

void words_init() {
#define KEL_SYMBOL(name, text) g_runtime_symbols[size_t(Sym::name)] = symbol_make(text);
#define KEL_GLOBAL(name, symbol) \
    g_runtime_words[size_t(W::name)] = *context_global_word(sym(Sym::symbol));
#define KEL_WORD(name, text) g_runtime_words[size_t(W::name)] = *word_load(text);
#define KEL_REFINEMENT(name, text) g_runtime_refinements[size_t(R::name)] = keep_in_root(refinement_make(symbol_make(text)));
#define KEL_ISSUE(name, text) g_runtime_issues[size_t(I::name)] = keep_in_root(issue_make(symbol_make(text)));
#define KEL_STACK_SYMBOL() symbol_make("stack");
#define KEL_WORD_SYMBOL(name, word) g_runtime_symbols[size_t(Sym::name)] = g_runtime_words[size_t(W::word)].data2;
#include "core/words-list.inc"
#undef KEL_SYMBOL
#undef KEL_GLOBAL
#undef KEL_WORD
#undef KEL_REFINEMENT
#undef KEL_ISSUE
#undef KEL_STACK_SYMBOL
#undef KEL_WORD_SYMBOL
    collector_unregister(mark_runtime_words);   // a runtime brought up again registers once
    collector_register(mark_runtime_words);
}

} // namespace kel
