// Hints: one line of advice in an error's context for the mistakes a script
// writer makes most, where the message alone does not say what went wrong.
//
// Invariants:
//  - A hint only reads: the tokens around the error and the variables they
//    name. It never changes a variable, the report line or the status, and
//    it never raises an error of its own.
//  - It depends only on the tokens, the error and the variables at the
//    error, so every build gives the same hint for the same error.
#pragma once

#include <cstdint>
#include <string>

#include "memory_manager/memory_manager.h"

namespace zorvik {

// The hint for an error with `message` whose position is that of token
// `token`, or "" when none applies.
std::string HintAt(const std::string& message, int32_t token);
// The hint for calling `function` (null when no variable exists) with the
// '(' at token `paren`: what the name holds instead of a function.
std::string CalleeHint(const Var* function, int32_t paren);

}  // namespace zorvik
