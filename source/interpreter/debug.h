// `debug(0, name);` writes a variable and its direct members.
#pragma once

namespace zorvik {

void Debug();

}  // namespace zorvik
