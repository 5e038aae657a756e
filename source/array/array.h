// The array library of native functions.
#pragma once

namespace zorvik {

void array_init();

}  // namespace zorvik
