// The sys library of native functions.
#pragma once

void sys_init();
