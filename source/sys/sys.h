// The sys library of native functions.
#pragma once

void sys_init();
// Registers the natives about the process (arguments, environment, end of
// input); part of sys_init.
void sys_initProcess();
