// The sys library of native functions.
#pragma once

namespace zorvik {

void sys_init();
// Registers the natives about the process (arguments, environment, end of
// input); part of sys_init.
void sys_initProcess();

}  // namespace zorvik
