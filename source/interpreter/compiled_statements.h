// The fast path of the statement executor: simple statements compiled once.
//
// A simple statement stores into one variable and ends with ';':
//     target = value;   target += value; (-= *= /=)
//     target++;   target--;   ++target;   --target;
// where the target is a name whose bracketed indexes are pure and the value
// a pure expression (see compiled_expressions.h). The second time the block
// executor meets one (the walker runs it the first time), it is compiled and
// cached by its first token; later runs skip the tokens. Built on them: the head of an `if` or a `while`
// whose condition is pure; blocks whose items are simple statements,
// branches `if (c) { ... }` (optionally `else { ... }`), `while (c) { ... }`
// and counting `for (name = a, b[, s]) { ... }` over such blocks again, and
// returns (`return;`, `return name;`, `return value;` with a pure value or
// a sum of calls, see compiled_calls.h), call statements `name(a, b);` and
// native calls `__CALL "name";` (run as NativeCall runs them, from the same
// cursor, so that a library wrapper's body is a compiled block);
// whole loops over such blocks; and function bodies that are such blocks.
// A call statement also runs compiled outside such blocks.
//
// Invariants:
//  - Before its one change (the store), a compiled statement has at most
//    created its target with its path, which the walker does first as well
//    and which changes nothing when done again. So when it meets anything
//    unusual (a wrong type, a value that gives up) it gives up with the
//    cursor untouched, and the walker runs the whole statement again and
//    reports any error at its own position.
//  - Afterwards the cursor is left as the walker leaves it: the lookahead on
//    the token after ';', read right after the ';'.
//  - A return is the exception: it leaves the cursor where it is. Every
//    statement that a return ends passes kReturn on without reading the
//    cursor, and the call or import that it ends moves the cursor back to
//    its own place.
//  - A return gives up only before it has changed anything (a sum of calls:
//    before its first call ran; after that the walker goes on in the sum),
//    and so does a call statement.
//  - No state passes between compiled code and the walker but the cursor:
//    names cached in trees check sNameEpoch themselves (see
//    compiled_expressions.h), whoever ran in between.
//  - Switched off with the expression compiler (ZORVIK_WALKER_ONLY).
#pragma once

#include <cstdint>

#include "memory_manager/memory_manager.h"

namespace zorvik {

// Runs the simple statement at the lookahead and moves the cursor behind
// it; false, with nothing changed that matters, when the walker must run it.
bool RunCompiledStatement();

// The head `(condition) {` of an `if` or a `while` whose '(' is the token at
// `open`: when the condition is pure, evaluates it into `holds` and leaves
// the cursor as Condition() leaves it (the lookahead on the '{'). False, with
// the cursor untouched, when the walker must read the head.
bool RunCompiledHead(int32_t open, bool& holds);

// Runs the block whose '{' is at token `brace` as Expect('{') and
// ExecuteBlock() would, when every item in it is a simple statement, a
// branch or a loop over such blocks: the items run one after the other
// without the cursor, which is then left on the closing '}'. From an item
// that gives up on, the walker runs the rest of the block (ExecuteBlock), as
// if it had run it from the start. An item gives up only before it changed
// anything that matters: a branch on its condition; a while on its
// condition, also after passes (a while keeps no state of its own, so the
// walker simply goes on with it); a for in its head, with its variable put
// back. A block nested in an item never gives up: from its item that gives
// up on, the walker finishes that block, and the item goes on compiled.
// Returns false, with nothing done, when the block is not of that kind.
bool RunCompiledBlock(int32_t brace, int32_t& code);

// Function bodies: the function table keeps each body's compiled block, so
// that a call looks nothing up.
struct CompiledBlock;
// The block that RunCompiledBlock would run at `brace`, or null when it
// would return false whatever the depth. The answer never changes while the
// tokens stay (ClearCompiledStatements).
const CompiledBlock* CompiledBlockAt(int32_t brace);
// RunCompiledBlock of that block, whose '{' is at `brace`, entered as if
// the token at `before` was read last instead of the '{' (a body is
// entered from the call's ')').
bool RunCompiledBody(const CompiledBlock& block, int32_t brace, int32_t before, int32_t& code);

// Whole loops. A `while` whose head and block are both compiled, and a
// counting `for` whose block is, run pass after pass without the cursor,
// which is set only when the loop ends or hands over to the walker.
enum class LoopExit {
    kNotRun,  // nothing done: the walker runs the loop from its head
    kDone,    // the loop ended normally, the cursor behind it
    kBody,    // a pass's block was finished by the walker with `code`; the
              // loop goes on after that block (AfterLoopBody)
};
// `open`: the index of the '(' after `while`.
LoopExit RunCompiledWhile(int32_t open, int32_t& code);
// The state of a counting loop between passes.
struct CountingLoop {
    Var* var;        // the loop variable, valid while sVarEpoch is unchanged
    uint64_t epoch;  // sVarEpoch at the start of the current pass
    double step, end;
    bool Finished() const {
        double v = var->value.number;
        return step == 0 || (step > 0 && v > end) || (step < 0 && v < end);
    }
};
// `brace`: the index of the block's '{'. On kBody the cursor is where the
// walker's pass left it; on kDone, behind the loop.
LoopExit RunCompiledFor(int32_t brace, CountingLoop& loop, int32_t& code);

// A `do` whose block's '{' is at `brace`, when its block and its
// condition are compiled: the passes run without the cursor, a condition
// that gives up read by the walker (DoCondition) between them. kDone leaves
// the cursor behind the ';'; kBody only for a return (`code` kReturn).
LoopExit RunCompiledDo(int32_t brace, int32_t& code);

// Drops every compiled statement (with the token array at the end of a run).
void ClearCompiledStatements();

}  // namespace zorvik
