// The array library of native functions.
#pragma once

void array_init();
