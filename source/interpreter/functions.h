// User functions: the function table, literals and calls.
//
// A call runs its body in a fresh scope N = sScope + buildScope: the root
// variable N holds the parameters, `self`, `this` and every local, and the
// cursor prefixes every name read in the body with "N.". Scope numbers are
// 64-bit: nested calls grow them quadratically with the depth.
#pragma once

#include <cstdint>
#include <string>

#include "memory_manager/memory_manager.h"

namespace zorvik {

extern thread_local constinit int64_t sScope;
extern thread_local constinit int64_t buildScope;

// Makes `scope` the running scope. Every change goes through here: names
// now resolve in another scope, so Vars kept for names are stale.
inline void EnterScope(int64_t scope) {
    sScope = scope;
    ++sNameEpoch;
}

// Builds the record of the literal whose word `function` is the lookahead;
// leaves the lookahead on the token after ')'.
int32_t BuildFunction();
// Index of the first token inside the body of function `index`.
int32_t FunctionBody(int32_t index);
// The value of the function at `index` of this run's table.
FunctionRef FunctionValue(int32_t index);
// Calls a function variable with the cursor on '('; the result, if the body
// returned one, is in "@".
void CallFunc(Var* function);
// The table index of the function value `function` when it is a function
// of this run that CallWithValues can call with `count` arguments: it takes
// at least that many parameters, and those by value, with plain names.
// -1 otherwise.
int32_t ValuesCallee(const Var* function, size_t count);
// CallFunc for arguments evaluated beforehand (their evaluation changed
// nothing): the call written from the '(' at token `site` to the ')' at
// `close`, whose arguments gave `args`, which are moved into the parameters.
// `index` is what ValuesCallee gave for `function` and `count`, with nothing
// run in between. The cursor is left where the body ended.
void CallWithValues(int32_t index, Var* function, int32_t site, int32_t close, Cell* args, size_t count);
// A call made by the host (ZK_Call), outside any statement: `function`
// with `args` (null: a missing argument), a value for each parameter taken
// by value and the variable itself for one taken by reference. The result,
// if the body returned one, is in "@". Errors that keep the call from
// starting are reported without a position (HostCallError), or, for a call
// that a native makes while the script runs (`within`), where the cursor
// stands, as the native's own errors are.
void CallFromHost(Var* function, const char* name, Var* const* args, size_t count, bool within);
// Ends the run's function table: values built in it no longer call anything.
void ClearFunctions();
// Deletes what calls leave among the root variables while they run (the
// scope variables, named by their decimal numbers, and the result "@"), for
// a run that ended inside a call.
void DeleteScopes();
// Back to the top level after an error unwound calls in progress.
void ResetCallLevels();

}  // namespace zorvik
