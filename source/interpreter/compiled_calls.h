// The fast path for expressions that call functions: sums of calls and pure
// terms, such as `this(k - 1) + this(k - 2)` or `1 + f(x)`.
//
// A sum is compiled once, at its first token, into its terms joined by + and
// -: each term is a pure term (see compiled_expressions.h) or a call
// `name(a, b, ...)` of a plain name whose arguments are pure expressions and
// which no '*' or '/' follows. It runs without the cursor: a call's
// arguments are evaluated by their trees, then the function runs with them
// (CallWithValues) as the walker would have run it.
//
// Invariants:
//  - The walker takes over wherever anything unusual is met: a callee that is
//    not a function taking its arguments by value, an argument or term that
//    gives up or is not a number, a depth guard that would fail. Before the
//    first call has run, nothing has changed and the walker evaluates the
//    whole sum. After it, the walker goes on exactly where it would be at
//    that point: before the next operator with the sum so far in the
//    register (ExpressionTail), or, when a call gave something other than a
//    number, with the left operand pushed and the cursor behind the call
//    (AddRight, SubRight). It then reports any error at its own position.
//  - A call's arguments are evaluated before its scope is made (the walker
//    makes the scope first). That cannot be seen: a pure evaluation changes
//    nothing and reads only the caller's scope, never the new one.
//  - The depth guards held at each point are the walker's: one for the
//    expression and one for each call.
//  - Afterwards the cursor is left as the walker leaves it: the lookahead on
//    the first token after the sum, read right after the sum's last item.
//    That token is never a name, whose reading would depend on what the
//    last call's body read last.
//  - Switched off with the expression compiler (ZORVIK_WALKER_ONLY).
#pragma once

#include <cstdint>

namespace zorvik {

// Evaluates the sum whose first item is the lookahead into the register as
// Expression() does; false, with nothing changed, when it is not such a sum
// or the walker must evaluate all of it.
bool RunCompiledCalls();

// The same for compiled statements, which run without the cursor.
struct CompiledSum;
// The sum at token `first`, compiled on the first request; null when the
// tokens there are not one.
const CompiledSum* CompiledSumAt(int32_t first);
int32_t SumEnd(const CompiledSum& sum);  // the first token after it
// Evaluates a sum as RunCompiledCalls does, whatever the cursor.
bool RunSum(const CompiledSum& sum);
// After RunSum returned true: whether the walker, having gone on in the sum,
// stopped before its end. A callee that no longer holds a function is read
// as a value, and the expression ends at its '('; whoever runs the sum
// without the cursor then goes on as the walker would from there (an
// assignment or a return reports the missing ';').
bool SumStoppedShort(const CompiledSum& sum);
// Whether a sum is a single call followed by ';': a call statement.
bool IsCallStatement(const CompiledSum& sum);
// Runs a call statement as the walker does (the call, its result dropped),
// whatever the cursor, which it leaves where the body ended; false, with
// nothing changed, when the walker must run it. A callee that does not
// exist is the walker's: it makes the variable before it reports the error.
bool RunCallStatement(const CompiledSum& sum);

// Drops every compiled sum (with the token array at the end of a run).
void ClearCompiledCalls();

}  // namespace zorvik
