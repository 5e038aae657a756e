// The math library of native functions.
#pragma once

void math_init();
