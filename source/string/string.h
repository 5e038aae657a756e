// The string library of native functions.
#pragma once

void string_init();
