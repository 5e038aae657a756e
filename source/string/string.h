// The string library of native functions.
#pragma once

namespace zorvik {

void string_init();

}  // namespace zorvik
