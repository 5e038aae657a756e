// The math library of native functions.
#pragma once

namespace zorvik {

void math_init();

}  // namespace zorvik
