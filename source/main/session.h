// The interactive session of `zorvik -i` (or of a bare `zorvik` on a
// terminal): entries read line by line and run one after another in one
// state, until the end of input or `exit`.
#pragma once

#include <atomic>

namespace zorvik {

// Whether the session is waiting at its prompt: a SIGINT there is ignored
// (it stops running entries only), a SIGTERM ends the process at once.
extern std::atomic<bool> sAtPrompt;

// Runs the session until the end of input, `exit`, or `stopSignal` set by
// a SIGTERM; gives the status: 0 or n & 255 after `exit(n)`.
int RunSession(const std::atomic<int>& stopSignal);

}  // namespace zorvik
