// Internal assertions, for invariants that no script input can break.
//
// This header sits below every module (it includes nothing of the project),
// so the containers, the variable store and the interpreter can all use it
// without depending on one another.
#pragma once

namespace zorvik {

// Names the failed expression, the file, line and function, flushes the
// script's output and aborts the process.
[[noreturn]] void ZK_AssertFail(const char* expr, const char* file, int line, const char* func);

#define ZK_ASSERT(expr) ((expr) ? (void)0 : ZK_AssertFail(#expr, __FILE__, __LINE__, __func__))

}  // namespace zorvik
