// PARSE: matching a series against a block of grammar rules.
//
// The engine is one iterative state machine over an explicit rule stack: sub-rules, loops and
// modifiers are frames pushed on that stack, never native recursion, so deep grammars cost rule
// stack cells only. The rule stack and the input stack are blocks held in the root block (the
// collector sees and renumbers them). A PARSE call pushes an entry marker on the input stack and
// cuts both stacks back to where they were when it leaves, by any way out; a PARSE started from a
// paren of another one therefore nests on the same stacks.
//
// Positions (in the input, in rule blocks, in the stacks) are indices, re-read through their nodes
// after anything that may allocate: parens, trace calls, copies and edits may change, widen or
// move the input.
#pragma once

#include "core/cell.h"

#include <cstdint>

namespace kel {

// At most this many cells on each of the two stacks; a push beyond raises script parse-stack.
constexpr uint32_t PARSE_STACK_LIMIT = 10000;

// Start-up: makes the two stacks (8 and 100 cells at first) and keeps them in the root block.
void parse_init();

// Runs rules over input from its index. case_sensitive: `/case`. part_end: the index (from the
// buffer start) where the input ends for the rules, or -1 for the tail. trace: a function of
// [event match? rule input stack] called at each step, or null. *result (a rooted cell) receives
// true, false, or the block a top-level `collect` made.
void parse_engine(const Cell* input, const Cell* rules, bool case_sensitive, int64_t part_end,
                  const Cell* trace, Cell* result);

// Cells in use on the input stack (which 0) or the rule stack (which 1).
uint32_t parse_stack_cells(int which);

// Puts the `parse` native in its slot.
void natives_parse_register();

} // namespace kel
