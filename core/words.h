// The runtime's fixed names: the symbols, words, refinements and issue that native code compares
// with or hands out (interpreter and lexer traces, PARSE keywords, ownership notifications, event
// and accessor fields, error categories, frame marks).
//
// core/words-list.inc is the one list of these names, each with its kind, in the order they are
// made. words_init makes every one once, during start-up (after the symbol table and the datatype
// names, before the natives); each is then read through its own global:
//   sym(Sym::Spec)                  the symbol id of `spec`
//   runtime_word(W::Appended)       the word! `appended`, bound to the global context
//   runtime_refinement(R::Local)    the refinement /local, unbound
//   runtime_issue(I::Ooo)           the issue #ooo
// Word, refinement and issue cells are also kept in the root block, and the collector rewrites the
// copies held here (a mark callback), so the cells stay valid for the whole run. Compare a word
// with a symbol global through its canonical symbol: symbol_resolve(word->data2) ==
// symbol_resolve(sym(Sym::X)).
#pragma once

#include "core/cell.h"

#include <cstdint>

namespace kel {

#define KEL_SYMBOL(name, text) name,
#define KEL_GLOBAL(name, symbol)
#define KEL_WORD(name, text)
#define KEL_REFINEMENT(name, text)
#define KEL_ISSUE(name, text)
#define KEL_STACK_SYMBOL()
#define KEL_WORD_SYMBOL(name, word) name,
enum class Sym : uint16_t {
#include "core/words-list.inc"
    Count_
};
#undef KEL_SYMBOL
#undef KEL_WORD_SYMBOL
#define KEL_SYMBOL(name, text)
#define KEL_WORD_SYMBOL(name, word)
#undef KEL_GLOBAL
#undef KEL_WORD
#define KEL_GLOBAL(name, symbol) name,
#define KEL_WORD(name, text) name,
enum class W : uint16_t {
#include "core/words-list.inc"
    Count_
};
#undef KEL_GLOBAL
#undef KEL_WORD
#define KEL_GLOBAL(name, symbol)
#define KEL_WORD(name, text)
#undef KEL_REFINEMENT
#define KEL_REFINEMENT(name, text) name,
enum class R : uint16_t {
#include "core/words-list.inc"
    Count_
};
#undef KEL_REFINEMENT
#define KEL_REFINEMENT(name, text)
#undef KEL_ISSUE
#define KEL_ISSUE(name, text) name,
enum class I : uint16_t {
#include "core/words-list.inc"
    Count_
};
#undef KEL_SYMBOL
#undef KEL_GLOBAL
#undef KEL_WORD
#undef KEL_REFINEMENT
#undef KEL_ISSUE
#undef KEL_STACK_SYMBOL
#undef KEL_WORD_SYMBOL

extern uint32_t g_runtime_symbols[size_t(Sym::Count_)];
extern Cell g_runtime_words[size_t(W::Count_)];
extern Cell g_runtime_refinements[size_t(R::Count_)];
extern Cell g_runtime_issues[size_t(I::Count_)];

inline uint32_t sym(Sym s) { return g_runtime_symbols[size_t(s)]; }
inline const Cell* runtime_word(W w) { return &g_runtime_words[size_t(w)]; }
inline const Cell* runtime_refinement(R r) { return &g_runtime_refinements[size_t(r)]; }
inline const Cell* runtime_issue(I i) { return &g_runtime_issues[size_t(i)]; }

// The name of each global as written in the list (for tests and diagnostics).
const char* runtime_symbol_name(Sym s);
const char* runtime_word_name(W w);

// Makes every name of the list, in its order (start-up).
void words_init();

} // namespace kel
