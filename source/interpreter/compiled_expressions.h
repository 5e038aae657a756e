// The fast path of the evaluator: pure expressions and conditions compiled
// once into small trees.
//
// An expression or condition is "pure" when evaluating it can change
// nothing: it is built only of constants, names that are read (not called,
// not updated), bracketed indexes of the same kind, + - * / and the
// comparisons, and/or/not. The second time Expression() or BoolExpression()
// meets one at a token (the first time the walker evaluates it, so code that
// runs once is never compiled), it is compiled and the tree is cached for
// that token (or the token is marked as not compilable); later evaluations
// run the tree instead of re-reading the tokens.
//
// Invariants:
//  - Running a tree changes no variable, prints nothing and calls nothing,
//    so when it meets anything unusual (every case that ends in a script
//    error, memory running out, and a nesting deeper than the depth limit
//    allows) it gives up,
//    and the token walker evaluates the same tokens from the start. The
//    walker then raises the error at exactly its own position.
//  - A tree covers exactly the tokens that the walker would read for the
//    same expression, so afterwards the cursor is left as the walker leaves
//    it: the lookahead on the first token after the expression, read right
//    after the expression's last item.
//  - Names are resolved at every evaluation, in the scope current at that
//    moment, exactly as the cursor composes them: nothing about a variable
//    is cached.
//  - The compiler is switched off by building with ZORVIK_WALKER_ONLY, which
//    leaves the token walker alone as the reference implementation.
#pragma once

#include <cstdint>

#include "memory_manager/memory_manager.h"

namespace zorvik {

// Evaluates the expression whose first item is the lookahead into the
// register and moves the cursor behind it; false when the expression is not
// pure or gave up, with nothing changed.
bool RunCompiledExpression();
// The same for a condition, leaving the register in its flag form.
bool RunCompiledCondition();

// Drops every compiled tree (with the token array at the end of a run).
void ClearCompiled();

// ---- The trees, for the statement compiler (compiled_statements.h)

struct CompiledTree;
// Thrown by the functions below when a tree meets anything unusual; nothing
// has been changed then, and the walker takes over.
struct CompiledGiveUp {};

// False in the walker-only build.
bool CompilerEnabled();
// The tree of the pure expression at token `first`, compiled on the first
// request; null when it is not pure.
const CompiledTree* CompiledExpressionAt(int32_t first);
// The same for a condition (BoolExpression).
const CompiledTree* CompiledConditionAt(int32_t first);
// The tree of the name at token `first` as the target of a store: a plain
// name, or one whose bracketed indexes are pure. Null otherwise.
const CompiledTree* CompiledTargetAt(int32_t first);
// The same for one term of an expression (what Term() reads), with the
// depth counted from inside the expression's guard.
const CompiledTree* CompiledTermAt(int32_t first);
// The same for the operand of a `*` or `/` (what SignedFactor() reads).
const CompiledTree* CompiledFactorAt(int32_t first);
int32_t TreeEnd(const CompiledTree& tree);       // the first token after it
int32_t TreeLastItem(const CompiledTree& tree);  // the token whose position the walker records last in it
int32_t TreeDepth(const CompiledTree& tree);     // the depth guards the walker would hold
// Name caching: a tree remembers the variable each plain name (and each
// fixed prefix of an indexed name) was found as, together with sNameEpoch
// at that moment, and uses it again only while sNameEpoch is unchanged:
// whatever runs in between, compiled or walked, a Var freed, an alias made
// or undone or a scope entered moves it. So no caller passes cache state
// in or has to renew it.

// Evaluates an expression tree into the register (the register is left
// alone when it gives up).
void EvaluateTree(const CompiledTree& tree);
// Evaluates an expression tree when its value is a number, into `out`;
// false (with nothing changed) when it is anything else or gives up.
bool TreeNumber(const CompiledTree& tree, double& out);
// Evaluates a condition tree.
bool TestTree(const CompiledTree& tree);
// The variable a target tree names, in the current scope, made with its path
// when missing (as MM_CreateVar); it gives up before creating anything. An
// array element kept inline stays inline: see MM_ElementVar.
ElementRef CreateTarget(const CompiledTree& tree);
// Whether a target tree is a name without indexes; then FindTarget looks it
// up as MM_GetVar would, creating nothing.
bool IsPlainName(const CompiledTree& tree);
Var* FindTarget(const CompiledTree& tree);

}  // namespace zorvik
