// `debug(0, name);` writes a variable and its direct members.
#pragma once

void Debug();
