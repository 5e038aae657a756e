// The file library of native functions.
#pragma once

namespace zorvik {

void file_init();
// Closes every file left open; false when the data of one was lost.
bool file_terminate();

}  // namespace zorvik
