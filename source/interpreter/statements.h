// The block executor and the control-flow statements.
//
// Statements run straight from the cursor. A completion code travels back
// through the nested blocks: 0 normal, 1 a `break` on its way to its loop,
// 2 a `return` on its way to its call or import.
#pragma once

#include <cstdint>

#include "memory_manager/memory_manager.h"

namespace zorvik {

enum Completion : int32_t { kNormal = 0, kBreak = 1, kReturn = 2 };

extern thread_local constinit int32_t sBlock;
extern thread_local constinit int32_t sLoopScope;

int32_t ExecuteBlock();
// The end of a pass of `do { ... } while (condition);` from the lookahead on
// the block's '}': reads `} while (condition);` and tells whether the
// condition holds.
bool DoCondition();
// What `return name;` does: the result "@" becomes a copy of the variable
// (undefined when there is none), its members included. A local of the
// returning call, which dies with it, gives its members up instead.
void ReturnVariable(Var* source);

}  // namespace zorvik
