// The boundary of a script: importing script files, `extern`, and `__CALL`
// into native functions.
#pragma once

#include <string>

#include "interpreter/cursor.h"

namespace zorvik {

// `target := import("name");` with the lookahead on `import`; the target has
// just been made fresh and undefined.
void Import(const NameKey& targetKey);
void Extern();
void NativeCall();

}  // namespace zorvik
