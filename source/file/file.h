// The file library of native functions.
#pragma once

void file_init();
void file_terminate();
